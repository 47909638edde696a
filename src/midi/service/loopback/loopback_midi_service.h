#pragma once

// In-process MIDI service for tests: endpoints are added and removed by the
// test, inputs are injected on the calling thread, and everything sent or
// published is recorded. A library of its own, linked by the tests; a program
// built with KORVANE_BACKEND_LOOPBACK=ON runs on it when
// KORVANE_MIDI_BACKEND=loopback names it (a window with no MIDI service behind it).
//
// Notifications and inputs are delivered synchronously on the thread that
// caused them, with no lock of the service held.

#include "midi/service/midi_backends.h"
#include "midi/service/midi_service.h"

#include <mutex>
#include <vector>

namespace korvane {

class LoopbackMidiService : public MidiService {
public:
    struct Delivery {
        Handle endpoint = 0;
        bool published = false; // true: on an own virtual source; false: sent to a destination
        std::vector<std::uint8_t> bytes;

        friend bool operator==(const Delivery &, const Delivery &) = default;
    };
    struct Connection {
        Handle source = 0;
        Token token = 0;
    };

    // --- what the test drives

    // Native code of the failure the next openClient calls report
    // (serverUnreachable); 0: they succeed.
    void setOpenStatus(int nativeCode);
    // Native code of the failure the next connectSource calls report
    // (backendFailure); 0: they succeed.
    void setConnectStatus(int nativeCode);
    int clientsOpened() const;
    bool clientOpen() const;
    int openPortCount() const;

    // External endpoints, as other programs would create them. A name or unique
    // id left absent is a property the service does not have.
    Handle addSource(std::optional<std::string> name, std::optional<std::int32_t> uniqueID = {},
                     std::optional<bool> offline = {});
    Handle addDestination(std::optional<std::string> name, std::optional<std::int32_t> uniqueID = {},
                          std::optional<bool> offline = {});
    void removeEndpoint(Handle endpoint);
    // Endpoint (external or own) by name; 0 if none.
    Handle find(const std::string &name) const;

    // One packet from an external source, delivered now if it is connected.
    void inject(Handle source, std::vector<std::uint8_t> bytes, std::uint64_t timestamp = 0);
    // A packet list already on its way: the returned function delivers bytes
    // with the input handler and token the source has now, whenever it is called.
    std::function<void(std::vector<std::uint8_t>)> inFlight(Handle source);
    // Another program writing to one of the client's own virtual destinations.
    void writeToVirtualDestination(Handle destination, std::vector<std::uint8_t> bytes);
    // The server going away.
    void simulateShutdown();

    std::vector<Delivery> deliveries() const;
    void clearDeliveries();
    std::vector<Connection> connections() const;

    // --- MidiService

    std::string serviceName() const override { return m_serviceName; }
    // Stands in for another server's behaviour ("PipeWire").
    void setServiceName(std::string name) { m_serviceName = std::move(name); }
    ClientResult openClient(const std::string &name, NotificationHandler notify) override;
    void closeClient(Handle client) override;
    std::optional<Handle> createInputPort(Handle client, const std::string &name,
                                          InputHandler receive) override;
    std::optional<Handle> createOutputPort(Handle client, const std::string &name) override;
    void disposePort(Handle port) override;
    std::vector<EndpointDescription> sources() override;
    std::vector<EndpointDescription> destinations() override;
    MidiServiceStatus connectSource(Handle inputPort, Handle source, Token token) override;
    MidiServiceStatus disconnectSource(Handle inputPort, Handle source) override;
    std::optional<Handle> createVirtualSource(Handle client, const std::string &name) override;
    std::optional<Handle> createVirtualDestination(Handle client, const std::string &name,
                                                   VirtualInputHandler receive) override;
    void disposeEndpoint(Handle endpoint) override;
    MidiServiceStatus send(Handle outputPort, Handle destination, PacketList packets) override;
    MidiServiceStatus publish(Handle ownVirtualSource, PacketList packets) override;

private:
    struct Endpoint {
        Handle handle = 0;
        bool isSource = true;
        bool own = false;
        std::optional<std::string> name;
        std::optional<std::int32_t> uniqueID;
        std::optional<bool> offline;
        VirtualInputHandler receive;
    };
    struct Port {
        Handle handle = 0;
        bool input = false;
        InputHandler receive;
    };

    Handle addEndpoint(Endpoint endpoint);
    std::vector<EndpointDescription> describe(bool sources) const;
    // Calls the notification handler, if a client is open, with no lock held.
    void notify(Notification notification);
    const Endpoint *findEndpoint(Handle handle) const;
    const Port *findPort(Handle handle) const;

    mutable std::mutex m_mutex;
    int m_openStatus = 0;
    int m_connectStatus = 0;
    int m_clientsOpened = 0;
    Handle m_client = 0;
    NotificationHandler m_notify;
    Handle m_nextHandle = 1;
    std::vector<Endpoint> m_endpoints;
    std::vector<Port> m_ports;
    std::vector<Connection> m_connections;
    std::vector<Delivery> m_deliveries;
    std::string m_serviceName = "Loopback";
};

// The registry entry "loopback": always available, never chosen unless named.
MidiBackend loopbackMidiBackend();

} // namespace korvane
