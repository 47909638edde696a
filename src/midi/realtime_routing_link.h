#pragma once

// In-cycle routing: the router's configuration compiled against the engine's
// inputs and destinations and handed to the MIDI service, whose real-time
// cycle then routes what arrives into the outputs of the same cycle. Owns the
// outbox through which that cycle reaches network sessions.
//
// Recompiled after every change of the router (on the thread that made it)
// and of the engine's endpoints (on the engine's thread); cleared before the
// engine lets go of any port, so what its sources held is released while the
// outputs are still there.

#include <cstdint>
#include <memory>
#include <mutex>

namespace korvane {

class MIDIEngine;
class MIDIRouter;
class NetworkOutbox;

class RealtimeRoutingLink : public std::enable_shared_from_this<RealtimeRoutingLink> {
public:
    // Null when the engine's service cannot route in its cycle; input then
    // reaches the engine's onInput. Main thread.
    static std::shared_ptr<RealtimeRoutingLink> attach(const std::shared_ptr<MIDIEngine> &engine,
                                                       const std::shared_ptr<MIDIRouter> &router);
    // Detaches from both; input goes to the engine's onInput again.
    ~RealtimeRoutingLink();
    RealtimeRoutingLink(const RealtimeRoutingLink &) = delete;
    RealtimeRoutingLink &operator=(const RealtimeRoutingLink &) = delete;

    // Messages for the network that the cycle could not queue (ring full,
    // system-exclusive message over the cap). Any thread.
    std::uint64_t dropped() const;

private:
    RealtimeRoutingLink(const std::shared_ptr<MIDIEngine> &engine, const std::shared_ptr<MIDIRouter> &router);
    // `engine` is null when the router changed; it is then looked up.
    void refresh(MIDIEngine *engine, bool running);

    std::mutex m_mutex; // one compile-and-hand-over at a time; guards the rest
    std::weak_ptr<MIDIEngine> m_engine;
    std::weak_ptr<MIDIRouter> m_router;
    std::shared_ptr<NetworkOutbox> m_outbox;
    bool m_running = false;
    bool m_handedOver = false;
};

} // namespace korvane
