#include "net/rtp_discovery_avahi.h"

#include "model/text.h"

#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <algorithm>
#include <cstdint>

Q_LOGGING_CATEGORY(lcDiscovery, "korvane.discovery", QtInfoMsg)

namespace korvane {

namespace {

constexpr const char *kDomain = "local";
// Bounds the renaming loop when Avahi keeps reporting local collisions.
constexpr int kMaxRenames = 32;

} // namespace

void RTPDiscoveryAvahi::run(const std::shared_ptr<RTPDiscoveryLink> &link)
{
    QEventLoop loop;
    {
        RTPDiscoveryAvahi avahi(link, loop);
        {
            std::lock_guard lock(link->mutex);
            link->worker = &avahi;
        }
        QMetaObject::invokeMethod(
            &avahi.context, [&avahi] { avahi.reconcile(); }, Qt::QueuedConnection);
        loop.exec();
        std::lock_guard lock(link->mutex);
        link->worker = nullptr; // wake-ups already queued go with avahi.context
    }
}

RTPDiscoveryAvahi::RTPDiscoveryAvahi(std::shared_ptr<RTPDiscoveryLink> shared, QEventLoop &eventLoop)
    : link(std::move(shared)), loop(eventLoop)
{
    QObject::connect(&probe, &QTimer::timeout, &context, [this] { probeDaemon(); });
    reconnect.setSingleShot(true);
    QObject::connect(&reconnect, &QTimer::timeout, &context, [this] { reconcile(); });
}

RTPDiscoveryAvahi::~RTPDiscoveryAvahi()
{
    freeClient();
    if (probeBus != nullptr) {
        dbus_connection_close(probeBus);
        dbus_connection_unref(probeBus);
    }
}

DiscoveryCore::Time RTPDiscoveryAvahi::clockNow()
{
    return DiscoveryCore::Time(RTPDiscoveryLink::now());
}

void RTPDiscoveryAvahi::reconcile()
{
    {
        std::lock_guard lock(link->mutex);
        want = link->wanted;
        link->wakePending = false;
    }
    // Each step may wait on D-Bus; the owner may have gone meanwhile.
    const auto quit = [this] {
        if (quitting())
            loop.quit();
        return quitting();
    };
    if (quit())
        return;
    if (probe.isActive() && probe.intervalAsDuration() != want.daemonReplyTimeout)
        probe.setInterval(want.daemonReplyTimeout);
    core.setWanted(want);
    core.setReconnectInterval(want.reconnectInterval);
    while (const auto action = core.next(clockNow())) {
        execute(*action);
        if (quit())
            return;
    }
    armRetry();
}

void RTPDiscoveryAvahi::execute(const DiscoveryCore::Action &action)
{
    using Step = DiscoveryCore::Step;
    switch (action.step) {
    case Step::withdraw:
        withdraw(slotOf(action.kind));
        core.withdrawn(action.kind);
        break;
    case Step::freeClient:
        freeClient();
        core.clientFreed();
        break;
    case Step::createClient: {
        const bool created = ensureClient();
        core.clientCreated(created, clockNow());
        break;
    }
    case Step::dropBrowser:
        dropLookups(true);
        core.browserDropped();
        break;
    case Step::startBrowser: {
        const bool started = startBrowser();
        core.browserStarted(started, clockNow());
        break;
    }
    case Step::publish: {
        const bool committed = publish(slotOf(action.kind));
        core.published(action.kind, committed, clockNow());
        break;
    }
    }
}

void RTPDiscoveryAvahi::armRetry()
{
    const auto at = core.retryAt();
    if (!at)
        return;
    const auto delay = std::max(DiscoveryCore::Time(0), *at - clockNow());
    if (!reconnect.isActive() || reconnect.remainingTimeAsDuration() > delay)
        reconnect.start(delay);
}

bool RTPDiscoveryAvahi::ensureClient()
{
    if (client != nullptr)
        return true;
    int error = 0;
    AvahiClient *created =
        avahi_client_new(poll.api(), AVAHI_CLIENT_NO_FAIL, &RTPDiscoveryAvahi::clientCallback, this, &error);
    if (created == nullptr) {
        // D-Bus itself is unreachable (or the daemon failed to answer): the client cannot wait
        // for the daemon on its own.
        reportUnavailable(QStringLiteral("D-Bus injoignable"), QString::fromUtf8(avahi_strerror(error)));
        return false;
    }
    client = created;
    return true;
}

void RTPDiscoveryAvahi::freeClient()
{
    reconnect.stop();
    probe.stop();
    reportPublished(false);
    dropLookups(false);
    for (Slot &slot : services)
        slot.group = nullptr;
    if (client != nullptr) {
        avahi_client_free(client);
        client = nullptr;
    }
}

void RTPDiscoveryAvahi::dropLookups(bool freeObjects)
{
    if (freeObjects) {
        for (const Resolving &r : resolving)
            avahi_service_resolver_free(r.resolver);
        for (AvahiServiceBrowser *b : {browser, midi2Browser})
            if (b != nullptr)
                avahi_service_browser_free(b);
    }
    resolving.clear();
    found.clear();
    browser = midi2Browser = nullptr;
}

void RTPDiscoveryAvahi::reportUnavailable(const QString &reason, const QString &detail)
{
    if (!unavailableLogged)
        qCWarning(lcDiscovery).noquote() << "KORVANE: DNS-SD indisponible (" + reason +
                                                (detail.isEmpty() ? QString() : " : " + detail) +
                                                ") ; la découverte démarrera dès que le démon Avahi répondra";
    unavailableLogged = true;
    probe.stop();
    reportPublished(false);
    link->post([reason = toStd(reason)](DiscoveryReports &d) { d.setDaemonAvailable(false, reason); });
}

// The AppleMIDI publication's, which the network page tells about.
void RTPDiscoveryAvahi::reportPublished(bool published)
{
    if (const auto &applied = core.applied(DiscoveredPeer::Kind::appleMidi))
        link->post([serial = applied->wanted.serial, published](DiscoveryReports &d) {
            d.publishedChanged(serial, published);
        });
}

void RTPDiscoveryAvahi::probeDaemon()
{
    if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
        return;
    DBusError error;
    dbus_error_init(&error);
    if (probeBus == nullptr) {
        probeBus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        if (probeBus == nullptr) {
            dbus_error_free(&error);
            return;
        }
        dbus_connection_set_exit_on_disconnect(probeBus, FALSE);
    }
    DBusMessage *call = dbus_message_new_method_call("org.freedesktop.Avahi", "/",
                                                     "org.freedesktop.Avahi.Server", "GetState");
    if (call == nullptr)
        return;
    const int timeout =
        static_cast<int>(std::clamp<std::int64_t>(want.daemonReplyTimeout.count(), 1, INT32_MAX));
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(probeBus, call, timeout, &error);
    dbus_message_unref(call);
    if (reply != nullptr) {
        dbus_message_unref(reply);
        link->lastAnswer = RTPDiscoveryLink::now();
    } else if (!dbus_connection_get_is_connected(probeBus)) {
        dbus_connection_close(probeBus);
        dbus_connection_unref(probeBus);
        probeBus = nullptr;
    }
    dbus_error_free(&error);
}

void RTPDiscoveryAvahi::onClientState(AvahiClient *c, AvahiClientState state)
{
    client = c; // also during avahi_client_new(), before it returns
    qCDebug(lcDiscovery) << "client state" << state;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        if (unavailableLogged)
            qCInfo(lcDiscovery) << "KORVANE: DNS-SD disponible";
        unavailableLogged = false;
        core.clientRunning();
        link->lastAnswer = RTPDiscoveryLink::now();
        link->post([](DiscoveryReports &d) { d.setDaemonAvailable(true, {}); });
        probe.start(want.daemonReplyTimeout);
        // Not from inside the client's callback (perhaps inside avahi_client_new()).
        QMetaObject::invokeMethod(
            &context, [this] { reconcile(); }, Qt::QueuedConnection);
        break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
        // The daemon is (re)establishing its host name; records go back in once running.
        for (Slot &slot : services)
            if (slot.group != nullptr)
                avahi_entry_group_reset(slot.group);
        core.recordsReset();
        reportPublished(false);
        break;
    case AVAHI_CLIENT_CONNECTING:
        // No daemon on the bus (yet, or any more): everything it served is gone. A daemon
        // that appears is noticed at once; the timer only replaces a client whose first
        // call went unanswered.
        reportUnavailable(QStringLiteral("démon Avahi absent"));
        dropLookups(true);
        for (Slot &slot : services) {
            if (slot.group != nullptr) {
                avahi_entry_group_free(slot.group);
                slot.group = nullptr;
            }
        }
        core.clientConnecting(clockNow());
        link->post([session = want.session](DiscoveryReports &d) { d.lost(session); });
        armRetry();
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(c);
        if (error == AVAHI_ERR_DISCONNECTED)
            reportUnavailable(QStringLiteral("le démon Avahi s'est arrêté"));
        else
            reportUnavailable(QStringLiteral("erreur du démon Avahi"),
                              QString::fromUtf8(avahi_strerror(error)));
        link->post([session = want.session](DiscoveryReports &d) { d.lost(session); });
        // A client cannot be freed from inside its own callback. After losing the daemon
        // (or the bus), a new client waits for it; other failures are retried later.
        const auto delay =
            error == AVAHI_ERR_DISCONNECTED ? std::chrono::milliseconds(0) : want.reconnectInterval;
        core.clientFailed(clockNow(), delay);
        QMetaObject::invokeMethod(
            &context, [this] { reconcile(); }, Qt::QueuedConnection);
        break;
    }
    }
}

bool RTPDiscoveryAvahi::startBrowser()
{
    if (browser != nullptr)
        return true;
    if (client == nullptr)
        return false;
    browser =
        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, services[0].type, kDomain,
                                  AvahiLookupFlags(0), &RTPDiscoveryAvahi::browseCallback, this);
    if (browser != nullptr)
        midi2Browser =
            avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, services[1].type, kDomain,
                                      AvahiLookupFlags(0), &RTPDiscoveryAvahi::browseCallback, this);
    if (browser == nullptr || midi2Browser == nullptr) {
        if (browser != nullptr)
            avahi_service_browser_free(browser);
        browser = nullptr;
        if (!failureLogged)
            qCWarning(lcDiscovery) << "KORVANE: recherche DNS-SD impossible :"
                                   << avahi_strerror(avahi_client_errno(client));
        failureLogged = true;
        return false;
    }
    failureLogged = false;
    return true;
}

void RTPDiscoveryAvahi::onBrowse(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                                 AvahiBrowserEvent event, const char *name, const char *type,
                                 const char *domain)
{
    qCDebug(lcDiscovery) << "browse event" << event << name << "on" << interface << protocol;
    const auto kind = b == midi2Browser ? DiscoveredPeer::Kind::midi2 : DiscoveredPeer::Kind::appleMidi;
    switch (event) {
    case AVAHI_BROWSER_NEW: {
        if (const auto &own = core.applied(kind); own && own->current == name)
            return; // our own service
        Found service{interface, protocol, name, kind};
        if (std::find(found.begin(), found.end(), service) != found.end())
            return;
        found.push_back(service);
        AvahiServiceResolver *resolver = avahi_service_resolver_new(
            avahi_service_browser_get_client(b), interface, protocol, name, type, domain, AVAHI_PROTO_INET,
            AvahiLookupFlags(0), &RTPDiscoveryAvahi::resolveCallback, this);
        if (resolver == nullptr)
            return;
        const std::uint64_t serial = ++lastSerial;
        resolving.push_back({serial, std::move(service), resolver});
        QTimer::singleShot(want.resolveTimeout, &context, [this, serial] { endResolving(serial); });
        break;
    }
    case AVAHI_BROWSER_REMOVE: {
        const Found service{interface, protocol, name, kind};
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
        const bool stillSeen = std::any_of(found.begin(), found.end(), [&](const Found &f) {
            return f.name == service.name && f.kind == kind;
        });
        if (!stillSeen)
            link->post([session = core.browserSession().value_or(0), removed = service.name,
                        kind](DiscoveryReports &d) { d.removed(session, removed, kind); });
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

void RTPDiscoveryAvahi::onResolve(AvahiServiceResolver *r, AvahiResolverEvent event, const char *name,
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
        link->post([session = core.browserSession().value_or(0),
                    peer = DiscoveredPeer{name, host, port, it->service.kind}](DiscoveryReports &d) mutable {
            d.resolved(session, std::move(peer));
        });
    }
    endResolving(it->serial);
}

void RTPDiscoveryAvahi::endResolving(std::uint64_t serial)
{
    const auto it = std::find_if(resolving.begin(), resolving.end(),
                                 [serial](const Resolving &entry) { return entry.serial == serial; });
    if (it == resolving.end())
        return;
    qCDebug(lcDiscovery) << "resolving ends" << it->service.name.c_str();
    avahi_service_resolver_free(it->resolver);
    resolving.erase(it);
}

bool RTPDiscoveryAvahi::publish(Slot &slot)
{
    const auto &publication = core.applied(slot.kind);
    if (!publication || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
        return false;
    const int error = [this, &slot, &publication] {
        AvahiEntryGroup *&group = slot.group;
        if (group == nullptr) {
            group = avahi_entry_group_new(client, &RTPDiscoveryAvahi::groupCallback, this);
            if (group == nullptr)
                return avahi_client_errno(client);
        } else if (const int reset = avahi_entry_group_reset(group); reset < 0) {
            return reset;
        }
        AvahiStringList *txt = nullptr;
        for (const std::string &record : publication->wanted.txt)
            txt = avahi_string_list_add(txt, record.c_str());
        const auto added = [&] {
            for (int attempt = 0; attempt <= kMaxRenames; ++attempt) {
                const int result = avahi_entry_group_add_service_strlst(
                    group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                    publication->current.c_str(), slot.type, kDomain, nullptr, publication->wanted.port, txt);
                if (result != AVAHI_ERR_COLLISION)
                    return result;
                rename(slot);
            }
            return int(AVAHI_ERR_COLLISION);
        }();
        avahi_string_list_free(txt);
        return added < 0 ? added : avahi_entry_group_commit(group);
    }();
    if (error >= 0) {
        slot.failureLogged = false;
        return true;
    }
    // Tried again later: a reply that timed out leaves the daemon able to take it next time.
    if (!slot.failureLogged)
        logPublishError(slot, error);
    slot.failureLogged = true;
    return false;
}

void RTPDiscoveryAvahi::rename(Slot &slot)
{
    const auto &publication = core.applied(slot.kind);
    char *alternative = avahi_alternative_service_name(publication->current.c_str());
    qCInfo(lcDiscovery).noquote() << QStringLiteral(
                                         "KORVANE: nom DNS-SD « %1 » déjà pris, publié sous « %2 »")
                                         .arg(toQString(publication->current),
                                              QString::fromUtf8(alternative));
    core.renamed(slot.kind, alternative);
    avahi_free(alternative);
    link->post([serial = publication->wanted.serial, name = publication->current,
                kind = slot.kind](DiscoveryReports &d) mutable {
        if (kind == DiscoveredPeer::Kind::midi2)
            d.renamedMidi2(serial, std::move(name));
        else
            d.renamed(serial, std::move(name));
    });
}

void RTPDiscoveryAvahi::onGroupState(AvahiEntryGroup *g, AvahiEntryGroupState state)
{
    for (Slot &slot : services) {
        if (g != slot.group || !core.applied(slot.kind))
            continue;
        if (&slot == &services[0])
            reportPublished(state == AVAHI_ENTRY_GROUP_ESTABLISHED);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            rename(slot);
            core.published(slot.kind, publish(slot), clockNow());
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            logPublishError(slot, avahi_client_errno(avahi_entry_group_get_client(g)));
            core.published(slot.kind, false, clockNow());
        }
        armRetry();
    }
}

void RTPDiscoveryAvahi::logPublishError(const Slot &slot, int error)
{
    const auto &publication = core.applied(slot.kind);
    qCWarning(lcDiscovery).noquote() << QStringLiteral(
                                            "KORVANE: publication DNS-SD de « %1 » impossible : %2")
                                            .arg(toQString(publication->current),
                                                 QString::fromUtf8(avahi_strerror(error)));
}

void RTPDiscoveryAvahi::withdraw(Slot &slot)
{
    if (&slot == &services[0])
        reportPublished(false);
    slot.failureLogged = false;
    if (slot.group != nullptr) {
        avahi_entry_group_free(slot.group);
        slot.group = nullptr;
    }
}

void RTPDiscoveryAvahi::clientCallback(AvahiClient *c, AvahiClientState state, void *self)
{
    static_cast<RTPDiscoveryAvahi *>(self)->onClientState(c, state);
}

void RTPDiscoveryAvahi::browseCallback(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                                       AvahiBrowserEvent event, const char *name, const char *type,
                                       const char *domain, AvahiLookupResultFlags, void *self)
{
    static_cast<RTPDiscoveryAvahi *>(self)->onBrowse(b, interface, protocol, event, name, type, domain);
}

void RTPDiscoveryAvahi::resolveCallback(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol,
                                        AvahiResolverEvent event, const char *name, const char *,
                                        const char *, const char *, const AvahiAddress *address,
                                        std::uint16_t port, AvahiStringList *, AvahiLookupResultFlags,
                                        void *self)
{
    static_cast<RTPDiscoveryAvahi *>(self)->onResolve(r, event, name, address, port);
}

void RTPDiscoveryAvahi::groupCallback(AvahiEntryGroup *g, AvahiEntryGroupState state, void *self)
{
    static_cast<RTPDiscoveryAvahi *>(self)->onGroupState(g, state);
}

} // namespace korvane
