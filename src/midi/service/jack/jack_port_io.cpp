#include "midi/service/jack/jack_port_io.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::jackio {

Output::Output(jack_port_t *port, std::size_t ringBytes, std::size_t bufferBytes, Counters &counters)
    : m_port(port), m_ring(jack_ringbuffer_create(ringBytes)), m_maxEvent(bufferBytes), m_counters(counters)
{
}

Output::~Output()
{
    if (m_ring)
        jack_ringbuffer_free(m_ring);
}

bool Output::write(MidiService::PacketList packets)
{
    if (!m_ring)
        return false;
    const std::size_t maxEvent = m_maxEvent.load(std::memory_order_relaxed);
    std::size_t needed = 0;
    for (const MidiService::Packet &packet : packets) {
        if (maxEvent != 0 && packet.bytes.size() > maxEvent)
            return false; // could never leave: JACK has no way to split one event
        if (!packet.bytes.empty())
            needed += sizeof(Header) + packet.bytes.size();
    }
    std::lock_guard lock(m_writeMutex);
    if (jack_ringbuffer_write_space(m_ring) < needed)
        return false;
    for (const MidiService::Packet &packet : packets) {
        if (packet.bytes.empty())
            continue;
        const Header header{static_cast<std::uint32_t>(packet.bytes.size())};
        jack_ringbuffer_write(m_ring, reinterpret_cast<const char *>(&header), sizeof header);
        jack_ringbuffer_write(m_ring, reinterpret_cast<const char *>(packet.bytes.data()),
                              packet.bytes.size());
    }
    return true;
}

bool Output::drained() const
{
    return jack_ringbuffer_read_space(m_ring) == 0;
}

bool Output::put(jack_nframes_t frame, const std::uint8_t *data, std::size_t size) noexcept
{
    // JACK wants events in time order; inputs are merged by time, so this
    // only holds back an event behind one drained at the cycle's start.
    const jack_nframes_t at = std::max(frame, m_lastFrame);
    jack_midi_data_t *target = jack_midi_event_reserve(m_cycleBuffer, at, size);
    if (!target) {
        m_counters.failed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::memcpy(target, data, size);
    m_lastFrame = at;
    return true;
}

bool Output::writeNow(std::uint64_t cycle, jack_nframes_t frame, const std::uint8_t *data, std::size_t size,
                      std::uint32_t owner, std::uint8_t flags) noexcept
{
    if (cycle != m_bufferCycle || !m_cycleBuffer) {
        m_counters.failed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (size == 1 && data[0] >= 0xF8)
        return put(frame, data, size); // real-time bytes never wait
    expire(frame);
    return accept(frame, owner, flags, data, size);
}

bool Output::accept(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
                    std::size_t size) noexcept
{
    const bool sysex = flags & MidiService::pieceSysex;
    if (m_openOwner != 0 && owner == m_openOwner) {
        const bool written = emit(frame, owner, flags, data, size);
        if (m_openOwner == 0)
            flushHeld(frame); // its message ended: the others' turn
        return written;
    }
    if (sysex && !(flags & MidiService::pieceFirst)) {
        // The rest of a message of another owner: held behind its beginning,
        // or dropped when its beginning was abandoned here.
        if (holdsOpenMessage(owner) && hold(frame, owner, flags, data, size))
            return true;
        return size == 0;
    }
    if (m_openOwner != 0 || holding()) {
        if (hold(frame, owner, flags, data, size))
            return true;
        abandon(frame); // no room left to wait in
        if (m_openOwner != 0 || holding()) {
            m_counters.failed.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
    }
    return emit(frame, owner, flags, data, size);
}

bool Output::emit(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
                  std::size_t size) noexcept
{
    const bool written = size == 0 || put(frame, data, size);
    if (!(flags & MidiService::pieceSysex))
        return written;
    const bool last = flags & MidiService::pieceLast;
    if (!written && !last) {
        // A piece that did not fit would leave a hole in the message: the
        // rest of it is dropped instead.
        m_counters.abandoned.fetch_add(1, std::memory_order_relaxed);
        m_openOwner = 0;
    } else {
        m_openOwner = last ? 0 : owner;
    }
    return written;
}

bool Output::hold(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
                  std::size_t size) noexcept
{
    const std::size_t needed = sizeof(Held) + size;
    if (m_hold.size() - m_holdEnd < needed && m_holdBegin > 0) {
        std::memmove(m_hold.data(), m_hold.data() + m_holdBegin, m_holdEnd - m_holdBegin);
        m_holdEnd -= m_holdBegin;
        m_holdBegin = 0;
    }
    if (m_hold.size() - m_holdEnd < needed)
        return false;
    if (!holding())
        m_heldSince = m_cycleStart + frame;
    const Held held{owner, static_cast<std::uint32_t>(size), flags};
    std::memcpy(m_hold.data() + m_holdEnd, &held, sizeof held);
    if (size > 0)
        std::memcpy(m_hold.data() + m_holdEnd + sizeof held, data, size);
    m_holdEnd += needed;
    return true;
}

bool Output::holdsOpenMessage(std::uint32_t owner) const noexcept
{
    bool open = false;
    for (std::size_t at = m_holdBegin; at < m_holdEnd;) {
        Held held;
        std::memcpy(&held, m_hold.data() + at, sizeof held);
        if (held.owner == owner && (held.flags & MidiService::pieceSysex))
            open = !(held.flags & MidiService::pieceLast);
        at += sizeof held + held.size;
    }
    return open;
}

void Output::flushHeld(jack_nframes_t frame) noexcept
{
    while (holding()) {
        Held held;
        std::memcpy(&held, m_hold.data() + m_holdBegin, sizeof held);
        if (m_openOwner != 0 && held.owner != m_openOwner) {
            m_heldSince = m_cycleStart + frame; // waits anew behind the next open message
            return;
        }
        // Emitting may open a message again, and flushing stops behind it.
        const std::uint8_t *data = m_hold.data() + m_holdBegin + sizeof held;
        m_holdBegin += sizeof held + held.size;
        emit(frame, held.owner, held.flags, data, held.size);
    }
    if (!holding())
        m_holdBegin = m_holdEnd = 0;
}

void Output::abandon(jack_nframes_t frame) noexcept
{
    if (m_openOwner != 0) {
        m_counters.abandoned.fetch_add(1, std::memory_order_relaxed);
        m_openOwner = 0;
    }
    flushHeld(frame);
}

void Output::expire(jack_nframes_t frame) noexcept
{
    if (holding() && m_cycleStart + frame >= m_heldSince + m_holdLimit)
        abandon(frame);
}

void Output::drainInto(void *portBuffer, std::uint64_t cycle, std::uint64_t cycleStart,
                       std::uint64_t holdLimit) noexcept
{
    m_cycleBuffer = portBuffer;
    m_bufferCycle = cycle;
    m_lastFrame = 0;
    m_cycleStart = cycleStart;
    m_holdLimit = holdLimit;
    jack_midi_clear_buffer(portBuffer);
    m_maxEvent.store(jack_midi_max_event_size(portBuffer), std::memory_order_relaxed);
    expire(0);
    if (const std::uint64_t wait = m_connectionWait.load(std::memory_order_relaxed); wait != 0) {
        // jack_port_connected reads the graph this cycle runs on.
        if (jack_port_connected(m_port) > 0) {
            m_connectionWait.store(0, std::memory_order_relaxed);
            m_unconnectedSince = ~std::uint64_t{0};
        } else {
            if (m_unconnectedSince == ~std::uint64_t{0})
                m_unconnectedSince = cycleStart;
            if (cycleStart < m_unconnectedSince + wait)
                return;
        }
    }
    if (m_ring)
        drainRing();
}

void Output::drainRing() noexcept
{
    std::size_t written = 0;
    for (;;) {
        Header header;
        if (jack_ringbuffer_peek(m_ring, reinterpret_cast<char *>(&header), sizeof header) < sizeof header)
            return;
        if (jack_ringbuffer_read_space(m_ring) < sizeof header + header.size)
            return; // the writer is half-way through this event
        std::uint8_t first = 0;
        if (header.size == 1) {
            char peeked[sizeof header + 1];
            jack_ringbuffer_peek(m_ring, peeked, sizeof peeked);
            first = static_cast<std::uint8_t>(peeked[sizeof header]);
        }
        if (first < 0xF8 && (m_openOwner != 0 || holding())) {
            // Whole messages from other threads wait behind an open message
            // like held ones, and for as long.
            if (m_ringWaitSince == ~std::uint64_t{0})
                m_ringWaitSince = m_cycleStart;
            if (m_cycleStart < m_ringWaitSince + m_holdLimit)
                return;
            abandon(0);
            if (m_openOwner != 0 || holding()) {
                m_ringWaitSince = m_cycleStart;
                return;
            }
        }
        m_ringWaitSince = ~std::uint64_t{0};
        jack_midi_data_t *target = jack_midi_event_reserve(m_cycleBuffer, m_lastFrame, header.size);
        if (!target) {
            if (written > 0)
                return; // port buffer full: the rest goes out next cycle
            // Too big for an empty port buffer (queued before the first
            // cycle measured it): it can never go out.
            jack_ringbuffer_read_advance(m_ring, sizeof header + header.size);
            m_counters.failed.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        jack_ringbuffer_read_advance(m_ring, sizeof header);
        jack_ringbuffer_read(m_ring, reinterpret_cast<char *>(target), header.size);
        ++written;
    }
}

InputPump::InputPump(std::size_t ringBytes) : m_ring(jack_ringbuffer_create(ringBytes))
{
    sem_init(&m_ready, 0, 0);
}

InputPump::~InputPump()
{
    stopThread();
    sem_destroy(&m_ready);
    if (m_ring)
        jack_ringbuffer_free(m_ring);
}

void InputPump::startThread()
{
    if (m_thread.joinable())
        return;
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
}

void InputPump::stopThread()
{
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    sem_post(&m_ready);
    m_thread.join();
    if (m_ring)
        jack_ringbuffer_reset(m_ring);
}

void InputPump::push(std::uint32_t binding, const std::uint8_t *data, std::size_t size,
                     std::uint64_t timestamp) noexcept
{
    if (!m_ring || size == 0)
        return;
    if (jack_ringbuffer_write_space(m_ring) < sizeof(Header) + size) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const Header header{binding, static_cast<std::uint32_t>(size), timestamp};
    jack_ringbuffer_write(m_ring, reinterpret_cast<const char *>(&header), sizeof header);
    jack_ringbuffer_write(m_ring, reinterpret_cast<const char *>(data), size);
}

void InputPump::wake() noexcept
{
    sem_post(&m_ready);
}

std::uint32_t InputPump::addBinding(MidiService::VirtualInputHandler handler)
{
    std::lock_guard lock(m_bindingsMutex);
    const std::uint32_t id = m_nextBinding++;
    m_bindings[id] = std::make_shared<const MidiService::VirtualInputHandler>(std::move(handler));
    return id;
}

void InputPump::removeBinding(std::uint32_t binding)
{
    std::lock_guard lock(m_bindingsMutex);
    m_bindings.erase(binding);
}

void InputPump::clearBindings()
{
    std::lock_guard lock(m_bindingsMutex);
    m_bindings.clear();
}

InputPump::Handler InputPump::handlerFor(std::uint32_t binding)
{
    std::lock_guard lock(m_bindingsMutex);
    auto it = m_bindings.find(binding);
    return it == m_bindings.end() ? nullptr : it->second;
}

void InputPump::run()
{
    while (!m_stopping.load()) {
        if (sem_wait(&m_ready) != 0 && errno == EINTR)
            continue;
        if (m_stopping.load())
            break;
        drain();
    }
}

// Reads everything queued, then hands each run of events from one port to
// its handler as one packet list.
void InputPump::drain()
{
    m_pending.clear();
    m_bytes.clear();
    for (;;) {
        Header header;
        if (jack_ringbuffer_peek(m_ring, reinterpret_cast<char *>(&header), sizeof header) < sizeof header)
            break;
        if (jack_ringbuffer_read_space(m_ring) < sizeof header + header.size)
            break; // completed before the next wake-up
        jack_ringbuffer_read_advance(m_ring, sizeof header);
        const std::size_t offset = m_bytes.size();
        m_bytes.resize(offset + header.size);
        jack_ringbuffer_read(m_ring, reinterpret_cast<char *>(m_bytes.data() + offset), header.size);
        m_pending.push_back({header.binding, header.timestamp, offset, header.size});
    }

    std::size_t i = 0;
    while (i < m_pending.size()) {
        const std::uint32_t binding = m_pending[i].binding;
        m_packets.clear();
        for (; i < m_pending.size() && m_pending[i].binding == binding; ++i) {
            const Pending &p = m_pending[i];
            m_packets.push_back(
                {p.timestamp, std::span<const std::uint8_t>(m_bytes.data() + p.offset, p.size)});
        }
        if (Handler handler = handlerFor(binding); handler && *handler)
            (*handler)(MidiService::PacketList(m_packets.data(), m_packets.size()));
    }
}

} // namespace korvane::jackio
