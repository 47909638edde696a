#include "midi/midi_filter_processor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = FilterStep::Kind;
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

FilterStep remap(std::optional<std::vector<int>> map)
{
    FilterStep s(Kind::channelRemap);
    s.channelMap = std::move(map);
    return s;
}

FilterStep transpose(std::optional<int> semitones)
{
    FilterStep s(Kind::transpose);
    s.transpose = semitones;
    return s;
}

FilterStep velocity(std::optional<double> scale, std::optional<int> offset)
{
    FilterStep s(Kind::velocity);
    s.velocityScale = scale;
    s.velocityOffset = offset;
    return s;
}

FilterStep noteRange(std::optional<int> low, std::optional<int> high)
{
    FilterStep s(Kind::noteRange);
    s.noteLow = low;
    s.noteHigh = high;
    return s;
}

FilterStep ccRange(std::optional<int> low, std::optional<int> high)
{
    FilterStep s(Kind::ccRange);
    s.ccLow = low;
    s.ccHigh = high;
    return s;
}

FilterStep blockTypes(std::optional<std::vector<MIDIStatusType>> types)
{
    FilterStep s(Kind::messageTypeFilter);
    s.blockedTypes = std::move(types);
    return s;
}

struct StepCase {
    const char *name;
    FilterStep step;
    Bytes in;
    std::optional<Bytes> out; // nullopt: dropped
};

TEST(MIDIFilterProcessorTest, StepRules)
{
    using T = MIDIStatusType;
    const StepCase cases[] = {
        // channelRemap
        {"remap ch1 to 2", remap({{2}}), {0x90, 60, 100}, Bytes{0x91, 60, 100}},
        {"remap beyond list", remap({{2}}), {0x95, 60, 100}, Bytes{0x95, 60, 100}},
        {"remap target 0 drops", remap({{0}}), {0x90, 60, 100}, std::nullopt},
        {"remap int min drops", remap({{kIntMin}}), {0x90, 60, 100}, std::nullopt},
        {"remap 20 caps at 16", remap({{20}}), {0x90, 60, 100}, Bytes{0x9F, 60, 100}},
        {"remap pitch bend", remap({{1, 1, 4}}), {0xE2, 0, 64}, Bytes{0xE3, 0, 64}},
        {"remap absent map", remap(std::nullopt), {0x93, 60, 100}, Bytes{0x93, 60, 100}},
        {"remap ignores sysex", remap({{0}}), {0xF0, 0x7E, 0xF7}, Bytes{0xF0, 0x7E, 0xF7}},
        {"remap ignores clock", remap({{0}}), {0xF8}, Bytes{0xF8}},
        {"remap ignores data-first", remap({{0}}), {0x3C, 0x40}, Bytes{0x3C, 0x40}},
        // transpose
        {"transpose +12", transpose(12), {0x90, 60, 100}, Bytes{0x90, 72, 100}},
        {"transpose note off", transpose(12), {0x80, 60, 0}, Bytes{0x80, 72, 0}},
        {"transpose poly key", transpose(-2), {0xA1, 60, 9}, Bytes{0xA1, 58, 9}},
        {"transpose to 127", transpose(7), {0x90, 120, 1}, Bytes{0x90, 127, 1}},
        {"transpose past 127 drops", transpose(12), {0x90, 120, 100}, std::nullopt},
        {"transpose below 0 drops", transpose(-61), {0x90, 60, 100}, std::nullopt},
        {"transpose to 0", transpose(-60), {0x90, 60, 100}, Bytes{0x90, 0, 100}},
        {"transpose int max drops", transpose(kIntMax), {0x90, 60, 100}, std::nullopt},
        {"transpose int min drops", transpose(kIntMin), {0x90, 60, 100}, std::nullopt},
        {"transpose absent", transpose(std::nullopt), {0x90, 60, 100}, Bytes{0x90, 60, 100}},
        {"transpose skips program", transpose(12), {0xC0, 5}, Bytes{0xC0, 5}},
        {"transpose skips lone status", transpose(12), {0x90}, Bytes{0x90}},
        // velocity
        {"velocity 101 x 0.5 rounds up", velocity(0.5, 0), {0x90, 60, 101}, Bytes{0x90, 60, 51}},
        {"velocity 1 x 0.5 rounds to 1", velocity(0.5, 0), {0x90, 60, 1}, Bytes{0x90, 60, 1}},
        {"negative half rounds away", velocity(-0.5, 10), {0x90, 60, 3}, Bytes{0x90, 60, 8}},
        {"velocity scale 0 gives 1", velocity(0.0, 0), {0x90, 60, 100}, Bytes{0x90, 60, 1}},
        {"velocity clamps at 127", velocity(2.0, 0), {0x90, 60, 100}, Bytes{0x90, 60, 127}},
        {"velocity offset", velocity(std::nullopt, 10), {0x90, 60, 100}, Bytes{0x90, 60, 110}},
        {"velocity offset clamps to 1", velocity(1.0, -200), {0x90, 60, 100}, Bytes{0x90, 60, 1}},
        {"velocity 0 note on untouched", velocity(0.0, 50), {0x90, 60, 0}, Bytes{0x90, 60, 0}},
        {"velocity note off untouched", velocity(0.0, 50), {0x80, 60, 64}, Bytes{0x80, 60, 64}},
        {"velocity poly untouched", velocity(0.0, 50), {0xA0, 60, 64}, Bytes{0xA0, 60, 64}},
        {"velocity short note on", velocity(0.0, 50), {0x90, 60}, Bytes{0x90, 60}},
        {"infinite scale clamps", velocity(kInf, 0), {0x90, 60, 100}, Bytes{0x90, 60, 127}},
        {"minus infinite clamps", velocity(-kInf, kIntMax), {0x90, 60, 100}, Bytes{0x90, 60, 1}},
        {"NaN scale acts as 1", velocity(std::nan(""), 1), {0x90, 60, 100}, Bytes{0x90, 60, 101}},
        {"int min offset clamps", velocity(1.0, kIntMin), {0x90, 60, 100}, Bytes{0x90, 60, 1}},
        // noteRange
        {"range drops 35", noteRange(36, 48), {0x90, 35, 100}, std::nullopt},
        {"range drops 49", noteRange(36, 48), {0x90, 49, 100}, std::nullopt},
        {"range keeps 36", noteRange(36, 48), {0x90, 36, 100}, Bytes{0x90, 36, 100}},
        {"range keeps 48", noteRange(36, 48), {0x90, 48, 100}, Bytes{0x90, 48, 100}},
        {"range drops note off", noteRange(36, 48), {0x80, 35, 0}, std::nullopt},
        {"range drops poly", noteRange(36, 48), {0xA0, 50, 3}, std::nullopt},
        {"range skips pitch bend", noteRange(36, 48), {0xE0, 0, 64}, Bytes{0xE0, 0, 64}},
        {"range no low bound", noteRange(std::nullopt, 48), {0x90, 0, 1}, Bytes{0x90, 0, 1}},
        {"range default high", noteRange(100, std::nullopt), {0x90, 127, 1}, Bytes{0x90, 127, 1}},
        {"range low above high", noteRange(60, 50), {0x90, 55, 1}, std::nullopt},
        // ccRange
        {"cc high only keeps 0", ccRange(std::nullopt, 63), {0xB0, 0, 5}, Bytes{0xB0, 0, 5}},
        {"cc high only drops 64", ccRange(std::nullopt, 63), {0xB0, 64, 5}, std::nullopt},
        {"cc low bound", ccRange(10, std::nullopt), {0xB3, 9, 5}, std::nullopt},
        {"cc skips notes", ccRange(10, 20), {0x90, 60, 5}, Bytes{0x90, 60, 5}},
        {"cc low above high", ccRange(20, 10), {0xB0, 15, 5}, std::nullopt},
        // messageTypeFilter
        {"block realtime", blockTypes({{T::systemRealtime}}), {0xF8}, std::nullopt},
        {"block nothing", blockTypes({{}}), {0xF8}, Bytes{0xF8}},
        {"blocked absent", blockTypes(std::nullopt), {0xF8}, Bytes{0xF8}},
        {"note on vel 0 is note on", blockTypes({{T::noteOn}}), {0x90, 60, 0}, std::nullopt},
        {"data-first is system common", blockTypes({{T::systemCommon}}), {0x3C}, std::nullopt},
        {"block sysex", blockTypes({{T::pitchBend, T::sysex}}), {0xF0, 1, 0xF7}, std::nullopt},
        // An empty message passes every kind.
        {"empty remap", remap({{0}}), {}, Bytes{}},
        {"empty transpose", transpose(-200), {}, Bytes{}},
        {"empty velocity", velocity(0.0, 0), {}, Bytes{}},
        {"empty note range", noteRange(200, 0), {}, Bytes{}},
        {"empty cc range", ccRange(200, 0), {}, Bytes{}},
        {"empty blocked", blockTypes({{T::systemCommon}}), {}, Bytes{}},
        // Each kind reads only its own fields.
        {"foreign fields ignored",
         [] {
             FilterStep s = transpose(1);
             s.channelMap = std::vector<int>{0};
             s.noteHigh = 0;
             s.blockedTypes = std::vector<MIDIStatusType>{T::noteOn};
             return s;
         }(),
         {0x90, 60, 1},
         Bytes{0x90, 61, 1}},
    };
    for (const StepCase &c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = MIDIFilterProcessor::applyStep(c.step, MIDIMessage(c.in, 77));
        ASSERT_EQ(result.has_value(), c.out.has_value());
        if (result) {
            EXPECT_EQ(result->bytes, *c.out);
            EXPECT_EQ(result->timestamp, 77u);
        }
    }
}

FilterChain chainOf(std::vector<FilterStep> steps)
{
    FilterChain chain("test");
    chain.steps = std::move(steps);
    return chain;
}

FilterStep off(FilterStep s)
{
    s.enabled = false;
    return s;
}

TEST(MIDIFilterProcessorTest, ChainRules)
{
    struct ChainCase {
        const char *name;
        std::vector<FilterStep> steps;
        Bytes in;
        std::optional<Bytes> out;
    };
    const ChainCase cases[] = {
        {"empty chain", {}, {0x90, 61, 1}, Bytes{0x90, 61, 1}},
        {"all disabled", {off(transpose(5)), off(remap({{0}}))}, {0x90, 61, 1}, Bytes{0x90, 61, 1}},
        {"disabled skipped, drops 61", {off(transpose(1)), noteRange(60, 60)}, {0x90, 61, 1}, std::nullopt},
        {"disabled skipped, keeps 60",
         {off(transpose(1)), noteRange(60, 60)},
         {0x90, 60, 1},
         Bytes{0x90, 60, 1}},
        {"steps feed each other", {transpose(1), noteRange(60, 60)}, {0x90, 59, 1}, Bytes{0x90, 60, 1}},
        {"order matters", {noteRange(60, 60), transpose(1)}, {0x90, 59, 1}, std::nullopt},
        {"three rewrites",
         {remap({{3}}), velocity(0.5, 0), transpose(-12)},
         {0x90, 60, 101},
         Bytes{0x92, 48, 51}},
        {"drop ends the walk", {remap({{0}}), remap({{5}})}, {0x90, 60, 1}, std::nullopt},
    };
    for (const ChainCase &c : cases) {
        SCOPED_TRACE(c.name);
        const FilterChain chain = chainOf(c.steps);
        const MIDIMessage in(c.in, 1234);
        const auto result = MIDIFilterProcessor::apply(chain, in);
        ASSERT_EQ(result.has_value(), c.out.has_value());
        if (result) {
            EXPECT_EQ(*result, MIDIMessage(*c.out, 1234));
        }
        MIDIMessage inPlace = in;
        EXPECT_EQ(MIDIFilterProcessor::applyInPlace(chain, inPlace), c.out.has_value());
        if (c.out) {
            EXPECT_EQ(inPlace.bytes, *c.out);
        }
    }
}

TEST(MIDIFilterProcessorTest, IdentityChains)
{
    EXPECT_TRUE(MIDIFilterProcessor::isIdentity(chainOf({})));
    EXPECT_TRUE(MIDIFilterProcessor::isIdentity(chainOf({off(transpose(3))})));
    EXPECT_FALSE(MIDIFilterProcessor::isIdentity(chainOf({off(transpose(3)), transpose(0)})));
}

} // namespace
} // namespace korvane
