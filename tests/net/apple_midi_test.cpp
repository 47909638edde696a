#include "net/apple_midi.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <array>

using namespace korvane;
using namespace korvane::AppleMIDI;
using namespace korvane::test;

namespace {

// The messages of one RTP-MIDI packet, in hex; none carries a timestamp.
std::vector<std::string> messagesOf(const Bytes &packet)
{
    std::vector<std::string> out;
    for (const auto &m : decodeRTP(packet)) {
        EXPECT_EQ(m.timestamp, 0u);
        out.push_back(toHex(m.bytes));
    }
    return out;
}

constexpr const char *kRtpHeader = "80 61 12 34 00 00 00 2A DE AD BE EF ";

} // namespace

TEST(AppleMIDIExchange, EncodesTheWireLayoutAndRoundTrips)
{
    using enum Command;
    EXPECT_EQ(toHex(encodeExchange({invitation, 0x01020304, 0xA0B0C0D0, "abc"})),
              "FF FF 49 4E 00 00 00 02 01 02 03 04 A0 B0 C0 D0 61 62 63 00");
    // The terminator is written for an empty name too.
    EXPECT_EQ(toHex(encodeExchange({bye, 7, 9, ""})), "FF FF 42 59 00 00 00 02 00 00 00 07 00 00 00 09 00");
    for (auto command : {invitation, invitationOK, invitationReject, bye, clockSync, receiverFeedback}) {
        const Exchange e{command, 0xCAFEBABE, 0x12345678, "Studio B — ÿ"};
        EXPECT_EQ(decodeExchange(encodeExchange(e)), e) << toString(command);
    }
}

TEST(AppleMIDIExchange, DecodesAcceptedPacketsAndRejectsMalformedOnes)
{
    using enum Command;
    const std::pair<const char *, std::optional<Exchange>> cases[] = {
        {"FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06", Exchange{invitation, 5, 6, ""}},
        {"FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 61 62 63", Exchange{invitation, 5, 6, "abc"}},
        {"FF FF 4F 4B 00 00 00 02 00 00 00 05 00 00 00 06 61 00 62 00", Exchange{invitationOK, 5, 6, "a"}},
        // Protocol version not examined.
        {"FF FF 49 4E 00 00 00 01 FF FF FF FF 00 00 00 01 78 00", Exchange{invitation, 0xFFFFFFFF, 1, "x"}},
        // A CK of 16 bytes or more also reads as an exchange.
        {"FF FF 43 4B 00 00 00 02 00 00 00 01 00 00 00 02", Exchange{clockSync, 1, 2, ""}},
        {"FF FF 49 4E 00 00 00 02 00 00 00 01 00 00 00 02 61 FF 62 00",
         Exchange{invitation, 1, 2, "a\uFFFDb"}},
        {"FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00", std::nullopt},       // 15 bytes
        {"FF FF 58 59 00 00 00 02 00 00 00 05 00 00 00 06 00", std::nullopt}, // "XY"
        {"FF FE 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 00", std::nullopt},
        {"FE FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 00", std::nullopt},
    };
    for (const auto &[packet, expected] : cases)
        EXPECT_EQ(decodeExchange(hex(packet)), expected) << packet;
}

TEST(AppleMIDIUtf8, ReplacesEachMaximalInvalidSubpart)
{
    const std::string R = "\xEF\xBF\xBD";
    const std::pair<const char *, std::string> cases[] = {
        {"C3 A9", "\xC3\xA9"}, {"F0 9F 98 80", "\xF0\x9F\x98\x80"},
        {"E2 82 41", R + "A"}, {"ED A0 80", R + R + R}, // surrogate
        {"C0 AF", R + R},      {"F4 90 80 80", R + R + R + R},
        {"FF 41", R + "A"},    {"E2 82", R},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(decodeUTF8Lossy(hex(in)), out) << in;
}

TEST(AppleMIDISessionPackets, ClockSyncAndReceiverFeedbackLayouts)
{
    const ClockSync sync{0x01020304, 1, 0x1112131415161718, 0x2122232425262728, 0x3132333435363738};
    const auto bytes = encodeClock(sync);
    EXPECT_EQ(toHex(bytes), "FF FF 43 4B 01 02 03 04 01 00 00 00 11 12 13 14 15 16 17 18 "
                            "21 22 23 24 25 26 27 28 31 32 33 34 35 36 37 38");
    auto longer = bytes;
    longer.push_back(0xAA);
    EXPECT_EQ(decodeClock(longer), sync);
    EXPECT_FALSE(decodeClock(ByteView(bytes).first(35)));
    for (std::size_t at : {1, 3}) {
        auto broken = bytes;
        broken[at] = 0x4E;
        EXPECT_FALSE(decodeClock(broken)) << at;
    }
    EXPECT_FALSE(isSessionCommand(hex("FF FF 49")));
    EXPECT_TRUE(isSessionCommand(hex("FF FF 49 4E")));
    EXPECT_FALSE(isSessionCommand(hex("FF 7F 49 4E")));

    const auto packet = encodeFeedback({0xDEADBEEF, 0x1234});
    EXPECT_EQ(toHex(packet), "FF FF 52 53 DE AD BE EF 12 34 00 00");
    EXPECT_EQ(decodeFeedback(packet), (ReceiverFeedback{0xDEADBEEF, 0x1234}));
    EXPECT_FALSE(decodeFeedback(Bytes(packet.begin(), packet.end() - 1)));
    EXPECT_FALSE(decodeFeedback(hex("FF FF 43 4B DE AD BE EF 12 34 00 00")));
}

TEST(AppleMIDIRtp, DecodesCommandLists)
{
    const std::string h = kRtpHeader;
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {h + "03 90 3C 64", {"90 3C 64"}},
        {"80 E1 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {"90 3C 64"}}, // marker bit
        {h + "06 90 3C 64 00 3E 64", {"90 3C 64", "90 3E 64"}},            // running status
        {h + "24 00 90 3C 64", {"90 3C 64"}},                              // Z: leading delta
        {h + "26 81 80 00 90 3C 64", {"90 3C 64"}},                        // multi-byte delta
        {h + "02 90 3C", {}},                                              // one data byte short
        {h + "04 F0 7E 01 F7", {"F0 7E 01 F7"}},
        {h + "03 F0 7E 01", {"F0 7E 01"}},
        {h + "06 F0 7E 01 00 F8 00", {"F8", "F0 7E 01 00 00"}}, // real-time inside: own message
        {h + "01 F8", {"F8"}},
        {h + "03 3C 64 00", {}}, // data before any status
        {h + "09 C5 10 00 F3 05 00 F2 01 02", {"C5 10", "F3 05", "F2 01 02"}},
        {h + "08 90 3C 64 00 F8 00 3E 64", {"90 3C 64", "F8", "90 3E 64"}}, // F8 keeps running status
        {h + "04 F8 00 3E 64", {"F8"}},                                     // no running status to keep
        {h + "43 90 3C 64 20 00 01 02", {"90 3C 64"}},                      // journal ignored
        {h + "80 03 90 3C 64", {"90 3C 64"}},                               // B: long header
        {"81 61 00 01 00 00 00 00 00 00 00 01 AA BB CC DD 03 90 3C 64", {"90 3C 64"}}, // CSRC
        {"90 61 00 01 00 00 00 00 00 00 00 01 BE DE 00 01 11 22 33 44 03 90 3C 64", {"90 3C 64"}},
        {h + "00", {}},
        {"80 61 00 01 00 00 00 00 00 00 00 01", {}},
        {"C0 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}}, // version 3
        {"40 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}}, // version 1
        {"80 60 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}}, // payload type 96
        {h + "05 90 3C 64", {}},
        {h + "80", {}},
        {h + "8F FF 90 3C 64", {}},
        {"8F 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}},
        {"90 61 00 01 00 00 00 00 00 00 00 01 BE DE 00", {}},
        {"90 61 00 01 00 00 00 00 00 00 00 01 BE DE FF FF 03 90 3C 64", {}},
    };
    for (const auto &[packet, messages] : cases)
        EXPECT_EQ(messagesOf(hex(packet)), messages) << packet;
}

TEST(AppleMIDIRtp, EncodesOneMessagePerPacketWithinTheLengthField)
{
    EXPECT_EQ(toHex(encodeRTP(MIDIMessage(hex("90 3C 64"), 99), 0x1234, 0x2A, 0xDEADBEEF)),
              std::string(kRtpHeader) + "03 90 3C 64");
    for (const auto &[size, header] : {std::pair<std::size_t, const char *>{16, "80 10"}, {4095, "8F FF"}}) {
        const auto packet = encodeRTP(MIDIMessage(sysexOf(size)), 1, 2, 3);
        ASSERT_EQ(packet.size(), 14 + size);
        EXPECT_EQ(toHex(Bytes(packet.begin() + 12, packet.begin() + 14)), header);
    }
    // 4096 bytes: no packet whose header would lie.
    EXPECT_TRUE(encodeRTP(MIDIMessage(sysexOf(4096)), 1, 2, 3).empty());

    for (const char *m :
         {"90 3C 64", "C5 10", "F8", "F2 01 02", "F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 F7"}) {
        const MIDIMessage message(hex(m));
        const auto packet = encodeRTP(message, 7, 8, 9);
        ASSERT_EQ(encodeRTPPackets(message, 7, 8, 9), std::vector<Bytes>{packet}) << m;
        std::array<std::uint8_t, 64> buffer{};
        const std::size_t size = encodeRTPInto(message, 7, 8, 9, buffer);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size)), packet);
        EXPECT_EQ(encodeRTPInto(message, 7, 8, 9, std::span(buffer).first(size - 1)), 0u);
        EXPECT_EQ(messagesOf(packet), std::vector<std::string>{m});
    }
}

TEST(AppleMIDIRtp, SegmentsOnlyTerminatedSysexAtThePacketLimit)
{
    // 1386 bytes of list fill a 1400-byte packet exactly; one more splits.
    auto packets = encodeRTPPackets(MIDIMessage(sysexOf(1386)), 1, 2, 3);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), maxDataPacketSize);
    packets = encodeRTPPackets(MIDIMessage(sysexOf(1387)), 1, 2, 3);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), maxDataPacketSize);
    EXPECT_EQ(toHex(Bytes(packets[1].begin() + 12, packets[1].end())), "03 F7 69 F7");

    // A small limit shows the segment shapes byte for byte.
    packets = encodeRTPPackets(MIDIMessage(hex("F0 01 02 03 04 05 06 07 08 09 F7")), 0xFFFF, 2, 3, 20);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(toHex(packets[0]), "80 61 FF FF 00 00 00 02 00 00 00 03 06 F0 01 02 03 04 F0");
    EXPECT_EQ(toHex(packets[1]), "80 61 00 00 00 00 00 02 00 00 00 03 06 F7 05 06 07 08 F0");
    EXPECT_EQ(toHex(packets[2]), "80 61 00 01 00 00 00 02 00 00 00 03 03 F7 09 F7");

    // Not a clean sysex (unterminated, stray status inside): one packet up to
    // the length field's 4095 bytes, none beyond it; empty: none either.
    for (const std::size_t size : {2000u, 4095u, 4096u}) {
        auto unterminated = sysexOf(size), stray = sysexOf(size);
        unterminated.back() = 0x10;
        stray[1000] = 0xF8;
        for (const auto &m : {unterminated, stray}) {
            const auto whole = encodeRTP(MIDIMessage(m), 1, 2, 3);
            EXPECT_EQ(encodeRTPPackets(MIDIMessage(m), 1, 2, 3),
                      size <= 4095 ? std::vector<Bytes>{whole} : std::vector<Bytes>{})
                << size;
        }
    }
    EXPECT_TRUE(encodeRTPPackets(MIDIMessage(Bytes()), 1, 2, 3).empty());
}

TEST(AppleMIDISysex, DropsAMessageOverTheCap)
{
    const Bytes body(SysexReassembler::maxSysexBytes - 2, 0x11), one{0x22};
    SysexReassembler r;
    r.add({SysexSegment::Kind::first, body});
    const auto *whole = r.add({SysexSegment::Kind::last, {}});
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->bytes.size(), SysexReassembler::maxSysexBytes);

    r.add({SysexSegment::Kind::first, body});
    EXPECT_FALSE(r.add({SysexSegment::Kind::middle, one}));
    EXPECT_FALSE(r.isOpen());
    EXPECT_FALSE(r.add({SysexSegment::Kind::last, {}}));
}
