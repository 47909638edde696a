#pragma once

#include "model/project.h"

namespace korvane::test {

inline Uuid uuid(const char *text)
{
    return *Uuid::fromString(text);
}

inline Timestamp at(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    using namespace std::chrono;
    return sys_days{year{y} / month{m} / day{d}} + hours{hh} + minutes{mm} + seconds{ss};
}

// A project with every record kind present and every optional field set.
inline TOVProject fullProject()
{
    TOVProject p;
    p.id = uuid("0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");
    p.name = "Concert « Été » 2026";
    p.createdAt = at(2026, 3, 1, 20, 15, 0);
    p.modifiedAt = at(2026, 3, 2, 8, 0, 59);
    p.notes = "Ligne 1\nLigne 2 \"guillemets\"";
    p.formatVersion = 3;
    p.devices.push_back({uuid("11111111-2222-4333-8444-555555555555"),
                         EndpointKey(EndpointKind::physical, "Launchpad X", -2147483647 - 1),
                         EndpointRole::destination, "Pads"});
    p.devices.push_back(
        DeviceRef{Uuid::create(), EndpointKey(EndpointKind::rtp, ""), EndpointRole::source, ""});

    Route route(EndpointKey(EndpointKind::virtual_, "Bus 1", 2147483647));
    route.name = "Clavier → synthé";
    route.enabled = false;
    route.destinations = {EndpointKey(EndpointKind::physical, "Synth", 0),
                          EndpointKey(EndpointKind::rtp, "Net")};
    route.channelMask = 0x8001;
    route.filterChainID = uuid("ABCDEFAB-CDEF-4ABC-8DEF-ABCDEFABCDEF");
    p.routes.push_back(route);
    p.routes.push_back(Route(EndpointKey(EndpointKind::physical, "In")));

    FilterChain chain("Chaîne");
    chain.id = *route.filterChainID;
    FilterStep all(FilterStep::Kind::velocity);
    all.enabled = false;
    all.channelMap = std::vector<int>{16, 15, 1};
    all.transpose = -12;
    all.velocityScale = 0.1;
    all.velocityOffset = -3;
    all.noteLow = 10;
    all.noteHigh = 100;
    all.ccLow = 1;
    all.ccHigh = 64;
    all.blockedTypes = std::vector<MIDIStatusType>{MIDIStatusType::sysex, MIDIStatusType::noteOn};
    chain.steps.push_back(all);
    for (auto kind : kAllFilterStepKinds)
        chain.steps.push_back(FilterStep(kind));
    p.filterChains.push_back(chain);
    p.filterChains.push_back(FilterChain("Vide"));

    RTPSessionConfig session;
    session.name = "Régie";
    session.enabled = false;
    session.role = RTPRole::initiator;
    session.localPort = 6000;
    session.bindAddress = "127.0.0.1";
    session.remoteHost = "console.local";
    session.remotePort = 6100;
    p.rtpSessions = {session, RTPSessionConfig()};
    NetworkMIDI2SessionConfig midi2{.name = "Windows",
                                    .enabled = false,
                                    .role = NetworkMIDI2Role::client,
                                    .localPort = 5680,
                                    .remoteHost = "10.0.0.7",
                                    .remotePort = 5681,
                                    .fecDepth = 0,
                                    .retransmitBufferSize = 1000,
                                    .group = 15};
    p.networkMidi2Sessions = {midi2, NetworkMIDI2SessionConfig()};

    VirtualPortConfig port;
    port.name = "Sortie";
    port.createsSource = false;
    p.virtualPorts = {port};

    p.assets = {AssetRef{Uuid::create(), "logo.png", "Logo", "image"}};
    p.settings = ProjectSettings{false, false, 42};
    return p;
}

} // namespace korvane::test
