#include "net/rtp_manager.h"

#include "midi/midi_router.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <set>

namespace korvane {

struct RTPManager::RouterLink {
    std::mutex mutex;
    std::weak_ptr<MIDIRouter> router;

    std::shared_ptr<MIDIRouter> lock()
    {
        std::lock_guard guard(mutex);
        return router.lock();
    }
};

RTPManager::RTPManager(QObject *parent) : QObject(parent), m_router(std::make_shared<RouterLink>()) {}

RTPManager::~RTPManager()
{
    stopAll();
}

void RTPManager::setRouter(std::weak_ptr<MIDIRouter> router)
{
    std::lock_guard guard(m_router->mutex);
    m_router->router = std::move(router);
}

void RTPManager::apply(const std::vector<RTPSessionConfig> &configs)
{
    std::vector<std::shared_ptr<RTPMidiSession>> stopping;
    std::set<Uuid> kept;
    {
        std::lock_guard guard(m_sessionsMutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            const auto &running = it->second->config();
            const bool unchanged = std::any_of(configs.begin(), configs.end(), [&](const RTPSessionConfig &c) {
                return c.enabled && c == running;
            });
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
    for (auto &session : stopping) {
        const Uuid id = session->config().id;
        session->stop();
        forgotten = m_peersBySession.erase(id) + m_statusBySession.erase(id) > 0 || forgotten;
    }
    stopping.clear();
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

    // Session thread, synchronously.
    session->setOnReceive([link = m_router, key = session->endpointKey()](const MIDIMessage &message) {
        if (auto router = link->lock())
            router->process(key, message);
    });
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
    });

    {
        std::lock_guard guard(m_sessionsMutex);
        if (!m_sessions.emplace(config.id, session).second)
            return; // duplicate id: the first configuration keeps it
    }
    session->start();
}

void RTPManager::stopAll()
{
    std::map<Uuid, std::shared_ptr<RTPMidiSession>> stopping;
    {
        std::lock_guard guard(m_sessionsMutex);
        stopping.swap(m_sessions);
    }
    for (auto &[id, session] : stopping)
        session->stop();
    stopping.clear();
    if (!m_peersBySession.empty()) {
        m_peersBySession.clear();
        emit peersBySessionChanged();
    }
    if (!m_statusBySession.empty()) {
        m_statusBySession.clear();
        emit statusBySessionChanged();
    }
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
    while (m_logLines.size() > maxLogLines)
        m_logLines.pop_front();
    emit logLinesChanged();
    emit logLineAdded(QString::fromStdString(line));
}

} // namespace korvane
