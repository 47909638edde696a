// The session protocol without sockets: datagrams in, datagrams out, on a
// clock the test moves by hand.

#include "net/rtp_discovery.h"
#include "net/rtp_session_core.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

using namespace korvane;
using namespace korvane::test;
using namespace std::chrono_literals;
using AppleMIDI::Bytes;
using AppleMIDI::Command;
using enum AppleMIDI::Command;
using Socket = RTPSocket;

namespace {

constexpr std::uint32_t kHost = 0x0A000002; // 10.0.0.2
const NetAddress kCtl{kHost, 5004}, kData{kHost, 5005};
constexpr std::uint32_t kSsrc = 0x11111111, kToken = 0x22222222;

Bytes exchange(Command c, const std::string &name = "Lui", std::uint32_t token = 0xABCD)
{
    return AppleMIDI::encodeExchange({c, token, 0x5151, name});
}

// A core on a hand-moved clock, with the real timings, that keeps everything it said.
struct Harness {
    explicit Harness(RTPSessionConfig config = {.name = "S"})
        : core(std::move(config), "KORVANE", kSsrc, kToken, {},
               [this](const MIDIMessage &m, std::uint64_t origin) {
                   received.push_back(m.bytes);
                   origins.push_back(origin);
               })
    {
        step([&](auto &out) { core.started(now, out); });
    }

    template <class F> void step(F &&f)
    {
        out.clear();
        f(out);
        sent.insert(sent.end(), out.datagrams.begin(), out.datagrams.end());
        logs.insert(logs.end(), out.logs.begin(), out.logs.end());
        gone.insert(gone.end(), out.originsGone.begin(), out.originsGone.end());
        peersChanges += out.peersChanged ? 1 : 0;
        resolveAsked = resolveAsked || out.resolve;
        if (out.resolve && lookUps) {
            ++lookUpCount;
            resolved(lookUps);
        }
    }
    void resolved(std::optional<std::uint32_t> ip)
    {
        step([&](auto &o) { core.remoteResolved(ip, now, o); });
    }
    void feed(const Bytes &bytes, NetAddress from, Socket socket)
    {
        step([&](auto &o) { core.datagram(bytes, from, socket, now, o); });
    }
    // Runs every deadline up to now + d.
    void runFor(std::chrono::milliseconds d)
    {
        const auto end = now + d;
        for (auto due = core.nextDeadline(); due && *due <= end; due = core.nextDeadline()) {
            now = std::max(now, *due);
            step([&](auto &o) { core.timers(now, o); });
        }
        now = end;
    }
    void establish(NetAddress ctl, const std::string &name = "Lui")
    {
        feed(exchange(invitation, name), ctl, Socket::control);
        feed(exchange(invitation, name), {ctl.ip, static_cast<std::uint16_t>(ctl.port + 1)}, Socket::data);
    }
    // Commands of the exchanges sent, as "IN>ctl" / "OK>data" ...
    std::vector<std::string> exchangesSent() const
    {
        std::vector<std::string> out;
        for (const auto &s : sent)
            if (const auto e = AppleMIDI::decodeExchange(s.bytes);
                e && s.bytes.size() >= 16 && e->command != clockSync)
                out.push_back(std::string(AppleMIDI::toString(e->command)) +
                              (s.socket == Socket::control ? ">ctl" : ">data"));
        return out;
    }
    long count(const std::string &line) const { return std::count(logs.begin(), logs.end(), line); }

    RTPSessionCore::TimePoint now = RTPSessionCore::TimePoint{} + 1000s;
    std::vector<Bytes> received;
    std::vector<std::uint64_t> origins, gone;
    std::vector<RTPSessionCore::Datagram> sent;
    std::vector<std::string> logs;
    int peersChanges = 0;
    bool resolveAsked = false;
    std::optional<std::uint32_t> lookUps; // answers every host lookup with this address
    int lookUpCount = 0;
    RTPSessionCore::Output out;
    RTPSessionCore core;
};

Bytes rtp(std::uint16_t seq, const Bytes &list)
{
    return AppleMIDI::encodeRTP(MIDIMessage(list), seq, 0, 0x5151);
}

} // namespace

TEST(RTPSessionCore, ListenerHandshakeAndRepeatedInvitations)
{
    Harness h;
    h.feed(exchange(invitation), kCtl, Socket::control);
    EXPECT_EQ(h.sent.back().bytes, AppleMIDI::encodeExchange({invitationOK, 0xABCD, kSsrc, "KORVANE"}));
    EXPECT_TRUE(h.core.peerLabels().empty());
    h.feed(exchange(invitation), kData, Socket::data);
    EXPECT_EQ(h.core.peerLabels(), std::vector<std::string>{"Lui"});
    EXPECT_EQ(h.count("RTP S: session établie avec Lui"), 1);
    EXPECT_EQ(h.peersChanges, 1);

    // The remote did not get our OKs and asks again: answered, not re-announced.
    h.establish(kCtl);
    EXPECT_EQ(h.exchangesSent(), (std::vector<std::string>{"OK>ctl", "OK>data", "OK>ctl", "OK>data"}));
    EXPECT_EQ(h.count("RTP S: session établie avec Lui"), 1);
    EXPECT_EQ(h.peersChanges, 1);
    EXPECT_EQ(h.core.establishedDataAddresses(), std::vector<NetAddress>{kData});
}

TEST(RTPSessionCore, OnlyPeersThroughTheControlHandshakeAreServed)
{
    Harness h;
    const NetAddress stranger{0x0A000009, 7005};
    // IN on data without the control step: refused, nobody established.
    h.feed(exchange(invitation), stranger, Socket::data);
    h.feed(exchange(invitation), {kHost, 65535}, Socket::control); // no data port
    EXPECT_EQ(h.exchangesSent(), std::vector<std::string>{"NO>data"});
    // CK and MIDI from anyone not established: nothing delivered.
    h.feed(AppleMIDI::encodeClock({0x77, 0, 1234, 0, 0}), stranger, Socket::data);
    h.feed(rtp(1, {0x90, 0x3C, 0x64}), stranger, Socket::data);
    h.feed(exchange(invitation), kCtl, Socket::control);
    h.feed(AppleMIDI::encodeClock({0x77, 0, 1234, 0, 0}), kData, Socket::data);
    h.feed(rtp(2, {0x90, 0x3C, 0x64}), kData, Socket::data);
    // The stranger is told once to invite again; the peer half-way gets nothing.
    EXPECT_EQ(h.exchangesSent(), (std::vector<std::string>{"NO>data", "BY>data", "OK>ctl"}));
    EXPECT_TRUE(h.received.empty());

    h.feed(exchange(invitation), kData, Socket::data);
    h.feed(rtp(3, {0x90, 0x3C, 0x64}), kData, Socket::data);
    h.feed(rtp(4, {0x90, 0x3C, 0x64}), kData, Socket::control); // MIDI on control: dropped
    EXPECT_EQ(h.received, std::vector<Bytes>{hex("90 3C 64")});
    h.now += 1s; // one farewell per second to a stranger that goes on sending
    h.feed(rtp(5, {0x90, 0x3C, 0x64}), stranger, Socket::data);
    EXPECT_EQ(h.exchangesSent().back(), "BY>data");
    EXPECT_EQ(h.sent.back().to, stranger);
}

TEST(RTPSessionCore, ClockAnswersAndRoundTrip)
{
    Harness h;
    h.establish(kCtl);
    const auto tick = [&] { return static_cast<std::uint64_t>(h.now.time_since_epoch() / 100us); };
    h.feed(AppleMIDI::encodeClock({0x77, 0, 1234, 0, 0}), kData, Socket::data);
    EXPECT_EQ(AppleMIDI::decodeClock(h.sent.back().bytes), (AppleMIDI::ClockSync{kSsrc, 1, 1234, tick(), 0}));
    EXPECT_EQ(h.sent.back().to, kData);
    // Count 2 closes the exchange we answered: round trip on our own clock.
    const auto answeredAt = tick();
    h.now += 3ms;
    h.feed(AppleMIDI::encodeClock({0x77, 2, 1234, answeredAt, 99}), kData, Socket::data);
    EXPECT_EQ(h.core.peerStatuses(), (std::vector<RTPPeerStatus>{{"Lui", "10.0.0.2:5004", false, 3.0}}));
}

TEST(RTPSessionCore, LivenessKeepsHealthyPeersAndSaysGoodbyeToSilentOnes)
{
    Harness h;
    const NetAddress midiOnly{kHost, 6004}, quiet{kHost, 7004};
    h.establish(kCtl, "Synchro");
    h.establish(midiOnly, "Notes");
    h.establish(quiet, "Muet");
    // Participants on one host are told apart by their ports.
    h.establish({kHost, 8004}, "Deux");
    h.feed(exchange(bye, "Deux"), {kHost, 8004}, Socket::control);
    EXPECT_EQ(h.count("RTP S: Deux (10.0.0.2:8004) a quitté la session"), 1);
    // A peer that invited us and syncs once a minute; one that only plays.
    for (int minute = 0; minute < 4; ++minute) {
        h.runFor(58s);
        h.feed(AppleMIDI::encodeClock({0x77, 0, 1, 0, 0}), kData, Socket::data);
        h.feed(rtp(static_cast<std::uint16_t>(minute), {0xF8}), {kHost, 6005}, Socket::data);
    }
    EXPECT_EQ(h.core.peerLabels(), (std::vector<std::string>{"Synchro", "Notes"}));
    EXPECT_EQ(h.count("RTP S: pair Muet hors-ligne (timeout)"), 1);
    EXPECT_TRUE(std::ranges::any_of(h.sent, [&](const auto &s) {
        return s.to == quiet && s.bytes == AppleMIDI::encodeExchange({bye, kToken, kSsrc, "KORVANE"});
    }));

    // 61 s is the limit: removed within one liveness period after it.
    h.runFor(72s);
    EXPECT_TRUE(h.core.peerLabels().empty());
}

TEST(RTPSessionCore, InitiatorLooksUpAndRetriesUntilEstablishedAndAgainAfterLoss)
{
    Harness h({.name = "S", .role = RTPRole::initiator, .remoteHost = "régie"});
    ASSERT_TRUE(h.resolveAsked);
    h.resolveAsked = false;
    h.resolved(std::nullopt);
    EXPECT_TRUE(h.core.hostNotFound());
    EXPECT_EQ(h.count("RTP S: hôte distant invalide (régie)"), 1);
    h.runFor(9s);
    EXPECT_FALSE(h.resolveAsked);
    h.runFor(2s);
    EXPECT_TRUE(h.resolveAsked);
    h.resolved(std::nullopt);
    EXPECT_EQ(h.count("RTP S: hôte distant invalide (régie)"), 1); // said once
    h.runFor(10s);
    h.lookUps = kHost;
    h.resolved(kHost);
    EXPECT_FALSE(h.core.hostNotFound());
    h.runFor(60s);
    EXPECT_EQ(h.lookUpCount, 4) << "the host name is looked up again at each slow try";
    // 12 tries a second apart, then one every 10 s: at 21, 31, 41, 51 s.
    EXPECT_EQ(h.exchangesSent(), std::vector<std::string>(16, "IN>ctl"));
    EXPECT_EQ(h.count("RTP S: invitation envoyée à régie:5004"), 1);
    EXPECT_EQ(h.count("RTP S: pas de réponse de régie:5004, nouvel essai toutes les 10 s"), 1);

    // OK on control: the data invitation is retried the same way.
    h.sent.clear();
    h.feed(exchange(invitationOK, "Régie", kToken), kCtl, Socket::control);
    h.runFor(3500ms);
    EXPECT_EQ(h.exchangesSent(), std::vector<std::string>(4, "IN>data"));
    h.runFor(8s); // 12 data tries unanswered: the slow tries start over on control
    h.runFor(10s);
    EXPECT_EQ(h.exchangesSent().back(), "IN>ctl");
    EXPECT_EQ(h.exchangesSent().size(), 13u);
    h.feed(exchange(invitationOK, "Régie", kToken), kCtl, Socket::control);
    EXPECT_EQ(h.exchangesSent().back(), "IN>data");
    h.feed(exchange(invitationOK, "Régie", kToken), kData, Socket::data);
    EXPECT_EQ(h.core.peerLabels(), std::vector<std::string>{"Régie"});
    EXPECT_TRUE(h.core.remoteEstablished());
    EXPECT_EQ(AppleMIDI::decodeClock(h.sent.back().bytes)->count, 0); // clock sync starts at once

    // The remote stops answering our CK: dropped after 30-40 s, invited again.
    h.sent.clear();
    h.runFor(45s);
    EXPECT_EQ(h.count("RTP S: pair Régie hors-ligne (timeout)"), 1);
    EXPECT_EQ(h.count("RTP S: invitation envoyée à régie:5004"), 2);
    EXPECT_FALSE(h.core.remoteEstablished());

    // Its farewell after a new handshake: invited again too.
    h.feed(exchange(invitationOK, "Régie", kToken), kCtl, Socket::control);
    h.feed(exchange(invitationOK, "Régie", kToken), kData, Socket::data);
    h.feed(exchange(bye, "Régie"), kCtl, Socket::control);
    EXPECT_EQ(h.count("RTP S: invitation envoyée à régie:5004"), 3);
    EXPECT_EQ(h.exchangesSent().back(), "IN>ctl");
}

TEST(RTPSessionCore, BoundedWorkForAnyNumberOfPeers)
{
    Harness h;
    for (std::uint16_t i = 0; i < 32; ++i)
        h.establish({0x0A000100u + i, 5004});
    // 33 lines in one second: 20 said, the rest counted once the second is over.
    EXPECT_EQ(h.logs.size(), 20u);
    h.runFor(1s);
    EXPECT_EQ(h.logs.back(), "RTP S: 13 ligne(s) de journal omise(s)");

    for (std::uint16_t i = 32; i < 40; ++i)
        h.establish({0x0A000100u + i, 5004});
    EXPECT_EQ(h.core.peerLabels().size(), RTPSessionCore::maxPeers);
    EXPECT_EQ(std::ranges::count(h.exchangesSent(), "NO>ctl"), 8);
    EXPECT_EQ(std::ranges::count(h.exchangesSent(), "NO>data"), 8);
    EXPECT_EQ(h.count("RTP S: trop de participants (32), invitation de 10.0.1.32:5004 refusée"), 1);
    EXPECT_EQ(h.logs.size(), 22u); // one line a minute at most
    h.runFor(60s);
    h.establish({0x0A0002FF, 5004});
    EXPECT_EQ(h.logs.back(), "RTP S: trop de participants (32), invitation de 10.0.2.255:5004 refusée");
}

TEST(RTPSessionCore, PeerNamesAreMadeSafe)
{
    const std::string R = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"Régie", "Régie"},
        {"a\nb\tc\x7F", "a" + R + "b" + R + "c" + R},
        // The edges of both ranges: U+001F, U+0080 and U+009F go, U+0020 and U+00A0 stay.
        {"\x1F\x20", R + " "},
        {"x\xC2\x80y", "x" + R + "y"},
        {"\xC2\x9F\xC2\xA0", R + "\xC2\xA0"},
        {std::string(70, 'a'), std::string(64, 'a')},
        {std::string(63, 'a') + "éé", std::string(63, 'a') + "é"}, // cut by characters, not bytes
    };
    for (const auto &[in, expected] : cases) {
        EXPECT_EQ(RTPSessionCore::sanitizeName(in), expected) << in;
        // Discovered services get the same treatment.
        std::vector<DiscoveredPeer> peers;
        PeerList::add(peers, {in, "10.0.0.2", 5004});
        EXPECT_EQ(peers.at(0).name, expected);
        EXPECT_TRUE(PeerList::removeNamed(peers, in));
    }
}

TEST(RTPSessionCore, OriginsNameOnePeriodOfOnePeerAndStopEndsThemAll)
{
    Harness h;
    h.establish(kCtl);
    h.feed(rtp(1, {0x90, 0x3C, 0x64}), kData, Socket::data);
    const auto first = h.origins.at(0);
    EXPECT_NE(first, 0u);
    // The same peer again with its SSRC unchanged: same period.
    h.establish(kCtl);
    EXPECT_TRUE(h.gone.empty());
    // Back with a new SSRC (it restarted): the old period ends.
    h.feed(AppleMIDI::encodeExchange({invitation, 1, 0x9999, "Lui"}), kData, Socket::data);
    EXPECT_EQ(h.gone, std::vector<std::uint64_t>{first});
    h.feed(rtp(1, {0x80, 0x3C, 0x00}), kData, Socket::data);
    EXPECT_NE(h.origins.back(), first);

    // Stopping says goodbye to every peer, half-way ones too.
    h.feed(exchange(invitation), {kHost, 6004}, Socket::control);
    h.sent.clear();
    h.step([&](auto &o) { h.core.stop(h.now, o); });
    EXPECT_EQ(h.gone.size(), 2u);
    EXPECT_EQ(h.gone.back(), h.origins.back());
    EXPECT_EQ(h.exchangesSent(), (std::vector<std::string>{"BY>ctl", "BY>ctl"}));
    EXPECT_EQ(h.logs.back(), "RTP S: arrêté");
    EXPECT_TRUE(h.core.peerLabels().empty());
    EXPECT_FALSE(h.core.nextDeadline());
}

TEST(RTPSessionCore, CrossedInvitationsStillSyncClocks)
{
    Harness h({.name = "S", .role = RTPRole::initiator, .remoteHost = "10.0.0.2"});
    h.resolved(kHost);
    h.establish(kCtl); // the remote's own invitation completes before it answers ours
    ASSERT_TRUE(h.core.remoteEstablished());
    // Two minutes without a word from the remote but its answers to our CK.
    int clocks = 0;
    for (int second = 0; second < 120; ++second) {
        h.runFor(1s);
        // Taken out first: answering makes the core send, which appends to h.sent.
        for (const auto &sent : std::exchange(h.sent, {}))
            if (const auto ck = AppleMIDI::decodeClock(sent.bytes); ck && ck->count == 0 && ++clocks)
                h.feed(AppleMIDI::encodeClock({0x5151, 1, ck->ts1, 5, 0}), kData, Socket::data);
    }
    EXPECT_GE(clocks, 12);
    EXPECT_EQ(h.count("RTP S: pair Lui hors-ligne (timeout)"), 0);
    EXPECT_TRUE(h.core.remoteEstablished());
}

TEST(RTPSessionCore, OnlyListedHostsMayJoin)
{
    Harness h({.name = "S",
               .onlyAllowedHosts = true,
               .allowedHosts = {"10.0.0.2", "192.168.1.0/24", "not an address"}});
    const NetAddress inSubnet{0xC0A801FF, 5004}, outside{0xC0A80200, 5004};
    h.establish(kCtl);
    h.establish(inSubnet);
    h.establish(outside);
    h.establish(outside);
    h.now += 61s;
    h.establish(outside);
    EXPECT_EQ(h.core.peerLabels().size(), 2u);
    EXPECT_EQ(h.count("RTP S: invitation de 192.168.2.0:5004 refusée (hôte non autorisé)"), 2);

    const std::pair<std::string, bool> subnets[] = {{"10.0.0.0/0", true},   {"10.0.0.1/32", true},
                                                    {"10.0.0.1/33", false}, {"256.0.0.1", false},
                                                    {"10.0.0", false},      {"10.0.0.1/", false}};
    for (const auto &[text, valid] : subnets)
        EXPECT_EQ(RTPSessionCore::parseSubnet(text).has_value(), valid) << text;
}

TEST(RTPSessionCore, PacketsInSequenceOrderAndSegmentedSysexWholeOrNotAtAll)
{
    Harness h;
    h.establish(kCtl);
    for (std::uint16_t seq : {65534, 65535, 0, 65535, 0, 2, 1})
        h.feed(rtp(seq, {0x90, static_cast<std::uint8_t>(seq & 0x7F), 1}), kData, Socket::data);
    EXPECT_EQ(h.received.size(), 4u); // 65534, 65535, 0, 2: across the wrap, in order
    EXPECT_EQ(h.core.latePackets(), 3u);

    h.received.clear();
    const auto feed = [&](std::uint16_t seq, const char *list) {
        h.feed(rtp(seq, hex(list)), kData, Socket::data);
    };
    feed(10, "F0 01 F0");
    feed(11, "F7 02 F8 03 F0"); // a clock tick inside the data: its own message
    feed(12, "F7 04 F7");
    EXPECT_EQ(h.received, (std::vector<Bytes>{hex("F8"), hex("F0 01 02 03 04 F7")}));

    h.received.clear();
    feed(20, "F0 01 F0"); // lost middle: 21 never comes
    feed(22, "F7 03 F7");
    feed(30, "F0 01 F0"); // reordered
    feed(32, "F7 03 F7");
    feed(31, "F7 02 F0");
    feed(33, "90 3C 64");
    feed(34, "F0 05 F0");
    feed(35, "F7 06 F7");
    feed(36, "F0 07 F0"); // cancelled by its sender
    feed(37, "F7 08 F4");
    EXPECT_EQ(h.received, (std::vector<Bytes>{hex("90 3C 64"), hex("F0 05 06 F7")}));
}

TEST(RTPSessionCore, ReceiverFeedbackAboutOncePerSecondWhileDataArrives)
{
    Harness h;
    h.establish(kCtl);
    h.sent.clear();
    for (std::uint16_t seq = 1; seq <= 25; ++seq) {
        h.feed(rtp(seq, hex("90 3C 64")), kData, Socket::data);
        h.runFor(100ms);
    }
    h.runFor(5s); // silence: nothing more
    std::vector<std::uint16_t> acknowledged;
    for (const auto &s : h.sent) {
        const auto rs = AppleMIDI::decodeFeedback(s.bytes);
        ASSERT_TRUE(rs && s.to == kCtl && s.socket == Socket::control);
        acknowledged.push_back(rs->sequence);
    }
    EXPECT_EQ(acknowledged, (std::vector<std::uint16_t>{1, 10, 20, 25}));
}
