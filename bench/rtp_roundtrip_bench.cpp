// Round-trip latency of one Note On through two RTP-MIDI sessions on
// 127.0.0.1 (A sends, B's receiver echoes it back through B, A receives)
// against a raw UDP ping-pong of a packet of the same size between two
// plain sockets, measured in the same run, interleaved in blocks.
// Prints p50 and p99 of each and their ratios. Arguments are ignored.

#include "net/apple_midi.h"
#include "net/rtp_midi_session.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWarmup = 200;
constexpr int kBlocks = 20;
constexpr int kPerBlock = 250;

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int bindLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto addr = loopback(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

int boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

int freePortPair()
{
    std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> pick(20000, 59998);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int p = pick(rng);
        const int a = bindLoopback(p);
        const int b = a >= 0 ? bindLoopback(p + 1) : -1;
        if (a >= 0)
            ::close(a);
        if (b >= 0) {
            ::close(b);
            return p;
        }
    }
    return -1;
}

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// Two plain sockets; an echo thread blocks in recv on one of them.
class RawPingPong {
public:
    RawPingPong() : m_a(bindLoopback(0)), m_b(bindLoopback(0))
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
        const auto packet = AppleMIDI::encodeRTP(MIDIMessage({0x90, 0x3C, 0x64}), 1, 0, 1);
        std::uint8_t buf[2048];
        const auto t0 = Clock::now();
        ::sendto(m_a, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&m_toB),
                 sizeof m_toB);
        ::recv(m_a, buf, sizeof buf, 0);
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }

private:
    int m_a, m_b;
    sockaddr_in m_toA{}, m_toB{};
    std::thread m_echo;
};

// Session A invites session B; B echoes every message back through itself.
class SessionPingPong {
public:
    bool start()
    {
        const int portB = freePortPair();
        int portA = freePortPair();
        while (std::abs(portA - portB) < 2)
            portA = freePortPair();
        RTPSessionConfig b;
        b.name = "B";
        b.localPort = portB;
        b.bindAddress = "127.0.0.1";
        RTPSessionConfig a = b;
        a.name = "A";
        a.localPort = portA;
        a.role = RTPRole::initiator;
        a.remoteHost = "127.0.0.1";
        a.remotePort = portB;

        m_b = std::make_unique<RTPMidiSession>(b, "bench B");
        m_a = std::make_unique<RTPMidiSession>(a, "bench A");
        m_b->setOnReceive([this](const MIDIMessage &m, std::uint64_t) { m_b->send(m); });
        // The note has arrived when A hands it to its owner (the router, on
        // A's thread); waking the measuring thread is not part of the trip.
        // A's receiver times the trip and sends the next note at once, so the
        // sessions ping-pong between their two threads just as the raw
        // sockets do; the measuring thread only starts and collects a block.
        m_a->setOnReceive([this](const MIDIMessage &, std::uint64_t) {
            const auto now = Clock::now();
            std::unique_lock lock(m_mutex);
            m_times.push_back(std::chrono::duration<double, std::micro>(now - m_sentAt).count());
            if (m_times.size() < m_wanted) {
                m_sentAt = Clock::now();
                lock.unlock();
                m_a->send(m_note);
                return;
            }
            lock.unlock();
            m_cv.notify_one();
        });
        auto watch = [this](const std::string &line) {
            if (line.find("écoute sur") != std::string::npos)
                ++m_listening;
            if (line.find("session établie") != std::string::npos)
                ++m_established;
        };
        m_a->setLog(watch);
        m_b->setLog(watch);
        m_b->start();
        waitFor([this] { return m_listening == 1; }); // B binds before A invites
        m_a->start();
        return waitFor([this] { return m_established == 2; });
    }

    // Round trips of one block; fewer than asked when an echo was lost.
    std::vector<double> block(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        m_times.clear();
        m_times.reserve(count);
        m_wanted = count;
        m_sentAt = Clock::now();
        lock.unlock();
        m_a->send(m_note);
        lock.lock();
        m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_times.size() >= count; });
        m_wanted = 0; // a late echo ends the chain
        return m_times;
    }

private:
    template <class Pred> static bool waitFor(Pred pred)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!pred() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return pred();
    }

    const MIDIMessage m_note{{0x90, 0x3C, 0x64}};
    std::atomic<int> m_listening{0};
    std::atomic<int> m_established{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<double> m_times; // guarded by m_mutex
    std::size_t m_wanted = 0;
    Clock::time_point m_sentAt;
    Clock::time_point m_arrival;
    // Declared last: destroyed (stopped) first, before the state above.
    std::unique_ptr<RTPMidiSession> m_a, m_b;
};

void report(const char *what, const std::vector<double> &v)
{
    std::printf("%-28s p50 %8.1f us   p99 %8.1f us   (n=%zu)\n", what, percentile(v, 0.50),
                percentile(v, 0.99), v.size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RawPingPong raw;
    SessionPingPong sessions;
    if (!sessions.start()) {
        std::fprintf(stderr, "rtp_roundtrip_bench: the two sessions did not establish\n");
        return 1;
    }
    for (int i = 0; i < kWarmup; ++i)
        raw.roundTripMicros();
    sessions.block(kWarmup);
    std::vector<double> rawTimes, sessionTimes;
    int lost = 0;
    for (int block = 0; block < kBlocks; ++block) {
        for (int i = 0; i < kPerBlock; ++i)
            rawTimes.push_back(raw.roundTripMicros());
        const auto times = sessions.block(kPerBlock);
        lost += kPerBlock - static_cast<int>(times.size());
        sessionTimes.insert(sessionTimes.end(), times.begin(), times.end());
    }
    std::printf("RTP-MIDI round trip on 127.0.0.1 (Note On, A -> B -> echo through B -> A)\n");
    report("raw UDP ping-pong", rawTimes);
    report("two RTP-MIDI sessions", sessionTimes);
    std::printf("ratio sessions/raw            p50 %.2f   p99 %.2f   (target <= 1.5)\n",
                percentile(sessionTimes, 0.50) / percentile(rawTimes, 0.50),
                percentile(sessionTimes, 0.99) / percentile(rawTimes, 0.99));
    if (lost)
        std::printf("lost echoes: %d\n", lost);
    return 0;
}
