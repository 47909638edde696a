#pragma once

// The routes compiled for one source set, run on the audio server's
// real-time thread: every input event is split into messages, recorded,
// matched, masked, filtered and written to the outputs of the same cycle.
// Built off the real-time thread (MIDIRouter::makeRealtimePlan) and never
// changed once handed over; route() does not lock, allocate or make system
// calls.

#include "midi/midi_message.h"
#include "midi/service/midi_service.h"
#include "model/project.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class MIDIMonitor;
class NetworkOutbox;

class RealtimeRoutePlan final : public MidiService::RealtimeRouting {
public:
    struct Destination {
        enum class Kind : std::uint8_t { endpoint, network, unresolved };
        Kind kind = Kind::unresolved;
        MidiService::Handle handle = 0; // for Kind::endpoint
        std::string name;               // the key's name: monitor line, network session
    };
    struct Route {
        std::uint16_t channelMask = 0xFFFF;
        int chain = -1; // index into chains; -1: unfiltered
        std::vector<Destination> destinations;
        // The router's counter of this route (activity lights); the plan keeps
        // it alive, the real-time thread only increments it.
        std::shared_ptr<std::atomic<std::uint64_t>> delivered;
    };
    struct Source {
        std::string name;
        std::vector<std::uint32_t> routes; // indices into routes, in project order
    };

    std::vector<FilterChain> chains;
    std::vector<Route> routes;
    std::vector<Source> sources;
    std::vector<std::int32_t> sourceByHandle; // input handle -> index into sources, -1: none
    std::shared_ptr<MIDIMonitor> monitor;
    std::shared_ptr<NetworkOutbox> outbox;

    void route(MidiService::Handle input, std::span<const std::uint8_t> event,
               MidiService::RealtimeSink &sink) const noexcept override;
    void endCycle() const noexcept override;

    // Splits one input event into whole messages, as a stream parser with a
    // fresh state would (the audio server delivers whole messages; running
    // status inside one event is honoured, none carries over to the next).
    // A real-time byte inside a system-exclusive message is handed on and
    // that message dropped. `onMessage` gets spans valid for the call only.
    template <typename F>
    static void forEachMessage(std::span<const std::uint8_t> event, F &&onMessage) noexcept;

private:
    void routeMessage(const Source &source, std::span<const std::uint8_t> message,
                      MidiService::RealtimeSink &sink) const noexcept;
};

template <typename F>
void RealtimeRoutePlan::forEachMessage(std::span<const std::uint8_t> e, F &&onMessage) noexcept
{
    const auto isStatus = [](std::uint8_t b) { return (b & 0x80) != 0; };
    std::uint8_t running = 0;
    std::size_t i = 0;
    while (i < e.size()) {
        const std::uint8_t b = e[i];
        if (b >= 0xF8) {
            onMessage(e.subspan(i, 1));
            ++i;
        } else if (b == 0xF0) {
            running = 0;
            std::size_t j = i + 1;
            bool interrupted = false;
            while (j < e.size() && e[j] != 0xF7 && (!isStatus(e[j]) || e[j] >= 0xF8)) {
                if (e[j] >= 0xF8) {
                    onMessage(e.subspan(j, 1));
                    interrupted = true;
                }
                ++j;
            }
            const bool terminated = j < e.size() && e[j] == 0xF7;
            if (!interrupted)
                onMessage(e.subspan(i, j - i + (terminated ? 1 : 0)));
            i = terminated ? j + 1 : j;
        } else if (isStatus(b)) {
            running = b < 0xF0 ? b : 0;
            const auto n = static_cast<std::size_t>(midiDataByteCount(b));
            std::size_t j = i + 1;
            while (j < e.size() && j - (i + 1) < n && !isStatus(e[j]))
                ++j;
            if (j - (i + 1) == n)
                onMessage(e.subspan(i, j - i));
            i = j;
        } else if (running == 0) {
            ++i;
        } else if (midiDataByteCount(running) == 1) {
            const std::uint8_t m[2] = {running, b};
            onMessage(std::span<const std::uint8_t>(m, 2));
            ++i;
        } else if (i + 1 < e.size() && !isStatus(e[i + 1])) {
            const std::uint8_t m[3] = {running, b, e[i + 1]};
            onMessage(std::span<const std::uint8_t>(m, 3));
            i += 2;
        } else {
            ++i;
        }
    }
}

} // namespace korvane
