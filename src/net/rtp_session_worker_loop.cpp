#include "net/rtp_session_worker.h"

// The session thread's event loop: construction, posted work, the epoll wait
// and the deadlines (the core's timers and the send pacing). The procedures
// themselves are in rtp_session_worker.cpp.

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvane {

namespace {

std::optional<std::chrono::steady_clock::time_point> earliest(std::optional<std::chrono::steady_clock::time_point> a,
                                                              std::optional<std::chrono::steady_clock::time_point> b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

} // namespace

std::uint64_t currentTick()
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(ns.count()) / 100000u;
}

RTPSessionWorker::RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName,
                                   std::uint32_t ssrc, std::uint32_t initiatorToken, RTPSessionTiming timing,
                                   RTPMidiSession::Resolver resolver, RTPSendPath &sendPath,
                                   RTPReportBox &reports, Callbacks callbacks)
    : m_config(config), m_core(config, localName, ssrc, initiatorToken, timing, callbacks.onReceive),
      m_resolver(std::move(resolver)), m_callbacks(std::move(callbacks)), m_sendPath(sendPath),
      m_reports(reports), m_openRetryPeriod(timing.openRetryPeriod), m_mailbox(std::make_shared<ResolveMailbox>())
{
    m_mailbox->worker = this;
    m_wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    {
        std::lock_guard lock(m_tasksMutex);
        if (!m_accepting)
            return;
        m_tasks.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    (void)::write(m_wakeFD, &one, sizeof one);
}

void RTPSessionWorker::requestStop()
{
    post([this] { stopNow(); });
}

void RTPSessionWorker::joined()
{
    std::lock_guard lock(m_tasksMutex);
}

void RTPSessionWorker::stopNow()
{
    stopProcedure();
    m_quit = true;
}

void RTPSessionWorker::runPostedTasks()
{
    std::uint64_t count;
    (void)::read(m_wakeFD, &count, sizeof count);
    std::deque<Task> tasks;
    {
        std::lock_guard lock(m_tasksMutex);
        tasks.swap(m_tasks);
    }
    for (auto &task : tasks) {
        if (m_quit)
            return;
        task();
    }
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
    m_core.datagram(AppleMIDI::ByteView(m_receiveBuffer.data(), static_cast<std::size_t>(n)), from, socket, now,
                    m_out);
    if (!m_out.empty())
        flush();
}

void RTPSessionWorker::run()
{
    if (m_wakeFD < 0 || m_epollFD < 0) {
        // Without a wake-up descriptor nothing can reach this thread.
        std::lock_guard lock(m_tasksMutex);
        m_accepting = false;
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
            runPostedTasks();
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
    std::lock_guard lock(m_tasksMutex);
    m_accepting = false;
    m_tasks.clear();
}

} // namespace korvane
