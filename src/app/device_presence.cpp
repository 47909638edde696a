// Device presence: which physical endpoints the open project needs that the
// MIDI engine does not see. Part of AppState, main thread only.

#include "app/app_state.h"

#include "midi/midi_engine.h"

#include <unordered_set>
#include <utility>

namespace korvane {

std::vector<EndpointKey> AppState::activeMissing() const
{
    std::vector<EndpointKey> active;
    for (const auto &key : m_missingDevices)
        if (!m_acknowledgedMissing.count(key.id()))
            active.push_back(key);
    return active;
}

void AppState::refreshMissing()
{
    if (!m_engine->running()) {
        if (!m_missingDevices.empty()) {
            m_missingDevices.clear();
            emit changed();
            emit missingDevicesChanged();
        }
        return;
    }
    // Right after a start the lists are still empty: judging presence then
    // would raise a false alarm for every device of the show.
    if (!m_engine->endpointListsCurrent())
        return;

    std::unordered_set<std::string> presentIds;
    std::unordered_set<std::string> presentNames;
    const auto collect = [&](const std::vector<MIDIEndpointInfo> &list) {
        for (const auto &info : list) {
            if (info.isVirtual || !info.online)
                continue;
            presentIds.insert("physical:" + std::to_string(info.uniqueID));
            presentNames.insert(info.name);
        }
    };
    collect(m_engine->sources());
    collect(m_engine->destinations());

    std::vector<const EndpointKey *> needed;
    for (const auto &route : m_project.routes) {
        if (!route.enabled)
            continue;
        if (route.source.kind == EndpointKind::physical)
            needed.push_back(&route.source);
        for (const auto &d : route.destinations)
            if (d.kind == EndpointKind::physical)
                needed.push_back(&d);
    }
    for (const auto &device : m_project.devices)
        if (device.key.kind == EndpointKind::physical)
            needed.push_back(&device.key);

    std::unordered_set<std::string> seen;
    std::vector<EndpointKey> missing;
    for (const EndpointKey *key : needed) {
        const std::string id = key->id();
        if (!seen.insert(id).second)
            continue;
        if (presentIds.count(id) || presentNames.count(key->name))
            continue;
        missing.push_back(*key);
    }

    std::set<std::string> stillAcknowledged;
    for (const auto &key : missing)
        if (m_acknowledgedMissing.count(key.id()))
            stillAcknowledged.insert(key.id());
    m_acknowledgedMissing = std::move(stillAcknowledged);

    bool same = missing.size() == m_missingDevices.size();
    for (std::size_t i = 0; same && i < missing.size(); ++i)
        same = missing[i].id() == m_missingDevices[i].id();
    if (same)
        return;

    const std::vector<EndpointKey> previous = std::exchange(m_missingDevices, std::move(missing));
    emit changed();
    emit missingDevicesChanged();
    std::string names;
    const auto name = [&](const EndpointKey &key) {
        names += (names.empty() ? "" : ", ") + displayName(key);
    };
    if (!m_missingDevices.empty()) {
        for (const auto &key : m_missingDevices)
            name(key);
        setStatus("\u26A0\uFE0E Appareil déconnecté : " + names);
        return;
    }
    // Devices back: said in a line of their own, or the disconnect line would stay.
    for (const auto &key : previous)
        if (presentIds.count(key.id()) || presentNames.count(key.name))
            name(key);
    if (!names.empty())
        setStatus("\u2713 Appareil reconnecté : " + names);
}

void AppState::acknowledgeMissing()
{
    m_acknowledgedMissing.clear();
    for (const auto &key : m_missingDevices)
        m_acknowledgedMissing.insert(key.id());
    emit changed();
    emit missingDevicesChanged();
}

} // namespace korvane
