#include "midi/midi_router.h"

#include "midi/midi_monitor.h"
#include "midi/route_plan.h"

#include <chrono>

namespace korvane {

// Immutable once published; process() keeps its own reference for the whole
// message, so a configuration change never affects a message in flight.
struct MIDIRouter::Config {
    std::shared_ptr<const RouteTable> table = std::make_shared<RouteTable>();
    bool enabled = true;
    std::weak_ptr<MIDIDelivery> engine;
    std::weak_ptr<MIDIMonitor> monitor;
    std::shared_ptr<const RtpSend> rtpSend;
    std::shared_ptr<const Log> log;
    // The queued path's plan, compiled from the fields above; null while
    // disabled.
    std::shared_ptr<const RoutePlan> plan;
};

struct MIDIRouter::Shared {
    std::shared_ptr<NoteLedger> ledger = NoteLedger::create();
    mutable std::mutex mutex;
    std::shared_ptr<const Config> config = std::make_shared<Config>(); // guarded by mutex; never null
    std::shared_ptr<const std::function<void()>> listener;             // guarded by mutex
    std::mutex compileMutex;                                           // one configuration change at a time

    std::shared_ptr<const Config> snapshot() const
    {
        std::lock_guard lock(mutex);
        return config;
    }
};

namespace {

// The queued path's deliveries: endpoints through the engine (resolved per
// message, so a destination that appears is reached at once), network
// sessions through rtpSend, records into the monitor's shared ring.
class QueuedSink final : public RouteSink {
public:
    QueuedSink(const std::weak_ptr<MIDIDelivery> &engine, const MIDIRouter::RtpSend *rtpSend,
               std::shared_ptr<MIDIMonitor> monitor)
        : m_engineRef(engine), m_rtpSend(rtpSend), m_monitor(std::move(monitor)),
          m_now(m_monitor ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point())
    {
    }
    bool deliver(const RouteDestination &destination, const MIDIPiece &piece) noexcept override
    {
        if (destination.kind == RouteDestination::Kind::network) {
            if (!m_rtpSend || !*m_rtpSend)
                return false;
            (*m_rtpSend)(destination.key,
                         MIDIMessage(std::vector<std::uint8_t>(piece.bytes.begin(), piece.bytes.end())));
            return true;
        }
        if (!m_engineLooked) {
            m_engine = m_engineRef.lock();
            m_engineLooked = true;
        }
        if (!m_engine || piece.bytes.empty())
            return false;
        const auto resolved = m_engine->resolveDestinationRef(destination.key);
        if (!resolved)
            return false;
        m_engine->deliver(*resolved, piece.bytes.data(), piece.bytes.size());
        return true;
    }
    void record(MonitorEvent::Direction direction, std::string_view endpoint,
                std::span<const std::uint8_t> head, std::size_t size) noexcept override
    {
        if (m_monitor)
            m_monitor->record(direction, endpoint, head, size, m_now);
    }

private:
    const std::weak_ptr<MIDIDelivery> &m_engineRef;
    const MIDIRouter::RtpSend *m_rtpSend;
    std::shared_ptr<MIDIMonitor> m_monitor;
    std::chrono::system_clock::time_point m_now;
    std::shared_ptr<MIDIDelivery> m_engine;
    bool m_engineLooked = false;
};

std::string releaseLine(const EndpointKey &destination, const std::string &sourceName,
                        const std::vector<NoteLedger::Message> &messages)
{
    std::size_t notes = 0;
    bool pedal = false;
    for (const auto &m : messages)
        (m[0] & 0xF0) == 0x80 ? ++notes : (pedal = true, notes);
    std::string what;
    if (notes > 0)
        what = std::to_string(notes) + (notes == 1 ? " note" : " notes");
    if (pedal)
        what += std::string(what.empty() ? "" : " et ") + "la pédale";
    return "Relâché vers " + destination.name + " : " + what + " tenu" +
           (notes + (pedal ? 1 : 0) > 1 ? "s" : "") + " par " + sourceName;
}

} // namespace

MIDIRouter::MIDIRouter() : m_shared(std::make_shared<Shared>())
{
    std::weak_ptr<Shared> weak = m_shared;
    m_shared->ledger->setRelease([weak](const EndpointKey &destination, const std::string &sourceName,
                                        const std::vector<NoteLedger::Message> &messages) {
        const auto shared = weak.lock();
        if (!shared)
            return;
        const auto config = shared->snapshot();
        QueuedSink sink(config->engine, config->rtpSend.get(), config->monitor.lock());
        RouteDestination target;
        target.kind = destination.kind == EndpointKind::rtp ? RouteDestination::Kind::network
                                                            : RouteDestination::Kind::endpoint;
        target.key = destination;
        for (const auto &message : messages) {
            const std::span<const std::uint8_t> bytes(message);
            sink.deliver(target, MIDIPiece{bytes});
            sink.record(MonitorEvent::Direction::output, destination.name, bytes, bytes.size());
        }
        if (config->log && *config->log)
            (*config->log)(releaseLine(destination, sourceName, messages));
    });
    replace([](Config &) {});
}

MIDIRouter::~MIDIRouter() = default;

std::shared_ptr<const MIDIRouter::Config> MIDIRouter::snapshot() const
{
    return m_shared->snapshot();
}

void MIDIRouter::replace(const std::function<void(Config &)> &edit)
{
    std::shared_ptr<const std::function<void()>> listener;
    std::shared_ptr<const Config> previous;
    {
        std::lock_guard compile(m_shared->compileMutex);
        auto next = std::make_shared<Config>(*snapshot());
        edit(*next);
        if (next->enabled) {
            auto plan = std::make_shared<RoutePlan>(
                RoutePlan::Parts{next->table, m_shared->ledger, nullptr, nullptr, nullptr},
                std::vector<RoutePlan::InputSpec>{});
            if (next->plan)
                plan->adoptQueuedInputs(*next->plan);
            next->plan = std::move(plan);
        } else {
            next->plan = nullptr;
        }
        std::lock_guard lock(m_shared->mutex);
        previous = std::move(m_shared->config);
        m_shared->config = std::move(next);
        listener = m_shared->listener;
    }
    // The old plan goes here, or with the last message still using it: what
    // only it held is released then.
    previous.reset();
    if (listener && *listener)
        (*listener)();
}

void MIDIRouter::setChangeListener(std::function<void()> listener)
{
    auto shared = listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
    std::lock_guard lock(m_shared->mutex);
    m_shared->listener = std::move(shared);
}

std::shared_ptr<const MIDIRouter::RtpSend> MIDIRouter::rtpSend() const
{
    return snapshot()->rtpSend;
}

std::shared_ptr<RoutePlan> MIDIRouter::makeRealtimePlan(const std::vector<RealtimeInput> &inputs,
                                                        const Resolve &resolve,
                                                        std::shared_ptr<NetworkOutbox> outbox) const
{
    const std::shared_ptr<const Config> config = snapshot();
    std::vector<RoutePlan::InputSpec> specs;
    if (config->enabled) // else nothing is recorded or sent
        for (const RealtimeInput &input : inputs)
            specs.push_back({input.handle, input.key, input.identity});
    return std::make_shared<RoutePlan>(
        RoutePlan::Parts{config->table, m_shared->ledger, config->monitor.lock(), std::move(outbox), resolve},
        specs);
}

void MIDIRouter::updateConfiguration(std::vector<Route> routes, std::vector<FilterChain> chains)
{
    // Built outside the lock; only the pointer swap happens under it.
    auto table =
        std::make_shared<const RouteTable>(std::move(routes), std::move(chains), snapshot()->table.get());
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

void MIDIRouter::setLog(Log log)
{
    auto shared = log ? std::make_shared<const Log>(std::move(log)) : nullptr;
    replace([&](Config &c) { c.log = std::move(shared); });
}

std::optional<std::uint64_t> MIDIRouter::routeMessageCount(const Uuid &routeID) const
{
    const std::shared_ptr<const RouteTable> table = snapshot()->table;
    auto it = table->counters.find(routeID);
    if (it == table->counters.end())
        return std::nullopt;
    return it->second->load(std::memory_order_relaxed);
}

std::size_t MIDIRouter::liveNoteHolders() const
{
    return m_shared->ledger->liveHolders();
}

bool MIDIRouter::keysMatch(const EndpointKey &a, const EndpointKey &b)
{
    return EndpointKey::matches(a, b);
}

void MIDIRouter::process(const EndpointKey &source, const MIDIMessage &message, std::uint64_t origin)
{
    const std::shared_ptr<const Config> config = snapshot();
    if (!config->plan)
        return;
    const auto input = config->plan->queuedInput(source, origin);
    QueuedSink sink(config->engine, config->rtpSend.get(), config->monitor.lock());
    config->plan->routePiece(*input, MIDIPiece{message.bytes, message.statusByte() == 0xF0}, sink);
}

void MIDIRouter::releaseOrigin(const EndpointKey &source, std::uint64_t origin)
{
    if (const auto config = snapshot(); config->plan)
        config->plan->dropQueuedInput(source, origin);
}

} // namespace korvane
