#include "net/integration/rtp_test_support.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;
using AppleMIDI::Command;

namespace {

std::uint16_t sequenceOf(const Bytes &packet)
{
    return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

// A data packet from the fake peer whose command list is list, verbatim.
Bytes rtpList(std::uint16_t sequence, const Bytes &list)
{
    return AppleMIDI::encodeRTP(MIDIMessage(list), sequence, 0, 0x5151);
}

// A listening session and a fake peer beside it.
struct Bench {
    explicit Bench(const std::string &name, RTPMidiSession::Timing timing = {})
        : s(loopbackConfig(name, port), "KORVANE", timing)
    {
        EXPECT_TRUE(s.startListening());
    }
    FakePeer peer;
    int port = freePortPair();
    SessionProbe s;
};

} // namespace

TEST(RTPMidiSession, ListenerAndInitiatorEstablishAndExchangeMidi)
{
    const int portB = freePortPair(), portA = freePortPair();
    SessionProbe b(loopbackConfig("Scène", portB), "Régie B");
    SessionProbe a(initiatorConfig("Salle", portA, portB), "Régie A");
    ASSERT_TRUE(b.startListening());
    a.session->start();

    EXPECT_TRUE(a.waitLog("RTP Salle: invitation envoyée à 127.0.0.1:" + std::to_string(portB)));
    EXPECT_TRUE(a.waitLog("RTP Salle: session établie avec Régie B"));
    EXPECT_TRUE(b.waitLog("RTP Scène: session établie avec Régie A"));
    ASSERT_TRUE(a.waitPeers({"Régie B"}) && b.waitPeers({"Régie A"}));
    // The initiator measured the round trip of its first clock exchange.
    ASSERT_TRUE(waitUntil([&] { return !a.statuses.empty() && !a.statuses.back().peers.empty() &&
                                       a.statuses.back().peers[0].roundTripMs; }));
    EXPECT_EQ(a.statuses.back().state, RTPSessionState::listening);
    EXPECT_EQ(a.statuses.back().peers[0].address, "127.0.0.1:" + std::to_string(portB));
    EXPECT_LT(*a.statuses.back().peers[0].roundTripMs, 1000.0);

    a.session->send(kNoteOn);
    ASSERT_TRUE(b.waitReceived(1));
    EXPECT_EQ(b.received()[0], kNoteOn.bytes);

    // A 10 kB sysex leaves in segments and arrives as the one message sent;
    // the note sent after it may overtake it (it never waits behind segments).
    const Bytes big = sysexOf(10 * 1024), sysex{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    b.session->send(MIDIMessage(sysex));
    b.session->send(MIDIMessage(big));
    b.session->send(kNoteOn);
    ASSERT_TRUE(a.waitReceived(3));
    spinFor(50ms);
    const auto got = a.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], sysex);
    EXPECT_TRUE((got[1] == kNoteOn.bytes && got[2] == big) || (got[1] == big && got[2] == kNoteOn.bytes));

    // A leaving is seen by B as a farewell, not a timeout.
    a.session->stop();
    EXPECT_TRUE(b.waitLog("RTP Scène: 127.0.0.1 a quitté la session"));
    EXPECT_TRUE(b.waitPeers({}));
    EXPECT_EQ(a.countLogs("RTP Salle: arrêté"), 1);
}

TEST(RTPMidiSession, RefusesToStartOnBusyOrInvalidPorts)
{
    const int port = freePortPair(), busy = freePortPair();
    const int blockers[] = {bindLoopback(busy), bindLoopback(port + 1)};
    const std::pair<RTPSessionConfig, std::string> cases[] = {
        {loopbackConfig("P", busy), "RTP P: impossible d'ouvrir le port control " + std::to_string(busy)},
        {loopbackConfig("P", port), "RTP P: impossible d'ouvrir le port data " + std::to_string(port + 1)},
        {loopbackConfig("P", 0), "RTP P: port local invalide (0)"},
        {loopbackConfig("P", 65535), "RTP P: port local invalide (65535)"},
        {loopbackConfig("P", -3), "RTP P: port local invalide (-3)"},
        {initiatorConfig("P", port, 65535), "RTP P: port distant invalide (65535)"},
        {initiatorConfig("P", port, 0), "RTP P: port distant invalide (0)"},
    };
    for (const auto &[config, line] : cases) {
        SCOPED_TRACE(line);
        SessionProbe s(config, "KORVANE");
        s.session->start();
        EXPECT_TRUE(s.waitLog(line));
        const auto state = line.find("invalide") != std::string::npos ? RTPSessionState::invalidPort
                                                                       : RTPSessionState::portBusy;
        EXPECT_TRUE(waitUntil([&] { return !s.statuses.empty() && s.statuses.back().state == state; }));
        s.session->stop();
        EXPECT_EQ(s.logs(), (std::vector<std::string>{line, "RTP P: arrêté"}));
    }
    for (int fd : blockers)
        ::close(fd);

    // A second session on a running session's ports is refused too, rather
    // than sharing them and silently taking the first one's traffic.
    SessionProbe first(loopbackConfig("Show", busy), "KORVANE");
    ASSERT_TRUE(first.startListening());
    SessionProbe second(loopbackConfig("P", busy), "KORVANE");
    second.session->start();
    EXPECT_TRUE(second.waitLog("RTP P: impossible d'ouvrir le port control " + std::to_string(busy)));
    second.session->stop();
    first.session->stop();

    // The control socket opened before the data port failed is closed again.
    const int control = bindLoopback(port);
    EXPECT_GE(control, 0);
    ::close(control);
}

TEST(RTPMidiSession, SequenceNumbersCountPacketsWrapAndSkipIdleSends)
{
    Bench bench("Seq");
    auto &[peer, port, s] = bench;
    s.session->setLastSequence(65533);
    s.session->send(kNoteOn); // no peer yet: not sent, not counted
    ASSERT_TRUE(peer.establishWith(port, "P"));

    // A 10 kB sysex takes eight packets, each within the packet limit.
    s.session->send(kNoteOn);
    s.session->send(MIDIMessage(sysexOf(10 * 1024)));
    s.session->send(kNoteOn);
    std::vector<std::uint16_t> seen;
    for (int i = 0; i < 10; ++i) {
        const auto packet = peer.receiveMatching(true, isData);
        ASSERT_TRUE(packet);
        EXPECT_LE(packet->size(), AppleMIDI::maxDataPacketSize);
        EXPECT_EQ(AppleMIDI::readUInt32(*packet, 8), s.session->ssrc());
        seen.push_back(sequenceOf(*packet));
    }
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{65534, 65535, 0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(RTPMidiSession, LateRemoteIsInvitedUntilItAnswers)
{
    RTPMidiSession::Timing timing;
    timing.inviteFastPeriod = 20ms;
    const int portB = freePortPair(), portA = freePortPair();
    SessionProbe a(initiatorConfig("Salle", portA, portB), "Régie A", timing);
    a.session->start();
    spinFor(100ms); // nobody listens yet: the invitations go unanswered
    SessionProbe b(loopbackConfig("Scène", portB), "Régie B");
    ASSERT_TRUE(b.startListening());
    EXPECT_TRUE(a.waitPeers({"Régie B"}));
    EXPECT_EQ(a.countLogs("RTP Salle: invitation envoyée à 127.0.0.1:" + std::to_string(portB)), 1);
}

TEST(RTPMidiSession, LargeMessagesArriveWholeAndNotesOvertakeQueuedSysex)
{
    Bench bench("Gros");
    auto &[peer, port, s] = bench;
    ASSERT_TRUE(peer.establishWith(port, "P"));

    // The longest command list the length field allows, in one datagram.
    const Bytes longest = sysexOf(4095);
    peer.sendData(rtpList(1, longest), port + 1);
    ASSERT_TRUE(s.waitReceived(1));
    EXPECT_EQ(s.received()[0], longest);

    // Not segmentable (unterminated) but within the length field: one packet.
    Bytes unterminated = sysexOf(3000);
    unterminated.back() = 0x01;
    s.session->send(MIDIMessage(unterminated));
    const auto single = peer.receiveMatching(true, isData);
    ASSERT_TRUE(single);
    EXPECT_EQ(AppleMIDI::decodeRTP(*single), std::vector<MIDIMessage>{MIDIMessage(unterminated)});

    // 100 kB of sysex are queued and paced; a note sent right after does not
    // wait for all of them.
    const Bytes big = sysexOf(100 * 1000);
    s.session->send(MIDIMessage(big));
    s.session->send(kNoteOn);
    std::vector<Bytes> packets;
    while (auto p = peer.receiveMatching(true, isData, 500ms))
        packets.push_back(*p);
    const auto segments = AppleMIDI::encodeRTPPackets(MIDIMessage(big), 0, 0, 0).size();
    ASSERT_EQ(packets.size(), segments + 1);
    std::size_t notePosition = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(sequenceOf(packets[i]), static_cast<std::uint16_t>(sequenceOf(packets[0]) + i));
        if (AppleMIDI::decodeRTP(packets[i]) == std::vector<MIDIMessage>{kNoteOn})
            notePosition = i;
    }
    EXPECT_LT(notePosition, packets.size() - 1);
}

