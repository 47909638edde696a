#include "net/network_midi2_session_worker.h"

#include <arpa/inet.h>
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

// Room for bursts of system exclusive data.
constexpr int kReceiveBufferBytes = 2 << 20;

sockaddr_in toSockaddr(NetAddress address)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(address.port);
    addr.sin_addr.s_addr = htonl(address.ip);
    return addr;
}

bool validPort(int port)
{
    return port >= 1 && port <= 65535;
}

std::string productInstanceId(const NetworkMIDI2SessionConfig &config)
{
    return config.id.toString();
}

} // namespace

NetworkMIDI2SessionWorker::NetworkMIDI2SessionWorker(const NetworkMIDI2SessionConfig &config,
                                                     const std::string &endpointName,
                                                     NetworkMIDI2Timing timing,
                                                     NetworkMIDI2Session::Resolver resolver,
                                                     NetworkMIDI2ReportBox &reports, Callbacks callbacks)
    : m_config(config), m_resolver(std::move(resolver)), m_callbacks(std::move(callbacks)),
      m_reports(reports), m_core(config, endpointName, productInstanceId(config), timing),
      m_mailbox(std::make_shared<ResolveMailbox>())
{
    m_mailbox->worker = this;
    m_wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_posted.setWakeFD(m_wakeFD);
    m_epollFD = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_wakeFD >= 0 && m_epollFD >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_wakeFD;
        ::epoll_ctl(m_epollFD, EPOLL_CTL_ADD, m_wakeFD, &event);
    }
}

NetworkMIDI2SessionWorker::~NetworkMIDI2SessionWorker()
{
    {
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->worker = nullptr;
    }
    for (int fd : {m_fd, m_wakeFD, m_epollFD})
        if (fd >= 0)
            ::close(fd);
}

void NetworkMIDI2SessionWorker::wake() const
{
    m_posted.wake();
}

void NetworkMIDI2SessionWorker::post(std::function<void()> task)
{
    m_posted.post(std::move(task));
}

void NetworkMIDI2SessionWorker::requestStop()
{
    post([this] { stopNow(); });
}

void NetworkMIDI2SessionWorker::stopNow()
{
    stopProcedure();
    m_quit = true;
}

void NetworkMIDI2SessionWorker::joined()
{
    m_posted.sync();
}

void NetworkMIDI2SessionWorker::sendDatagrams(const Output &out)
{
    for (const auto &d : out.datagrams) {
        const auto to = toSockaddr(d.to);
        const auto bytes = out.datagram(d);
        if (m_fd < 0 || ::sendto(m_fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
            ++m_dropped;
    }
}

template <typename Call> void NetworkMIDI2SessionWorker::drive(Call &&call)
{
    m_out.clear();
    {
        std::lock_guard lock(m_coreMutex);
        call(Clock::now());
        sendDatagrams(m_out);
        if (m_out.peersChanged || m_out.statusChanged || m_out.dropped > 0) {
            m_status.state = m_failure ? *m_failure : m_core.state();
            m_status.peers = m_core.peerStatuses();
            m_statusDirty = true;
        }
    }
    handOn();
}

void NetworkMIDI2SessionWorker::handOn()
{
    if (m_callbacks.onReceive) {
        for (const auto &r : m_out.received)
            m_callbacks.onReceive(r.message, r.origin);
    }
    if (m_callbacks.onOriginGone) {
        for (const std::uint64_t origin : m_out.originsGone)
            m_callbacks.onOriginGone(origin);
    }
    if (m_callbacks.log) {
        for (const auto &line : m_out.logs)
            m_callbacks.log(line);
    }
    m_dropped += m_out.dropped;
    const bool resolve = m_out.resolve;
    if (m_statusDirty)
        publish();
    if (resolve)
        startResolving();
}

void NetworkMIDI2SessionWorker::publish()
{
    m_statusDirty = false;
    m_status.dropped = m_dropped.load();
    bool post = false;
    {
        std::lock_guard lock(m_reports.mutex);
        m_reports.status = m_status;
        post = !m_reports.pending;
        m_reports.pending = true;
    }
    if (post && m_callbacks.report)
        m_callbacks.report();
}

void NetworkMIDI2SessionWorker::send(std::span<const std::uint8_t> message)
{
    bool wakeUp = false;
    {
        std::lock_guard lock(m_coreMutex);
        m_sendOut.clear();
        m_core.send(message, Clock::now(), m_sendOut);
        sendDatagrams(m_sendOut);
        m_dropped += m_sendOut.dropped;
        // The session thread arms its next wait on the tail now due, and
        // reports a message that could not be translated.
        wakeUp = m_sendOut.wake || m_sendOut.dropped > 0;
    }
    if (wakeUp)
        wake();
}

void NetworkMIDI2SessionWorker::fail(NetworkMIDI2State state, const std::string &line)
{
    m_failure = state;
    drive([&](Clock::time_point now) { m_core.log(now, line, m_out); });
    m_status.state = state;
    publish();
}

void NetworkMIDI2SessionWorker::startProcedure()
{
    if (m_stopped)
        return;
    const int port = m_config.localPort;
    const bool client = m_config.role == NetworkMIDI2Role::client;
    if (!validPort(port) || (client && !validPort(m_config.remotePort))) {
        const bool local = !validPort(port);
        fail(NetworkMIDI2State::invalidPort,
             std::string(local ? "port local invalide (" : "port distant invalide (") +
                 std::to_string(local ? port : m_config.remotePort) + ")");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr = toSockaddr({INADDR_ANY, static_cast<std::uint16_t>(port)});
    // No SO_REUSEADDR: a port another program holds is reported, not shared.
    if (fd >= 0) {
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) !=
            0)
            (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        fail(NetworkMIDI2State::portBusy,
             "impossible d'ouvrir le port " + std::to_string(port) + " (" + reason + ")");
        return;
    }
    {
        std::lock_guard lock(m_coreMutex);
        m_fd = fd;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_fd;
    ::epoll_ctl(m_epollFD, EPOLL_CTL_ADD, m_fd, &event);
    drive([&](Clock::time_point now) { m_core.started(now, m_out); });
}

void NetworkMIDI2SessionWorker::startResolving()
{
    in_addr numeric{};
    if (inet_pton(AF_INET, m_config.remoteHost.c_str(), &numeric) == 1) {
        drive([&](Clock::time_point now) { m_core.remoteResolved(ntohl(numeric.s_addr), now, m_out); });
        return;
    }
    // The system resolver may block for long; its thread is never joined.
    std::thread([mailbox = m_mailbox, resolver = m_resolver, host = m_config.remoteHost] {
        const auto ip = resolver && !host.empty() ? resolver(host) : std::nullopt;
        std::lock_guard lock(mailbox->mutex);
        if (auto *worker = mailbox->worker)
            worker->post([worker, ip] {
                worker->drive(
                    [&](Clock::time_point now) { worker->m_core.remoteResolved(ip, now, worker->m_out); });
            });
    }).detach();
}

void NetworkMIDI2SessionWorker::stopProcedure()
{
    if (m_stopped)
        return;
    m_stopped = true;
    {
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->worker = nullptr;
    }
    drive([&](Clock::time_point now) {
        m_core.stop(now, m_out);
        if (m_out.logs.empty()) // never started: the last line all the same
            m_out.logs.push_back("NM2 " + m_config.name + ": arrêté");
    });
    {
        // No sender may use the socket once it is closed.
        std::lock_guard lock(m_coreMutex);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    m_status.state = NetworkMIDI2State::stopped;
    m_status.peers.clear();
    publish();
}

// One datagram per call: the epoll set is level-triggered.
void NetworkMIDI2SessionWorker::readDatagram(Clock::time_point now)
{
    sockaddr_storage fromStorage{};
    socklen_t fromLength = sizeof fromStorage;
    const ssize_t n = ::recvfrom(m_fd, m_receiveBuffer.data(), m_receiveBuffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&fromStorage), &fromLength);
    if (n < 1 || fromStorage.ss_family != AF_INET)
        return;
    const auto &in = reinterpret_cast<const sockaddr_in &>(fromStorage);
    const NetAddress from{ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)};
    const NetworkMIDI2::ByteView bytes(m_receiveBuffer.data(), static_cast<std::size_t>(n));
    drive([&](Clock::time_point) { m_core.datagram(bytes, from, now, m_out); });
}

void NetworkMIDI2SessionWorker::run()
{
    if (m_wakeFD < 0 || m_epollFD < 0) {
        m_posted.close();
        return;
    }
    std::uint64_t reportedDropped = 0;
    while (!m_quit) {
        std::optional<Clock::time_point> due;
        {
            std::lock_guard lock(m_coreMutex);
            due = m_core.nextDeadline();
        }
        int timeout = 1000; // the dropped count is looked at now and then
        if (due) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
        }
        epoll_event events[2];
        const int n = ::epoll_wait(m_epollFD, events, 2, timeout);
        if (n < 0 && errno != EINTR)
            break;
        const auto now = Clock::now();
        bool wakeUp = false, readable = false;
        for (int i = 0; i < n; ++i) {
            wakeUp = wakeUp || events[i].data.fd == m_wakeFD;
            readable = readable || (m_fd >= 0 && events[i].data.fd == m_fd);
        }
        if (wakeUp)
            m_posted.runAll(m_quit);
        if (!m_quit && readable && m_fd >= 0)
            readDatagram(now);
        if (m_quit)
            break;
        if (due && Clock::now() >= *due)
            drive([&](Clock::time_point t) { m_core.timers(t, m_out); });
        if (m_dropped.load() != reportedDropped) {
            reportedDropped = m_dropped.load();
            publish();
        }
    }
    m_posted.close();
}

} // namespace korvane
