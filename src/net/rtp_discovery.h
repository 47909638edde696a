#pragma once

#include <QObject>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// A resolved RTP-MIDI participant announced by DNS-SD, or a Network MIDI 2.0
// host (service "_midi2._udp").
struct DiscoveredPeer {
    enum class Kind { appleMidi, midi2 };

    std::string name; // service instance name
    std::string host; // dotted-decimal IPv4
    int port = 0;     // its control port (a Network MIDI 2.0 host's only port)
    Kind kind = Kind::appleMidi;

    // "<name>|<host>:<port>", followed by "|midi2" for a Network MIDI 2.0 host.
    std::string id() const;

    friend bool operator==(const DiscoveredPeer &, const DiscoveredPeer &) = default;
};

// The rules of the published peer list, apart from DNS-SD. Each returns whether the list changed.
namespace PeerList {
// Appends peer, its name made safe (control characters replaced, cut at 64),
// unless a peer with the same id is listed (resolution order is kept).
bool add(std::vector<DiscoveredPeer> &peers, DiscoveredPeer peer);
// Removes every peer of that instance name and kind, whatever its host and port.
bool removeNamed(std::vector<DiscoveredPeer> &peers, const std::string &name,
                 DiscoveredPeer::Kind kind = DiscoveredPeer::Kind::appleMidi);
} // namespace PeerList

// Browses for and publishes "_apple-midi._udp" services in "local" through the Avahi daemon.
// Used from the main thread. Every Avahi call, and so every D-Bus round trip, runs on a
// discovery thread of its own, so a daemon or bus that stops answering never stalls the caller;
// peers() and advertisedName() change only on the main thread, each change followed by its
// signal. When the daemon (or D-Bus) is absent, one line is logged, peers stay empty, and
// browsing and publishing begin as soon as the daemon answers.
class RTPDiscovery : public QObject {
    Q_OBJECT
public:
    explicit RTPDiscovery(QObject *parent = nullptr);
    // Returns at once, whatever the daemon does: the discovery thread is not waited for; it
    // frees everything and ends by itself once the D-Bus call under way, if any, has returned.
    ~RTPDiscovery() override;

    void start();
    // Stops browsing and withdraws the publication; peers and advertisedName are emptied from
    // the event loop right after.
    void stop();
    bool browsing() const { return m_browsing; }

    const std::vector<DiscoveredPeer> &peers() const { return m_peers; }

    // Replaces the published service. The name must be a valid DNS-SD instance name (1 to 63
    // bytes) and the port within 1..65535; otherwise the current publication is withdrawn and
    // the reason logged. On a name collision the service is renamed the way Avahi proposes.
    void advertise(const std::string &name, int port);
    // The instance name actually published (after any renaming); empty when none.
    std::string advertisedName() const { return m_advertisedName; }

    // The same for the Network MIDI 2.0 host ("_midi2._udp"), with the TXT
    // records hosts read: UMPEndpointName and ProductInstanceId.
    void advertiseMidi2(const std::string &name, int port, const std::string &endpointName,
                        const std::string &productInstanceId);
    void withdrawMidi2();
    std::string advertisedMidi2Name() const { return m_advertisedMidi2Name; }

    // True while the Avahi daemon answers.
    bool daemonAvailable() const { return m_daemonAvailable; }

    // A found service not resolved within this time is dropped. This and reconnectInterval are
    // handed to the discovery thread by start() and advertise().
    std::chrono::milliseconds resolveTimeout{std::chrono::seconds(5)};
    // How soon a client, browser or publication that failed is tried again, for example while
    // D-Bus itself cannot be reached or after a call the daemon left unanswered (a missing
    // daemon on a reachable bus is noticed at once, without polling).
    std::chrono::milliseconds reconnectInterval{std::chrono::seconds(5)};

signals:
    void peersChanged();
    void advertisedNameChanged();
    void daemonAvailableChanged();

private:
    // The discovery thread's side: every Avahi object, used on that thread only.
    struct Avahi;
    // What the two threads share: the wanted state and the way back to this object.
    struct Link;
    struct Request {
        std::string name;
        int port = 0;
        std::vector<std::string> txt;
        friend bool operator==(const Request &, const Request &) = default;
    };

    // Hands the wanted state to the discovery thread and wakes it.
    void sync();
    // Results from the discovery thread, each stamped with the browsing session or the
    // publication it belongs to; anything from an earlier one is ignored.
    void resolved(std::uint64_t session, DiscoveredPeer peer);
    void removed(std::uint64_t session, const std::string &name, DiscoveredPeer::Kind kind);
    void lost(std::uint64_t session);
    void renamed(std::uint64_t publication, std::string name);
    void renamedMidi2(std::uint64_t publication, std::string name);
    void setAdvertisedMidi2Name(std::string name);

    void appendPeer(DiscoveredPeer peer);
    void removePeersNamed(const std::string &name, DiscoveredPeer::Kind kind);
    void clearPeers();
    void setAdvertisedName(std::string name);
    void setDaemonAvailable(bool available);

    std::vector<DiscoveredPeer> m_peers;
    std::string m_advertisedName;
    bool m_browsing = false;
    bool m_daemonAvailable = false;
    std::uint64_t m_session = 0;     // bumped by start() and stop()
    std::uint64_t m_publication = 0; // bumped by every advertise() that changes the request, and by stop()
    std::optional<Request> m_request;
    std::string m_advertisedMidi2Name;
    std::uint64_t m_midi2Publication = 0;
    std::optional<Request> m_midi2Request;
    std::shared_ptr<Link> m_link;
};

} // namespace korvane

template <> struct std::hash<korvane::DiscoveredPeer> {
    std::size_t operator()(const korvane::DiscoveredPeer &p) const noexcept
    {
        return std::hash<std::string>{}(p.id());
    }
};
