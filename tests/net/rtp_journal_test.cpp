// The recovery journal: golden bytes, malformed input, and the sender and
// receiver sides on a hand-moved clock.

#include "net/rtp_journal_state.h"
#include "support/hex.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::RecoveryJournal;
using namespace korvane::test;
using namespace std::chrono_literals;

namespace {

// NoteOff ch 2 note 67 with J set, then the journal: A set, one channel
// (CHAN 1) with chapter N: note 67 velocity 100, Y clear, OFFBITS 64 65 68 70.
const Bytes kApplePacket =
    hex("80 61 00 05 00 00 00 00 11 22 33 44 | 43 | 81 43 40 | 20 00 01 | 08 08 08 | 01 88 | 43 64 | CA");

// What the receiver plays to repair, in hex.
std::vector<std::string> repaired(JournalReceiver &receiver, const Journal &journal, bool first = false)
{
    std::vector<std::string> out;
    receiver.repair(journal, first, [&](const MIDIMessage &m) {
        out.push_back(toHex(m.bytes));
        receiver.observe(m);
    });
    return out;
}

} // namespace

TEST(RecoveryJournal, ApplePacketDecodes)
{
    const auto parts = AppleMIDI::packetParts(kApplePacket);
    ASSERT_TRUE(parts && parts->journal);
    EXPECT_EQ(AppleMIDI::decodeRTP(kApplePacket), std::vector<MIDIMessage>{MIDIMessage({0x81, 0x43, 0x40})});
    const auto journal = decode(*parts->journal);
    const ChannelJournal channel{.channel = 1,
                                 .notes = {{67, 100, false}},
                                 .offBits = std::bitset<128>().set(64).set(65).set(68).set(70),
                                 .hasNoteChapter = true};
    ASSERT_EQ(journal, (Journal{.checkpoint = 1, .channels = {channel}}));
    // Encoded again it is Apple's bytes, S bits 0 included: a receiver that lost
    // only the packet before may skip a structure whose S bit is 1.
    Bytes again;
    encode(*journal, again);
    EXPECT_EQ(toHex(again), toHex(Bytes(parts->journal->begin(), parts->journal->end())));

    // Repair on this end: 64 and 70 were sounding and go off; 67 (Y clear) is
    // not replayed; 65 was off already.
    JournalReceiver receiver;
    for (int n : {64, 67, 70})
        receiver.observe(MIDIMessage({0x91, static_cast<std::uint8_t>(n), 90}));
    EXPECT_EQ(repaired(receiver, *journal), (std::vector<std::string>{"81 40 00", "81 46 00"}));
    EXPECT_TRUE(repaired(receiver, *journal).empty()) << "a second repair changes nothing";
}

TEST(RecoveryJournal, MalformedJournalsAreRefusedWhole)
{
    // Each is a journal section, the last one being what lies past the packet.
    const std::vector<std::string> cases = {
        "",                                 // no header
        "20 00",                            // header cut short
        "20 00 01 08 09 08 01 88 43 64 CA", // channel LENGTH 9 past the end
        "21 00 01 08 08 08 01 88 43 64 CA", // TOTCHAN says two channels, one is there
        "20 00 01 08 00 08",                // channel LENGTH 0
        "20 00 01 08 02 08",                // channel LENGTH shorter than its header
        "20 00 01 08 05 08 01 88",          // chapter N longer than its channel
        "20 00 01 08 04 40 05",             // chapter C declares 6 logs, has none
        "20 00 01 08 05 20 00 00",          // chapter M of length 0
        "60 00 01 00 01",                   // system journal LENGTH 1
        "40 00 01 03 FF",                   // system journal past the end
    };
    for (const auto &text : cases)
        EXPECT_FALSE(decode(hex(text))) << text;
    // A system journal and unknown chapters (E, T, A) are stepped over.
    EXPECT_EQ(decode(hex("60 00 01 | 00 04 AA BB | 08 0A 07 | 00 00 00 | 90 | 00 00 01")),
              (Journal{.checkpoint = 1, .channels = {{.channel = 1}}}));
}

TEST(RecoveryJournal, SenderCoversTheHistoryFromItsCheckpoint)
{
    JournalSender sender;
    auto now = JournalSender::TimePoint{} + 100s;
    std::uint16_t seq = 10;
    const auto journalOf = [&] {
        Bytes bytes;
        sender.appendJournal(seq, bytes);
        auto journal = decode(bytes);
        EXPECT_TRUE(journal && bytes.size() == encodedSize(*journal));
        return journal.value_or(Journal());
    };
    EXPECT_TRUE(journalOf().channels.empty());
    // Pedal down (one toggle), last channel: first note on and off, bank, program, pitch.
    for (const char *m : {"90 3C 64", "B0 40 7F", "9F 00 01", "8F 00 00", "BF 00 02", "CF 7F", "EF 7F 7F"})
        sender.record(seq++, hex(m), now);
    const ChannelJournal first{.controllers = {{64, ControllerLog::Tool::toggle, 1}},
                               .notes = {{60, 100, true}},
                               .hasNoteChapter = true};
    const ChannelJournal last{.channel = 15,
                              .program = ProgramLog{127, 2, 0},
                              .controllers = {{0, ControllerLog::Tool::value, 2}},
                              .pitchWheel = 0x3FFF,
                              .notes = {{0, 1, false}},
                              .offBits = std::bitset<128>().set(0),
                              .hasNoteChapter = true};
    auto journal = journalOf();
    EXPECT_EQ(journal.checkpoint, 10);
    EXPECT_EQ(journal.channels, (std::vector{first, last}));

    // All Notes Off clears earlier notes and stays until acknowledged.
    sender.record(seq++, hex("B0 7B 00"), now);
    EXPECT_FALSE(journalOf().channels[0].hasNoteChapter);
    sender.acknowledge(static_cast<std::uint16_t>(seq - 2), now);
    journal = journalOf();
    EXPECT_EQ(journal.checkpoint, seq - 1);
    EXPECT_EQ(journal.channels.at(0).controllers,
              (std::vector<ControllerLog>{{123, ControllerLog::Tool::count, 1}}));
    sender.acknowledge(static_cast<std::uint16_t>(seq - 1), now);
    EXPECT_TRUE(journalOf().channels.empty());
    EXPECT_FALSE(sender.guardDue()) << "nothing unconfirmed";

    // Never more than 512 bytes: the checkpoint moves past the oldest notes, no further.
    for (int i = 0; i < 600; ++i)
        sender.record(
            seq++, Bytes{static_cast<std::uint8_t>(0x90 | (i / 128)), static_cast<std::uint8_t>(i % 128), 1},
            now);
    Bytes big;
    sender.appendJournal(seq, big);
    EXPECT_LE(big.size(), JournalSender::maxBytes);
    EXPECT_GT(big.size(), 480u);
}

TEST(RecoveryJournal, GuardPacketsBackOffAndGiveUpWithoutFeedback)
{
    JournalSender sender;
    auto now = JournalSender::TimePoint{} + 100s;
    sender.record(1, hex("90 3C 64"), now);
    std::vector<long> gaps;
    std::uint16_t seq = 2;
    while (const auto due = sender.guardDue()) {
        gaps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(*due - now).count());
        now = *due;
        sender.guardSent(seq++, now);
    }
    ASSERT_GE(gaps.size(), 10u);
    EXPECT_EQ(std::vector<long>(gaps.begin(), gaps.begin() + 5),
              (std::vector<long>{100, 200, 400, 800, 1000}));
    EXPECT_LE(now - (JournalSender::TimePoint{} + 100s), 10s);
    // New data starts the schedule again.
    sender.record(seq, hex("80 3C 00"), now);
    EXPECT_EQ(sender.guardDue(), now + 100ms);
}

TEST(RecoveryJournal, ReceiverRepairsOnlyWhatDiffers)
{
    JournalSender sender;
    JournalReceiver receiver;
    const auto now = JournalSender::TimePoint{} + 1s;
    // Channel 1 and channel 16, note 0 and note 127, the pedal, volume, 120/123.
    std::uint16_t seq = 1;
    for (const char *m : {"90 00 40", "9F 7F 7F", "B0 40 7F", "B0 07 00", "B0 07 7F", "BF 78 00", "9F 10 20",
                          "E0 00 40", "C0 05"})
        sender.record(seq++, hex(m), now);
    Bytes bytes;
    sender.appendJournal(seq, bytes);
    const auto journal = *decode(bytes);

    // Nothing received: the stream's end state is rebuilt (the first packet
    // of a period takes counts, never acts on them).
    EXPECT_EQ(
        repaired(receiver, journal, true),
        (std::vector<std::string>{"C0 05", "B0 07 7F", "B0 40 7F", "E0 00 40", "90 00 40", "9F 10 20"}));
    EXPECT_TRUE(repaired(receiver, journal).empty());

    // A lost All Sound Off is executed once the count says so.
    JournalReceiver aligned;
    aligned.align(journal);
    aligned.observe(MIDIMessage(hex("9F 22 01")));
    const Journal next{.channels = {{.channel = 15, .controllers = {{120, ControllerLog::Tool::count, 2}}}}};
    EXPECT_EQ(repaired(aligned, next), std::vector<std::string>{"BF 78 00"});
}
