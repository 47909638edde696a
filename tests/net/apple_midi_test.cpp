#include "net/apple_midi.h"
#include "net/hex.h"

#include <gtest/gtest.h>

#include <array>

using namespace korvane;
using namespace korvane::AppleMIDI;
using korvane::test::hex;
using korvane::test::toHex;

namespace {

std::vector<Bytes> messageBytes(const std::vector<MIDIMessage> &messages)
{
    std::vector<Bytes> out;
    for (const auto &m : messages) {
        EXPECT_EQ(m.timestamp, 0u);
        out.push_back(m.bytes);
    }
    return out;
}

constexpr const char *kRtpHeader = "80 61 12 34 00 00 00 2A DE AD BE EF";

} // namespace

// ---- exchange packets ----------------------------------------------------

TEST(AppleMIDIExchange, EncodesTheWireLayout)
{
    EXPECT_EQ(toHex(encodeExchange({Command::invitation, 0x01020304, 0xA0B0C0D0, "abc"})),
              "FF FF 49 4E 00 00 00 02 01 02 03 04 A0 B0 C0 D0 61 62 63 00");
    // The terminator is written for an empty name and for BY too.
    EXPECT_EQ(toHex(encodeExchange({Command::bye, 7, 9, ""})),
              "FF FF 42 59 00 00 00 02 00 00 00 07 00 00 00 09 00");
    EXPECT_EQ(toHex(encodeExchange({Command::invitationOK, 0, 0, "é"})),
              "FF FF 4F 4B 00 00 00 02 00 00 00 00 00 00 00 00 C3 A9 00");
}

TEST(AppleMIDIExchange, DecodesAcceptedPackets)
{
    struct Case {
        const char *what;
        const char *packet;
        Exchange expected;
    };
    const Case cases[] = {
        {"16 bytes, no name",
         "FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06",
         {Command::invitation, 5, 6, ""}},
        {"name without terminator",
         "FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 61 62 63",
         {Command::invitation, 5, 6, "abc"}},
        {"bytes after the terminator ignored",
         "FF FF 4F 4B 00 00 00 02 00 00 00 05 00 00 00 06 61 00 62 63 00",
         {Command::invitationOK, 5, 6, "a"}},
        {"protocol version not examined",
         "FF FF 49 4E 00 00 00 01 FF FF FF FF 00 00 00 01 78 00",
         {Command::invitation, 0xFFFFFFFF, 1, "x"}},
        {"NO", "FF FF 4E 4F 00 00 00 02 00 00 00 01 00 00 00 02 00", {Command::invitationReject, 1, 2, ""}},
        {"BY", "FF FF 42 59 00 00 00 02 00 00 00 01 00 00 00 02 00", {Command::bye, 1, 2, ""}},
        {"RS", "FF FF 52 53 00 00 00 02 00 00 00 01 00 00 00 02", {Command::receiverFeedback, 1, 2, ""}},
        // A CK of 16 bytes or more also reads as an exchange; the session
        // tells them apart by the socket and decodeClock.
        {"CK as exchange", "FF FF 43 4B 00 00 00 02 00 00 00 01 00 00 00 02", {Command::clockSync, 1, 2, ""}},
        {"invalid UTF-8 replaced",
         "FF FF 49 4E 00 00 00 02 00 00 00 01 00 00 00 02 61 FF 62 00",
         {Command::invitation, 1, 2,
          "a\xEF\xBF\xBD"
          "b"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeExchange(hex(c.packet));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, c.expected);
    }
}

TEST(AppleMIDIExchange, RejectsMalformedPackets)
{
    const char *packets[] = {
        "",
        "FF FF 49 4E 00 00 00 02 00 00 00 05 00 00 00",       // 15 bytes
        "FF FF 58 59 00 00 00 02 00 00 00 05 00 00 00 06 00", // "XY"
        "FF FE 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 00", // signature
        "FE FF 49 4E 00 00 00 02 00 00 00 05 00 00 00 06 00",
    };
    for (const char *p : packets)
        EXPECT_FALSE(decodeExchange(hex(p)).has_value()) << p;
}

TEST(AppleMIDIExchange, RoundTripsEveryCommand)
{
    for (auto command : {Command::invitation, Command::invitationOK, Command::invitationReject, Command::bye,
                         Command::clockSync, Command::receiverFeedback}) {
        const Exchange e{command, 0xCAFEBABE, 0x12345678, "Studio B — ÿ"};
        EXPECT_EQ(decodeExchange(encodeExchange(e)), e) << toString(command);
    }
    EXPECT_FALSE(commandFromRaw(0x4142).has_value());
}

TEST(AppleMIDIUtf8, ReplacesEachMaximalInvalidSubpart)
{
    struct Case {
        const char *in;
        std::string out;
    };
    const std::string R = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"C3 A9", "\xC3\xA9"},
        {"F0 9F 98 80", "\xF0\x9F\x98\x80"},
        {"C3", R},
        {"E2 82", R},
        {"E2 82 41", R + "A"},
        {"ED A0 80", R + R + R}, // surrogate
        {"C0 AF", R + R},        // overlong
        {"F4 90 80 80", R + R + R + R},
        {"FF 41", R + "A"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decodeUTF8Lossy(hex(c.in)), c.out) << c.in;
}

// ---- clock packets -------------------------------------------------------

TEST(AppleMIDIClock, EncodesAndDecodes)
{
    const ClockSync sync{0x01020304, 1, 0x1112131415161718, 0x2122232425262728, 0x3132333435363738};
    const auto bytes = encodeClock(sync);
    EXPECT_EQ(toHex(bytes), "FF FF 43 4B 01 02 03 04 01 00 00 00 11 12 13 14 15 16 17 18 "
                            "21 22 23 24 25 26 27 28 31 32 33 34 35 36 37 38");
    EXPECT_EQ(decodeClock(bytes), sync);

    auto longer = bytes;
    longer.insert(longer.end(), {0xAA, 0xBB});
    EXPECT_EQ(decodeClock(longer), sync);

    auto shorter = bytes;
    shorter.pop_back();
    EXPECT_FALSE(decodeClock(shorter).has_value());

    auto notClock = bytes;
    notClock[3] = 0x4E; // "CN"
    EXPECT_FALSE(decodeClock(notClock).has_value());
    auto badSignature = bytes;
    badSignature[1] = 0x00;
    EXPECT_FALSE(decodeClock(badSignature).has_value());
}

TEST(AppleMIDIClock, TellsSessionPacketsFromData)
{
    EXPECT_FALSE(isSessionCommand(hex("FF FF 49")));
    EXPECT_TRUE(isSessionCommand(hex("FF FF 49 4E")));
    EXPECT_FALSE(isSessionCommand(hex("80 61 00 01 00 00")));
    EXPECT_FALSE(isSessionCommand(hex("FF 7F 49 4E")));
}

// ---- RTP-MIDI data packets -----------------------------------------------

TEST(AppleMIDIRtp, DecodesCommandLists)
{
    struct Case {
        const char *what;
        std::string packet;
        std::vector<Bytes> expected;
    };
    const std::string h = kRtpHeader;
    const Case cases[] = {
        {"note on", h + "03 90 3C 64", {hex("90 3C 64")}},
        {"marker bit ignored", "80 E1 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {hex("90 3C 64")}},
        {"padding bit ignored", "A0 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {hex("90 3C 64")}},
        {"running status after delta", h + "06 90 3C 64 00 3E 64", {hex("90 3C 64"), hex("90 3E 64")}},
        {"leading delta (Z)", h + "24 00 90 3C 64", {hex("90 3C 64")}},
        {"multi-byte delta", h + "26 81 80 00 90 3C 64", {hex("90 3C 64")}},
        {"one data byte short", h + "02 90 3C", {}},
        {"sysex terminated", h + "04 F0 7E 01 F7", {hex("F0 7E 01 F7")}},
        {"sysex unterminated", h + "03 F0 7E 01", {hex("F0 7E 01")}},
        {"sysex ended by a status", h + "06 F0 7E 01 00 F8 00", {hex("F0 7E 01 00")}}, // F8 read as a delta
        {"real-time alone", h + "01 F8", {hex("F8")}},
        {"data before any status", h + "03 3C 64 00", {}},
        {"1- and 2-byte kinds",
         h + "09 C5 10 00 F3 05 00 F2 01 02",
         {hex("C5 10"), hex("F3 05"), hex("F2 01 02")}},
        {"real-time replaces running status",
         h + "08 90 3C 64 00 F8 00 3E 64",
         {hex("90 3C 64"), hex("F8"), hex("F8"), hex("F8")}},
        {"journal after the list ignored", h + "43 90 3C 64 20 00 01 02", {hex("90 3C 64")}},
        {"long header (B)", h + "80 03 90 3C 64", {hex("90 3C 64")}},
        {"CSRC list skipped",
         "81 61 00 01 00 00 00 00 00 00 00 01 AA BB CC DD 03 90 3C 64",
         {hex("90 3C 64")}},
        {"extension skipped",
         "90 61 00 01 00 00 00 00 00 00 00 01 BE DE 00 01 11 22 33 44 03 90 3C 64",
         {hex("90 3C 64")}},
        {"empty list", h + "00", {}},
        {"too short", "80 61 00 01 00 00 00 00 00 00 00 01", {}},
        {"version 3", "C0 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}},
        {"version 1", "40 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}},
        {"payload type 96", "80 60 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}},
        {"length past the end", h + "05 90 3C 64", {}},
        {"long header cut", h + "80", {}},
        {"long length past the end", h + "8F FF 90 3C 64", {}},
        {"CSRC list past the end", "8F 61 00 01 00 00 00 00 00 00 00 01 03 90 3C 64", {}},
        {"extension header cut", "90 61 00 01 00 00 00 00 00 00 00 01 BE DE 00", {}},
        {"extension past the end", "90 61 00 01 00 00 00 00 00 00 00 01 BE DE FF FF 03 90 3C 64", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(messageBytes(decodeRTP(hex(c.packet))), c.expected);
        std::vector<Bytes> streamed;
        decodeRTP(hex(c.packet), [&](const MIDIMessage &m) { streamed.push_back(m.bytes); });
        EXPECT_EQ(streamed, c.expected);
    }
}

TEST(AppleMIDIRtp, EncodesOneMessagePerPacket)
{
    EXPECT_EQ(toHex(encodeRTP(MIDIMessage(hex("90 3C 64"), 99), 0x1234, 0x2A, 0xDEADBEEF)),
              std::string(kRtpHeader) + " 03 90 3C 64");

    Bytes sixteen(16, 0x01);
    sixteen.front() = 0xF0;
    sixteen.back() = 0xF7;
    const auto packet = encodeRTP(MIDIMessage(sixteen), 1, 2, 3);
    ASSERT_EQ(packet.size(), 12u + 2 + 16);
    EXPECT_EQ(packet[12], 0x80);
    EXPECT_EQ(packet[13], 0x10);

    Bytes longest(maxCommandListLength, 0x01);
    longest.front() = 0xF0;
    const auto big = encodeRTP(MIDIMessage(longest), 1, 2, 3);
    ASSERT_EQ(big.size(), 12u + 2 + maxCommandListLength);
    EXPECT_EQ(big[12], 0x8F);
    EXPECT_EQ(big[13], 0xFF);

    longest.push_back(0xF7); // 4096 bytes: no packet whose header would lie
    EXPECT_TRUE(encodeRTP(MIDIMessage(longest), 1, 2, 3).empty());
}

TEST(AppleMIDIRtp, RoundTripsMessages)
{
    const char *messages[] = {"90 3C 64",
                              "80 3C 00",
                              "C5 10",
                              "E0 00 40",
                              "F8",
                              "F2 01 02",
                              "F0 7E 7F 06 01 F7",
                              "F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 F7"};
    for (const char *m : messages) {
        const auto packets = encodeRTPPackets(MIDIMessage(hex(m)), 7, 8, 9);
        ASSERT_EQ(packets.size(), 1u) << m;
        EXPECT_EQ(packets[0], encodeRTP(MIDIMessage(hex(m)), 7, 8, 9));
        std::array<std::uint8_t, 64> buffer{};
        const std::size_t size = encodeRTPInto(MIDIMessage(hex(m)), 7, 8, 9, buffer);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size)), packets[0]);
        // A buffer one byte short gets nothing.
        EXPECT_EQ(encodeRTPInto(MIDIMessage(hex(m)), 7, 8, 9, std::span(buffer).first(size - 1)), 0u);
        EXPECT_EQ(messageBytes(decodeRTP(packets[0])), std::vector<Bytes>{hex(m)}) << m;
    }
}

TEST(AppleMIDIRtp, LongMessagesThatCannotBeSegmentedGiveNoPacket)
{
    EXPECT_TRUE(encodeRTPPackets(MIDIMessage(), 1, 2, 3).empty());

    Bytes notSysex(2000, 0x10);
    notSysex.front() = 0x90;
    EXPECT_TRUE(encodeRTPPackets(MIDIMessage(notSysex), 1, 2, 3).empty());

    Bytes unterminated(2000, 0x10);
    unterminated.front() = 0xF0;
    EXPECT_TRUE(encodeRTPPackets(MIDIMessage(unterminated), 1, 2, 3).empty());

    Bytes strayStatus = unterminated;
    strayStatus.back() = 0xF7;
    strayStatus[1000] = 0xF8;
    EXPECT_TRUE(encodeRTPPackets(MIDIMessage(strayStatus), 1, 2, 3).empty());
}

TEST(AppleMIDIRtp, SplitsSysexAtThePacketLimit)
{
    // 1386 bytes of list fill a 1400-byte packet exactly; one more splits.
    Bytes fits(1386, 0x11);
    fits.front() = 0xF0;
    fits.back() = 0xF7;
    auto packets = encodeRTPPackets(MIDIMessage(fits), 1, 2, 3);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), maxDataPacketSize);

    fits.insert(fits.begin() + 1, 0x22);
    packets = encodeRTPPackets(MIDIMessage(fits), 1, 2, 3);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), maxDataPacketSize);
    EXPECT_EQ(toHex(Bytes(packets[1].begin() + 12, packets[1].end())), "03 F7 11 F7");

    // A small limit shows the segment shapes byte for byte.
    packets = encodeRTPPackets(MIDIMessage(hex("F0 01 02 03 04 05 06 07 08 09 F7")), 0xFFFF, 2, 3, 20);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(toHex(packets[0]), "80 61 FF FF 00 00 00 02 00 00 00 03 06 F0 01 02 03 04 F0");
    EXPECT_EQ(toHex(packets[1]), "80 61 00 00 00 00 00 02 00 00 00 03 06 F7 05 06 07 08 F0");
    EXPECT_EQ(toHex(packets[2]), "80 61 00 01 00 00 00 02 00 00 00 03 03 F7 09 F7");
}

TEST(AppleMIDIRtp, SegmentsATenKilobyteSysex)
{
    Bytes sysex(10 * 1024);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    for (std::size_t i = 1; i + 1 < sysex.size(); ++i)
        sysex[i] = static_cast<std::uint8_t>(i % 0x80);

    const auto packets = encodeRTPPackets(MIDIMessage(sysex), 65534, 0x2A, 0xDEADBEEF);
    ASSERT_EQ(packets.size(), 8u); // 10238 body bytes, 1384 per segment

    Bytes body;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        const auto &p = packets[i];
        ASSERT_LE(p.size(), maxDataPacketSize);
        // Header and payload agree: the whole packet is header + list.
        ASSERT_EQ(p[12] & 0xF0, 0x80);
        const std::size_t length = ((p[12] & 0x0F) << 8) | p[13];
        ASSERT_EQ(p.size(), 14 + length);
        EXPECT_EQ(((p[2] << 8) | p[3]), (65534 + i) % 65536);
        EXPECT_EQ(readUInt32(p, 4), 0x2Au);
        EXPECT_EQ(readUInt32(p, 8), 0xDEADBEEFu);
        const bool first = i == 0, last = i + 1 == packets.size();
        EXPECT_EQ(p[14], first ? 0xF0 : 0xF7);
        EXPECT_EQ(p.back(), last ? 0xF7 : 0xF0);
        body.insert(body.end(), p.begin() + 15, p.end() - 1);
    }
    EXPECT_EQ(body, Bytes(sysex.begin() + 1, sysex.end() - 1));

    // Decoded segment by segment and rebuilt: the identical message, once.
    SysexReassembler reassembler;
    std::vector<Bytes> rebuilt;
    for (const auto &p : packets) {
        decodeRTP(
            p, [&](const MIDIMessage &m) { rebuilt.push_back(m.bytes); },
            [&](const SysexSegment &segment) {
                if (const auto *whole = reassembler.add(segment))
                    rebuilt.push_back(whole->bytes);
            });
        // Alone, a segment is no message: nothing stray reaches a device.
        EXPECT_TRUE(decodeRTP(p).empty());
    }
    EXPECT_EQ(rebuilt, std::vector<Bytes>{sysex});
}

TEST(AppleMIDISysex, ReportsSegmentsInListOrder)
{
    const std::string h = kRtpHeader;
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {h + "04 F0 01 02 F0", {"first 01 02"}},
        {h + "04 F7 03 04 F0", {"middle 03 04"}},
        {h + "03 F7 05 F7", {"last 05"}},
        {h + "02 F7 F7", {"last "}},
        {h + "03 F7 06 F4", {"cancel 06"}},
        {h + "0B 90 3C 64 00 F7 05 F7 00 F0 06 F0", {"msg 90 3C 64", "last 05", "first 06"}},
        {h + "07 F0 01 F7 00 F7 02 F0", {"msg F0 01 F7", "middle 02"}},
        // Not segment-shaped: decoded as ever.
        {h + "04 F0 01 02 F7", {"msg F0 01 02 F7"}},
        {h + "01 F7", {"msg F7"}},
    };
    const char *kinds[] = {"first", "middle", "last", "cancel"};
    for (const auto &[packet, expected] : cases) {
        std::vector<std::string> seen;
        decodeRTP(
            hex(packet), [&](const MIDIMessage &m) { seen.push_back("msg " + toHex(m.bytes)); },
            [&](const SysexSegment &s) {
                seen.push_back(std::string(kinds[static_cast<int>(s.kind)]) + " " +
                               toHex(Bytes(s.data.begin(), s.data.end())));
            });
        EXPECT_EQ(seen, expected) << packet;
    }
}

TEST(AppleMIDISysex, ReassemblesOnlyWellOrderedSegments)
{
    using K = SysexSegment::Kind;
    struct Case {
        const char *what;
        std::vector<std::pair<K, const char *>> segments;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"first, middles, last",
         {{K::first, "01 02"}, {K::middle, "03"}, {K::middle, ""}, {K::last, "04"}},
         {"F0 01 02 03 04 F7"}},
        {"orphan continuations dropped", {{K::middle, "03"}, {K::last, "04"}}, {}},
        {"a new first discards the open one",
         {{K::first, "01"}, {K::first, "02"}, {K::last, "03"}},
         {"F0 02 03 F7"}},
        {"cancel discards", {{K::first, "01"}, {K::cancel, "02"}, {K::last, "03"}}, {}},
        {"nothing after the last", {{K::first, "01"}, {K::last, "02"}, {K::last, "03"}}, {"F0 01 02 F7"}},
    };
    for (const auto &c : cases) {
        SysexReassembler r;
        std::vector<std::string> out;
        for (const auto &[kind, data] : c.segments) {
            const auto bytes = hex(data);
            if (const auto *whole = r.add({kind, bytes}))
                out.push_back(toHex(whole->bytes));
        }
        EXPECT_EQ(out, c.expected) << c.what;
    }
}

TEST(AppleMIDISysex, DropsAMessageOverTheCap)
{
    const Bytes body(SysexReassembler::maxSysexBytes - 2, 0x11);
    const Bytes one{0x22};
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
