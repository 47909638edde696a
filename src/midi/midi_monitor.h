#pragma once

// Collects one event per incoming message and per delivery, and publishes
// them in batches on the main thread at most every 0.1 s.

#include "midi/midi_message.h"
#include "model/uuid.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
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

    static MonitorEvent make(Direction direction, std::string_view endpoint, const MIDIMessage &message);
};

// "IN" or "OUT".
std::string_view rawValue(MonitorEvent::Direction direction);
std::string formatRawHex(const std::vector<std::uint8_t> &bytes);

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

    // Any thread. Formats the event before taking the lock; the lock is held
    // only for the append. Discards everything while paused. When more than
    // `capacity` events wait for the next flush, the oldest are dropped.
    void record(MonitorEvent::Direction direction, std::string_view endpoint, const MIDIMessage &message);

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
    // Events recorded but not yet published; never more than `capacity`.
    std::size_t pendingCount() const;

signals:
    void eventsChanged();
    void pausedChanged(bool paused);

private:
    std::atomic<bool> m_paused{false};
    std::atomic<int> m_capacity{defaultCapacity};
    // Set by record() when capacity 0 dropped an event: the next flush then
    // empties the published list, as a flush of that event would have.
    std::atomic<bool> m_droppedAtZero{false};

    mutable std::mutex m_pendingMutex;
    std::deque<MonitorEvent> m_pending; // guarded by m_pendingMutex

    std::deque<MonitorEvent> m_batch; // main thread: spare storage swapped with m_pending
    std::vector<MonitorEvent> m_events;
    QTimer m_timer{this}; // a child, so it follows the monitor to its thread
};

} // namespace korvane
