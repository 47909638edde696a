#include "midi/midi_monitor.h"

#include "midi/shared_qobject.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace korvane {

std::string_view rawValue(MonitorEvent::Direction direction)
{
    return direction == MonitorEvent::Direction::input ? "IN" : "OUT";
}

std::string formatRawHex(const std::vector<std::uint8_t> &bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    if (bytes.empty())
        return text;
    const std::size_t shown = std::min(bytes.size(), MonitorEvent::kRawHexBytes);
    text.reserve(shown * 3 + 4);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i != 0)
            text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    if (shown < bytes.size())
        text += " …";
    return text;
}

MonitorEvent MonitorEvent::make(Direction direction, std::string_view endpoint, const MIDIMessage &message)
{
    MonitorEvent event;
    event.id = Uuid::create();
    event.time = std::chrono::system_clock::now();
    event.direction = direction;
    event.endpointName = std::string(endpoint);
    event.summary = message.humanReadable();
    event.typeLabel = std::string(label(message.type()));
    event.channel = message.channel();
    event.rawHex = formatRawHex(message.bytes);
    return event;
}

MIDIMonitor::MIDIMonitor(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(flushInterval);
    connect(&m_timer, &QTimer::timeout, this, &MIDIMonitor::flush);
    m_timer.start();
}

MIDIMonitor::~MIDIMonitor() = default;

std::shared_ptr<MIDIMonitor> MIDIMonitor::create()
{
    return makeSharedQObject<MIDIMonitor>();
}

void MIDIMonitor::record(MonitorEvent::Direction direction, std::string_view endpoint,
                         const MIDIMessage &message)
{
    // Both read without the lock: a change applies to later records.
    const std::size_t limit = static_cast<std::size_t>(capacity());
    if (paused())
        return;
    if (limit == 0) {
        m_droppedAtZero.store(true, std::memory_order_relaxed);
        return;
    }
    MonitorEvent event = MonitorEvent::make(direction, endpoint, message);
    std::lock_guard lock(m_pendingMutex);
    m_pending.push_back(std::move(event));
    while (m_pending.size() > limit)
        m_pending.pop_front();
}

void MIDIMonitor::flush()
{
    const bool droppedAtZero = m_droppedAtZero.exchange(false, std::memory_order_relaxed);
    {
        std::lock_guard lock(m_pendingMutex);
        m_batch.swap(m_pending);
    }
    if (m_batch.empty()) {
        if (droppedAtZero && !m_events.empty()) {
            m_events.clear();
            emit eventsChanged();
        }
        return;
    }
    const std::size_t limit = static_cast<std::size_t>(capacity());
    if (m_batch.size() >= limit) {
        m_events.clear();
        std::move(m_batch.end() - static_cast<std::ptrdiff_t>(limit), m_batch.end(),
                  std::back_inserter(m_events));
    } else {
        const std::size_t keep = limit - m_batch.size();
        if (m_events.size() > keep)
            m_events.erase(m_events.begin(), m_events.end() - static_cast<std::ptrdiff_t>(keep));
        std::move(m_batch.begin(), m_batch.end(), std::back_inserter(m_events));
    }
    m_batch.clear();
    emit eventsChanged();
}

std::size_t MIDIMonitor::pendingCount() const
{
    std::lock_guard lock(m_pendingMutex);
    return m_pending.size();
}

void MIDIMonitor::clear()
{
    {
        std::lock_guard lock(m_pendingMutex);
        m_pending.clear();
    }
    m_events.clear();
    emit eventsChanged();
}

void MIDIMonitor::setPaused(bool paused)
{
    if (m_paused.exchange(paused) != paused)
        emit pausedChanged(paused);
}

void MIDIMonitor::setCapacity(std::int64_t capacity)
{
    const auto limit = std::clamp<std::int64_t>(capacity, 0, std::numeric_limits<int>::max());
    m_capacity.store(static_cast<int>(limit), std::memory_order_relaxed);
}

} // namespace korvane
