#pragma once

// Owns the running RTP-MIDI sessions, one per enabled session configuration,
// routes outgoing network MIDI to them by name and feeds what they receive to
// the router. Main-thread object, except sendToKey (any thread).

#include "midi/midi_message.h"
#include "model/project.h"
#include "net/rtp_midi_session.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvane {

class MIDIRouter;

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
    void stopAll();

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
    // State, peers and their round-trip times, as each session last reported.
    const std::map<Uuid, RTPSessionStatus> &statusBySession() const { return m_statusBySession; }

    void setRouter(std::weak_ptr<MIDIRouter> router);
    // Timers of sessions created from now on (tests shorten them).
    void setSessionTiming(RTPMidiSession::Timing timing) { m_timing = timing; }
    // Host lookups of sessions created from now on (tests inject one).
    void setResolver(RTPMidiSession::Resolver resolver) { m_resolver = std::move(resolver); }

signals:
    void peersBySessionChanged();
    void statusBySessionChanged();
    void logLinesChanged();
    void logLineAdded(QString line);

private:
    struct RouterLink; // shared with the sessions' receive callbacks

    void appendLog(const std::string &line);
    bool isCurrent(const Uuid &id, const RTPMidiSession *session) const;
    void startSession(const RTPSessionConfig &config);

    mutable std::mutex m_sessionsMutex; // guards m_sessions only; never held while stopping
    std::map<Uuid, std::shared_ptr<RTPMidiSession>> m_sessions;

    std::shared_ptr<RouterLink> m_router;
    std::map<Uuid, std::vector<std::string>> m_peersBySession;
    std::map<Uuid, RTPSessionStatus> m_statusBySession;
    std::deque<std::string> m_logLines;
    std::string m_localName = "KORVANE";
    RTPMidiSession::Timing m_timing;
    RTPMidiSession::Resolver m_resolver = &RTPMidiSession::systemResolver;
};

} // namespace korvane
