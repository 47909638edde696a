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

class QTimer;

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

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
    // With the origin of the message: the connection it came through (a
    // source that goes and comes back is a new connection).
    using InputCallback = std::function<void(const EndpointKey &, const MIDIMessage &, std::uint64_t origin)>;
    using SourceGone = std::function<void(const EndpointKey &, std::uint64_t origin)>;
    using SystemLog = std::function<void(const std::string &line)>;

    explicit MIDIEngine(std::shared_ptr<MidiService> service, QObject *parent = nullptr);
    ~MIDIEngine() override;
    // The form to share with the router: whichever thread lets go last, the
    // engine is stopped and destroyed on the thread that created it.
    static std::shared_ptr<MIDIEngine> create(std::shared_ptr<MidiService> service);

    void start();
    void stop();
    bool running() const { return m_running; }
    // The MIDI service in use, as users know it ("JACK", "PipeWire").
    std::string serviceName() const { return m_service->serviceName(); }

    // Replaces the program's own virtual ports. A port whose name stays is
    // kept as it is, so other programs stay connected to it; the others are
    // removed or created. Does nothing while stopped.
    void applyVirtualPorts(const std::vector<VirtualPortConfig> &configs);

    // The project's device nicknames: the service's own port for a device
    // (where it keeps one) is named after its nickname, renamed in place
    // when it changes. Main thread.
    void setNicknames(const std::vector<DeviceRef> &devices);

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
    // Called on the main thread for a connected source the service no longer
    // lists, and for every connected source on stop, after its last message.
    void setOnSourceGone(SourceGone callback);
    // Where the client-creation failure line goes; the system log by default.
    void setSystemLog(SystemLog log);

    // In-cycle routing, where the service can (JACK): a plan compiled
    // against the service's inputs replaces onInput for them, and their
    // messages reach the outputs in the cycle they arrived in.
    bool supportsRealtimeRouting() const { return m_service->supportsRealtimeRouting(); }
    // Each connected source and own virtual destination, with the key and the
    // connection its messages carry. Any thread.
    struct ServiceInput {
        MidiService::Handle handle = 0;
        EndpointKey key;
        std::uint64_t connection = 0;
    };
    std::vector<ServiceInput> serviceInputs() const;
    // Null hands input to onInput again. Any thread.
    void setRealtimeRouting(std::shared_ptr<const MidiService::RealtimeRouting> routing);
    // Called on the engine's thread, before returning, whenever the inputs
    // or the destinations change, and with `running` false before stop lets
    // go of any port.
    using EndpointsChanged = std::function<void(MIDIEngine &engine, bool running)>;
    void setOnEndpointsChanged(EndpointsChanged callback);

    // Messages lost since the engine was made, by cause.
    struct Losses {
        std::uint64_t service = 0; // the service refused or could not write them (full buffers, limits)
        std::uint64_t sysex = 0;   // system-exclusive messages abandoned at a destination
        std::uint64_t total() const { return service + sysex; }
        friend bool operator==(const Losses &, const Losses &) = default;
    };
    Losses losses() const;

signals:
    void sourcesChanged();
    void destinationsChanged();
    void runningChanged(bool running);
    // After every publication of the lists, changed or not.
    void endpointListsPublished();

private:
    struct Tables;
    using Handle = MidiService::Handle;
    using Token = MidiService::Token;

    // Reads both lists again, connects new sources, lets go of vanished ones
    // and recompiles the in-cycle routing when the endpoints changed.
    void resync();
    void refreshEndpoints();
    void connectAllSources();
    void onNotification(std::uint64_t generation, MidiService::Notification notification);
    void publishLists(std::vector<MIDIEndpointInfo> sources, std::vector<MIDIEndpointInfo> destinations);
    static void handleIncoming(Tables &tables, MidiService::PacketList packets, Token token);
    static std::optional<ResolvedDestination> resolveIn(Tables &tables, const EndpointKey &key);
    void endpointsChanged(bool running);

    std::shared_ptr<MidiService> m_service;
    // Shared with the service's receive handlers, which hold it weakly.
    std::shared_ptr<Tables> m_tables;
    SystemLog m_systemLog;
    EndpointsChanged m_onEndpointsChanged;
    SourceGone m_onSourceGone;
    std::atomic<std::uint64_t> m_refused{0}; // sends the service refused
    std::optional<int> m_loggedStartFailure; // the failure already in the system log

    // Main thread only.
    Handle m_client = 0;
    Handle m_inputPort = 0;
    bool m_running = false;
    std::uint64_t m_generation = 0; // which client a queued notification belongs to
    std::map<Handle, Token> m_connectedSources;
    std::map<Handle, EndpointKey> m_connectedKeys;
    QTimer *m_settleTimer = nullptr; // a second look once the server's graph has switched
    QTimer *m_safetyTimer = nullptr; // a slow look in case a notice never came
    std::map<Handle, Token> m_virtualDestinationTokens;
    std::vector<std::pair<EndpointKey, std::string>> m_nicknames; // non-empty ones only
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
