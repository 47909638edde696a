#pragma once

// One Network MIDI 2.0 (UDP) session, host or client. Its thread runs an
// event loop over its socket and timers; the protocol lives in
// NetworkMIDI2SessionCore. MIDI is sent from the caller's thread.

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/network_midi2_session_core.h"
#include "net/rtp_midi_session.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QObject;
class QThread;

namespace korvane {

class NetworkMIDI2SessionWorker;
struct NetworkMIDI2ReportBox;

class NetworkMIDI2Session {
public:
    using Timing = NetworkMIDI2Timing;
    // Session thread, synchronously, in the order received. origin names the
    // sending peer's current established period (unique in the process).
    using ReceiveCallback = std::function<void(const MIDIMessage &, std::uint64_t origin)>;
    // Session thread, after the last message of that origin: the peer left,
    // timed out, invited again, or the session stopped.
    using OriginGoneCallback = std::function<void(std::uint64_t origin)>;
    using LogCallback = std::function<void(const std::string &)>;
    using StatusCallback = std::function<void(const NetworkMIDI2Status &)>;
    using Resolver = RTPMidiSession::Resolver;

    // Opens nothing. endpointName is the UMP endpoint name announced to peers.
    NetworkMIDI2Session(NetworkMIDI2SessionConfig config, std::string endpointName);
    // Stops the session (see stop()).
    ~NetworkMIDI2Session();
    NetworkMIDI2Session(const NetworkMIDI2Session &) = delete;
    NetworkMIDI2Session &operator=(const NetworkMIDI2Session &) = delete;

    const NetworkMIDI2SessionConfig &config() const { return m_config; }
    const std::string &endpointName() const { return m_endpointName; }
    EndpointKey endpointKey() const { return EndpointKey(EndpointKind::rtp, m_config.name); }

    // Set before start(). onStatus runs on the main thread, asynchronously
    // and coalesced, only while this session exists.
    void setOnReceive(ReceiveCallback callback) { m_onReceive = std::move(callback); }
    void setOnOriginGone(OriginGoneCallback callback) { m_onOriginGone = std::move(callback); }
    void setLog(LogCallback callback) { m_log = std::move(callback); }
    void setOnStatus(StatusCallback callback) { m_onStatus = std::move(callback); }
    void setTiming(Timing timing) { m_timing = timing; }
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }

    // Starts the thread and schedules the start procedure; returns at once.
    void start();
    // Bye to every peer, socket closed, "arrêté", thread ended, before it
    // returns (the port can be bound again at once). Idempotent; from the
    // session's own thread it runs at once and the thread ends afterwards.
    void stop();
    // Any thread: to every established peer, from the caller's thread.
    void send(const MIDIMessage &message);
    // UMPs and messages lost or refused so far, both ways.
    std::uint64_t dropped() const;

private:
    NetworkMIDI2SessionConfig m_config;
    std::string m_endpointName;
    Timing m_timing;
    ReceiveCallback m_onReceive;
    OriginGoneCallback m_onOriginGone;
    LogCallback m_log;
    StatusCallback m_onStatus;
    Resolver m_resolver = &RTPMidiSession::systemResolver;

    std::shared_ptr<NetworkMIDI2ReportBox> m_reports;
    std::unique_ptr<QObject> m_mainContext;              // lives on the main thread
    std::unique_ptr<NetworkMIDI2SessionWorker> m_worker; // used by m_thread; destroyed after it ends
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopping{false};
};

} // namespace korvane
