#pragma once

// Turns the byte runs of one MIDI input (one run per packet) into whole
// messages. Pure C++: no framework, no I/O.
//
// One parser per connected source; its state (running status, a
// half-collected system-exclusive message) carries from packet to packet.
// Not thread-safe: a parser must only be fed from one thread at a time.

#include "midi/midi_message.h"
#include "midi/midi_stream_splitter.h"

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
    MIDIStreamSplitter m_splitter;
    std::vector<std::uint8_t> m_sysexBuffer;
    // The open system-exclusive message outgrew kMaxSysexBytes: the rest of
    // it is skipped.
    bool m_discardingSysex = false;
};

} // namespace korvane
