#include "ui/pages/config_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace korvane {

PortNameProblem portNameProblem(const std::vector<VirtualPortConfig> &ports, std::size_t index)
{
    const VirtualPortConfig &port = ports.at(index);
    if (std::all_of(port.name.begin(), port.name.end(), [](unsigned char c) { return std::isspace(c); }))
        return PortNameProblem::empty;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const VirtualPortConfig &other = ports[i];
        if (i == index || other.name != port.name)
            continue;
        if ((port.createsSource && other.createsSource) ||
            (port.createsDestination && other.createsDestination))
            return PortNameProblem::duplicate;
    }
    return PortNameProblem::none;
}

std::vector<std::string> localPortClashes(const std::vector<RTPSessionConfig> &sessions, std::size_t index)
{
    std::vector<std::string> names;
    const RTPSessionConfig &session = sessions.at(index);
    if (!session.enabled)
        return names;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const RTPSessionConfig &other = sessions[i];
        if (i == index || !other.enabled)
            continue;
        // Each session holds its port and the next one; widened to avoid int overflow.
        const long long distance = std::llabs(static_cast<long long>(session.localPort) - other.localPort);
        const bool sameAddress = session.bindAddress.empty() || other.bindAddress.empty() ||
                                 session.bindAddress == other.bindAddress;
        if (distance <= 1 && sameAddress)
            names.push_back(other.name);
    }
    return names;
}

bool sessionNameTaken(const TOVProject &project, const Uuid &id, const std::string &name)
{
    const auto other = [&](const auto &session) { return session.id != id && session.name == name; };
    return std::any_of(project.rtpSessions.begin(), project.rtpSessions.end(), other) ||
           std::any_of(project.networkMidi2Sessions.begin(), project.networkMidi2Sessions.end(), other);
}

namespace {

// Whether an RTP pair at rtpPort holds port (long long: ports may be any int).
bool onPair(long long rtpPort, long long port)
{
    return port == rtpPort || port == rtpPort + 1;
}

} // namespace

std::vector<std::string> midi2PortClashes(const TOVProject &project, std::size_t index)
{
    std::vector<std::string> names;
    const auto &sessions = project.networkMidi2Sessions;
    const NetworkMIDI2SessionConfig &session = sessions.at(index);
    if (!session.enabled)
        return names;
    for (std::size_t i = 0; i < sessions.size(); ++i)
        if (i != index && sessions[i].enabled && sessions[i].localPort == session.localPort)
            names.push_back(sessions[i].name);
    for (const RTPSessionConfig &rtp : project.rtpSessions)
        if (rtp.enabled && onPair(rtp.localPort, session.localPort))
            names.push_back(rtp.name);
    return names;
}

std::vector<std::string> rtpClashesWithMidi2(const TOVProject &project, std::size_t rtpIndex)
{
    std::vector<std::string> names;
    const RTPSessionConfig &rtp = project.rtpSessions.at(rtpIndex);
    if (!rtp.enabled)
        return names;
    for (const NetworkMIDI2SessionConfig &session : project.networkMidi2Sessions)
        if (session.enabled && onPair(rtp.localPort, session.localPort))
            names.push_back(session.name);
    return names;
}

} // namespace korvane
