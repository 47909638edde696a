#pragma once

// One RTP-MIDI network session (AppleMIDI session protocol, RFC 6295 data).
// Each session runs its own thread with its own event loop: its sockets,
// timers, peer table and the delivery of what it receives live there, so
// that state needs no lock. MIDI data is sent from the caller's thread.

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/rtp_session_core.h"
#include "net/rtp_session_types.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QObject;
class QThread;
struct sockaddr_in;

namespace korvane {

class RTPSessionWorker;
struct RTPSendPath;
struct RTPReportBox;

class RTPMidiSession {
public:
    using Timing = RTPSessionTiming;
    using ReceiveCallback = RTPReceiveCallback;
    using OriginGoneCallback = RTPOriginGoneCallback;
    using LogCallback = RTPLogCallback;
    using PeersCallback = RTPPeersCallback;
    using StatusCallback = RTPStatusCallback;
    using Resolver = RTPResolver;
    static std::optional<std::uint32_t> systemResolver(const std::string &host);

    // Opens nothing. Peer reports go to the thread of the QCoreApplication.
    RTPMidiSession(RTPSessionConfig config, std::string localName);
    // Stops the session (see stop()).
    ~RTPMidiSession();
    RTPMidiSession(const RTPMidiSession &) = delete;
    RTPMidiSession &operator=(const RTPMidiSession &) = delete;

    const RTPSessionConfig &config() const { return m_config; }
    const std::string &localName() const { return m_localName; }
    std::uint32_t ssrc() const { return m_ssrc; }
    std::uint32_t initiatorToken() const { return m_initiatorToken; }
    EndpointKey endpointKey() const { return EndpointKey(EndpointKind::rtp, m_config.name); }

    // Set before start(); later changes are not seen by a running session.
    // onReceive and log run on the session thread; onPeersChanged and
    // onStatus run on the main thread, asynchronously, and only while this
    // session exists. Reports are coalesced: a burst of changes gives one
    // delivery of the latest state.
    void setOnReceive(ReceiveCallback callback) { m_onReceive = std::move(callback); }
    // Session thread, after the last message of that period was delivered:
    // an established peer left (BY), fell silent, was dropped, joined again
    // with a new SSRC, or the session stopped (once per established peer).
    void setOnOriginGone(OriginGoneCallback callback) { m_onOriginGone = std::move(callback); }
    void setLog(LogCallback callback) { m_log = std::move(callback); }
    void setOnPeersChanged(PeersCallback callback) { m_onPeersChanged = std::move(callback); }
    void setOnStatus(StatusCallback callback) { m_onStatus = std::move(callback); }
    void setTiming(Timing timing) { m_timing = timing; }
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }
    // The sequence number of the last packet sent; the next one carries this + 1.
    void setLastSequence(std::uint16_t sequence);

    // Starts the thread and schedules the start procedure; returns at once.
    // A session starts at most once.
    void start();
    // Runs the stop procedure (BY to every peer, timers cancelled, sockets
    // closed, empty peer report, "arrêté") and ends the thread before it
    // returns, so the same ports can be bound again at once; a host lookup
    // in progress is abandoned, not waited for. Idempotent.
    // Called from the session's own thread (inside a callback) it runs the
    // procedure at once and the thread ends when the callback returns.
    // With panicFirst the session first sends the network panic (control
    // changes 123 and 120 on the 16 channels) to its established peers and
    // waits up to 300 ms for their receiver feedback to confirm it, else sends
    // it a second time, before its BY.
    void stop(bool panicFirst = false);
    // The same without waiting: the thread ends by itself; stop() waits for it.
    void requestStop(bool panicFirst = false);
    // Any thread. Messages leave in the order given: at once from the caller's
    // thread when nothing waits, else queued and sent by the session thread
    // (large system-exclusive messages as paced segments). Only real-time
    // bytes overtake queued ones. The send lock is held for one packet at a time.
    void send(const MIDIMessage &message);
    // Any thread: the network panic through send(), in order.
    void sendPanic();
    // MIDI packets that could not be sent since start.
    std::uint64_t droppedPackets() const;
    // Tests: replaces sendto() for MIDI data packets. Set before start().
    void
    setSendFunction(std::function<long(int, const std::uint8_t *, std::size_t, const sockaddr_in &)> send);

private:
    RTPSessionConfig m_config;
    std::string m_localName;
    std::uint32_t m_ssrc;
    std::uint32_t m_initiatorToken;
    Timing m_timing;
    ReceiveCallback m_onReceive;
    OriginGoneCallback m_onOriginGone;
    LogCallback m_log;
    PeersCallback m_onPeersChanged;
    StatusCallback m_onStatus;
    Resolver m_resolver = &RTPMidiSession::systemResolver;

    std::unique_ptr<RTPSendPath> m_sendPath;
    std::shared_ptr<RTPReportBox> m_reports;    // shared with deliveries queued to the main thread
    std::unique_ptr<QObject> m_mainContext;     // lives on the main thread
    std::unique_ptr<RTPSessionWorker> m_worker; // used by m_thread; destroyed after it ends
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopRequested{false};
};

} // namespace korvane
