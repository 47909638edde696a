#include "midi/realtime_routing_link.h"

#include "midi/midi_engine.h"
#include "midi/midi_router.h"
#include "midi/network_outbox.h"
#include "midi/route_plan.h"

#include <string>
#include <vector>

namespace korvane {

std::shared_ptr<RealtimeRoutingLink> RealtimeRoutingLink::attach(const std::shared_ptr<MIDIEngine> &engine,
                                                                 const std::shared_ptr<MIDIRouter> &router)
{
    if (!engine->supportsRealtimeRouting())
        return nullptr;
    std::shared_ptr<RealtimeRoutingLink> link(new RealtimeRoutingLink(engine, router));
    std::weak_ptr<RealtimeRoutingLink> weak = link;
    router->setChangeListener([weak] {
        if (auto self = weak.lock())
            self->refresh(nullptr, self->m_running);
    });
    engine->setOnEndpointsChanged([weak](MIDIEngine &changed, bool running) {
        if (auto self = weak.lock())
            self->refresh(&changed, running);
    });
    link->refresh(engine.get(), engine->running());
    return link;
}

RealtimeRoutingLink::RealtimeRoutingLink(const std::shared_ptr<MIDIEngine> &engine,
                                         const std::shared_ptr<MIDIRouter> &router)
    : m_engine(engine), m_router(router), m_outbox(std::make_shared<NetworkOutbox>())
{
}

RealtimeRoutingLink::~RealtimeRoutingLink()
{
    if (auto router = m_router.lock())
        router->setChangeListener(nullptr);
    if (auto engine = m_engine.lock()) {
        engine->setOnEndpointsChanged(nullptr);
        if (m_handedOver)
            engine->setRealtimeRouting(nullptr);
    }
}

std::uint64_t RealtimeRoutingLink::dropped() const
{
    return m_outbox->dropped();
}

void RealtimeRoutingLink::refresh(MIDIEngine *engine, bool running)
{
    std::lock_guard guard(m_mutex);
    m_running = running;
    // Held for the call only: whichever thread lets go last, the engine is
    // destroyed on its own thread.
    std::shared_ptr<MIDIEngine> held;
    if (engine == nullptr) {
        held = m_engine.lock();
        engine = held.get();
    }
    const auto router = m_router.lock();
    if (engine == nullptr)
        return;
    if (!running || !router) {
        if (m_handedOver)
            engine->setRealtimeRouting(nullptr);
        m_handedOver = false;
        return;
    }
    std::vector<MIDIRouter::RealtimeInput> inputs;
    for (const MIDIEngine::ServiceInput &input : engine->serviceInputs())
        inputs.push_back({input.handle, input.key, "connection:" + std::to_string(input.connection)});
    auto plan = router->makeRealtimePlan(
        inputs,
        [engine](const EndpointKey &key) -> std::optional<std::uint32_t> {
            if (auto resolved = engine->resolveDestinationRef(key))
                return resolved->ref;
            return std::nullopt;
        },
        m_outbox);
    m_outbox->setSend(router->rtpSend());
    engine->setRealtimeRouting(std::move(plan));
    m_handedOver = true;
}

} // namespace korvane
