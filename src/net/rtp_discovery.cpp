#include "net/rtp_discovery.h"

#include "net/rtp_discovery_avahi.h"

#include <avahi-common/domain.h>

#include <algorithm>

namespace korvane {

std::string DiscoveredPeer::id() const
{
    return name + "|" + host + ":" + std::to_string(port);
}

bool PeerList::add(std::vector<DiscoveredPeer> &peers, DiscoveredPeer peer)
{
    const std::string id = peer.id();
    if (std::any_of(peers.begin(), peers.end(), [&](const DiscoveredPeer &p) { return p.id() == id; }))
        return false;
    peers.push_back(std::move(peer));
    return true;
}

bool PeerList::removeNamed(std::vector<DiscoveredPeer> &peers, const std::string &name)
{
    return std::erase_if(peers, [&](const DiscoveredPeer &p) { return p.name == name; }) > 0;
}

RTPDiscovery::RTPDiscovery(QObject *parent) : QObject(parent), m_avahi(std::make_unique<Avahi>(this)) {}

RTPDiscovery::~RTPDiscovery() = default;

void RTPDiscovery::start()
{
    if (m_browsing)
        return;
    m_browsing = true;
    m_avahi->ensureClient();
    if (m_avahi->client != nullptr && avahi_client_get_state(m_avahi->client) == AVAHI_CLIENT_S_RUNNING)
        m_avahi->startBrowser();
}

void RTPDiscovery::stop()
{
    m_browsing = false;
    m_avahi->withdraw();
    m_avahi->freeClient();
    m_avahi->post([this] {
        clearPeers();
        setAdvertisedName({});
    });
}

void RTPDiscovery::advertise(const std::string &name, int port)
{
    Avahi &avahi = *m_avahi;
    if (avahi.publication && avahi.publication->requested == name && avahi.publication->port == port &&
        avahi.group != nullptr)
        return; // already published (or being renamed) as asked
    avahi.withdraw();
    if (port < 1 || port > 65535 || !avahi_is_valid_service_name(name.c_str())) {
        qCWarning(lcDiscovery).noquote()
            << QStringLiteral("KORVANE: publication DNS-SD refusée pour « %1 » port %2 "
                              "(nom de 1 à 63 octets et port de 1 à 65535 attendus)")
                   .arg(QString::fromStdString(name))
                   .arg(port);
        avahi.post([this] { setAdvertisedName({}); });
        return;
    }
    avahi.publication = Avahi::Publication{name, name, static_cast<std::uint16_t>(port)};
    avahi.post([this, name] { setAdvertisedName(name); });
    avahi.ensureClient();
    avahi.publish();
}

void RTPDiscovery::appendPeer(DiscoveredPeer peer)
{
    if (PeerList::add(m_peers, std::move(peer)))
        emit peersChanged();
}

void RTPDiscovery::removePeersNamed(const std::string &name)
{
    if (PeerList::removeNamed(m_peers, name))
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

void RTPDiscovery::setDaemonAvailable(bool available)
{
    if (available == m_daemonAvailable)
        return;
    m_daemonAvailable = available;
    emit daemonAvailableChanged();
}

} // namespace korvane
