#include "net/rtp_manager.h"

#include "model/text.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <set>

namespace korvane {

RTPManager::RTPManager(QObject *parent) : QObject(parent) {}

RTPManager::~RTPManager()
{
    stopAll();
}

void RTPManager::setInput(Input input)
{
    m_inputs->setInput(std::move(input));
}

void RTPManager::setOriginGone(OriginGone originGone)
{
    m_inputs->setOriginGone(std::move(originGone));
}

void RTPManager::apply(const std::vector<RTPSessionConfig> &configs)
{
    std::vector<std::shared_ptr<RTPMidiSession>> stopping;
    std::set<Uuid> kept;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            const auto &running = it->second->config();
            const bool unchanged =
                std::any_of(configs.begin(), configs.end(),
                            [&](const RTPSessionConfig &c) { return c.enabled && c == running; });
            if (unchanged) {
                kept.insert(it->first);
                ++it;
            } else {
                stopping.push_back(std::move(it->second));
                it = m_sessions.erase(it);
            }
        }
    }
    // Each stop returns once its BY packets are out and both sockets are
    // closed, so a changed session can bind the same ports again below.
    bool forgotten = false;
    for (auto &session : stopping)
        session->requestStop(false);
    for (auto &session : stopping) {
        const Uuid id = session->config().id;
        session->stop();
        m_droppedByStopped += session->droppedPackets();
        forgotten = m_peersBySession.erase(id) + m_statusBySession.erase(id) > 0 || forgotten;
    }
    stopping.clear();
    updateDropped();
    if (forgotten) {
        emit peersBySessionChanged();
        emit statusBySessionChanged();
    }
    for (const auto &config : configs) {
        if (config.enabled && !kept.count(config.id))
            startSession(config);
    }
}

void RTPManager::startSession(const RTPSessionConfig &config)
{
    auto session = std::make_shared<RTPMidiSession>(config, m_localName);
    session->setTiming(m_timing);
    session->setResolver(m_resolver);

    NetworkInputs::feedFrom(m_inputs, *session, session->endpointKey());
    // Session thread: hop to the main thread. Sessions are stopped (their
    // threads ended) before this manager goes away.
    const QPointer<RTPManager> self(this);
    session->setLog([self](const std::string &line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, line] {
                if (self)
                    self->appendLog(line);
            },
            Qt::QueuedConnection);
    });
    // Already on the main thread. A report from a session already replaced
    // under this id is stale.
    const auto id = config.id;
    const RTPMidiSession *raw = session.get();
    session->setOnPeersChanged([self, id, raw](const std::vector<std::string> &labels) {
        if (!self || !self->isCurrent(id, raw))
            return;
        self->m_peersBySession[id] = labels;
        emit self->peersBySessionChanged();
    });
    session->setOnStatus([self, id, raw](const RTPSessionStatus &status) {
        if (!self || !self->isCurrent(id, raw) || self->m_statusBySession[id] == status)
            return;
        self->m_statusBySession[id] = status;
        emit self->statusBySessionChanged();
        self->updateDropped();
    });

    {
        std::lock_guard guard(m_sessionsMutex);
        if (!m_sessions.emplace(config.id, session).second)
            return; // duplicate id: the first configuration keeps it
    }
    session->start();
}

void RTPManager::stopAll(bool panicFirst)
{
    std::map<Uuid, std::shared_ptr<RTPMidiSession>> stopping;
    {
        std::lock_guard guard(m_sessionsMutex);
        stopping.swap(m_sessions);
    }
    // All at once: each may wait up to 300 ms for its panic to be confirmed.
    for (auto &[id, session] : stopping)
        session->requestStop(panicFirst);
    for (auto &[id, session] : stopping) {
        session->stop();
        m_droppedByStopped += session->droppedPackets();
    }
    stopping.clear();
    if (!m_peersBySession.empty()) {
        m_peersBySession.clear();
        emit peersBySessionChanged();
    }
    if (!m_statusBySession.empty()) {
        m_statusBySession.clear();
        emit statusBySessionChanged();
    }
    updateDropped();
}

void RTPManager::sendToKey(const EndpointKey &key, const MIDIMessage &message)
{
    if (key.kind != EndpointKind::rtp)
        return;
    // The table lock is held for the lookup only; sending takes each
    // session's own lock, never nested inside this one.
    std::vector<std::shared_ptr<RTPMidiSession>> targets;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (const auto &[id, session] : m_sessions) {
            if (session->config().name == key.name)
                targets.push_back(session);
        }
    }
    for (const auto &session : targets)
        session->send(message);
}

void RTPManager::panic()
{
    std::vector<std::shared_ptr<RTPMidiSession>> targets;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (const auto &[id, session] : m_sessions)
            targets.push_back(session);
    }
    for (const auto &session : targets)
        session->sendPanic();
}

void RTPManager::updateDropped()
{
    std::uint64_t total = m_droppedByStopped;
    for (const auto &[id, status] : m_statusBySession)
        total += status.droppedPackets;
    if (total <= m_droppedMessages)
        return;
    m_droppedMessages = total;
    emit droppedMessagesChanged();
}

std::vector<EndpointKey> RTPManager::routableKeys() const
{
    std::lock_guard guard(m_sessionsMutex);
    std::vector<EndpointKey> keys;
    keys.reserve(m_sessions.size());
    for (const auto &[id, session] : m_sessions)
        keys.push_back(session->endpointKey());
    return keys;
}

bool RTPManager::isCurrent(const Uuid &id, const RTPMidiSession *session) const
{
    std::lock_guard guard(m_sessionsMutex);
    const auto it = m_sessions.find(id);
    return it != m_sessions.end() && it->second.get() == session;
}

void RTPManager::appendLog(const std::string &line)
{
    m_logLines.push_back(line);
    while (m_logLines.size() > m_logCapacity)
        m_logLines.pop_front();
    emit logLinesChanged();
    emit logLineAdded(toQString(line));
}

} // namespace korvane
