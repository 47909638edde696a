#include "model/midi_status_type.h"

namespace korvane {

namespace {

struct StatusTypeInfo {
    std::string_view raw;
    std::string_view label;
};

constexpr StatusTypeInfo kInfo[] = {
    {"noteOff", "Note Off"},
    {"noteOn", "Note On"},
    {"polyAftertouch", "Poly Aftertouch"},
    {"controlChange", "Control Change"},
    {"programChange", "Program Change"},
    {"channelAftertouch", "Channel Aftertouch"},
    {"pitchBend", "Pitch Bend"},
    {"systemCommon", "System Common"},
    {"systemRealtime", "System Realtime"},
    {"sysex", "SysEx"},
};

} // namespace

std::string_view rawValue(MIDIStatusType type)
{
    return kInfo[static_cast<int>(type)].raw;
}

std::string_view label(MIDIStatusType type)
{
    return kInfo[static_cast<int>(type)].label;
}

bool isChannelVoice(MIDIStatusType type)
{
    return static_cast<int>(type) <= static_cast<int>(MIDIStatusType::pitchBend);
}

std::optional<MIDIStatusType> midiStatusTypeFromRaw(std::string_view raw)
{
    for (auto t : kAllMIDIStatusTypes)
        if (rawValue(t) == raw)
            return t;
    return std::nullopt;
}

} // namespace korvane
