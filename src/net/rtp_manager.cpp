#include "net/rtp_manager.h"

#include "midi/midi_router.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

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
    stopAll();
    for (const auto &config : configs) {
        if (!config.enabled)
            continue;
        auto session = std::make_shared<RTPMidiSession>(config, m_localName);
        session->setTiming(m_timing);

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
        // Already on the main thread.
        session->setOnPeersChanged(
            [self, id = config.id, raw = session.get()](const std::vector<std::string> &labels) {
                if (self)
                    self->storePeers(id, raw, labels);
            });

        {
            std::lock_guard guard(m_sessionsMutex);
            if (!m_sessions.emplace(config.id, session).second)
                continue; // duplicate id: the first configuration keeps it
        }
        session->start();
    }
}

void RTPManager::stopAll()
{
    std::map<Uuid, std::shared_ptr<RTPMidiSession>> stopping;
    {
        std::lock_guard guard(m_sessionsMutex);
        stopping.swap(m_sessions);
    }
    // Each stop returns once its BY packets are out and both sockets are
    // closed, so the next apply can bind the same ports.
    for (auto &[id, session] : stopping)
        session->stop();
    stopping.clear();
    if (!m_peersBySession.empty()) {
        m_peersBySession.clear();
        emit peersBySessionChanged();
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

void RTPManager::storePeers(const Uuid &id, const RTPMidiSession *session, std::vector<std::string> labels)
{
    {
        // A report from a session already replaced under this id is stale.
        std::lock_guard guard(m_sessionsMutex);
        const auto it = m_sessions.find(id);
        if (it == m_sessions.end() || it->second.get() != session)
            return;
    }
    m_peersBySession[id] = std::move(labels);
    emit peersBySessionChanged();
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
