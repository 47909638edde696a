#pragma once

// The Avahi side of RTPDiscovery, shared by rtp_discovery.cpp and rtp_discovery_avahi.cpp only.

#include "net/avahi_qt_poll.h"
#include "net/rtp_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>

#include <QLoggingCategory>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)

namespace korvane {

// Every Avahi object and callback of one RTPDiscovery. Callbacks run on the owner's thread
// (through AvahiQtPoll); they change the published fields only through post(), so observers
// never run inside an Avahi callback and may call back into RTPDiscovery freely.
struct RTPDiscovery::Avahi {
    struct Found {
        AvahiIfIndex interface;
        AvahiProtocol protocol;
        std::string name;
        bool operator==(const Found &) const = default;
    };
    struct Resolving {
        std::uint64_t serial;
        Found service;
        AvahiServiceResolver *resolver;
    };
    struct Publication {
        std::string requested;
        std::string current; // after renaming on collisions
        std::uint16_t port;
    };

    explicit Avahi(RTPDiscovery *owner);
    ~Avahi();

    template <typename F> void post(F &&f)
    {
        QMetaObject::invokeMethod(q, std::forward<F>(f), Qt::QueuedConnection);
    }
    bool wanted() const;
    void ensureClient();
    // Frees the client and, with it, every browser, resolver and entry group it made.
    void freeClient();
    // Browser and resolvers go; with freeObjects false they are already gone with their client.
    void dropLookups(bool freeObjects);
    void reportUnavailable(const QString &why);
    void onClientState(AvahiClient *c, AvahiClientState state);
    void startBrowser();
    void onBrowse(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                  AvahiBrowserEvent event, const char *name, const char *type, const char *domain);
    void onResolve(AvahiServiceResolver *r, AvahiResolverEvent event, const char *name,
                   const AvahiAddress *address, std::uint16_t port);
    void endResolving(std::uint64_t serial);
    void publish();
    void rename();
    void onGroupState(AvahiEntryGroup *g, AvahiEntryGroupState state);
    void logPublishError(int error);
    // Withdraws the published service, if any.
    void withdraw();

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

    RTPDiscovery *q;
    AvahiQtPoll poll; // outlives client: declared before it, freed after it
    AvahiClient *client = nullptr;
    AvahiServiceBrowser *browser = nullptr;
    AvahiEntryGroup *group = nullptr;
    std::vector<Found> found;
    std::list<Resolving> resolving;
    std::uint64_t lastSerial = 0;
    std::optional<Publication> publication;
    bool unavailableLogged = false;
    QTimer reconnect;
};

} // namespace korvane
