#pragma once

// The routes compiled for routing, and the one routine that routes a message
// with them (routePiece): record the input, for each route of its source
// check the channel mask, run the filter chain, count, deliver to every
// destination, note what each destination now holds, record each delivery.
// Two callers, which differ only in their sink:
//
//   - the audio server's real-time thread, through the RealtimeRouting
//     interface: each input event is cut into pieces by the input's own
//     splitter (a long system-exclusive dump is streamed piece by piece,
//     never collected) and written into output buffers of the same cycle;
//   - every other thread (network sessions, the MIDI input thread of
//     services without in-cycle routing) through MIDIRouter::process, with
//     whole messages, delivering through the engine and the network.
//
// A plan is immutable once built, except for state that belongs to one
// input and is only touched by the thread routing that input (the splitter,
// the open system-exclusive message) and the note holders (atomics).
// Queued-path inputs are added on first use, under the plan's own lock.

#include "midi/midi_message.h"
#include "midi/midi_monitor.h"
#include "midi/midi_stream_splitter.h"
#include "midi/note_holds.h"
#include "midi/service/midi_service.h"
#include "model/project.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace korvane {

class NetworkOutbox;

// The routes and chains as the router was given them, indexed by source, with
// each enabled route's chain resolved once. Immutable once built.
struct RouteTable {
    using Counter = std::atomic<std::uint64_t>;
    struct Entry {
        const Route *route;
        const FilterChain *chain; // null: none, unknown, or no enabled step
        std::shared_ptr<Counter> delivered;
        std::uint64_t shape; // changes with what decides which notes pass
    };

    std::vector<Route> routes;
    std::unordered_map<Uuid, FilterChain, UuidHash> chains;
    // One per route id, handed from table to table so a count never restarts
    // while the route lives.
    std::unordered_map<Uuid, std::shared_ptr<Counter>, UuidHash> counters;
    std::vector<Entry> active; // enabled routes, project order

    // `previous` hands its counters on.
    RouteTable(std::vector<Route> routes, std::vector<FilterChain> chains, const RouteTable *previous);
    RouteTable() = default;

    // Indices into `active` of the routes whose source matches `source`, in order.
    std::vector<std::uint32_t> matching(const EndpointKey &source) const;

private:
    using Indices = std::vector<std::uint32_t>;
    std::unordered_map<std::uint64_t, Indices> m_byKindAndID; // sources with a non-zero id
    std::unordered_map<std::string, Indices> m_byNameWithoutID;
    std::unordered_map<std::string, Indices> m_byName; // every route
};

struct RouteDestination {
    enum class Kind : std::uint8_t { endpoint, network, unresolved };
    Kind kind = Kind::unresolved;
    MidiService::Handle handle = 0; // Kind::endpoint, resolved when the plan was built (real-time plans)
    EndpointKey key;
    // Where network pieces of a long system-exclusive message are put back
    // together: one lane per route destination within a plan.
    std::uint32_t lane = 0;
};

// Where routePiece delivers and records.
class RouteSink {
public:
    // False when it could not go out (the sink counts it).
    virtual bool deliver(const RouteDestination &destination, const MIDIPiece &piece) noexcept = 0;
    // `head`: the first bytes of a message of `size` bytes.
    virtual void record(MonitorEvent::Direction direction, std::string_view endpoint,
                        std::span<const std::uint8_t> head, std::size_t size) noexcept = 0;

protected:
    ~RouteSink() = default;
};

class RoutePlan final : public MidiService::RealtimeRouting {
public:
    struct Route {
        std::uint16_t channelMask = 0xFFFF;
        const FilterChain *chain = nullptr; // owned by the table
        std::vector<RouteDestination> destinations;
        std::shared_ptr<RouteTable::Counter> delivered;
        Uuid id;
    };

    struct Input {
        std::string name;                       // the source key's name, for the monitor
        std::string identity;                   // which source and which connection of it
        std::uint32_t tag = 0;                  // the service's handle of this input (real-time)
        std::vector<std::uint32_t> routes;      // indices into routes, project order
        std::vector<std::uint32_t> firstHolder; // per route: its first destination's holder
        std::vector<NoteHolds *> holders;       // per route destination
        std::vector<std::shared_ptr<NoteHolds>> owners;

        // Streaming state (real-time inputs): the routing thread's alone.
        mutable MIDIStreamSplitter splitter;
        mutable bool sysexOpen = false;
        mutable std::vector<std::uint8_t> sysexPasses; // per route, for the open message
        mutable std::array<std::uint8_t, MonitorEvent::kRawHexBytes> sysexHead{};
        mutable std::size_t sysexSize = 0;
    };

    // What a plan is built from. `resolve` (real-time plans) turns endpoint
    // destinations into service handles; without it they stay by key.
    struct Parts {
        std::shared_ptr<const RouteTable> table;
        std::shared_ptr<NoteLedger> ledger;
        std::shared_ptr<MIDIMonitor> monitor;
        std::shared_ptr<NetworkOutbox> outbox;
        std::function<std::optional<MidiService::Handle>(const EndpointKey &)> resolve;
    };
    // A real-time input: a service handle, the source key and the identity
    // of its current connection.
    struct InputSpec {
        MidiService::Handle handle = 0;
        EndpointKey key;
        std::string identity;
    };

    RoutePlan(Parts parts, const std::vector<InputSpec> &inputs);
    ~RoutePlan() override;

    // The kernel. `input` is routed by one thread at a time.
    void routePiece(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept;

    // Queued path: the input for this source and origin (0: the source as a
    // whole), made on first use. Any thread.
    std::shared_ptr<const Input> queuedInput(const EndpointKey &source, std::uint64_t origin) const;
    // Forgets it: what it held is released once no plan or message in flight uses it.
    void dropQueuedInput(const EndpointKey &source, std::uint64_t origin) const;
    // The queued inputs of `previous` made here too, so what they hold carries over.
    void adoptQueuedInputs(const RoutePlan &previous) const;

    const Input *realtimeInput(MidiService::Handle handle) const noexcept;
    std::size_t routeCount() const { return m_routes.size(); }

    // MidiService::RealtimeRouting
    void route(MidiService::Handle input, std::span<const std::uint8_t> event,
               MidiService::RealtimeSink &sink) const noexcept override;
    void endCycle() const noexcept override;
    void takeOver(const MidiService::RealtimeRouting &previous) const noexcept override;

private:
    // Kind, name, unique id (-1: none) and origin; looked up by a view of
    // the same, so the queued path copies no name.
    using QueuedKey = std::tuple<EndpointKind, std::string, std::int64_t, std::uint64_t>;
    using QueuedView = std::tuple<EndpointKind, std::string_view, std::int64_t, std::uint64_t>;
    struct QueuedLess {
        using is_transparent = void;
        template <typename A, typename B> bool operator()(const A &a, const B &b) const
        {
            return std::tie(std::get<0>(a), std::get<2>(a), std::get<3>(a)) <
                       std::tie(std::get<0>(b), std::get<2>(b), std::get<3>(b)) ||
                   (std::tie(std::get<0>(a), std::get<2>(a), std::get<3>(a)) ==
                        std::tie(std::get<0>(b), std::get<2>(b), std::get<3>(b)) &&
                    std::string_view(std::get<1>(a)) < std::string_view(std::get<1>(b)));
        }
    };
    static QueuedView queuedView(const EndpointKey &source, std::uint64_t origin);

    std::unique_ptr<Input> makeInput(const EndpointKey &key, std::string identity) const;
    void routeWhole(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept;
    void routeSysexPiece(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept;
    bool passes(const Route &route, std::span<const std::uint8_t> message,
                std::span<std::uint8_t> head) const noexcept;

    Parts m_parts;
    std::vector<Route> m_routes; // one per active table entry
    std::vector<std::unique_ptr<Input>> m_inputs;
    std::vector<std::int32_t> m_inputByHandle; // -1: none

    mutable std::shared_mutex m_queuedMutex;
    mutable std::map<QueuedKey, std::shared_ptr<const Input>, QueuedLess> m_queued;
};

} // namespace korvane
