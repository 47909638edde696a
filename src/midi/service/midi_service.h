#pragma once

// The platform MIDI service as the engine sees it: one client, an input port
// that hands every packet list back with the token given when its source was
// connected, an output port, the machine's sources and destinations, and the
// program's own virtual sources and destinations. Backends: JACK (the program),
// loopback (in-process, for tests).
//
// Threads: open/close, enumeration, connections, port and virtual endpoint
// creation and disposal run on one thread (the engine's main thread). `send`
// and `publish` may be called from any thread, concurrently, and never block
// on the service. Notification and receive handlers are called on threads of
// the backend; they must not call back into the service.

#include "midi/service/midi_service_status.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class MidiService {
public:
    // Client, port and endpoint handles. 0 is never a valid handle.
    using Handle = std::uint32_t;
    // The per-connection value handed back with every input of a connected source.
    using Token = std::uint64_t;

    // One packet: a run of bytes received at one moment. The bytes are only
    // valid during the handler call.
    struct Packet {
        std::uint64_t timestamp = 0; // nanoseconds on the backend's clock
        std::span<const std::uint8_t> bytes;
    };
    using PacketList = std::span<const Packet>;

    enum class Notification {
        // Endpoints appeared, disappeared, were renamed or reconnected. One
        // notice may stand for every change until both lists are read again.
        setupChanged,
        shutdown, // the server vanished: the client is dead, close it
    };
    using NotificationHandler = std::function<void(Notification)>;
    using InputHandler = std::function<void(PacketList, Token)>;
    using VirtualInputHandler = std::function<void(PacketList)>;

    // What the service knows of one endpoint. Absent properties are the
    // service's way of saying it has none.
    struct EndpointDescription {
        Handle handle = 0;
        std::optional<std::string> displayName;
        std::optional<std::int32_t> uniqueID;
        std::optional<bool> offline;
    };

    // What users call an endpoint (its nickname), for the port a service
    // keeps for it where it has one (JACK's per-source and per-destination
    // ports); empty keeps the endpoint's own name. Called on the main thread
    // while the lists are read; must not call back into the service.
    using PortLabeler = std::function<std::string(const EndpointDescription &, bool source)>;

    struct [[nodiscard]] ClientResult {
        MidiServiceStatus status;
        Handle client = 0; // 0 unless status is ok
    };

    virtual ~MidiService() = default;

    // The service's name as users know it ("JACK", "PipeWire"), for texts that name it.
    virtual std::string serviceName() const = 0;

    // Applies from the next reading of the lists; ports already named are
    // renamed in place, keeping their connections.
    virtual void setPortLabeler(PortLabeler labeler) { (void)labeler; }

    // One client at a time: a second open while one is open fails.
    virtual ClientResult openClient(const std::string &name, NotificationHandler notify) = 0;
    // Closes the client and everything it created. What was sent or published
    // before is delivered first (the wait is bounded); no handler runs once
    // it returns.
    virtual void closeClient(Handle client) = 0;

    [[nodiscard]] virtual std::optional<Handle> createInputPort(Handle client, const std::string &name,
                                                                InputHandler receive) = 0;
    [[nodiscard]] virtual std::optional<Handle> createOutputPort(Handle client, const std::string &name) = 0;
    virtual void disposePort(Handle port) = 0;

    // In the service's order. Each includes the program's own virtual endpoints.
    virtual std::vector<EndpointDescription> sources() = 0;
    virtual std::vector<EndpointDescription> destinations() = 0;

    virtual MidiServiceStatus connectSource(Handle inputPort, Handle source, Token token) = 0;
    virtual MidiServiceStatus disconnectSource(Handle inputPort, Handle source) = 0;

    // Own virtual endpoints, seen by other programs under `name`.
    [[nodiscard]] virtual std::optional<Handle> createVirtualSource(Handle client,
                                                                    const std::string &name) = 0;
    [[nodiscard]] virtual std::optional<Handle>
    createVirtualDestination(Handle client, const std::string &name, VirtualInputHandler receive) = 0;
    virtual void disposeEndpoint(Handle endpoint) = 0;

    // Sends to a destination through an output port. Any thread.
    // All packets are queued, in order, or none.
    virtual MidiServiceStatus send(Handle outputPort, Handle destination, PacketList packets) = 0;
    // Publishes on one of the program's own virtual sources, where other
    // programs read it. Any thread.
    virtual MidiServiceStatus publish(Handle ownVirtualSource, PacketList packets) = 0;

    // In-cycle routing, for services whose inputs and outputs meet in one
    // real-time cycle: input events are handed to a RealtimeRouting on the
    // real-time thread, which writes its results into the same cycle.

    // What the routing may write to during a cycle. Real-time thread only.
    // A message goes as a whole, or, for a long system-exclusive message, in
    // the pieces it arrived in (flags from pieceFlags): the service keeps
    // other inputs' messages off a destination while one input's message is
    // open there.
    enum PieceFlag : std::uint8_t { pieceSysex = 1, pieceFirst = 2, pieceLast = 4 };
    static constexpr std::uint8_t pieceFlags(bool sysex, bool first, bool last)
    {
        return static_cast<std::uint8_t>((sysex ? pieceSysex : 0) | (first ? pieceFirst : 0) |
                                         (last ? pieceLast : 0));
    }
    static constexpr std::uint8_t wholeMessage = pieceFirst | pieceLast;

    class RealtimeSink {
    public:
        // Queues bytes on a destination or an own virtual source, at the time
        // of the input event being routed. False when they cannot go out
        // (unknown endpoint, full buffer).
        virtual bool write(Handle endpoint, std::span<const std::uint8_t> bytes,
                           std::uint8_t flags) noexcept = 0;

    protected:
        ~RealtimeSink() = default;
    };
    class RealtimeRouting {
    public:
        virtual ~RealtimeRouting() = default;
        // One input event of `input`: a connected source's handle or an own
        // virtual destination's. Must not lock, allocate or make system calls.
        virtual void route(Handle input, std::span<const std::uint8_t> event,
                           RealtimeSink &sink) const noexcept = 0;
        // Once per cycle that routed something, after its last event.
        virtual void endCycle() const noexcept {}
        // Before the first event of the first cycle that uses this routing,
        // with the routing the previous cycle used (alive during the call):
        // state that spans events (a message half-way through) carries over.
        virtual void takeOver(const RealtimeRouting &previous) const noexcept { (void)previous; }
    };
    // What the service itself lost since it was made: messages it could not
    // write (full rings or buffers, its port and handle limits) and
    // system-exclusive messages it abandoned at a destination (kept waiting
    // for too long by another input's open message). Any thread.
    struct Losses {
        std::uint64_t refused = 0;
        std::uint64_t abandonedSysex = 0;
    };
    virtual Losses losses() const { return {}; }

    virtual bool supportsRealtimeRouting() const { return false; }
    // Replaces the routing as a whole; null hands input to the input
    // handlers again. Any thread. The previous routing is released on a
    // non-real-time thread once no cycle can still be using it.
    virtual void setRealtimeRouting(std::shared_ptr<const RealtimeRouting> routing) { (void)routing; }
};

} // namespace korvane
