// Filter parameters from a project file can be any 64-bit integer: they act
// as if clamped, with no overflow on the way.

#include "midi/midi_filter_processor.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = FilterStep::Kind;
using std::int64_t;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
// Channel map entries are ints; the file reader brings larger ones to these.
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

FilterStep step(Kind kind, void (*set)(FilterStep &))
{
    FilterStep s(kind);
    set(s);
    return s;
}

TEST(MIDIFilterLimits, ParametersBeyondEveryRangeActClamped)
{
    const struct Case {
        const char *what;
        FilterStep step;
        Bytes in;
        std::optional<Bytes> out;
    } cases[] = {
        // Transpose: the edges of the note range, then far beyond them.
        {"+127 from note 0",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = 127; }),
         {0x90, 0, 64},
         Bytes{0x90, 127, 64}},
        {"+128 from note 0",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = 128; }),
         {0x90, 0, 64},
         std::nullopt},
        {"-127 from note 127",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = -127; }),
         {0x8F, 127, 0},
         Bytes{0x8F, 0, 0}},
        {"-128 from note 127",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = -128; }),
         {0x8F, 127, 0},
         std::nullopt},
        {"+3e9",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = 3000000000; }),
         {0x80, 0, 0},
         std::nullopt},
        {"-3e9",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = -3000000000; }),
         {0x9F, 127, 1},
         std::nullopt},
        {"int64 max",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = kMax; }),
         {0xA0, 0, 5},
         std::nullopt},
        {"int64 min",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = kMin; }),
         {0xAF, 127, 5},
         std::nullopt},
        {"int64 max, not a note",
         step(Kind::transpose, [](FilterStep &s) { s.transpose = kMax; }),
         {0xB0, 0, 127},
         Bytes{0xB0, 0, 127}},

        // Velocity offset: results just inside and far outside 1...127.
        {"offset int64 max",
         step(Kind::velocity, [](FilterStep &s) { s.velocityOffset = kMax; }),
         {0x90, 60, 1},
         Bytes{0x90, 60, 127}},
        {"offset int64 min",
         step(Kind::velocity, [](FilterStep &s) { s.velocityOffset = kMin; }),
         {0x9F, 60, 127},
         Bytes{0x9F, 60, 1}},
        {"offset -126 from 127",
         step(Kind::velocity, [](FilterStep &s) { s.velocityOffset = -126; }),
         {0x90, 60, 127},
         Bytes{0x90, 60, 1}},
        {"offset on velocity 0",
         step(Kind::velocity, [](FilterStep &s) { s.velocityOffset = kMax; }),
         {0x90, 60, 0},
         Bytes{0x90, 60, 0}},

        // Channel map: first and last channel, targets beyond 16 and below 1.
        {"channel 1 to int max",
         step(Kind::channelRemap, [](FilterStep &s) { s.channelMap = {{kIntMax}}; }),
         {0xC0, 5},
         Bytes{0xCF, 5}},
        {"channel 1 to int min",
         step(Kind::channelRemap, [](FilterStep &s) { s.channelMap = {{kIntMin}}; }),
         {0xC0, 5},
         std::nullopt},
        {"channel 16 to int max",
         step(Kind::channelRemap,
              [](FilterStep &s) {
                  s.channelMap = std::vector<int>(16, 1);
                  s.channelMap->back() = kIntMax;
              }),
         {0xEF, 0, 127},
         Bytes{0xEF, 0, 127}},
        {"channel 16 to int min",
         step(Kind::channelRemap,
              [](FilterStep &s) {
                  s.channelMap = std::vector<int>(16, 1);
                  s.channelMap->back() = kIntMin;
              }),
         {0xDF, 127},
         std::nullopt},

        // Note and controller ranges with 64-bit bounds.
        {"notes, widest bounds, note 0",
         step(Kind::noteRange,
              [](FilterStep &s) {
                  s.noteLow = kMin;
                  s.noteHigh = kMax;
              }),
         {0x90, 0, 1},
         Bytes{0x90, 0, 1}},
        {"notes, widest bounds, note 127",
         step(Kind::noteRange,
              [](FilterStep &s) {
                  s.noteLow = kMin;
                  s.noteHigh = kMax;
              }),
         {0x9F, 127, 127},
         Bytes{0x9F, 127, 127}},
        {"notes, low 3e9",
         step(Kind::noteRange, [](FilterStep &s) { s.noteLow = 3000000000; }),
         {0x90, 127, 1},
         std::nullopt},
        {"notes, high -3e9",
         step(Kind::noteRange, [](FilterStep &s) { s.noteHigh = -3000000000; }),
         {0x80, 0, 0},
         std::nullopt},
        {"controllers, widest bounds",
         step(Kind::ccRange,
              [](FilterStep &s) {
                  s.ccLow = kMin;
                  s.ccHigh = kMax;
              }),
         {0xBF, 127, 0},
         Bytes{0xBF, 127, 0}},
        {"controllers, low 128",
         step(Kind::ccRange, [](FilterStep &s) { s.ccLow = 128; }),
         {0xB0, 127, 0},
         std::nullopt},
        {"controllers, high -1",
         step(Kind::ccRange, [](FilterStep &s) { s.ccHigh = -1; }),
         {0xB0, 0, 0},
         std::nullopt},
    };
    for (const Case &c : cases) {
        const auto out = MIDIFilterProcessor::applyStep(c.step, MIDIMessage(c.in));
        EXPECT_EQ(out.has_value(), c.out.has_value()) << c.what;
        if (out && c.out) {
            EXPECT_EQ(out->bytes, *c.out) << c.what;
        }
    }
}

} // namespace
} // namespace korvane
