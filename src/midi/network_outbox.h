#pragma once

// Messages for network destinations, handed from the real-time thread to a
// thread of their own that sends them: the real-time thread only copies them
// into a preallocated ring and, once per cycle that queued something, posts a
// semaphore (never blocks). A full ring drops the message and counts it.
// A long system-exclusive message comes in the pieces it arrived in and is
// put back together here, per input and route destination ("lane"), up to
// the stream parser's cap; sessions only ever send whole messages.

#include "midi/byte_ring.h"
#include "midi/midi_message.h"
#include "model/project.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore.h>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace korvane {

class NetworkOutbox {
public:
    using Send = std::function<void(const EndpointKey &destination, const MIDIMessage &message)>;
    using Log = std::function<void(const std::string &line)>;

    explicit NetworkOutbox(std::size_t ringBytes = std::size_t{1} << 18);
    // Joins the sending thread; what is still queued is dropped.
    ~NetworkOutbox();
    NetworkOutbox(const NetworkOutbox &) = delete;
    NetworkOutbox &operator=(const NetworkOutbox &) = delete;

    // Any thread; takes effect for messages sent afterwards.
    void setSend(std::shared_ptr<const Send> send);
    // Where the line about dropped messages goes (qWarning by default).
    void setLog(Log log);

    // Real-time thread (one at a time): queues a message, or a piece of one
    // (MidiService::pieceFlags), from input `tag` for the rtp destination
    // named `session`.
    bool push(std::uint32_t tag, std::uint32_t lane, std::string_view session,
              std::span<const std::uint8_t> bytes, std::uint8_t flags) noexcept;
    // Real-time thread, once per cycle: wakes the sender if anything was queued.
    void wake() noexcept;

    std::uint64_t dropped() const { return m_dropped.load(std::memory_order_relaxed); }

private:
    struct Header {
        std::uint32_t size;
        std::uint32_t tag;
        std::uint32_t lane;
        std::uint16_t nameSize;
        std::uint8_t flags;
    };
    void run();
    void drain();
    bool reassemble(const Header &header, std::vector<std::uint8_t> &bytes);

    ByteRing m_ring;
    sem_t m_ready;
    std::atomic<bool> m_queued{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint64_t> m_dropped{0};
    // Sending thread only.
    std::uint64_t m_droppedLogged = 0;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint8_t>> m_open; // by tag and lane

    std::mutex m_mutex; // guards m_send and m_log
    std::shared_ptr<const Send> m_send;
    Log m_log;
    std::thread m_thread;
};

} // namespace korvane
