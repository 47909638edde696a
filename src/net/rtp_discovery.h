#pragma once

#include <QObject>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

// A resolved RTP-MIDI participant announced by DNS-SD.
struct DiscoveredPeer {
    std::string name; // service instance name
    std::string host; // dotted-decimal IPv4
    int port = 0;     // its control port

    // "<name>|<host>:<port>"
    std::string id() const;

    friend bool operator==(const DiscoveredPeer &, const DiscoveredPeer &) = default;
};

// The rules of the published peer list, apart from DNS-SD. Each returns whether the list changed.
namespace PeerList {
// Appends peer unless a peer with the same id is listed (resolution order is kept).
bool add(std::vector<DiscoveredPeer> &peers, DiscoveredPeer peer);
// Removes every peer of that instance name, whatever its host and port.
bool removeNamed(std::vector<DiscoveredPeer> &peers, const std::string &name);
} // namespace PeerList

// Browses for and publishes "_apple-midi._udp" services in "local" through the Avahi daemon.
// Lives on the main thread: Avahi is driven by this thread's event loop, and peers() and
// advertisedName() change only there, each change followed by its signal. When the daemon (or
// D-Bus) is absent, one line is logged, peers stay empty, and browsing and publishing begin
// as soon as the daemon answers.
class RTPDiscovery : public QObject {
    Q_OBJECT
public:
    explicit RTPDiscovery(QObject *parent = nullptr);
    ~RTPDiscovery() override;

    void start();
    // Stops browsing and withdraws the publication; peers and advertisedName empty afterwards.
    void stop();
    bool browsing() const { return m_browsing; }

    const std::vector<DiscoveredPeer> &peers() const { return m_peers; }

    // Replaces the published service. The name must be a valid DNS-SD instance name (1 to 63
    // bytes) and the port within 1..65535; otherwise the current publication is withdrawn and
    // the reason logged. On a name collision the service is renamed the way Avahi proposes.
    void advertise(const std::string &name, int port);
    // The instance name actually published (after any renaming); empty when none.
    std::string advertisedName() const { return m_advertisedName; }

    // True while the Avahi daemon answers.
    bool daemonAvailable() const { return m_daemonAvailable; }

    // A found service not resolved within this time is dropped.
    std::chrono::milliseconds resolveTimeout{std::chrono::seconds(5)};
    // How often a client is tried again while D-Bus itself cannot be reached (a missing
    // daemon on a reachable bus is noticed at once, without polling).
    std::chrono::milliseconds reconnectInterval{std::chrono::seconds(5)};

signals:
    void peersChanged();
    void advertisedNameChanged();
    void daemonAvailableChanged();

private:
    struct Avahi;
    friend struct Avahi;

    void appendPeer(DiscoveredPeer peer);
    void removePeersNamed(const std::string &name);
    void clearPeers();
    void setAdvertisedName(std::string name);
    void setDaemonAvailable(bool available);

    std::vector<DiscoveredPeer> m_peers;
    std::string m_advertisedName;
    bool m_browsing = false;
    bool m_daemonAvailable = false;
    std::unique_ptr<Avahi> m_avahi;
};

} // namespace korvane

template <> struct std::hash<korvane::DiscoveredPeer> {
    std::size_t operator()(const korvane::DiscoveredPeer &p) const noexcept
    {
        return std::hash<std::string>{}(p.id());
    }
};
