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

    a.session->send(kNoteOn);
    ASSERT_TRUE(b.waitReceived(1));
    EXPECT_EQ(b.received()[0], kNoteOn.bytes);

    // A 10 kB sysex leaves in segments and arrives as the one message sent.
    const Bytes big = sysexOf(10 * 1024), sysex{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    b.session->send(MIDIMessage(sysex));
    b.session->send(MIDIMessage(big));
    b.session->send(kNoteOn);
    ASSERT_TRUE(a.waitReceived(3));
    spinFor(50ms);
    EXPECT_EQ(a.received(), (std::vector<Bytes>{sysex, big, kNoteOn.bytes}));

    // A leaving is seen by B as a farewell, not a timeout.
    a.session->stop();
    EXPECT_TRUE(b.waitLog("RTP Scène: 127.0.0.1 a quitté la session"));
    EXPECT_TRUE(b.waitPeers({}));
    EXPECT_EQ(a.countLogs("RTP Salle: arrêté"), 1);
}

TEST(RTPMidiSession, AnswersClockSyncFromAnyone)
{
    Bench bench("Horloge");
    auto &[peer, port, s] = bench;

    // Count 0 is answered with 1 (ts2 = now), count 1 with 2 (ts3 = now).
    for (std::uint8_t count : {0, 1}) {
        peer.sendData(AppleMIDI::encodeClock({0x77, count, 1234, 5678, 0}), port + 1);
        const auto answer = peer.receive(true);
        ASSERT_TRUE(answer);
        const auto sync = AppleMIDI::decodeClock(*answer);
        ASSERT_TRUE(sync);
        EXPECT_EQ(sync->ssrc, s.session->ssrc());
        EXPECT_EQ(sync->count, count + 1);
        EXPECT_EQ(sync->ts1, 1234u);
        const std::uint64_t echoed = count == 0 ? sync->ts3 : sync->ts2; // 0, or the ts2 received
        const std::uint64_t stamped = count == 0 ? sync->ts2 : sync->ts3;
        EXPECT_EQ(echoed, count == 0 ? 0u : 5678u);
        EXPECT_GT(stamped, 0u);
    }

    // Count 2 ends the exchange; on the control port CK gets no answer.
    peer.sendData(AppleMIDI::encodeClock({0x77, 2, 1, 2, 3}), port + 1);
    peer.sendControl(AppleMIDI::encodeClock({0x77, 0, 1, 0, 0}), port);
    EXPECT_FALSE(peer.receive(true, 200ms));
    EXPECT_FALSE(peer.receive(false, 50ms));
    EXPECT_TRUE(s.peerReports.empty());
}

TEST(RTPMidiSession, InitiatorHandshakeThenPeriodicClockSync)
{
    FakePeer peer;
    const int port = freePortPair();
    RTPMidiSession::Timing timing;
    timing.clockPeriod = 100ms;
    SessionProbe s(initiatorConfig("Init", port, peer.port()), "Moi", timing);
    s.session->start();

    const auto in = asExchange(peer.receive(false));
    ASSERT_TRUE(in);
    EXPECT_EQ(*in, (AppleMIDI::Exchange{Command::invitation, s.session->initiatorToken(), s.session->ssrc(),
                                        "Moi"}));
    peer.sendControl(AppleMIDI::encodeExchange({Command::invitationOK, in->initiatorToken, 0x42, "Lui"}),
                     port);
    const auto dataIn = asExchange(peer.receive(true));
    ASSERT_TRUE(dataIn);
    EXPECT_EQ(dataIn->command, Command::invitation);
    peer.sendData(AppleMIDI::encodeExchange({Command::invitationOK, dataIn->initiatorToken, 0x42, "Lui"}),
                  port + 1);

    // The first count-0 CK leaves at once, the next one a period later.
    const auto first = peer.receive(true, 1s), second = peer.receive(true, 2s);
    ASSERT_TRUE(first && second);
    const auto ck1 = AppleMIDI::decodeClock(*first), ck2 = AppleMIDI::decodeClock(*second);
    ASSERT_TRUE(ck1 && ck2);
    EXPECT_EQ(ck1->count, 0);
    EXPECT_GE(ck2->ts1, ck1->ts1 + 500);
    EXPECT_TRUE(s.waitLog("RTP Init: session établie avec Lui"));
    EXPECT_TRUE(s.waitPeers({"Lui"}));
}

TEST(RTPMidiSession, SilentPeerTimesOutOnce)
{
    RTPMidiSession::Timing timing;
    timing.livenessPeriod = 50ms;
    timing.peerTimeout = 300ms;
    Bench bench("Vie", timing);
    auto &[peer, port, s] = bench;
    ASSERT_TRUE(peer.establishWith(port, ""));
    ASSERT_TRUE(s.waitPeers({"127.0.0.1"}));

    // MIDI data does not count as a sign of life.
    peer.sendData(AppleMIDI::encodeRTP(kNoteOn, 1, 0, 0x5151), port + 1);
    peer.sendData(rtpList(2, {0xF0, 0x01, 0xF0}), port + 1);
    ASSERT_TRUE(s.waitReceived(1));

    const std::string line = "RTP Vie: pair 127.0.0.1 hors-ligne (timeout)";
    ASSERT_TRUE(s.waitLog(line));
    EXPECT_TRUE(s.waitPeers({}));
    spinFor(200ms);
    EXPECT_EQ(s.countLogs(line), 1);

    // The sysex it left half-built went with it.
    ASSERT_TRUE(peer.establishWith(port, ""));
    peer.sendData(rtpList(3, {0xF7, 0x02, 0xF7}), port + 1);
    peer.sendData(AppleMIDI::encodeRTP(kNoteOn, 4, 0, 0x5151), port + 1);
    ASSERT_TRUE(s.waitReceived(2));
    EXPECT_EQ(s.received(), (std::vector<Bytes>{kNoteOn.bytes, kNoteOn.bytes}));
}

TEST(RTPMidiSession, StopSaysByeToEachPeerAndReportsNone)
{
    Bench bench("Fin");
    auto &[peer, port, s] = bench;
    ASSERT_TRUE(peer.establishWith(port, "Distant"));
    ASSERT_TRUE(s.waitPeers({"Distant"}));

    s.session->stop();
    // stop() returns once the farewell is out and the ports are free again.
    const auto bye = asExchange(peer.receive(false, 100ms));
    ASSERT_TRUE(bye);
    EXPECT_EQ(*bye,
              (AppleMIDI::Exchange{Command::bye, s.session->initiatorToken(), s.session->ssrc(), "KORVANE"}));
    EXPECT_FALSE(peer.receive(false, 100ms));
    const int control = bindLoopback(port), data = bindLoopback(port + 1);
    EXPECT_TRUE(control >= 0 && data >= 0);
    ::close(control);
    ::close(data);

    EXPECT_TRUE(s.waitPeers({}));
    EXPECT_EQ(s.logs().back(), "RTP Fin: arrêté");
    s.session->send(kNoteOn); // after stop: nothing, no crash
    EXPECT_FALSE(peer.receiveMatching(true, isData, 100ms));
}

TEST(RTPMidiSession, MidiOnlyFromEstablishedPeers)
{
    Bench bench("Filtre");
    auto &[peer, port, s] = bench;
    const auto note = AppleMIDI::encodeRTP(kNoteOn, 1, 0, 0x5151);
    const auto in = AppleMIDI::encodeExchange({Command::invitation, 1, 0x5151, "P"});

    peer.sendData(note, port + 1); // unknown address
    peer.sendControl(in, port);
    ASSERT_TRUE(peer.receive(false));
    peer.sendData(note, port + 1); // invited on control only, not established
    peer.sendControl(note, port);  // data on the control port
    spinFor(200ms);
    EXPECT_TRUE(s.received().empty());

    peer.sendData(in, port + 1);
    ASSERT_TRUE(peer.receive(true));
    peer.sendData(note, port + 1);
    ASSERT_TRUE(s.waitReceived(1));
    spinFor(50ms);
    EXPECT_EQ(s.received().size(), 1u);
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

TEST(RTPMidiSession, IgnoresControlInvitationFromPort65535)
{
    const int fd = bindLoopback(65535);
    if (fd < 0)
        GTEST_SKIP() << "127.0.0.1:65535 is busy on this machine";
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Bord", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
    const auto in = AppleMIDI::encodeExchange({Command::invitation, 1, 2, "X"});
    const auto to = loopback(port);
    ::sendto(fd, in.data(), in.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    std::uint8_t buf[64];
    spinFor(200ms);
    EXPECT_LT(::recv(fd, buf, sizeof buf, MSG_DONTWAIT), 0);
    ::close(fd);
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

TEST(RTPMidiSession, HalfBuiltSysexIsForgottenWhenThePeerLeaves)
{
    Bench bench("Seg");
    auto &[peer, port, s] = bench;
    ASSERT_TRUE(peer.establishWith(port, "P"));

    peer.sendData(rtpList(1, {0xF0, 0x01, 0xF0}), port + 1);
    peer.sendControl(AppleMIDI::encodeExchange({Command::bye, 0xABCD, 0x5151, "P"}), port);
    ASSERT_TRUE(s.waitLog("RTP Seg: 127.0.0.1 a quitté la session"));
    ASSERT_TRUE(peer.establishWith(port, "P"));
    // The last segment is now an orphan; the next first segment starts afresh.
    peer.sendData(rtpList(2, {0xF7, 0x02, 0xF7}), port + 1);
    peer.sendData(rtpList(3, {0xF0, 0x03, 0xF0}), port + 1);
    peer.sendData(rtpList(4, {0xF7, 0x04, 0xF7}), port + 1);
    peer.sendData(AppleMIDI::encodeRTP(kNoteOn, 5, 0, 0x5151), port + 1);
    ASSERT_TRUE(s.waitReceived(2));
    EXPECT_EQ(s.received(), (std::vector<Bytes>{{0xF0, 0x03, 0x04, 0xF7}, kNoteOn.bytes}));
}

TEST(RTPMidiSession, InvitationOnTheDataPortAloneEstablishes)
{
    Bench bench("Data");
    auto &[peer, port, s] = bench;
    peer.sendData(AppleMIDI::encodeExchange({Command::invitation, 77, 0x5151, ""}), port + 1);
    const auto ok = asExchange(peer.receive(true));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->command, Command::invitationOK);
    EXPECT_EQ(ok->initiatorToken, 77u);
    EXPECT_TRUE(s.waitLog("RTP Data: session établie avec 127.0.0.1"));

    // Both addresses of that peer are the sender's: MIDI and the farewell go there.
    s.session->send(kNoteOn);
    const auto note = peer.receiveMatching(true, isData);
    ASSERT_TRUE(note);
    EXPECT_EQ(AppleMIDI::decodeRTP(*note)[0].bytes, kNoteOn.bytes);
    s.session->stop();
    EXPECT_TRUE(peer.receiveMatching(true, isExchange(Command::bye), 100ms));
}
