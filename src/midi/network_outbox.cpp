#include "midi/network_outbox.h"

#include "midi/midi_stream_parser.h"
#include "midi/service/midi_service.h"

#include <QtGlobal>

#include <cerrno>
#include <vector>

namespace korvane {

NetworkOutbox::NetworkOutbox(std::size_t ringBytes) : m_ring(ringBytes)
{
    sem_init(&m_ready, 0, 0);
    m_thread = std::thread([this] { run(); });
}

NetworkOutbox::~NetworkOutbox()
{
    m_stopping = true;
    sem_post(&m_ready);
    m_thread.join();
    sem_destroy(&m_ready);
}

void NetworkOutbox::setSend(std::shared_ptr<const Send> send)
{
    std::lock_guard lock(m_mutex);
    m_send = std::move(send);
}

void NetworkOutbox::setLog(Log log)
{
    std::lock_guard lock(m_mutex);
    m_log = std::move(log);
}

bool NetworkOutbox::push(std::uint32_t tag, std::uint32_t lane, std::string_view session,
                         std::span<const std::uint8_t> bytes, std::uint8_t flags) noexcept
{
    const Header header{static_cast<std::uint32_t>(bytes.size()), tag, lane,
                        static_cast<std::uint16_t>(std::min<std::size_t>(session.size(), UINT16_MAX)), flags};
    const bool written = m_ring.write({
        std::span(reinterpret_cast<const std::uint8_t *>(&header), sizeof header),
        std::span(reinterpret_cast<const std::uint8_t *>(session.data()), header.nameSize),
        bytes,
    });
    if (written)
        m_queued.store(true, std::memory_order_relaxed);
    else
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    return written;
}

void NetworkOutbox::wake() noexcept
{
    if (m_queued.exchange(false, std::memory_order_acq_rel))
        sem_post(&m_ready);
}

void NetworkOutbox::run()
{
    while (!m_stopping.load()) {
        if (sem_wait(&m_ready) != 0 && errno == EINTR)
            continue;
        if (m_stopping.load())
            break;
        drain();
    }
}

// One piece of a long system-exclusive message: true, with the whole message
// in `bytes`, once its last piece is in.
bool NetworkOutbox::reassemble(const Header &header, std::vector<std::uint8_t> &bytes)
{
    const auto key = std::pair(header.tag, header.lane);
    if (header.flags & MidiService::pieceFirst) {
        m_open[key].clear();
    } else if (!m_open.count(key)) {
        return false; // its beginning was lost or is too long
    }
    std::vector<std::uint8_t> &open = m_open[key];
    if (open.size() + bytes.size() > MIDIStreamParser::kMaxSysexBytes) {
        m_open.erase(key);
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    open.insert(open.end(), bytes.begin(), bytes.end());
    if (!(header.flags & MidiService::pieceLast))
        return false;
    bytes = std::move(open);
    m_open.erase(key);
    return true;
}

void NetworkOutbox::drain()
{
    std::shared_ptr<const Send> send;
    Log log;
    {
        std::lock_guard lock(m_mutex);
        send = m_send;
        log = m_log;
    }
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::size_t left = m_ring.readable();
    while (left >= sizeof(Header)) {
        Header header{};
        m_ring.peek(0, &header, sizeof header);
        name.resize(header.nameSize);
        bytes.resize(header.size);
        m_ring.peek(sizeof header, name.data(), name.size());
        m_ring.peek(sizeof header + name.size(), bytes.data(), bytes.size());
        const std::size_t total = sizeof header + name.size() + bytes.size();
        m_ring.skip(total);
        left -= total;
        const bool piece = (header.flags & MidiService::pieceSysex) &&
                           (header.flags & MidiService::wholeMessage) != MidiService::wholeMessage;
        if (piece && !reassemble(header, bytes))
            continue;
        if (send && *send)
            (*send)(EndpointKey(EndpointKind::rtp, name), MIDIMessage(std::move(bytes)));
        bytes = {};
    }
    if (const std::uint64_t lost = dropped(); lost != m_droppedLogged) {
        const std::string line =
            "Réseau : " + std::to_string(lost - m_droppedLogged) + " messages MIDI perdus (file pleine)";
        m_droppedLogged = lost;
        if (log)
            log(line);
        else
            qWarning("%s", line.c_str());
    }
}

} // namespace korvane
