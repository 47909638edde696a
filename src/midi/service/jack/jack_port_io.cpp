#include "midi/service/jack/jack_port_io.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::jackio {

Output::Output(jack_port_t *port, std::size_t ringBytes, std::size_t bufferBytes)
    : m_port(port), m_ring(jack_ringbuffer_create(ringBytes)), m_maxEvent(bufferBytes)
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

bool Output::writeNow(std::uint64_t cycle, jack_nframes_t frame, const std::uint8_t *data,
                      std::size_t size) noexcept
{
    if (cycle != m_bufferCycle || !m_cycleBuffer || size == 0)
        return false;
    // JACK wants events in time order; inputs are merged by time, so this
    // only holds back an event behind one drained at the cycle's start.
    const jack_nframes_t at = std::max(frame, m_lastFrame);
    jack_midi_data_t *target = jack_midi_event_reserve(m_cycleBuffer, at, size);
    if (!target)
        return false;
    std::memcpy(target, data, size);
    m_lastFrame = at;
    return true;
}

void Output::drainInto(void *portBuffer, std::uint64_t cycle) noexcept
{
    m_cycleBuffer = portBuffer;
    m_bufferCycle = cycle;
    m_lastFrame = 0;
    jack_midi_clear_buffer(portBuffer);
    m_maxEvent.store(jack_midi_max_event_size(portBuffer), std::memory_order_relaxed);
    if (!m_ring)
        return;
    std::size_t written = 0;
    for (;;) {
        Header header;
        if (jack_ringbuffer_peek(m_ring, reinterpret_cast<char *>(&header), sizeof header) < sizeof header)
            return;
        if (jack_ringbuffer_read_space(m_ring) < sizeof header + header.size)
            return; // the writer is half-way through this event
        jack_midi_data_t *target = jack_midi_event_reserve(portBuffer, 0, header.size);
        if (!target) {
            if (written > 0)
                return; // port buffer full: the rest goes out next cycle
            // Too big for an empty port buffer (queued before the first
            // cycle measured it): it can never go out.
            jack_ringbuffer_read_advance(m_ring, sizeof header + header.size);
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
