#include "midi/midi_message.h"

#include <cstdio>

namespace korvane {

MIDIStatusType MIDIMessage::type() const
{
    return midiStatusType(bytes);
}

MIDIStatusType midiStatusType(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return MIDIStatusType::systemCommon;
    const std::uint8_t s = bytes[0];
    if (s == 0xF0)
        return MIDIStatusType::sysex;
    if (s >= 0xF8)
        return MIDIStatusType::systemRealtime;
    if (s >= 0xF1)
        return MIDIStatusType::systemCommon;
    if (s < 0x80)
        return MIDIStatusType::systemCommon;
    switch (s >> 4) {
    case 0x8:
        return MIDIStatusType::noteOff;
    case 0x9:
        return MIDIStatusType::noteOn;
    case 0xA:
        return MIDIStatusType::polyAftertouch;
    case 0xB:
        return MIDIStatusType::controlChange;
    case 0xC:
        return MIDIStatusType::programChange;
    case 0xD:
        return MIDIStatusType::channelAftertouch;
    default:
        return MIDIStatusType::pitchBend;
    }
}

std::optional<int> MIDIMessage::channel() const
{
    if (bytes.empty() || bytes[0] < 0x80 || bytes[0] >= 0xF0)
        return std::nullopt;
    return (bytes[0] & 0x0F) + 1;
}

std::optional<int> MIDIMessage::data1() const
{
    if (bytes.size() < 2)
        return std::nullopt;
    return bytes[1];
}

std::optional<int> MIDIMessage::data2() const
{
    if (bytes.size() < 3)
        return std::nullopt;
    return bytes[2];
}

std::string noteName(int note)
{
    static constexpr const char *names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    // Floor division keeps out-of-range numbers (never produced by 7-bit data) well defined.
    int pc = ((note % 12) + 12) % 12;
    int octave = (note - pc) / 12 - 1;
    return std::string(names[pc]) + std::to_string(octave);
}

std::string MIDIMessage::humanReadable() const
{
    return korvane::humanReadable(bytes, bytes.size());
}

std::string humanReadable(std::span<const std::uint8_t> head, std::size_t size)
{
    const std::uint8_t status = head.empty() ? 0 : head[0];
    const int ch = status >= 0x80 && status < 0xF0 ? (status & 0x0F) + 1 : 0;
    const int d1 = head.size() >= 2 ? head[1] : 0;
    const int d2 = head.size() >= 3 ? head[2] : 0;
    const std::string c = "Ch" + std::to_string(ch);
    char hex[16];
    switch (midiStatusType(head)) {
    case MIDIStatusType::noteOff:
        return c + " Note Off " + noteName(d1) + " vel " + std::to_string(d2);
    case MIDIStatusType::noteOn:
        return c + " Note On  " + noteName(d1) + " vel " + std::to_string(d2);
    case MIDIStatusType::polyAftertouch:
        return c + " Poly AT " + noteName(d1) + " " + std::to_string(d2);
    case MIDIStatusType::controlChange:
        return c + " CC " + std::to_string(d1) + " = " + std::to_string(d2);
    case MIDIStatusType::programChange:
        return c + " Program " + std::to_string(d1);
    case MIDIStatusType::channelAftertouch:
        return c + " Aftertouch " + std::to_string(d1);
    case MIDIStatusType::pitchBend:
        return c + " Pitch Bend " + std::to_string(d2 * 128 + d1 - 8192);
    case MIDIStatusType::systemCommon:
        std::snprintf(hex, sizeof hex, "%x", status);
        return std::string("System 0x") + hex;
    case MIDIStatusType::systemRealtime:
        std::snprintf(hex, sizeof hex, "%x", status);
        return std::string("Realtime 0x") + hex;
    case MIDIStatusType::sysex:
        return "SysEx " + std::to_string(size) + " octets";
    }
    return {};
}

} // namespace korvane
