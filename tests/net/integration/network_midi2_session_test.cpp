// Two Network MIDI 2.0 sessions, host and client, on 127.0.0.1: directly,
// and through a relay that loses datagrams or blocks them all for a while.

#include "net/integration/rtp_test_support.h"
#include "net/network_midi2_manager.h"
#include "net/network_midi2_session.h"
#include "support/udp_relay.h"

#include <numeric>

using namespace korvane;
using namespace korvane::test;

namespace {

// The protocol's durations divided by 20, with more retransmit tries.
NetworkMIDI2Timing scaledTiming()
{
    NetworkMIDI2Timing t;
    t.pingPeriod = 100ms;
    t.peerTimeout = 500ms;
    t.inviteFastPeriod = 50ms;
    t.inviteSlowPeriod = 500ms;
    t.retransmitTimeout = 5ms;
    t.retransmitAttempts = 20; // a loaded machine can answer later than 5 ms
    t.tailDelay = 5ms;
    return t;
}

// Without repeats, a history that covers the retries of a fast stream.
NetworkMIDI2SessionConfig midi2Config(const std::string &name, int port, int remotePort = 0, int fec = 2)
{
    NetworkMIDI2SessionConfig c;
    c.name = name;
    c.localPort = port;
    c.fecDepth = fec;
    c.retransmitBufferSize = fec == 0 ? 200 : 50;
    if (remotePort > 0) {
        c.role = NetworkMIDI2Role::client;
        c.remoteHost = "127.0.0.1";
        c.remotePort = remotePort;
    }
    return c;
}

// A started session with everything it reports recorded.
class Probe : public RecordingProbe<NetworkMIDI2Session, NetworkMIDI2Status> {
public:
    Probe(const NetworkMIDI2SessionConfig &config, const std::string &endpoint)
        : RecordingProbe(config, endpoint)
    {
        session->setTiming(scaledTiming());
        session->start();
    }
    bool waitPeers(std::size_t count) const
    {
        return waitUntil([&] { return status.peers.size() == count; });
    }
    // Waits until nothing more arrives for a while.
    std::vector<Bytes> settled() const
    {
        std::size_t last = 0;
        for (int quiet = 0; quiet < 3;) {
            spinFor(100ms);
            const auto now = received().size();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        return received();
    }
};

// Note i: a note number and velocity no other i under 1,024 shares.
MIDIMessage note(int i)
{
    return MIDIMessage({0x90, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(1 + i / 128)});
}

// Sends 1,000 notes with a sysex after the 500th, in small bursts.
void play(NetworkMIDI2Session &session, const Bytes &sysex)
{
    for (int i = 0; i < 1000; ++i) {
        session.send(note(i));
        if (i == 500)
            session.send(MIDIMessage(sysex));
        if (i % 20 == 19)
            spinFor(2ms);
    }
}

// What arrived: note i as i, the whole sysex as -1; anything else fails.
std::vector<int> arrived(const std::vector<Bytes> &received, const Bytes &sysex)
{
    std::vector<int> indexes;
    for (const Bytes &m : received) {
        if (m == sysex)
            indexes.push_back(-1);
        else if (m.size() == 3 && m[0] == 0x90)
            indexes.push_back(m[1] + 128 * (m[2] - 1));
        else
            ADD_FAILURE() << "unexpected " << toHex(m);
    }
    return indexes;
}

// What play() sends, as arrived() reads it.
std::vector<int> played()
{
    std::vector<int> indexes(1000);
    std::iota(indexes.begin(), indexes.end(), 0);
    indexes.insert(indexes.begin() + 501, -1);
    return indexes;
}

TEST(NetworkMIDI2Sessions, HandshakeThousandNotesAndATenKilobyteSysexBothWays)
{
    const int hostPort = freePortPair();
    Probe host(midi2Config("Régie", hostPort), "Scène");
    Probe client(midi2Config("Plateau", freePortPair(), hostPort), "Console");
    ASSERT_TRUE(client.waitPeers(1) && host.waitPeers(1));
    EXPECT_EQ(client.status.state, NetworkMIDI2State::connected);
    EXPECT_EQ(client.status.peers[0].label, "Scène");
    EXPECT_EQ(host.status.peers[0].label, "Console");
    EXPECT_EQ(host.status.state, NetworkMIDI2State::listening);

    const Bytes sysex = sysexOf(10 * 1000);
    play(*client.session, sysex);
    ASSERT_TRUE(host.waitReceived(1001));
    EXPECT_EQ(arrived(host.received(), sysex), played());
    ASSERT_EQ(host.origins().size(), 1u);

    host.session->send(MIDIMessage({0xB0, 0x07, 0x7F}));
    ASSERT_TRUE(client.waitReceived(1));
    EXPECT_EQ(client.received(), (std::vector<Bytes>{{0xB0, 0x07, 0x7F}}));
    // Round trips measured by the pings.
    EXPECT_TRUE(
        waitUntil([&] { return client.status.peers.size() == 1 && client.status.peers[0].roundTripMs; }));

    // The client stops: its Bye ends the host's origin.
    const auto origin = *host.origins().begin();
    client.session->stop();
    EXPECT_TRUE(host.waitLog("NM2 Régie: Console a quitté la session (arrêt)"));
    EXPECT_EQ(host.gone(), std::vector<std::uint64_t>{origin});
    EXPECT_TRUE(host.waitPeers(0));
}

TEST(NetworkMIDI2Sessions, ThroughFivePercentLossForwardErrorCorrectionKeepsTheNotes)
{
    const int hostPort = freePortPair();
    UdpRelay relay(hostPort, 1, 0.05, 0, 20260524);
    Probe host(midi2Config("Régie", hostPort), "Scène");
    Probe client(midi2Config("Plateau", freePortPair(), relay.frontPort()), "Console");
    ASSERT_TRUE(client.waitPeers(1) && host.waitPeers(1));

    const Bytes sysex = sysexOf(10 * 1000);
    play(*client.session, sysex);
    auto notes = arrived(host.settled(), sysex);
    EXPECT_LE(std::erase(notes, -1), 1u);
    EXPECT_GE(notes.size(), 999u);
    EXPECT_TRUE(std::is_sorted(notes.begin(), notes.end()));
    EXPECT_EQ(std::adjacent_find(notes.begin(), notes.end()), notes.end()) << "a note came twice";
    EXPECT_GT(relay.lost(), 0);
}

TEST(NetworkMIDI2Sessions, RetransmissionRecoversLossesAndAnOutageOrAByeHeals)
{
    const int hostPort = freePortPair();
    UdpRelay relay(hostPort, 1, 0.05, 0, 20260524);
    auto host = std::make_unique<Probe>(midi2Config("Régie", hostPort, 0, 0), "Scène");
    Probe client(midi2Config("Plateau", freePortPair(), relay.frontPort(), 0), "Console");
    ASSERT_TRUE(client.waitPeers(1) && host->waitPeers(1));

    const Bytes sysex = sysexOf(200); // 33 commands: within the retransmit buffer
    play(*client.session, sysex);
    EXPECT_EQ(arrived(host->settled(), sysex), played());
    EXPECT_GT(relay.lost(), 10);

    // Blocked past the timeout: the client drops the host, then invites it until it answers.
    relay.setBlocked(true);
    EXPECT_TRUE(client.waitLog("NM2 Plateau: pair Scène hors-ligne (timeout)"));
    relay.setBlocked(false);
    EXPECT_TRUE(client.waitLog("NM2 Plateau: session établie avec Scène", 2));

    // The host stops (Bye) and comes back on its port: the client is in again.
    // The Bye goes once: a loss here would leave the client to time out instead.
    relay.setLossRate(0);
    host.reset();
    EXPECT_TRUE(client.waitLog("NM2 Plateau: Scène a quitté la session (arrêt)"));
    host = std::make_unique<Probe>(midi2Config("Régie", hostPort, 0, 0), "Scène");
    ASSERT_TRUE(client.waitLog("NM2 Plateau: session établie avec Scène", 3));
    ASSERT_TRUE(client.waitPeers(1));
    for (int i = 0; i < 20; ++i)
        client.session->send(note(i));
    EXPECT_TRUE(waitUntil([&] { return host->received().size() == 20; }));
}

TEST(NetworkMIDI2Manager, RoutesByNameReportsOriginsAndPanicsBeforeTheBye)
{
    NetworkMIDI2Manager manager;
    manager.setSessionTiming(scaledTiming());
    manager.setLocalName("Scène");
    std::mutex mutex;
    std::vector<std::pair<EndpointKey, std::uint64_t>> inputs, gone;
    manager.setInput([&](const EndpointKey &key, const MIDIMessage &, std::uint64_t origin) {
        std::lock_guard lock(mutex);
        inputs.emplace_back(key, origin);
    });
    manager.setOriginGone([&](const EndpointKey &key, std::uint64_t origin) {
        std::lock_guard lock(mutex);
        gone.emplace_back(key, origin);
    });
    const int hostPort = freePortPair();
    auto disabled = midi2Config("Éteinte", freePortPair());
    disabled.enabled = false;
    manager.apply({midi2Config("Régie", hostPort), disabled});
    const EndpointKey key(EndpointKind::rtp, "Régie");
    EXPECT_EQ(manager.routableKeys(), std::vector{key});

    Probe client(midi2Config("Plateau", freePortPair(), hostPort), "Console");
    ASSERT_TRUE(client.waitPeers(1));
    client.session->send(note(1));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return !inputs.empty();
    }));
    EXPECT_EQ(inputs[0].first, key);
    EXPECT_NE(inputs[0].second, 0u);

    manager.sendToKey(EndpointKey(EndpointKind::physical, "Régie"), note(2)); // not a session
    manager.sendToKey(key, MIDIMessage({0xF4}));                              // no UMP form: counted
    manager.sendToKey(key, note(3));
    ASSERT_TRUE(waitUntil([&] { return client.received().size() == 1; }));
    EXPECT_EQ(client.received()[0], note(3).bytes);
    EXPECT_TRUE(waitUntil([&] { return manager.droppedCount() == 1; }));

    manager.stopAll(true);
    EXPECT_TRUE(client.waitLog("NM2 Plateau: Scène a quitté la session (arrêt)"));
    const auto all = client.received();
    ASSERT_EQ(all.size(), 1u + 32u) << "the panic arrives before the Bye";
    EXPECT_EQ(all[1], (Bytes{0xB0, 123, 0}));
    EXPECT_EQ(all.back(), (Bytes{0xBF, 120, 0}));
    EXPECT_TRUE(manager.routableKeys().empty());
    std::lock_guard lock(mutex);
    EXPECT_EQ(gone, (std::vector{std::pair{key, inputs[0].second}}));
}

} // namespace
