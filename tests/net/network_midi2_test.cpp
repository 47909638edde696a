// Network MIDI 2.0 command packets both ways, against byte vectors taken from
// the open implementations (cited per row), and the UMP <-> MIDI 1.0 tables.

#include "net/network_midi2.h"
#include "net/ump_stream_responder.h"
#include "net/ump_translator.h"
#include "support/hex.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using namespace NetworkMIDI2;
using namespace test;

// Where each vector comes from:
//  Z  zephyrproject-rtos/zephyr subsys/net/lib/midi2/netmidi2.c (header layout of
//     sess_buf_add_header / netmidi2_quick_reply, invitation replies, Bye timeout
//     {F0 00 04 00}, NAK with the refused header as payload)
//  MS microsoft/MIDI src/api/Transport/UdpNetworkMidi2Transport/MidiNetworkDataWriter.cpp
//     (field placement of every Write* command)
//  PY titouanc/pymidi2 tests/test_midiudp.py (the two UMP Data packets)
// The Pending reply's payload is the Accepted one's (MS's writer for it takes the
// same endpoint name and product instance id; neither sends it yet).
TEST(NetworkMIDI2Codec, EveryCommandBothWays)
{
    using enum CommandCode;
    const std::string nonce = "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F";
    const std::string digest = nonce + " " + nonce;
    const struct {
        const char *source;
        Command command;
        std::string bytes;
    } rows[] = {
        {"PY", {.code = umpData, .sequence = 0x1234, .ump = {0x2A2A2A2A}}, "FF 01 12 34 2A 2A 2A 2A"},
        {"PY",
         {.code = umpData, .sequence = 2047, .ump = {0x436F7563, 0x6F752020}},
         "FF 02 07 FF 43 6F 75 63 6F 75 20 20"},
        {"MS", {.code = umpData, .sequence = 0xFFFF}, "FF 00 FF FF"},
        {"MS",
         {.code = invitation, .reason = 3, .name = "Abcde", .productInstanceId = "P1"},
         "01 03 02 03 41 62 63 64 65 00 00 00 50 31 00 00"},
        {"Z", {.code = invitationAccepted, .name = "KORV"}, "10 01 01 00 4B 4F 52 56"},
        {"MS", {.code = invitationPending, .productInstanceId = "x"}, "11 01 00 00 78 00 00 00"},
        {"Z",
         {.code = invitationAuthRequired, .reason = 1, .name = "H", .secret = hex(nonce)},
         "12 05 01 01 " + nonce + " 48 00 00 00"},
        {"Z", {.code = invitationUserAuthRequired, .secret = hex(nonce)}, "13 04 00 00 " + nonce},
        {"Z", {.code = invitationWithAuth, .secret = hex(digest)}, "02 08 00 00 " + digest},
        {"Z",
         {.code = invitationWithUserAuth, .name = "ana", .secret = hex(digest)},
         "03 09 00 00 " + digest + " 61 6E 61 00"},
        {"MS", {.code = ping, .value = 0xDEADBEEF}, "20 01 00 00 DE AD BE EF"},
        {"Z", {.code = pingReply, .value = 0x01020304}, "21 01 00 00 01 02 03 04"},
        {"MS", {.code = retransmitRequest, .sequence = 0xFFFE, .count = 3}, "80 01 FF FE 00 03 00 00"},
        {"MS", {.code = retransmitError, .sequence = 0x0102, .reason = 1}, "81 01 01 00 01 02 00 00"},
        {"MS", {.code = sessionReset}, "82 00 00 00"},
        {"Z", {.code = sessionResetReply}, "83 00 00 00"},
        {"Z", {.code = nak, .reason = 3, .value = 0xFF050000}, "8F 01 03 00 FF 05 00 00"},
        {"MS",
         {.code = nak, .reason = 1, .value = 0x99000000, .text = "no"},
         "8F 02 01 00 99 00 00 00 6E 6F 00 00"},
        {"Z", {.code = bye, .reason = ByeReason::timeout}, "F0 00 04 00"},
        {"MS", {.code = bye, .reason = 0x80, .text = "fin!"}, "F0 01 80 00 66 69 6E 21"},
        {"Z", {.code = byeReply}, "F1 00 00 00"},
    };
    for (const auto &row : rows) {
        Bytes encoded;
        append(encoded, row.command);
        EXPECT_EQ(toHex(encoded), toHex(hex(row.bytes))) << row.source << " " << toString(row.command.code);
        std::vector<Command> decoded;
        EXPECT_TRUE(decode(hex("4D 49 44 49 " + row.bytes), [&](const Command &c) { decoded.push_back(c); }));
        Command expected = row.command;
        expected.header =
            (std::uint32_t{encoded[0]} << 24) | (encoded[1] << 16) | (encoded[2] << 8) | encoded[3];
        EXPECT_EQ(decoded, std::vector{expected}) << row.source << " " << toString(row.command.code);
    }
}

// The codes of the commands read, each malformed one marked "!"; "refused"
// when the bytes are not a datagram.
std::string commandsIn(const std::string &datagram)
{
    std::string codes;
    const bool read = decode(hex(datagram), [&](const Command &c) {
        codes += (codes.empty() ? "" : " ") + toHex({static_cast<std::uint8_t>(c.code)}) +
                 (c.malformed ? "!" : "");
    });
    return read ? codes : "refused";
}

TEST(NetworkMIDI2Codec, DatagramsThatAreNotWholeStopWhereTheyBreak)
{
    EXPECT_EQ(commandsIn("4D 49 44 48 20 01 00 00 00 00 00 01"), "refused"); // no signature
    EXPECT_EQ(commandsIn("4D 49 44"), "refused");
    EXPECT_EQ(commandsIn("4D 49 44 49"), "");
    EXPECT_EQ(commandsIn("4D 49 44 49 83 00 00 00 FF"), "83"); // a trailing partial header is ignored
    // A payload past the end: reported malformed, nothing after it read.
    EXPECT_EQ(commandsIn("4D 49 44 49 FF 03 00 01 20 90 3C 64 82 00 00 00"), "FF!");
    // An invitation whose name would run past its payload; a ping without its id.
    EXPECT_EQ(commandsIn("4D 49 44 49 01 01 02 00 41 42 43 44 20 00 00 00"), "01! 20!");
    // Two commands, an unknown code between them: each seen, in order.
    EXPECT_EQ(commandsIn("4D 49 44 49 82 00 00 00 7E 01 00 00 01 02 03 04 F1 00 00 00"), "82 7E F1");
}

TEST(NetworkMIDI2Codec, LongTextsAreCutAtACharacterBoundary)
{
    // 99 bytes of name: the two-byte é would cross the 98-byte limit.
    const Command c{.code = CommandCode::invitation,
                    .name = std::string(97, 'a') + "\xC3\xA9",
                    .productInstanceId = std::string(50, 'p')};
    Bytes encoded;
    append(encoded, c);
    EXPECT_EQ(encoded[2], 25); // 97 bytes of name in 25 words
    EXPECT_EQ(encoded[1], 25 + 11);
    std::vector<Command> decoded;
    decode(hex("4D 49 44 49 " + toHex(encoded)), [&](const Command &d) { decoded.push_back(d); });
    EXPECT_EQ(decoded.at(0).name, std::string(97, 'a'));
    EXPECT_EQ(decoded.at(0).productInstanceId, std::string(42, 'p'));
}

using Messages = std::vector<std::string>;

// The words of these UMPs, back to back.
std::vector<std::uint32_t> words(const std::vector<UMP> &umps)
{
    std::vector<std::uint32_t> w;
    for (const UMP &u : umps)
        w.insert(w.end(), u.words.begin(), u.words.begin() + u.size);
    return w;
}

// The MIDI 1.0 messages, in hex.
Messages fromUMPs(UMPTranslator &t, const std::vector<UMP> &umps, int *dropped = nullptr)
{
    Messages out;
    for (const UMP &u : umps) {
        const auto r = t.fromUMP(u.view(), [&](const MIDIMessage &m) { out.push_back(toHex(m.bytes)); });
        if (dropped)
            *dropped += r.dropped;
    }
    return out;
}

TEST(UMPTranslation, MIDI1MessagesAndTheirUMPsBothWays)
{
    const struct {
        std::string midi;
        std::uint8_t group;
        std::uint32_t word;
    } rows[] = {
        {"80 00 00", 0, 0x20800000},  {"8F 7F 7F", 15, 0x2F8F7F7F}, {"90 00 00", 0, 0x20900000},
        {"9F 7F 7F", 15, 0x2F9F7F7F}, {"A0 00 00", 0, 0x20A00000},  {"AF 7F 7F", 15, 0x2FAF7F7F},
        {"B0 00 00", 0, 0x20B00000},  {"BF 7F 7F", 15, 0x2FBF7F7F}, {"C0 00", 0, 0x20C00000},
        {"CF 7F", 15, 0x2FCF7F00},    {"D0 00", 0, 0x20D00000},     {"DF 7F", 15, 0x2FDF7F00},
        {"E0 00 00", 0, 0x20E00000},  {"EF 7F 7F", 15, 0x2FEF7F7F}, {"F1 7F", 0, 0x10F17F00},
        {"F2 00 7F", 0, 0x10F2007F},  {"F3 05", 3, 0x13F30500},     {"F6", 0, 0x10F60000},
        {"F8", 0, 0x10F80000},        {"FF", 15, 0x1FFF0000},
    };
    for (const auto &row : rows) {
        std::vector<UMP> umps;
        ASSERT_TRUE(UMPTranslator::toUMP(hex(row.midi), row.group, umps)) << row.midi;
        ASSERT_EQ(umps, std::vector<UMP>{UMP{row.word}}) << row.midi;
        UMPTranslator receiver(row.group);
        EXPECT_EQ(fromUMPs(receiver, umps), Messages{row.midi}) << row.midi;
        // Another group is not this session's.
        UMPTranslator other(static_cast<std::uint8_t>((row.group + 1) % 16));
        int dropped = 0;
        EXPECT_TRUE(fromUMPs(other, umps, &dropped).empty());
        EXPECT_EQ(dropped, 1);
    }
    // Just outside: a data byte of 128, a message short of a byte, undefined or lone statuses.
    for (const char *refused : {"90 80 40", "90 3C", "C0 00 00", "F7", "F4", "FD", "F0 01 80 F7", "3C"}) {
        std::vector<UMP> umps;
        EXPECT_FALSE(UMPTranslator::toUMP(hex(refused), 0, umps)) << refused;
        EXPECT_TRUE(umps.empty());
    }
}

TEST(UMPTranslation, SystemExclusiveInSixBytePiecesWithRealTimeBetween)
{
    const struct {
        std::string midi;
        std::vector<std::uint32_t> words;
    } rows[] = {
        {"F0 F7", {0x30000000, 0}},
        {"F0 01 02 03 04 05 06 F7", {0x30060102, 0x03040506}},
        {"F0 01 02 03 04 05 06 07 F7", {0x30160102, 0x03040506, 0x30310700, 0}},
    };
    for (const auto &row : rows) {
        std::vector<UMP> umps;
        ASSERT_TRUE(UMPTranslator::toUMP(hex(row.midi), 0, umps));
        EXPECT_EQ(words(umps), row.words) << row.midi;
        UMPTranslator receiver;
        EXPECT_EQ(fromUMPs(receiver, umps), Messages{row.midi});
    }
    // 1,000 bytes: 998 of data, 166 full pieces and one of 2; a clock tick between two pieces comes out
    // first.
    const auto big = test::sysexOf(1000);
    std::vector<UMP> umps;
    ASSERT_TRUE(UMPTranslator::toUMP(big, 5, umps));
    ASSERT_EQ(umps.size(), 167u);
    EXPECT_EQ(umps.front().words[0] >> 16, 0x3516u);
    EXPECT_EQ(umps.back().words[0] >> 16, 0x3532u);
    umps.insert(umps.begin() + 80, UMP{0x15F80000});
    UMPTranslator receiver(5);
    EXPECT_EQ(fromUMPs(receiver, umps), (Messages{"F8", toHex(big)}));
}

TEST(UMPTranslation, BrokenSystemExclusiveIsDroppedWholeAndCountedOnce)
{
    UMPTranslator t;
    int dropped = 0;
    const auto start = UMP{0x30160102, 0x03040506}, middle = UMP{0x30260102, 0x03040506},
               end = UMP{0x30310700, 0};
    // A continuation with nothing open, then its end: one loss.
    EXPECT_TRUE(fromUMPs(t, {middle, middle, end}, &dropped).empty());
    EXPECT_EQ(dropped, 1);
    // A new start while one is open loses the first; a data byte of 0x80 loses the second and its tail.
    dropped = 0;
    EXPECT_TRUE(fromUMPs(t, {start, start, UMP{0x30218000, 0}, middle, end}, &dropped).empty());
    EXPECT_EQ(dropped, 2);
    // Cut by a gap: reset() counts it, the rest of it is silent, the next one arrives.
    dropped = 0;
    fromUMPs(t, {start}, &dropped);
    EXPECT_EQ(t.reset(), 1);
    EXPECT_EQ(fromUMPs(t, {middle, end, start, end}, &dropped), Messages{"F0 01 02 03 04 05 06 07 F7"});
    EXPECT_EQ(dropped, 0);
}

TEST(UMPTranslation, MIDI2ChannelVoiceByTheStandardRules)
{
    const struct {
        std::uint32_t w0, w1;
        std::vector<std::string> midi;
    } rows[] = {
        {0x40903C00, 0x00000000, {"90 3C 01"}}, // velocity 0 is never a note-off
        {0x40903C00, 0x01FF0000, {"90 3C 01"}},
        {0x409F7F00, 0xFFFF0000, {"9F 7F 7F"}},
        {0x40807F00, 0xFFFF0000, {"80 7F 7F"}},
        {0x40A03C00, 0x80000000, {"A0 3C 40"}},
        {0x40B00700, 0xFFFFFFFF, {"B0 07 7F"}},
        {0x40BF7F00, 0x01FFFFFF, {"BF 7F 00"}},
        {0x40C00000, 0x05000000, {"C0 05"}},
        {0x40C00001, 0x7F000102, {"B0 00 01", "B0 20 02", "C0 7F"}}, // bank valid
        {0x40D00000, 0xFFFFFFFF, {"D0 7F"}},
        {0x40E00000, 0x80000000, {"E0 00 40"}},
        {0x40EF0000, 0xFFFFFFFF, {"EF 7F 7F"}},
        {0x40200102, 0x80000000, {"B0 65 01", "B0 64 02", "B0 06 40", "B0 26 00"}},
        {0x403F7F7F, 0xFFFFFFFF, {"BF 63 7F", "BF 62 7F", "BF 06 7F", "BF 26 7F"}},
    };
    for (const auto &row : rows) {
        UMPTranslator t;
        EXPECT_EQ(fromUMPs(t, {UMP{row.w0, row.w1}}), row.midi) << std::hex << row.w0 << " " << row.w1;
    }
    // No MIDI 1.0 form: per-note controllers, per-note pitch bend, management; other types.
    for (const UMP &u : {UMP{0x40003C01, 1}, UMP{0x40603C00, 1}, UMP{0x40F03C00, 0}, UMP{0x50000000, 0, 0, 0},
                         UMP{0x00100000}, UMP{0x60000000}, UMP{0xD0000000, 0, 0, 0}}) {
        UMPTranslator t;
        int dropped = 0;
        EXPECT_TRUE(fromUMPs(t, {u}, &dropped).empty());
        EXPECT_EQ(dropped, 1) << std::hex << u.words[0];
    }
    UMPTranslator t;
    EXPECT_EQ(t.fromUMP(UMP{0}.view(), [](const MIDIMessage &) {}).dropped, 0); // NOOP
    EXPECT_TRUE(t.fromUMP(UMP{0xF0000101, 0x1F, 0, 0}.view(), [](const MIDIMessage &) {}).stream);
}

// UMP stream answers, word for word as zephyrproject-rtos/zephyr
// lib/midi2/ump_stream_responder.c builds them (endpoint info, block info,
// names split over UMPs), plus the stream configuration that one leaves out.
TEST(UMPStream, DiscoveryIsAnsweredWithEndpointBlockAndNames)
{
    const UMPStreamResponder responder("KORVANE show", "PIID-1", "Régie", 2);
    const auto answer = [&](std::vector<std::uint32_t> request) { return words(responder.respond(request)); };
    // Endpoint discovery, every filter bit: info, name (12 bytes: one UMP), PIID, stream configuration.
    EXPECT_EQ(answer({0xF0000101, 0x0000001F, 0, 0}),
              (std::vector<std::uint32_t>{0xF0010101, 0x81000100, 0, 0,                   //
                                          0xF0034B4F, 0x5256414E, 0x45207368, 0x6F770000, //
                                          0xF0045049, 0x49442D31, 0, 0, 0xF0060100, 0, 0, 0}));
    EXPECT_EQ(answer({0xF0050100, 0, 0, 0}), (std::vector<std::uint32_t>{0xF0060100, 0, 0, 0}));
    EXPECT_EQ(
        answer({0xF010FF03, 0, 0, 0}),
        (std::vector<std::uint32_t>{0xF0118037, 0x02010000, 0, 0, 0xF0120052, 0xC3A96769, 0x65000000, 0}));
    EXPECT_TRUE(answer({0xF0100103, 0, 0, 0}).empty()); // no block 1
    EXPECT_TRUE(answer({0xF0020000, 0, 0, 0}).empty()); // a notification is not a question
    // A name over 14 bytes: start (14 bytes), end (6).
    const UMPStreamResponder longer(std::string(20, 'n'), "", "", 0);
    EXPECT_EQ(words(longer.endpointName()),
              (std::vector<std::uint32_t>{0xF4036E6E, 0x6E6E6E6E, 0x6E6E6E6E, 0x6E6E6E6E, 0xFC036E6E,
                                          0x6E6E6E6E, 0, 0}));
}

} // namespace
} // namespace korvane
