#include "net/rtp_session_worker.h"

// The session thread's event loop: construction, posted work, the epoll wait
// and the clock and liveness deadlines. The procedures themselves are in
// rtp_session_worker.cpp.

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvane {

std::uint64_t currentTick()
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(ns.count()) / 100000u;
}

RTPSessionWorker::RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName,
                                   std::uint32_t ssrc, std::uint32_t initiatorToken,
                                   RTPMidiSession::Timing timing, RTPSendPath &sendPath, Callbacks callbacks)
    : m_config(config), m_localName(localName), m_ssrc(ssrc), m_initiatorToken(initiatorToken),
      m_timing(timing), m_callbacks(std::move(callbacks)), m_sendPath(sendPath),
      m_onSegment([this](const AppleMIDI::SysexSegment &segment) { reassemble(segment); })
{
    m_wakeFD = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_epollFD = ::epoll_create1(EPOLL_CLOEXEC);
    watch(m_wakeFD);
}

void RTPSessionWorker::watch(int fd) const
{
    if (fd < 0 || m_epollFD < 0)
        return;
    epoll_event event{};
    event.events = EPOLLIN; // level-triggered
    event.data.fd = fd;
    ::epoll_ctl(m_epollFD, EPOLL_CTL_ADD, fd, &event);
}

RTPSessionWorker::~RTPSessionWorker()
{
    closeAll();
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

int RTPSessionWorker::pollTimeoutMs() const
{
    std::optional<Clock::time_point> next = m_livenessDue;
    if (m_clockDue && (!next || *m_clockDue < *next))
        next = m_clockDue;
    if (!next)
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
}

void RTPSessionWorker::runDueTimers()
{
    const auto now = Clock::now();
    if (m_clockDue && now >= *m_clockDue) {
        m_clockDue = now + m_timing.clockPeriod;
        for (const auto &[key, peer] : m_peers) {
            if (peer.stage == Stage::established)
                sendClockStart(peer.dataAddr);
        }
    }
    if (m_livenessDue && now >= *m_livenessDue) {
        m_livenessDue = now + m_timing.livenessPeriod;
        checkLiveness();
    }
}

void RTPSessionWorker::run()
{
    if (m_wakeFD < 0 || m_epollFD < 0) {
        // Without a wake-up descriptor nothing can reach this thread.
        std::lock_guard lock(m_tasksMutex);
        m_accepting = false;
        return;
    }
    while (!m_quit) {
        epoll_event events[3];
        const int n = ::epoll_wait(m_epollFD, events, 3, pollTimeoutMs());
        if (n < 0 && errno != EINTR)
            break;
        bool wake = false, control = false, data = false;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            wake = wake || fd == m_wakeFD;
            control = control || fd == m_controlFD;
            data = data || fd == m_dataFD;
        }
        if (wake)
            runPostedTasks();
        // Checked again: posted work may have closed the sockets.
        if (!m_quit && data && m_dataFD >= 0)
            readDatagram(m_dataFD, true);
        if (!m_quit && control && m_controlFD >= 0)
            readDatagram(m_controlFD, false);
        if (!m_quit)
            runDueTimers();
    }
    std::lock_guard lock(m_tasksMutex);
    m_accepting = false;
    m_tasks.clear();
}

} // namespace korvane
