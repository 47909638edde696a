#pragma once

// Collects one event per incoming message and per delivery, and publishes
// them in batches on the main thread at most every 0.1 s.

#include "midi/byte_ring.h"
#include "midi/midi_message.h"
#include "model/uuid.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct MonitorEvent {
    enum class Direction { input, output };

    Uuid id;
    std::chrono::system_clock::time_point time;
    Direction direction = Direction::input;
    std::string endpointName;
    std::string summary;   // the message's humanReadable()
    std::string typeLabel; // label of the message's type
    std::optional<int> channel;
    // "90 3C 64"; empty for an empty message. A longer message shows its
    // first kRawHexBytes bytes then " …": a full dump of a large
    // system-exclusive message would cost the MIDI thread time before the
    // delivery and the monitor megabytes per line.
    std::string rawHex;
    static constexpr std::size_t kRawHexBytes = 256;
};

// "IN" or "OUT".
std::string_view rawValue(MonitorEvent::Direction direction);
std::string formatRawHex(const std::vector<std::uint8_t> &bytes);
// Of a message of `size` bytes whose first bytes are `head`.
std::string formatRawHex(std::span<const std::uint8_t> head, std::size_t size);

// Owned by the main thread, which runs the flush timer and reads the
// published list. record() may be called from any thread at any time.
class MIDIMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultCapacity = 500;
    static constexpr std::chrono::milliseconds flushInterval{100};

    explicit MIDIMonitor(QObject *parent = nullptr);
    ~MIDIMonitor() override;
    // The form to share with the router: whichever thread lets go last, the
    // monitor and its timer are destroyed on the thread that created them.
    static std::shared_ptr<MIDIMonitor> create();

    // Any thread but the real-time one. Copies the raw message (at most the
    // bytes the texts need) into a preallocated ring under a lock held for
    // that copy only; texts are made by flush. Discards everything while
    // paused. A full ring drops the record and counts it.
    void record(MonitorEvent::Direction direction, std::string_view endpoint, const MIDIMessage &message);
    void record(MonitorEvent::Direction direction, std::string_view endpoint,
                std::span<const std::uint8_t> bytes);
    // With the moment of recording taken by the caller (one clock read for a
    // message and all its deliveries).
    void record(MonitorEvent::Direction direction, std::string_view endpoint,
                std::span<const std::uint8_t> bytes, std::chrono::system_clock::time_point time);
    // A message of `size` bytes of which `head` are the first (a long
    // system-exclusive message recorded once it has ended).
    void record(MonitorEvent::Direction direction, std::string_view endpoint,
                std::span<const std::uint8_t> head, std::size_t size,
                std::chrono::system_clock::time_point time);
    // The same for one real-time thread at a time (the audio server's process
    // callback): no lock, no allocation, no system call.
    void recordRealtime(MonitorEvent::Direction direction, std::string_view endpoint,
                        std::span<const std::uint8_t> head, std::size_t size) noexcept;
    // Records lost to a full ring since the monitor was made.
    std::uint64_t droppedRecords() const { return m_dropped.load(std::memory_order_relaxed); }

    // Main thread only from here on.
    void clear();
    bool paused() const { return m_paused.load(std::memory_order_relaxed); }
    void setPaused(bool paused);
    int capacity() const { return m_capacity.load(std::memory_order_relaxed); }
    // Negative values count as 0, values beyond int as the largest int. The
    // published list is trimmed at the next flush that brings new events.
    void setCapacity(std::int64_t capacity);
    // Oldest first; at most `capacity` entries after each non-empty flush.
    const std::vector<MonitorEvent> &events() const { return m_events; }

    // Publishes the pending events now (the timer calls it every 0.1 s).
    void flush();
    // Events recorded but not yet published that the next flush would keep:
    // never more than `capacity`.
    std::size_t pendingCount() const;
    // Where the line about lost records goes (qWarning by default).
    void setLog(std::function<void(const std::string &)> log);

signals:
    void eventsChanged();
    void pausedChanged(bool paused);

private:
    // What a ring holds per record, followed by the endpoint name and the
    // first `stored` bytes of the message.
    struct RecordHeader {
        std::uint64_t sequence; // order of recording across both rings
        std::int64_t time;      // system clock, nanoseconds since the epoch
        std::uint32_t size;     // the whole message
        std::uint16_t nameSize;
        std::uint16_t stored;
        std::uint8_t direction;
    };
    // A record read back by flush: header plus where its bytes sit in m_arena.
    struct Raw {
        RecordHeader header;
        std::size_t offset;
    };
    static constexpr std::size_t kRingBytes = std::size_t{1} << 20;

    bool write(ByteRing &ring, MonitorEvent::Direction direction, std::string_view endpoint,
               std::span<const std::uint8_t> head, std::size_t size,
               std::chrono::system_clock::time_point time) noexcept;
    void readRing(ByteRing &ring);
    void discardRing(ByteRing &ring);

    std::atomic<bool> m_paused{false};
    std::atomic<int> m_capacity{defaultCapacity};
    // Set by record() when capacity 0 dropped an event: the next flush then
    // empties the published list, as a flush of that event would have.
    std::atomic<bool> m_droppedAtZero{false};
    std::atomic<std::uint64_t> m_sequence{0};
    std::atomic<std::uint64_t> m_dropped{0};

    // Producers of m_shared take m_sharedMutex; the real-time thread alone
    // writes m_realtime. The main thread reads both without a lock.
    std::mutex m_sharedMutex;
    ByteRing m_shared{kRingBytes};
    ByteRing m_realtime{kRingBytes};

    // Main thread: storage reused by every flush.
    std::vector<Raw> m_raw;
    std::vector<std::uint8_t> m_arena;
    std::uint64_t m_droppedLogged = 0;
    std::function<void(const std::string &)> m_log;
    std::vector<MonitorEvent> m_events;
    QTimer m_timer{this}; // a child, so it follows the monitor to its thread
};

} // namespace korvane
