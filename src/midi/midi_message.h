#pragma once

// One whole MIDI message. Pure C++: no framework, no I/O.

#include "model/midi_status_type.h"

#include <cstdint>
#include <optional>
#include <span>
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

// Data bytes that follow a status byte in a complete message: 0 for 0xF0
// (its length is variable), real-time bytes, 0xF4-0xF7 and non-status bytes.
constexpr int midiDataByteCount(std::uint8_t status)
{
    if (status < 0x80)
        return 0;
    if (status < 0xF0)
        return (status & 0xE0) == 0xC0 ? 1 : 2;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 1;
    case 0xF2:
        return 2;
    default:
        return 0;
    }
}

// The type of the message starting with `bytes` (systemCommon when empty).
MIDIStatusType midiStatusType(std::span<const std::uint8_t> bytes);
// humanReadable() of a message of `size` bytes whose first bytes are `head`
// (a long system-exclusive message is described by its size alone).
std::string humanReadable(std::span<const std::uint8_t> head, std::size_t size);

// "C4" for 60, sharps only.
std::string noteName(int note);

} // namespace korvane
