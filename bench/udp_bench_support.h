#pragma once

// What the network round-trip benchmarks share: loopback sockets, free ports,
// percentiles, and the raw UDP ping-pong every session is measured against.

#include "support/udp_loopback.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane::bench {

using Clock = std::chrono::steady_clock;

inline constexpr int kWarmup = 200;
inline constexpr int kBlocks = 20;
inline constexpr int kPerBlock = 250;

using test::bindLoopback;
using test::boundPort;
using test::freePortPair;
using test::loopback;

inline double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// Two plain sockets; an echo thread blocks in recv on one of them.
class RawPingPong {
public:
    // Each trip carries `packet`: the size of what the sessions send.
    explicit RawPingPong(std::vector<std::uint8_t> packet)
        : m_packet(std::move(packet)), m_a(bindLoopback(0, true)), m_b(bindLoopback(0, true))
    {
        m_toA = loopback(boundPort(m_a));
        m_toB = loopback(boundPort(m_b));
        m_echo = std::thread([this] {
            std::uint8_t buf[2048];
            while (true) {
                const ssize_t n = ::recv(m_b, buf, sizeof buf, 0);
                if (n <= 1)
                    return; // one-byte datagram: stop
                ::sendto(m_b, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr *>(&m_toA),
                         sizeof m_toA);
            }
        });
    }
    ~RawPingPong()
    {
        const std::uint8_t stop = 0;
        ::sendto(m_a, &stop, 1, 0, reinterpret_cast<const sockaddr *>(&m_toB), sizeof m_toB);
        m_echo.join();
        ::close(m_a);
        ::close(m_b);
    }
    double roundTripMicros()
    {
        std::uint8_t buf[2048];
        const auto t0 = Clock::now();
        ::sendto(m_a, m_packet.data(), m_packet.size(), 0, reinterpret_cast<const sockaddr *>(&m_toB),
                 sizeof m_toB);
        ::recv(m_a, buf, sizeof buf, 0);
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }

private:
    const std::vector<std::uint8_t> m_packet;
    int m_a, m_b;
    sockaddr_in m_toA{}, m_toB{};
    std::thread m_echo;
};

inline void report(const char *what, const std::vector<double> &v)
{
    std::printf("%-28s p50 %8.1f us   p99 %8.1f us   (n=%zu)\n", what, percentile(v, 0.50),
                percentile(v, 0.99), v.size());
}

// Times a chain of echoes: the receiver of each echo records its trip and
// sends the next one at once, so two sessions ping-pong between their threads
// just as the raw sockets do; the measuring thread only starts and collects
// a block.
class EchoTimer {
public:
    // On the receiving thread; `send` starts the next trip.
    void arrived(const std::function<void()> &send)
    {
        const auto now = Clock::now();
        std::unique_lock lock(m_mutex);
        m_times.push_back(std::chrono::duration<double, std::micro>(now - m_sentAt).count());
        if (m_times.size() < m_wanted) {
            m_sentAt = Clock::now();
            lock.unlock();
            send();
            return;
        }
        lock.unlock();
        m_cv.notify_one();
    }
    // Round trips of one block; fewer than asked when an echo was lost.
    std::vector<double> block(std::size_t count, const std::function<void()> &send)
    {
        std::unique_lock lock(m_mutex);
        m_times.clear();
        m_times.reserve(count);
        m_wanted = count;
        m_sentAt = Clock::now();
        lock.unlock();
        send();
        lock.lock();
        m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_times.size() >= count; });
        m_wanted = 0; // a late echo ends the chain
        return m_times;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<double> m_times; // guarded by m_mutex
    std::size_t m_wanted = 0;
    Clock::time_point m_sentAt;
};

template <class Pred> bool waitFor(Pred pred)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!pred() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return pred();
}

// Raw and session blocks interleaved; prints both and their ratios.
inline void compare(const char *title, const char *sessions, RawPingPong &raw,
                    const std::function<std::vector<double>(std::size_t)> &sessionBlock)
{
    for (int i = 0; i < kWarmup; ++i)
        raw.roundTripMicros();
    sessionBlock(kWarmup);
    std::vector<double> rawTimes, sessionTimes;
    int lost = 0;
    for (int block = 0; block < kBlocks; ++block) {
        for (int i = 0; i < kPerBlock; ++i)
            rawTimes.push_back(raw.roundTripMicros());
        const auto times = sessionBlock(kPerBlock);
        lost += kPerBlock - static_cast<int>(times.size());
        sessionTimes.insert(sessionTimes.end(), times.begin(), times.end());
    }
    std::printf("%s\n", title);
    report("raw UDP ping-pong", rawTimes);
    report(sessions, sessionTimes);
    std::printf("ratio sessions/raw            p50 %.2f   p99 %.2f   (target <= 1.5)\n",
                percentile(sessionTimes, 0.50) / percentile(rawTimes, 0.50),
                percentile(sessionTimes, 0.99) / percentile(rawTimes, 0.99));
    if (lost)
        std::printf("lost echoes: %d\n", lost);
}

} // namespace korvane::bench
