#pragma once

// Cuts the byte runs of one MIDI input into pieces without collecting
// anything: whole messages, and system-exclusive messages as the runs of
// bytes they arrive in. Pure C++, no allocation: the real-time thread streams
// a long dump through it piece by piece, and MIDIStreamParser builds whole
// messages on top of it, so both paths read a stream by the same rules.
//
// Rules (the stream parser's): running status carries over from run to run
// and is cancelled by system common messages and 0xF0; a message whose data
// bytes are cut by a status byte or by the end of the run is dropped; a
// real-time byte is a message of its own wherever it appears, and inside a
// system-exclusive message it leaves the message going on; any other status
// byte ends an open system-exclusive message (without 0xF7).

#include "midi/midi_message.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

struct MIDIPiece {
    // Never empty, except the last piece of a system-exclusive message that a
    // status byte cut off right after an earlier piece.
    std::span<const std::uint8_t> bytes;
    bool sysex = false;
    bool first = true; // system-exclusive: holds the 0xF0
    bool last = true;  // system-exclusive: ends it, with 0xF7 or cut off

    bool whole() const { return first && last; }
};

class MIDIStreamSplitter {
public:
    // Calls onPiece(const MIDIPiece &) synchronously, in stream order. The
    // bytes are only valid during the call.
    template <typename F> void split(std::span<const std::uint8_t> run, F &&onPiece) noexcept;

    bool inSysex() const { return m_inSysex; }

private:
    static bool isStatus(std::uint8_t b) { return (b & 0x80) != 0; }
    template <typename F>
    std::size_t sysexRun(std::span<const std::uint8_t> run, std::size_t from, std::size_t scan,
                         F &onPiece) noexcept;

    std::uint8_t m_runningStatus = 0;
    bool m_inSysex = false;
    bool m_sysexStarted = false; // the piece holding 0xF0 has been handed on
};

template <typename F> void MIDIStreamSplitter::split(std::span<const std::uint8_t> run, F &&onPiece) noexcept
{
    std::size_t i = 0;
    const std::size_t size = run.size();
    while (i < size) {
        const std::uint8_t b = run[i];
        if (m_inSysex) {
            i = sysexRun(run, i, i, onPiece);
        } else if (b == 0xF0) {
            m_inSysex = true;
            m_sysexStarted = false;
            m_runningStatus = 0;
            i = sysexRun(run, i, i + 1, onPiece);
        } else if (b >= 0xF8) {
            onPiece(MIDIPiece{run.subspan(i, 1)});
            ++i;
        } else if (isStatus(b)) {
            m_runningStatus = b < 0xF0 ? b : 0;
            const auto n = static_cast<std::size_t>(midiDataByteCount(b));
            std::size_t j = i + 1;
            while (j < size && j - (i + 1) < n && !isStatus(run[j]))
                ++j;
            if (j - (i + 1) == n)
                onPiece(MIDIPiece{run.subspan(i, j - i)});
            i = j;
        } else if (m_runningStatus == 0) {
            ++i;
        } else if (midiDataByteCount(m_runningStatus) == 1) {
            const std::uint8_t m[2] = {m_runningStatus, b};
            onPiece(MIDIPiece{std::span<const std::uint8_t>(m, 2)});
            ++i;
        } else if (i + 1 < size && !isStatus(run[i + 1])) {
            const std::uint8_t m[3] = {m_runningStatus, b, run[i + 1]};
            onPiece(MIDIPiece{std::span<const std::uint8_t>(m, 3)});
            i += 2;
        } else {
            ++i;
        }
    }
}

// One piece of the open system-exclusive message: from `from` (its 0xF0 or
// its next data byte) up to the next status byte, scanning from `scan`.
// Returns where the walk goes on.
template <typename F>
std::size_t MIDIStreamSplitter::sysexRun(std::span<const std::uint8_t> run, std::size_t from,
                                         std::size_t scan, F &onPiece) noexcept
{
    std::size_t j = scan;
    while (j < run.size() && !isStatus(run[j]))
        ++j;
    const bool end = j < run.size() && run[j] < 0xF8; // 0xF7, or a status byte that cuts it
    const std::size_t length = j - from + (end && run[j] == 0xF7 ? 1 : 0);
    if (length > 0 || end) {
        onPiece(MIDIPiece{run.subspan(from, length), true, !m_sysexStarted, end});
        m_sysexStarted = true;
    }
    if (end) {
        m_inSysex = false;
        return from + length; // a cutting status byte is read again, outside
    }
    if (j < run.size()) { // a real-time byte: on its own, and the message goes on
        onPiece(MIDIPiece{run.subspan(j, 1)});
        return j + 1;
    }
    return j;
}

} // namespace korvane
