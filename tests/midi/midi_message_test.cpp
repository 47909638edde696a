#include "midi/midi_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct DerivedCase {
    Bytes bytes;
    MIDIStatusType type;
    std::optional<int> channel, data1, data2;
};

TEST(MIDIMessage, DerivedProperties)
{
    const std::vector<DerivedCase> table{
        {{}, MIDIStatusType::systemCommon, {}, {}, {}},
        {{0x80, 0x3C, 0x00}, MIDIStatusType::noteOff, 1, 0x3C, 0},
        {{0x9F, 0x3C, 0x00}, MIDIStatusType::noteOn, 16, 0x3C, 0}, // velocity 0 stays note-on
        {{0xA3, 0x40, 0x7F}, MIDIStatusType::polyAftertouch, 4, 0x40, 0x7F},
        {{0xB0, 0x07}, MIDIStatusType::controlChange, 1, 7, {}},
        {{0xC5, 0x07}, MIDIStatusType::programChange, 6, 7, {}},
        {{0xDA, 0x11}, MIDIStatusType::channelAftertouch, 11, 0x11, {}},
        {{0xEF}, MIDIStatusType::pitchBend, 16, {}, {}},
        {{0xF0, 0x7E, 0xF7}, MIDIStatusType::sysex, {}, 0x7E, 0xF7},
        {{0xF1, 0x10}, MIDIStatusType::systemCommon, {}, 0x10, {}},
        {{0xF7}, MIDIStatusType::systemCommon, {}, {}, {}},
        {{0xF8}, MIDIStatusType::systemRealtime, {}, {}, {}},
        {{0x40, 0x41}, MIDIStatusType::systemCommon, {}, 0x41, {}}, // starts with a data byte
    };
    for (const auto &c : table) {
        const MIDIMessage m(c.bytes, 5);
        SCOPED_TRACE(m.humanReadable());
        EXPECT_EQ(m.type(), c.type);
        EXPECT_EQ(m.channel(), c.channel);
        EXPECT_EQ(m.data1(), c.data1);
        EXPECT_EQ(m.data2(), c.data2);
        EXPECT_EQ(m.statusByte(), c.bytes.empty() ? 0 : c.bytes[0]);
    }
}

TEST(MIDIMessage, HumanReadable)
{
    const std::vector<std::pair<Bytes, std::string>> table{
        {{0x80, 0x3C, 0x40}, "Ch1 Note Off C4 vel 64"},
        {{0x93, 0x3D, 0x64}, "Ch4 Note On  C#4 vel 100"},
        {{0x90, 0x7F, 0x01}, "Ch1 Note On  G9 vel 1"},
        {{0x90, 0x3B, 0x01}, "Ch1 Note On  B3 vel 1"},
        {{0x90, 0x46, 0x01}, "Ch1 Note On  A#4 vel 1"},
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

TEST(MIDIStatusType, OrderRawValuesLabelsAndChannelVoice)
{
    const char *raws[] = {
        "noteOff",           "noteOn",    "polyAftertouch", "controlChange",  "programChange",
        "channelAftertouch", "pitchBend", "systemCommon",   "systemRealtime", "sysex"};
    const char *labels[] = {
        "Note Off",           "Note On",    "Poly Aftertouch", "Control Change",  "Program Change",
        "Channel Aftertouch", "Pitch Bend", "System Common",   "System Realtime", "SysEx"};
    ASSERT_EQ(std::size(raws), kAllMIDIStatusTypes.size());
    for (std::size_t i = 0; i < kAllMIDIStatusTypes.size(); ++i) {
        const MIDIStatusType t = kAllMIDIStatusTypes[i];
        EXPECT_EQ(rawValue(t), raws[i]);
        EXPECT_EQ(label(t), labels[i]);
        EXPECT_EQ(isChannelVoice(t), i < 7);
        EXPECT_EQ(midiStatusTypeFromRaw(raws[i]), t);
    }
    EXPECT_EQ(midiStatusTypeFromRaw("NoteOn"), std::nullopt);
}

} // namespace
} // namespace korvane
