#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace korvane {

// The ten message kinds. The raw strings are stored in project files
// (a filter step's blocked types), so they must never change.
enum class MIDIStatusType {
    noteOff,
    noteOn,
    polyAftertouch,
    controlChange,
    programChange,
    channelAftertouch,
    pitchBend,
    systemCommon,
    systemRealtime,
    sysex,
};

inline constexpr std::array<MIDIStatusType, 10> kAllMIDIStatusTypes = {
    MIDIStatusType::noteOff,       MIDIStatusType::noteOn,        MIDIStatusType::polyAftertouch,
    MIDIStatusType::controlChange, MIDIStatusType::programChange, MIDIStatusType::channelAftertouch,
    MIDIStatusType::pitchBend,     MIDIStatusType::systemCommon,  MIDIStatusType::systemRealtime,
    MIDIStatusType::sysex,
};

std::string_view rawValue(MIDIStatusType type);
std::string_view label(MIDIStatusType type);
bool isChannelVoice(MIDIStatusType type);
std::optional<MIDIStatusType> midiStatusTypeFromRaw(std::string_view raw);

} // namespace korvane
