#pragma once

// The I/O side of one RTP-MIDI session, private to RTPMidiSession: two UDP
// sockets, an epoll loop on the session's thread, the resolver, and the send
// queues. The protocol itself is RTPSessionCore; this file only moves bytes
// between it and the sockets. Every member function except post(),
// requestStop() and wake() runs on the session thread.

#include "net/rtp_midi_session.h"
#include "net/rtp_session_core.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// 100-microsecond ticks of the monotonic clock.
std::uint64_t currentTick();

// What a sender on any thread needs to put MIDI on the wire. Small messages
// are sent by the caller under the lock (one packet to every peer). Segments
// of a large sysex wait in `bulk` and leave from the session thread one
// packet per lock, so a note is never queued behind them. A packet the
// socket refused for lack of room (EAGAIN) waits, numbered, in `backlog`;
// later small messages queue behind it so the order stays.
struct RTPSendPath {
    struct Pending {
        AppleMIDI::Bytes packet;
        bool numbered = false;
        std::size_t nextPeer = 0;
    };
    struct Bulk {
        std::vector<AppleMIDI::Bytes> segments;
        std::size_t next = 0;
        bool numbered = false; // segment `next` has its sequence number
        std::size_t nextPeer = 0;
    };
    static constexpr std::size_t maxBacklog = 4096;             // packets
    static constexpr std::size_t maxBulkBytes = std::size_t{16} << 20; // queued sysex

    std::mutex mutex;
    int dataFD = -1;
    int wakeFD = -1; // set once before the thread starts
    std::vector<sockaddr_in> peers;
    std::uint16_t sequence = 0; // of the last packet sent
    std::deque<Pending> backlog;
    std::deque<Bulk> bulk;
    std::size_t bulkBytes = 0;
    std::atomic<std::uint64_t> dropped{0};

    // Numbers packet (sequence and time stamp, taken together) unless done.
    void number(std::uint8_t *packet, bool &numbered);
    // Sends to peers from `next`; false when the socket is full (EAGAIN),
    // next then says where to resume. Caller holds the lock.
    bool sendToPeers(const std::uint8_t *packet, std::size_t size, std::size_t &next);
    void wake() const;
};

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
        RTPMidiSession::ReceiveCallback onReceive;
        RTPMidiSession::LogCallback log;
        std::function<void()> report; // posts a delivery of the report box to the main thread
    };

    RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName, std::uint32_t ssrc,
                     std::uint32_t initiatorToken, RTPSessionTiming timing, RTPMidiSession::Resolver resolver,
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
    void runPostedTasks();
    // Milliseconds until the earliest of the core's deadline and the send pacing.
    int pollTimeoutMs(std::optional<Clock::time_point> coreDue, Clock::time_point now) const;
    void readDatagram(int fd, RTPSocket socket, Clock::time_point now);
    void flush(); // acts on m_out: sends, logs, reports
    void startResolving();
    void pumpSends();
    void checkDropped();
    void setState(RTPSessionState state);
    void publish();
    void sendTo(RTPSocket socket, const AppleMIDI::Bytes &packet, NetAddress to) const;
    void stopProcedure();
    void closeAll();

    const RTPSessionConfig m_config;
    RTPSessionCore m_core;
    const RTPMidiSession::Resolver m_resolver;
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
    RTPSessionState m_state = RTPSessionState::starting;
    std::uint64_t m_droppedLogged = 0;
    std::shared_ptr<ResolveMailbox> m_mailbox;

    std::mutex m_tasksMutex;
    std::deque<Task> m_tasks; // guarded by m_tasksMutex
    bool m_accepting = true;  // guarded by m_tasksMutex

    // Holds the longest datagram UDP can carry over IPv4.
    std::array<std::uint8_t, 65535> m_receiveBuffer;
};

} // namespace korvane
