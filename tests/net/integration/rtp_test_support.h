#pragma once

// Helpers for RTP session tests: free port pairs, a hand-driven peer made of
// two plain UDP sockets, and a probe that records what a session reports.
// Everything binds and sends on 127.0.0.1 only.

#include "net/apple_midi.h"
#include "net/hex.h"
#include "net/rtp_journal_state.h"
#include "net/rtp_midi_session.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace korvane::test {

using namespace std::chrono_literals;
using AppleMIDI::Bytes;

inline const MIDIMessage kNoteOn({0x90, 0x3C, 0x64});

inline sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A UDP socket on 127.0.0.1:port without address reuse; -1 when taken.
inline int bindLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const auto addr = loopback(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// A port P with P and P + 1 free right now and neither handed out before by
// this process, chosen at random so parallel test runs rarely collide.
inline int freePortPair()
{
    static std::mt19937 rng{std::random_device{}()};
    static std::set<int> given;
    std::uniform_int_distribution<int> pick(20000, 59998);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int p = pick(rng);
        if (given.count(p - 1) || given.count(p) || given.count(p + 1))
            continue;
        const int a = bindLoopback(p), b = bindLoopback(p + 1);
        for (int fd : {a, b})
            if (fd >= 0)
                ::close(fd);
        if (a >= 0 && b >= 0) {
            given.insert(p);
            return p;
        }
    }
    return -1;
}

inline RTPSessionConfig loopbackConfig(std::string name, int port)
{
    RTPSessionConfig config;
    config.name = std::move(name);
    config.localPort = port;
    config.bindAddress = "127.0.0.1";
    return config;
}

inline RTPSessionConfig initiatorConfig(std::string name, int port, int remotePort)
{
    auto config = loopbackConfig(std::move(name), port);
    config.role = RTPRole::initiator;
    config.remoteHost = "127.0.0.1";
    config.remotePort = remotePort;
    return config;
}

inline bool isData(const Bytes &b)
{
    return !AppleMIDI::isSessionCommand(b);
}

inline std::optional<AppleMIDI::Exchange> asExchange(const std::optional<Bytes> &packet)
{
    return packet ? AppleMIDI::decodeExchange(*packet) : std::nullopt;
}

inline auto isExchange(AppleMIDI::Command command)
{
    return [command](const Bytes &b) {
        const auto e = AppleMIDI::decodeExchange(b);
        return e && e->command == command;
    };
}

// A remote participant driven by hand: control socket on port(), data socket on port() + 1.
class FakePeer {
public:
    FakePeer() : m_port(freePortPair()), m_control(bindLoopback(m_port)), m_data(bindLoopback(m_port + 1))
    {
        EXPECT_TRUE(m_control >= 0 && m_data >= 0) << "no free port pair for a fake peer";
        // Room for a whole paced sysex between two looks at the socket.
        const int size = 4 << 20;
        if (::setsockopt(m_data, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            (void)::setsockopt(m_data, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~FakePeer()
    {
        ::close(m_control);
        ::close(m_data);
    }
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    int port() const { return m_port; }

    void sendControl(const Bytes &packet, int toPort) const { sendFrom(m_control, packet, toPort); }
    void sendData(const Bytes &packet, int toPort) const { sendFrom(m_data, packet, toPort); }

    // Next datagram matching pred on the control (false) or data (true)
    // socket, others skipped, spinning the event loop meanwhile.
    template <class Pred>
    std::optional<Bytes> receiveMatching(bool data, Pred pred, std::chrono::milliseconds timeout = 3s)
    {
        std::optional<Bytes> got;
        waitUntil(
            [&] {
                Bytes buf(4096);
                ssize_t n;
                while ((n = ::recv(data ? m_data : m_control, buf.data(), buf.size(), MSG_DONTWAIT)) >= 0) {
                    buf.resize(static_cast<std::size_t>(n));
                    if (pred(buf))
                        return (got = std::move(buf)).has_value();
                    buf.resize(4096);
                }
                return false;
            },
            timeout);
        return got;
    }
    std::optional<Bytes> receive(bool data, std::chrono::milliseconds timeout = 3s)
    {
        return receiveMatching(
            data, [](const Bytes &) { return true; }, timeout);
    }

    // Invites the session at controlPort the way a remote session would
    // (IN on control, then IN on data) and consumes both OKs.
    bool establishWith(int controlPort, const std::string &name, std::uint32_t ssrc = 0x5151)
    {
        const auto in = AppleMIDI::encodeExchange({AppleMIDI::Command::invitation, 0xABCD, ssrc, name});
        sendControl(in, controlPort);
        if (!receive(false))
            return false;
        sendData(in, controlPort + 1);
        return receiveMatching(true, isExchange(AppleMIDI::Command::invitationOK)).has_value();
    }

private:
    static void sendFrom(int fd, const Bytes &packet, int toPort)
    {
        const auto to = loopback(toPort);
        (void)::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                       sizeof to);
    }

    int m_port, m_control, m_data;
};

// Records a session's log lines and received messages (session thread) and
// its peer reports (main thread).
class SessionProbe {
public:
    SessionProbe(const RTPSessionConfig &config, const std::string &localName,
                 RTPMidiSession::Timing timing = {})
        : session(std::make_unique<RTPMidiSession>(config, localName))
    {
        session->setTiming(timing);
        session->setLog([this](const std::string &line) {
            std::lock_guard lock(m_mutex);
            m_logs.push_back(line);
        });
        session->setOnReceive([this](const MIDIMessage &m, std::uint64_t) {
            std::lock_guard lock(m_mutex);
            m_received.push_back(m.bytes);
            m_receivedOnMainThread = m_receivedOnMainThread || QThread::currentThread() == qApp->thread();
        });
        session->setOnPeersChanged([this](const std::vector<std::string> &labels) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            peerReports.push_back(labels);
        });
        session->setOnStatus([this](const RTPSessionStatus &status) { statuses.push_back(status); });
    }

    // The session goes first: its stop procedure still logs.
    ~SessionProbe() { session.reset(); }
    SessionProbe(const SessionProbe &) = delete;
    SessionProbe &operator=(const SessionProbe &) = delete;

    // Starts the session and waits for its "écoute sur" line (sockets bound).
    bool startListening()
    {
        session->start();
        const int p = session->config().localPort;
        return waitLog("RTP " + session->config().name + ": écoute sur " + std::to_string(p) + "/" +
                       std::to_string(p + 1) + " (SSRC " + std::to_string(session->ssrc()) + ")");
    }

    std::vector<std::string> logs() const
    {
        std::lock_guard lock(m_mutex);
        return m_logs;
    }
    // The bytes of each message received, in order.
    std::vector<Bytes> received() const
    {
        std::lock_guard lock(m_mutex);
        EXPECT_FALSE(m_receivedOnMainThread) << "onReceive must run on the session thread";
        return m_received;
    }
    long countLogs(const std::string &line) const
    {
        const auto all = logs();
        return std::count(all.begin(), all.end(), line);
    }
    bool waitLog(const std::string &line, std::chrono::milliseconds timeout = 3s) const
    {
        return waitUntil([&] { return countLogs(line) > 0; }, timeout);
    }
    bool waitReceived(std::size_t count) const
    {
        return waitUntil([&] { return received().size() >= count; });
    }
    bool waitPeers(const std::vector<std::string> &labels) const
    {
        return waitUntil([&] { return !peerReports.empty() && peerReports.back() == labels; });
    }

    std::unique_ptr<RTPMidiSession> session;
    std::vector<std::vector<std::string>> peerReports;
    std::vector<RTPSessionStatus> statuses; // main thread

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_logs;
    std::vector<Bytes> m_received;
    bool m_receivedOnMainThread = false;
};

} // namespace korvane::test
