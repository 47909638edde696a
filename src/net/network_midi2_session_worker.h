#pragma once

// The I/O side of one Network MIDI 2.0 session, private to
// NetworkMIDI2Session: one UDP socket, an epoll loop on the session thread,
// the resolver, and the send path. The protocol is NetworkMIDI2SessionCore;
// this file moves bytes between it and the socket.
//
// Every call into the core holds m_coreMutex, and the datagrams a call
// produced leave before it is released, so they reach the wire in sequence
// order whichever thread sent them. Received MIDI, log lines and origins
// that ended are handed on by the session thread after the lock is released
// (a route back into this session cannot deadlock). Every member function
// except send(), post(), requestStop() and joined() runs on the session thread.

#include "net/network_midi2_session.h"
#include "net/network_midi2_session_core.h"
#include "net/posted_tasks.h"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// The session's reports for the main thread: the latest state, one pending
// delivery at most.
struct NetworkMIDI2ReportBox {
    std::mutex mutex;
    NetworkMIDI2Status status;
    bool pending = false;
};

class NetworkMIDI2SessionWorker {
public:
    struct Callbacks {
        NetworkMIDI2Session::ReceiveCallback onReceive;
        NetworkMIDI2Session::OriginGoneCallback onOriginGone;
        NetworkMIDI2Session::LogCallback log;
        std::function<void()> report; // posts a delivery of the report box to the main thread
    };

    NetworkMIDI2SessionWorker(const NetworkMIDI2SessionConfig &config, const std::string &endpointName,
                              NetworkMIDI2Timing timing, NetworkMIDI2Session::Resolver resolver,
                              NetworkMIDI2ReportBox &reports, Callbacks callbacks);
    ~NetworkMIDI2SessionWorker();
    NetworkMIDI2SessionWorker(const NetworkMIDI2SessionWorker &) = delete;
    NetworkMIDI2SessionWorker &operator=(const NetworkMIDI2SessionWorker &) = delete;

    // Thread body: runs posted work, socket events and timers until stopped.
    void run();
    // Any thread. Work posted after the stop procedure has run is dropped.
    void post(std::function<void()> task);
    void requestStop();
    void stopNow();
    // After the thread has ended: orders what run() did before the caller's next steps.
    void joined();
    void startProcedure();
    // Any thread: one message to every established peer, from the caller's thread.
    void send(std::span<const std::uint8_t> message);
    std::uint64_t dropped() const { return m_dropped.load(); }

private:
    using Clock = NetworkMIDI2SessionCore::Clock;
    using Output = NetworkMIDI2SessionCore::Output;
    struct ResolveMailbox {
        std::mutex mutex;
        NetworkMIDI2SessionWorker *worker = nullptr;
    };

    // Runs one core call under the lock, sends its datagrams, then hands on
    // what it produced.
    template <typename Call> void drive(Call &&call);
    void sendDatagrams(const Output &out); // caller holds m_coreMutex
    void handOn();
    void publish();
    void startResolving();
    void wake() const;
    void readDatagram(Clock::time_point now);
    void stopProcedure();
    void fail(NetworkMIDI2State state, const std::string &line);

    const NetworkMIDI2SessionConfig m_config;
    const NetworkMIDI2Session::Resolver m_resolver;
    const Callbacks m_callbacks;
    NetworkMIDI2ReportBox &m_reports;

    std::mutex m_coreMutex; // guards m_core, m_sendOut and m_fd against senders
    NetworkMIDI2SessionCore m_core;
    Output m_out;                // session thread
    Output m_sendOut;            // senders, under m_coreMutex
    NetworkMIDI2Status m_status; // session thread: filled under the lock
    bool m_statusDirty = false;
    std::optional<NetworkMIDI2State> m_failure; // the socket could not be opened
    std::atomic<std::uint64_t> m_dropped{0};

    int m_fd = -1;
    int m_wakeFD = -1;
    int m_epollFD = -1;
    bool m_quit = false;
    bool m_stopped = false;
    std::shared_ptr<ResolveMailbox> m_mailbox;

    PostedTasks m_posted;

    std::array<std::uint8_t, 65535> m_receiveBuffer;
};

} // namespace korvane
