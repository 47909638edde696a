#include "midi/midi_router.h"

#include "midi/midi_filter_processor.h"
#include "midi/midi_monitor.h"
#include "midi/realtime_route_plan.h"

#include <unordered_map>

namespace korvane {

// Routes and chains as given, plus what process() needs precomputed: the
// enabled routes in order, each with its chain resolved once (null when the
// route has none, names no known chain, or the chain has no enabled step).
struct MIDIRouter::Table {
    using Counter = std::atomic<std::uint64_t>;
    struct Entry {
        const Route *route;
        const FilterChain *chain;
        Counter *delivered;
    };

    std::vector<Route> routes;
    std::unordered_map<Uuid, FilterChain, UuidHash> chains;
    // One per route id, handed from table to table so a count never restarts
    // while the route lives; shared with messages still in flight on an older
    // table.
    std::unordered_map<Uuid, std::shared_ptr<Counter>, UuidHash> counters;
    std::vector<Entry> active;

    // Indices into `active`, ascending, so a message only visits the routes
    // its source can match (kinds are checked on the way).
    using Indices = std::vector<std::uint32_t>;
    std::unordered_map<std::uint64_t, Indices> byKindAndID; // sources with a non-zero id
    std::unordered_map<std::string, Indices> byNameWithoutID;
    std::unordered_map<std::string, Indices> byName; // every route

    static std::uint64_t kindAndID(EndpointKind kind, std::int32_t id)
    {
        return (std::uint64_t(kind) << 32) | std::uint32_t(id);
    }
    static bool hasID(const EndpointKey &key) { return key.uniqueID && *key.uniqueID != 0; }

    void index()
    {
        for (std::uint32_t i = 0; i < active.size(); ++i) {
            const EndpointKey &source = active[i].route->source;
            byName[source.name].push_back(i);
            if (hasID(source))
                byKindAndID[kindAndID(source.kind, *source.uniqueID)].push_back(i);
            else
                byNameWithoutID[source.name].push_back(i);
        }
    }

    // Calls f(entry) for every active route whose source matches `source`,
    // in route order.
    template <typename F> void forEachMatch(const EndpointKey &source, F &&f) const
    {
        static const Indices none;
        auto find = [](const auto &map, const auto &key) -> const Indices & {
            auto it = map.find(key);
            return it == map.end() ? none : it->second;
        };
        const Indices &a = hasID(source) ? find(byKindAndID, kindAndID(source.kind, *source.uniqueID))
                                         : find(byName, source.name);
        const Indices &b = hasID(source) ? find(byNameWithoutID, source.name) : none;
        std::size_t i = 0, j = 0;
        while (i < a.size() || j < b.size()) {
            const std::uint32_t next = j == b.size() || (i < a.size() && a[i] < b[j]) ? a[i++] : b[j++];
            if (active[next].route->source.kind == source.kind)
                f(active[next]);
        }
    }
};

// Immutable once published; process() keeps its own reference for the whole
// message, so a configuration change never affects a message in flight.
struct MIDIRouter::Config {
    std::shared_ptr<const Table> table = std::make_shared<Table>();
    bool enabled = true;
    std::weak_ptr<MIDIDelivery> engine;
    std::weak_ptr<MIDIMonitor> monitor;
    std::shared_ptr<const RtpSend> rtpSend;
};

MIDIRouter::MIDIRouter() : m_config(std::make_shared<Config>()) {}

MIDIRouter::~MIDIRouter() = default;

std::shared_ptr<const MIDIRouter::Config> MIDIRouter::snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_config;
}

void MIDIRouter::replace(const std::function<void(Config &)> &edit)
{
    std::shared_ptr<const std::function<void()>> listener;
    {
        std::lock_guard lock(m_mutex);
        auto next = std::make_shared<Config>(*m_config);
        edit(*next);
        m_config = std::move(next);
        listener = m_listener;
    }
    if (listener && *listener)
        (*listener)();
}

void MIDIRouter::setChangeListener(std::function<void()> listener)
{
    auto shared = listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    std::lock_guard lock(m_mutex);
    m_listener = std::move(shared);
}

std::shared_ptr<const MIDIRouter::RtpSend> MIDIRouter::rtpSend() const
{
    return snapshot()->rtpSend;
}

std::shared_ptr<RealtimeRoutePlan>
MIDIRouter::makeRealtimePlan(const std::vector<std::pair<std::uint32_t, EndpointKey>> &inputs,
                             const Resolve &resolve) const
{
    const std::shared_ptr<const Config> config = snapshot();
    auto plan = std::make_shared<RealtimeRoutePlan>();
    if (!config->enabled)
        return plan; // nothing recorded, nothing sent
    plan->monitor = config->monitor.lock();
    const Table &table = *config->table;
    // Plan route per active entry, made when a source first needs it.
    std::vector<int> routeOf(table.active.size(), -1);
    std::unordered_map<const FilterChain *, int> chainOf;
    for (const auto &[handle, key] : inputs) {
        RealtimeRoutePlan::Source source;
        source.name = key.name;
        table.forEachMatch(key, [&](const Table::Entry &entry) {
            const auto index = static_cast<std::size_t>(&entry - table.active.data());
            if (routeOf[index] < 0) {
                RealtimeRoutePlan::Route route;
                route.channelMask = entry.route->channelMask;
                if (auto counter = table.counters.find(entry.route->id); counter != table.counters.end())
                    route.delivered = counter->second;
                if (entry.chain) {
                    auto [it, added] =
                        chainOf.try_emplace(entry.chain, static_cast<int>(plan->chains.size()));
                    if (added)
                        plan->chains.push_back(*entry.chain);
                    route.chain = it->second;
                }
                for (const EndpointKey &key : entry.route->destinations) {
                    RealtimeRoutePlan::Destination destination;
                    destination.name = key.name;
                    if (key.kind == EndpointKind::rtp) {
                        destination.kind = RealtimeRoutePlan::Destination::Kind::network;
                    } else if (auto resolved = resolve ? resolve(key) : std::nullopt) {
                        destination.kind = RealtimeRoutePlan::Destination::Kind::endpoint;
                        destination.handle = resolved->ref;
                    }
                    route.destinations.push_back(std::move(destination));
                }
                routeOf[index] = static_cast<int>(plan->routes.size());
                plan->routes.push_back(std::move(route));
            }
            source.routes.push_back(static_cast<std::uint32_t>(routeOf[index]));
        });
        if (handle >= plan->sourceByHandle.size())
            plan->sourceByHandle.resize(handle + 1, -1);
        plan->sourceByHandle[handle] = static_cast<std::int32_t>(plan->sources.size());
        plan->sources.push_back(std::move(source));
    }
    return plan;
}

void MIDIRouter::updateConfiguration(std::vector<Route> routes, std::vector<FilterChain> chains)
{
    // Built outside the lock; only the pointer swap happens under it.
    const std::shared_ptr<const Table> previous = snapshot()->table;
    auto table = std::make_shared<Table>();
    table->routes = std::move(routes);
    for (FilterChain &chain : chains)
        table->chains.try_emplace(chain.id, std::move(chain));
    for (const Route &route : table->routes) {
        auto [slot, added] = table->counters.try_emplace(route.id);
        if (added) {
            auto old = previous->counters.find(route.id);
            slot->second =
                old != previous->counters.end() ? old->second : std::make_shared<Table::Counter>(0);
        }
        if (!route.enabled)
            continue;
        const FilterChain *chain = nullptr;
        if (route.filterChainID) {
            auto it = table->chains.find(*route.filterChainID);
            if (it != table->chains.end() && !MIDIFilterProcessor::isIdentity(it->second))
                chain = &it->second;
        }
        table->active.push_back({&route, chain, slot->second.get()});
    }
    table->index();
    replace([&](Config &c) { c.table = std::move(table); });
}

void MIDIRouter::setEnabled(bool enabled)
{
    replace([&](Config &c) { c.enabled = enabled; });
}

bool MIDIRouter::enabled() const
{
    return snapshot()->enabled;
}

std::vector<Route> MIDIRouter::routes() const
{
    return snapshot()->table->routes;
}

void MIDIRouter::setEngine(std::weak_ptr<MIDIDelivery> engine)
{
    replace([&](Config &c) { c.engine = std::move(engine); });
}

void MIDIRouter::setMonitor(std::weak_ptr<MIDIMonitor> monitor)
{
    replace([&](Config &c) { c.monitor = std::move(monitor); });
}

void MIDIRouter::setRtpSend(RtpSend send)
{
    auto shared = send ? std::make_shared<const RtpSend>(std::move(send)) : nullptr;
    replace([&](Config &c) { c.rtpSend = std::move(shared); });
}

std::optional<std::uint64_t> MIDIRouter::routeMessageCount(const Uuid &routeID) const
{
    const std::shared_ptr<const Table> table = snapshot()->table;
    auto it = table->counters.find(routeID);
    if (it == table->counters.end())
        return std::nullopt;
    return it->second->load(std::memory_order_relaxed);
}

bool MIDIRouter::keysMatch(const EndpointKey &a, const EndpointKey &b)
{
    return EndpointKey::matches(a, b);
}

void MIDIRouter::process(const EndpointKey &source, const MIDIMessage &message)
{
    const std::shared_ptr<const Config> config = snapshot();
    if (!config->enabled)
        return;

    const std::shared_ptr<MIDIMonitor> monitor = config->monitor.lock();
    const auto now = monitor ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point();
    if (monitor)
        monitor->record(MonitorEvent::Direction::input, source.name, message.bytes, now);

    const std::uint8_t status = message.statusByte();
    const bool channelMessage = status >= 0x80 && status <= 0xEF;
    const std::uint16_t channelBit = static_cast<std::uint16_t>(1u << (status & 0x0F));

    std::shared_ptr<MIDIDelivery> engine;
    bool engineLooked = false;
    MIDIMessage filtered; // reused by every route with a chain, keeping its storage

    config->table->forEachMatch(source, [&](const Table::Entry &entry) {
        const Route &route = *entry.route;
        if (channelMessage && (route.channelMask & channelBit) == 0)
            return;

        const MIDIMessage *out = &message;
        if (entry.chain) {
            filtered = message;
            if (!MIDIFilterProcessor::applyInPlace(*entry.chain, filtered))
                return;
            out = &filtered;
        }
        if (!route.destinations.empty())
            entry.delivered->fetch_add(1, std::memory_order_relaxed);

        for (const EndpointKey &destination : route.destinations) {
            if (destination.kind == EndpointKind::rtp) {
                if (config->rtpSend)
                    (*config->rtpSend)(destination, *out);
            } else {
                if (!engineLooked) {
                    engine = config->engine.lock();
                    engineLooked = true;
                }
                if (engine && !out->bytes.empty()) {
                    if (auto resolved = engine->resolveDestinationRef(destination))
                        engine->deliver(*resolved, out->bytes.data(), out->bytes.size());
                }
            }
            if (monitor)
                monitor->record(MonitorEvent::Direction::output, destination.name, out->bytes, now);
        }
    });
}

} // namespace korvane
