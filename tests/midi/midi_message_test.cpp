#include "midi/midi_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MIDIMessage, ChannelKindsOnTheirFirstAndLastChannel)
{
    for (std::uint8_t status = 0x80; status < 0xF0; ++status) {
        const MIDIMessage m({status, 0, 127});
        EXPECT_EQ(m.type(), kAllMIDIStatusTypes[(status >> 4) - 8]) << int(status);
        EXPECT_EQ(m.channel(), (status & 0x0F) + 1);
        EXPECT_EQ(m.data1(), 0);
        EXPECT_EQ(m.data2(), 127);
        EXPECT_TRUE(isChannelVoice(m.type()));
    }
    EXPECT_EQ(MIDIMessage({0x90, 0x3C, 0x00}).type(), MIDIStatusType::noteOn); // velocity 0 stays note-on
    EXPECT_FALSE(MIDIMessage({0xB0, 0x07}).data2());
    EXPECT_FALSE(MIDIMessage({0xEF}).data1());
}

TEST(MIDIMessage, HumanReadable)
{
    const std::vector<std::pair<Bytes, std::string>> table{
        {{0x80, 0x3C, 0x40}, "Ch1 Note Off C4 vel 64"},
        {{0x93, 0x3D, 0x64}, "Ch4 Note On  C#4 vel 100"},
        {{0x90, 0x7F, 0x01}, "Ch1 Note On  G9 vel 1"},
        {{0x90, 0x3B, 0x01}, "Ch1 Note On  B3 vel 1"},
        {{0xA0, 0x00, 0x05}, "Ch1 Poly AT C-1 5"},
        {{0xA0, 0x0C, 0x05}, "Ch1 Poly AT C0 5"},
        {{0xBF, 0x07, 0x7F}, "Ch16 CC 7 = 127"},
        {{0xB0, 0x07}, "Ch1 CC 7 = 0"},
        {{0xC2, 0x0A}, "Ch3 Program 10"},
        {{0xD0, 0x33}, "Ch1 Aftertouch 51"},
        {{0xE0, 0x00, 0x40}, "Ch1 Pitch Bend 0"},
        {{0xE0, 0x7F, 0x7F}, "Ch1 Pitch Bend 8191"},
        {{0xE0, 0x05}, "Ch1 Pitch Bend -8187"},
        {{0xE0}, "Ch1 Pitch Bend -8192"},
        {{0xF2, 0x01, 0x02}, "System 0xf2"},
        {{}, "System 0x0"},
        {{0x05}, "System 0x5"},
        {{0xFE}, "Realtime 0xfe"},
        {{0xF0, 0x01, 0x02, 0xF7}, "SysEx 4 octets"},
    };
    for (const auto &[bytes, text] : table)
        EXPECT_EQ(MIDIMessage(bytes).humanReadable(), text);
}

// The raw strings are stored in project files.
TEST(MIDIStatusType, RawValuesNeverChange)
{
    const char *raws[] = {
        "noteOff",           "noteOn",    "polyAftertouch", "controlChange",  "programChange",
        "channelAftertouch", "pitchBend", "systemCommon",   "systemRealtime", "sysex"};
    ASSERT_EQ(std::size(raws), kAllMIDIStatusTypes.size());
    for (std::size_t i = 0; i < kAllMIDIStatusTypes.size(); ++i) {
        EXPECT_EQ(rawValue(kAllMIDIStatusTypes[i]), raws[i]);
        EXPECT_EQ(midiStatusTypeFromRaw(raws[i]), kAllMIDIStatusTypes[i]);
    }
    EXPECT_EQ(midiStatusTypeFromRaw("NoteOn"), std::nullopt);
}

} // namespace
} // namespace korvane
