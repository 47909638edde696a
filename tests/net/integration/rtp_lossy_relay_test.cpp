// Two sessions talking through a relay on 127.0.0.1 that loses datagrams or
// blocks them all for a while, as a bad network would; the recovery journal
// has to make up for what is lost.

#include "net/integration/rtp_test_support.h"
#include "support/udp_relay.h"

#include <QElapsedTimer>

#include <map>
#include <set>

using namespace korvane;
using namespace korvane::test;

namespace {

// The protocol's durations divided by 40: a 40 s outage lasts 1 s here.
RTPMidiSession::Timing scaledTiming()
{
    RTPMidiSession::Timing t;
    t.clockPeriod = 250ms;
    t.livenessPeriod = 250ms;
    t.peerTimeout = 750ms;
    t.syncedPeerTimeout = 1525ms;
    t.inviteFastPeriod = 25ms;
    t.inviteSlowPeriod = 250ms;
    t.feedbackPeriod = 25ms;
    return t;
}

} // namespace

// What the receiver's messages leave sounding: notes held and the pedal.
struct Sounding {
    std::set<std::pair<int, int>> notes;
    std::map<int, bool> pedal;
    explicit Sounding(const std::vector<Bytes> &messages)
    {
        for (const auto &m : messages) {
            const int kind = m[0] & 0xF0, channel = m[0] & 0x0F;
            if (kind == 0x90 && m[2] > 0)
                notes.insert({channel, m[1]});
            else if (kind == 0x80 || kind == 0x90)
                notes.erase({channel, m[1]});
            else if (kind == 0xB0 && m[1] == 64)
                pedal[channel] = m[2] >= 64;
            else if (kind == 0xB0 && (m[1] == 123 || m[1] == 120))
                std::erase_if(notes, [&](const auto &n) { return n.first == channel; });
        }
    }
};

// 2,000 note on/off pairs over the 16 channels with the pedal toggled every
// 50 pairs, ending down on channel 1 and up on channel 2.
std::vector<MIDIMessage> show()
{
    std::vector<MIDIMessage> out;
    for (int i = 0; i < 2000; ++i) {
        const auto channel = static_cast<std::uint8_t>(i % 16), note = static_cast<std::uint8_t>(36 + i % 48);
        out.push_back(MIDIMessage({static_cast<std::uint8_t>(0x90 | channel), note, 100}));
        if (i % 50 == 0)
            out.push_back(MIDIMessage({static_cast<std::uint8_t>(0xB0 | (i / 50) % 2), 64,
                                       static_cast<std::uint8_t>((i / 100) % 2 ? 0 : 127)}));
        out.push_back(MIDIMessage({static_cast<std::uint8_t>(0x80 | channel), note, 0}));
    }
    out.push_back(MIDIMessage({0xB0, 64, 127}));
    out.push_back(MIDIMessage({0xB1, 64, 0}));
    return out;
}

// An initiator A inviting a listener B through a relay (which B sees as its
// peer): the data lane loses datagrams, and the control lane too with bothPorts.
struct Pair {
    explicit Pair(double lossRate, bool bothPorts = false, RTPMidiSession::Timing timing = scaledTiming())
        : listenerPort(freePortPair()), relay(listenerPort, 2, lossRate, bothPorts ? 0 : 1, 20261207),
          b(std::make_unique<SessionProbe>(loopbackConfig("Scène", listenerPort), "Régie B", timing)),
          a(initiatorConfig("Salle", freePortPair(), relay.frontPort()), "Régie A", timing)
    {
        EXPECT_TRUE(b->startListening());
        a.session->start();
        EXPECT_TRUE(a.waitPeers({"Régie B"}));
    }
    int listenerPort;
    UdpRelay relay;
    std::unique_ptr<SessionProbe> b;
    SessionProbe a;
};

using LossCase = std::pair<double, bool>; // loss rate, on both ports

class RTPJournalOverLoss : public ::testing::TestWithParam<LossCase> {};

TEST_P(RTPJournalOverLoss, NoNoteHangsThePedalEndsWhereItWasLeftSysexIsWholeOrAbsent)
{
    const auto [rate, bothPorts] = GetParam();
    Pair pair(rate, bothPorts);
    auto messages = show();
    const Bytes big = sysexOf(100 * 1000);
    messages.insert(messages.begin() + 2000, MIDIMessage(big));
    for (std::size_t i = 0; i < messages.size(); ++i) {
        pair.a.session->send(messages[i]);
        if (i % 40 == 0)
            spinFor(2ms);
    }
    // Long enough for the guard packets to repair a loss at the very end.
    spinFor(1500ms);
    const auto received = pair.b->received();
    const Sounding end(received);
    EXPECT_TRUE(end.notes.empty()) << end.notes.size() << " notes held";
    EXPECT_TRUE(end.pedal.at(0));
    EXPECT_FALSE(end.pedal.at(1));
    for (const auto &m : received)
        EXPECT_TRUE(m.size() <= 3 || m == big) << "only the whole sysex may arrive";
    if (rate == 0) {
        EXPECT_EQ(pair.relay.lost(), 0);
        EXPECT_EQ(received.size(), messages.size()) << "nothing replayed without a loss";
        EXPECT_EQ(std::count(received.begin(), received.end(), big), 1);
    } else {
        EXPECT_GT(pair.relay.lost(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, RTPJournalOverLoss,
                         ::testing::Values(LossCase{0.0, false}, LossCase{0.01, false}, LossCase{0.05, false},
                                           LossCase{0.20, false}, LossCase{0.05, true}));

TEST(RTPLossyNetwork, TheSessionHealsAfterAnOutage)
{
    Pair pair(0.05);
    // Blocked for longer than the initiator's timeout: it drops the remote,
    // then invites it again until the way is open.
    pair.relay.setBlocked(true);
    EXPECT_TRUE(pair.a.waitLog("RTP Salle: pair Régie B hors-ligne (timeout)"));
    spinFor(250ms);
    pair.relay.setBlocked(false);
    ASSERT_TRUE(pair.a.waitPeers({"Régie B"}));
    EXPECT_EQ(pair.a.countLogs("RTP Salle: session établie avec Régie B"), 2);
    // MIDI flows again (some of these few may still be lost on the way).
    for (int i = 0; i < 20; ++i)
        pair.a.session->send(MIDIMessage({0x91, 0x40, 0x7F}));
    EXPECT_TRUE(waitUntil([&] {
        const auto all = pair.b->received();
        return std::find(all.begin(), all.end(), Bytes{0x91, 0x40, 0x7F}) != all.end();
    }));
}

TEST(RTPLossyNetwork, RestartedListenerIsJoinedAgainAtOnce)
{
    Pair pair(0, false, {});
    // Killed: its BY never reaches the initiator, which keeps sending.
    pair.relay.setBlocked(true);
    pair.b.reset();
    pair.b = std::make_unique<SessionProbe>(loopbackConfig("Scène", pair.listenerPort), "Régie B");
    ASSERT_TRUE(pair.b->startListening());
    pair.relay.setBlocked(false);
    QElapsedTimer back;
    back.start();
    pair.a.session->send(kNoteOn); // answered by a BY from the new listener
    ASSERT_TRUE(pair.b->waitPeers({"Régie A"}));
    EXPECT_LT(back.elapsed(), 3000);
    EXPECT_TRUE(pair.a.waitLog("RTP Salle: Régie B (127.0.0.1:" + std::to_string(pair.relay.frontPort()) +
                               ") a quitté la session"));
    pair.a.session->send(kNoteOn);
    EXPECT_TRUE(pair.b->waitReceived(1));
}
