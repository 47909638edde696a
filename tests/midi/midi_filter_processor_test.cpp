#include "midi/midi_filter_processor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = FilterStep::Kind;
using T = MIDIStatusType;
using std::nullopt;
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
// Parameters read from a project file can be any 64-bit integer: they act as
// if clamped, with no overflow on the way.
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();
// The status bytes of every channel message kind on channels 1 and 16.
constexpr std::uint8_t kChannelStatuses[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xAF, 0xB0,
                                             0xBF, 0xC0, 0xCF, 0xD0, 0xDF, 0xE0, 0xEF};

template <class Set> FilterStep step(Kind kind, Set set)
{
    FilterStep s(kind);
    set(s);
    return s;
}

// The bytes the step leaves, nothing when it drops the message. The time
// stamp must always come through.
std::optional<Bytes> run(const FilterStep &s, const Bytes &in)
{
    const auto out = MIDIFilterProcessor::applyStep(s, MIDIMessage(in, 77));
    if (!out)
        return nullopt;
    EXPECT_EQ(out->timestamp, 77u);
    return out->bytes;
}

FilterStep remap(std::optional<std::vector<int>> map)
{
    return step(Kind::channelRemap, [&](FilterStep &s) { s.channelMap = map; });
}
FilterStep transpose(std::optional<std::int64_t> t)
{
    return step(Kind::transpose, [&](FilterStep &s) { s.transpose = t; });
}
FilterStep velocity(std::optional<double> scale, std::optional<std::int64_t> offset)
{
    return step(Kind::velocity, [&](FilterStep &s) { s.velocityScale = scale, s.velocityOffset = offset; });
}
FilterStep noteRange(std::optional<std::int64_t> low, std::optional<std::int64_t> high)
{
    return step(Kind::noteRange, [&](FilterStep &s) { s.noteLow = low, s.noteHigh = high; });
}
FilterStep ccRange(std::optional<std::int64_t> low, std::optional<std::int64_t> high)
{
    return step(Kind::ccRange, [&](FilterStep &s) { s.ccLow = low, s.ccHigh = high; });
}
FilterStep blockTypes(std::optional<std::vector<T>> types)
{
    return step(Kind::messageTypeFilter, [&](FilterStep &s) { s.blockedTypes = types; });
}

TEST(MIDIFilterProcessor, ChannelRemap)
{
    // Channels 1 and 16 swapped, the others kept, on every channel kind.
    const FilterStep swap = remap({{16, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1}});
    for (std::uint8_t status : kChannelStatuses) {
        const std::uint8_t swapped = status ^ 0x0F;
        EXPECT_EQ(run(swap, {status, 0, 127}), (Bytes{swapped, 0, 127})) << int(status);
        EXPECT_EQ(run(swap, {std::uint8_t(status ^ 1), 5}), (Bytes{std::uint8_t(status ^ 1), 5}));
    }
    struct Row {
        std::optional<std::vector<int>> map;
        Bytes in;
        std::optional<Bytes> out;
    };
    const Row rows[] = {
        {{{2}}, {0x95, 60, 100}, Bytes{0x95, 60, 100}}, // beyond the list: unchanged
        {{{0}}, {0xE0, 0, 64}, nullopt},
        {{{kIntMin}}, {0x90, 60, 100}, nullopt},
        {{{17}}, {0x90, 60, 100}, Bytes{0x9F, 60, 100}},
        {{{kIntMax}}, {0xC0, 1}, Bytes{0xCF, 1}},
        {nullopt, {0x93, 60, 100}, Bytes{0x93, 60, 100}},
        {{{0}}, {0xF0, 0x7E, 0xF7}, Bytes{0xF0, 0x7E, 0xF7}},
        {{{0}}, {0xF8}, Bytes{0xF8}},
        {{{0}}, {0x3C, 0x40}, Bytes{0x3C, 0x40}},
    };
    for (const Row &r : rows)
        EXPECT_EQ(run(remap(r.map), r.in), r.out) << int(r.in[0]);
}

TEST(MIDIFilterProcessor, TransposeKeepsNotesWithin0To127)
{
    // {semitones, note in, note out or -1 for dropped} for note off, note on
    // and poly aftertouch on channels 1 and 16.
    const std::int64_t rows[][3] = {
        {12, 60, 72},        {7, 120, 127},          {8, 120, -1},  {-60, 60, 0},
        {-61, 60, -1},       {127, 0, 127},          {128, 0, -1},  {1, 127, -1},
        {-127, 127, 0},      {-128, 127, -1},        {-1, 0, -1},   {0, 127, 127},
        {3000000000, 0, -1}, {-3000000000, 127, -1}, {kMax, 0, -1}, {kMin, 127, -1}};
    for (const auto &[semitones, in, out] : rows)
        for (std::uint8_t status : {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xAF}) {
            const Bytes bytes{status, std::uint8_t(in), 9};
            const auto want = out < 0 ? nullopt : std::optional(Bytes{status, std::uint8_t(out), 9});
            EXPECT_EQ(run(transpose(semitones), bytes), want) << semitones << " " << in << " " << int(status);
        }
    for (const Bytes &other : {Bytes{0xC0, 5}, Bytes{0xB0, 60, 1}, Bytes{0x90}, Bytes{0xF0, 60, 0xF7}})
        EXPECT_EQ(run(transpose(12), other), other);
    EXPECT_EQ(run(transpose(nullopt), {0x90, 60, 100}), (Bytes{0x90, 60, 100}));
    EXPECT_EQ(run(transpose(1), {0x90, 60}), (Bytes{0x90, 61}));
}

TEST(MIDIFilterProcessor, VelocityStaysWithin1To127)
{
    // {scale, offset, velocity in, out}. Halves round away from zero; the
    // result is clamped, never 0 (a note off).
    const std::tuple<std::optional<double>, std::optional<std::int64_t>, int, int> rows[] = {
        {0.5, 0, 101, 51},           {0.5, 0, 1, 1},          {-0.5, 10, 3, 8},    {0.0, 0, 100, 1},
        {2.0, 0, 100, 127},          {1.0, 0, 127, 127},      {1.0, 1, 127, 127},  {1.0, -1, 1, 1},
        {1.0, -126, 127, 1},         {nullopt, 10, 100, 110}, {kInf, 0, 100, 127}, {-kInf, kIntMax, 100, 1},
        {std::nan(""), 1, 100, 101}, {1.0, kMax, 1, 127},     {1.0, kMin, 127, 1},
    };
    for (const auto &[scale, offset, in, out] : rows)
        for (std::uint8_t status : {0x90, 0x9F})
            EXPECT_EQ(run(velocity(scale, offset), {status, 60, std::uint8_t(in)}),
                      (Bytes{status, 60, std::uint8_t(out)}))
                << scale.value_or(-99) << " " << offset.value_or(-99) << " " << in;
    // Velocity 0 (a note off), other kinds and a short note on are left alone.
    for (const Bytes &other : {Bytes{0x90, 60, 0}, Bytes{0x80, 60, 64}, Bytes{0xA0, 60, 64}, Bytes{0x90, 60}})
        EXPECT_EQ(run(velocity(0.0, kMax), other), other);
}

TEST(MIDIFilterProcessor, NoteAndControllerRangesAreInclusive)
{
    // {low bound, high bound, note or controller number, kept}
    const std::tuple<std::optional<std::int64_t>, std::optional<std::int64_t>, int, bool> rows[] = {
        {0, 127, 0, true},
        {0, 127, 127, true},
        {1, 127, 0, false},
        {0, 126, 127, false},
        {nullopt, 48, 0, true},
        {100, nullopt, 127, true},
        {60, 50, 55, false},
        {kMin, kMax, 0, true},
        {kMin, kMax, 127, true},
        {128, kMax, 127, false},
        {kMin, -1, 0, false},
        {3000000000, kMax, 127, false},
        {kMin, -3000000000, 0, false},
    };
    for (const auto &[low, high, value, kept] : rows)
        for (std::uint8_t status : {0x80, 0x9F, 0xA0, 0xAF, 0xB0, 0xBF}) {
            const Bytes bytes{status, std::uint8_t(value), 3};
            const bool cc = status >= 0xB0;
            EXPECT_EQ(run(noteRange(low, high), bytes), kept || cc ? std::optional(bytes) : nullopt) << value;
            EXPECT_EQ(run(ccRange(low, high), bytes), kept || !cc ? std::optional(bytes) : nullopt) << value;
        }
    EXPECT_EQ(run(noteRange(36, 48), {0xE0, 0, 64}), (Bytes{0xE0, 0, 64}));
}

TEST(MIDIFilterProcessor, MessageTypeFilter)
{
    // Each channel kind on channels 1 and 16 is blocked by its own type only.
    for (std::uint8_t status : kChannelStatuses) {
        const T type = kAllMIDIStatusTypes[(status >> 4) - 8];
        const Bytes bytes{status, 127, 0};
        EXPECT_EQ(run(blockTypes({{type}}), bytes), nullopt) << int(status);
        std::vector<T> others(kAllMIDIStatusTypes.begin(), kAllMIDIStatusTypes.end());
        std::erase(others, type);
        EXPECT_EQ(run(blockTypes(others), bytes), bytes) << int(status);
    }
    EXPECT_EQ(run(blockTypes({{T::systemRealtime}}), {0xF8}), nullopt);
    EXPECT_EQ(run(blockTypes({{}}), {0xF8}), (Bytes{0xF8}));
    EXPECT_EQ(run(blockTypes(nullopt), {0xF8}), (Bytes{0xF8}));
    EXPECT_EQ(run(blockTypes({{T::systemCommon}}), {0x3C}), nullopt); // no status byte
    EXPECT_EQ(run(blockTypes({{T::pitchBend, T::sysex}}), {0xF0, 1, 0xF7}), nullopt);
}

TEST(MIDIFilterProcessor, EmptyMessagePassesAndKindsReadOnlyTheirOwnFields)
{
    for (const FilterStep &s : {remap({{0}}), transpose(-200), velocity(0.0, 0), noteRange(200, 0),
                                ccRange(200, 0), blockTypes({{T::systemCommon}})})
        EXPECT_EQ(run(s, {}), Bytes{});
    FilterStep s = transpose(1);
    s.channelMap = std::vector<int>{0};
    s.noteHigh = 0;
    s.blockedTypes = std::vector<T>{T::noteOn};
    EXPECT_EQ(run(s, {0x90, 60, 1}), (Bytes{0x90, 61, 1}));
}

FilterStep off(FilterStep s)
{
    s.enabled = false;
    return s;
}

TEST(MIDIFilterProcessor, ChainRules)
{
    struct Row {
        const char *name;
        std::vector<FilterStep> steps;
        Bytes in;
        std::optional<Bytes> out;
    };
    const Row rows[] = {
        {"empty chain", {}, {0x90, 61, 1}, Bytes{0x90, 61, 1}},
        {"all disabled", {off(transpose(5)), off(remap({{0}}))}, {0x90, 61, 1}, Bytes{0x90, 61, 1}},
        {"disabled skipped", {off(transpose(1)), noteRange(60, 60)}, {0x90, 61, 1}, nullopt},
        {"steps feed each other", {transpose(1), noteRange(60, 60)}, {0x90, 59, 1}, Bytes{0x90, 60, 1}},
        {"order matters", {noteRange(60, 60), transpose(1)}, {0x90, 59, 1}, nullopt},
        {"three rewrites",
         {remap({{3}}), velocity(0.5, 0), transpose(-12)},
         {0x90, 60, 101},
         Bytes{0x92, 48, 51}},
        {"drop ends the walk", {remap({{0}}), remap({{5}})}, {0x90, 60, 1}, nullopt},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        FilterChain chain("test");
        chain.steps = r.steps;
        const auto result = MIDIFilterProcessor::apply(chain, MIDIMessage(r.in, 1234));
        EXPECT_EQ(result, r.out ? std::optional(MIDIMessage(*r.out, 1234)) : nullopt);
        MIDIMessage inPlace(r.in);
        EXPECT_EQ(MIDIFilterProcessor::applyInPlace(chain, inPlace), r.out.has_value());
        EXPECT_TRUE(!r.out || inPlace.bytes == *r.out);
    }
    FilterChain chain("identity");
    EXPECT_TRUE(MIDIFilterProcessor::isIdentity(chain));
    chain.steps = {off(transpose(3))};
    EXPECT_TRUE(MIDIFilterProcessor::isIdentity(chain));
    chain.steps.push_back(transpose(0));
    EXPECT_FALSE(MIDIFilterProcessor::isIdentity(chain));
}

} // namespace
} // namespace korvane
