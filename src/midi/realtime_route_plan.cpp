#include "midi/realtime_route_plan.h"

#include "midi/midi_filter_processor.h"
#include "midi/midi_monitor.h"
#include "midi/network_outbox.h"

#include <algorithm>
#include <cstring>

namespace korvane {

void RealtimeRoutePlan::route(MidiService::Handle input, std::span<const std::uint8_t> event,
                              MidiService::RealtimeSink &sink) const noexcept
{
    if (input >= sourceByHandle.size() || sourceByHandle[input] < 0)
        return;
    const Source &source = sources[static_cast<std::size_t>(sourceByHandle[input])];
    forEachMessage(event,
                   [&](std::span<const std::uint8_t> message) { routeMessage(source, message, sink); });
}

void RealtimeRoutePlan::routeMessage(const Source &source, std::span<const std::uint8_t> message,
                                     MidiService::RealtimeSink &sink) const noexcept
{
    using Direction = MonitorEvent::Direction;
    if (monitor)
        monitor->recordRealtime(Direction::input, source.name, message);
    const std::uint8_t status = message.empty() ? 0 : message[0];
    const bool channelMessage = status >= 0x80 && status <= 0xEF;
    const auto channelBit = static_cast<std::uint16_t>(1u << (status & 0x0F));

    for (const std::uint32_t index : source.routes) {
        const Route &route = routes[index];
        if (channelMessage && (route.channelMask & channelBit) == 0)
            continue;
        std::span<const std::uint8_t> out = message;
        // No step changes a message's length, and only messages of up to
        // three bytes have bytes a step rewrites; a longer one can only be
        // dropped, which its first bytes decide.
        std::uint8_t filtered[3];
        if (route.chain >= 0) {
            const std::size_t head = std::min<std::size_t>(message.size(), sizeof filtered);
            if (head > 0)
                std::memcpy(filtered, message.data(), head);
            if (!MIDIFilterProcessor::applyInPlace(chains[static_cast<std::size_t>(route.chain)],
                                                   std::span<std::uint8_t>(filtered, head)))
                continue;
            if (message.size() <= sizeof filtered)
                out = std::span<const std::uint8_t>(filtered, head);
        }
        if (route.delivered && !route.destinations.empty())
            route.delivered->fetch_add(1, std::memory_order_relaxed);
        for (const Destination &destination : route.destinations) {
            if (!out.empty()) {
                if (destination.kind == Destination::Kind::endpoint)
                    sink.write(destination.handle, out);
                else if (destination.kind == Destination::Kind::network && outbox)
                    outbox->push(destination.name, out);
            }
            if (monitor)
                monitor->recordRealtime(Direction::output, destination.name, out);
        }
    }
}

void RealtimeRoutePlan::endCycle() const noexcept
{
    if (outbox)
        outbox->wake();
}

} // namespace korvane
