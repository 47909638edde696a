#include "app/device_presence.h"

#include <unordered_set>

namespace korvane {

namespace {

class Present {
public:
    Present(const std::vector<MIDIEndpointInfo> &sources, const std::vector<MIDIEndpointInfo> &destinations)
    {
        for (const auto *list : {&sources, &destinations}) {
            for (const auto &info : *list) {
                if (info.isVirtual || !info.online)
                    continue;
                m_ids.insert("physical:" + std::to_string(info.uniqueID));
                m_names.insert(info.name);
            }
        }
    }
    bool contains(const EndpointKey &key) const { return m_ids.count(key.id()) || m_names.count(key.name); }

private:
    std::unordered_set<std::string> m_ids;
    std::unordered_set<std::string> m_names;
};

} // namespace

std::vector<EndpointKey> missingDevices(const TOVProject &project,
                                        const std::vector<MIDIEndpointInfo> &sources,
                                        const std::vector<MIDIEndpointInfo> &destinations)
{
    std::vector<const EndpointKey *> needed;
    for (const auto &route : project.routes) {
        if (!route.enabled)
            continue;
        if (route.source.kind == EndpointKind::physical)
            needed.push_back(&route.source);
        for (const auto &d : route.destinations)
            if (d.kind == EndpointKind::physical)
                needed.push_back(&d);
    }
    for (const auto &device : project.devices)
        if (device.key.kind == EndpointKind::physical)
            needed.push_back(&device.key);

    const Present present(sources, destinations);
    std::unordered_set<std::string> seen;
    std::vector<EndpointKey> missing;
    for (const EndpointKey *key : needed)
        if (seen.insert(key->id()).second && !present.contains(*key))
            missing.push_back(*key);
    return missing;
}

std::vector<EndpointKey> presentDevices(const std::vector<EndpointKey> &keys,
                                        const std::vector<MIDIEndpointInfo> &sources,
                                        const std::vector<MIDIEndpointInfo> &destinations)
{
    const Present present(sources, destinations);
    std::vector<EndpointKey> found;
    for (const EndpointKey &key : keys)
        if (present.contains(key))
            found.push_back(key);
    return found;
}

} // namespace korvane
