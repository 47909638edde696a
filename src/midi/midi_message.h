#pragma once

// One whole MIDI message. Pure C++: no framework, no I/O.

#include "model/midi_status_type.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

struct MIDIMessage {
    std::vector<std::uint8_t> bytes;
    std::uint64_t timestamp = 0;

    MIDIMessage() = default;
    MIDIMessage(std::vector<std::uint8_t> b, std::uint64_t ts = 0) : bytes(std::move(b)), timestamp(ts) {}

    std::uint8_t statusByte() const { return bytes.empty() ? 0 : bytes[0]; }
    MIDIStatusType type() const;
    std::optional<int> channel() const; // 1...16
    std::optional<int> data1() const;
    std::optional<int> data2() const;
    std::string humanReadable() const;

    friend bool operator==(const MIDIMessage &, const MIDIMessage &) = default;
};

// "C4" for 60, sharps only.
std::string noteName(int note);

} // namespace korvane
