#pragma once

// UDP sockets on 127.0.0.1 for the network tests and benchmarks: addresses,
// binding, and port pairs (control P, data P + 1) free right now.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <set>

namespace korvane::test {

inline sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A socket on 127.0.0.1:port (0: any) without address reuse; -1 when taken.
inline int bindLoopback(int port, bool blocking = false)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    const auto addr = loopback(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

inline int boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

// A port P with P and P + 1 free right now and neither handed out before by
// this process, chosen at random so parallel runs rarely collide.
inline int freePortPair()
{
    static std::mt19937 rng{std::random_device{}()};
    static std::set<int> given;
    std::uniform_int_distribution<int> pick(20000, 59998);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int p = pick(rng);
        if (given.count(p - 1) || given.count(p) || given.count(p + 1))
            continue;
        const int a = bindLoopback(p), b = bindLoopback(p + 1);
        for (int fd : {a, b})
            if (fd >= 0)
                ::close(fd);
        if (a >= 0 && b >= 0) {
            given.insert(p);
            return p;
        }
    }
    return -1;
}

} // namespace korvane::test
