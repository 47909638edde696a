#pragma once

// A stand-in for the MIDI engine: resolves destination keys against a small
// table with the engine's rule and records every delivery.

#include "midi/midi_delivery.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace korvane::test {

class RecordingDelivery : public MIDIDelivery {
public:
    struct Delivery {
        ResolvedDestination destination;
        std::vector<std::uint8_t> bytes;
        friend bool operator==(const Delivery &, const Delivery &) = default;
    };

    // A platform destination (uniqueID 0: none), or one of the program's own
    // virtual outputs, found by name for keys of kind virtual.
    void addDestination(std::uint32_t ref, std::string name, std::int32_t uniqueID = 0, bool own = false)
    {
        m_endpoints.push_back({ref, std::move(name), uniqueID, own});
    }

    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        auto find = [&](auto &&match) -> std::optional<ResolvedDestination> {
            for (const Endpoint &e : m_endpoints)
                if (match(e))
                    return ResolvedDestination{e.ref, e.own};
            return std::nullopt;
        };
        if (auto own = find([&](const Endpoint &e) {
                return e.own && key.kind == EndpointKind::virtual_ && e.name == key.name;
            }))
            return own;
        if (auto byId = find([&](const Endpoint &e) {
                return !e.own && key.uniqueID.value_or(0) != 0 && e.uniqueID == key.uniqueID;
            }))
            return byId;
        return find([&](const Endpoint &e) { return !e.own && e.name == key.name; });
    }

    void deliver(const ResolvedDestination &destination, const std::uint8_t *data, std::size_t size) override
    {
        std::lock_guard lock(m_mutex);
        m_deliveries.push_back({destination, std::vector<std::uint8_t>(data, data + size)});
    }

    std::vector<Delivery> deliveries() const
    {
        std::lock_guard lock(m_mutex);
        return m_deliveries;
    }

    // Bytes delivered to one endpoint, in order.
    std::vector<std::vector<std::uint8_t>> deliveredTo(std::uint32_t ref) const
    {
        std::vector<std::vector<std::uint8_t>> out;
        for (const Delivery &d : deliveries())
            if (d.destination.ref == ref)
                out.push_back(d.bytes);
        return out;
    }

private:
    struct Endpoint {
        std::uint32_t ref;
        std::string name;
        std::int32_t uniqueID;
        bool own;
    };

    mutable std::mutex m_mutex;
    std::vector<Endpoint> m_endpoints; // set up before any delivery
    std::vector<Delivery> m_deliveries;
};

} // namespace korvane::test
