#pragma once

// Owns the running RTP-MIDI sessions, one per enabled session configuration,
// routes outgoing network MIDI to them by name and hands what they receive to
// the input callback. Main-thread object, except sendToKey, panic, setInput
// and setOriginGone (any thread).

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/network_inputs.h"
#include "net/rtp_midi_session.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {

class RTPManager : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t maxLogLines = 200;

    explicit RTPManager(QObject *parent = nullptr);
    // Stops every session first.
    ~RTPManager() override;

    // Makes the running sessions match the enabled configurations. A session
    // whose configuration is unchanged (every field equal) keeps running with
    // its peers, sockets and thread; the others are stopped (each finishes
    // its stop procedure and frees its ports) before the new ones start, in
    // order. A configuration whose id is already taken gets no session.
    void apply(const std::vector<RTPSessionConfig> &configs);
    // With panicFirst every session first sends the network panic to its
    // established peers and makes sure it arrived (confirmed by the peer's
    // receiver feedback within 300 ms, else sent a second time) before its BY.
    // The sessions stop side by side; this returns once all have.
    void stopAll(bool panicFirst = false);
    // Any thread: control changes 123 then 120, value 0, on channels 1 to 16,
    // to every established peer of every running session, in each session's
    // send order.
    void panic();

    // Any thread: every session named key.name (exact) sends the message;
    // keys of another kind than rtp are ignored.
    void sendToKey(const EndpointKey &key, const MIDIMessage &message);

    std::vector<EndpointKey> routableKeys() const;

    // Announced by sessions created from now on.
    std::string localName() const { return m_localName; }
    void setLocalName(std::string name) { m_localName = std::move(name); }

    // Published; changed on the main thread only.
    const std::map<Uuid, std::vector<std::string>> &peersBySession() const { return m_peersBySession; }
    const std::deque<std::string> &logLines() const { return m_logLines; }
    void setLogCapacity(std::size_t lines) { m_logCapacity = lines; }
    // State, peers and their round-trip times, as each session last reported.
    const std::map<Uuid, RTPSessionStatus> &statusBySession() const { return m_statusBySession; }

    using Input = NetworkInputs::Input;
    using OriginGone = NetworkInputs::OriginGone;
    // Any thread. Called on session threads with the session's endpointKey();
    // origin as RTPMidiSession gives it.
    void setInput(Input input);
    void setOriginGone(OriginGone originGone);

    // MIDI messages (packets) the sessions could not send, all sessions, since
    // this manager was made. Main thread; droppedMessagesChanged when it grows.
    std::uint64_t droppedMessages() const { return m_droppedMessages; }
    // Timers of sessions created from now on (tests shorten them).
    void setSessionTiming(RTPMidiSession::Timing timing) { m_timing = timing; }
    // Host lookups of sessions created from now on (tests inject one).
    void setResolver(RTPMidiSession::Resolver resolver) { m_resolver = std::move(resolver); }

signals:
    void peersBySessionChanged();
    void statusBySessionChanged();
    void logLinesChanged();
    void logLineAdded(QString line);
    void droppedMessagesChanged();

private:
    void appendLog(const std::string &line);
    bool isCurrent(const Uuid &id, const RTPMidiSession *session) const;
    void startSession(const RTPSessionConfig &config);
    void updateDropped();

    mutable std::mutex m_sessionsMutex; // guards m_sessions only; never held while stopping
    std::map<Uuid, std::shared_ptr<RTPMidiSession>> m_sessions;

    std::shared_ptr<NetworkInputs> m_inputs = std::make_shared<NetworkInputs>();
    std::uint64_t m_droppedMessages = 0;
    std::uint64_t m_droppedByStopped = 0; // by sessions no longer in the table
    std::map<Uuid, std::vector<std::string>> m_peersBySession;
    std::map<Uuid, RTPSessionStatus> m_statusBySession;
    std::deque<std::string> m_logLines;
    std::size_t m_logCapacity = maxLogLines;
    std::string m_localName = "KORVANE";
    RTPMidiSession::Timing m_timing;
    RTPMidiSession::Resolver m_resolver = &RTPMidiSession::systemResolver;
};

} // namespace korvane
