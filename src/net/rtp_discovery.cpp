#include "net/rtp_discovery.h"

#include "model/text.h"
#include "net/rtp_session_core.h"

#include "net/rtp_discovery_avahi.h"
#include "net/rtp_discovery_link.h"

#include <avahi-common/domain.h>

#include <QThread>
#include <QTimer>

#include <algorithm>

namespace korvane {

std::string DiscoveredPeer::id() const
{
    return name + "|" + host + ":" + std::to_string(port) + (kind == Kind::midi2 ? "|midi2" : "");
}

// Instance names come from anyone on the network and end up in session names
// and log lines: made safe like peer names.
bool PeerList::add(std::vector<DiscoveredPeer> &peers, DiscoveredPeer peer)
{
    peer.name = RTPSessionCore::sanitizeName(peer.name);
    const std::string id = peer.id();
    if (std::any_of(peers.begin(), peers.end(), [&](const DiscoveredPeer &p) { return p.id() == id; }))
        return false;
    peers.push_back(std::move(peer));
    return true;
}

bool PeerList::removeNamed(std::vector<DiscoveredPeer> &peers, const std::string &name,
                           DiscoveredPeer::Kind kind)
{
    const std::string safe = RTPSessionCore::sanitizeName(name);
    return std::erase_if(peers, [&](const DiscoveredPeer &p) { return p.name == safe && p.kind == kind; }) >
           0;
}

RTPDiscovery::RTPDiscovery(QObject *parent)
    : QObject(parent), m_watchdog(new QTimer(this)), m_link(std::make_shared<RTPDiscoveryLink>())
{
    connect(m_watchdog, &QTimer::timeout, this, [this] { checkAnswers(); });
    m_link->owner = this;
    m_link->reports = this;
    // Never waited for: it ends by itself once this object is gone and the D-Bus call under
    // way, if any, has returned (bounded by D-Bus's reply time-out); it then deletes itself.
    QThread *thread = QThread::create([link = m_link] { RTPDiscoveryAvahi::run(link); });
    thread->setObjectName(QStringLiteral("korvane-dnssd"));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

RTPDiscovery::~RTPDiscovery()
{
    std::lock_guard lock(m_link->mutex);
    m_link->owner = nullptr;
    m_link->quit = true;
    m_link->wake();
}

void RTPDiscovery::sync()
{
    std::lock_guard lock(m_link->mutex);
    RTPDiscoveryLink::Wanted &wanted = m_link->wanted;
    wanted.browsing = m_browsing;
    wanted.session = m_session;
    wanted.publication.reset();
    if (m_request)
        wanted.publication = RTPDiscoveryLink::Publication{
            m_request->name, static_cast<std::uint16_t>(m_request->port), m_publication, {}};
    wanted.midi2Publication.reset();
    if (m_midi2Request)
        wanted.midi2Publication = RTPDiscoveryLink::Publication{
            m_midi2Request->name, static_cast<std::uint16_t>(m_midi2Request->port), m_midi2Publication,
            m_midi2Request->txt};
    wanted.resolveTimeout = resolveTimeout;
    wanted.reconnectInterval = reconnectInterval;
    wanted.daemonReplyTimeout = daemonReplyTimeout;
    m_link->wake();
    m_watchdog->setInterval(
        std::max<std::chrono::milliseconds>(daemonReplyTimeout / 4, std::chrono::milliseconds(10)));
    if (!wanted.browsing && !wanted.publication) {
        m_watchdog->stop();
    } else if (!m_watchdog->isActive()) {
        // The daemon has not been asked anything while nothing was wanted.
        m_link->lastAnswer = RTPDiscoveryLink::now();
        m_watchdog->start();
    }
}

void RTPDiscovery::start()
{
    if (m_browsing)
        return;
    m_browsing = true;
    ++m_session;
    sync();
}

void RTPDiscovery::stop()
{
    m_browsing = false;
    ++m_session;
    m_request.reset();
    ++m_publication;
    m_midi2Request.reset();
    ++m_midi2Publication;
    setPublished(false);
    sync();
    QMetaObject::invokeMethod(
        this,
        [this] {
            clearPeers();
            setAdvertisedName({});
            setAdvertisedMidi2Name({});
        },
        Qt::QueuedConnection);
}

void RTPDiscovery::advertise(const std::string &name, int port)
{
    if (m_request && m_request->name == name && m_request->port == port) {
        sync(); // already asked for (perhaps renamed): only retried if it is not published
        return;
    }
    ++m_publication;
    setPublished(false);
    if (port < 1 || port > 65535 || !avahi_is_valid_service_name(name.c_str())) {
        qCWarning(lcDiscovery).noquote()
            << QStringLiteral("KORVANE: publication DNS-SD refusée pour « %1 » port %2 "
                              "(nom de 1 à 63 octets et port de 1 à 65535 attendus)")
                   .arg(toQString(name))
                   .arg(port);
        m_request.reset();
        sync();
        QMetaObject::invokeMethod(
            this, [this] { setAdvertisedName({}); }, Qt::QueuedConnection);
        return;
    }
    m_request = Request{name, port, {}};
    sync();
    QMetaObject::invokeMethod(
        this, [this, name] { setAdvertisedName(name); }, Qt::QueuedConnection);
}

void RTPDiscovery::advertiseMidi2(const std::string &name, int port, const std::string &endpointName,
                                  const std::string &productInstanceId)
{
    // TXT values longer than a record allows (255 bytes with the key) are cut.
    Request request{name,
                    port,
                    {("UMPEndpointName=" + endpointName).substr(0, 255),
                     ("ProductInstanceId=" + productInstanceId).substr(0, 255)}};
    if (m_midi2Request == request) {
        sync();
        return;
    }
    ++m_midi2Publication;
    if (port < 1 || port > 65535 || !avahi_is_valid_service_name(name.c_str())) {
        qCWarning(lcDiscovery).noquote()
            << QStringLiteral("KORVANE: publication DNS-SD MIDI 2.0 refusée pour « %1 » port %2 "
                              "(nom de 1 à 63 octets et port de 1 à 65535 attendus)")
                   .arg(toQString(name))
                   .arg(port);
        withdrawMidi2();
        return;
    }
    m_midi2Request = std::move(request);
    sync();
    QMetaObject::invokeMethod(
        this, [this, name] { setAdvertisedMidi2Name(name); }, Qt::QueuedConnection);
}

void RTPDiscovery::withdrawMidi2()
{
    if (m_midi2Request) {
        ++m_midi2Publication;
        m_midi2Request.reset();
    }
    sync();
    QMetaObject::invokeMethod(
        this, [this] { setAdvertisedMidi2Name({}); }, Qt::QueuedConnection);
}

void RTPDiscovery::renamedMidi2(std::uint64_t publication, std::string name)
{
    if (publication == m_midi2Publication)
        setAdvertisedMidi2Name(std::move(name));
}

void RTPDiscovery::setAdvertisedMidi2Name(std::string name)
{
    if (name == m_advertisedMidi2Name)
        return;
    m_advertisedMidi2Name = std::move(name);
    emit advertisedNameChanged();
}

void RTPDiscovery::resolved(std::uint64_t session, DiscoveredPeer peer)
{
    if (session == m_session && m_browsing)
        appendPeer(std::move(peer));
}

void RTPDiscovery::removed(std::uint64_t session, const std::string &name, DiscoveredPeer::Kind kind)
{
    if (session == m_session)
        removePeersNamed(name, kind);
}

void RTPDiscovery::lost(std::uint64_t session)
{
    if (session == m_session)
        clearPeers();
}

void RTPDiscovery::renamed(std::uint64_t publication, std::string name)
{
    if (publication == m_publication)
        setAdvertisedName(std::move(name));
}

void RTPDiscovery::publishedChanged(std::uint64_t publication, bool published)
{
    if (publication == m_publication)
        setPublished(published);
}

void RTPDiscovery::checkAnswers()
{
    if (!m_daemonAvailable)
        return;
    const bool answering =
        RTPDiscoveryLink::now() - m_link->lastAnswer.load() <= 2 * daemonReplyTimeout.count();
    if (answering == m_answering)
        return;
    m_answering = answering;
    if (answering)
        qCInfo(lcDiscovery) << "KORVANE: le démon Avahi répond de nouveau";
    else
        qCWarning(lcDiscovery) << "KORVANE: DNS-SD indisponible (le démon Avahi ne répond plus)";
    emit stateChanged();
}

DiscoveryState RTPDiscovery::state() const
{
    if (m_daemonAvailable)
        return m_answering ? DiscoveryState::running : DiscoveryState::daemonNotAnswering;
    return m_unavailableReason.empty() ? DiscoveryState::connecting : DiscoveryState::daemonMissing;
}

std::string RTPDiscovery::unavailableReason() const
{
    switch (state()) {
    case DiscoveryState::daemonMissing:
        return m_unavailableReason;
    case DiscoveryState::daemonNotAnswering:
        return "le démon Avahi ne répond plus";
    case DiscoveryState::connecting:
    case DiscoveryState::running:
        break;
    }
    return {};
}

void RTPDiscovery::appendPeer(DiscoveredPeer peer)
{
    if (PeerList::add(m_peers, std::move(peer)))
        emit peersChanged();
}

void RTPDiscovery::removePeersNamed(const std::string &name, DiscoveredPeer::Kind kind)
{
    if (PeerList::removeNamed(m_peers, name, kind))
        emit peersChanged();
}

void RTPDiscovery::clearPeers()
{
    if (m_peers.empty())
        return;
    m_peers.clear();
    emit peersChanged();
}

void RTPDiscovery::setAdvertisedName(std::string name)
{
    if (name == m_advertisedName)
        return;
    m_advertisedName = std::move(name);
    emit advertisedNameChanged();
}

void RTPDiscovery::setDaemonAvailable(bool available, std::string reason)
{
    if (available)
        reason.clear();
    const bool availabilityChanged = available != m_daemonAvailable;
    if (!availabilityChanged && reason == m_unavailableReason && (m_answering || !available))
        return;
    m_daemonAvailable = available;
    m_unavailableReason = std::move(reason);
    m_answering = true;
    if (availabilityChanged)
        emit daemonAvailableChanged();
    emit stateChanged();
}

void RTPDiscovery::setPublished(bool published)
{
    if (published == m_published)
        return;
    m_published = published;
    emit stateChanged();
}

} // namespace korvane
