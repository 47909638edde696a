#pragma once

// The I/O side of one RTP-MIDI session, private to RTPMidiSession: two UDP
// sockets, an epoll loop on the session's thread, the resolver, and the send
// queues. The protocol itself is RTPSessionCore; this file only moves bytes
// between it and the sockets. Every member function except post(),
// requestStop() and wake() runs on the session thread.

#include "model/project.h"
#include "net/posted_tasks.h"
#include "net/rtp_send_path.h"
#include "net/rtp_session_core.h"
#include "net/rtp_session_types.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// The session's reports for the main thread: the latest state, one pending
// delivery at most.
struct RTPReportBox {
    std::mutex mutex;
    std::vector<std::string> labels;
    RTPSessionStatus status;
    bool pending = false;
};

class RTPSessionWorker {
public:
    struct Callbacks {
        RTPReceiveCallback onReceive;
        RTPOriginGoneCallback onOriginGone;
        RTPLogCallback log;
        std::function<void()> report; // posts a delivery of the report box to the main thread
    };

    RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName, std::uint32_t ssrc,
                     std::uint32_t initiatorToken, RTPSessionTiming timing, RTPResolver resolver,
                     RTPSendPath &sendPath, RTPReportBox &reports, Callbacks callbacks);
    ~RTPSessionWorker();
    RTPSessionWorker(const RTPSessionWorker &) = delete;
    RTPSessionWorker &operator=(const RTPSessionWorker &) = delete;

    // Thread body: runs posted work, socket events and timers until stopped.
    void run();
    // Any thread. Work posted after the stop procedure has run is dropped.
    void post(std::function<void()> task);
    // Posts the stop procedure, after which run() returns.
    void requestStop();
    // Session thread: the stop procedure, at once or, with panicFirst, once
    // the panic sent to the peers was confirmed or sent twice.
    void beginStop(bool panicFirst);
    // Any thread: control changes 123 and 120 on the 16 channels, in order.
    static void sendPanic(RTPSendPath &path);
    // The same, from the session thread itself (a callback).
    void stopNow();
    // After the thread has ended: orders everything run() did before what
    // the caller does next in terms race detectors see.
    void joined();

    void startProcedure();

private:
    using Clock = RTPSessionCore::Clock;
    using Task = std::function<void()>;
    // A resolver thread posts its answer here; the worker detaches itself on
    // destruction, so an answer that comes too late goes nowhere.
    struct ResolveMailbox {
        std::mutex mutex;
        RTPSessionWorker *worker = nullptr;
    };

    int openUDP(int port, bool large) const;
    void watch(int fd, std::uint32_t events, bool modify = false) const;
    // Milliseconds until the earliest of the core's deadline and the send pacing.
    int pollTimeoutMs(std::optional<Clock::time_point> coreDue, Clock::time_point now) const;
    void readDatagram(int fd, RTPSocket socket, Clock::time_point now);
    void flush(); // acts on m_out: sends, logs, reports
    void startResolving();
    void pumpSends();
    void checkDropped();
    void setState(RTPSessionState state);
    void publish();
    void sendTo(RTPSocket socket, const AppleMIDI::Bytes &packet, NetAddress to);
    void reportSendFailure(int error, NetAddress to);
    void stopProcedure();
    void closeAll();
    void continuePanicStop(Clock::time_point now);

    struct PanicStop {
        std::optional<std::uint16_t> sequence; // the panic's last packet, once numbered
        Clock::time_point due;                 // for the confirmation
        Clock::time_point giveUp;              // for the queue ahead of the panic
    };
    std::optional<PanicStop> m_panicStop;

    const RTPSessionConfig m_config;
    RTPSessionCore m_core;
    const RTPResolver m_resolver;
    const Callbacks m_callbacks;
    RTPSendPath &m_sendPath;
    RTPReportBox &m_reports;
    RTPSessionCore::Output m_out;

    int m_controlFD = -1;
    int m_dataFD = -1;
    int m_wakeFD = -1; // eventfd: posted work or queued sends are waiting
    int m_epollFD = -1;
    bool m_quit = false;
    bool m_stopped = false;
    bool m_waitingWritable = false;
    std::optional<Clock::time_point> m_pumpDue;
    std::optional<Clock::time_point> m_openRetryDue; // sockets failed to open: try again then
    std::chrono::milliseconds m_openRetryPeriod;
    std::string m_openFailure; // the cause last logged
    RTPSessionState m_state = RTPSessionState::starting;
    std::uint64_t m_droppedLogged = 0;
    int m_droppedCause = 0;
    std::map<NetAddress, int> m_sendErrors; // errno of the last failed send, by destination
    std::vector<std::string> m_failureLog;  // lines waiting for the next flush
    std::shared_ptr<ResolveMailbox> m_mailbox;

    PostedTasks m_posted;

    // Holds the longest datagram UDP can carry over IPv4.
    std::array<std::uint8_t, 65535> m_receiveBuffer;
};

} // namespace korvane
