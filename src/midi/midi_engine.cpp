#include "midi/midi_engine.h"

#include "midi/midi_stream_parser.h"
#include "midi/shared_qobject.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <set>
#include <syslog.h>
#include <unordered_map>
#include <unordered_set>

namespace korvane {

namespace {

const std::string kUnknownName = "Inconnu";

using NamedHandles = std::vector<std::pair<std::string, MidiService::Handle>>;

const MidiService::Handle *findNamed(const NamedHandles &table, const std::string &name)
{
    for (const auto &[n, handle] : table)
        if (n == name)
            return &handle;
    return nullptr;
}

bool containsHandle(const NamedHandles &table, MidiService::Handle handle)
{
    return std::any_of(table.begin(), table.end(), [&](const auto &entry) { return entry.second == handle; });
}

void writeToSystemLog(const std::string &line)
{
    syslog(LOG_ERR, "%s", line.c_str());
}

} // namespace

std::string MIDIEndpointInfo::id() const
{
    return std::string(rawValue(role)) + ":" + std::to_string(uniqueID);
}

EndpointKey MIDIEndpointInfo::key() const
{
    return EndpointKey(isVirtual ? EndpointKind::virtual_ : EndpointKind::physical, name, uniqueID);
}

// Everything the receive path needs, guarded by `lock`. Held only for table
// reads and writes, never while calling the service or onInput.
struct MIDIEngine::Tables {
    std::mutex lock;
    Token nextToken = 1;
    std::unordered_map<Token, EndpointKey> tokenToKey;
    // Shared so a receive thread can finish a packet list after stop dropped the token.
    std::unordered_map<Token, std::shared_ptr<MIDIStreamParser>> parsers;
    // Own virtual endpoints by full endpoint name, in the order they were configured.
    NamedHandles ownVirtualSourceRefs;
    NamedHandles ownVirtualDestRefs;
    std::unordered_map<std::int32_t, Handle> destByUID;
    std::unordered_map<std::string, Handle> destByName;
    std::shared_ptr<const InputCallback> onInput;
    // The service's input handle (connected source or own virtual
    // destination) of each live token, for in-cycle routing.
    std::unordered_map<Handle, Token> inputTokens;

    Token addConnection(EndpointKey key)
    {
        std::lock_guard guard(lock);
        const Token token = nextToken++;
        tokenToKey[token] = std::move(key);
        parsers[token] = std::make_shared<MIDIStreamParser>();
        return token;
    }
    void removeConnection(Token token)
    {
        std::lock_guard guard(lock);
        tokenToKey.erase(token);
        parsers.erase(token);
    }
    void bindInput(Handle input, Token token)
    {
        std::lock_guard guard(lock);
        inputTokens[input] = token;
    }
};

MIDIEngine::MIDIEngine(std::shared_ptr<MidiService> service, QObject *parent)
    : QObject(parent), m_service(std::move(service)), m_tables(std::make_shared<Tables>()),
      m_systemLog(writeToSystemLog)
{
    // A setup notice can arrive before the server's graph has switched: the
    // lists read then may still hold a port on its way out (or miss one on
    // its way in), and no later notice comes for it. So the lists are read
    // again once things have settled, and now and then regardless.
    m_settleTimer = new QTimer(this);
    m_settleTimer->setSingleShot(true);
    m_settleTimer->setInterval(std::chrono::milliseconds(150));
    connect(m_settleTimer, &QTimer::timeout, this, [this] { resync(); });
    m_safetyTimer = new QTimer(this);
    m_safetyTimer->setInterval(std::chrono::seconds(2));
    connect(m_safetyTimer, &QTimer::timeout, this, [this] { resync(); });
    // Called on this thread while the service reads its lists.
    m_service->setPortLabeler([this](const MidiService::EndpointDescription &d, bool) {
        const EndpointKey key(EndpointKind::physical, d.displayName.value_or(kUnknownName),
                              d.uniqueID.value_or(0));
        for (const auto &[device, nickname] : m_nicknames)
            if (EndpointKey::matches(device, key))
                return nickname;
        return std::string();
    });
}

std::shared_ptr<MIDIEngine> MIDIEngine::create(std::shared_ptr<MidiService> service)
{
    return makeSharedQObject<MIDIEngine>(std::move(service));
}

MIDIEngine::~MIDIEngine()
{
    // Closing the client guarantees no service handler runs after this; hops
    // already queued to this object are discarded with it.
    stop();
    m_service->setPortLabeler(nullptr);
}

void MIDIEngine::setNicknames(const std::vector<DeviceRef> &devices)
{
    std::vector<std::pair<EndpointKey, std::string>> nicknames;
    for (const DeviceRef &device : devices)
        if (!device.nickname.empty())
            nicknames.emplace_back(device.key, device.nickname);
    if (nicknames == m_nicknames)
        return;
    m_nicknames = std::move(nicknames);
    resync();
}

void MIDIEngine::setOnInput(InputCallback callback)
{
    auto shared = callback ? std::make_shared<const InputCallback>(std::move(callback)) : nullptr;
    std::lock_guard guard(m_tables->lock);
    m_tables->onInput = std::move(shared);
}

void MIDIEngine::setOnSourceGone(SourceGone callback)
{
    m_onSourceGone = std::move(callback);
}

void MIDIEngine::setSystemLog(SystemLog log)
{
    m_systemLog = log ? std::move(log) : SystemLog(writeToSystemLog);
}

std::vector<MIDIEngine::ServiceInput> MIDIEngine::serviceInputs() const
{
    std::vector<ServiceInput> inputs;
    std::lock_guard guard(m_tables->lock);
    for (const auto &[handle, token] : m_tables->inputTokens)
        if (auto it = m_tables->tokenToKey.find(token); it != m_tables->tokenToKey.end())
            inputs.push_back({handle, it->second, token});
    return inputs;
}

void MIDIEngine::setRealtimeRouting(std::shared_ptr<const MidiService::RealtimeRouting> routing)
{
    m_service->setRealtimeRouting(std::move(routing));
}

void MIDIEngine::setOnEndpointsChanged(EndpointsChanged callback)
{
    m_onEndpointsChanged = std::move(callback);
}

MIDIEngine::Losses MIDIEngine::losses() const
{
    Losses losses;
    const MidiService::Losses service = m_service->losses();
    losses.service = m_refused.load(std::memory_order_relaxed) + service.refused;
    losses.sysex = service.abandonedSysex;
    return losses;
}

void MIDIEngine::endpointsChanged(bool running)
{
    if (m_onEndpointsChanged)
        m_onEndpointsChanged(*this, running);
}

void MIDIEngine::start()
{
    if (m_running)
        return;
    const std::uint64_t generation = ++m_generation;
    // Runs on the service's notification thread: only hops to the main thread.
    auto notify = [this, generation](MidiService::Notification notification) {
        QMetaObject::invokeMethod(
            this, [this, generation, notification] { onNotification(generation, notification); },
            Qt::QueuedConnection);
    };
    const MidiService::ClientResult result = m_service->openClient("KORVANE", std::move(notify));
    if (!result.status.ok() || result.client == 0) {
        // Once per cause: a missing server is tried again every few seconds.
        const int code = result.status.code();
        if (m_loggedStartFailure != code)
            m_systemLog("KORVANE: MIDIClientCreate a échoué (" + std::to_string(code) + ")");
        m_loggedStartFailure = code;
        return;
    }
    m_loggedStartFailure.reset();
    m_client = result.client;

    std::weak_ptr<Tables> weakTables = m_tables;
    m_inputPort = m_service
                      ->createInputPort(m_client, "KORVANE In",
                                        [weakTables](MidiService::PacketList packets, Token token) {
                                            if (auto tables = weakTables.lock())
                                                handleIncoming(*tables, packets, token);
                                        })
                      .value_or(0);
    m_outputPort = m_service->createOutputPort(m_client, "KORVANE Out").value_or(0);

    m_running = true;
    emit runningChanged(true);
    refreshEndpoints();
    connectAllSources();
    endpointsChanged(true);
    m_safetyTimer->start();
}

void MIDIEngine::stop()
{
    if (!m_running)
        return;
    m_settleTimer->stop();
    m_safetyTimer->stop();
    // The real-time cycle stops routing before any port goes; what its
    // sources held is released while the outputs are still there.
    endpointsChanged(false);
    for (const auto &[source, token] : m_connectedSources)
        static_cast<void>(m_service->disconnectSource(m_inputPort, source));
    const auto gone = std::move(m_connectedKeys);
    const auto goneTokens = std::move(m_connectedSources);
    m_connectedSources.clear();
    m_connectedKeys.clear();
    if (m_onSourceGone)
        for (const auto &[handle, token] : goneTokens)
            if (auto it = gone.find(handle); it != gone.end())
                m_onSourceGone(it->second, token);
    {
        std::lock_guard guard(m_tables->lock);
        m_tables->tokenToKey.clear();
        m_tables->parsers.clear();
        m_tables->inputTokens.clear();
    }

    if (m_inputPort != 0)
        m_service->disposePort(m_inputPort);
    m_inputPort = 0;
    if (const Handle output = m_outputPort.exchange(0); output != 0)
        m_service->disposePort(output);

    NamedHandles ownSources, ownDests;
    {
        std::lock_guard guard(m_tables->lock);
        ownSources.swap(m_tables->ownVirtualSourceRefs);
        ownDests.swap(m_tables->ownVirtualDestRefs);
        m_tables->destByUID.clear();
        m_tables->destByName.clear();
    }
    for (const auto &[name, handle] : ownSources)
        m_service->disposeEndpoint(handle);
    for (const auto &[name, handle] : ownDests)
        m_service->disposeEndpoint(handle);
    m_virtualDestinationTokens.clear();

    if (m_client != 0)
        m_service->closeClient(m_client);
    m_client = 0;

    m_running = false;
    emit runningChanged(false);
    publishLists({}, {});
}

void MIDIEngine::onNotification(std::uint64_t generation, MidiService::Notification notification)
{
    if (generation != m_generation || !m_running)
        return;
    switch (notification) {
    case MidiService::Notification::setupChanged:
        resync();
        m_settleTimer->start();
        break;
    case MidiService::Notification::shutdown:
        stop();
        break;
    }
}

void MIDIEngine::resync()
{
    if (!m_running)
        return;
    refreshEndpoints();
    connectAllSources();
    endpointsChanged(true);
}

void MIDIEngine::refreshEndpoints()
{
    const auto sourceDescriptions = m_service->sources();
    const auto destinationDescriptions = m_service->destinations();

    std::unordered_set<Handle> own;
    {
        std::lock_guard guard(m_tables->lock);
        for (const auto &[name, handle] : m_tables->ownVirtualSourceRefs)
            own.insert(handle);
        for (const auto &[name, handle] : m_tables->ownVirtualDestRefs)
            own.insert(handle);
    }

    auto describe = [&](const MidiService::EndpointDescription &d, EndpointRole role) {
        MIDIEndpointInfo info;
        info.ref = d.handle;
        info.uniqueID = d.uniqueID.value_or(0);
        info.name = d.displayName.value_or(kUnknownName);
        info.role = role;
        info.isVirtual = own.count(d.handle) > 0;
        info.online = !d.offline.value_or(false);
        return info;
    };

    std::vector<MIDIEndpointInfo> sources;
    sources.reserve(sourceDescriptions.size());
    for (const auto &d : sourceDescriptions)
        sources.push_back(describe(d, EndpointRole::source));

    std::vector<MIDIEndpointInfo> destinations;
    destinations.reserve(destinationDescriptions.size());
    std::unordered_map<std::int32_t, Handle> byUID;
    std::unordered_map<std::string, Handle> byName;
    for (const auto &d : destinationDescriptions) {
        destinations.push_back(describe(d, EndpointRole::destination));
        const MIDIEndpointInfo &info = destinations.back();
        if (info.uniqueID != 0)
            byUID[info.uniqueID] = info.ref;
        byName[info.name] = info.ref;
    }
    {
        std::lock_guard guard(m_tables->lock);
        m_tables->destByUID.swap(byUID);
        m_tables->destByName.swap(byName);
    }
    publishLists(std::move(sources), std::move(destinations));
}

void MIDIEngine::publishLists(std::vector<MIDIEndpointInfo> sources,
                              std::vector<MIDIEndpointInfo> destinations)
{
    ++m_publicationsInFlight;
    QMetaObject::invokeMethod(
        this,
        [this, sources = std::move(sources), destinations = std::move(destinations)]() mutable {
            --m_publicationsInFlight;
            if (sources != m_sources) {
                m_sources = std::move(sources);
                emit sourcesChanged();
            }
            if (destinations != m_destinations) {
                m_destinations = std::move(destinations);
                emit destinationsChanged();
            }
            emit endpointListsPublished();
        },
        Qt::QueuedConnection);
}

void MIDIEngine::connectAllSources()
{
    const auto sourceDescriptions = m_service->sources();
    NamedHandles ownSources;
    {
        std::lock_guard guard(m_tables->lock);
        ownSources = m_tables->ownVirtualSourceRefs;
    }
    // A source the service no longer lists is let go of: what it held is
    // released, and if it comes back it is a new connection.
    std::set<Handle> present;
    for (const auto &d : sourceDescriptions)
        present.insert(d.handle);
    for (auto it = m_connectedSources.begin(); it != m_connectedSources.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        const auto [handle, token] = *it;
        it = m_connectedSources.erase(it);
        static_cast<void>(m_service->disconnectSource(m_inputPort, handle));
        m_tables->removeConnection(token);
        {
            std::lock_guard guard(m_tables->lock);
            m_tables->inputTokens.erase(handle);
        }
        const EndpointKey key = m_connectedKeys[handle];
        m_connectedKeys.erase(handle);
        if (m_onSourceGone)
            m_onSourceGone(key, token);
    }
    for (const auto &d : sourceDescriptions) {
        // The program never listens to itself.
        if (m_connectedSources.count(d.handle) > 0 || containsHandle(ownSources, d.handle))
            continue;
        // Every external source, other programs' virtual ports included, is keyed physical.
        const EndpointKey key(EndpointKind::physical, d.displayName.value_or(kUnknownName),
                              d.uniqueID.value_or(0));
        const Token token = m_tables->addConnection(key);
        // A source that could not be connected is tried again at the next
        // setup change instead of being taken for connected until stop.
        if (m_service->connectSource(m_inputPort, d.handle, token).ok()) {
            m_connectedSources[d.handle] = token;
            m_connectedKeys[d.handle] = key;
            m_tables->bindInput(d.handle, token);
        } else
            m_tables->removeConnection(token);
    }
}

void MIDIEngine::handleIncoming(Tables &tables, MidiService::PacketList packets, Token token)
{
    EndpointKey key;
    std::shared_ptr<MIDIStreamParser> parser;
    std::shared_ptr<const InputCallback> onInput;
    {
        std::lock_guard guard(tables.lock);
        auto keyIt = tables.tokenToKey.find(token);
        auto parserIt = tables.parsers.find(token);
        if (keyIt == tables.tokenToKey.end() || parserIt == tables.parsers.end())
            return;
        key = keyIt->second;
        parser = parserIt->second;
        onInput = tables.onInput;
    }
    const MIDIStreamParser::Emit forward = [&](MIDIMessage &&message) {
        if (onInput && *onInput)
            (*onInput)(key, message, token);
    };
    for (const MidiService::Packet &packet : packets)
        parser->parse(packet.bytes.data(), packet.bytes.size(), packet.timestamp, forward);
}

void MIDIEngine::applyVirtualPorts(const std::vector<VirtualPortConfig> &configs)
{
    if (!m_running)
        return;
    NamedHandles oldSources, oldDests;
    {
        std::lock_guard guard(m_tables->lock);
        oldSources = m_tables->ownVirtualSourceRefs;
        oldDests = m_tables->ownVirtualDestRefs;
    }
    std::set<std::string> wantedSources, wantedDests;
    for (const VirtualPortConfig &config : configs) {
        if (config.createsSource)
            wantedSources.insert(config.name + " Out");
        if (config.createsDestination)
            wantedDests.insert(config.name + " In");
    }
    std::vector<Token> droppedTokens;
    for (const auto &[name, handle] : oldSources)
        if (!wantedSources.count(name))
            m_service->disposeEndpoint(handle);
    for (const auto &[name, handle] : oldDests) {
        if (wantedDests.count(name))
            continue;
        m_service->disposeEndpoint(handle);
        if (auto it = m_virtualDestinationTokens.find(handle); it != m_virtualDestinationTokens.end()) {
            droppedTokens.push_back(it->second);
            m_virtualDestinationTokens.erase(it);
        }
    }
    if (!droppedTokens.empty()) {
        std::lock_guard guard(m_tables->lock);
        for (const Token token : droppedTokens) {
            m_tables->tokenToKey.erase(token);
            m_tables->parsers.erase(token);
            std::erase_if(m_tables->inputTokens, [&](const auto &entry) { return entry.second == token; });
        }
    }

    // A name configured twice gets one endpoint: a second one would be
    // untracked, shown as someone else's port and even listened to.
    NamedHandles newSources, newDests;
    std::weak_ptr<Tables> weakTables = m_tables;
    auto createDestination = [&](const std::string &name) -> std::optional<Handle> {
        const Token token = m_tables->addConnection(EndpointKey(EndpointKind::virtual_, name));
        auto receive = [weakTables, token](MidiService::PacketList packets) {
            if (auto tables = weakTables.lock())
                handleIncoming(*tables, packets, token);
        };
        auto handle = m_service->createVirtualDestination(m_client, name, std::move(receive));
        if (handle) {
            m_virtualDestinationTokens[*handle] = token;
            m_tables->bindInput(*handle, token);
        }
        return handle;
    };
    for (const VirtualPortConfig &config : configs) {
        if (const std::string name = config.name + " Out";
            config.createsSource && !findNamed(newSources, name)) {
            const Handle *kept = findNamed(oldSources, name);
            if (auto handle = kept ? std::optional(*kept) : m_service->createVirtualSource(m_client, name))
                newSources.emplace_back(name, *handle);
        }
        if (const std::string name = config.name + " In";
            config.createsDestination && !findNamed(newDests, name)) {
            const Handle *kept = findNamed(oldDests, name);
            if (auto handle = kept ? std::optional(*kept) : createDestination(name))
                newDests.emplace_back(name, *handle);
        }
    }
    {
        std::lock_guard guard(m_tables->lock);
        m_tables->ownVirtualSourceRefs = std::move(newSources);
        m_tables->ownVirtualDestRefs = std::move(newDests);
    }
    refreshEndpoints();
    endpointsChanged(true);
}

std::vector<EndpointKey> MIDIEngine::routableSources() const
{
    std::vector<EndpointKey> keys;
    for (const MIDIEndpointInfo &info : m_sources)
        if (!info.isVirtual)
            keys.emplace_back(EndpointKind::physical, info.name, info.uniqueID);
    std::lock_guard guard(m_tables->lock);
    for (const auto &[name, handle] : m_tables->ownVirtualDestRefs)
        keys.emplace_back(EndpointKind::virtual_, name);
    return keys;
}

std::vector<EndpointKey> MIDIEngine::routableDestinations() const
{
    std::vector<EndpointKey> keys;
    for (const MIDIEndpointInfo &info : m_destinations)
        if (!info.isVirtual)
            keys.emplace_back(EndpointKind::physical, info.name, info.uniqueID);
    std::lock_guard guard(m_tables->lock);
    for (const auto &[name, handle] : m_tables->ownVirtualSourceRefs)
        keys.emplace_back(EndpointKind::virtual_, name);
    return keys;
}

std::optional<ResolvedDestination> MIDIEngine::resolveDestinationRef(const EndpointKey &key)
{
    return resolveIn(*m_tables, key);
}

std::optional<ResolvedDestination> MIDIEngine::resolveIn(Tables &tables, const EndpointKey &key)
{
    std::lock_guard guard(tables.lock);
    if (key.kind == EndpointKind::virtual_) {
        if (const Handle *handle = findNamed(tables.ownVirtualSourceRefs, key.name))
            return ResolvedDestination{*handle, true};
    }
    if (key.uniqueID && *key.uniqueID != 0) {
        if (auto it = tables.destByUID.find(*key.uniqueID); it != tables.destByUID.end())
            return ResolvedDestination{it->second, false};
    }
    if (auto it = tables.destByName.find(key.name); it != tables.destByName.end())
        return ResolvedDestination{it->second, false};
    return std::nullopt;
}

void MIDIEngine::deliver(const ResolvedDestination &dest, const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || data == nullptr)
        return;
    const MidiService::Packet packet{0, std::span<const std::uint8_t>(data, size)};
    const MidiService::PacketList list(&packet, 1);
    // The MIDI path reports nothing to its caller: a message the service
    // refuses is dropped, and counted.
    const MidiServiceStatus status = dest.isOwnVirtualSource
                                         ? m_service->publish(dest.ref, list)
                                         : m_service->send(m_outputPort.load(), dest.ref, list);
    if (!status.ok())
        m_refused.fetch_add(1, std::memory_order_relaxed);
}

void MIDIEngine::send(const MIDIMessage &message, const EndpointKey &key)
{
    if (auto dest = resolveDestinationRef(key))
        deliver(*dest, message.bytes.data(), message.bytes.size());
}

void MIDIEngine::panic()
{
    std::vector<EndpointKey> targets;
    for (const MIDIEndpointInfo &info : m_destinations)
        targets.push_back(info.key());
    {
        std::lock_guard guard(m_tables->lock);
        for (const auto &[name, handle] : m_tables->ownVirtualSourceRefs)
            targets.emplace_back(EndpointKind::virtual_, name);
    }
    for (const EndpointKey &target : targets) {
        for (std::uint8_t channel = 0; channel < 16; ++channel) {
            const std::uint8_t status = 0xB0 + channel;
            send(MIDIMessage({status, 123, 0}), target);
            send(MIDIMessage({status, 120, 0}), target);
        }
    }
}

} // namespace korvane

std::size_t
std::hash<korvane::MIDIEndpointInfo>::operator()(const korvane::MIDIEndpointInfo &info) const noexcept
{
    std::size_t h = std::hash<std::string>()(info.name);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(info.ref);
    mix(static_cast<std::size_t>(static_cast<std::uint32_t>(info.uniqueID)));
    mix(static_cast<std::size_t>(info.role));
    mix(info.isVirtual ? 1 : 2);
    mix(info.online ? 3 : 4);
    return h;
}
