// Round-trip latency of one Note On through two RTP-MIDI sessions on
// 127.0.0.1 (A sends, B's receiver echoes it back through B, A receives)
// against a raw UDP ping-pong of a packet of the same size between two
// plain sockets, measured in the same run, interleaved in blocks.
// Prints p50 and p99 of each and their ratios. Arguments are ignored.

#include "net/apple_midi.h"
#include "net/rtp_midi_session.h"
#include "udp_bench_support.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

using namespace korvane;
using namespace korvane::bench;

namespace {

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
        m_a->setOnReceive(
            [this](const MIDIMessage &, std::uint64_t) { m_timer.arrived([this] { m_a->send(m_note); }); });
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

    std::vector<double> block(std::size_t count)
    {
        return m_timer.block(count, [this] { m_a->send(m_note); });
    }

private:
    const MIDIMessage m_note{{0x90, 0x3C, 0x64}};
    std::atomic<int> m_listening{0};
    std::atomic<int> m_established{0};
    EchoTimer m_timer;
    // Declared last: destroyed (stopped) first, before the state above.
    std::unique_ptr<RTPMidiSession> m_a, m_b;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RawPingPong raw(AppleMIDI::encodeRTP(MIDIMessage({0x90, 0x3C, 0x64}), 1, 0, 1));
    SessionPingPong sessions;
    if (!sessions.start()) {
        std::fprintf(stderr, "rtp_roundtrip_bench: the two sessions did not establish\n");
        return 1;
    }
    compare("RTP-MIDI round trip on 127.0.0.1 (Note On, A -> B -> echo through B -> A)",
            "two RTP-MIDI sessions", raw, [&](std::size_t count) { return sessions.block(count); });
    return 0;
}
