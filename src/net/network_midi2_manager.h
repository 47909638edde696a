#pragma once

// Owns the running Network MIDI 2.0 sessions, one per enabled configuration,
// beside RTPManager. A session is an endpoint of kind rtp named after its
// configuration, so routing treats it like an RTP-MIDI session. Main-thread
// object, except sendToKey, panic and the input callbacks (any thread).

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/network_inputs.h"
#include "net/network_midi2_session.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {

class NetworkMIDI2Manager : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t maxLogLines = 200;
    // Session threads.
    using InputCallback = NetworkInputs::Input;
    using OriginGoneCallback = NetworkInputs::OriginGone;

    explicit NetworkMIDI2Manager(QObject *parent = nullptr);
    // Stops every session first.
    ~NetworkMIDI2Manager() override;

    // May be changed at any time; running sessions use the new ones at once.
    void setInput(InputCallback callback);
    void setOriginGone(OriginGoneCallback callback);

    // Makes the running sessions match the enabled configurations: an
    // unchanged one keeps running with its peers; the others stop (port
    // freed) before the new ones start. A configuration whose id is already
    // taken gets no session.
    void apply(const std::vector<NetworkMIDI2SessionConfig> &configs);
    // With panicFirst, every established peer gets the panic before its Bye.
    void stopAll(bool panicFirst = false);

    // Any thread: every session named key.name (exact) sends the message;
    // keys of another kind than rtp are ignored.
    void sendToKey(const EndpointKey &key, const MIDIMessage &message);
    // Any thread: control changes 123 then 120, value 0, on channels 1 to 16,
    // to every established peer of every session.
    void panic();

    std::vector<EndpointKey> routableKeys() const;

    // The UMP endpoint name sessions created from now on announce.
    std::string localName() const { return m_localName; }
    void setLocalName(std::string name) { m_localName = std::move(name); }

    // Published; changed on the main thread only.
    const std::deque<std::string> &logLines() const { return m_logLines; }
    const std::map<Uuid, NetworkMIDI2Status> &statusBySession() const { return m_statusBySession; }
    // UMPs and messages lost or refused by every session since it started,
    // as last reported.
    std::uint64_t droppedCount() const { return m_droppedCount; }

    // Sessions created from now on (tests shorten the timers, inject a resolver).
    void setSessionTiming(NetworkMIDI2Session::Timing timing) { m_timing = timing; }
    void setResolver(NetworkMIDI2Session::Resolver resolver) { m_resolver = std::move(resolver); }

signals:
    void statusBySessionChanged();
    void logLinesChanged();
    void logLineAdded(QString line);
    void droppedCountChanged();

private:
    void startSession(const NetworkMIDI2SessionConfig &config);
    void appendLog(const std::string &line);
    void updateDropped();
    bool isCurrent(const Uuid &id, const NetworkMIDI2Session *session) const;
    void forget(const std::vector<std::shared_ptr<NetworkMIDI2Session>> &stopped);

    mutable std::mutex m_sessionsMutex; // guards m_sessions only; never held while stopping
    std::map<Uuid, std::shared_ptr<NetworkMIDI2Session>> m_sessions;

    std::shared_ptr<NetworkInputs> m_inputs = std::make_shared<NetworkInputs>();
    std::map<Uuid, NetworkMIDI2Status> m_statusBySession;
    std::deque<std::string> m_logLines;
    std::uint64_t m_droppedCount = 0;
    std::uint64_t m_droppedGone = 0; // what stopped sessions had counted
    std::string m_localName = "KORVANE";
    NetworkMIDI2Session::Timing m_timing;
    NetworkMIDI2Session::Resolver m_resolver = &RTPMidiSession::systemResolver;
};

} // namespace korvane
