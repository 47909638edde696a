#pragma once

#include "net/apple_midi.h"
#include "net/rtp_journal_state.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace korvane {

// What a sender on any thread needs to put MIDI on the wire, in order: one
// FIFO per session. A message leaves at once from the caller's thread when
// nothing waits; otherwise it joins the queue, which the session thread
// empties (segments of a large sysex paced, a few per pass). Only real-time
// bytes overtake queued messages, and never a packet already numbered or a
// sysex already half sent, so sequence numbers on the wire always rise in
// send order. Packets are numbered, stamped and given their recovery journal
// under the lock, just before they first go out.
struct RTPSendPath {
    using Clock = std::chrono::steady_clock;
    // Replaces sendto() (tests inject EAGAIN); returns what sendto would.
    using SendFunction =
        std::function<long(int fd, const std::uint8_t *data, std::size_t size, const sockaddr_in &to)>;

    struct Item {
        std::vector<AppleMIDI::Bytes> packets; // header and command section, unnumbered until sent
        bool segmented = false;                // sysex segments: not journalled, paced
        bool realtime = false;
        std::size_t next = 0;     // packet being sent
        bool numbered = false;    // packets[next] has its number and journal
        std::size_t nextPeer = 0; // where a send the socket refused resumes
        bool started() const { return numbered || next > 0; }
    };
    static constexpr std::size_t maxQueued = 4096;                       // messages
    static constexpr std::size_t maxQueuedBytes = std::size_t{16} << 20; // bytes

    std::mutex mutex;
    int dataFD = -1;
    int wakeFD = -1; // set once before the thread starts
    std::uint32_t ssrc = 0;
    std::vector<sockaddr_in> peers;
    std::uint16_t sequence = 0; // of the last packet numbered
    std::deque<Item> queue;
    std::size_t queuedBytes = 0;
    std::unique_ptr<RecoveryJournal::JournalSender> journal; // null: packets go without one
    bool guardArmed = false; // the session thread knows a guard packet may be due
    SendFunction sendFunction;
    std::atomic<std::uint64_t> dropped{0}; // MIDI packets that could not be sent
    static constexpr int queueFull = -1, tooLong = -2;
    std::atomic<int> lastError{0}; // errno of the last drop, or one of the two above

    // Any thread.
    void send(const MIDIMessage &message);
    // Session thread: sends what is queued, at most `segments` sysex segments;
    // false when the socket is full.
    bool pump(int segments);
    // Session thread: a journal-only packet when nothing is queued.
    void sendGuard();
    std::optional<Clock::time_point> guardDue();
    // Session thread, with the lock held: forget what is queued.
    void discard();

private:
    void number(AppleMIDI::Bytes &packet, bool journalled, bool &numbered);
    bool sendToPeers(const AppleMIDI::Bytes &packet, std::size_t &next);
    void enqueue(Item item);
    void wake() const;
    AppleMIDI::Bytes m_journalBytes;
};

} // namespace korvane
