// Filter parameters from a project file can be any 64-bit integer (channel
// map entries any int): they act as if clamped, with no overflow on the way.

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
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

struct Case {
    int64_t a;
    int64_t b; // second parameter where the kind has one
    Bytes in;
    std::optional<Bytes> out;
};

void check(Kind kind, const Case &c, const FilterStep &step)
{
    const auto out = MIDIFilterProcessor::applyStep(step, MIDIMessage(c.in));
    EXPECT_EQ(out ? std::optional(out->bytes) : std::nullopt, c.out)
        << rawValue(kind) << " " << c.a << " " << c.b << " on " << MIDIMessage(c.in).humanReadable();
}

TEST(MIDIFilterLimits, TransposeAtAndFarBeyondTheNoteRange)
{
    const Case cases[] = {
        {127, 0, {0x90, 0, 64}, Bytes{0x90, 127, 64}},  {128, 0, {0x90, 0, 64}, std::nullopt},
        {-127, 0, {0x8F, 127, 0}, Bytes{0x8F, 0, 0}},   {-128, 0, {0x8F, 127, 0}, std::nullopt},
        {3000000000, 0, {0x80, 0, 0}, std::nullopt},    {-3000000000, 0, {0x9F, 127, 1}, std::nullopt},
        {kMax, 0, {0xA0, 0, 5}, std::nullopt},          {kMin, 0, {0xAF, 127, 5}, std::nullopt},
        {kMax, 0, {0xB0, 0, 127}, Bytes{0xB0, 0, 127}}, // not a note
    };
    for (const Case &c : cases) {
        FilterStep step(Kind::transpose);
        step.transpose = c.a;
        check(Kind::transpose, c, step);
    }
}

TEST(MIDIFilterLimits, VelocityOffsetFarBeyondTheVelocityRange)
{
    const Case cases[] = {
        {kMax, 0, {0x90, 60, 1}, Bytes{0x90, 60, 127}},
        {kMin, 0, {0x9F, 60, 127}, Bytes{0x9F, 60, 1}},
        {-126, 0, {0x90, 60, 127}, Bytes{0x90, 60, 1}},
        {kMax, 0, {0x90, 60, 0}, Bytes{0x90, 60, 0}}, // velocity 0 is a note off
    };
    for (const Case &c : cases) {
        FilterStep step(Kind::velocity);
        step.velocityOffset = c.a;
        check(Kind::velocity, c, step);
    }
}

TEST(MIDIFilterLimits, ChannelMapTargetsAtTheIntLimits)
{
    const Case cases[] = {
        {0, kIntMax, {0xC0, 5}, Bytes{0xCF, 5}},
        {0, kIntMin, {0xC0, 5}, std::nullopt},
        {15, kIntMax, {0xEF, 0, 127}, Bytes{0xEF, 0, 127}},
        {15, kIntMin, {0xDF, 127}, std::nullopt},
    };
    for (const Case &c : cases) {
        FilterStep step(Kind::channelRemap);
        step.channelMap = std::vector<int>(16, 1);
        step.channelMap->at(static_cast<std::size_t>(c.a)) = static_cast<int>(c.b);
        check(Kind::channelRemap, c, step);
    }
}

TEST(MIDIFilterLimits, RangeBoundsFarBeyondZeroAnd127)
{
    const Case cases[] = {
        {kMin, kMax, {0x90, 0, 1}, Bytes{0x90, 0, 1}},
        {kMin, kMax, {0x9F, 127, 127}, Bytes{0x9F, 127, 127}},
        {3000000000, kMax, {0x90, 127, 1}, std::nullopt},
        {kMin, -3000000000, {0x80, 0, 0}, std::nullopt},
        {128, kMax, {0x90, 127, 1}, std::nullopt},
        {kMin, -1, {0x80, 0, 0}, std::nullopt},
    };
    for (const Case &c : cases) {
        FilterStep notes(Kind::noteRange);
        notes.noteLow = c.a;
        notes.noteHigh = c.b;
        check(Kind::noteRange, c, notes);

        FilterStep controllers(Kind::ccRange);
        controllers.ccLow = c.a;
        controllers.ccHigh = c.b;
        Case cc = c;
        cc.in = {static_cast<std::uint8_t>(0xB0 | (c.in[0] & 0x0F)), c.in[1], 0};
        if (cc.out)
            cc.out = cc.in;
        check(Kind::ccRange, cc, controllers);
    }
}

} // namespace
} // namespace korvane
