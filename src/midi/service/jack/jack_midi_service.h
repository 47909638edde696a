#pragma once

// The JACK backend's internals, shared by its source files. Not for use
// outside this directory: the rest of the program sees only MidiService and
// the entry points in jack_backend.h.

#include "midi/service/jack/jack_backend.h"
#include "midi/service/jack/jack_port_io.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::jackio {

constexpr std::size_t kMaxInputPorts = 512;
constexpr std::size_t kMaxOutputPorts = 512;
constexpr std::size_t kInputRingBytes = std::size_t{1} << 18;
constexpr std::size_t kOutputRingBytes = std::size_t{1} << 16;
// Endpoint handles in-cycle routing can write to (a table the process
// callback indexes); handles are numbered densely from 16, one per port name
// seen, so this is far beyond any real set-up.
constexpr std::size_t kMaxRealtimeHandles = std::size_t{1} << 14;

// True for the plumbing ports of another instance of this program, named
// after `base`, on the same server.
bool isInstancePlumbing(std::string_view base, std::string_view fullName);

class JackMidiService final : public MidiService {
public:
    explicit JackMidiService(std::string serverName) : m_serverName(std::move(serverName)) {}
    ~JackMidiService() override { closeClient(kClientHandle); }

    std::string serviceName() const override { return m_onPipeWire ? "PipeWire" : "JACK"; }
    void setPortLabeler(PortLabeler labeler) override { m_labeler = std::move(labeler); }
    ClientResult openClient(const std::string &name, NotificationHandler notify) override;
    void closeClient(Handle client) override;
    std::optional<Handle> createInputPort(Handle client, const std::string &name,
                                          InputHandler receive) override;
    std::optional<Handle> createOutputPort(Handle client, const std::string &name) override;
    void disposePort(Handle port) override;
    std::vector<EndpointDescription> sources() override { return enumerate(JackPortIsOutput); }
    std::vector<EndpointDescription> destinations() override { return enumerate(JackPortIsInput); }
    MidiServiceStatus connectSource(Handle inputPort, Handle source, Token token) override;
    MidiServiceStatus disconnectSource(Handle inputPort, Handle source) override;
    std::optional<Handle> createVirtualSource(Handle client, const std::string &name) override;
    std::optional<Handle> createVirtualDestination(Handle client, const std::string &name,
                                                   VirtualInputHandler receive) override;
    void disposeEndpoint(Handle endpoint) override;
    MidiServiceStatus send(Handle outputPort, Handle destination, PacketList packets) override;
    MidiServiceStatus publish(Handle ownVirtualSource, PacketList packets) override;
    Losses losses() const override;
    bool supportsRealtimeRouting() const override { return true; }
    void setRealtimeRouting(std::shared_ptr<const RealtimeRouting> routing) override;

private:
    static constexpr Handle kClientHandle = 1;
    static constexpr Handle kInputPortHandle = 2;
    static constexpr Handle kOutputPortHandle = 3;
    static constexpr Handle kFirstEndpointHandle = 16;

    // Our JACK client, with the output ports its process callback drains.
    struct Side {
        jack_client_t *client = nullptr;
        std::string name;
        jackio::SlotTable<Output, kMaxOutputPorts> outputs;
        std::atomic<std::uint64_t> cycles{0};
    };

    // One of our input ports: per connected source, or an own virtual destination.
    struct InputPort {
        std::unique_ptr<InputSlot> slot;
        int index = -1;
        std::string peerName;  // the source it listens to; empty for a virtual destination
        std::string givenName; // the short name last asked for
        bool wanted = false;   // the source should be connected
    };
    // One of our output ports: per destination, or an own virtual source.
    struct OutputPort {
        Side *side = nullptr;
        Handle handle = 0; // the destination it feeds, or the own virtual source
        std::shared_ptr<Output> output;
        int index = -1;
        std::string peerName;  // the destination it feeds; empty for a virtual source
        std::string givenName; // the short name last asked for
    };
    // What our port for an external endpoint is called, and its pretty name.
    struct PlumbingName {
        std::string shortName;
        std::string pretty;
    };

    static int processMain(jack_nframes_t frames, void *arg);
    void routeInCycle(const RealtimeRouting &routing, jack_nframes_t frames, std::uint64_t cycle) noexcept;
    void setRealtimeOutput(Handle handle, Output *output);
    void releaseRetiredRoutings(bool all);
    static void onPortRegistration(jack_port_id_t, int, void *arg);
    static void onPortConnect(jack_port_id_t, jack_port_id_t, int, void *arg);
    static void onPortRename(jack_port_id_t, const char *, const char *, void *arg);
    static void onPropertyChange(jack_uuid_t, const char *, jack_property_change_t, void *arg);
    static void onShutdown(void *arg);
    void setupChanged();

    bool alive() const { return m_main.client != nullptr && !m_dead.load(); }
    jack_client_t *openOne(const std::string &name, MidiServiceStatus &status);
    bool isOurPlumbing(jack_port_t *port, const std::string &fullName, Handle handle, bool source) const;
    Handle handleFor(const std::string &fullName);
    const std::string *nameOf(Handle handle) const;
    std::string displayName(jack_port_t *port, const std::string &fullName) const;
    std::vector<EndpointDescription> enumerate(unsigned long direction);
    // Returns jack_connect's result (0 when the connection already stands).
    int ensureConnected(jack_port_t *ours, const std::string &peer, bool oursIsOutput);
    void keepVirtualConnections();
    void releaseAbsent(const std::set<std::string> &present, bool sources);
    void restoreLater(const std::string &shortName);
    void ensureOutputFor(Handle destination, const std::string &fullName);
    PlumbingName plumbingName(Handle endpoint, bool input) const;
    // Renames one of our per-endpoint ports in place (JACK keeps its connections).
    void nameOurPort(jack_port_t *port, std::string &givenName, const PlumbingName &name);
    void setPrettyName(jack_port_t *port, const std::string &pretty);
    // JACK keeps a port's metadata after the port: cleared before it goes.
    void forgetMetadata(jack_port_t *port);

    std::optional<InputPort> registerInput(const std::string &shortName, const std::string &pretty = {});
    std::optional<OutputPort> registerOutput(Side &side, const std::string &shortName,
                                             const std::string &pretty = {});
    // Take ports out of the process callback's view, wait until it is done
    // with them, then unregister them.
    void retireInputs(std::vector<InputPort> ports);
    void retireOutputs(std::vector<OutputPort> ports);
    // A send or publish found no output under its handles.
    MidiServiceStatus missingOutput() const;
    // Returns whether the side's process callback finished a cycle since.
    bool waitForCycle(const Side &side);

    const std::string m_serverName;
    const bool m_onPipeWire = jackLibraryIsPipeWire();
    // One client holds every port of ours: the per-source inputs, the
    // per-destination outputs and the own virtual ports. Input is routed to
    // the outputs inside its process callback, so a route between two other
    // programs adds no frame when the graph is acyclic. A program that both
    // sends to us and receives from us closes a loop through this client;
    // JACK breaks it on one edge, which costs that program one period.
    Side m_main;
    std::string m_requestedName;
    NotificationHandler m_notify;
    std::atomic<bool> m_dead{false};
    // Set by notifications, cleared by the enumeration that will see the change.
    std::atomic<bool> m_sourcesStale{false};
    std::atomic<bool> m_destinationsStale{false};

    // Read by the main client's process callback.
    jackio::SlotTable<InputSlot, kMaxInputPorts> m_inputSlots;
    std::unique_ptr<InputPump> m_pump;
    std::array<std::atomic<Output *>, kMaxRealtimeHandles> m_realtimeOutputs{};
    std::atomic<const RealtimeRouting *> m_routing{nullptr};
    std::atomic<const RealtimeRouting *> m_lastRun{nullptr}; // the routing of the last cycle
    std::atomic<std::uint64_t> m_holdLimitFrames{0};
    Output::Counters m_outputCounters;
    std::atomic<std::uint64_t> m_pumpDropped{0};
    std::atomic<std::uint64_t> m_limitRefusals{0};
    // Process callback only: each input's buffer and read position this cycle.
    struct CycleInput {
        Handle endpoint;
        void *buffer;
        std::uint32_t count;
        std::uint32_t next;
        jack_midi_event_t event; // the next one, valid while next < count
    };
    std::array<CycleInput, kMaxInputPorts> m_cycleInputs{};

    // The routing handed over last, and earlier ones with the cycle count at
    // which they were replaced: freed once a later cycle has finished.
    std::mutex m_routingMutex;
    std::shared_ptr<const RealtimeRouting> m_routingOwner;
    std::vector<std::pair<std::shared_ptr<const RealtimeRouting>, std::uint64_t>> m_retiredRoutings;

    // Main thread only.
    std::shared_ptr<const InputHandler> m_inputHandler;
    bool m_outputPortOpen = false;
    PortLabeler m_labeler;
    // The names of our ports for the endpoints listed last, by endpoint.
    std::map<Handle, PlumbingName> m_plumbingNames;
    std::map<std::string, Handle> m_handles;
    std::vector<std::string> m_names; // by handle - kFirstEndpointHandle
    std::map<Handle, InputPort> m_sourceInputs;
    std::map<Handle, InputPort> m_virtualDestinations;
    // Other programs' connections to our virtual ports, by port short name;
    // kept across a server restart, and those still to be made again.
    std::map<std::string, std::set<std::string>> m_virtualConnections;
    std::map<std::string, std::set<std::string>> m_restoring;
    std::chrono::steady_clock::time_point m_restoreUntil;
    static constexpr std::chrono::seconds kReleaseAbsentAfter{60};
    std::map<Handle, std::chrono::steady_clock::time_point> m_absentSince;
    // Retired while a process callback could still see them (stalled or
    // vanished server): freed once the clients are closed.
    std::vector<std::shared_ptr<Output>> m_stuck;
    std::vector<std::unique_ptr<InputSlot>> m_stuckInputs;

    // Looked up by senders on any thread.
    mutable std::shared_mutex m_outputsMutex;
    std::map<Handle, OutputPort> m_destinationOutputs;
    std::map<Handle, OutputPort> m_virtualSources;
};

} // namespace korvane::jackio
