#pragma once

// The discovery thread of RTPDiscovery.

#include "net/avahi_qt_poll.h"
#include "net/discovery_core.h"
#include "net/discovery_types.h"
#include "net/rtp_discovery_link.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <dbus/dbus.h>

#include <QEventLoop>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)

namespace korvane {

// Runs on the discovery thread, which builds it, runs its event loop and drops it. Avahi's
// callbacks arrive there (through AvahiQtPoll); published fields change only through
// RTPDiscoveryLink::post(), so observers never run inside an Avahi callback.
struct RTPDiscoveryAvahi {
    struct Found {
        AvahiIfIndex interface;
        AvahiProtocol protocol;
        std::string name;
        DiscoveredPeer::Kind kind = DiscoveredPeer::Kind::appleMidi;
        bool operator==(const Found &) const = default;
    };
    struct Resolving {
        std::uint64_t serial;
        Found service;
        AvahiServiceResolver *resolver;
    };
    // One published service type: its entry group and what is published in it.
    struct Slot {
        DiscoveredPeer::Kind kind;
        const char *type;
        AvahiEntryGroup *group = nullptr;
        bool failureLogged = false; // for the publication in it
    };

    // The discovery thread's body: returns once the owner is destroyed and the call under
    // way, if any, has returned.
    static void run(const std::shared_ptr<RTPDiscoveryLink> &link);

    RTPDiscoveryAvahi(std::shared_ptr<RTPDiscoveryLink> link, QEventLoop &loop);
    ~RTPDiscoveryAvahi();

    // Carries out, one by one, the steps the core asks for to bring the Avahi objects in
    // line with what the owner wants.
    void reconcile();
    void execute(const DiscoveryCore::Action &action);
    // Wakes reconcile() when the core's retry is due.
    void armRetry();
    static DiscoveryCore::Time clockNow();
    bool quitting() const { return link->quit.load(); }
    // Whether a client exists afterwards (one waiting for the daemon counts).
    bool ensureClient();
    // Frees the client and, with it, every browser, resolver and entry group it made. The
    // client closes its connection first, so this sends nothing and never waits on D-Bus.
    void freeClient();
    // Browser and resolvers go; with freeObjects false they are already gone with their client.
    void dropLookups(bool freeObjects);
    void reportUnavailable(const QString &reason, const QString &detail = {});
    void reportPublished(bool published);
    // Asks the daemon for its state over a connection of its own, waiting at most
    // daemonReplyTimeout: avahi-client waits for D-Bus's default 25 s.
    void probeDaemon();
    void onClientState(AvahiClient *c, AvahiClientState state);
    // Whether both browsers run.
    bool startBrowser();
    Slot &slotOf(DiscoveredPeer::Kind kind) { return services[kind == DiscoveredPeer::Kind::midi2 ? 1 : 0]; }
    void onBrowse(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                  AvahiBrowserEvent event, const char *name, const char *type, const char *domain);
    void onResolve(AvahiServiceResolver *r, AvahiResolverEvent event, const char *name,
                   const AvahiAddress *address, std::uint16_t port);
    void endResolving(std::uint64_t serial);
    // Whether the daemon took the slot's publication.
    bool publish(Slot &slot);
    void rename(Slot &slot);
    void onGroupState(AvahiEntryGroup *g, AvahiEntryGroupState state);
    void logPublishError(const Slot &slot, int error);
    // Withdraws the slot's published service, if any.
    void withdraw(Slot &slot);

    // Avahi's C callbacks; userdata is the Avahi object.
    static void clientCallback(AvahiClient *c, AvahiClientState state, void *self);
    static void browseCallback(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                               AvahiBrowserEvent event, const char *name, const char *type,
                               const char *domain, AvahiLookupResultFlags, void *self);
    static void resolveCallback(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol,
                                AvahiResolverEvent event, const char *name, const char *, const char *,
                                const char *, const AvahiAddress *address, std::uint16_t port,
                                AvahiStringList *, AvahiLookupResultFlags, void *self);
    static void groupCallback(AvahiEntryGroup *g, AvahiEntryGroupState state, void *self);

    std::shared_ptr<RTPDiscoveryLink> link;
    QEventLoop &loop;
    RTPDiscoveryLink::Wanted want; // the last copy taken from link
    DiscoveryCore core;
    QObject context;  // receives wake-ups and timer calls on this thread
    AvahiQtPoll poll; // outlives client: declared before it, freed after it
    AvahiClient *client = nullptr;
    AvahiServiceBrowser *browser = nullptr;
    AvahiServiceBrowser *midi2Browser = nullptr;
    Slot services[2] = {{DiscoveredPeer::Kind::appleMidi, "_apple-midi._udp"},
                        {DiscoveredPeer::Kind::midi2, "_midi2._udp"}};
    std::vector<Found> found;
    std::list<Resolving> resolving;
    std::uint64_t lastSerial = 0;
    bool unavailableLogged = false;
    bool failureLogged = false;
    QTimer reconnect;
    QTimer probe;
    DBusConnection *probeBus = nullptr;
};

} // namespace korvane
