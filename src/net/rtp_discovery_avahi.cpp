#include "net/rtp_discovery_avahi.h"

#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <algorithm>

Q_LOGGING_CATEGORY(lcDiscovery, "korvane.discovery", QtInfoMsg)

namespace korvane {

namespace {

constexpr const char *kServiceType = "_apple-midi._udp";
constexpr const char *kDomain = "local";
// Bounds the renaming loop when Avahi keeps reporting local collisions.
constexpr int kMaxRenames = 32;

} // namespace

RTPDiscovery::Avahi::Avahi(RTPDiscovery *owner) : q(owner)
{
    reconnect.setSingleShot(true);
    QObject::connect(&reconnect, &QTimer::timeout, q, [this] { ensureClient(); });
}

RTPDiscovery::Avahi::~Avahi()
{
    freeClient();
}

bool RTPDiscovery::Avahi::wanted() const
{
    return q->m_browsing || publication.has_value();
}

void RTPDiscovery::Avahi::ensureClient()
{
    if (client != nullptr || !wanted())
        return;
    int error = 0;
    AvahiClient *created =
        avahi_client_new(poll.api(), AVAHI_CLIENT_NO_FAIL, &Avahi::clientCallback, this, &error);
    if (created == nullptr) {
        // D-Bus itself is unreachable: the client cannot wait for the daemon on its own.
        reportUnavailable(
            QStringLiteral("D-Bus injoignable : %1").arg(QString::fromUtf8(avahi_strerror(error))));
        reconnect.start(q->reconnectInterval);
        return;
    }
    client = created;
}

void RTPDiscovery::Avahi::freeClient()
{
    reconnect.stop();
    dropLookups(false);
    group = nullptr;
    if (client != nullptr) {
        avahi_client_free(client);
        client = nullptr;
    }
}

void RTPDiscovery::Avahi::dropLookups(bool freeObjects)
{
    if (freeObjects) {
        for (const Resolving &r : resolving)
            avahi_service_resolver_free(r.resolver);
        if (browser != nullptr)
            avahi_service_browser_free(browser);
    }
    resolving.clear();
    found.clear();
    browser = nullptr;
}

void RTPDiscovery::Avahi::reportUnavailable(const QString &why)
{
    if (!unavailableLogged)
        qCWarning(lcDiscovery).noquote() << "KORVANE: DNS-SD indisponible (" + why +
                                                ") ; la découverte démarrera dès que le démon Avahi répondra";
    unavailableLogged = true;
    post([this] { q->setDaemonAvailable(false); });
}

void RTPDiscovery::Avahi::onClientState(AvahiClient *c, AvahiClientState state)
{
    client = c; // also during avahi_client_new(), before it returns
    qCDebug(lcDiscovery) << "client state" << state;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        if (unavailableLogged)
            qCInfo(lcDiscovery) << "KORVANE: DNS-SD disponible";
        unavailableLogged = false;
        post([this] { q->setDaemonAvailable(true); });
        startBrowser();
        if (publication && (group == nullptr || avahi_entry_group_is_empty(group)))
            publish();
        break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
        // The daemon is (re)establishing its host name; records go back in once running.
        if (group != nullptr)
            avahi_entry_group_reset(group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        // No daemon on the bus (yet, or any more): everything it served is gone.
        reportUnavailable(QStringLiteral("le démon Avahi ne répond pas"));
        dropLookups(true);
        if (group != nullptr) {
            avahi_entry_group_free(group);
            group = nullptr;
        }
        post([this] { q->clearPeers(); });
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(c);
        reportUnavailable(error == AVAHI_ERR_DISCONNECTED ? QStringLiteral("le démon Avahi s'est arrêté")
                                                          : QString::fromUtf8(avahi_strerror(error)));
        post([this] { q->clearPeers(); });
        // A client cannot be freed from inside its own callback. After losing the daemon
        // (or the bus), a new client waits for it; other failures are retried later.
        const auto delay =
            error == AVAHI_ERR_DISCONNECTED ? std::chrono::milliseconds(0) : q->reconnectInterval;
        QTimer::singleShot(0, q, [this, c, delay] {
            if (client != c)
                return;
            freeClient();
            reconnect.start(delay);
        });
        break;
    }
    }
}

void RTPDiscovery::Avahi::startBrowser()
{
    if (!q->m_browsing || browser != nullptr || client == nullptr)
        return;
    browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kServiceType, kDomain,
                                        AvahiLookupFlags(0), &Avahi::browseCallback, this);
    if (browser == nullptr)
        qCWarning(lcDiscovery) << "KORVANE: recherche DNS-SD impossible :"
                               << avahi_strerror(avahi_client_errno(client));
}

void RTPDiscovery::Avahi::onBrowse(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                                   AvahiBrowserEvent event, const char *name, const char *type,
                                   const char *domain)
{
    qCDebug(lcDiscovery) << "browse event" << event << name << "on" << interface << protocol;
    switch (event) {
    case AVAHI_BROWSER_NEW: {
        if (publication && publication->current == name)
            return; // our own service
        Found service{interface, protocol, name};
        if (std::find(found.begin(), found.end(), service) != found.end())
            return;
        found.push_back(service);
        AvahiServiceResolver *resolver = avahi_service_resolver_new(
            avahi_service_browser_get_client(b), interface, protocol, name, type, domain, AVAHI_PROTO_INET,
            AvahiLookupFlags(0), &Avahi::resolveCallback, this);
        if (resolver == nullptr)
            return;
        const std::uint64_t serial = ++lastSerial;
        resolving.push_back({serial, std::move(service), resolver});
        QTimer::singleShot(q->resolveTimeout, q, [this, serial] { endResolving(serial); });
        break;
    }
    case AVAHI_BROWSER_REMOVE: {
        const Found service{interface, protocol, name};
        const auto it = std::find(found.begin(), found.end(), service);
        if (it == found.end())
            return;
        found.erase(it);
        for (auto r = resolving.begin(); r != resolving.end();) {
            if (r->service == service) {
                avahi_service_resolver_free(r->resolver);
                r = resolving.erase(r);
            } else {
                ++r;
            }
        }
        // The same instance can be seen on several interfaces and protocols: it is gone
        // when the last of them withdraws it.
        const bool stillSeen =
            std::any_of(found.begin(), found.end(), [&](const Found &f) { return f.name == service.name; });
        if (!stillSeen)
            post([this, removed = service.name] { q->removePeersNamed(removed); });
        break;
    }
    case AVAHI_BROWSER_FAILURE:
        qCWarning(lcDiscovery) << "KORVANE: recherche DNS-SD interrompue :"
                               << avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(b)));
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
        break;
    }
}

void RTPDiscovery::Avahi::onResolve(AvahiServiceResolver *r, AvahiResolverEvent event, const char *name,
                                    const AvahiAddress *address, std::uint16_t port)
{
    qCDebug(lcDiscovery) << "resolve event" << event << name << port;
    const auto it = std::find_if(resolving.begin(), resolving.end(),
                                 [r](const Resolving &entry) { return entry.resolver == r; });
    if (it == resolving.end())
        return;
    if (event == AVAHI_RESOLVER_FOUND) {
        // Anything but IPv4 leaves the service waiting until its time-out.
        if (address == nullptr || address->proto != AVAHI_PROTO_INET)
            return;
        char host[AVAHI_ADDRESS_STR_MAX] = {};
        if (avahi_address_snprint(host, sizeof host, address) == nullptr)
            return;
        post([this, peer = DiscoveredPeer{name, host, port}]() mutable { q->appendPeer(std::move(peer)); });
    }
    endResolving(it->serial);
}

void RTPDiscovery::Avahi::endResolving(std::uint64_t serial)
{
    const auto it = std::find_if(resolving.begin(), resolving.end(),
                                 [serial](const Resolving &entry) { return entry.serial == serial; });
    if (it == resolving.end())
        return;
    qCDebug(lcDiscovery) << "resolving ends" << it->service.name.c_str();
    avahi_service_resolver_free(it->resolver);
    resolving.erase(it);
}

void RTPDiscovery::Avahi::publish()
{
    if (!publication || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
        return;
    if (group == nullptr) {
        group = avahi_entry_group_new(client, &Avahi::groupCallback, this);
        if (group == nullptr) {
            logPublishError(avahi_client_errno(client));
            return;
        }
    } else {
        avahi_entry_group_reset(group);
    }
    for (int attempt = 0; attempt <= kMaxRenames; ++attempt) {
        const int error = avahi_entry_group_add_service(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), publication->current.c_str(),
            kServiceType, kDomain, nullptr, publication->port, static_cast<const char *>(nullptr));
        if (error == AVAHI_ERR_COLLISION) {
            rename();
            continue;
        }
        if (error < 0) {
            logPublishError(error);
            return;
        }
        if (const int commit = avahi_entry_group_commit(group); commit < 0)
            logPublishError(commit);
        return;
    }
    logPublishError(AVAHI_ERR_COLLISION);
}

void RTPDiscovery::Avahi::rename()
{
    char *alternative = avahi_alternative_service_name(publication->current.c_str());
    qCInfo(lcDiscovery).noquote() << QStringLiteral(
                                         "KORVANE: nom DNS-SD « %1 » déjà pris, publié sous « %2 »")
                                         .arg(QString::fromStdString(publication->current),
                                              QString::fromUtf8(alternative));
    publication->current = alternative;
    avahi_free(alternative);
    post([this, name = publication->current]() mutable { q->setAdvertisedName(std::move(name)); });
}

void RTPDiscovery::Avahi::onGroupState(AvahiEntryGroup *g, AvahiEntryGroupState state)
{
    if (g != group || !publication)
        return;
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        rename();
        publish();
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        logPublishError(avahi_client_errno(avahi_entry_group_get_client(g)));
    }
}

void RTPDiscovery::Avahi::logPublishError(int error)
{
    qCWarning(lcDiscovery).noquote() << QStringLiteral(
                                            "KORVANE: publication DNS-SD de « %1 » impossible : %2")
                                            .arg(QString::fromStdString(publication->current),
                                                 QString::fromUtf8(avahi_strerror(error)));
}

void RTPDiscovery::Avahi::withdraw()
{
    publication.reset();
    if (group != nullptr) {
        avahi_entry_group_free(group);
        group = nullptr;
    }
}

void RTPDiscovery::Avahi::clientCallback(AvahiClient *c, AvahiClientState state, void *self)
{
    static_cast<Avahi *>(self)->onClientState(c, state);
}

void RTPDiscovery::Avahi::browseCallback(AvahiServiceBrowser *b, AvahiIfIndex interface,
                                         AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                                         const char *type, const char *domain, AvahiLookupResultFlags,
                                         void *self)
{
    static_cast<Avahi *>(self)->onBrowse(b, interface, protocol, event, name, type, domain);
}

void RTPDiscovery::Avahi::resolveCallback(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol,
                                          AvahiResolverEvent event, const char *name, const char *,
                                          const char *, const char *, const AvahiAddress *address,
                                          std::uint16_t port, AvahiStringList *, AvahiLookupResultFlags,
                                          void *self)
{
    static_cast<Avahi *>(self)->onResolve(r, event, name, address, port);
}

void RTPDiscovery::Avahi::groupCallback(AvahiEntryGroup *g, AvahiEntryGroupState state, void *self)
{
    static_cast<Avahi *>(self)->onGroupState(g, state);
}

} // namespace korvane
