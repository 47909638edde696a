#include "midi/service/loopback/loopback_midi_service.h"

#include <algorithm>

namespace korvane {

void LoopbackMidiService::setOpenStatus(int nativeCode)
{
    std::lock_guard lock(m_mutex);
    m_openStatus = nativeCode;
}

void LoopbackMidiService::setConnectStatus(int nativeCode)
{
    std::lock_guard lock(m_mutex);
    m_connectStatus = nativeCode;
}

int LoopbackMidiService::clientsOpened() const
{
    std::lock_guard lock(m_mutex);
    return m_clientsOpened;
}

bool LoopbackMidiService::clientOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_client != 0;
}

int LoopbackMidiService::openPortCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_ports.size());
}

MidiService::Handle LoopbackMidiService::addEndpoint(Endpoint endpoint)
{
    Handle handle;
    {
        std::lock_guard lock(m_mutex);
        handle = endpoint.handle = m_nextHandle++;
        m_endpoints.push_back(std::move(endpoint));
    }
    notify(Notification::setupChanged);
    return handle;
}

MidiService::Handle LoopbackMidiService::addSource(std::optional<std::string> name,
                                                   std::optional<std::int32_t> uniqueID,
                                                   std::optional<bool> offline)
{
    return addEndpoint({0, true, false, std::move(name), uniqueID, offline, {}});
}

MidiService::Handle LoopbackMidiService::addDestination(std::optional<std::string> name,
                                                        std::optional<std::int32_t> uniqueID,
                                                        std::optional<bool> offline)
{
    return addEndpoint({0, false, false, std::move(name), uniqueID, offline, {}});
}

void LoopbackMidiService::removeEndpoint(Handle endpoint)
{
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_endpoints, [&](const Endpoint &e) { return e.handle == endpoint; });
        std::erase_if(m_connections, [&](const Connection &c) { return c.source == endpoint; });
    }
    notify(Notification::setupChanged);
}

MidiService::Handle LoopbackMidiService::find(const std::string &name) const
{
    std::lock_guard lock(m_mutex);
    for (const Endpoint &e : m_endpoints)
        if (e.name == name)
            return e.handle;
    return 0;
}

std::function<void(std::vector<std::uint8_t>)> LoopbackMidiService::inFlight(Handle source)
{
    InputHandler receive;
    Token token = 0;
    {
        std::lock_guard lock(m_mutex);
        auto connection = std::find_if(m_connections.begin(), m_connections.end(),
                                       [&](const Connection &c) { return c.source == source; });
        if (connection == m_connections.end())
            return [](std::vector<std::uint8_t>) {};
        token = connection->token;
        for (const Port &port : m_ports)
            if (port.input)
                receive = port.receive;
    }
    return [receive, token](std::vector<std::uint8_t> bytes) {
        if (!receive)
            return;
        const Packet packet{0, bytes};
        receive(PacketList(&packet, 1), token);
    };
}

void LoopbackMidiService::inject(Handle source, std::vector<std::uint8_t> bytes, std::uint64_t timestamp)
{
    InputHandler receive;
    Token token = 0;
    {
        std::lock_guard lock(m_mutex);
        auto connection = std::find_if(m_connections.begin(), m_connections.end(),
                                       [&](const Connection &c) { return c.source == source; });
        if (connection == m_connections.end())
            return;
        token = connection->token;
        for (const Port &port : m_ports)
            if (port.input)
                receive = port.receive;
    }
    if (!receive)
        return;
    const Packet packet{timestamp, bytes};
    receive(PacketList(&packet, 1), token);
}

void LoopbackMidiService::writeToVirtualDestination(Handle destination, std::vector<std::uint8_t> bytes)
{
    VirtualInputHandler receive;
    {
        std::lock_guard lock(m_mutex);
        const Endpoint *endpoint = findEndpoint(destination);
        if (!endpoint || endpoint->isSource || !endpoint->own)
            return;
        receive = endpoint->receive;
    }
    if (!receive)
        return;
    const Packet packet{0, bytes};
    receive(PacketList(&packet, 1));
}

void LoopbackMidiService::simulateShutdown()
{
    notify(Notification::shutdown);
}

std::vector<LoopbackMidiService::Delivery> LoopbackMidiService::deliveries() const
{
    std::lock_guard lock(m_mutex);
    return m_deliveries;
}

void LoopbackMidiService::clearDeliveries()
{
    std::lock_guard lock(m_mutex);
    m_deliveries.clear();
}

std::vector<LoopbackMidiService::Connection> LoopbackMidiService::connections() const
{
    std::lock_guard lock(m_mutex);
    return m_connections;
}

void LoopbackMidiService::notify(Notification notification)
{
    NotificationHandler handler;
    {
        std::lock_guard lock(m_mutex);
        if (m_client == 0)
            return;
        handler = m_notify;
    }
    if (handler)
        handler(notification);
}

const LoopbackMidiService::Endpoint *LoopbackMidiService::findEndpoint(Handle handle) const
{
    for (const Endpoint &e : m_endpoints)
        if (e.handle == handle)
            return &e;
    return nullptr;
}

const LoopbackMidiService::Port *LoopbackMidiService::findPort(Handle handle) const
{
    for (const Port &p : m_ports)
        if (p.handle == handle)
            return &p;
    return nullptr;
}

MidiService::ClientResult LoopbackMidiService::openClient(const std::string &, NotificationHandler notify)
{
    std::lock_guard lock(m_mutex);
    if (m_openStatus != 0)
        return {{MidiServiceError::serverUnreachable, m_openStatus}, 0};
    if (m_client != 0)
        return {MidiServiceError::alreadyOpen, 0};
    ++m_clientsOpened;
    m_client = m_nextHandle++;
    m_notify = std::move(notify);
    return {{}, m_client};
}

void LoopbackMidiService::closeClient(Handle client)
{
    std::lock_guard lock(m_mutex);
    if (client != m_client)
        return;
    std::erase_if(m_endpoints, [](const Endpoint &e) { return e.own; });
    m_ports.clear();
    m_connections.clear();
    m_client = 0;
    m_notify = nullptr;
}

std::optional<MidiService::Handle> LoopbackMidiService::createInputPort(Handle client, const std::string &,
                                                                        InputHandler receive)
{
    std::lock_guard lock(m_mutex);
    if (client == 0 || client != m_client)
        return std::nullopt;
    m_ports.push_back({m_nextHandle++, true, std::move(receive)});
    return m_ports.back().handle;
}

std::optional<MidiService::Handle> LoopbackMidiService::createOutputPort(Handle client, const std::string &)
{
    std::lock_guard lock(m_mutex);
    if (client == 0 || client != m_client)
        return std::nullopt;
    m_ports.push_back({m_nextHandle++, false, {}});
    return m_ports.back().handle;
}

void LoopbackMidiService::disposePort(Handle port)
{
    std::lock_guard lock(m_mutex);
    const Port *p = findPort(port);
    if (p && p->input)
        m_connections.clear();
    std::erase_if(m_ports, [&](const Port &q) { return q.handle == port; });
}

std::vector<MidiService::EndpointDescription> LoopbackMidiService::describe(bool sources) const
{
    std::lock_guard lock(m_mutex);
    std::vector<EndpointDescription> result;
    for (const Endpoint &e : m_endpoints)
        if (e.isSource == sources)
            result.push_back({e.handle, e.name, e.uniqueID, e.offline});
    return result;
}

std::vector<MidiService::EndpointDescription> LoopbackMidiService::sources()
{
    return describe(true);
}

std::vector<MidiService::EndpointDescription> LoopbackMidiService::destinations()
{
    return describe(false);
}

MidiServiceStatus LoopbackMidiService::connectSource(Handle inputPort, Handle source, Token token)
{
    std::lock_guard lock(m_mutex);
    if (m_client == 0)
        return MidiServiceError::notOpen;
    const Port *port = findPort(inputPort);
    const Endpoint *endpoint = findEndpoint(source);
    if (!port || !port->input || !endpoint || !endpoint->isSource)
        return MidiServiceError::unknownObject;
    if (m_connectStatus != 0)
        return {MidiServiceError::backendFailure, m_connectStatus};
    std::erase_if(m_connections, [&](const Connection &c) { return c.source == source; });
    m_connections.push_back({source, token});
    return {};
}

MidiServiceStatus LoopbackMidiService::disconnectSource(Handle inputPort, Handle source)
{
    std::lock_guard lock(m_mutex);
    const Port *port = findPort(inputPort);
    const auto connected = std::find_if(m_connections.begin(), m_connections.end(),
                                        [&](const Connection &c) { return c.source == source; });
    if (!port || !port->input || connected == m_connections.end())
        return MidiServiceError::unknownObject;
    m_connections.erase(connected);
    return {};
}

std::optional<MidiService::Handle> LoopbackMidiService::createVirtualSource(Handle client,
                                                                            const std::string &name)
{
    {
        std::lock_guard lock(m_mutex);
        if (client == 0 || client != m_client)
            return std::nullopt;
    }
    return addEndpoint({0, true, true, name, std::nullopt, std::nullopt, {}});
}

std::optional<MidiService::Handle> LoopbackMidiService::createVirtualDestination(Handle client,
                                                                                 const std::string &name,
                                                                                 VirtualInputHandler receive)
{
    {
        std::lock_guard lock(m_mutex);
        if (client == 0 || client != m_client)
            return std::nullopt;
    }
    return addEndpoint({0, false, true, name, std::nullopt, std::nullopt, std::move(receive)});
}

void LoopbackMidiService::disposeEndpoint(Handle endpoint)
{
    {
        std::lock_guard lock(m_mutex);
        const Endpoint *e = findEndpoint(endpoint);
        if (!e || !e->own)
            return;
    }
    removeEndpoint(endpoint);
}

MidiServiceStatus LoopbackMidiService::send(Handle outputPort, Handle destination, PacketList packets)
{
    std::lock_guard lock(m_mutex);
    const Port *port = findPort(outputPort);
    const Endpoint *endpoint = findEndpoint(destination);
    if (!port || port->input || !endpoint || endpoint->isSource)
        return MidiServiceError::unknownObject;
    for (const Packet &packet : packets)
        m_deliveries.push_back({destination, false, {packet.bytes.begin(), packet.bytes.end()}});
    return {};
}

MidiServiceStatus LoopbackMidiService::publish(Handle ownVirtualSource, PacketList packets)
{
    std::lock_guard lock(m_mutex);
    const Endpoint *endpoint = findEndpoint(ownVirtualSource);
    if (!endpoint || !endpoint->isSource || !endpoint->own)
        return MidiServiceError::unknownObject;
    for (const Packet &packet : packets)
        m_deliveries.push_back({ownVirtualSource, true, {packet.bytes.begin(), packet.bytes.end()}});
    return {};
}

MidiBackend loopbackMidiBackend()
{
    return {"loopback", true, [] { return true; },
            [] { return std::shared_ptr<MidiService>(std::make_shared<LoopbackMidiService>()); }};
}

} // namespace korvane
