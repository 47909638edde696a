// The Network MIDI 2.0 session without sockets: a hand-made peer speaks to it
// in byte tables, on a clock the test moves by hand.

#include "net/network_midi2_session_core.h"
#include "support/hex.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;
using namespace std::chrono_literals;
using Core = NetworkMIDI2SessionCore;
using Bytes = NetworkMIDI2::Bytes;

namespace {

const NetAddress kPeer{0x0A000002, 6000}; // 10.0.0.2:6000
const NetAddress kHost{0x0A000009, 5673}; // 10.0.0.9:5673
const char *const kSignature = "4D 49 44 49 ";
const char *const kIdentity = "4B 4F 52 56 41 4E 45 00 " // "KORVANE"
                              "30 30 30 30 30 30 30 30 2D 30 30 30 30 2D 34 30 30 30 2D 38 30 30 30 2D "
                              "30 30 30 30 30 30 30 30 30 30 30 31"; // the configuration's id

std::string datagram(const std::string &commands)
{
    return toHex(hex(kSignature + commands));
}

struct Harness {
    explicit Harness(NetworkMIDI2Role role = NetworkMIDI2Role::host, int fec = 2, int retransmit = 50)
        : core({.name = "S",
                .role = role,
                .remoteHost = "hote",
                .fecDepth = fec,
                .retransmitBufferSize = retransmit},
               "KORVANE", "00000000-0000-4000-8000-000000000001")
    {
        step([&](auto &o) { core.started(now, o); });
    }
    template <class F> void step(F &&f)
    {
        out.clear();
        f(out);
        for (const auto &d : out.datagrams) {
            const auto b = out.datagram(d);
            sent.push_back({d.to, toHex(Bytes(b.begin(), b.end()))});
        }
        logs.insert(logs.end(), out.logs.begin(), out.logs.end());
        for (const auto &r : out.received)
            received.push_back(toHex(r.message.bytes));
        gone.insert(gone.end(), out.originsGone.begin(), out.originsGone.end());
        dropped += out.dropped;
    }
    // What the peer sends; what the core answered to it since.
    std::vector<std::string> feed(const std::string &commands, NetAddress from = kPeer)
    {
        sent.clear();
        step([&](auto &o) { core.datagram(hex(kSignature + commands), from, now, o); });
        return answers(from);
    }
    // What the core sent since, to one address or to anyone.
    std::vector<std::string> answers(std::optional<NetAddress> to = std::nullopt) const
    {
        std::vector<std::string> a;
        for (const auto &[address, bytes] : sent)
            if (!to || address == *to)
                a.push_back(bytes);
        return a;
    }
    std::vector<std::string> send(const std::string &midi)
    {
        sent.clear();
        step([&](auto &o) { core.send(hex(midi), now, o); });
        return answers(kPeer);
    }
    std::vector<std::string> runFor(std::chrono::milliseconds d)
    {
        sent.clear();
        const auto end = now + d;
        for (auto due = core.nextDeadline(); due && *due <= end; due = core.nextDeadline()) {
            now = std::max(now, *due);
            step([&](auto &o) { core.timers(now, o); });
        }
        now = end;
        return answers();
    }
    void join(NetAddress from = kPeer) { feed("01 01 01 00 50 61 64 00", from); } // invitation from "Pad"

    Core::TimePoint now = Core::TimePoint{} + 1h;
    Core core;
    Core::Output out;
    std::vector<std::pair<NetAddress, std::string>> sent;
    std::vector<std::string> logs, received;
    std::vector<std::uint64_t> gone;
    std::uint64_t dropped = 0;
};

// The host side, one exchange per row: what the peer sends, what it gets
// back, what reaches the router.
TEST(NetworkMIDI2Host, AHandMadePeerDrivenByByteTables)
{
    Harness h;
    const struct {
        std::string in;
        std::vector<std::string> answers;
        std::vector<std::string> received;
    } rows[] = {
        // Invitation from "Pad": accepted with our name and product instance id.
        {"01 01 01 00 50 61 64 00", {datagram("10 0B 02 00 " + std::string(kIdentity))}, {}},
        {"FF 01 00 00 20 90 3C 64", {}, {"90 3C 64"}},
        // Sequence 2 before 1: held, 1 asked for; then both, in order.
        {"FF 01 00 02 20 80 3C 00", {datagram("80 01 00 01 00 01 00 00")}, {}},
        {"FF 01 00 01 20 B0 07 7F", {}, {"B0 07 7F", "80 3C 00"}},
        // Repeats (forward error correction) are dropped, the new command kept.
        {"FF 01 00 01 20 B0 07 7F FF 01 00 02 20 80 3C 00 FF 01 00 03 10 F8 00 00", {}, {"F8"}},
        // A UMP Data command carrying two UMPs, and one carrying none.
        {"FF 02 00 04 20 C0 05 00 20 D0 7F 00 FF 00 00 05", {}, {"C0 05", "D0 7F"}},
        {"20 01 00 00 00 00 00 07", {datagram("21 01 00 00 00 00 00 07")}, {}},
        // A code nobody knows: refused with its header.
        {"7E 00 12 34", {datagram("8F 01 01 00 7E 00 12 34")}, {}},
        {"82 00 00 00", {datagram("83 00 00 00")}, {}},
        {"FF 01 00 00 20 91 3C 64", {}, {"91 3C 64"}}, // after the reset, 0 again
        // Stream discovery is answered in UMP Data; a UMP on another group is dropped.
        {"FF 04 00 01 F0 05 01 00 00 00 00 00 00 00 00 00 00 00 00 00",
         {datagram("FF 04 00 00 F0 06 01 00 00 00 00 00 00 00 00 00 00 00 00 00")},
         {}},
        {"FF 01 00 02 21 90 3C 64", {}, {}},
        {"F0 00 01 00", {datagram("F1 00 00 00")}, {}},
        // Gone: what it sends now earns a Bye "session not established".
        {"FF 01 00 01 20 90 3C 64", {datagram("F0 00 05 00")}, {}},
    };
    for (const auto &row : rows) {
        h.received.clear();
        EXPECT_EQ(h.feed(row.in), row.answers) << row.in;
        EXPECT_EQ(h.received, row.received) << row.in;
    }
    EXPECT_EQ(h.logs, (std::vector<std::string>{"NM2 S: hôte à l'écoute sur le port 5673",
                                                "NM2 S: session établie avec Pad",
                                                "NM2 S: réinitialisation de session demandée par Pad",
                                                "NM2 S: Pad a quitté la session (arrêt)"}));
    ASSERT_EQ(h.gone.size(), 1u);
    EXPECT_NE(h.gone[0], 0u);
    EXPECT_EQ(h.dropped, 1u);
}

// What the host sends: one UMP per command, numbered from 0, each datagram
// first repeating the last two; a NOOP tail; retransmission from history.
TEST(NetworkMIDI2Host, SendsWithForwardErrorCorrectionAndRetransmits)
{
    Harness h;
    h.join();
    const std::string a = "FF 01 00 00 20 90 3C 64 ", b = "FF 01 00 01 20 80 3C 00 ",
                      c = "FF 01 00 02 10 F8 00 00 ";
    EXPECT_EQ(h.send("90 3C 64"), std::vector{datagram(a)});
    EXPECT_EQ(h.send("80 3C 00"), std::vector{datagram(a + b)});
    EXPECT_EQ(h.send("F8"), std::vector{datagram(a + b + c)});
    EXPECT_EQ(h.runFor(10ms), std::vector{datagram(b + c + "FF 01 00 03 00 00 00 00")});
    EXPECT_EQ(h.feed("80 01 00 01 00 02 00 00"), std::vector{datagram(b + c)});
    EXPECT_EQ(h.feed("80 01 00 63 00 01 00 00"), std::vector{datagram("81 01 01 00 00 00 00 00")});
    EXPECT_TRUE(h.send("F4").empty());
    EXPECT_EQ(h.dropped, 1u);

    // No repeats and no history: bare commands, retransmit requests refused.
    Harness bare(NetworkMIDI2Role::host, 0, 0);
    bare.join();
    bare.send("90 3C 64");
    EXPECT_EQ(bare.send("80 3C 00"), std::vector{datagram(b)});
    EXPECT_TRUE(bare.runFor(1s).empty()); // nothing to repeat: no tail
    EXPECT_EQ(bare.feed("80 01 00 00 00 01 00 00"), std::vector{datagram("8F 01 01 00 80 01 00 00")});

    // A 200-UMP sysex: datagrams filled up to 1400 bytes, each opening with its two repeats.
    const auto big = h.send(toHex(sysexOf(1202)));
    ASSERT_EQ(big.size(), 2u);
    EXPECT_EQ(hex(big[0]).size(), 1400u); // 4 + 2 one-word repeats (16) + 115 two-word commands
    EXPECT_EQ(hex(big[1]).size(), 4 + 2 * 12 + 85 * 12u);
}

TEST(NetworkMIDI2Host, GapsAreAskedForThenSkippedCountedAndLogged)
{
    Harness h;
    h.join();
    h.feed("FF 01 00 00 20 90 3C 64");
    EXPECT_EQ(h.feed("FF 01 00 03 20 90 3D 64"), std::vector{datagram("80 01 00 01 00 02 00 00")});
    // Asked again twice, retransmitTimeout apart, then given up.
    EXPECT_EQ(h.runFor(100ms), std::vector{datagram("80 01 00 01 00 02 00 00")});
    EXPECT_EQ(h.runFor(100ms), std::vector{datagram("80 01 00 01 00 02 00 00")});
    h.received.clear();
    h.runFor(100ms);
    EXPECT_EQ(h.received, std::vector<std::string>{"90 3D 64"});
    EXPECT_EQ(h.dropped, 2u);
    EXPECT_EQ(h.logs.back(), "NM2 S: 2 commande(s) UMP perdue(s) de Pad");

    // A Retransmit Error ends the wait at once; a sysex the gap cut is dropped whole.
    h.received.clear();
    h.feed("FF 02 00 04 30 16 01 02 03 04 05 06");
    h.feed("FF 02 00 06 30 31 07 00 00 00 00 00 FF 01 00 07 20 90 3E 64");
    EXPECT_EQ(h.feed("81 01 01 00 00 06 00 00"), std::vector<std::string>{});
    EXPECT_EQ(h.received, std::vector<std::string>{"90 3E 64"});
    EXPECT_EQ(h.dropped, 4u); // 2 before, the missing command and the sysex

    // A peer that refuses retransmit requests is not asked again.
    h.feed("FF 01 00 09 20 90 3F 64");
    EXPECT_TRUE(h.feed("8F 01 01 00 80 01 00 08").empty());
    EXPECT_TRUE(h.feed("FF 01 00 0B 20 90 40 64").empty());
    h.runFor(100ms);
    EXPECT_EQ(h.received.back(), "90 40 64");
}

TEST(NetworkMIDI2Host, SequenceNumbersWrapBothWays)
{
    Harness h(NetworkMIDI2Role::host, 1, 1);
    h.join();
    for (std::uint32_t s = 0; s <= 0xFFFF; ++s) {
        h.send("F8");
        h.feed("FF 01 " + toHex({static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s)}) +
               " 10 F8 00 00");
    }
    EXPECT_EQ(h.received.size(), 0x10000u);
    // After 0xFFFF: 0 is next, 0xFFFE a repeat.
    h.received.clear();
    EXPECT_EQ(h.send("FE"), std::vector{datagram("FF 01 FF FF 10 F8 00 00 FF 01 00 00 10 FE 00 00")});
    h.feed("FF 01 FF FE 10 F8 00 00 FF 01 00 00 10 FE 00 00");
    EXPECT_EQ(h.received, std::vector<std::string>{"FE"});
}

TEST(NetworkMIDI2Host, StrangersPingsTimeoutsAndTheCap)
{
    Harness h;
    const NetAddress stranger{0x0A000003, 7000};
    EXPECT_EQ(h.feed("20 01 00 00 00 00 00 01", stranger), std::vector{datagram("F0 00 05 00")});
    EXPECT_TRUE(h.feed("FF 01 00 00 20 90 3C 64", stranger).empty()); // once a second
    EXPECT_TRUE(h.received.empty());
    EXPECT_EQ(h.feed("02 08 00 00 " + std::string(64, '0'), stranger), std::vector{datagram("F0 00 45 00")});

    h.join();
    // Pinged every 2 s; silent past 10 s: a Bye "timeout" and the origin ends.
    EXPECT_EQ(h.runFor(2s), std::vector{datagram("20 01 00 00 00 00 00 01")});
    h.feed("21 01 00 00 00 00 00 01");
    EXPECT_EQ(h.core.peerStatuses(), (std::vector<NetworkMIDI2PeerStatus>{{"Pad", "10.0.0.2:6000", 0.0}}));
    EXPECT_EQ(h.runFor(11s).back(), datagram("F0 00 04 00"));
    EXPECT_EQ(h.logs.back(), "NM2 S: pair Pad hors-ligne (timeout)");
    EXPECT_EQ(h.gone.size(), 1u);

    for (std::uint16_t port = 1; port <= 32; ++port)
        h.join({0x0A000100, port});
    EXPECT_EQ(h.feed("01 00 00 00", {0x0A000100, 33}), std::vector{datagram("F0 00 40 00")});
    EXPECT_EQ(h.core.peerLabels().size(), 32u);
    // Stopping: a Bye to each, every origin ends.
    h.step([&](auto &o) { h.core.stop(h.now, o); });
    EXPECT_EQ(h.gone.size(), 33u);
    EXPECT_EQ(h.logs.back(), "NM2 S: arrêté");
}

TEST(NetworkMIDI2Client, LooksUpAndInvitesTheHostUntilAcceptedAndAgainAfterItLeaves)
{
    Harness h(NetworkMIDI2Role::client);
    EXPECT_EQ(h.core.state(), NetworkMIDI2State::inviting);
    h.step([&](auto &o) { h.core.remoteResolved(std::nullopt, h.now, o); });
    EXPECT_EQ(h.core.state(), NetworkMIDI2State::hostNotFound);
    EXPECT_EQ(h.logs.back(), "NM2 S: hôte distant invalide (hote)");
    h.runFor(10s);
    EXPECT_TRUE(h.out.resolve) << "looked up again by the last deadline run";
    h.sent.clear();
    h.step([&](auto &o) { h.core.remoteResolved(kHost.ip, h.now, o); });
    const std::string invitation = datagram("01 0B 02 00 " + std::string(kIdentity));
    EXPECT_EQ(h.answers(kHost), std::vector{invitation});
    EXPECT_EQ(h.runFor(1s), std::vector{invitation});
    // A client takes no invitation.
    EXPECT_EQ(h.feed("01 00 00 00"), std::vector{datagram("8F 01 02 00 01 00 00 00")});

    EXPECT_TRUE(h.feed("10 01 01 00 48 6F 73 74", kHost).empty()); // accepted by "Host"
    EXPECT_EQ(h.core.state(), NetworkMIDI2State::connected);
    EXPECT_EQ(h.core.peerLabels(), std::vector<std::string>{"Host"});
    EXPECT_TRUE(h.runFor(1s).empty()); // no more invitations

    // The host leaves: Bye answered, invited again at once.
    EXPECT_EQ(h.feed("F0 00 02 00", kHost), (std::vector{datagram("F1 00 00 00"), invitation}));
    EXPECT_EQ(h.core.state(), NetworkMIDI2State::inviting);
    EXPECT_EQ(h.gone.size(), 1u);

    // A host that wants a shared secret: the invitation is withdrawn and tried again slowly.
    EXPECT_EQ(h.feed("12 04 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", kHost),
              std::vector{datagram("F0 00 80 00")});
    EXPECT_EQ(h.core.state(), NetworkMIDI2State::refused);
    EXPECT_TRUE(h.runFor(9s).empty());
    EXPECT_EQ(h.runFor(1s), std::vector{invitation});

    // Stopping while inviting cancels the invitation.
    h.sent.clear();
    h.step([&](auto &o) { h.core.stop(h.now, o); });
    EXPECT_EQ(h.answers(kHost), std::vector{datagram("F0 00 80 00")});
}

} // namespace
