#pragma once

// The state, procedures and event loop of one RTP-MIDI session. Private to
// RTPMidiSession. run() is the body of the session's thread: an epoll loop
// over the two sockets and a wake-up descriptor for posted work, with the
// clock and liveness deadlines as its time-out (epoll). Every member function except
// post() and requestStop() runs on that thread, so the peer table needs no lock.

#include "net/apple_midi.h"
#include "net/rtp_midi_session.h"

#include <netinet/in.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// 100-microsecond ticks of the monotonic clock.
std::uint64_t currentTick();

// What a sender on any thread needs to put MIDI on the wire: the data socket,
// the data addresses of the established peers and the sequence number. The
// session thread republishes it whenever the established set changes and
// empties it (under the lock) before closing the socket.
struct RTPSendPath {
    std::mutex mutex;
    int dataFD = -1;
    std::vector<sockaddr_in> peers;
    std::uint16_t sequence = 0; // of the last packet sent
};

class RTPSessionWorker {
public:
    struct Callbacks {
        RTPMidiSession::ReceiveCallback onReceive;
        RTPMidiSession::LogCallback log;
        RTPMidiSession::PeersCallback reportPeers; // hops to the main thread itself
    };

    // sendPath outlives the worker.
    RTPSessionWorker(const RTPSessionConfig &config, const std::string &localName, std::uint32_t ssrc,
                     std::uint32_t initiatorToken, RTPMidiSession::Timing timing, RTPSendPath &sendPath,
                     Callbacks callbacks);
    ~RTPSessionWorker();
    RTPSessionWorker(const RTPSessionWorker &) = delete;
    RTPSessionWorker &operator=(const RTPSessionWorker &) = delete;

    // Thread body: runs posted work, socket reads and timers until stopped.
    void run();
    // Any thread. Work posted after the stop procedure has run is dropped.
    void post(std::function<void()> task);
    // Posts the stop procedure, after which run() returns.
    void requestStop();
    // The same, from the session thread itself (a callback).
    void stopNow();
    // After the thread has ended: orders everything run() did before what
    // the caller does next in terms race detectors see (QThread::wait() is
    // opaque to them).
    void joined();

    void startProcedure();
    void stopProcedure();

private:
    enum class Stage { idle, invitedControl, invitedData, established };
    using Clock = std::chrono::steady_clock;

    struct Peer {
        sockaddr_in controlAddr{};
        sockaddr_in dataAddr{};
        std::uint32_t ssrc = 0;
        std::string name;
        Stage stage = Stage::idle;
        Clock::time_point lastSeen = Clock::now();

        std::string label(const std::string &key) const { return name.empty() ? key : name; }
    };

    using Task = std::function<void()>;

    int openUDP(int port) const;
    void watch(int fd) const;
    void runPostedTasks();
    void runDueTimers();
    int pollTimeoutMs() const;
    void readDatagram(int fd, bool isData);
    void handleExchange(const AppleMIDI::Exchange &exchange, const sockaddr_in &from, bool isData);
    void handleClock(const AppleMIDI::ClockSync &sync, const sockaddr_in &from);
    void inviteRemote();
    void startClockSync(const Peer &peer);
    void sendClockStart(const sockaddr_in &to);
    void checkLiveness();
    void notifyPeers();
    void receiveData(AppleMIDI::ByteView packet, in_addr_t from);
    void reassemble(const AppleMIDI::SysexSegment &segment);
    void dropReassembly(const std::string &peerKey);
    void publishSendPath();
    void sendTo(int fd, const AppleMIDI::Bytes &packet, const sockaddr_in &to) const;
    void writeLog(const std::string &text) const;
    AppleMIDI::Exchange ownExchange(AppleMIDI::Command command, std::uint32_t token) const;
    void closeAll();

    const RTPSessionConfig m_config;
    const std::string m_localName;
    const std::uint32_t m_ssrc;
    const std::uint32_t m_initiatorToken;
    const RTPMidiSession::Timing m_timing;
    const Callbacks m_callbacks;

    int m_controlFD = -1;
    int m_dataFD = -1;
    int m_wakeFD = -1; // eventfd: posted work is waiting
    int m_epollFD = -1;
    std::optional<Clock::time_point> m_clockDue;
    std::optional<Clock::time_point> m_livenessDue;
    bool m_quit = false;

    std::mutex m_tasksMutex;
    std::deque<Task> m_tasks;            // guarded by m_tasksMutex
    bool m_accepting = true;             // guarded by m_tasksMutex
    std::map<std::string, Peer> m_peers; // key: dotted-decimal address, port not included
    RTPSendPath &m_sendPath;
    std::vector<in_addr_t> m_establishedAddrs; // network order; follows m_peers
    // Segmented sysex being rebuilt, per sender address (network order) and
    // RTP SSRC; entries go when the peer at that address leaves.
    std::map<std::pair<in_addr_t, std::uint32_t>, AppleMIDI::SysexReassembler> m_reassembly;
    std::pair<in_addr_t, std::uint32_t> m_segmentSender{}; // of the packet being decoded
    // Built once: a callback capturing only this needs no allocation per packet.
    const std::function<void(const AppleMIDI::SysexSegment &)> m_onSegment;
    bool m_stopped = false;
};

} // namespace korvane
