#pragma once

// The decisions of DNS-SD discovery, apart from Avahi and Qt: what the owner
// wants (browsing, one publication per service type) against what the daemon
// has been made to do, one step at a time, and when a failed step is tried
// again. Time is whatever clock the caller moves; nothing here reads one.
// The Avahi thread asks next() for a step, carries it out and reports how it
// went; it decides nothing itself.

#include "net/discovery_types.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

class DiscoveryCore {
public:
    using Time = std::chrono::milliseconds;

    struct Publication {
        std::string name;
        std::uint16_t port = 0;
        std::uint64_t serial = 0; // the owner's, bumped by every change it asks for
        std::vector<std::string> txt;
        friend bool operator==(const Publication &, const Publication &) = default;
    };
    struct Wanted {
        bool browsing = false;
        std::uint64_t session = 0;                   // the owner's browsing session
        std::optional<Publication> publication;      // "_apple-midi._udp"
        std::optional<Publication> midi2Publication; // "_midi2._udp"
    };
    // A publication as the daemon holds it.
    struct Applied {
        Publication wanted;
        std::string current; // after renaming on collisions
        bool committed = false;
        bool failed = false; // waits for the retry before being tried again
    };

    enum class Step { withdraw, freeClient, createClient, dropBrowser, startBrowser, publish };
    struct Action {
        Step step;
        DiscoveredPeer::Kind kind = DiscoveredPeer::Kind::appleMidi; // withdraw and publish
        friend bool operator==(const Action &, const Action &) = default;
    };

    void setWanted(Wanted wanted);
    void setReconnectInterval(Time interval) { m_reconnectInterval = interval; }
    const Wanted &wanted() const { return m_wanted; }

    // The next step towards what is wanted; none while everything matches or
    // what is left waits for the client to run or for a retry.
    std::optional<Action> next(Time now);
    // When a failed step is tried again (the caller wakes up then and asks next()).
    std::optional<Time> retryAt() const { return m_retryAt; }

    // Outcomes of the steps.
    void withdrawn(DiscoveredPeer::Kind kind);
    void clientFreed();
    void clientCreated(bool ok, Time now);
    void browserDropped() { m_browserSession.reset(); }
    void browserStarted(bool ok, Time now);
    void published(DiscoveredPeer::Kind kind, bool ok, Time now);
    // Avahi proposed another name after a collision.
    void renamed(DiscoveredPeer::Kind kind, std::string current);

    // What the daemon tells.
    void clientRunning() { m_client = Client::running; }
    // The daemon re-registers its host name: records go back in once running.
    void recordsReset();
    // No daemon on the bus: a new client is made after the reconnect interval
    // (one that never answered would otherwise wait for ever).
    void clientConnecting(Time now);
    // The client failed: it is freed at once, a new one made after `delay`.
    void clientFailed(Time now, Time delay);

    bool clientRunningNow() const { return m_client == Client::running; }
    std::optional<std::uint64_t> browserSession() const { return m_browserSession; }
    const std::optional<Applied> &applied(DiscoveredPeer::Kind kind) const { return m_applied[index(kind)]; }
    // Whether a result stamped with `session` belongs to the browsing that runs.
    bool currentSession(std::uint64_t session) const { return m_browserSession == session; }

private:
    enum class Client { none, connecting, registering, running, failed };

    static std::size_t index(DiscoveredPeer::Kind kind)
    {
        return kind == DiscoveredPeer::Kind::midi2 ? 1 : 0;
    }
    const std::optional<Publication> &wantedPublication(std::size_t i) const
    {
        return i == 0 ? m_wanted.publication : m_wanted.midi2Publication;
    }
    bool anythingWanted() const;
    void retryLater(Time now, Time delay);

    Wanted m_wanted;
    Time m_reconnectInterval{5000};
    Client m_client = Client::none;
    bool m_clientBlocked = false; // creating one failed: wait for the retry
    bool m_browseBlocked = false;
    std::optional<std::uint64_t> m_browserSession;
    std::array<std::optional<Applied>, 2> m_applied;
    std::optional<Time> m_retryAt;
};

} // namespace korvane
