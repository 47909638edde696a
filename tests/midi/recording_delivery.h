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

    // A platform destination; uniqueID 0 means it has none.
    void addDestination(std::uint32_t ref, std::string name, std::int32_t uniqueID = 0)
    {
        std::lock_guard lock(m_mutex);
        m_endpoints.push_back({ref, std::move(name), uniqueID, false});
    }

    // One of the application's own virtual outputs, found by name for keys of kind virtual.
    void addOwnVirtualOutput(std::uint32_t ref, std::string name)
    {
        std::lock_guard lock(m_mutex);
        m_endpoints.push_back({ref, std::move(name), 0, true});
    }

    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        std::lock_guard lock(m_mutex);
        if (key.kind == EndpointKind::virtual_) {
            for (const Endpoint &e : m_endpoints)
                if (e.ownVirtual && e.name == key.name)
                    return ResolvedDestination{e.ref, true};
        }
        if (key.uniqueID && *key.uniqueID != 0) {
            for (const Endpoint &e : m_endpoints)
                if (!e.ownVirtual && e.uniqueID == *key.uniqueID)
                    return ResolvedDestination{e.ref, false};
        }
        for (const Endpoint &e : m_endpoints)
            if (!e.ownVirtual && e.name == key.name)
                return ResolvedDestination{e.ref, false};
        return std::nullopt;
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
        std::lock_guard lock(m_mutex);
        std::vector<std::vector<std::uint8_t>> out;
        for (const Delivery &d : m_deliveries)
            if (d.destination.ref == ref)
                out.push_back(d.bytes);
        return out;
    }

private:
    struct Endpoint {
        std::uint32_t ref;
        std::string name;
        std::int32_t uniqueID;
        bool ownVirtual;
    };

    mutable std::mutex m_mutex;
    std::vector<Endpoint> m_endpoints;
    std::vector<Delivery> m_deliveries;
};

} // namespace korvane::test
