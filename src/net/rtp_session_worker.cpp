#include "net/rtp_session_worker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace korvane {

namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65534; // leaves room for the data port, port + 1
// Room for bursts of large system-exclusive data on the data socket.
constexpr int kReceiveBufferBytes = 2 << 20;
// Segments of queued sysex sent per pass before the loop looks at its
// sockets and timers again; then it pauses a millisecond.
constexpr int kSegmentsPerPass = 8;
// A panic before the BY is sent again unless every peer confirms it in time.
constexpr std::chrono::milliseconds kPanicConfirmTime{300};
constexpr std::chrono::milliseconds kPanicGiveUp{1000}; // for the queue ahead of it

bool validPort(int port)
{
    return port >= kMinPort && port <= kMaxPort;
}

sockaddr_in toSockaddr(NetAddress address)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(address.port);
    addr.sin_addr.s_addr = htonl(address.ip);
    return addr;
}

std::optional<std::chrono::steady_clock::time_point>
earliest(std::optional<std::chrono::steady_clock::time_point> a,
         std::optional<std::chrono::steady_clock::time_point> b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

} // namespace

// The session thread's event loop: construction, posted work, the epoll
// wait and the deadlines (the core's timers and the send pacing).

RTPSessionWorker::RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName,
                                   std::uint32_t ssrc, std::uint32_t initiatorToken, RTPSessionTiming timing,
                                   RTPResolver resolver, RTPSendPath &sendPath, RTPReportBox &reports,
                                   Callbacks callbacks)
    : m_config(config), m_core(config, localName, ssrc, initiatorToken, timing, callbacks.onReceive),
      m_resolver(std::move(resolver)), m_callbacks(std::move(callbacks)), m_sendPath(sendPath),
      m_reports(reports), m_openRetryPeriod(timing.openRetryPeriod),
      m_mailbox(std::make_shared<ResolveMailbox>())
{
    m_mailbox->worker = this;
    m_wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_posted.setWakeFD(m_wakeFD);
    m_epollFD = ::epoll_create1(EPOLL_CLOEXEC);
    m_sendPath.wakeFD = m_wakeFD;
    watch(m_wakeFD, EPOLLIN);
}

void RTPSessionWorker::watch(int fd, std::uint32_t events, bool modify) const
{
    if (fd < 0 || m_epollFD < 0)
        return;
    epoll_event event{};
    event.events = events; // level-triggered
    event.data.fd = fd;
    ::epoll_ctl(m_epollFD, modify ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
}

RTPSessionWorker::~RTPSessionWorker()
{
    {
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->worker = nullptr;
    }
    closeAll();
    {
        std::lock_guard lock(m_sendPath.mutex);
        m_sendPath.wakeFD = -1;
    }
    if (m_wakeFD >= 0)
        ::close(m_wakeFD);
    if (m_epollFD >= 0)
        ::close(m_epollFD);
}

void RTPSessionWorker::post(Task task)
{
    m_posted.post(std::move(task));
}

void RTPSessionWorker::requestStop()
{
    post([this] { stopNow(); });
}

void RTPSessionWorker::joined()
{
    m_posted.sync();
}

void RTPSessionWorker::stopNow()
{
    stopProcedure();
    m_quit = true;
}

int RTPSessionWorker::pollTimeoutMs(std::optional<Clock::time_point> next, Clock::time_point now) const
{
    if (m_pumpDue && (!next || *m_pumpDue < *next))
        next = m_pumpDue;
    if (!next)
        return 1000; // the dropped-packet counter is looked at now and then
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 1000));
}

// One datagram per call: the epoll set is level-triggered, so the loop comes
// back while more are pending, without a final failing receive per wake-up.
void RTPSessionWorker::readDatagram(int fd, RTPSocket socket, Clock::time_point now)
{
    sockaddr_storage fromStorage{};
    socklen_t fromLength = sizeof fromStorage;
    const ssize_t n = ::recvfrom(fd, m_receiveBuffer.data(), m_receiveBuffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&fromStorage), &fromLength);
    if (n < 1)
        return;
    NetAddress from;
    if (fromStorage.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(fromStorage);
        from = {ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)};
    }
    m_out.clear();
    m_core.datagram(AppleMIDI::ByteView(m_receiveBuffer.data(), static_cast<std::size_t>(n)), from, socket,
                    now, m_out);
    if (!m_out.empty())
        flush();
}

void RTPSessionWorker::run()
{
    if (m_wakeFD < 0 || m_epollFD < 0) {
        // Without a wake-up descriptor nothing can reach this thread.
        m_posted.close();
        return;
    }
    auto now = Clock::now();
    auto nextDroppedCheck = now;
    auto coreDue = m_core.nextDeadline();
    while (!m_quit) {
        epoll_event events[3];
        const int n = ::epoll_wait(m_epollFD, events, 3, pollTimeoutMs(coreDue, now));
        if (n < 0 && errno != EINTR)
            break;
        // One reading of the clock per pass serves the datagrams and the timers.
        now = Clock::now();
        bool wake = false, control = false, data = false, writable = false;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            wake = wake || fd == m_wakeFD;
            control = control || fd == m_controlFD;
            if (fd == m_dataFD) {
                data = data || (events[i].events & EPOLLIN);
                writable = writable || (events[i].events & EPOLLOUT);
            }
        }
        if (wake)
            m_posted.runAll(m_quit);
        // Checked again: posted work may have closed the sockets.
        if (!m_quit && data && m_dataFD >= 0)
            readDatagram(m_dataFD, RTPSocket::data, now);
        if (!m_quit && control && m_controlFD >= 0)
            readDatagram(m_controlFD, RTPSocket::control, now);
        if (m_quit)
            break;
        if (m_dataFD >= 0 && (wake || writable || (m_pumpDue && now >= *m_pumpDue)))
            pumpSends();
        if (m_openRetryDue && now >= *m_openRetryDue)
            startProcedure();
        if (m_panicStop) {
            continuePanicStop(now);
            if (m_quit)
                break;
        }
        if (const auto due = m_core.nextDeadline(); due && now >= *due) {
            m_out.clear();
            m_core.timers(now, m_out);
            flush();
        }
        if (m_dataFD >= 0) {
            const auto guard = m_sendPath.guardDue();
            if (guard && now >= *guard)
                m_sendPath.sendGuard();
        }
        coreDue = earliest(m_core.nextDeadline(), m_dataFD >= 0 ? m_sendPath.guardDue() : std::nullopt);
        if (m_panicStop)
            coreDue = earliest(coreDue, m_panicStop->sequence ? m_panicStop->due : m_panicStop->giveUp);
        coreDue = earliest(coreDue, m_openRetryDue);
        if (now >= nextDroppedCheck) {
            nextDroppedCheck = now + std::chrono::seconds(1);
            checkDropped();
        }
    }
    m_posted.close();
}

void RTPSessionWorker::sendTo(RTPSocket socket, const AppleMIDI::Bytes &packet, NetAddress to)
{
    const int fd = socket == RTPSocket::control ? m_controlFD : m_dataFD;
    if (fd < 0 || packet.empty())
        return;
    const auto addr = toSockaddr(to);
    if (::sendto(fd, packet.data(), packet.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&addr),
                 sizeof addr) < 0)
        reportSendFailure(errno, to);
    else if (!m_sendErrors.empty())
        m_sendErrors.erase(to);
}

// Session packets that fail are not MIDI lost: one line per destination and
// cause (the system's reason), again once the cause changed or a send got through.
void RTPSessionWorker::reportSendFailure(int error, NetAddress to)
{
    if (error == EAGAIN || error == EWOULDBLOCK)
        return;
    if (m_sendErrors.size() > 64)
        m_sendErrors.clear();
    int &last = m_sendErrors[to];
    if (last == error)
        return;
    last = error;
    m_failureLog.push_back("envoi vers " + to.text() + " impossible : " + std::strerror(error));
}

int RTPSessionWorker::openUDP(int port, bool large) const
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    if (large) {
        // The forced size needs privileges; the plain one is capped by
        // net.core.rmem_max.
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) !=
            0)
            (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void RTPSessionWorker::setState(RTPSessionState state)
{
    if (m_state == state)
        return;
    m_state = state;
    publish();
}

void RTPSessionWorker::startProcedure()
{
    if (m_stopped)
        return;
    const auto now = Clock::now();
    m_out.clear();
    const int port = m_config.localPort;
    const bool invites = m_config.role == RTPRole::initiator && !m_config.remoteHost.empty();
    if (!validPort(port) || (invites && !validPort(m_config.remotePort))) {
        const bool local = !validPort(port);
        m_core.log(now,
                   std::string(local ? "port local invalide (" : "port distant invalide (") +
                       std::to_string(local ? port : m_config.remotePort) + ")",
                   m_out);
        flush();
        setState(RTPSessionState::invalidPort);
        return;
    }
    const int control = openUDP(port, false);
    const int controlError = errno;
    const int data = control < 0 ? -1 : openUDP(port + 1, true);
    if (control < 0 || data < 0) {
        // Tried again every openRetryPeriod (an address not up yet at boot, a
        // port another program frees); logged once per cause.
        const int error = control < 0 ? controlError : errno;
        if (control >= 0)
            ::close(control);
        const std::string which =
            control < 0 ? "control " + std::to_string(port) : "data " + std::to_string(port + 1);
        const bool noAddress = error == EADDRNOTAVAIL;
        const std::string cause = which + std::to_string(error);
        if (cause != m_openFailure) {
            m_openFailure = cause;
            const auto retry = std::chrono::duration_cast<std::chrono::seconds>(m_openRetryPeriod).count();
            m_core.log(now,
                       (noAddress ? "adresse " + m_config.bindAddress + " indisponible, " : std::string()) +
                           "impossible d'ouvrir le port " + which + " (" + std::strerror(error) +
                           "), nouvel essai toutes les " + std::to_string(std::max<long long>(retry, 1)) +
                           " s",
                       m_out);
            flush();
        }
        m_openRetryDue = now + m_openRetryPeriod;
        setState(noAddress ? RTPSessionState::addressUnavailable : RTPSessionState::portBusy);
        return;
    }
    m_openRetryDue.reset();
    m_openFailure.clear();
    m_controlFD = control;
    m_dataFD = data;
    watch(m_dataFD, EPOLLIN);
    watch(m_controlFD, EPOLLIN);

    m_core.started(now, m_out);
    int granted = 0;
    socklen_t length = sizeof granted;
    // The kernel reports twice what it grants (its bookkeeping share).
    if (::getsockopt(m_dataFD, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 &&
        granted / 2 < kReceiveBufferBytes)
        m_core.log(now,
                   "tampon de réception limité à " + std::to_string(granted / 2 / 1024) + " Kio (" +
                       std::to_string(kReceiveBufferBytes / 1024) + " Kio demandés)",
                   m_out);
    m_state = RTPSessionState::listening;
    {
        std::lock_guard lock(m_sendPath.mutex);
        m_sendPath.dataFD = m_dataFD;
    }
    flush();
    publish();
}

void RTPSessionWorker::startResolving()
{
    in_addr numeric{};
    if (inet_pton(AF_INET, m_config.remoteHost.c_str(), &numeric) == 1) {
        m_core.remoteResolved(ntohl(numeric.s_addr), Clock::now(), m_out);
        return;
    }
    // The system resolver may block for long; its thread is never joined.
    std::thread([mailbox = m_mailbox, resolver = m_resolver, host = m_config.remoteHost] {
        const auto ip = resolver ? resolver(host) : std::nullopt;
        std::lock_guard lock(mailbox->mutex);
        if (auto *worker = mailbox->worker) {
            worker->post([worker, ip] {
                worker->m_out.clear();
                worker->m_core.remoteResolved(ip, Clock::now(), worker->m_out);
                worker->flush();
            });
        }
    }).detach();
}

// Everything the core asked for in its last call.
void RTPSessionWorker::flush()
{
    for (const auto &d : m_out.datagrams)
        sendTo(d.socket, d.bytes, d.to);
    for (auto &line : m_failureLog)
        m_out.logs.push_back("RTP " + m_config.name + ": " + line);
    m_failureLog.clear();
    if (m_callbacks.log) {
        for (const auto &line : m_out.logs)
            m_callbacks.log(line);
    }
    if (m_out.acknowledged) {
        std::lock_guard lock(m_sendPath.mutex);
        if (m_sendPath.journal) {
            if (const auto oldest = m_core.oldestAcknowledged(m_sendPath.sequence))
                m_sendPath.journal->acknowledge(*oldest, Clock::now());
        }
    }
    if (m_callbacks.onOriginGone) {
        for (const auto origin : m_out.originsGone)
            m_callbacks.onOriginGone(origin);
    }
    const bool resolve = m_out.resolve;
    const bool changed = m_out.peersChanged || m_out.statusChanged;
    if (m_out.peersChanged) {
        std::vector<sockaddr_in> peers;
        for (const auto &address : m_core.establishedDataAddresses())
            peers.push_back(toSockaddr(address));
        std::lock_guard lock(m_sendPath.mutex);
        m_sendPath.peers = std::move(peers);
    }
    if (changed) {
        const auto state = m_core.hostNotFound()                      ? RTPSessionState::hostNotFound
                           : m_state == RTPSessionState::hostNotFound ? RTPSessionState::listening
                                                                      : m_state;
        m_state = state;
        publish();
    }
    m_out.clear();
    if (resolve)
        startResolving(); // may answer at once, into a fresh m_out
    if (!m_out.empty())
        flush();
}

void RTPSessionWorker::publish()
{
    bool post = false;
    {
        std::lock_guard lock(m_reports.mutex);
        m_reports.labels = m_core.peerLabels();
        m_reports.status.state = m_state;
        m_reports.status.peers = m_core.peerStatuses();
        m_reports.status.droppedPackets = m_sendPath.dropped.load();
        m_reports.status.latePackets = m_core.latePackets();
        post = !m_reports.pending;
        m_reports.pending = true;
    }
    if (post && m_callbacks.report)
        m_callbacks.report();
}

// MIDI the session could not send: counted in the status at every change,
// logged once per cause.
void RTPSessionWorker::checkDropped()
{
    const auto dropped = m_sendPath.dropped.load();
    if (dropped == m_droppedLogged)
        return;
    m_droppedLogged = dropped;
    const int cause = m_sendPath.lastError.load();
    if (cause != m_droppedCause) {
        m_droppedCause = cause;
        const std::string reason = cause == RTPSendPath::queueFull ? "file d'envoi pleine"
                                   : cause == RTPSendPath::tooLong ? "message trop long pour un paquet"
                                                                   : std::strerror(cause);
        m_out.clear();
        m_out.logs.push_back("RTP " + m_config.name + ": messages MIDI non envoyés (" + reason + ")");
        flush();
    }
    publish();
}

// The queue in order; segments of a large sysex a few per pass, then a pause
// so the receiver's buffer keeps up.
void RTPSessionWorker::pumpSends()
{
    m_pumpDue.reset();
    const bool full = !m_sendPath.pump(kSegmentsPerPass);
    bool more = false;
    {
        std::lock_guard lock(m_sendPath.mutex);
        more = !m_sendPath.queue.empty();
    }
    // A full socket: wait until it drains.
    if (full != m_waitingWritable) {
        m_waitingWritable = full;
        watch(m_dataFD, full ? EPOLLIN | EPOLLOUT : EPOLLIN, true);
    }
    if (more && !full)
        m_pumpDue = Clock::now() + std::chrono::milliseconds(1);
}

void RTPSessionWorker::closeAll()
{
    {
        // No sender may use the data socket once it is closed.
        std::lock_guard lock(m_sendPath.mutex);
        m_sendPath.dataFD = -1;
        m_sendPath.peers.clear();
        m_sendPath.discard();
    }
    if (m_controlFD >= 0)
        ::close(m_controlFD);
    if (m_dataFD >= 0)
        ::close(m_dataFD);
    m_controlFD = -1;
    m_dataFD = -1;
}

void RTPSessionWorker::beginStop(bool panicFirst)
{
    if (m_stopped || m_panicStop)
        return;
    if (!panicFirst || m_dataFD < 0 || m_core.establishedDataAddresses().empty()) {
        stopNow();
        return;
    }
    sendPanic(m_sendPath);
    const auto now = Clock::now();
    m_panicStop = PanicStop{std::nullopt, now + kPanicConfirmTime, now + kPanicGiveUp};
    pumpSends();
}

// Runs each pass while a panic is to be confirmed before the BY: once the
// queue holding it has drained, every established peer must acknowledge its
// last packet within the confirmation time, else it is sent a second time.
void RTPSessionWorker::continuePanicStop(Clock::time_point now)
{
    auto &stop = *m_panicStop;
    if (!stop.sequence) {
        std::lock_guard lock(m_sendPath.mutex);
        if (!m_sendPath.queue.empty() && now < stop.giveUp)
            return;
        stop.sequence = m_sendPath.sequence;
        stop.due = now + kPanicConfirmTime;
    }
    if (m_core.acknowledgedByAll(*stop.sequence)) {
        stopNow();
        return;
    }
    if (now < stop.due)
        return;
    sendPanic(m_sendPath);
    for (int pass = 0; pass < 8 && !m_sendPath.pump(64); ++pass)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stopNow();
}

void RTPSessionWorker::sendPanic(RTPSendPath &path)
{
    for (std::uint8_t channel = 0; channel < 16; ++channel) {
        const auto status = static_cast<std::uint8_t>(0xB0 | channel);
        path.send(MIDIMessage({status, 123, 0}));
        path.send(MIDIMessage({status, 120, 0}));
    }
}

void RTPSessionWorker::stopProcedure()
{
    if (m_stopped)
        return;
    m_stopped = true;
    {
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->worker = nullptr;
    }
    m_out.clear();
    m_core.stop(Clock::now(), m_out);
    if (m_out.logs.empty()) // never started: the last line all the same
        m_out.logs.push_back("RTP " + m_config.name + ": arrêté");
    m_out.peersChanged = true;
    flush();
    closeAll();
    m_state = RTPSessionState::stopped;
    publish();
}

} // namespace korvane
