#include "midi/midi_monitor.h"

#include "midi/shared_qobject.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

namespace korvane {

std::string_view rawValue(MonitorEvent::Direction direction)
{
    return direction == MonitorEvent::Direction::input ? "IN" : "OUT";
}

std::string formatRawHex(const std::vector<std::uint8_t> &bytes)
{
    return formatRawHex(bytes, bytes.size());
}

std::string formatRawHex(std::span<const std::uint8_t> head, std::size_t size)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    const std::size_t shown = std::min({head.size(), size, MonitorEvent::kRawHexBytes});
    if (shown == 0)
        return text;
    text.reserve(shown * 3 + 4);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i != 0)
            text.push_back(' ');
        text.push_back(digits[head[i] >> 4]);
        text.push_back(digits[head[i] & 0x0F]);
    }
    if (shown < size)
        text += " …";
    return text;
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
    record(direction, endpoint, std::span<const std::uint8_t>(message.bytes));
}

bool MIDIMonitor::write(ByteRing &ring, MonitorEvent::Direction direction, std::string_view endpoint,
                        std::span<const std::uint8_t> head, std::size_t size,
                        std::chrono::system_clock::time_point time) noexcept
{
    // Both read without a lock: a change applies to later records.
    if (paused())
        return false;
    if (capacity() == 0) {
        m_droppedAtZero.store(true, std::memory_order_relaxed);
        return false;
    }
    RecordHeader header{};
    header.sequence = m_sequence.fetch_add(1, std::memory_order_relaxed);
    header.time = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    header.size = static_cast<std::uint32_t>(std::min<std::size_t>(std::max(size, head.size()), UINT32_MAX));
    header.nameSize = static_cast<std::uint16_t>(std::min<std::size_t>(endpoint.size(), UINT16_MAX));
    // The texts never need more: the hex stops after kRawHexBytes.
    header.stored = static_cast<std::uint16_t>(std::min(head.size(), MonitorEvent::kRawHexBytes));
    header.direction = static_cast<std::uint8_t>(direction);
    const bool written = ring.write({
        std::span(reinterpret_cast<const std::uint8_t *>(&header), sizeof header),
        std::span(reinterpret_cast<const std::uint8_t *>(endpoint.data()), header.nameSize),
        head.first(header.stored),
    });
    if (!written)
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    return written;
}

void MIDIMonitor::record(MonitorEvent::Direction direction, std::string_view endpoint,
                         std::span<const std::uint8_t> bytes)
{
    record(direction, endpoint, bytes, std::chrono::system_clock::now());
}

void MIDIMonitor::record(MonitorEvent::Direction direction, std::string_view endpoint,
                         std::span<const std::uint8_t> bytes, std::chrono::system_clock::time_point time)
{
    if (paused())
        return;
    record(direction, endpoint, bytes, bytes.size(), time);
}

void MIDIMonitor::record(MonitorEvent::Direction direction, std::string_view endpoint,
                         std::span<const std::uint8_t> head, std::size_t size,
                         std::chrono::system_clock::time_point time)
{
    if (paused())
        return;
    std::lock_guard lock(m_sharedMutex);
    write(m_shared, direction, endpoint, head, size, time);
}

void MIDIMonitor::recordRealtime(MonitorEvent::Direction direction, std::string_view endpoint,
                                 std::span<const std::uint8_t> head, std::size_t size) noexcept
{
    write(m_realtime, direction, endpoint, head, size, std::chrono::system_clock::now());
}

void MIDIMonitor::readRing(ByteRing &ring)
{
    // Only what is there now: a producer that keeps writing cannot hold the
    // main thread here.
    std::size_t left = ring.readable();
    while (left >= sizeof(RecordHeader)) {
        Raw raw{};
        ring.peek(0, &raw.header, sizeof raw.header);
        const std::size_t body = std::size_t{raw.header.nameSize} + raw.header.stored;
        raw.offset = m_arena.size();
        m_arena.resize(raw.offset + body);
        ring.peek(sizeof raw.header, m_arena.data() + raw.offset, body);
        ring.skip(sizeof raw.header + body);
        left -= sizeof raw.header + body;
        m_raw.push_back(raw);
    }
}

void MIDIMonitor::discardRing(ByteRing &ring)
{
    ring.skip(ring.readable());
}

void MIDIMonitor::flush()
{
    const bool droppedAtZero = m_droppedAtZero.exchange(false, std::memory_order_relaxed);
    m_raw.clear();
    m_arena.clear();
    readRing(m_shared);
    const auto split = static_cast<std::ptrdiff_t>(m_raw.size());
    readRing(m_realtime);
    std::inplace_merge(m_raw.begin(), m_raw.begin() + split, m_raw.end(),
                       [](const Raw &a, const Raw &b) { return a.header.sequence < b.header.sequence; });

    if (const std::uint64_t dropped = droppedRecords(); dropped != m_droppedLogged) {
        const std::string line =
            "Moniteur : " + std::to_string(dropped - m_droppedLogged) + " événements perdus (file pleine)";
        m_droppedLogged = dropped;
        if (m_log)
            m_log(line);
        else
            qWarning("%s", line.c_str());
    }

    if (m_raw.empty()) {
        if (droppedAtZero && !m_events.empty()) {
            m_events.clear();
            emit eventsChanged();
        }
        return;
    }
    const std::size_t limit = static_cast<std::size_t>(capacity());
    // Only the records that stay get their texts.
    const std::size_t first = m_raw.size() > limit ? m_raw.size() - limit : 0;
    const std::size_t added = m_raw.size() - first;
    const std::size_t keep = limit - added;
    if (m_events.size() > keep)
        m_events.erase(m_events.begin(), m_events.end() - static_cast<std::ptrdiff_t>(keep));
    m_events.reserve(m_events.size() + added);
    for (std::size_t i = first; i < m_raw.size(); ++i) {
        const RecordHeader &h = m_raw[i].header;
        const auto *name = reinterpret_cast<const char *>(m_arena.data() + m_raw[i].offset);
        const std::span<const std::uint8_t> head(m_arena.data() + m_raw[i].offset + h.nameSize, h.stored);
        MonitorEvent event;
        event.id = Uuid::create();
        event.time = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(h.time)));
        event.direction = static_cast<MonitorEvent::Direction>(h.direction);
        event.endpointName.assign(name, h.nameSize);
        event.summary = humanReadable(head, h.size);
        event.typeLabel = std::string(label(midiStatusType(head)));
        if (!head.empty() && head[0] >= 0x80 && head[0] < 0xF0)
            event.channel = (head[0] & 0x0F) + 1;
        event.rawHex = formatRawHex(head, h.size);
        m_events.push_back(std::move(event));
    }
    emit eventsChanged();
}

std::size_t MIDIMonitor::pendingCount() const
{
    std::size_t count = 0;
    for (const ByteRing *ring : {&m_shared, &m_realtime}) {
        std::size_t offset = 0;
        const std::size_t readable = ring->readable();
        while (readable - offset >= sizeof(RecordHeader)) {
            RecordHeader header{};
            ring->peek(offset, &header, sizeof header);
            offset += sizeof header + header.nameSize + header.stored;
            ++count;
        }
    }
    return std::min(count, static_cast<std::size_t>(capacity()));
}

void MIDIMonitor::setLog(std::function<void(const std::string &)> log)
{
    m_log = std::move(log);
}

void MIDIMonitor::clear()
{
    discardRing(m_shared);
    discardRing(m_realtime);
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
