#include "midi/route_plan.h"

#include "midi/midi_filter_processor.h"
#include "midi/network_outbox.h"

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

// FNV-1a, 64 bits.
struct ShapeHash {
    std::uint64_t value = 14695981039346656037ull;
    void add(const void *data, std::size_t size)
    {
        const auto *bytes = static_cast<const std::uint8_t *>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value ^= bytes[i];
            value *= 1099511628211ull;
        }
    }
    template <typename T> void add(const T &value) { add(&value, sizeof value); }
    template <typename T> void add(const std::optional<T> &value)
    {
        add(value.has_value());
        if (value)
            add(*value);
    }
};

// What decides which note-offs and pedal-offs reach the destinations: the
// mask and every step but velocity scaling. A route whose shape changes
// releases what it held, since later note-offs may no longer match.
std::uint64_t routeShape(const Route &route, const FilterChain *chain)
{
    ShapeHash hash;
    hash.add(route.channelMask);
    if (!chain)
        return hash.value;
    for (const FilterStep &step : chain->steps) {
        if (!step.enabled || step.kind == FilterStep::Kind::velocity)
            continue;
        hash.add(step.kind);
        if (step.channelMap) {
            hash.add(step.channelMap->size());
            for (const int target : *step.channelMap)
                hash.add(target);
        }
        hash.add(step.transpose);
        hash.add(step.noteLow);
        hash.add(step.noteHigh);
        hash.add(step.ccLow);
        hash.add(step.ccHigh);
        if (step.blockedTypes)
            for (const MIDIStatusType type : *step.blockedTypes)
                hash.add(type);
    }
    return hash.value;
}

std::uint64_t kindAndID(EndpointKind kind, std::int32_t id)
{
    return (std::uint64_t(kind) << 32) | std::uint32_t(id);
}

bool hasID(const EndpointKey &key)
{
    return key.uniqueID && *key.uniqueID != 0;
}

} // namespace

// --- the table

RouteTable::RouteTable(std::vector<Route> routeList, std::vector<FilterChain> chainList,
                       const RouteTable *previous)
    : routes(std::move(routeList))
{
    for (FilterChain &chain : chainList)
        chains.try_emplace(chain.id, std::move(chain));
    for (const Route &route : routes) {
        auto [slot, added] = counters.try_emplace(route.id);
        if (added) {
            auto old = previous ? previous->counters.find(route.id) : counters.end();
            slot->second =
                previous && old != previous->counters.end() ? old->second : std::make_shared<Counter>(0);
        }
        if (!route.enabled)
            continue;
        const FilterChain *chain = nullptr;
        if (route.filterChainID) {
            auto it = chains.find(*route.filterChainID);
            if (it != chains.end() && !MIDIFilterProcessor::isIdentity(it->second))
                chain = &it->second;
        }
        active.push_back({&route, chain, slot->second, routeShape(route, chain)});
    }
    for (std::uint32_t i = 0; i < active.size(); ++i) {
        const EndpointKey &source = active[i].route->source;
        m_byName[source.name].push_back(i);
        if (hasID(source))
            m_byKindAndID[kindAndID(source.kind, *source.uniqueID)].push_back(i);
        else
            m_byNameWithoutID[source.name].push_back(i);
    }
}

std::vector<std::uint32_t> RouteTable::matching(const EndpointKey &source) const
{
    static const Indices none;
    auto find = [](const auto &map, const auto &key) -> const Indices & {
        auto it = map.find(key);
        return it == map.end() ? none : it->second;
    };
    // Equal non-zero ids, else equal names: a keyed source meets routes by id
    // and the routes without one by name; an unkeyed one every route by name.
    const Indices &a = hasID(source) ? find(m_byKindAndID, kindAndID(source.kind, *source.uniqueID))
                                     : find(m_byName, source.name);
    const Indices &b = hasID(source) ? find(m_byNameWithoutID, source.name) : none;
    Indices result;
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        const std::uint32_t next = j == b.size() || (i < a.size() && a[i] < b[j]) ? a[i++] : b[j++];
        if (active[next].route->source.kind == source.kind)
            result.push_back(next);
    }
    return result;
}

// --- building a plan

RoutePlan::RoutePlan(Parts parts, const std::vector<InputSpec> &inputs) : m_parts(std::move(parts))
{
    if (!m_parts.table)
        m_parts.table = std::make_shared<RouteTable>();
    std::uint32_t lane = 0;
    for (const RouteTable::Entry &entry : m_parts.table->active) {
        Route route;
        route.channelMask = entry.route->channelMask;
        route.chain = entry.chain;
        route.delivered = entry.delivered;
        route.id = entry.route->id;
        for (const EndpointKey &key : entry.route->destinations) {
            RouteDestination destination;
            destination.key = key;
            destination.lane = lane++;
            if (key.kind == EndpointKind::rtp) {
                destination.kind = RouteDestination::Kind::network;
            } else if (!m_parts.resolve) {
                destination.kind = RouteDestination::Kind::endpoint;
            } else if (auto handle = m_parts.resolve(key)) {
                destination.kind = RouteDestination::Kind::endpoint;
                destination.handle = *handle;
            }
            route.destinations.push_back(std::move(destination));
        }
        m_routes.push_back(std::move(route));
    }
    for (const InputSpec &spec : inputs) {
        auto input = makeInput(spec.key, spec.identity);
        input->tag = spec.handle;
        if (spec.handle >= m_inputByHandle.size())
            m_inputByHandle.resize(spec.handle + 1, -1);
        m_inputByHandle[spec.handle] = static_cast<std::int32_t>(m_inputs.size());
        m_inputs.push_back(std::move(input));
    }
}

RoutePlan::~RoutePlan() = default;

std::unique_ptr<RoutePlan::Input> RoutePlan::makeInput(const EndpointKey &key, std::string identity) const
{
    auto input = std::make_unique<Input>();
    input->name = key.name;
    input->identity = std::move(identity);
    input->routes = m_parts.table->matching(key);
    input->sysexPasses.assign(input->routes.size(), 0);
    for (const std::uint32_t index : input->routes) {
        input->firstHolder.push_back(static_cast<std::uint32_t>(input->holders.size()));
        const RouteTable::Entry &entry = m_parts.table->active[index];
        for (const RouteDestination &destination : m_routes[index].destinations) {
            std::shared_ptr<NoteHolds> holds;
            if (m_parts.ledger)
                holds = m_parts.ledger->acquire(
                    {input->identity, entry.route->id, entry.shape, destination.key.id()}, destination.key,
                    key.name);
            input->holders.push_back(holds.get());
            input->owners.push_back(std::move(holds));
        }
    }
    return input;
}

RoutePlan::QueuedView RoutePlan::queuedView(const EndpointKey &source, std::uint64_t origin)
{
    return {source.kind, source.name, source.uniqueID ? std::int64_t{*source.uniqueID} : -1, origin};
}

std::shared_ptr<const RoutePlan::Input> RoutePlan::queuedInput(const EndpointKey &source,
                                                               std::uint64_t origin) const
{
    const QueuedView view = queuedView(source, origin);
    {
        std::shared_lock lock(m_queuedMutex);
        if (auto it = m_queued.find(view); it != m_queued.end())
            return it->second;
    }
    // Built outside the lock: acquiring holders takes the ledger's.
    std::shared_ptr<const Input> made = makeInput(source, source.id() + "#" + std::to_string(origin));
    std::unique_lock lock(m_queuedMutex);
    auto [it, added] =
        m_queued.try_emplace(QueuedKey{source.kind, source.name, std::get<2>(view), origin}, std::move(made));
    return it->second;
}

void RoutePlan::dropQueuedInput(const EndpointKey &source, std::uint64_t origin) const
{
    std::shared_ptr<const Input> dropped; // let go of outside the lock: it may release notes
    std::unique_lock lock(m_queuedMutex);
    if (auto it = m_queued.find(queuedView(source, origin)); it != m_queued.end()) {
        dropped = std::move(it->second);
        m_queued.erase(it);
    }
    lock.unlock();
}

void RoutePlan::adoptQueuedInputs(const RoutePlan &previous) const
{
    std::vector<std::pair<EndpointKey, std::uint64_t>> sources;
    {
        std::shared_lock lock(previous.m_queuedMutex);
        for (const auto &[key, input] : previous.m_queued) {
            const auto &[kind, name, uniqueID, origin] = key;
            sources.emplace_back(
                EndpointKey(kind, name, uniqueID < 0 ? std::nullopt : std::optional(std::int32_t(uniqueID))),
                origin);
        }
    }
    for (const auto &[key, origin] : sources)
        queuedInput(key, origin);
}

const RoutePlan::Input *RoutePlan::realtimeInput(MidiService::Handle handle) const noexcept
{
    if (handle >= m_inputByHandle.size() || m_inputByHandle[handle] < 0)
        return nullptr;
    return m_inputs[static_cast<std::size_t>(m_inputByHandle[handle])].get();
}

// --- the kernel

bool RoutePlan::passes(const Route &route, std::span<const std::uint8_t> message,
                       std::span<std::uint8_t> head) const noexcept
{
    if (!message.empty() && !korvane::Route::passesChannel(route.channelMask, message[0]))
        return false;
    if (!route.chain)
        return true;
    // No step changes a message's length, and only messages of up to three
    // bytes have bytes a step rewrites; a longer one can only be dropped,
    // which its first bytes decide.
    std::memcpy(head.data(), message.data(), head.size());
    return MIDIFilterProcessor::applyInPlace(*route.chain, head);
}

void RoutePlan::routePiece(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept
{
    if (piece.sysex && !piece.whole())
        routeSysexPiece(input, piece, sink);
    else
        routeWhole(input, piece, sink);
}

void RoutePlan::routeWhole(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept
{
    using Direction = MonitorEvent::Direction;
    const std::span<const std::uint8_t> message = piece.bytes;
    sink.record(Direction::input, input.name, message, message.size());
    std::uint8_t filtered[3];
    const std::span<std::uint8_t> head(filtered, std::min<std::size_t>(message.size(), sizeof filtered));
    for (std::size_t r = 0; r < input.routes.size(); ++r) {
        const Route &route = m_routes[input.routes[r]];
        if (!passes(route, message, head))
            continue;
        const std::span<const std::uint8_t> out =
            route.chain && message.size() <= sizeof filtered ? std::span<const std::uint8_t>(head) : message;
        if (!route.destinations.empty())
            route.delivered->fetch_add(1, std::memory_order_relaxed);
        for (std::size_t d = 0; d < route.destinations.size(); ++d) {
            const RouteDestination &destination = route.destinations[d];
            MIDIPiece delivered = piece;
            delivered.bytes = out;
            if (sink.deliver(destination, delivered) && !out.empty()) {
                if (NoteHolds *holds = input.holders[input.firstHolder[r] + d])
                    holds->update(out);
            }
            sink.record(Direction::output, destination.key.name, out, out.size());
        }
    }
}

// One piece of a system-exclusive message that arrives in several: the chain
// decides on the first piece, for the whole message; every piece goes out as
// it comes; the monitor sees the message once, when it ends.
void RoutePlan::routeSysexPiece(const Input &input, const MIDIPiece &piece, RouteSink &sink) const noexcept
{
    using Direction = MonitorEvent::Direction;
    if (piece.first) {
        std::uint8_t scratch[3];
        const std::span<std::uint8_t> head(scratch,
                                           std::min<std::size_t>(piece.bytes.size(), sizeof scratch));
        for (std::size_t r = 0; r < input.routes.size(); ++r)
            input.sysexPasses[r] = passes(m_routes[input.routes[r]], piece.bytes, head) ? 1 : 0;
        input.sysexOpen = true;
        input.sysexSize = 0;
    } else if (!input.sysexOpen) {
        return; // the rest of a message this plan never saw begin
    }
    const std::size_t kept = std::min(
        piece.bytes.size(), input.sysexHead.size() - std::min(input.sysexSize, input.sysexHead.size()));
    if (kept > 0)
        std::memcpy(input.sysexHead.data() + input.sysexSize, piece.bytes.data(), kept);
    input.sysexSize += piece.bytes.size();

    for (std::size_t r = 0; r < input.routes.size(); ++r) {
        if (!input.sysexPasses[r])
            continue;
        for (const RouteDestination &destination : m_routes[input.routes[r]].destinations)
            sink.deliver(destination, piece);
    }
    if (!piece.last)
        return;
    input.sysexOpen = false;
    const std::span<const std::uint8_t> head(input.sysexHead.data(),
                                             std::min(input.sysexSize, input.sysexHead.size()));
    sink.record(Direction::input, input.name, head, input.sysexSize);
    for (std::size_t r = 0; r < input.routes.size(); ++r) {
        if (!input.sysexPasses[r])
            continue;
        const Route &route = m_routes[input.routes[r]];
        if (!route.destinations.empty())
            route.delivered->fetch_add(1, std::memory_order_relaxed);
        for (const RouteDestination &destination : route.destinations)
            sink.record(Direction::output, destination.key.name, head, input.sysexSize);
    }
}

// --- the real-time side

namespace {

// Writes into the cycle's output buffers; network destinations go to the
// outbox, the monitor's records into its real-time ring.
class RealtimeRouteSink final : public RouteSink {
public:
    RealtimeRouteSink(MidiService::RealtimeSink &sink, MIDIMonitor *monitor, NetworkOutbox *outbox,
                      std::uint32_t tag)
        : m_sink(sink), m_monitor(monitor), m_outbox(outbox), m_tag(tag)
    {
    }
    bool deliver(const RouteDestination &destination, const MIDIPiece &piece) noexcept override
    {
        switch (destination.kind) {
        case RouteDestination::Kind::endpoint:
            return !piece.bytes.empty() &&
                   m_sink.write(destination.handle, piece.bytes,
                                MidiService::pieceFlags(piece.sysex, piece.first, piece.last));
        case RouteDestination::Kind::network:
            return m_outbox && m_outbox->push(m_tag, destination.lane, destination.key.name, piece.bytes,
                                              MidiService::pieceFlags(piece.sysex, piece.first, piece.last));
        case RouteDestination::Kind::unresolved:
            break;
        }
        return false;
    }
    void record(MonitorEvent::Direction direction, std::string_view endpoint,
                std::span<const std::uint8_t> head, std::size_t size) noexcept override
    {
        if (m_monitor)
            m_monitor->recordRealtime(direction, endpoint, head, size);
    }

private:
    MidiService::RealtimeSink &m_sink;
    MIDIMonitor *m_monitor;
    NetworkOutbox *m_outbox;
    std::uint32_t m_tag;
};

} // namespace

void RoutePlan::route(MidiService::Handle handle, std::span<const std::uint8_t> event,
                      MidiService::RealtimeSink &sink) const noexcept
{
    const Input *input = realtimeInput(handle);
    if (!input)
        return;
    RealtimeRouteSink routeSink(sink, m_parts.monitor.get(), m_parts.outbox.get(), handle);
    input->splitter.split(event, [&](const MIDIPiece &piece) { routePiece(*input, piece, routeSink); });
}

void RoutePlan::endCycle() const noexcept
{
    if (m_parts.outbox)
        m_parts.outbox->wake();
}

// The first cycle that runs this plan, with the plan the cycle before ran: an
// input in the middle of a system-exclusive message goes on with it, to the
// routes both plans have.
void RoutePlan::takeOver(const MidiService::RealtimeRouting &previousRouting) const noexcept
{
    const auto *previous = dynamic_cast<const RoutePlan *>(&previousRouting);
    if (!previous)
        return;
    for (const auto &input : m_inputs) {
        const Input *before = previous->realtimeInput(input->tag);
        if (!before || before->identity != input->identity)
            continue;
        input->splitter = before->splitter;
        if (!before->sysexOpen)
            continue;
        input->sysexOpen = true;
        input->sysexHead = before->sysexHead;
        input->sysexSize = before->sysexSize;
        for (std::size_t r = 0; r < input->routes.size(); ++r) {
            input->sysexPasses[r] = 0;
            const Uuid &id = m_routes[input->routes[r]].id;
            for (std::size_t b = 0; b < before->routes.size(); ++b)
                if (previous->m_routes[before->routes[b]].id == id)
                    input->sysexPasses[r] = before->sysexPasses[b];
        }
    }
}

} // namespace korvane
