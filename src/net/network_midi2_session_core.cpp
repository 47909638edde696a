#include "net/network_midi2_session_core.h"

#include <algorithm>
#include <atomic>

namespace korvane {

namespace {

using NetworkMIDI2::Command;
using NetworkMIDI2::CommandCode;
namespace ByeReason = NetworkMIDI2::ByeReason;
namespace NAKReason = NetworkMIDI2::NAKReason;

// Origins of Network MIDI 2.0 peers carry the top bit, so they never meet
// those other session kinds number from 1.
std::uint64_t newOrigin()
{
    static std::atomic<std::uint64_t> counter{0};
    return (std::uint64_t{1} << 63) | ++counter;
}

// Signed distance from a to b in 16-bit sequence space (wrap included): how
// far b is after a, negative when before.
int distance(std::uint16_t a, std::uint16_t b)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(b - a));
}

constexpr std::size_t kMaxPings = 4;
constexpr int kMaxHoleRequests = 8; // Retransmit Requests sent at once
constexpr std::size_t kMaxRefused = 64;
const UMP kNoop{0x00000000};

Command simple(CommandCode code, std::uint8_t reason = 0)
{
    Command c;
    c.code = code;
    c.reason = reason;
    return c;
}

std::string byeText(std::uint8_t reason)
{
    switch (reason) {
    case ByeReason::userTerminated:
        return "arrêt";
    case ByeReason::powerDown:
        return "mise hors tension";
    case ByeReason::tooManyMissingUMPs:
        return "trop d'UMP perdus";
    case ByeReason::timeout:
        return "délai dépassé";
    case ByeReason::sessionNotEstablished:
        return "session inconnue";
    case ByeReason::tooManyOpenSessions:
        return "trop de sessions ouvertes";
    case ByeReason::userDidNotAccept:
        return "invitation non acceptée";
    case ByeReason::authenticationFailed:
    case ByeReason::usernameNotFound:
    case ByeReason::noMatchingAuthentication:
        return "authentification refusée";
    case ByeReason::invitationCanceled:
        return "invitation annulée";
    default:
        return "raison " + std::to_string(reason);
    }
}

} // namespace

std::string_view toString(NetworkMIDI2State state)
{
    switch (state) {
    case NetworkMIDI2State::starting:
        return "starting";
    case NetworkMIDI2State::listening:
        return "listening";
    case NetworkMIDI2State::inviting:
        return "inviting";
    case NetworkMIDI2State::connected:
        return "connected";
    case NetworkMIDI2State::refused:
        return "refused";
    case NetworkMIDI2State::hostNotFound:
        return "hostNotFound";
    case NetworkMIDI2State::portBusy:
        return "portBusy";
    case NetworkMIDI2State::invalidPort:
        return "invalidPort";
    case NetworkMIDI2State::stopped:
        return "stopped";
    }
    return "?";
}

void NetworkMIDI2SessionCore::Output::clear()
{
    bytes.clear();
    datagrams.clear();
    logs.clear();
    received.clear();
    originsGone.clear();
    dropped = 0;
    peersChanged = statusChanged = resolve = wake = false;
}

NetworkMIDI2SessionCore::NetworkMIDI2SessionCore(NetworkMIDI2SessionConfig config, std::string endpointName,
                                                 std::string productInstanceId, NetworkMIDI2Timing timing)
    : m_config(std::move(config)), m_endpointName(std::move(endpointName)),
      m_productInstanceId(std::move(productInstanceId)), m_timing(timing),
      m_prefix("NM2 " + m_config.name + ": "),
      m_historySize(
          static_cast<std::size_t>(std::clamp(std::max(m_config.retransmitBufferSize, m_config.fecDepth), 0,
                                              NetworkMIDI2SessionConfig::maxRetransmitBufferSize))),
      m_fecDepth(
          static_cast<std::size_t>(std::clamp(m_config.fecDepth, 0, NetworkMIDI2SessionConfig::maxFecDepth))),
      m_responder(m_endpointName, m_productInstanceId, m_config.name,
                  static_cast<std::uint8_t>(m_config.group))
{
}

void NetworkMIDI2SessionCore::log(TimePoint now, const std::string &text, Output &out)
{
    flushSkippedLogs(now, out);
    if (m_logsInWindow >= maxLogLinesPerSecond) {
        ++m_logsSkipped;
        return;
    }
    ++m_logsInWindow;
    out.logs.push_back(m_prefix + text);
}

void NetworkMIDI2SessionCore::flushSkippedLogs(TimePoint now, Output &out)
{
    if (now < m_logWindowEnd)
        return;
    if (m_logsSkipped > 0)
        out.logs.push_back(m_prefix + std::to_string(m_logsSkipped) + " ligne(s) de journal omise(s)");
    m_logsSkipped = 0;
    m_logsInWindow = 0;
    m_logWindowEnd = now + std::chrono::seconds(1);
}

std::string NetworkMIDI2SessionCore::remoteText() const
{
    return m_config.remoteHost + ":" + std::to_string(m_config.remotePort);
}

Command NetworkMIDI2SessionCore::identity(CommandCode code) const
{
    Command c = simple(code);
    c.name = m_endpointName;
    c.productInstanceId = m_productInstanceId;
    return c;
}

void NetworkMIDI2SessionCore::sendCommand(NetAddress to, const Command &c, Output &out)
{
    const std::size_t offset = out.bytes.size();
    NetworkMIDI2::appendSignature(out.bytes);
    NetworkMIDI2::append(out.bytes, c);
    out.datagrams.push_back({to, offset, out.bytes.size() - offset});
}

void NetworkMIDI2SessionCore::started(TimePoint now, Output &out)
{
    m_running = true;
    const bool client = m_config.role == NetworkMIDI2Role::client;
    log(now,
        (client ? "client sur le port " : "hôte à l'écoute sur le port ") +
            std::to_string(m_config.localPort),
        out);
    if (client) {
        m_remote = Remote();
        out.resolve = true;
    }
    out.statusChanged = true;
}

void NetworkMIDI2SessionCore::remoteResolved(std::optional<std::uint32_t> ip, TimePoint now, Output &out)
{
    if (!m_running || !m_remote || m_remote->phase != Remote::Phase::resolving)
        return;
    out.statusChanged = true;
    if (!ip) {
        if (!m_remote->quiet)
            log(now, "hôte distant invalide (" + m_config.remoteHost + ")", out);
        m_remote->quiet = true;
        m_remote->phase = Remote::Phase::unresolved;
        m_remote->due = now + m_timing.inviteSlowPeriod;
        return;
    }
    m_remote->address = {*ip, static_cast<std::uint16_t>(m_config.remotePort)};
    beginInvitations(now, out);
}

void NetworkMIDI2SessionCore::beginInvitations(TimePoint now, Output &out)
{
    m_remote->phase = Remote::Phase::inviting;
    m_remote->tries = 0;
    m_remote->quiet = false;
    m_remote->due = now;
    out.statusChanged = true;
    runInvitations(now, out);
}

void NetworkMIDI2SessionCore::runInvitations(TimePoint now, Output &out)
{
    if (!m_remote || now < m_remote->due)
        return;
    Remote &r = *m_remote;
    switch (r.phase) {
    case Remote::Phase::unresolved:
        r.phase = Remote::Phase::resolving;
        out.resolve = true;
        return;
    case Remote::Phase::inviting:
    case Remote::Phase::pending:
    case Remote::Phase::refused:
        break;
    case Remote::Phase::resolving:
    case Remote::Phase::established:
        return;
    }
    if (r.tries == 0 && !r.quiet)
        log(now, "invitation envoyée à " + remoteText(), out);
    ++r.tries;
    const bool fast = r.phase == Remote::Phase::inviting && r.tries < m_timing.inviteFastTries;
    r.due = now + (fast ? m_timing.inviteFastPeriod : m_timing.inviteSlowPeriod);
    sendCommand(r.address, identity(CommandCode::invitation), out);
}

void NetworkMIDI2SessionCore::datagram(ByteView bytes, NetAddress from, TimePoint now, Output &out)
{
    if (!m_running)
        return;
    NetworkMIDI2::decode(bytes, [&](const Command &c) { handle(c, from, now, out); });
}

void NetworkMIDI2SessionCore::refuseStranger(NetAddress from, TimePoint now, Output &out)
{
    // Tells a peer that lost its session (we restarted, or dropped it) to
    // invite again; at most once a second per address.
    const auto it = m_refused.find(from);
    if (it != m_refused.end() && now - it->second < std::chrono::seconds(1))
        return;
    if (m_refused.size() >= kMaxRefused)
        m_refused.clear();
    m_refused[from] = now;
    sendCommand(from, simple(CommandCode::bye, ByeReason::sessionNotEstablished), out);
}

void NetworkMIDI2SessionCore::handle(const Command &c, NetAddress from, TimePoint now, Output &out)
{
    const auto it = m_peers.find(from);
    Peer *peer = it == m_peers.end() ? nullptr : &it->second;
    if (peer)
        peer->lastSeen = now;
    if (c.malformed) {
        if (peer) {
            Command nak = simple(CommandCode::nak, NAKReason::malformed);
            nak.value = c.header;
            sendCommand(from, nak, out);
        }
        return;
    }
    switch (c.code) {
    case CommandCode::invitation:
    case CommandCode::invitationWithAuth:
    case CommandCode::invitationWithUserAuth:
        handleInvitation(c, from, now, out);
        return;
    case CommandCode::invitationAccepted:
    case CommandCode::invitationPending:
    case CommandCode::invitationAuthRequired:
    case CommandCode::invitationUserAuthRequired:
        handleReply(c, from, now, out);
        return;
    case CommandCode::bye:
        sendCommand(from, simple(CommandCode::byeReply), out);
        if (peer) {
            const bool wasRemote = isRemote(from);
            log(now, peer->label() + " a quitté la session (" + byeText(c.reason) + ")", out);
            removePeer(it, out);
            if (wasRemote)
                beginInvitations(now, out);
        } else if (isRemote(from) && m_remote->phase != Remote::Phase::established) {
            // The host turned our invitation down.
            if (!m_remote->quiet)
                log(now, "invitation refusée par " + remoteText() + " (" + byeText(c.reason) + ")", out);
            m_remote->quiet = true;
            m_remote->phase = Remote::Phase::refused;
            m_remote->due = now + m_timing.inviteSlowPeriod;
            out.statusChanged = true;
        }
        return;
    case CommandCode::byeReply:
    case CommandCode::sessionResetReply:
        return;
    default:
        break;
    }
    if (!peer) {
        refuseStranger(from, now, out);
        return;
    }
    switch (c.code) {
    case CommandCode::umpData:
        handleData(*peer, c.sequence, c.ump, now, out);
        return;
    case CommandCode::ping: {
        Command reply = simple(CommandCode::pingReply);
        reply.value = c.value;
        sendCommand(from, reply, out);
        return;
    }
    case CommandCode::pingReply:
        if (const auto ping = peer->pings.find(c.value); ping != peer->pings.end()) {
            peer->roundTripMs = std::chrono::duration<double, std::milli>(now - ping->second).count();
            peer->pings.erase(peer->pings.begin(), std::next(ping));
            out.statusChanged = true;
        }
        return;
    case CommandCode::retransmitRequest:
        answerRetransmit(*peer, c, out);
        return;
    case CommandCode::retransmitError:
        if (peer->requesting)
            skipGap(*peer, now, out);
        return;
    case CommandCode::sessionReset:
        log(now, "réinitialisation de session demandée par " + peer->label(), out);
        resetSequences(*peer, out);
        sendCommand(from, simple(CommandCode::sessionResetReply), out);
        return;
    case CommandCode::nak:
        if (static_cast<CommandCode>(c.value >> 24) == CommandCode::retransmitRequest) {
            // It keeps no history: gaps are skipped without asking from now on.
            peer->peerRetransmits = false;
            if (peer->requesting)
                skipGap(*peer, now, out);
        }
        return;
    default: {
        Command nak = simple(CommandCode::nak, NAKReason::notSupported);
        nak.value = c.header;
        sendCommand(from, nak, out);
        return;
    }
    }
}

void NetworkMIDI2SessionCore::handleInvitation(const Command &c, NetAddress from, TimePoint now, Output &out)
{
    if (m_config.role == NetworkMIDI2Role::client) {
        Command nak = simple(CommandCode::nak, NAKReason::notExpected);
        nak.value = c.header;
        sendCommand(from, nak, out);
        return;
    }
    if (c.code != CommandCode::invitation) {
        // This host asks for no authentication, so it never sent a nonce.
        sendCommand(from, simple(CommandCode::bye, ByeReason::noMatchingAuthentication), out);
        return;
    }
    const auto it = m_peers.find(from);
    if (it == m_peers.end() && m_peers.size() >= maxPeers) {
        sendCommand(from, simple(CommandCode::bye, ByeReason::tooManyOpenSessions), out);
        if (!m_lastCapLog || now - *m_lastCapLog >= std::chrono::minutes(1)) {
            m_lastCapLog = now;
            log(now,
                "trop de participants (" + std::to_string(maxPeers) + "), invitation de " + from.text() +
                    " refusée",
                out);
        }
        return;
    }
    // A peer that invites again has lost its session: both ends start over.
    if (it != m_peers.end())
        removePeer(it, out);
    establish(from, c, false, now, out);
    sendCommand(from, identity(CommandCode::invitationAccepted), out);
}

void NetworkMIDI2SessionCore::handleReply(const Command &c, NetAddress from, TimePoint now, Output &out)
{
    if (!isRemote(from) || m_remote->phase == Remote::Phase::established ||
        m_remote->phase == Remote::Phase::resolving || m_remote->phase == Remote::Phase::unresolved)
        return;
    Remote &r = *m_remote;
    switch (c.code) {
    case CommandCode::invitationAccepted:
        r.phase = Remote::Phase::established;
        establish(from, c, true, now, out);
        return;
    case CommandCode::invitationPending:
        if (r.phase != Remote::Phase::pending)
            log(now, "invitation en attente d'acceptation par " + remoteText(), out);
        r.phase = Remote::Phase::pending;
        r.due = now + m_timing.inviteSlowPeriod;
        out.statusChanged = true;
        return;
    default:
        // No shared secret to answer the challenge with: withdraw, ask again later.
        if (r.phase != Remote::Phase::refused)
            log(now, remoteText() + " exige une authentification (non prise en charge)", out);
        sendCommand(from, simple(CommandCode::bye, ByeReason::invitationCanceled), out);
        r.phase = Remote::Phase::refused;
        r.quiet = true;
        r.due = now + m_timing.inviteSlowPeriod;
        out.statusChanged = true;
        return;
    }
}

NetworkMIDI2SessionCore::Peer &NetworkMIDI2SessionCore::establish(NetAddress address, const Command &c,
                                                                  bool invitedByUs, TimePoint now,
                                                                  Output &out)
{
    Peer &peer = m_peers[address];
    peer = Peer();
    peer.address = address;
    peer.name = RTPSessionCore::sanitizeName(c.name);
    peer.productInstanceId = RTPSessionCore::sanitizeName(c.productInstanceId);
    peer.invitedByUs = invitedByUs;
    peer.lastSeen = now;
    peer.origin = newOrigin();
    peer.translator = UMPTranslator(static_cast<std::uint8_t>(m_config.group));
    peer.pingDue = now + m_timing.pingPeriod;
    log(now, "session établie avec " + peer.label(), out);
    out.peersChanged = out.statusChanged = true;
    return peer;
}

void NetworkMIDI2SessionCore::removePeer(Peers::iterator it, Output &out)
{
    out.dropped += static_cast<std::uint64_t>(it->second.translator.reset());
    out.originsGone.push_back(it->second.origin);
    out.peersChanged = out.statusChanged = true;
    m_peers.erase(it);
}

void NetworkMIDI2SessionCore::resetSequences(Peer &peer, Output &out)
{
    peer.lastSent = peer.lastReceived = 0xFFFF;
    peer.history.clear();
    peer.pending.clear();
    peer.requesting = false;
    peer.tailDue.reset();
    out.dropped += static_cast<std::uint64_t>(peer.translator.reset());
}

void NetworkMIDI2SessionCore::handleData(Peer &peer, std::uint16_t sequence,
                                         const std::vector<std::uint32_t> &words, TimePoint now, Output &out)
{
    const int ahead = distance(static_cast<std::uint16_t>(peer.lastReceived + 1), sequence);
    if (ahead < 0)
        return; // a repeat (forward error correction or retransmission) of what we have
    if (ahead == 0) {
        deliver(peer, words, now, out);
        peer.lastReceived = sequence;
        drain(peer, now, out);
        return;
    }
    if (peer.pending.size() >= maxPending) {
        skipGap(peer, now, out);
        handleData(peer, sequence, words, now, out);
        return;
    }
    // A hole that opens beyond the commands already held is asked for at
    // once: waiting for earlier holes could let it leave the sender's history.
    int furthest = -1;
    for (const auto &[held, unused] : peer.pending)
        furthest = std::max(furthest, distance(static_cast<std::uint16_t>(peer.lastReceived + 1), held));
    peer.pending.emplace(sequence, words);
    if (ahead > furthest + 1)
        requestMissing(peer, now, out, furthest + 1, ahead - furthest - 1);
}

void NetworkMIDI2SessionCore::drain(Peer &peer, TimePoint now, Output &out)
{
    for (auto it = peer.pending.find(static_cast<std::uint16_t>(peer.lastReceived + 1));
         it != peer.pending.end();
         it = peer.pending.find(static_cast<std::uint16_t>(peer.lastReceived + 1))) {
        const auto words = std::move(it->second);
        peer.lastReceived = it->first;
        peer.pending.erase(it);
        deliver(peer, words, now, out);
    }
    if (peer.pending.empty())
        peer.requesting = false;
}

void NetworkMIDI2SessionCore::requestMissing(Peer &peer, TimePoint now, Output &out, int from, int count)
{
    if (peer.peerRetransmits) {
        Command request = simple(CommandCode::retransmitRequest);
        request.sequence = static_cast<std::uint16_t>(peer.lastReceived + 1 + from);
        request.count = static_cast<std::uint16_t>(count);
        sendCommand(peer.address, request, out);
    }
    if (!peer.requesting) {
        peer.attempts = 1;
        peer.requestDue = now + m_timing.retransmitTimeout;
    }
    peer.requesting = true;
}

void NetworkMIDI2SessionCore::requestHoles(Peer &peer, TimePoint now, Output &out)
{
    const auto expected = static_cast<std::uint16_t>(peer.lastReceived + 1);
    std::vector<int> held;
    for (const auto &[sequence, words] : peer.pending)
        held.push_back(distance(expected, sequence));
    std::sort(held.begin(), held.end());
    int next = 0, requests = 0;
    for (const int at : held) {
        if (at > next && requests++ < kMaxHoleRequests)
            requestMissing(peer, now, out, next, at - next);
        next = at + 1;
    }
}

void NetworkMIDI2SessionCore::skipGap(Peer &peer, TimePoint now, Output &out)
{
    if (peer.pending.empty()) {
        peer.requesting = false;
        return;
    }
    const auto expected = static_cast<std::uint16_t>(peer.lastReceived + 1);
    auto first = peer.pending.begin()->first;
    for (const auto &[sequence, words] : peer.pending)
        if (distance(expected, sequence) < distance(expected, first))
            first = sequence;
    const int lost = distance(expected, first);
    out.dropped += static_cast<std::uint64_t>(lost + peer.translator.reset());
    log(now, std::to_string(lost) + " commande(s) UMP perdue(s) de " + peer.label(), out);
    peer.lastReceived = static_cast<std::uint16_t>(first - 1);
    peer.requesting = false;
    drain(peer, now, out);
    if (!peer.pending.empty())
        requestHoles(peer, now, out);
}

void NetworkMIDI2SessionCore::deliver(Peer &peer, std::span<const std::uint32_t> words, TimePoint now,
                                      Output &out)
{
    for (std::size_t i = 0; i < words.size();) {
        const std::size_t n = UMPTranslator::wordCount(words[i]);
        if (i + n > words.size()) {
            ++out.dropped; // a UMP cut short by the end of its command
            return;
        }
        const auto ump = words.subspan(i, n);
        i += n;
        const auto result = peer.translator.fromUMP(ump, [&](const MIDIMessage &m) {
            out.received.push_back({peer.origin, m});
        });
        out.dropped += static_cast<std::uint64_t>(result.dropped);
        if (result.stream) {
            const auto replies = m_responder.respond(ump);
            if (!replies.empty())
                sendUMPs(peer, replies, now, true, out);
        }
    }
}

void NetworkMIDI2SessionCore::sendUMPs(Peer &peer, std::span<const UMP> umps, TimePoint now, bool armTail,
                                       Output &out)
{
    for (std::size_t i = 0; i < umps.size();) {
        const std::size_t offset = out.bytes.size();
        NetworkMIDI2::appendSignature(out.bytes);
        const std::size_t fec = std::min(m_fecDepth, peer.history.size());
        for (auto it = peer.history.end() - static_cast<long>(fec); it != peer.history.end(); ++it)
            NetworkMIDI2::appendUMPData(out.bytes, it->sequence, it->ump.view());
        do {
            const UMP &ump = umps[i++];
            const auto sequence = ++peer.lastSent;
            NetworkMIDI2::appendUMPData(out.bytes, sequence, ump.view());
            if (m_historySize > 0) {
                if (peer.history.size() >= m_historySize)
                    peer.history.pop_front();
                peer.history.push_back({sequence, ump});
            }
        } while (i < umps.size() && out.bytes.size() - offset + NetworkMIDI2::umpDataSize(umps[i].size) <=
                                        NetworkMIDI2::maxDatagramSize);
        out.datagrams.push_back({peer.address, offset, out.bytes.size() - offset});
    }
    if (armTail && m_historySize > 0) {
        out.wake = out.wake || !peer.tailDue;
        peer.tailDue = now + m_timing.tailDelay;
        peer.tailsLeft = 2;
    }
}

bool NetworkMIDI2SessionCore::send(std::span<const std::uint8_t> message, TimePoint now, Output &out)
{
    if (!m_running)
        return true;
    m_umps.clear();
    if (!UMPTranslator::toUMP(message, static_cast<std::uint8_t>(m_config.group), m_umps)) {
        ++out.dropped;
        return false;
    }
    for (auto &[address, peer] : m_peers)
        sendUMPs(peer, m_umps, now, true, out);
    return true;
}

void NetworkMIDI2SessionCore::answerRetransmit(Peer &peer, const Command &c, Output &out)
{
    if (m_config.retransmitBufferSize <= 0) {
        Command nak = simple(CommandCode::nak, NAKReason::notSupported);
        nak.value = c.header;
        sendCommand(peer.address, nak, out);
        return;
    }
    const auto first = std::find_if(peer.history.begin(), peer.history.end(),
                                    [&](const Sent &s) { return s.sequence == c.sequence; });
    if (first == peer.history.end()) {
        Command error = simple(CommandCode::retransmitError, NetworkMIDI2::retransmitDataNotAvailable);
        error.sequence = peer.history.empty() ? c.sequence : peer.history.front().sequence;
        sendCommand(peer.address, error, out);
        return;
    }
    const auto held = static_cast<std::size_t>(peer.history.end() - first);
    const std::size_t count = c.count == 0 ? held : std::min<std::size_t>(c.count, held);
    for (auto it = first; it != first + static_cast<long>(count);) {
        const std::size_t offset = out.bytes.size();
        NetworkMIDI2::appendSignature(out.bytes);
        do {
            NetworkMIDI2::appendUMPData(out.bytes, it->sequence, it->ump.view());
            ++it;
        } while (it != first + static_cast<long>(count) &&
                 out.bytes.size() - offset + NetworkMIDI2::umpDataSize(it->ump.size) <=
                     NetworkMIDI2::maxDatagramSize);
        out.datagrams.push_back({peer.address, offset, out.bytes.size() - offset});
    }
}

void NetworkMIDI2SessionCore::checkPeers(TimePoint now, Output &out)
{
    bool reinvite = false;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        Peer &peer = it->second;
        if (now - peer.lastSeen > m_timing.peerTimeout) {
            log(now, "pair " + peer.label() + " hors-ligne (timeout)", out);
            sendCommand(peer.address, simple(CommandCode::bye, ByeReason::timeout), out);
            reinvite = reinvite || isRemote(it->first);
            const auto next = std::next(it);
            removePeer(it, out);
            it = next;
            continue;
        }
        if (now >= peer.pingDue) {
            peer.pingDue = now + m_timing.pingPeriod;
            Command ping = simple(CommandCode::ping);
            ping.value = ++peer.nextPing;
            peer.pings[ping.value] = now;
            if (peer.pings.size() > kMaxPings)
                peer.pings.erase(peer.pings.begin());
            sendCommand(peer.address, ping, out);
        }
        if (peer.requesting && now >= peer.requestDue) {
            if (peer.peerRetransmits && peer.attempts < m_timing.retransmitAttempts) {
                ++peer.attempts;
                peer.requestDue = now + m_timing.retransmitTimeout;
                requestHoles(peer, now, out);
            } else {
                skipGap(peer, now, out);
            }
        }
        if (peer.tailDue && now >= *peer.tailDue) {
            peer.tailDue.reset();
            if (--peer.tailsLeft > 0)
                peer.tailDue = now + 4 * m_timing.tailDelay;
            sendUMPs(peer, std::span(&kNoop, 1), now, false, out);
        }
        ++it;
    }
    if (reinvite)
        beginInvitations(now, out);
}

void NetworkMIDI2SessionCore::timers(TimePoint now, Output &out)
{
    if (!m_running)
        return;
    flushSkippedLogs(now, out);
    checkPeers(now, out);
    runInvitations(now, out);
}

std::optional<NetworkMIDI2SessionCore::TimePoint> NetworkMIDI2SessionCore::nextDeadline() const
{
    if (!m_running)
        return std::nullopt;
    std::optional<TimePoint> next;
    const auto consider = [&](TimePoint t) {
        if (!next || t < *next)
            next = t;
    };
    for (const auto &[address, peer] : m_peers) {
        consider(peer.pingDue);
        consider(peer.lastSeen + m_timing.peerTimeout + std::chrono::milliseconds(1));
        if (peer.requesting)
            consider(peer.requestDue);
        if (peer.tailDue)
            consider(*peer.tailDue);
    }
    if (m_remote && m_remote->phase != Remote::Phase::resolving &&
        m_remote->phase != Remote::Phase::established)
        consider(m_remote->due);
    if (m_logsSkipped > 0)
        consider(m_logWindowEnd);
    return next;
}

void NetworkMIDI2SessionCore::stop(TimePoint now, Output &out)
{
    if (!m_running)
        return;
    m_running = false;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        // The repeats of the last commands (a panic, say) go before the Bye.
        if (it->second.tailDue)
            sendUMPs(it->second, std::span(&kNoop, 1), now, false, out);
        sendCommand(it->first, simple(CommandCode::bye, ByeReason::userTerminated), out);
        const auto next = std::next(it);
        removePeer(it, out);
        it = next;
    }
    if (m_remote && m_remote->phase != Remote::Phase::resolving &&
        m_remote->phase != Remote::Phase::unresolved && m_remote->phase != Remote::Phase::established)
        sendCommand(m_remote->address, simple(CommandCode::bye, ByeReason::invitationCanceled), out);
    m_remote.reset();
    // The last lines are never held back by the rate limit.
    if (m_logsSkipped > 0)
        out.logs.push_back(m_prefix + std::to_string(m_logsSkipped) + " ligne(s) de journal omise(s)");
    m_logsSkipped = 0;
    out.logs.push_back(m_prefix + "arrêté");
    out.statusChanged = true;
}

NetworkMIDI2State NetworkMIDI2SessionCore::state() const
{
    if (!m_running)
        return NetworkMIDI2State::stopped;
    if (!m_remote)
        return NetworkMIDI2State::listening;
    switch (m_remote->phase) {
    case Remote::Phase::unresolved:
        return NetworkMIDI2State::hostNotFound;
    case Remote::Phase::refused:
        return NetworkMIDI2State::refused;
    case Remote::Phase::established:
        return NetworkMIDI2State::connected;
    default:
        return NetworkMIDI2State::inviting;
    }
}

std::vector<NetworkMIDI2PeerStatus> NetworkMIDI2SessionCore::peerStatuses() const
{
    std::vector<NetworkMIDI2PeerStatus> out;
    for (const auto &[address, peer] : m_peers)
        out.push_back({peer.label(), address.text(), peer.roundTripMs});
    return out;
}

std::vector<std::string> NetworkMIDI2SessionCore::peerLabels() const
{
    std::vector<std::string> out;
    for (const auto &[address, peer] : m_peers)
        out.push_back(peer.label());
    return out;
}

} // namespace korvane
