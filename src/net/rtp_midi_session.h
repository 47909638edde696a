#pragma once

// One RTP-MIDI network session (AppleMIDI session protocol, RFC 6295 data).
// Each session runs its own thread with its own event loop: its sockets,
// timers, peer table and the delivery of what it receives live there, so
// that state needs no lock. MIDI data is sent from the caller's thread.

#include "midi/midi_message.h"
#include "model/project.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;
class QThread;

namespace korvane {

class RTPSessionWorker;
struct RTPSendPath;

class RTPMidiSession {
public:
    struct Timing {
        std::chrono::milliseconds clockPeriod{std::chrono::seconds(10)};
        std::chrono::milliseconds livenessPeriod{std::chrono::seconds(10)};
        std::chrono::milliseconds peerTimeout{std::chrono::seconds(30)};
    };

    using ReceiveCallback = std::function<void(const MIDIMessage &)>;
    using LogCallback = std::function<void(const std::string &)>;
    using PeersCallback = std::function<void(const std::vector<std::string> &)>;

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
    // onReceive and log run on the session thread; onPeersChanged runs on the
    // main thread, asynchronously, and only while this session exists.
    void setOnReceive(ReceiveCallback callback) { m_onReceive = std::move(callback); }
    void setLog(LogCallback callback) { m_log = std::move(callback); }
    void setOnPeersChanged(PeersCallback callback) { m_onPeersChanged = std::move(callback); }
    void setTiming(Timing timing) { m_timing = timing; }
    // The sequence number of the last packet sent; the next one carries this + 1.
    void setLastSequence(std::uint16_t sequence);

    // Starts the thread and schedules the start procedure; returns at once.
    // A session starts at most once.
    void start();
    // Runs the stop procedure (BY to every peer, timers cancelled, sockets
    // closed, empty peer report, "arrêté") and ends the thread before it
    // returns, so the same ports can be bound again at once. Idempotent.
    // Called from the session's own thread (inside a callback) it runs the
    // procedure at once and the thread ends when the callback returns.
    void stop();
    // Any thread, synchronously: one packet (or one packet per sysex segment)
    // to every established peer, from the data socket. Concurrent senders are
    // serialised by a lock held only to number and send the packets.
    void send(const MIDIMessage &message);

private:
    RTPSessionConfig m_config;
    std::string m_localName;
    std::uint32_t m_ssrc;
    std::uint32_t m_initiatorToken;
    Timing m_timing;
    ReceiveCallback m_onReceive;
    LogCallback m_log;
    PeersCallback m_onPeersChanged;

    std::unique_ptr<RTPSendPath> m_sendPath;
    std::unique_ptr<QObject> m_mainContext;     // lives on the main thread
    std::unique_ptr<RTPSessionWorker> m_worker; // used by m_thread; destroyed after it ends
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopping{false};
};

} // namespace korvane
