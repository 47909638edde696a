#pragma once

// The switchboard between inputs and outputs: every incoming message is
// recorded, matched against the routes, filtered per route and delivered to
// each destination of the matching routes.

#include "midi/midi_delivery.h"
#include "midi/midi_message.h"
#include "model/project.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace korvane {

class MIDIMonitor;
class RealtimeRoutePlan;

class MIDIRouter {
public:
    using RtpSend = std::function<void(const EndpointKey &destination, const MIDIMessage &message)>;

    MIDIRouter();
    ~MIDIRouter();
    MIDIRouter(const MIDIRouter &) = delete;
    MIDIRouter &operator=(const MIDIRouter &) = delete;

    // Replaces routes and chains as a whole. When two chains share an id the
    // first one in the list is kept, as a project lookup by id would find it.
    void updateConfiguration(std::vector<Route> routes, std::vector<FilterChain> chains);
    void setEnabled(bool enabled);
    bool enabled() const;
    std::vector<Route> routes() const;

    // Any thread, several at once. Works on one configuration snapshot from
    // start to end; holds no lock while filtering, delivering or recording.
    void process(const EndpointKey &source, const MIDIMessage &message);

    // Messages that passed the route's channel mask and filter chain and went
    // to its destinations, since the route id first reached the router; the
    // count survives configuration changes. Nothing for an unknown id. Any
    // thread; the MIDI path only does a relaxed increment.
    std::optional<std::uint64_t> routeMessageCount(const Uuid &routeID) const;

    // Same kind, then equal unique ids when both are non-zero, else equal names.
    static bool keysMatch(const EndpointKey &a, const EndpointKey &b);

    // Thread-safe; each takes effect for messages processed afterwards. A
    // missing engine, monitor or callback means that part is skipped.
    void setEngine(std::weak_ptr<MIDIDelivery> engine);
    void setMonitor(std::weak_ptr<MIDIMonitor> monitor);
    // Called for destinations of kind rtp, with no router lock held.
    void setRtpSend(RtpSend send);
    std::shared_ptr<const RtpSend> rtpSend() const;

    // The current configuration compiled for in-cycle routing of the given
    // inputs (a service input handle with its source key); destinations are
    // resolved once with `resolve`. Any thread.
    using Resolve = std::function<std::optional<ResolvedDestination>(const EndpointKey &)>;
    std::shared_ptr<RealtimeRoutePlan>
    makeRealtimePlan(const std::vector<std::pair<std::uint32_t, EndpointKey>> &inputs,
                     const Resolve &resolve) const;
    // Called after every configuration change, on the thread that made it,
    // with no router lock held.
    void setChangeListener(std::function<void()> listener);

private:
    struct Table;
    struct Config;

    std::shared_ptr<const Config> snapshot() const;
    void replace(const std::function<void(Config &)> &edit);

    mutable std::mutex m_mutex;
    std::shared_ptr<const Config> m_config;                  // guarded by m_mutex; never null
    std::shared_ptr<const std::function<void()>> m_listener; // guarded by m_mutex
};

} // namespace korvane
