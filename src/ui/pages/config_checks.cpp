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

} // namespace korvane
