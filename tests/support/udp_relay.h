#pragma once

// A relay on 127.0.0.1 standing for a bad network between a program that
// sends to its front ports and one listening on the target ports. Lane i
// takes what arrives on front + i and sends it on from back + i to
// target + i; answers go back the same way to whoever last wrote to
// front + i. Datagrams on lanes from `lossyFrom` on cross with probability
// 1 - lossRate (a seeded draw, the same losses each run), none while blocked.
// The rate may change while the relay runs.

#include "support/udp_loopback.h"

#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace korvane::test {

class UdpRelay {
public:
    UdpRelay(int targetPort, int lanes, double lossRate, int lossyFrom, unsigned seed)
        : m_front(freePortPair()), m_lossRate(lossRate)
    {
        const int back = freePortPair();
        for (int side : {m_front, back})
            for (int lane = 0; lane < lanes; ++lane)
                m_fds.push_back(bindLoopback(side + lane));
        // Room for a whole paced sysex while the relay thread waits for the
        // machine: what the kernel drops here would pass for network loss.
        const int size = 4 << 20;
        for (int fd : m_fds) {
            EXPECT_GE(fd, 0);
            if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
                (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        m_thread = std::thread([=, this] { run(targetPort, lanes, lossyFrom, seed); });
    }
    ~UdpRelay()
    {
        m_quit = true;
        m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }

    int frontPort() const { return m_front; }
    void setBlocked(bool blocked) { m_blocked = blocked; }
    void setLossRate(double rate) { m_lossRate = rate; }
    int lost() const { return m_lost; }

private:
    void run(int target, int lanes, int lossyFrom, unsigned seed)
    {
        std::mt19937 rng(seed);
        std::vector<sockaddr_in> sender(static_cast<std::size_t>(lanes));
        std::vector<pollfd> pfds(m_fds.size());
        std::vector<std::uint8_t> buffer(65535);
        while (!m_quit) {
            for (std::size_t i = 0; i < m_fds.size(); ++i)
                pfds[i] = {m_fds[i], POLLIN, 0};
            if (::poll(pfds.data(), pfds.size(), 20) <= 0)
                continue;
            for (std::size_t i = 0; i < m_fds.size(); ++i) {
                if (!(pfds[i].revents & POLLIN))
                    continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = ::recvfrom(m_fds[i], buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr *>(&from), &length);
                if (n <= 0)
                    continue;
                const int lane = static_cast<int>(i) % lanes;
                const bool fromFront = static_cast<int>(i) < lanes;
                if (fromFront)
                    sender[static_cast<std::size_t>(lane)] = from;
                if (m_blocked || (lane >= lossyFrom && std::bernoulli_distribution(m_lossRate)(rng))) {
                    ++m_lost;
                    continue;
                }
                const int out = m_fds[static_cast<std::size_t>((fromFront ? lanes : 0) + lane)];
                const sockaddr_in to =
                    fromFront ? loopback(target + lane) : sender[static_cast<std::size_t>(lane)];
                ::sendto(out, buffer.data(), static_cast<std::size_t>(n), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to);
            }
        }
    }

    const int m_front;
    std::atomic<double> m_lossRate;
    std::vector<int> m_fds;
    std::atomic<bool> m_quit{false}, m_blocked{false};
    std::atomic<int> m_lost{0};
    std::thread m_thread;
};

} // namespace korvane::test
