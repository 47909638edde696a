#pragma once

// Helpers for RTP session tests: free port pairs, a hand-driven peer made of
// two plain UDP sockets, and a probe that records what a session reports.
// Everything binds and sends on 127.0.0.1 only.

#include "net/apple_midi.h"
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
#include <string>
#include <vector>

namespace korvane::test {

using namespace std::chrono_literals;

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

// A port P with P and P + 1 free right now, chosen at random so parallel
// test runs rarely collide.
inline int freePortPair()
{
    static std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> pick(20000, 59998);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int p = pick(rng);
        const int a = bindLoopback(p);
        const int b = a >= 0 ? bindLoopback(p + 1) : -1;
        if (a >= 0)
            ::close(a);
        if (b >= 0) {
            ::close(b);
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

// A remote participant driven by hand: control socket on port(), data socket on port() + 1.
class FakePeer {
public:
    FakePeer()
    {
        for (int attempt = 0; attempt < 20 && m_data < 0; ++attempt) {
            m_port = freePortPair();
            m_control = bindLoopback(m_port);
            m_data = m_control >= 0 ? bindLoopback(m_port + 1) : -1;
            if (m_data < 0 && m_control >= 0) {
                ::close(m_control);
                m_control = -1;
            }
        }
    }
    ~FakePeer()
    {
        if (m_control >= 0)
            ::close(m_control);
        if (m_data >= 0)
            ::close(m_data);
    }
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    bool ok() const { return m_data >= 0; }
    int port() const { return m_port; }

    void sendControl(const AppleMIDI::Bytes &packet, int toPort) const
    {
        sendFrom(m_control, packet, toPort);
    }
    void sendData(const AppleMIDI::Bytes &packet, int toPort) const { sendFrom(m_data, packet, toPort); }

    // Next datagram on the control (false) or data (true) socket, spinning the
    // event loop meanwhile; nullopt after the timeout.
    std::optional<AppleMIDI::Bytes> receive(bool data, std::chrono::milliseconds timeout = 3s)
    {
        std::optional<AppleMIDI::Bytes> got;
        waitUntil([&] { return (got = tryReceive(data ? m_data : m_control)).has_value(); }, timeout);
        return got;
    }

    // Next datagram matching pred (others are skipped).
    template <class Pred>
    std::optional<AppleMIDI::Bytes> receiveMatching(bool data, Pred pred,
                                                    std::chrono::milliseconds timeout = 3s)
    {
        std::optional<AppleMIDI::Bytes> got;
        waitUntil(
            [&] {
                while (auto p = tryReceive(data ? m_data : m_control)) {
                    if (pred(*p)) {
                        got = std::move(p);
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return got;
    }

    // Invites the session at controlPort the way a remote session would
    // (IN on control, then IN on data) and consumes both OKs.
    bool establishWith(int controlPort, const std::string &name, std::uint32_t ssrc = 0x5151)
    {
        const AppleMIDI::Exchange in{AppleMIDI::Command::invitation, 0xABCD, ssrc, name};
        sendControl(AppleMIDI::encodeExchange(in), controlPort);
        if (!receive(false))
            return false;
        sendData(AppleMIDI::encodeExchange(in), controlPort + 1);
        return receiveMatching(true,
                               [](const AppleMIDI::Bytes &b) {
                                   const auto e = AppleMIDI::decodeExchange(b);
                                   return e && e->command == AppleMIDI::Command::invitationOK;
                               })
            .has_value();
    }

private:
    static void sendFrom(int fd, const AppleMIDI::Bytes &packet, int toPort)
    {
        const auto to = loopback(toPort);
        (void)::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                       sizeof to);
    }
    static std::optional<AppleMIDI::Bytes> tryReceive(int fd)
    {
        AppleMIDI::Bytes buf(4096);
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0)
            return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

    int m_port = -1;
    int m_control = -1;
    int m_data = -1;
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
        session->setOnReceive([this](const MIDIMessage &m) {
            std::lock_guard lock(m_mutex);
            m_received.push_back(m);
            m_receivedOnMainThread = m_receivedOnMainThread || QThread::currentThread() == qApp->thread();
        });
        session->setOnPeersChanged([this](const std::vector<std::string> &labels) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            peerReports.push_back(labels);
        });
    }

    // The session goes first: its stop procedure still logs.
    ~SessionProbe() { session.reset(); }
    SessionProbe(const SessionProbe &) = delete;
    SessionProbe &operator=(const SessionProbe &) = delete;

    // Starts the session and waits for its "écoute sur" line (sockets bound).
    bool startListening()
    {
        session->start();
        const auto &c = session->config();
        return waitLog("RTP " + c.name + ": écoute sur " + std::to_string(c.localPort) + "/" +
                       std::to_string(c.localPort + 1) + " (SSRC " + std::to_string(session->ssrc()) + ")");
    }

    std::vector<std::string> logs() const
    {
        std::lock_guard lock(m_mutex);
        return m_logs;
    }
    std::vector<MIDIMessage> received() const
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
    bool waitReceived(std::size_t count, std::chrono::milliseconds timeout = 3s) const
    {
        return waitUntil([&] { return received().size() >= count; }, timeout);
    }
    std::optional<std::vector<std::string>> lastPeers() const
    {
        if (peerReports.empty())
            return std::nullopt;
        return peerReports.back();
    }

    std::unique_ptr<RTPMidiSession> session;
    std::vector<std::vector<std::string>> peerReports;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_logs;
    std::vector<MIDIMessage> m_received;
    bool m_receivedOnMainThread = false;
};

} // namespace korvane::test
