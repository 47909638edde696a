#pragma once

// Universal MIDI Packets and MIDI 1.0 byte messages, both ways, for one UMP
// group. Pure: no framework, no I/O.
//
// Sending: channel voice messages become message type 2, system common and
// real-time type 1, system exclusive type 3 (7-bit data in 6-byte pieces:
// complete, or start, continue..., end).
// Receiving: types 1, 2 and 3, and MIDI 2.0 channel voice (type 4) by the
// standard MIDI 2.0 to 1.0 translation (values cut to their top bits, a
// note-on velocity that would become 0 sent as 1, RPN and NRPN as their four
// control changes, a program change's bank as CC 0 and 32 first). Stream
// messages (type F) are the caller's; NOOP is nothing; every other UMP, and
// any UMP of another group, is dropped and counted.

#include "midi/midi_message.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace korvane {

struct UMP {
    std::array<std::uint32_t, 4> words{};
    std::uint8_t size = 0;

    UMP() = default;
    UMP(std::initializer_list<std::uint32_t> w);
    std::span<const std::uint32_t> view() const { return {words.data(), size}; }
    friend bool operator==(const UMP &, const UMP &) = default;
};

class UMPTranslator {
public:
    static constexpr std::size_t maxSysexBytes = std::size_t{1} << 20; // F0 and F7 included

    struct Result {
        bool stream = false; // a UMP stream message: the caller answers it
        int dropped = 0;     // messages (or UMPs) that could not be delivered
    };

    explicit UMPTranslator(std::uint8_t group = 0) : m_group(group & 0x0F) {}

    // Words of the UMP whose first word this is, by its message type.
    static std::size_t wordCount(std::uint32_t firstWord);

    // Appends the UMPs carrying `message` on `group`. False, nothing
    // appended, for bytes that are no whole MIDI 1.0 message (or an undefined
    // status: F4, F5, F9, FD).
    static bool toUMP(std::span<const std::uint8_t> message, std::uint8_t group, std::vector<UMP> &out);

    // One received UMP (wordCount(ump[0]) words); emit gets each message in
    // order. The message passed is reused between calls.
    Result fromUMP(std::span<const std::uint32_t> ump, const std::function<void(const MIDIMessage &)> &emit);

    // Forgets a half-rebuilt system exclusive message (counted as one drop,
    // returned), and its pieces still to come.
    int reset();
    bool sysexOpen() const { return m_open; }

private:
    Result sysex(std::uint32_t w0, std::uint32_t w1, const std::function<void(const MIDIMessage &)> &emit);
    Result midi2(std::uint32_t w0, std::uint32_t w1, const std::function<void(const MIDIMessage &)> &emit);
    void emitBytes(std::initializer_list<std::uint8_t> bytes,
                   const std::function<void(const MIDIMessage &)> &emit);

    std::uint8_t m_group;
    MIDIMessage m_sysex;
    bool m_open = false;
    bool m_discarding = false; // pieces of an abandoned message are ignored until its end
    MIDIMessage m_scratch;
};

} // namespace korvane
