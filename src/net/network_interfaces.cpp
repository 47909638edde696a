#include "net/network_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace korvane {

std::string NetInterface::id() const
{
    return name + "|" + ip;
}

std::string NetInterface::label() const
{
    return name + " \u2014 " + ip;
}

namespace NetworkInterfaces {

std::vector<NetInterface> ipv4()
{
    std::vector<NetInterface> result;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;

    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char host[NI_MAXHOST] = {};
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                        NI_NUMERICHOST) != 0 ||
            host[0] == '\0')
            continue;
        result.push_back({entry->ifa_name != nullptr ? entry->ifa_name : "", host});
    }
    freeifaddrs(list);
    return result;
}

} // namespace NetworkInterfaces

} // namespace korvane
