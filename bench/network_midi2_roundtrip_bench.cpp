// Round-trip latency of one Note On through two Network MIDI 2.0 sessions on
// 127.0.0.1 (client A sends, host B's receiver echoes it back through B, A
// receives), with the default two repeats per datagram, against a raw UDP
// ping-pong of a datagram of the same size, measured in the same run,
// interleaved in blocks. Prints p50 and p99 of each and their ratios.

#include "net/network_midi2.h"
#include "net/network_midi2_session.h"
#include "udp_bench_support.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <memory>

using namespace korvane;
using namespace korvane::bench;

namespace {

class SessionPingPong {
public:
    bool start()
    {
        NetworkMIDI2SessionConfig b;
        b.name = "B";
        b.localPort = freePortPair();
        NetworkMIDI2SessionConfig a = b;
        a.name = "A";
        a.localPort = freePortPair();
        a.role = NetworkMIDI2Role::client;
        a.remoteHost = "127.0.0.1";
        a.remotePort = b.localPort;
        m_b = std::make_unique<NetworkMIDI2Session>(b, "bench B");
        m_a = std::make_unique<NetworkMIDI2Session>(a, "bench A");
        m_b->setOnReceive([this](const MIDIMessage &m, std::uint64_t) { m_b->send(m); });
        // The note has arrived when A hands it to its owner, on A's thread.
        m_a->setOnReceive(
            [this](const MIDIMessage &, std::uint64_t) { m_timer.arrived([this] { m_a->send(m_note); }); });
        auto watch = [this](const std::string &line) {
            m_established += line.find("session établie") != std::string::npos ? 1 : 0;
        };
        m_a->setLog(watch);
        m_b->setLog(watch);
        m_b->start();
        m_a->start();
        return waitFor([this] { return m_established == 2; });
    }

    std::vector<double> block(std::size_t count)
    {
        return m_timer.block(count, [this] { m_a->send(m_note); });
    }

private:
    const MIDIMessage m_note{{0x90, 0x3C, 0x64}};
    std::atomic<int> m_established{0};
    EchoTimer m_timer;
    // Declared last: destroyed (stopped) first.
    std::unique_ptr<NetworkMIDI2Session> m_a, m_b;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // What a note costs on the wire once the session runs: the signature, two
    // repeated one-word commands and the new one.
    NetworkMIDI2::Bytes datagram;
    NetworkMIDI2::appendSignature(datagram);
    for (std::uint16_t sequence = 0; sequence < 3; ++sequence)
        NetworkMIDI2::appendUMPData(datagram, sequence, std::vector<std::uint32_t>{0x20903C64});
    RawPingPong raw(datagram);
    SessionPingPong sessions;
    if (!sessions.start()) {
        std::fprintf(stderr, "network_midi2_roundtrip_bench: the two sessions did not establish\n");
        return 1;
    }
    compare("Network MIDI 2.0 round trip on 127.0.0.1 (Note On, A -> B -> echo through B -> A)",
            "two Network MIDI 2.0 sessions", raw, [&](std::size_t count) { return sessions.block(count); });
    return 0;
}
