#pragma once

// What the router needs from whoever owns the platform MIDI endpoints
// (the MIDI engine in the program, a recording fake in tests).

#include "model/project.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace korvane {

struct ResolvedDestination {
    std::uint32_t ref = 0;
    bool isOwnVirtualSource = false;

    friend bool operator==(const ResolvedDestination &, const ResolvedDestination &) = default;
};

class MIDIDelivery {
public:
    virtual ~MIDIDelivery() = default;

    // Own virtual output by name (kind virtual), then unique id, then name.
    // Thread-safe: called from every MIDI thread.
    virtual std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) = 0;

    // Sends one whole message now. Thread-safe; never blocks on the service.
    virtual void deliver(const ResolvedDestination &dest, const std::uint8_t *data, std::size_t size) = 0;
};

} // namespace korvane
