#pragma once

// Turns the byte runs of one MIDI input (one run per packet) into whole
// messages. Pure C++: no framework, no I/O.
//
// One parser per connected source; its state (running status, a
// half-collected system-exclusive message) carries from packet to packet.
// Not thread-safe: a parser must only be fed from one thread at a time.

#include "midi/midi_message.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace korvane {

class MIDIStreamParser {
public:
    // Longest system-exclusive message kept, 0xF0 and 0xF7 included. A longer
    // one is dropped whole and collection resumes at the next status byte.
    static constexpr std::size_t kMaxSysexBytes = std::size_t{1} << 20;

    using Emit = std::function<void(MIDIMessage &&)>;

    // Calls onMessage synchronously, once per completed message, in stream order;
    // every message carries this packet's timestamp.
    void parse(const std::uint8_t *data, std::size_t size, std::uint64_t timestamp, const Emit &onMessage);
    void parse(std::span<const std::uint8_t> packet, std::uint64_t timestamp, const Emit &onMessage)
    {
        parse(packet.data(), packet.size(), timestamp, onMessage);
    }

private:
    // Handles data[i] while a system-exclusive message is open; returns the next index.
    std::size_t stepInSysex(const std::uint8_t *data, std::size_t i, std::uint64_t timestamp,
                            const Emit &onMessage);
    std::size_t stepOutsideSysex(const std::uint8_t *data, std::size_t size, std::size_t i,
                                 std::uint64_t timestamp, const Emit &onMessage);
    void emitSysexBuffer(std::uint64_t timestamp, const Emit &onMessage);

    std::uint8_t m_runningStatus = 0;
    std::vector<std::uint8_t> m_sysexBuffer;
    bool m_inSysex = false;
    // The open system-exclusive message outgrew kMaxSysexBytes: its bytes are
    // being skipped until the next status byte.
    bool m_discardingSysex = false;
};

} // namespace korvane
