#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace korvane {

// One IPv4 address of one local interface.
struct NetInterface {
    std::string name;
    std::string ip;

    // "<name>|<ip>"
    std::string id() const;
    // "<name> — <ip>" (em dash), as shown to the user.
    std::string label() const;

    friend bool operator==(const NetInterface &, const NetInterface &) = default;
};

namespace NetworkInterfaces {

// The up, non-loopback IPv4 addresses in the order the system lists them; one entry per
// address, nothing sorted or merged. Empty when the list cannot be read. Any thread.
std::vector<NetInterface> ipv4();

} // namespace NetworkInterfaces

} // namespace korvane

template <> struct std::hash<korvane::NetInterface> {
    std::size_t operator()(const korvane::NetInterface &i) const noexcept
    {
        return std::hash<std::string>{}(i.id());
    }
};
