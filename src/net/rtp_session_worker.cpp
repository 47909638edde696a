#include "net/rtp_session_worker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace korvane {

namespace {

constexpr std::size_t kReceiveBufferSize = 2048;
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65534; // leaves room for the data port, port + 1

std::string ipString(const sockaddr_in &addr)
{
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf);
    return buf;
}

sockaddr_in withPort(sockaddr_in addr, int port)
{
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    return addr;
}

// Dotted-decimal first; otherwise the system resolver (IPv4, datagram).
// Blocks the session thread while the resolver runs.
std::optional<sockaddr_in> makeSockaddr(const std::string &host, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1)
        return addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *result = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &result) != 0 || !result)
        return std::nullopt;
    std::optional<sockaddr_in> found;
    if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in))
        found = *reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    freeaddrinfo(result);
    return found;
}

bool validPort(int port)
{
    return port >= kMinPort && port <= kMaxPort;
}

} // namespace

void RTPSessionWorker::writeLog(const std::string &text) const
{
    if (m_callbacks.log)
        m_callbacks.log("RTP " + m_config.name + ": " + text);
}

AppleMIDI::Exchange RTPSessionWorker::ownExchange(AppleMIDI::Command command, std::uint32_t token) const
{
    return {command, token, m_ssrc, m_localName};
}

int RTPSessionWorker::openUDP(int port) const
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // No SO_REUSEADDR: on Linux it lets a second program bind the same UDP
    // port without error and take its traffic. UDP leaves no TIME_WAIT, so a
    // stopped session's ports can be bound again at once without it.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!m_config.bindAddress.empty() &&
        inet_pton(AF_INET, m_config.bindAddress.c_str(), &addr.sin_addr) != 1)
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void RTPSessionWorker::startProcedure()
{
    if (m_stopped)
        return;
    const int port = m_config.localPort;
    if (!validPort(port)) {
        writeLog("port local invalide (" + std::to_string(port) + ")");
        return;
    }
    const bool invites = m_config.role == RTPRole::initiator && !m_config.remoteHost.empty();
    if (invites && !validPort(m_config.remotePort)) {
        writeLog("port distant invalide (" + std::to_string(m_config.remotePort) + ")");
        return;
    }
    const int control = openUDP(port);
    if (control < 0) {
        writeLog("impossible d'ouvrir le port control " + std::to_string(port));
        return;
    }
    const int data = openUDP(port + 1);
    if (data < 0) {
        ::close(control);
        writeLog("impossible d'ouvrir le port data " + std::to_string(port + 1));
        return;
    }
    m_controlFD = control;
    m_dataFD = data;
    watch(m_dataFD);
    watch(m_controlFD);

    writeLog("écoute sur " + std::to_string(port) + "/" + std::to_string(port + 1) + " (SSRC " +
             std::to_string(m_ssrc) + ")");
    if (invites)
        inviteRemote();
    m_livenessDue = Clock::now() + m_timing.livenessPeriod;
}

void RTPSessionWorker::inviteRemote()
{
    // One lookup: the data address is the same host at the next port.
    const auto control = makeSockaddr(m_config.remoteHost, m_config.remotePort);
    const auto data = control ? std::optional(withPort(*control, m_config.remotePort + 1)) : std::nullopt;
    if (!control || !data) {
        writeLog("hôte distant invalide (" + m_config.remoteHost + ")");
        return;
    }
    Peer peer;
    peer.controlAddr = *control;
    peer.dataAddr = *data;
    peer.stage = Stage::invitedControl;
    m_peers[ipString(*control)] = peer;
    sendTo(m_controlFD,
           AppleMIDI::encodeExchange(ownExchange(AppleMIDI::Command::invitation, m_initiatorToken)),
           *control);
    writeLog("invitation envoyée à " + m_config.remoteHost + ":" + std::to_string(m_config.remotePort));
}

// One datagram per call: the epoll set is level-triggered, so the loop comes back
// while more are pending, without a final failing receive per wake-up.
void RTPSessionWorker::readDatagram(int fd, bool isData)
{
    std::array<std::uint8_t, kReceiveBufferSize> buffer; // longer datagrams are truncated
    sockaddr_storage fromStorage{};
    socklen_t fromLength = sizeof fromStorage;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&fromStorage), &fromLength);
    if (n < 1)
        return;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (fromStorage.ss_family == AF_INET)
        from = *reinterpret_cast<const sockaddr_in *>(&fromStorage);
    const AppleMIDI::ByteView packet(buffer.data(), static_cast<std::size_t>(n));

    if (AppleMIDI::isSessionCommand(packet)) {
        if (isData) {
            if (const auto sync = AppleMIDI::decodeClock(packet)) {
                handleClock(*sync, from);
                return;
            }
        }
        if (const auto exchange = AppleMIDI::decodeExchange(packet))
            handleExchange(*exchange, from, isData);
        return;
    }
    if (!isData)
        return;
    // Only established peers may inject MIDI into the show.
    if (!m_callbacks.onReceive || std::find(m_establishedAddrs.begin(), m_establishedAddrs.end(),
                                            from.sin_addr.s_addr) == m_establishedAddrs.end())
        return;
    receiveData(packet, from.sin_addr.s_addr);
}

void RTPSessionWorker::receiveData(AppleMIDI::ByteView packet, in_addr_t from)
{
    // decodeRTP accepts no packet shorter than the RTP header.
    if (packet.size() >= AppleMIDI::rtpHeaderSize)
        m_segmentSender = {from, AppleMIDI::readUInt32(packet, 8)};
    AppleMIDI::decodeRTP(packet, m_callbacks.onReceive, m_onSegment);
}

void RTPSessionWorker::reassemble(const AppleMIDI::SysexSegment &segment)
{
    // Bounds memory when senders juggle SSRCs: at most this many messages
    // (each at most 1 MiB) are being rebuilt at once.
    constexpr std::size_t kMaxOpen = 16;
    auto it = m_reassembly.find(m_segmentSender);
    if (it == m_reassembly.end()) {
        if (segment.kind != AppleMIDI::SysexSegment::Kind::first)
            return; // orphan continuation
        if (m_reassembly.size() >= kMaxOpen)
            m_reassembly.erase(m_reassembly.begin());
        it = m_reassembly.emplace(m_segmentSender, AppleMIDI::SysexReassembler()).first;
    }
    if (const auto *whole = it->second.add(segment))
        m_callbacks.onReceive(*whole);
}

void RTPSessionWorker::dropReassembly(const std::string &peerKey)
{
    in_addr addr{};
    if (inet_pton(AF_INET, peerKey.c_str(), &addr) != 1)
        return;
    std::erase_if(m_reassembly, [&](const auto &entry) { return entry.first.first == addr.s_addr; });
}

void RTPSessionWorker::handleExchange(const AppleMIDI::Exchange &exchange, const sockaddr_in &from,
                                      bool isData)
{
    using AppleMIDI::Command;
    const std::string key = ipString(from);
    // An invitation from control port 65535 has no data port to go with it.
    if (exchange.command == Command::invitation && !isData && ntohs(from.sin_port) == 65535)
        return;
    auto found = m_peers.find(key);
    if (found != m_peers.end())
        found->second.lastSeen = Clock::now();

    switch (exchange.command) {
    case Command::invitation: {
        const auto ok =
            AppleMIDI::encodeExchange(ownExchange(Command::invitationOK, exchange.initiatorToken));
        if (found == m_peers.end()) {
            Peer fresh;
            fresh.controlAddr = from;
            fresh.dataAddr = isData ? from : withPort(from, ntohs(from.sin_port) + 1);
            found = m_peers.emplace(key, fresh).first;
        }
        Peer &peer = found->second;
        peer.ssrc = exchange.ssrc;
        peer.name = exchange.name;
        if (isData) {
            peer.dataAddr = from;
            peer.stage = Stage::established;
            sendTo(m_dataFD, ok, from);
            writeLog("session établie avec " + (exchange.name.empty() ? key : exchange.name));
            notifyPeers();
        } else {
            peer.controlAddr = from;
            if (peer.stage == Stage::idle)
                peer.stage = Stage::invitedControl;
            sendTo(m_controlFD, ok, from);
        }
        break;
    }
    case Command::invitationOK: {
        if (found == m_peers.end())
            return;
        Peer &peer = found->second;
        peer.ssrc = exchange.ssrc;
        peer.name = exchange.name;
        if (isData) {
            peer.stage = Stage::established;
            writeLog("session établie avec " + (exchange.name.empty() ? key : exchange.name));
            notifyPeers();
            startClockSync(peer);
        } else {
            peer.stage = Stage::invitedData;
            sendTo(m_dataFD, AppleMIDI::encodeExchange(ownExchange(Command::invitation, m_initiatorToken)),
                   peer.dataAddr);
        }
        break;
    }
    case Command::bye:
        if (found == m_peers.end())
            return;
        m_peers.erase(found);
        dropReassembly(key);
        writeLog(key + " a quitté la session");
        notifyPeers();
        break;
    case Command::invitationReject:
    case Command::clockSync:
    case Command::receiverFeedback:
        break;
    }
}

void RTPSessionWorker::handleClock(const AppleMIDI::ClockSync &sync, const sockaddr_in &from)
{
    if (const auto it = m_peers.find(ipString(from)); it != m_peers.end())
        it->second.lastSeen = Clock::now();
    const std::uint64_t now = currentTick();
    AppleMIDI::ClockSync answer{m_ssrc, 0, sync.ts1, 0, 0};
    if (sync.count == 0) {
        answer.count = 1;
        answer.ts2 = now;
    } else if (sync.count == 1) {
        answer.count = 2;
        answer.ts2 = sync.ts2;
        answer.ts3 = now;
    } else {
        return;
    }
    sendTo(m_dataFD, AppleMIDI::encodeClock(answer), from);
}

void RTPSessionWorker::sendClockStart(const sockaddr_in &to)
{
    sendTo(m_dataFD, AppleMIDI::encodeClock({m_ssrc, 0, currentTick(), 0, 0}), to);
}

void RTPSessionWorker::startClockSync(const Peer &peer)
{
    sendClockStart(peer.dataAddr);
    // One clock timer per session, restarted whenever a peer becomes
    // established by an OK; each firing reaches every established peer.
    m_clockDue = Clock::now() + m_timing.clockPeriod;
}

void RTPSessionWorker::checkLiveness()
{
    const auto now = Clock::now();
    bool removed = false;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if (now - it->second.lastSeen > m_timing.peerTimeout) {
            writeLog("pair " + it->second.label(it->first) + " hors-ligne (timeout)");
            dropReassembly(it->first);
            it = m_peers.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    if (removed)
        notifyPeers();
}

void RTPSessionWorker::publishSendPath()
{
    std::vector<sockaddr_in> peers;
    m_establishedAddrs.clear();
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage == Stage::established) {
            peers.push_back(peer.dataAddr);
            // The table key is the address the peer's packets came from.
            in_addr addr{};
            inet_pton(AF_INET, key.c_str(), &addr);
            m_establishedAddrs.push_back(addr.s_addr);
        }
    }
    std::lock_guard lock(m_sendPath.mutex);
    m_sendPath.dataFD = m_dataFD;
    m_sendPath.peers = std::move(peers);
}

// Every change of the established set ends here, so senders see it too.
void RTPSessionWorker::notifyPeers()
{
    publishSendPath();
    std::vector<std::string> labels;
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage == Stage::established)
            labels.push_back(peer.label(key));
    }
    if (m_callbacks.reportPeers)
        m_callbacks.reportPeers(labels);
}

void RTPSessionWorker::sendTo(int fd, const AppleMIDI::Bytes &packet, const sockaddr_in &to) const
{
    if (fd < 0 || packet.empty())
        return;
    // Errors are ignored: no retry on a datagram socket.
    (void)::sendto(fd, packet.data(), packet.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
}

void RTPSessionWorker::closeAll()
{
    {
        // No sender may use the data socket once it is closed.
        std::lock_guard lock(m_sendPath.mutex);
        m_sendPath.dataFD = -1;
        m_sendPath.peers.clear();
    }
    m_clockDue.reset();
    m_livenessDue.reset();
    if (m_controlFD >= 0)
        ::close(m_controlFD);
    if (m_dataFD >= 0)
        ::close(m_dataFD);
    m_controlFD = -1;
    m_dataFD = -1;
}

void RTPSessionWorker::stopProcedure()
{
    if (m_stopped)
        return;
    m_stopped = true;
    if (m_controlFD >= 0) {
        const auto bye = AppleMIDI::encodeExchange(ownExchange(AppleMIDI::Command::bye, m_initiatorToken));
        for (const auto &[key, peer] : m_peers)
            sendTo(m_controlFD, bye, peer.controlAddr);
    }
    closeAll();
    m_peers.clear();
    m_reassembly.clear();
    notifyPeers();
    writeLog("arrêté");
}

} // namespace korvane
