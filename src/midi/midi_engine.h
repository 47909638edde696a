#pragma once

// The only part of the program that talks to the platform MIDI service: one
// client with an input and an output port, the published lists of sources and
// destinations, the program's own virtual ports, one stream parser per
// connected source, destination lookup and sends, and panic.
//
// Threads: start, stop, applyVirtualPorts and endpoint refreshes run on the
// thread that owns the engine (the main thread), where every published value
// changes; the endpoint lists are always published through a queued hop.
// Input is parsed and handed to onInput on the service's receive thread.
// resolveDestinationRef, deliver and send may be called from any thread.

#include "midi/midi_delivery.h"
#include "midi/midi_message.h"
#include "midi/service/midi_service.h"
#include "model/project.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

class MIDIRouter;

struct MIDIEndpointInfo {
    std::uint32_t ref = 0;
    std::int32_t uniqueID = 0;
    std::string name;
    EndpointRole role = EndpointRole::source;
    bool isVirtual = false;
    bool online = true;

    // "source:<uniqueID>" or "destination:<uniqueID>".
    std::string id() const;
    // Kind virtual for the program's own ports, else physical; unique id always present.
    EndpointKey key() const;

    friend bool operator==(const MIDIEndpointInfo &, const MIDIEndpointInfo &) = default;
};

class MIDIEngine : public QObject, public MIDIDelivery {
    Q_OBJECT

public:
    using InputCallback = std::function<void(const EndpointKey &, const MIDIMessage &)>;
    using SystemLog = std::function<void(const std::string &line)>;

    explicit MIDIEngine(std::shared_ptr<MidiService> service, QObject *parent = nullptr);
    ~MIDIEngine() override;
    // The form to share with the router: whichever thread lets go last, the
    // engine is stopped and destroyed on the thread that created it.
    static std::shared_ptr<MIDIEngine> create(std::shared_ptr<MidiService> service);

    void start();
    void stop();
    bool running() const { return m_running; }
    // The MIDI service in use, as users know it ("JACK").
    std::string serviceName() const { return m_service->serviceName(); }

    // Replaces the program's own virtual ports. A port whose name stays is
    // kept as it is, so other programs stay connected to it; the others are
    // removed or created. Does nothing while stopped.
    void applyVirtualPorts(const std::vector<VirtualPortConfig> &configs);

    std::vector<EndpointKey> routableSources() const;
    std::vector<EndpointKey> routableDestinations() const;

    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override;
    void deliver(const ResolvedDestination &dest, const std::uint8_t *data, std::size_t size) override;
    void send(const MIDIMessage &message, const EndpointKey &key);
    // All notes off then all sound off, channels 1 to 16, on every destination.
    void panic();

    const std::vector<MIDIEndpointInfo> &sources() const { return m_sources; }
    const std::vector<MIDIEndpointInfo> &destinations() const { return m_destinations; }
    // False while a computed endpoint list is still on its way to the main
    // thread (right after start, a hot-plug or a virtual-port change): the
    // published lists may then miss endpoints that are in fact present.
    bool endpointListsCurrent() const { return m_publicationsInFlight == 0; }

    // Called on the service's receive thread for every parsed message.
    void setOnInput(InputCallback callback);
    // Where the client-creation failure line goes; the system log by default.
    void setSystemLog(SystemLog log);

    // Routes the service's input inside its real-time cycle with `router`'s
    // routes, where the service can (JACK): such input then reaches the
    // outputs in the cycle it arrived in and no longer goes to onInput.
    // Recompiled on every change of the router or of the endpoints. Null
    // hands input to onInput again. Main thread.
    void setRealtimeRouter(const std::shared_ptr<MIDIRouter> &router);
    // Network-bound messages the in-cycle routing had to drop (queue full).
    std::uint64_t realtimeNetworkDrops() const;

signals:
    void sourcesChanged();
    void destinationsChanged();
    void runningChanged(bool running);
    // After every publication of the lists, changed or not.
    void endpointListsPublished();

private:
    struct Tables;
    struct Realtime;
    using Handle = MidiService::Handle;
    using Token = MidiService::Token;

    void refreshEndpoints();
    void connectAllSources();
    void onNotification(std::uint64_t generation, MidiService::Notification notification);
    void publishLists(std::vector<MIDIEndpointInfo> sources, std::vector<MIDIEndpointInfo> destinations);
    static void handleIncoming(Tables &tables, MidiService::PacketList packets, Token token);
    static std::optional<ResolvedDestination> resolveIn(Tables &tables, const EndpointKey &key);
    void refreshRealtime(bool active);

    std::shared_ptr<MidiService> m_service;
    // Shared with the service's receive handlers, which hold it weakly.
    std::shared_ptr<Tables> m_tables;
    SystemLog m_systemLog;
    std::shared_ptr<Realtime> m_realtime; // shared with the router's change listener

    // Main thread only.
    Handle m_client = 0;
    Handle m_inputPort = 0;
    bool m_running = false;
    std::uint64_t m_generation = 0; // which client a queued notification belongs to
    std::map<Handle, Token> m_connectedSources;
    std::map<Handle, Token> m_virtualDestinationTokens;
    std::vector<MIDIEndpointInfo> m_sources;
    std::vector<MIDIEndpointInfo> m_destinations;
    int m_publicationsInFlight = 0; // main thread only

    // Read by senders on any thread.
    std::atomic<Handle> m_outputPort{0};
};

} // namespace korvane

template <> struct std::hash<korvane::MIDIEndpointInfo> {
    std::size_t operator()(const korvane::MIDIEndpointInfo &info) const noexcept;
};
