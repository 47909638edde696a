#include "midi/midi_stream_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ParserCase {
    std::string name;
    std::vector<Bytes> packets;  // fed in order to one parser
    std::vector<Bytes> expected; // every emitted message, in order
};

std::vector<Bytes> feed(MIDIStreamParser &parser, const std::vector<Bytes> &packets)
{
    std::vector<Bytes> out;
    for (const Bytes &packet : packets)
        parser.parse(packet.data(), packet.size(), 0,
                     [&](MIDIMessage &&m) { out.push_back(std::move(m.bytes)); });
    return out;
}

TEST(MIDIStreamParser, Rules)
{
    const ParserCase cases[] = {
        // Channel messages and running status.
        {"NoteOnThenRunningStatus",
         {{0x90, 0x3C, 0x64, 0x3E, 0x64}},
         {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x64}}},
        {"RunningStatusAcrossPackets", {{0x90}, {0x3C, 0x64}}, {{0x90, 0x3C, 0x64}}},
        {"DataSplitAcrossPacketsIsLost", {{0x90, 0x3C}, {0x64}}, {}},
        {"OneDataByteRunningStatus", {{0xC5, 0x07, 0x08}}, {{0xC5, 0x07}, {0xC5, 0x08}}},
        {"NewStatusReplacesRunningStatus",
         {{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0x3E, 0x00}},
         {{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}, {0x80, 0x3E, 0x00}}},
        // Incomplete and stray bytes.
        {"StrayDataWithoutStatusSkipped", {{0x3C, 0x64, 0x01}}, {}},
        {"IncompleteCutByStatus", {{0x90, 0x3C, 0xB0, 0x07, 0x7F}}, {{0xB0, 0x07, 0x7F}}},
        {"RunningStatusOddTrailingByteDropped", {{0x90, 0x3C, 0x64, 0x3E}}, {{0x90, 0x3C, 0x64}}},
        {"HalfPairBeforeStatus", {{0x90, 0x3C, 0x64, 0x3E, 0xC0, 0x05}}, {{0x90, 0x3C, 0x64}, {0xC0, 0x05}}},
        {"EmptyPacket", {{}}, {}},
        // Real-time bytes.
        {"RealtimeAlone", {{0xF8, 0xFA, 0xFC, 0xFE, 0xFF}}, {{0xF8}, {0xFA}, {0xFC}, {0xFE}, {0xFF}}},
        {"RealtimeCutsChannelMessage", {{0x90, 0x3C, 0xF8, 0x40}}, {{0xF8}}},
        {"RealtimeKeepsRunningStatus",
         {{0x90, 0x3C, 0x64, 0xF8, 0x3E, 0x64}},
         {{0x90, 0x3C, 0x64}, {0xF8}, {0x90, 0x3E, 0x64}}},
        {"RealtimeThenRunningPair", {{0x90, 0x3C, 0xF8, 0x40, 0x41}}, {{0xF8}, {0x90, 0x40, 0x41}}},
        {"RealtimeInsideSysex", {{0xF0, 0x7E, 0xF8, 0x01, 0xF7}}, {{0xF8}, {0xF0, 0x7E, 0x01, 0xF7}}},
        // System exclusive.
        {"SysexOnePacket", {{0xF0, 0x43, 0x12, 0x00, 0xF7}}, {{0xF0, 0x43, 0x12, 0x00, 0xF7}}},
        {"SysexSpansPackets",
         {{0xF0, 0x01}, {0x02, 0x03}, {}, {0x04, 0xF7}},
         {{0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7}}},
        {"SysexCutByChannel",
         {{0xF0, 0x01, 0x02, 0x90, 0x3C, 0x40}},
         {{0xF0, 0x01, 0x02}, {0x90, 0x3C, 0x40}}},
        {"SysexUnterminatedByNewSysex", {{0xF0, 0x01, 0xF0, 0x02, 0xF7}}, {{0xF0, 0x01}, {0xF0, 0x02, 0xF7}}},
        {"SysexUnterminatedBySystemCommon", {{0xF0, 0x01}, {0xF6}}, {{0xF0, 0x01}, {0xF6}}},
        {"SysexCancelsRunning",
         {{0x90, 0x3C, 0x64, 0xF0, 0x01, 0xF7, 0x3E, 0x64}},
         {{0x90, 0x3C, 0x64}, {0xF0, 0x01, 0xF7}}},
        {"SysexUnterminatedNotEmittedWhilePacketsLackStatus", {{0xF0, 0x01}, {0x02}}, {}},
        {"SongPositionComplete", {{0xF2, 0x10, 0x20}}, {{0xF2, 0x10, 0x20}}},
        {"SongPositionIncompleteDropped", {{0xF2, 0x10}}, {}},
        {"QuarterFrameAndSongSelect", {{0xF1, 0x31, 0xF3, 0x05}}, {{0xF1, 0x31}, {0xF3, 0x05}}},
        {"CommonCancelsRunning", {{0x90, 0x3C, 0x64, 0xF6, 0x3E, 0x64}}, {{0x90, 0x3C, 0x64}, {0xF6}}},
        {"SystemCommonCancelsAcrossPackets",
         {{0xC0, 0x01}, {0xF3, 0x02}, {0x03}},
         {{0xC0, 0x01}, {0xF3, 0x02}}},
        {"UndefinedSystemCommonHasNoData", {{0xF4, 0xF5}}, {{0xF4}, {0xF5}}},
        {"StrayEndOfExclusive", {{0xF7}}, {{0xF7}}},
    };
    for (const ParserCase &c : cases) {
        MIDIStreamParser parser;
        EXPECT_EQ(feed(parser, c.packets), c.expected) << c.name;
    }
}

TEST(MIDIStreamParser, EveryMessageCarriesItsPacketTimestamp)
{
    MIDIStreamParser parser;
    std::vector<std::pair<Bytes, std::uint64_t>> out;
    auto collect = [&](MIDIMessage &&m) { out.emplace_back(m.bytes, m.timestamp); };
    parser.parse(Bytes{0xF0, 0x01, 0x90, 0x3C, 0x40, 0x3E}, 111, collect);
    parser.parse(Bytes{0xF8, 0x40, 0x41}, 222, collect);
    const std::vector<std::pair<Bytes, std::uint64_t>> expected{
        {{0xF0, 0x01}, 111}, {{0x90, 0x3C, 0x40}, 111}, {{0xF8}, 222}, {{0x90, 0x40, 0x41}, 222}};
    EXPECT_EQ(out, expected);
}

TEST(MIDIStreamParser, DataByteCounts)
{
    const std::pair<std::uint8_t, int> rows[] = {
        {0x7F, 0}, {0x80, 2}, {0x8F, 2}, {0x90, 2}, {0x9F, 2}, {0xA0, 2}, {0xAF, 2}, {0xB0, 2},
        {0xBF, 2}, {0xC0, 1}, {0xCF, 1}, {0xD0, 1}, {0xDF, 1}, {0xE0, 2}, {0xEF, 2}, {0xF0, 0},
        {0xF1, 1}, {0xF2, 2}, {0xF3, 1}, {0xF4, 0}, {0xF6, 0}, {0xF7, 0}, {0xF8, 0}, {0xFF, 0}};
    for (const auto &[status, count] : rows)
        EXPECT_EQ(midiDataByteCount(status), count) << std::hex << int(status);
}

// The cap: messages up to kMaxSysexBytes (0xF0 and 0xF7 included) pass
// unchanged; a longer one is dropped whole and the stream resumes at the next
// status byte.
Bytes sysexBody(std::size_t count)
{
    Bytes body(count);
    for (std::size_t i = 0; i < count; ++i)
        body[i] = static_cast<std::uint8_t>(i % 0x80);
    return body;
}

constexpr std::size_t kCap = MIDIStreamParser::kMaxSysexBytes;

TEST(MIDIStreamParser, SysexCapKeepsOrDropsAtTheLimit)
{
    struct Row {
        std::size_t bodyBytes; // data bytes between 0xF0 and the terminator
        bool terminated, kept;
    };
    for (const Row c : {Row{kCap - 2, true, true}, Row{kCap - 1, true, false}, Row{kCap - 1, false, true},
                        Row{kCap, false, false}, Row{kCap * 2, true, false}}) {
        SCOPED_TRACE(testing::Message() << c.bodyBytes << (c.terminated ? " terminated" : " cut"));
        const Bytes body = sysexBody(c.bodyBytes);
        // Collected over many packets, with a real-time byte in the middle; after
        // the terminator (or the cutting status byte) the stream goes on normally.
        std::vector<Bytes> packets{{0xF0}};
        for (std::size_t pos = 0; pos < body.size(); pos += 4096) {
            packets.emplace_back(body.begin() + pos, body.begin() + std::min(pos + 4096, body.size()));
            if (pos == 4096 * 8)
                packets.push_back({0xF8});
        }
        packets.push_back(c.terminated ? Bytes{0xF7} : Bytes{});
        packets.push_back({0x90, 0x3C, 0x40, 0x3E, 0x41});
        MIDIStreamParser parser;
        const std::vector<Bytes> out = feed(parser, packets);

        std::vector<Bytes> expected{{0xF8}};
        if (c.kept) {
            Bytes whole{0xF0};
            whole.insert(whole.end(), body.begin(), body.end());
            if (c.terminated)
                whole.push_back(0xF7);
            expected.push_back(std::move(whole));
        }
        expected.push_back({0x90, 0x3C, 0x40});
        expected.push_back({0x90, 0x3E, 0x41});
        ASSERT_EQ(out.size(), expected.size());
        EXPECT_TRUE(out == expected);
    }
}

TEST(MIDIStreamParser, DroppedSysexDoesNotSwallowFollowingSysex)
{
    MIDIStreamParser parser;
    Bytes big = sysexBody(kCap + 10);
    big.front() = 0xF0;
    big.insert(big.end(), {0xF0, 0x01, 0xF7, 0xF7});
    // The new 0xF0 ends the dropped one and opens a message of its own; the
    // last 0xF7 is then a stray end of exclusive.
    EXPECT_EQ(feed(parser, {big}), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}, {0xF7}}));
}

} // namespace
} // namespace korvane
