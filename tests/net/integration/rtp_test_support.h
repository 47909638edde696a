#pragma once

// Helpers for RTP session tests: configurations on 127.0.0.1 and a probe
// that records what a session reports.

#include "net/apple_midi.h"
#include "net/rtp_journal_state.h"
#include "net/rtp_midi_session.h"
#include "support/hex.h"
#include "support/test_support.h"
#include "support/udp_loopback.h"

#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane::test {

using namespace std::chrono_literals;
using AppleMIDI::Bytes;

inline const MIDIMessage kNoteOn({0x90, 0x3C, 0x64});

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

// Another program's session inviting the listener on 127.0.0.1:port, which
// knows it as `name`.
inline std::unique_ptr<SessionProbe> inviter(int port, const std::string &name)
{
    RTPMidiSession::Timing timing;
    timing.inviteFastPeriod = 20ms;
    auto peer = std::make_unique<SessionProbe>(initiatorConfig("Pair", freePortPair(), port), name, timing);
    peer->session->start();
    return peer;
}

} // namespace korvane::test
