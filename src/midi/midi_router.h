#pragma once

// The switchboard between inputs and outputs: every incoming message is
// recorded, matched against the routes, filtered per route and delivered to
// each destination of the matching routes. The routing itself is RoutePlan's
// (one kernel for every path); the router holds the configuration, compiles
// it into plans, and feeds the plan of the queued path.
//
// It also knows what every source holds on at every destination (notes,
// sustain pedals, after filtering), and when a source goes away (its origin
// is dropped, its route changes or goes, the service no longer lists it) it
// sends the note-offs and pedal-offs nobody else still holds.

#include "midi/midi_delivery.h"
#include "midi/midi_message.h"
#include "midi/note_holds.h"
#include "model/project.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

class MIDIMonitor;
class NetworkOutbox;
class RoutePlan;
struct RouteTable;

class MIDIRouter {
public:
    using RtpSend = std::function<void(const EndpointKey &destination, const MIDIMessage &message)>;
    using Log = std::function<void(const std::string &line)>;

    MIDIRouter();
    ~MIDIRouter();
    MIDIRouter(const MIDIRouter &) = delete;
    MIDIRouter &operator=(const MIDIRouter &) = delete;

    // Replaces routes and chains as a whole. When two chains share an id the
    // first one in the list is kept, as a project lookup by id would find it.
    void updateConfiguration(std::vector<Route> routes, std::vector<FilterChain> chains);
    // Off: nothing is recorded or sent, on either path, and what sources
    // held is released.
    void setEnabled(bool enabled);
    bool enabled() const;
    std::vector<Route> routes() const;

    // Any thread, several at once. `origin` tells apart the senders behind
    // one source key (the peers of a network session, the connections of an
    // input); 0 is the key as a whole. Messages of one source and origin come
    // from one thread at a time.
    void process(const EndpointKey &source, const MIDIMessage &message, std::uint64_t origin = 0);
    // That sender is gone: what it holds on is released (once no message of
    // it is still being routed). Any thread.
    void releaseOrigin(const EndpointKey &source, std::uint64_t origin);

    // Messages that passed the route's channel mask and filter chain and went
    // to its destinations, since the route id first reached the router; the
    // count survives configuration changes. Nothing for an unknown id. Any
    // thread; the MIDI path only does a relaxed increment.
    std::optional<std::uint64_t> routeMessageCount(const Uuid &routeID) const;

    // Same kind, then equal unique ids when both are non-zero, else equal names.
    static bool keysMatch(const EndpointKey &a, const EndpointKey &b);

    // Thread-safe; each takes effect for messages processed afterwards. A
    // missing engine, monitor or callback means that part is skipped.
    void setEngine(std::weak_ptr<MIDIDelivery> engine);
    void setMonitor(std::weak_ptr<MIDIMonitor> monitor);
    // Called for destinations of kind rtp, with no router lock held.
    void setRtpSend(RtpSend send);
    std::shared_ptr<const RtpSend> rtpSend() const;
    // One line per release of held notes. Any thread calls it.
    void setLog(Log log);

    // The current configuration compiled for in-cycle routing of the given
    // inputs: each a service input handle, its source key and the identity
    // of its current connection (a new identity is a new source, which holds
    // nothing yet). `resolve` turns endpoint destinations into handles.
    struct RealtimeInput {
        std::uint32_t handle = 0;
        EndpointKey key;
        std::string identity;
    };
    using Resolve = std::function<std::optional<std::uint32_t>(const EndpointKey &)>;
    std::shared_ptr<RoutePlan> makeRealtimePlan(const std::vector<RealtimeInput> &inputs,
                                                const Resolve &resolve,
                                                std::shared_ptr<NetworkOutbox> outbox) const;
    // Called after every configuration change, on the thread that made it,
    // with no router lock held.
    void setChangeListener(std::function<void()> listener);

    // Holders of notes alive in any plan (bounded-memory checks).
    std::size_t liveNoteHolders() const;

private:
    struct Config;
    struct Shared;

    std::shared_ptr<const Config> snapshot() const;
    void replace(const std::function<void(Config &)> &edit);

    // Everything lives in Shared: the ledger's release, which may run after
    // the router is gone (a plan let go of late), holds it weakly.
    std::shared_ptr<Shared> m_shared;
};

} // namespace korvane
