#include "model/project.h"

namespace korvane {

std::string_view rawValue(EndpointKind kind)
{
    switch (kind) {
    case EndpointKind::physical:
        return "physical";
    case EndpointKind::virtual_:
        return "virtual";
    case EndpointKind::rtp:
        return "rtp";
    }
    return "physical";
}

std::string_view rawValue(EndpointRole role)
{
    return role == EndpointRole::source ? "source" : "destination";
}

std::string_view rawValue(RTPRole role)
{
    return role == RTPRole::listener ? "listener" : "initiator";
}

std::optional<EndpointKind> endpointKindFromRaw(std::string_view raw)
{
    for (auto k : {EndpointKind::physical, EndpointKind::virtual_, EndpointKind::rtp})
        if (rawValue(k) == raw)
            return k;
    return std::nullopt;
}

std::optional<EndpointRole> endpointRoleFromRaw(std::string_view raw)
{
    for (auto r : {EndpointRole::source, EndpointRole::destination})
        if (rawValue(r) == raw)
            return r;
    return std::nullopt;
}

std::optional<RTPRole> rtpRoleFromRaw(std::string_view raw)
{
    for (auto r : {RTPRole::listener, RTPRole::initiator})
        if (rawValue(r) == raw)
            return r;
    return std::nullopt;
}

std::string_view rawValue(NetworkMIDI2Role role)
{
    return role == NetworkMIDI2Role::host ? "host" : "client";
}

std::optional<NetworkMIDI2Role> networkMIDI2RoleFromRaw(std::string_view raw)
{
    for (auto r : {NetworkMIDI2Role::host, NetworkMIDI2Role::client})
        if (rawValue(r) == raw)
            return r;
    return std::nullopt;
}

std::string EndpointKey::id() const
{
    std::string s(rawValue(kind));
    s.push_back(':');
    s += uniqueID ? std::to_string(*uniqueID) : name;
    return s;
}

bool EndpointKey::matches(const EndpointKey &a, const EndpointKey &b)
{
    if (a.kind != b.kind)
        return false;
    if (a.uniqueID && b.uniqueID && *a.uniqueID != 0 && *b.uniqueID != 0)
        return *a.uniqueID == *b.uniqueID;
    return a.name == b.name;
}

namespace {

struct KindInfo {
    std::string_view raw;
    std::string_view label;
};

constexpr KindInfo kKindInfo[] = {
    {"channelRemap", "Remap canal"}, {"transpose", "Transpose"}, {"velocity", "Vélocité"},
    {"noteRange", "Plage de notes"}, {"ccRange", "Plage de CC"}, {"messageTypeFilter", "Filtre par type"},
};

} // namespace

std::string_view rawValue(FilterStep::Kind kind)
{
    return kKindInfo[static_cast<int>(kind)].raw;
}

std::string_view label(FilterStep::Kind kind)
{
    return kKindInfo[static_cast<int>(kind)].label;
}

std::optional<FilterStep::Kind> filterStepKindFromRaw(std::string_view raw)
{
    for (auto k : kAllFilterStepKinds)
        if (rawValue(k) == raw)
            return k;
    return std::nullopt;
}

FilterStep::FilterStep(Kind k) : kind(k)
{
    switch (k) {
    case Kind::channelRemap:
        channelMap = std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        break;
    case Kind::transpose:
        transpose = 0;
        break;
    case Kind::velocity:
        velocityScale = 1.0;
        velocityOffset = 0;
        break;
    case Kind::noteRange:
        noteLow = 0;
        noteHigh = 127;
        break;
    case Kind::ccRange:
        ccLow = 0;
        ccHigh = 127;
        break;
    case Kind::messageTypeFilter:
        blockedTypes = std::vector<MIDIStatusType>{};
        break;
    }
}

Timestamp currentTimestamp()
{
    return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

const FilterChain *TOVProject::findFilterChain(const std::optional<Uuid> &chainId) const
{
    if (!chainId)
        return nullptr;
    for (const auto &chain : filterChains)
        if (chain.id == *chainId)
            return &chain;
    return nullptr;
}

std::optional<FilterChain> TOVProject::filterChain(const std::optional<Uuid> &chainId) const
{
    if (const FilterChain *c = findFilterChain(chainId))
        return *c;
    return std::nullopt;
}

} // namespace korvane
