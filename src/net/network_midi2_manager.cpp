#include "net/network_midi2_manager.h"

#include "model/text.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <set>

namespace korvane {

NetworkMIDI2Manager::NetworkMIDI2Manager(QObject *parent) : QObject(parent) {}

NetworkMIDI2Manager::~NetworkMIDI2Manager()
{
    stopAll();
}

void NetworkMIDI2Manager::setInput(InputCallback callback)
{
    m_inputs->setInput(std::move(callback));
}

void NetworkMIDI2Manager::setOriginGone(OriginGoneCallback callback)
{
    m_inputs->setOriginGone(std::move(callback));
}

void NetworkMIDI2Manager::apply(const std::vector<NetworkMIDI2SessionConfig> &configs)
{
    std::vector<std::shared_ptr<NetworkMIDI2Session>> stopping;
    std::set<Uuid> kept;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            const auto &running = it->second->config();
            const bool unchanged = std::any_of(configs.begin(), configs.end(),
                                               [&](const auto &c) { return c.enabled && c == running; });
            if (unchanged) {
                kept.insert(it->first);
                ++it;
            } else {
                stopping.push_back(std::move(it->second));
                it = m_sessions.erase(it);
            }
        }
    }
    // Each stop returns once its Bye is out and its socket closed, so a
    // changed session can bind the same port below.
    for (const auto &session : stopping)
        session->stop();
    forget(stopping);
    for (const auto &config : configs) {
        if (config.enabled && !kept.count(config.id))
            startSession(config);
    }
}

void NetworkMIDI2Manager::startSession(const NetworkMIDI2SessionConfig &config)
{
    {
        std::lock_guard guard(m_sessionsMutex);
        if (m_sessions.count(config.id))
            return; // duplicate id: the first configuration keeps it
    }
    auto session = std::make_shared<NetworkMIDI2Session>(config, m_localName);
    session->setTiming(m_timing);
    session->setResolver(m_resolver);
    NetworkInputs::feedFrom(m_inputs, *session, session->endpointKey());
    // Session thread: hop to the main thread. Sessions are stopped (their
    // threads ended) before this manager goes away.
    const QPointer<NetworkMIDI2Manager> self(this);
    session->setLog([self](const std::string &line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, line] {
                if (self)
                    self->appendLog(line);
            },
            Qt::QueuedConnection);
    });
    const Uuid id = config.id;
    const NetworkMIDI2Session *raw = session.get();
    session->setOnStatus([self, id, raw](const NetworkMIDI2Status &status) {
        if (!self || !self->isCurrent(id, raw) || self->m_statusBySession[id] == status)
            return;
        self->m_statusBySession[id] = status;
        emit self->statusBySessionChanged();
        self->updateDropped();
    });
    // Started before other threads can find it in the table.
    session->start();
    std::lock_guard guard(m_sessionsMutex);
    m_sessions.emplace(config.id, std::move(session));
}

void NetworkMIDI2Manager::forget(const std::vector<std::shared_ptr<NetworkMIDI2Session>> &stopped)
{
    bool changed = false;
    for (const auto &session : stopped) {
        m_droppedGone += session->dropped();
        changed = m_statusBySession.erase(session->config().id) > 0 || changed;
    }
    if (changed)
        emit statusBySessionChanged();
    updateDropped();
}

void NetworkMIDI2Manager::stopAll(bool panicFirst)
{
    if (panicFirst)
        panic();
    std::vector<std::shared_ptr<NetworkMIDI2Session>> stopping;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto &[id, session] : m_sessions)
            stopping.push_back(std::move(session));
        m_sessions.clear();
    }
    for (const auto &session : stopping)
        session->stop();
    forget(stopping);
}

void NetworkMIDI2Manager::sendToKey(const EndpointKey &key, const MIDIMessage &message)
{
    if (key.kind != EndpointKind::rtp)
        return;
    // The table lock is held for the lookup only.
    std::vector<std::shared_ptr<NetworkMIDI2Session>> targets;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (const auto &[id, session] : m_sessions)
            if (session->config().name == key.name)
                targets.push_back(session);
    }
    for (const auto &session : targets)
        session->send(message);
}

void NetworkMIDI2Manager::panic()
{
    std::vector<std::shared_ptr<NetworkMIDI2Session>> targets;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (const auto &[id, session] : m_sessions)
            targets.push_back(session);
    }
    for (const auto &session : targets) {
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            const auto status = static_cast<std::uint8_t>(0xB0 + channel);
            session->send(MIDIMessage({status, 123, 0}));
            session->send(MIDIMessage({status, 120, 0}));
        }
    }
}

std::vector<EndpointKey> NetworkMIDI2Manager::routableKeys() const
{
    std::lock_guard guard(m_sessionsMutex);
    std::vector<EndpointKey> keys;
    for (const auto &[id, session] : m_sessions)
        keys.push_back(session->endpointKey());
    return keys;
}

bool NetworkMIDI2Manager::isCurrent(const Uuid &id, const NetworkMIDI2Session *session) const
{
    std::lock_guard guard(m_sessionsMutex);
    const auto it = m_sessions.find(id);
    return it != m_sessions.end() && it->second.get() == session;
}

void NetworkMIDI2Manager::updateDropped()
{
    std::uint64_t total = m_droppedGone;
    for (const auto &[id, status] : m_statusBySession)
        total += status.dropped;
    if (total == m_droppedCount)
        return;
    m_droppedCount = total;
    emit droppedCountChanged();
}

void NetworkMIDI2Manager::appendLog(const std::string &line)
{
    m_logLines.push_back(line);
    while (m_logLines.size() > maxLogLines)
        m_logLines.pop_front();
    emit logLinesChanged();
    emit logLineAdded(toQString(line));
}

} // namespace korvane
