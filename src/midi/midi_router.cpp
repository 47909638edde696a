#include "midi/midi_router.h"

#include "midi/midi_filter_processor.h"
#include "midi/midi_monitor.h"

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
    std::lock_guard lock(m_mutex);
    auto next = std::make_shared<Config>(*m_config);
    edit(*next);
    m_config = std::move(next);
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
    if (monitor)
        monitor->record(MonitorEvent::Direction::input, source.name, message);

    const std::uint8_t status = message.statusByte();
    const bool channelMessage = status >= 0x80 && status <= 0xEF;
    const std::uint16_t channelBit = static_cast<std::uint16_t>(1u << (status & 0x0F));

    std::shared_ptr<MIDIDelivery> engine;
    bool engineLooked = false;
    MIDIMessage filtered; // reused by every route with a chain, keeping its storage

    for (const Table::Entry &entry : config->table->active) {
        const Route &route = *entry.route;
        if (!keysMatch(route.source, source))
            continue;
        if (channelMessage && (route.channelMask & channelBit) == 0)
            continue;

        const MIDIMessage *out = &message;
        if (entry.chain) {
            filtered = message;
            if (!MIDIFilterProcessor::applyInPlace(*entry.chain, filtered))
                continue;
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
                monitor->record(MonitorEvent::Direction::output, destination.name, *out);
        }
    }
}

} // namespace korvane
