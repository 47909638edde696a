#pragma once

// What DNS-SD discovery reports, shared by its facade and its thread.

#include <cstddef>
#include <cstdint>
#include <functional>
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

// What DNS-SD can do right now, as the network page tells it.
enum class DiscoveryState {
    connecting,         // the daemon has not answered yet
    running,            // the daemon answers: browsing and publishing work
    daemonMissing,      // no daemon on the bus, or no bus at all
    daemonNotAnswering, // the daemon holds its bus name but leaves calls unanswered
};

// What the discovery thread reports back, each call posted to the owner's
// (main) thread. Results are stamped with the browsing session or the
// publication they belong to; the owner ignores anything from an earlier one.
class DiscoveryReports {
public:
    virtual void resolved(std::uint64_t session, DiscoveredPeer peer) = 0;
    virtual void removed(std::uint64_t session, const std::string &name, DiscoveredPeer::Kind kind) = 0;
    virtual void lost(std::uint64_t session) = 0;
    virtual void renamed(std::uint64_t publication, std::string name) = 0;
    virtual void renamedMidi2(std::uint64_t publication, std::string name) = 0;
    virtual void publishedChanged(std::uint64_t publication, bool published) = 0;
    virtual void setDaemonAvailable(bool available, std::string reason) = 0;

protected:
    ~DiscoveryReports() = default;
};

} // namespace korvane

template <> struct std::hash<korvane::DiscoveredPeer> {
    std::size_t operator()(const korvane::DiscoveredPeer &p) const noexcept
    {
        return std::hash<std::string>{}(p.id());
    }
};
