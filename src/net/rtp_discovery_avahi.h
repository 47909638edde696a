#pragma once

// The discovery thread of RTPDiscovery, shared by rtp_discovery.cpp and rtp_discovery_avahi.cpp only.

#include "net/avahi_qt_poll.h"
#include "net/rtp_discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>

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

// Shared by the main thread and the discovery thread. The mutex guards only copies and
// postings, never an Avahi call, so the main thread never waits on a thread stuck in D-Bus.
struct RTPDiscovery::Link {
    struct Publication {
        std::string name;
        std::uint16_t port = 0;
        std::uint64_t serial = 0; // RTPDiscovery::m_publication (or m_midi2Publication) when asked
        std::vector<std::string> txt;
    };
    struct Wanted {
        bool browsing = false;
        std::uint64_t session = 0;
        std::optional<Publication> publication;
        std::optional<Publication> midi2Publication; // the Network MIDI 2.0 host
        std::chrono::milliseconds resolveTimeout{0};
        std::chrono::milliseconds reconnectInterval{0};
    };

    // Queues f(owner) on the owner's (main) thread unless the owner is gone. Calls already
    // queued for a destroyed owner are discarded with it.
    template <typename F> void post(F &&f)
    {
        std::lock_guard lock(mutex);
        if (owner != nullptr)
            QMetaObject::invokeMethod(
                owner, [o = owner, f = std::forward<F>(f)]() mutable { f(*o); }, Qt::QueuedConnection);
    }
    // Called with the mutex held: wakes the discovery thread, once per batch of changes.
    void wake();

    std::mutex mutex;
    RTPDiscovery *owner = nullptr; // cleared by ~RTPDiscovery
    Wanted wanted;
    bool wakePending = false;
    Avahi *worker = nullptr; // set by the discovery thread while its event loop runs
    // Set once by ~RTPDiscovery; read without the mutex between Avahi calls.
    std::atomic<bool> quit{false};
};

// Runs on the discovery thread, which builds it, runs its event loop and drops it. Avahi's
// callbacks arrive there (through AvahiQtPoll); published fields change only through
// Link::post(), so observers never run inside an Avahi callback.
struct RTPDiscovery::Avahi {
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
    struct Publication {
        std::string requested;
        std::string current; // after renaming on collisions
        std::uint16_t port;
        std::uint64_t serial;
        bool committed = false;
        bool failureLogged = false;
        std::vector<std::string> txt;
    };
    // One published service type: its entry group and what is published in it.
    struct Slot {
        DiscoveredPeer::Kind kind;
        const char *type;
        std::optional<Publication> publication;
        AvahiEntryGroup *group = nullptr;
    };

    // The discovery thread's body: returns once the owner is destroyed and the call under
    // way, if any, has returned.
    static void run(const std::shared_ptr<Link> &link);

    Avahi(std::shared_ptr<Link> link, QEventLoop &loop);
    ~Avahi();

    // Brings the Avahi objects in line with what the owner wants.
    void reconcile();
    bool wanted() const;
    bool quitting() const { return link->quit.load(); }
    void ensureClient();
    // Frees the client and, with it, every browser, resolver and entry group it made. The
    // client closes its connection first, so this sends nothing and never waits on D-Bus.
    void freeClient();
    // Browser and resolvers go; with freeObjects false they are already gone with their client.
    void dropLookups(bool freeObjects);
    void retryLater();
    void reportUnavailable(const QString &why);
    void onClientState(AvahiClient *c, AvahiClientState state);
    void startBrowser();
    Slot &slotOf(DiscoveredPeer::Kind kind) { return services[kind == DiscoveredPeer::Kind::midi2 ? 1 : 0]; }
    void reconcilePublication(Slot &slot, const std::optional<Link::Publication> &wanted);
    void onBrowse(AvahiServiceBrowser *b, AvahiIfIndex interface, AvahiProtocol protocol,
                  AvahiBrowserEvent event, const char *name, const char *type, const char *domain);
    void onResolve(AvahiServiceResolver *r, AvahiResolverEvent event, const char *name,
                   const AvahiAddress *address, std::uint16_t port);
    void endResolving(std::uint64_t serial);
    void publish(Slot &slot);
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

    std::shared_ptr<Link> link;
    QEventLoop &loop;
    Link::Wanted want; // the last copy taken from link
    QObject context;   // receives wake-ups and timer calls on this thread
    AvahiQtPoll poll;  // outlives client: declared before it, freed after it
    AvahiClient *client = nullptr;
    AvahiServiceBrowser *browser = nullptr;
    AvahiServiceBrowser *midi2Browser = nullptr;
    std::uint64_t browserSession = 0;
    Slot services[2] = {{DiscoveredPeer::Kind::appleMidi, "_apple-midi._udp", {}, nullptr},
                     {DiscoveredPeer::Kind::midi2, "_midi2._udp", {}, nullptr}};
    std::vector<Found> found;
    std::list<Resolving> resolving;
    std::uint64_t lastSerial = 0;
    bool unavailableLogged = false;
    bool failureLogged = false;
    QTimer reconnect;
};

} // namespace korvane
