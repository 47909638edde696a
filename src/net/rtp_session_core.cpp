#include "net/rtp_session_core.h"

#include <algorithm>
#include <atomic>
#include <cctype>

namespace korvane {

namespace {

using AppleMIDI::Command;

// 100-microsecond ticks of the clock the driver passes as "now".
std::uint64_t ticks(RTPSessionCore::TimePoint now)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    return static_cast<std::uint64_t>(ns) / 100000u;
}

// Shared by every session of the process, so an origin names one period of
// one peer whatever session it came through.
std::atomic<std::uint64_t> g_lastOrigin{0};

// Length of the UTF-8 sequence led by b (the text is valid UTF-8).
std::size_t sequenceLength(unsigned char b)
{
    return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

} // namespace

std::string NetAddress::ipString() const
{
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
           std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

std::string NetAddress::text() const
{
    return ipString() + ":" + std::to_string(port);
}

std::string_view toString(RTPSessionState state)
{
    switch (state) {
    case RTPSessionState::starting:
        return "starting";
    case RTPSessionState::listening:
        return "listening";
    case RTPSessionState::portBusy:
        return "portBusy";
    case RTPSessionState::addressUnavailable:
        return "addressUnavailable";
    case RTPSessionState::invalidPort:
        return "invalidPort";
    case RTPSessionState::hostNotFound:
        return "hostNotFound";
    case RTPSessionState::stopped:
        return "stopped";
    }
    return "?";
}

void RTPSessionCore::Output::clear()
{
    datagrams.clear();
    logs.clear();
    peersChanged = statusChanged = resolve = acknowledged = false;
    originsGone.clear();
}

bool RTPSessionCore::Output::empty() const
{
    return datagrams.empty() && logs.empty() && originsGone.empty() && !peersChanged && !statusChanged &&
           !resolve && !acknowledged;
}

RTPSessionCore::RTPSessionCore(RTPSessionConfig config, std::string localName, std::uint32_t ssrc,
                               std::uint32_t initiatorToken, RTPSessionTiming timing, MessageSink onReceive)
    : m_config(std::move(config)), m_localName(std::move(localName)), m_ssrc(ssrc),
      m_initiatorToken(initiatorToken), m_timing(timing), m_onReceive(std::move(onReceive)),
      m_prefix("RTP " + m_config.name + ": "),
      m_deliver([this](const MIDIMessage &message) { deliver(message); }),
      m_segmentSink([this](const AppleMIDI::SysexSegment &segment) { onSegment(segment); }),
      m_remoteIsName(!parseIPv4(m_config.remoteHost))
{
    for (const auto &entry : m_config.allowedHosts) {
        if (const auto subnet = parseSubnet(entry))
            m_allowed.push_back(*subnet);
    }
}

std::optional<std::uint32_t> RTPSessionCore::parseIPv4(const std::string &text)
{
    std::uint32_t ip = 0;
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= text.size() || text[i++] != '.'))
            return std::nullopt;
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        ip = (ip << 8) | value;
    }
    if (i != text.size())
        return std::nullopt;
    return ip;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> RTPSessionCore::parseSubnet(const std::string &text)
{
    const auto slash = text.find('/');
    const auto ip = parseIPv4(text.substr(0, slash));
    if (!ip)
        return std::nullopt;
    int bits = 32;
    if (slash != std::string::npos) {
        const std::string count = text.substr(slash + 1);
        if (count.empty() || count.size() > 2 || !std::all_of(count.begin(), count.end(), ::isdigit))
            return std::nullopt;
        bits = std::stoi(count);
        if (bits > 32)
            return std::nullopt;
    }
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    return std::pair{*ip & mask, mask};
}

bool RTPSessionCore::allowed(std::uint32_t ip) const
{
    if (!m_config.onlyAllowedHosts)
        return true;
    return std::any_of(m_allowed.begin(), m_allowed.end(),
                       [&](const auto &subnet) { return (ip & subnet.second) == subnet.first; });
}

// Lines that say what state the session is in are never held back by the rate limit.
void RTPSessionCore::logState(const std::string &text, Output &out)
{
    out.logs.push_back(m_prefix + text);
}

std::string RTPSessionCore::sanitizeName(const std::string &name)
{
    std::string out;
    std::size_t points = 0;
    for (std::size_t i = 0; i < name.size() && points < maxNameLength; ++points) {
        const auto b = static_cast<unsigned char>(name[i]);
        const std::size_t n = std::min(sequenceLength(b), name.size() - i);
        // C0 controls, DEL and the C1 controls (U+0080..U+009F, lead byte C2).
        const bool control =
            b < 0x20 || b == 0x7F || (b == 0xC2 && n == 2 && static_cast<unsigned char>(name[i + 1]) < 0xA0);
        if (control)
            out += "\xEF\xBF\xBD";
        else
            out.append(name, i, n);
        i += n;
    }
    return out;
}

void RTPSessionCore::log(TimePoint now, const std::string &text, Output &out)
{
    flushSkippedLogs(now, out);
    if (m_logsInWindow >= maxLogLinesPerSecond) {
        ++m_logsSkipped;
        return;
    }
    ++m_logsInWindow;
    out.logs.push_back(m_prefix + text);
}

void RTPSessionCore::flushSkippedLogs(TimePoint now, Output &out)
{
    if (now < m_logWindowEnd)
        return;
    if (m_logsSkipped > 0)
        out.logs.push_back(m_prefix + std::to_string(m_logsSkipped) + " ligne(s) de journal omise(s)");
    m_logsSkipped = 0;
    m_logsInWindow = 0;
    m_logWindowEnd = now + std::chrono::seconds(1);
}

AppleMIDI::Bytes RTPSessionCore::ownExchange(Command command, std::uint32_t token) const
{
    return AppleMIDI::encodeExchange({command, token, m_ssrc, m_localName});
}

void RTPSessionCore::send(Output &out, RTPSocket socket, NetAddress to, AppleMIDI::Bytes bytes) const
{
    out.datagrams.push_back({socket, to, std::move(bytes)});
}

std::string RTPSessionCore::remoteText() const
{
    return m_config.remoteHost + ":" + std::to_string(m_config.remotePort);
}

void RTPSessionCore::started(TimePoint now, Output &out)
{
    m_running = true;
    log(now,
        "écoute sur " + std::to_string(m_config.localPort) + "/" + std::to_string(m_config.localPort + 1) +
            " (SSRC " + std::to_string(m_ssrc) + ")",
        out);
    m_livenessDue = now + m_timing.livenessPeriod;
    if (m_config.role == RTPRole::initiator && !m_config.remoteHost.empty()) {
        m_remote = Remote();
        out.resolve = true;
    }
}

void RTPSessionCore::remoteResolved(std::optional<std::uint32_t> ip, TimePoint now, Output &out)
{
    if (!m_running || !m_remote || m_remote->phase != Remote::Phase::resolving)
        return;
    if (!ip) {
        // Logged once; a host that appears later (DNS, a late boot) is found
        // by the next attempt.
        if (!m_remote->slowLogged)
            log(now, "hôte distant invalide (" + m_config.remoteHost + ")", out);
        m_remote->slowLogged = true;
        m_remote->phase = Remote::Phase::unresolved;
        m_remote->due = now + m_timing.inviteSlowPeriod;
        out.statusChanged = true;
        return;
    }
    const bool wasUnresolved = m_remote->slowLogged && !m_remote->lookUpForSlowTry;
    m_remote->control = {*ip, static_cast<std::uint16_t>(m_config.remotePort)};
    m_remote->data = {*ip, static_cast<std::uint16_t>(m_config.remotePort + 1)};
    if (wasUnresolved)
        out.statusChanged = true;
    if (m_remote->lookUpForSlowTry) {
        m_remote->lookUpForSlowTry = false;
        m_remote->phase = Remote::Phase::control;
        sendInvitation(now, out);
        return;
    }
    beginInvitations(now, out, false);
}

void RTPSessionCore::beginInvitations(TimePoint now, Output &out, bool lookUp)
{
    if (lookUp && m_remoteIsName) {
        // A host that came back with a new address (DHCP) is found again.
        m_remote->phase = Remote::Phase::resolving;
        m_remote->lookUpForSlowTry = false;
        out.resolve = true;
        return;
    }
    m_remote->phase = Remote::Phase::control;
    m_remote->tries = 0;
    m_remote->slowLogged = false;
    log(now, "invitation envoyée à " + remoteText(), out);
    sendInvitation(now, out);
}

// One try of the current phase, then the next one is scheduled: fast for the
// first tries of a phase, slow after that.
void RTPSessionCore::sendInvitation(TimePoint now, Output &out)
{
    Remote &r = *m_remote;
    if (r.phase == Remote::Phase::control)
        send(out, RTPSocket::control, r.control, ownExchange(Command::invitation, m_initiatorToken));
    else
        send(out, RTPSocket::data, r.data, ownExchange(Command::invitation, m_initiatorToken));
    ++r.tries;
    r.due =
        now + (r.tries < m_timing.inviteFastTries ? m_timing.inviteFastPeriod : m_timing.inviteSlowPeriod);
}

void RTPSessionCore::runInvitations(TimePoint now, Output &out)
{
    if (!m_remote || now < m_remote->due)
        return;
    Remote &r = *m_remote;
    switch (r.phase) {
    case Remote::Phase::unresolved:
        r.phase = Remote::Phase::resolving;
        out.resolve = true;
        return;
    case Remote::Phase::control:
    case Remote::Phase::data:
        // A remote that answered on control but never on data may have lost
        // track of us: the slow tries start the handshake over.
        if (r.phase == Remote::Phase::data && r.tries >= m_timing.inviteFastTries)
            r.phase = Remote::Phase::control;
        if (r.tries >= m_timing.inviteFastTries && !r.slowLogged) {
            r.slowLogged = true;
            log(now,
                "pas de réponse de " + remoteText() + ", nouvel essai toutes les " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(m_timing.inviteSlowPeriod).count()) +
                    " s",
                out);
        }
        if (r.tries >= m_timing.inviteFastTries && m_remoteIsName) {
            r.phase = Remote::Phase::resolving;
            r.lookUpForSlowTry = true;
            out.resolve = true;
            return;
        }
        sendInvitation(now, out);
        return;
    case Remote::Phase::resolving:
    case Remote::Phase::established:
        return;
    }
}

RTPSessionCore::Peers::iterator RTPSessionCore::findByData(NetAddress from)
{
    return std::find_if(m_peers.begin(), m_peers.end(),
                        [&](const auto &entry) { return entry.second.data == from; });
}

RTPSessionCore::Peers::iterator RTPSessionCore::findBy(NetAddress from, RTPSocket socket)
{
    return socket == RTPSocket::control ? m_peers.find(from) : findByData(from);
}

void RTPSessionCore::datagram(AppleMIDI::ByteView bytes, NetAddress from, RTPSocket socket, TimePoint now,
                              Output &out)
{
    if (!m_running)
        return;
    if (!AppleMIDI::isSessionCommand(bytes)) {
        if (socket != RTPSocket::data || !m_onReceive)
            return;
        // Only established peers may put MIDI into the show.
        const auto it = findByData(from);
        if (it != m_peers.end() && it->second.stage == Stage::established)
            handleData(bytes, it->second, now, out);
        else if (it == m_peers.end() && AppleMIDI::packetParts(bytes))
            byeToStranger(from, socket, now, out);
        return;
    }
    if (socket == RTPSocket::data) {
        if (const auto sync = AppleMIDI::decodeClock(bytes)) {
            handleClock(*sync, from, now, out);
            return;
        }
    }
    if (const auto feedback = AppleMIDI::decodeFeedback(bytes); feedback && bytes.size() < 16) {
        const auto it = findBy(from, socket);
        if (it != m_peers.end() && it->second.stage == Stage::established) {
            it->second.lastSeen = now;
            it->second.acknowledged = feedback->sequence;
            out.acknowledged = true;
        }
        return;
    }
    if (const auto exchange = AppleMIDI::decodeExchange(bytes))
        handleExchange(*exchange, from, socket, now, out);
}

// Clock or MIDI from an address that is no peer: a side that still believes
// in a session with us (we restarted). A BY from the socket it wrote to makes
// it invite again at once; at most one per address and period.
void RTPSessionCore::byeToStranger(NetAddress from, RTPSocket socket, TimePoint now, Output &out)
{
    if (m_lastStrangerBye.size() > 4 * maxPeers) // forget the senders of an earlier period
        std::erase_if(m_lastStrangerBye,
                      [&](const auto &e) { return now - e.second >= m_timing.strangerByePeriod; });
    // A flood of senders within one period gets no more answers than that.
    if (m_lastStrangerBye.size() >= maxStrangersPerPeriod && !m_lastStrangerBye.count(from))
        return;
    auto &last = m_lastStrangerBye[from];
    if (last != TimePoint{} && now - last < m_timing.strangerByePeriod)
        return;
    last = now;
    send(out, socket, from, ownExchange(Command::bye, m_initiatorToken));
}

void RTPSessionCore::handleExchange(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket,
                                    TimePoint now, Output &out)
{
    auto it = findBy(from, socket);
    if (it != m_peers.end())
        it->second.lastSeen = now;

    switch (exchange.command) {
    case Command::invitation:
        handleInvitation(exchange, from, socket, now, out);
        return;
    case Command::invitationOK:
        handleOK(exchange, from, socket, now, out);
        return;
    case Command::invitationReject:
        if (m_remote &&
            (m_remote->phase == Remote::Phase::control || m_remote->phase == Remote::Phase::data) &&
            (from == m_remote->control || from == m_remote->data)) {
            // Refused: ask again now and then, from the start of the handshake.
            if (!m_remote->slowLogged)
                log(now, "invitation refusée par " + remoteText(), out);
            m_remote->phase = Remote::Phase::control;
            m_remote->slowLogged = true;
            m_remote->tries = m_timing.inviteFastTries;
            m_remote->due = now + m_timing.inviteSlowPeriod;
        }
        return;
    case Command::bye:
        if (it != m_peers.end()) {
            const bool wasRemote = isRemoteKey(it->first);
            if (it->second.stage == Stage::established) {
                const Peer &peer = it->second;
                log(now,
                    (peer.name.empty() ? "" : peer.name + " ") + "(" + peer.control.text() +
                        ") a quitté la session",
                    out);
            }
            removePeer(it, now, out);
            if (wasRemote)
                beginInvitations(now, out);
        } else if (m_remote &&
                   (m_remote->phase == Remote::Phase::control || m_remote->phase == Remote::Phase::data) &&
                   (from == m_remote->control || from == m_remote->data) &&
                   m_remote->tries >= m_timing.inviteFastTries) {
            // The remote says it has no session with us while we wait at the
            // slow pace: ask again now.
            beginInvitations(now, out);
        }
        return;
    case Command::clockSync:
    case Command::receiverFeedback:
        return; // the lastSeen refresh above is all
    }
}

void RTPSessionCore::handleInvitation(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket,
                                      TimePoint now, Output &out)
{
    const std::string name = sanitizeName(exchange.name);
    if (socket == RTPSocket::control) {
        // A control port of 65535 leaves no data port.
        if (from.port == 65535)
            return;
        auto it = m_peers.find(from);
        if (it == m_peers.end()) {
            if (!allowed(from.ip) && !isRemoteKey(from)) {
                send(out, RTPSocket::control, from,
                     ownExchange(Command::invitationReject, exchange.initiatorToken));
                auto &last = m_lastRefusalLog[from.ip];
                if (last == TimePoint{} || now - last >= std::chrono::minutes(1)) {
                    last = now;
                    logState("invitation de " + from.text() + " refusée (hôte non autorisé)", out);
                }
                if (m_lastRefusalLog.size() > 256)
                    std::erase_if(m_lastRefusalLog,
                                  [&](const auto &e) { return now - e.second >= std::chrono::minutes(1); });
                return;
            }
            if (m_peers.size() >= maxPeers) {
                send(out, RTPSocket::control, from,
                     ownExchange(Command::invitationReject, exchange.initiatorToken));
                if (!m_lastCapLog || now - *m_lastCapLog >= std::chrono::minutes(1)) {
                    m_lastCapLog = now;
                    logState("trop de participants (" + std::to_string(maxPeers) + "), invitation de " +
                                 from.text() + " refusée",
                             out);
                }
                return;
            }
            Peer peer;
            peer.control = from;
            peer.data = {from.ip, static_cast<std::uint16_t>(from.port + 1)};
            peer.lastSeen = now;
            it = m_peers.emplace(from, std::move(peer)).first;
        }
        Peer &peer = it->second;
        if (peer.stage == Stage::established && peer.name != name)
            out.peersChanged = true;
        // An established peer's SSRC changes with its IN on data, which then
        // starts a new period.
        if (peer.stage != Stage::established)
            peer.ssrc = exchange.ssrc;
        peer.name = name;
        send(out, RTPSocket::control, from, ownExchange(Command::invitationOK, exchange.initiatorToken));
        return;
    }

    // On the data port: only a peer that went through the control handshake.
    const auto it = findByData(from);
    if (it == m_peers.end()) {
        send(out, RTPSocket::data, from, ownExchange(Command::invitationReject, exchange.initiatorToken));
        return;
    }
    Peer &peer = it->second;
    const bool repeated = peer.stage == Stage::established && peer.name == name && peer.ssrc == exchange.ssrc;
    peer.name = name;
    send(out, RTPSocket::data, from, ownExchange(Command::invitationOK, exchange.initiatorToken));
    if (!repeated)
        establish(peer, exchange.ssrc, now, out);
}

void RTPSessionCore::handleOK(const AppleMIDI::Exchange &exchange, NetAddress from, RTPSocket socket,
                              TimePoint now, Output &out)
{
    // Only our own remote answers our invitations.
    if (!m_remote)
        return;
    Remote &r = *m_remote;
    if (socket == RTPSocket::control && from == r.control && r.phase == Remote::Phase::control) {
        auto it = m_peers.find(from);
        if (it == m_peers.end()) {
            Peer peer;
            peer.control = r.control;
            peer.data = r.data;
            it = m_peers.emplace(from, std::move(peer)).first;
        }
        Peer &peer = it->second;
        peer.invitedByUs = true;
        peer.stage = Stage::invitedData;
        peer.ssrc = exchange.ssrc;
        peer.name = sanitizeName(exchange.name);
        peer.lastSeen = now;
        r.phase = Remote::Phase::data;
        r.tries = 0;
        r.slowLogged = false;
        sendInvitation(now, out);
        return;
    }
    if (socket == RTPSocket::data && from == r.data && r.phase == Remote::Phase::data) {
        const auto it = m_peers.find(r.control);
        if (it == m_peers.end())
            return;
        it->second.name = sanitizeName(exchange.name);
        establish(it->second, exchange.ssrc, now, out);
    }
}

void RTPSessionCore::establish(Peer &peer, std::uint32_t ssrc, TimePoint now, Output &out)
{
    const bool samePeriod = peer.stage == Stage::established && peer.ssrc == ssrc;
    if (!samePeriod) {
        if (peer.stage == Stage::established)
            out.originsGone.push_back(peer.origin);
        peer.origin = ++g_lastOrigin;
        peer.acknowledged.reset();
        peer.highestSequence.reset();
        peer.journal.clear();
    }
    peer.ssrc = ssrc;
    peer.stage = Stage::established;
    peer.lastSeen = now;
    if (isRemoteKey(peer.control)) {
        peer.invitedByUs = true;
        m_remote->phase = Remote::Phase::established;
        // Clock synchronisation towards our remote, whichever side completed
        // the handshake (invitations may cross): one CK now, then every
        // clockPeriod to every established peer.
        send(out, RTPSocket::data, peer.data, AppleMIDI::encodeClock({m_ssrc, 0, ticks(now), 0, 0}));
        m_clockDue = now + m_timing.clockPeriod;
    }
    log(now, "session établie avec " + peer.label(), out);
    out.peersChanged = true;
}

void RTPSessionCore::removePeer(Peers::iterator it, TimePoint, Output &out)
{
    if (it->second.sysex.isOpen())
        --m_openSysex;
    if (it->second.stage == Stage::established) {
        out.peersChanged = true;
        out.originsGone.push_back(it->second.origin);
    }
    if (&it->second == m_segmentPeer)
        m_segmentPeer = nullptr;
    m_peers.erase(it);
}

void RTPSessionCore::handleClock(const AppleMIDI::ClockSync &sync, NetAddress from, TimePoint now,
                                 Output &out)
{
    // Answering strangers would make them believe a session is alive while
    // their MIDI is dropped; a BY tells them to invite again.
    const auto it = findByData(from);
    if (it == m_peers.end()) {
        byeToStranger(from, RTPSocket::data, now, out);
        return;
    }
    if (it->second.stage != Stage::established)
        return;
    Peer &peer = it->second;
    peer.lastSeen = now;
    const std::uint64_t t = ticks(now);
    AppleMIDI::ClockSync answer{m_ssrc, 0, sync.ts1, 0, 0};
    switch (sync.count) {
    case 0:
        answer.count = 1;
        answer.ts2 = t;
        break;
    case 1:
        // ts1 is our own stamp: the round trip is measured on our clock.
        peer.roundTripTicks = t >= sync.ts1 ? t - sync.ts1 : 0;
        out.statusChanged = true;
        answer.count = 2;
        answer.ts2 = sync.ts2;
        answer.ts3 = t;
        break;
    case 2:
        peer.roundTripTicks = t >= sync.ts2 ? t - sync.ts2 : 0;
        out.statusChanged = true;
        return;
    default:
        return;
    }
    send(out, RTPSocket::data, from, AppleMIDI::encodeClock(answer));
}

// RFC 6295 section 4: the first packet of a period and every packet after a
// gap end a loss, and their journal repairs what was missed; packets not after
// the highest seen are dropped, since delivering them after a repair could
// leave a note on.
void RTPSessionCore::handleData(AppleMIDI::ByteView bytes, Peer &peer, TimePoint now, Output &out)
{
    const auto parts = AppleMIDI::packetParts(bytes);
    if (!parts)
        return;
    peer.lastSeen = now;
    const std::uint16_t sequence = parts->sequence;
    const bool first = !peer.highestSequence;
    if (!first && static_cast<std::int16_t>(sequence - *peer.highestSequence) <= 0) {
        ++m_latePackets;
        out.statusChanged = true;
        return;
    }
    const bool loss = first || sequence != static_cast<std::uint16_t>(*peer.highestSequence + 1);
    // A gap between two segments of one message: part of it is lost, so none
    // of it is delivered.
    if (loss && peer.sysex.isOpen()) {
        peer.sysex.reset();
        --m_openSysex;
    }
    peer.highestSequence = sequence;
    if (!peer.feedbackPending) {
        peer.feedbackPending = true;
        if (now >= peer.feedbackDue)
            sendFeedback(peer, now, out);
    }
    m_segmentPeer = &peer;
    if (m_config.recoveryJournal && parts->journal && RecoveryJournal::decode(*parts->journal, m_journal)) {
        if (loss)
            peer.journal.repair(m_journal, first, m_deliver);
        else
            peer.journal.align(m_journal);
    }
    AppleMIDI::decodeRTP(bytes, m_deliver, m_segmentSink);
    m_segmentPeer = nullptr;
}

void RTPSessionCore::deliver(const MIDIMessage &message)
{
    if (!m_segmentPeer)
        return;
    m_segmentPeer->journal.observe(message);
    m_onReceive(message, m_segmentPeer->origin);
}

void RTPSessionCore::onSegment(const AppleMIDI::SysexSegment &segment)
{
    Peer *peer = m_segmentPeer;
    if (!peer)
        return;
    const bool wasOpen = peer->sysex.isOpen();
    if (segment.kind == AppleMIDI::SysexSegment::Kind::first && !wasOpen && m_openSysex >= maxOpenSysex)
        return; // bounds memory: at most this many messages rebuilt at once
    const MIDIMessage *whole = peer->sysex.add(segment);
    const bool isOpen = peer->sysex.isOpen();
    if (isOpen && !wasOpen)
        ++m_openSysex;
    else if (!isOpen && wasOpen)
        --m_openSysex;
    if (whole)
        deliver(*whole);
}

void RTPSessionCore::sendFeedback(Peer &peer, TimePoint now, Output &out)
{
    send(out, RTPSocket::control, peer.control,
         AppleMIDI::encodeFeedback({m_ssrc, peer.highestSequence.value_or(0)}));
    peer.feedbackPending = false;
    peer.feedbackDue = now + m_timing.feedbackPeriod;
}

void RTPSessionCore::checkLiveness(TimePoint now, Output &out)
{
    bool reinvite = false;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        const Peer &peer = it->second;
        // While our invitation is under way the invitation schedule owns the entry.
        if (isRemoteKey(it->first) && peer.stage != Stage::established) {
            ++it;
            continue;
        }
        const auto limit = peer.stage == Stage::established && !peer.invitedByUs ? m_timing.syncedPeerTimeout
                                                                                 : m_timing.peerTimeout;
        if (now - peer.lastSeen <= limit) {
            ++it;
            continue;
        }
        log(now, "pair " + peer.label() + " hors-ligne (timeout)", out);
        // So the other side knows, should it still be listening.
        send(out, RTPSocket::control, peer.control, ownExchange(Command::bye, m_initiatorToken));
        reinvite = reinvite || isRemoteKey(it->first);
        const auto next = std::next(it);
        removePeer(it, now, out);
        it = next;
    }
    if (reinvite)
        beginInvitations(now, out);
}

void RTPSessionCore::timers(TimePoint now, Output &out)
{
    if (!m_running)
        return;
    flushSkippedLogs(now, out);
    if (m_clockDue && now >= *m_clockDue) {
        m_clockDue = now + m_timing.clockPeriod;
        for (const auto &[key, peer] : m_peers) {
            if (peer.stage == Stage::established)
                send(out, RTPSocket::data, peer.data, AppleMIDI::encodeClock({m_ssrc, 0, ticks(now), 0, 0}));
        }
    }
    if (m_livenessDue && now >= *m_livenessDue) {
        m_livenessDue = now + m_timing.livenessPeriod;
        checkLiveness(now, out);
    }
    for (auto &[key, peer] : m_peers) {
        if (peer.feedbackPending && now >= peer.feedbackDue)
            sendFeedback(peer, now, out);
    }
    runInvitations(now, out);
}

std::optional<RTPSessionCore::TimePoint> RTPSessionCore::nextDeadline() const
{
    if (!m_running)
        return std::nullopt;
    std::optional<TimePoint> next;
    const auto consider = [&](std::optional<TimePoint> t) {
        if (t && (!next || *t < *next))
            next = t;
    };
    consider(m_clockDue);
    consider(m_livenessDue);
    if (m_remote && m_remote->phase != Remote::Phase::resolving &&
        m_remote->phase != Remote::Phase::established)
        consider(m_remote->due);
    for (const auto &[key, peer] : m_peers) {
        if (peer.feedbackPending)
            consider(peer.feedbackDue);
    }
    if (m_logsSkipped > 0)
        consider(m_logWindowEnd);
    return next;
}

void RTPSessionCore::stop(TimePoint now, Output &out)
{
    if (!m_running)
        return;
    m_running = false;
    const auto bye = ownExchange(Command::bye, m_initiatorToken);
    for (const auto &[key, peer] : m_peers) {
        send(out, RTPSocket::control, peer.control, bye);
        if (peer.stage == Stage::established)
            out.originsGone.push_back(peer.origin);
    }
    out.peersChanged = out.peersChanged || std::any_of(m_peers.begin(), m_peers.end(), [](const auto &entry) {
                           return entry.second.stage == Stage::established;
                       });
    m_peers.clear();
    m_openSysex = 0;
    m_remote.reset();
    m_clockDue.reset();
    m_livenessDue.reset();
    // The last lines are never held back by the rate limit.
    if (m_logsSkipped > 0)
        out.logs.push_back(m_prefix + std::to_string(m_logsSkipped) + " ligne(s) de journal omise(s)");
    m_logsSkipped = 0;
    (void)now;
    out.logs.push_back(m_prefix + "arrêté");
}

bool RTPSessionCore::acknowledgedByAll(std::uint16_t sequence) const
{
    return std::all_of(m_peers.begin(), m_peers.end(), [&](const auto &entry) {
        const Peer &peer = entry.second;
        return peer.stage != Stage::established ||
               (peer.acknowledged && static_cast<std::int16_t>(*peer.acknowledged - sequence) >= 0);
    });
}

std::optional<std::uint16_t> RTPSessionCore::oldestAcknowledged(std::uint16_t lastSent) const
{
    std::optional<std::uint16_t> oldest;
    std::uint16_t farthest = 0;
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage != Stage::established)
            continue;
        if (!peer.acknowledged)
            return std::nullopt;
        const auto back = static_cast<std::uint16_t>(lastSent - *peer.acknowledged);
        if (!oldest || back > farthest) {
            farthest = back;
            oldest = *peer.acknowledged;
        }
    }
    return oldest;
}

std::vector<NetAddress> RTPSessionCore::establishedDataAddresses() const
{
    std::vector<NetAddress> out;
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage == Stage::established)
            out.push_back(peer.data);
    }
    return out;
}

std::vector<std::string> RTPSessionCore::peerLabels() const
{
    std::vector<std::string> out;
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage == Stage::established)
            out.push_back(peer.label());
    }
    return out;
}

std::vector<RTPPeerStatus> RTPSessionCore::peerStatuses() const
{
    std::vector<RTPPeerStatus> out;
    for (const auto &[key, peer] : m_peers) {
        if (peer.stage != Stage::established)
            continue;
        RTPPeerStatus status{peer.label(), key.text(), peer.invitedByUs, std::nullopt};
        if (peer.roundTripTicks)
            status.roundTripMs = static_cast<double>(*peer.roundTripTicks) / 10.0;
        out.push_back(std::move(status));
    }
    return out;
}

} // namespace korvane
