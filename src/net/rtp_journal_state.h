#pragma once

// The two stateful sides of the recovery journal (RFC 6295 section 4 and
// appendix A), without sockets or threads:
// - JournalSender keeps the history of what one stream sent and writes the
//   journal of each new packet: chapters P, C, W and N for every command
//   since the checkpoint, which moves past what every receiver acknowledged
//   (RS) and, when the journal would exceed maxBytes, past its oldest entries.
//   It also says when a guard packet (journal only) is due.
// - JournalReceiver follows what one peer's stream made sound at this end and
//   repairs it from a journal after a loss, sending only what changes it.

#include "midi/midi_message.h"
#include "net/rtp_journal.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace korvane::RecoveryJournal {

class JournalSender {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t maxBytes = 512;
    static constexpr std::chrono::milliseconds firstGuard{100};
    static constexpr std::chrono::milliseconds lastGuard{1000};
    static constexpr std::chrono::seconds guardGiveUp{10};

    // Appends the journal of the packet numbered `sequence` (its history runs
    // from the checkpoint up to the packet before it).
    void appendJournal(std::uint16_t sequence, Bytes &out);
    // The packet numbered `sequence` left with `message` (empty for a guard
    // packet or a sysex segment, which the journal does not cover).
    void record(std::uint16_t sequence, ByteView message, TimePoint now);
    // A guard packet (journal only) numbered `sequence` left.
    void guardSent(std::uint16_t sequence, TimePoint now);
    // Every receiver has every packet up to `sequence`.
    void acknowledge(std::uint16_t sequence, TimePoint now);
    // When a guard packet should leave: while some journalled command is
    // unconfirmed, 100 ms after the last packet, then 200, 400 ... 1000 ms
    // apart; never once 10 s passed without an acknowledgement.
    std::optional<TimePoint> guardDue() const;

private:
    struct Note {
        std::uint32_t onSeq = 0, offSeq = 0; // 0: none since the last reset
        std::uint8_t velocity = 0;
        bool sounding = false;
    };
    struct Controller {
        std::uint32_t seq = 0;
        std::uint8_t value = 0;
        std::uint8_t count = 0; // toggles or commands, modulo 64 on the wire
    };
    struct Channel {
        std::array<Note, 128> notes{};
        std::array<Controller, 128> controllers{};
        std::uint32_t programSeq = 0, pitchSeq = 0, lastSeq = 0;
        ProgramLog program;
        std::uint16_t pitch = 0x2000;
    };

    std::uint32_t extend(std::uint16_t sequence) const;
    void build(Journal &journal) const;
    std::size_t sizeFrom(std::uint32_t from) const;
    void resetChannel(Channel &channel);

    std::array<Channel, 16> m_channels{};
    std::uint32_t m_last = 0;       // extended sequence of the last packet recorded
    std::uint32_t m_checkpoint = 1; // first packet of the history
    std::uint32_t m_lastJournalled = 0;
    std::uint16_t m_lastWire = 0;
    std::optional<TimePoint> m_lastSent, m_lastAck;
    std::chrono::milliseconds m_guardInterval = firstGuard;
    Journal m_scratch;
};

class JournalReceiver {
public:
    using Emit = std::function<void(const MIDIMessage &)>;

    // Every message delivered from the peer, repairs included.
    void observe(const MIDIMessage &message);
    // A journal read where nothing was lost: only the counts it carries are taken.
    void align(const Journal &journal);
    // The end of a loss: emits what brings this end to the state the journal
    // describes; emit must hand each message to observe(). firstPacket: the period's first
    // packet, whose counts are taken, never acted on.
    void repair(const Journal &journal, bool firstPacket, const Emit &emit);
    void clear();

private:
    struct Channel {
        std::bitset<128> sounding;
        std::array<std::int16_t, 128> values; // -1 unknown
        std::array<std::uint8_t, 128> counts;
        std::bitset<128> aligned;
        std::int16_t program = -1;
        std::int32_t pitch = -1;
        Channel() { values.fill(-1), counts.fill(0); }
    };
    void send(const MIDIMessage &message, const Emit &emit);

    std::array<Channel, 16> m_channels{};
};

} // namespace korvane::RecoveryJournal
