#pragma once

#include "net/discovery_types.h"

#include <QObject>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace korvane {
struct RTPDiscoveryLink;
} // namespace korvane

namespace korvane {

// Browses for and publishes "_apple-midi._udp" services in "local" through the Avahi daemon.
// Used from the main thread. Every Avahi call, and so every D-Bus round trip, runs on a
// discovery thread of its own, so a daemon or bus that stops answering never stalls the caller;
// peers() and advertisedName() change only on the main thread, each change followed by its
// signal. When the daemon (or D-Bus) is absent, one line is logged, peers stay empty, and
// browsing and publishing begin as soon as the daemon answers.
class RTPDiscovery : public QObject, private DiscoveryReports {
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
    DiscoveryState state() const;
    // Why DNS-SD is unavailable, in French ("démon Avahi absent"); empty while it runs.
    std::string unavailableReason() const;
    // True while the daemon holds the advertised service registered on the network.
    bool published() const { return m_published; }

    // A found service not resolved within this time is dropped. This and reconnectInterval are
    // handed to the discovery thread by start() and advertise().
    std::chrono::milliseconds resolveTimeout{std::chrono::seconds(5)};
    // How soon a client, browser or publication that failed is tried again, for example while
    // D-Bus itself cannot be reached or after a call the daemon left unanswered (a missing
    // daemon on a reachable bus is noticed at once, without polling).
    std::chrono::milliseconds reconnectInterval{std::chrono::seconds(5)};
    // The daemon is asked for its state this often, and counts as not answering once a
    // question has waited this long for its reply.
    std::chrono::milliseconds daemonReplyTimeout{std::chrono::seconds(5)};

signals:
    void peersChanged();
    void advertisedNameChanged();
    void daemonAvailableChanged();
    // After every change of state(), unavailableReason() or published().
    void stateChanged();

private:
    struct Request {
        std::string name;
        int port = 0;
        std::vector<std::string> txt;
        friend bool operator==(const Request &, const Request &) = default;
    };

    // Hands the wanted state to the discovery thread and wakes it.
    void sync();
    void resolved(std::uint64_t session, DiscoveredPeer peer) override;
    void removed(std::uint64_t session, const std::string &name, DiscoveredPeer::Kind kind) override;
    void lost(std::uint64_t session) override;
    void renamed(std::uint64_t publication, std::string name) override;
    void renamedMidi2(std::uint64_t publication, std::string name) override;
    void publishedChanged(std::uint64_t publication, bool published) override;
    void setDaemonAvailable(bool available, std::string reason = {}) override;
    void setAdvertisedMidi2Name(std::string name);
    // Main thread, on a timer: whether the daemon answered lately.
    void checkAnswers();

    void appendPeer(DiscoveredPeer peer);
    void removePeersNamed(const std::string &name, DiscoveredPeer::Kind kind);
    void clearPeers();
    void setAdvertisedName(std::string name);
    void setPublished(bool published);

    std::vector<DiscoveredPeer> m_peers;
    std::string m_advertisedName;
    bool m_browsing = false;
    bool m_daemonAvailable = false;
    std::string m_unavailableReason;
    bool m_answering = true; // false once the daemon left a question unanswered too long
    bool m_published = false;
    QTimer *m_watchdog = nullptr;
    std::uint64_t m_session = 0;     // bumped by start() and stop()
    std::uint64_t m_publication = 0; // bumped by every advertise() that changes the request, and by stop()
    std::optional<Request> m_request;
    std::string m_advertisedMidi2Name;
    std::uint64_t m_midi2Publication = 0;
    std::optional<Request> m_midi2Request;
    std::shared_ptr<RTPDiscoveryLink> m_link;
};

} // namespace korvane
