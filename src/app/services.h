#pragma once

// The services a show runs on, built and connected in one place: the MIDI
// engine, the router, the monitor, the RTP-MIDI and Network MIDI 2.0
// sessions, DNS-SD and the in-cycle routing link. Every input that does not
// go through the in-cycle link (the engine's input thread, both kinds of
// network session) reaches the router through one callback, with its origin,
// and every origin that ends reaches the router's release the same way.
// Main thread, apart from those callbacks, which hold the router weakly.

#include "model/project.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

class MIDIEngine;
class MIDIMonitor;
class MIDIRouter;
class MidiService;
class NetworkMIDI2Manager;
class RealtimeRoutingLink;
class RTPDiscovery;
class RTPManager;

// Messages lost since start, by where: the MIDI service and its buffers,
// the network (in-cycle queue and sessions), system-exclusive messages
// abandoned at a destination, monitor records.
struct MessageLosses {
    std::uint64_t midi = 0;
    std::uint64_t network = 0;
    std::uint64_t sysex = 0;
    std::uint64_t monitor = 0;
    std::uint64_t total() const { return midi + network + sysex + monitor; }
    friend bool operator==(const MessageLosses &, const MessageLosses &) = default;
};

// "Pertes : 3 messages (sorties MIDI 2, réseau 1, SysEx abandonnés 0, moniteur 0)".
std::string lossesText(const MessageLosses &losses);

class Services {
public:
    using Log = std::function<void(const std::string &line)>;

    // `log` receives the router's lines (held notes released), on any MIDI or network thread.
    Services(std::shared_ptr<MidiService> midiService, Log log);
    // Routing off, sessions' goodbyes, the engine's ports released, then the services go.
    ~Services();
    Services(const Services &) = delete;
    Services &operator=(const Services &) = delete;

    MIDIEngine &engine() { return *m_engine; }
    const MIDIEngine &engine() const { return *m_engine; }
    MIDIRouter &router() { return *m_router; }
    const MIDIRouter &router() const { return *m_router; }
    MIDIMonitor &monitor() { return *m_monitor; }
    const MIDIMonitor &monitor() const { return *m_monitor; }
    RTPManager &rtp() { return *m_rtp; }
    const RTPManager &rtp() const { return *m_rtp; }
    NetworkMIDI2Manager &networkMidi2() { return *m_midi2; }
    const NetworkMIDI2Manager &networkMidi2() const { return *m_midi2; }
    RTPDiscovery &discovery() { return *m_discovery; }
    const RTPDiscovery &discovery() const { return *m_discovery; }

    // Both kinds of session after the project's, and what DNS-SD publishes.
    void applyNetwork(const TOVProject &project);
    // Routing off first (nothing routed reaches a destination after the
    // panic; what senders held is released), the panic when asked, the
    // sessions (their panic before their goodbye), the engine; routing on.
    void stop(bool panicFirst);
    // Every MIDI destination and every network peer.
    void panic();

    // Engine endpoints, then sessions of both kinds.
    std::vector<EndpointKey> routableSources() const;
    std::vector<EndpointKey> routableDestinations() const;
    MessageLosses losses() const;

private:
    void advertise(const TOVProject &project);
    std::vector<EndpointKey> withSessions(std::vector<EndpointKey> keys) const;

    std::shared_ptr<MIDIEngine> m_engine;
    std::shared_ptr<MIDIRouter> m_router;
    std::shared_ptr<MIDIMonitor> m_monitor;
    std::shared_ptr<RTPManager> m_rtp;
    std::shared_ptr<NetworkMIDI2Manager> m_midi2;
    std::shared_ptr<RTPDiscovery> m_discovery;
    std::shared_ptr<RealtimeRoutingLink> m_link; // null where the service routes outside its cycle
};

} // namespace korvane
