#pragma once

// Helpers for the network session tests: RTP configurations on 127.0.0.1
// and probes that record what a session reports.

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
#include <set>
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

// A session of either protocol with what it reports recorded: log lines,
// messages received and origins gone (session thread), its latest status
// (main thread). Not started.
template <class Session, class Status> class RecordingProbe {
public:
    template <class Config>
    RecordingProbe(const Config &config, const std::string &localName)
        : session(std::make_unique<Session>(config, localName))
    {
        session->setLog([this](const std::string &line) { record([&] { m_logs.push_back(line); }); });
        session->setOnReceive([this](const MIDIMessage &m, std::uint64_t origin) {
            record([&] {
                m_received.push_back(m.bytes);
                m_origins.insert(origin);
                m_receivedOnMainThread |= QThread::currentThread() == qApp->thread();
            });
        });
        session->setOnOriginGone([this](std::uint64_t origin) { record([&] { m_gone.push_back(origin); }); });
        session->setOnStatus([this](const Status &s) { status = s; });
    }
    // The session goes first: its stop procedure still logs.
    ~RecordingProbe() { session.reset(); }

    std::vector<std::string> logs() const { return copy(m_logs); }
    // The bytes of each message received, in order.
    std::vector<Bytes> received() const
    {
        EXPECT_FALSE(copy(m_receivedOnMainThread)) << "onReceive must run on the session thread";
        return copy(m_received);
    }
    std::set<std::uint64_t> origins() const { return copy(m_origins); }
    std::vector<std::uint64_t> gone() const { return copy(m_gone); }
    long countLogs(const std::string &line) const
    {
        const auto all = logs();
        return std::count(all.begin(), all.end(), line);
    }
    bool waitLog(const std::string &line, long count = 1, std::chrono::milliseconds timeout = 5s) const
    {
        return waitUntil([&] { return countLogs(line) >= count; }, timeout);
    }
    bool waitReceived(std::size_t count) const
    {
        return waitUntil([&] { return received().size() >= count; });
    }
    bool waitState(decltype(Status::state) state) const
    {
        return waitUntil([&] { return status.state == state; });
    }

    std::unique_ptr<Session> session;
    Status status;

private:
    template <class F> void record(F f)
    {
        std::lock_guard lock(m_mutex);
        f();
    }
    template <class T> T copy(const T &member) const
    {
        std::lock_guard lock(m_mutex);
        return member;
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_logs;
    std::vector<Bytes> m_received;
    std::set<std::uint64_t> m_origins;
    std::vector<std::uint64_t> m_gone;
    bool m_receivedOnMainThread = false;
};

// An RTP session, with its peer reports (main thread) recorded too.
class SessionProbe : public RecordingProbe<RTPMidiSession, RTPSessionStatus> {
public:
    SessionProbe(const RTPSessionConfig &config, const std::string &localName,
                 RTPMidiSession::Timing timing = {})
        : RecordingProbe(config, localName)
    {
        session->setTiming(timing);
        session->setOnPeersChanged([this](const std::vector<std::string> &labels) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            peerReports.push_back(labels);
        });
    }
    ~SessionProbe() { session.reset(); } // before peerReports goes

    std::string listeningLine() const
    {
        const int p = session->config().localPort;
        return "RTP " + session->config().name + ": écoute sur " + std::to_string(p) + "/" +
               std::to_string(p + 1) + " (SSRC " + std::to_string(session->ssrc()) + ")";
    }
    // Starts the session and waits until its sockets are bound.
    bool startListening()
    {
        session->start();
        return waitLog(listeningLine());
    }
    bool waitPeers(const std::vector<std::string> &labels, std::chrono::milliseconds timeout = 5s) const
    {
        return waitUntil([&] { return !peerReports.empty() && peerReports.back() == labels; }, timeout);
    }

    std::vector<std::vector<std::string>> peerReports;
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
