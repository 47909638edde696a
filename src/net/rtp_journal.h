#pragma once

// The recovery journal of RTP-MIDI packets (RFC 6295 section 5 and
// appendix A), as AppleMIDI peers send it: pure coding, no state, no I/O.
// The decoder steps over the system journal and the channel chapters it does
// not read (M, E, T, A) by their lengths, and refuses a journal whose lengths
// do not add up instead of reading a part of it.

#include "net/apple_midi.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvane::RecoveryJournal {

using AppleMIDI::Bytes;
using AppleMIDI::ByteView;

// Chapter N: one note log (a NoteOn with velocity > 0).
struct NoteLog {
    std::uint8_t note = 0;
    std::uint8_t velocity = 0;
    bool play = false; // Y: the sender recommends playing it
    friend bool operator==(const NoteLog &, const NoteLog &) = default;
};

// Chapter C: one controller log. value: the controller value (value tool) or
// the 6-bit ALT count (toggle and count tools).
struct ControllerLog {
    enum class Tool : std::uint8_t { value, toggle, count };
    std::uint8_t number = 0;
    Tool tool = Tool::value;
    std::uint8_t value = 0;
    friend bool operator==(const ControllerLog &, const ControllerLog &) = default;
};

// Chapter P.
struct ProgramLog {
    std::uint8_t program = 0;
    std::optional<std::uint8_t> bankMSB, bankLSB; // both present or neither (B flag)
    friend bool operator==(const ProgramLog &, const ProgramLog &) = default;
};

struct ChannelJournal {
    std::uint8_t channel = 0; // 0..15
    std::optional<ProgramLog> program;
    std::vector<ControllerLog> controllers;
    std::optional<std::uint16_t> pitchWheel; // chapter W, 14 bits
    std::vector<NoteLog> notes;
    std::bitset<128> offBits; // chapter N: a NoteOff is the latest command of the note
    bool hasNoteChapter = false;
    friend bool operator==(const ChannelJournal &, const ChannelJournal &) = default;
};

struct Journal {
    bool singleLoss = false; // S
    std::uint16_t checkpoint = 0;
    std::vector<ChannelJournal> channels;
    friend bool operator==(const Journal &, const Journal &) = default;
};

// Channel journal `index` of `journal`, emptied, the vectors of an earlier
// one reused (the journal grows to hold it). A caller that fills one Journal
// per packet this way, then trims it with channels.resize(), allocates nothing
// once the sizes have been seen.
ChannelJournal &reuseChannel(Journal &journal, std::size_t index);

// The tool a sender uses for a controller (RFC 6295 A.3.4 defaults):
// toggle for the pedal switches 64..69, count for the mode commands 120, 121
// and 123..127, value for the others.
ControllerLog::Tool toolFor(std::uint8_t controller);

// Decodes a journal section into out (its vectors keep their capacity, so a
// caller reusing one Journal does not allocate). False, with out unusable,
// when the section is malformed.
bool decode(ByteView bytes, Journal &out);
std::optional<Journal> decode(ByteView bytes);

// Appends the journal's bytes to out; channels in the order given, chapters
// in RFC order. Every S bit is set (loss of more than one packet assumed).
void encode(const Journal &journal, Bytes &out);
// Its size in bytes, without building it.
std::size_t encodedSize(const Journal &journal);

} // namespace korvane::RecoveryJournal
