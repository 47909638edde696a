#include "net/integration/rtp_test_support.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;
using AppleMIDI::Command;

namespace {

const MIDIMessage kNoteOn({0x90, 0x3C, 0x64});

std::optional<AppleMIDI::Exchange> asExchange(const std::optional<AppleMIDI::Bytes> &packet)
{
    return packet ? AppleMIDI::decodeExchange(*packet) : std::nullopt;
}

bool isClock(const AppleMIDI::Bytes &b)
{
    return AppleMIDI::decodeClock(b).has_value();
}
bool isData(const AppleMIDI::Bytes &b)
{
    return !AppleMIDI::isSessionCommand(b);
}

std::uint16_t sequenceOf(const AppleMIDI::Bytes &packet)
{
    return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

} // namespace

TEST(RTPMidiSession, ListenerAndInitiatorEstablishAndExchangeMidi)
{
    const int portB = freePortPair();
    int portA = freePortPair();
    while (portA == portB || portA == portB + 1 || portA + 1 == portB)
        portA = freePortPair();
    SessionProbe b(loopbackConfig("Scène", portB), "Régie B");
    SessionProbe a(initiatorConfig("Salle", portA, portB), "Régie A");
    ASSERT_TRUE(b.startListening());
    a.session->start();

    EXPECT_TRUE(a.waitLog("RTP Salle: invitation envoyée à 127.0.0.1:" + std::to_string(portB)));
    EXPECT_TRUE(a.waitLog("RTP Salle: session établie avec Régie B"));
    EXPECT_TRUE(b.waitLog("RTP Scène: session établie avec Régie A"));
    ASSERT_TRUE(waitUntil([&] {
        return a.lastPeers() == std::vector<std::string>{"Régie B"} &&
               b.lastPeers() == std::vector<std::string>{"Régie A"};
    }));

    a.session->send(kNoteOn);
    ASSERT_TRUE(b.waitReceived(1));
    EXPECT_EQ(b.received()[0].bytes, kNoteOn.bytes);

    // A 10 kB sysex leaves in segments and arrives as the one message sent.
    std::vector<std::uint8_t> big(10 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 0x80);
    big.front() = 0xF0;
    big.back() = 0xF7;
    const MIDIMessage sysex({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    b.session->send(sysex);
    b.session->send(MIDIMessage(big));
    b.session->send(kNoteOn);
    ASSERT_TRUE(a.waitReceived(3));
    spinFor(50ms);
    ASSERT_EQ(a.received().size(), 3u);
    EXPECT_EQ(a.received()[0].bytes, sysex.bytes);
    EXPECT_EQ(a.received()[1].bytes, big);
    EXPECT_EQ(a.received()[2].bytes, kNoteOn.bytes);

    // A leaving is seen by B as a farewell, not a timeout.
    a.session->stop();
    EXPECT_TRUE(b.waitLog("RTP Scène: 127.0.0.1 a quitté la session"));
    EXPECT_TRUE(waitUntil([&] { return b.lastPeers() == std::vector<std::string>{}; }));
    EXPECT_EQ(a.countLogs("RTP Salle: arrêté"), 1);
}

TEST(RTPMidiSession, AnswersClockSyncFromAnyone)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Horloge", port), "KORVANE");
    ASSERT_TRUE(s.startListening());

    peer.sendData(AppleMIDI::encodeClock({0x77, 0, 1234, 0, 0}), port + 1);
    auto answer = peer.receive(true);
    ASSERT_TRUE(answer);
    auto sync = AppleMIDI::decodeClock(*answer);
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->ssrc, s.session->ssrc());
    EXPECT_EQ(sync->count, 1);
    EXPECT_EQ(sync->ts1, 1234u);
    EXPECT_GT(sync->ts2, 0u);
    EXPECT_EQ(sync->ts3, 0u);

    peer.sendData(AppleMIDI::encodeClock({0x77, 1, 1234, 5678, 0}), port + 1);
    answer = peer.receive(true);
    ASSERT_TRUE(answer);
    sync = AppleMIDI::decodeClock(*answer);
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->count, 2);
    EXPECT_EQ(sync->ts2, 5678u);
    EXPECT_GT(sync->ts3, 0u);

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
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    RTPMidiSession::Timing timing;
    timing.clockPeriod = 100ms;
    SessionProbe s(initiatorConfig("Init", port, peer.port()), "Moi", timing);
    s.session->start();

    const auto in = asExchange(peer.receive(false));
    ASSERT_TRUE(in);
    EXPECT_EQ(in->command, Command::invitation);
    EXPECT_EQ(in->initiatorToken, s.session->initiatorToken());
    EXPECT_EQ(in->ssrc, s.session->ssrc());
    EXPECT_EQ(in->name, "Moi");
    peer.sendControl(AppleMIDI::encodeExchange({Command::invitationOK, in->initiatorToken, 0x42, "Lui"}),
                     port);

    const auto dataIn = asExchange(peer.receive(true));
    ASSERT_TRUE(dataIn);
    EXPECT_EQ(dataIn->command, Command::invitation);
    peer.sendData(AppleMIDI::encodeExchange({Command::invitationOK, dataIn->initiatorToken, 0x42, "Lui"}),
                  port + 1);

    // The first count-0 CK leaves at once, the next one a period later.
    const auto first = peer.receive(true, 1s);
    ASSERT_TRUE(first);
    ASSERT_TRUE(isClock(*first));
    EXPECT_EQ(AppleMIDI::decodeClock(*first)->count, 0);
    const auto second = peer.receive(true, 2s);
    ASSERT_TRUE(second);
    ASSERT_TRUE(isClock(*second));
    EXPECT_GE(AppleMIDI::decodeClock(*second)->ts1, AppleMIDI::decodeClock(*first)->ts1 + 500);
    EXPECT_TRUE(s.waitLog("RTP Init: session établie avec Lui"));
    EXPECT_TRUE(waitUntil([&] { return s.lastPeers() == std::vector<std::string>{"Lui"}; }));
}

TEST(RTPMidiSession, SilentPeerTimesOutOnce)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    RTPMidiSession::Timing timing;
    timing.livenessPeriod = 50ms;
    timing.peerTimeout = 300ms;
    SessionProbe s(loopbackConfig("Vie", port), "KORVANE", timing);
    ASSERT_TRUE(s.startListening());
    ASSERT_TRUE(peer.establishWith(port, ""));
    ASSERT_TRUE(waitUntil([&] { return s.lastPeers() == std::vector<std::string>{"127.0.0.1"}; }));

    // MIDI data does not count as a sign of life.
    peer.sendData(AppleMIDI::encodeRTP(kNoteOn, 1, 0, 0x5151), port + 1);
    ASSERT_TRUE(s.waitReceived(1));

    const std::string line = "RTP Vie: pair 127.0.0.1 hors-ligne (timeout)";
    ASSERT_TRUE(s.waitLog(line));
    EXPECT_TRUE(waitUntil([&] { return s.lastPeers() == std::vector<std::string>{}; }));
    spinFor(200ms);
    EXPECT_EQ(s.countLogs(line), 1);
}

TEST(RTPMidiSession, StopSaysByeToEachPeerAndReportsNone)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Fin", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
    ASSERT_TRUE(peer.establishWith(port, "Distant"));
    ASSERT_TRUE(waitUntil([&] { return s.lastPeers() == std::vector<std::string>{"Distant"}; }));

    s.session->stop();
    // stop() returns once the farewell is out and the ports are free again.
    const auto bye = asExchange(peer.receive(false, 100ms));
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->command, Command::bye);
    EXPECT_EQ(bye->ssrc, s.session->ssrc());
    EXPECT_EQ(bye->name, "KORVANE");
    EXPECT_FALSE(peer.receive(false, 100ms));
    const int control = bindLoopback(port), data = bindLoopback(port + 1);
    EXPECT_GE(control, 0);
    EXPECT_GE(data, 0);
    ::close(control);
    ::close(data);

    EXPECT_TRUE(waitUntil([&] { return s.lastPeers() == std::vector<std::string>{}; }));
    EXPECT_EQ(s.logs().back(), "RTP Fin: arrêté");
    s.session->send(kNoteOn); // after stop: nothing, no crash
    EXPECT_FALSE(peer.receiveMatching(true, isData, 100ms));
}

TEST(RTPMidiSession, MidiOnlyFromEstablishedPeers)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Filtre", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
    const auto note = AppleMIDI::encodeRTP(kNoteOn, 1, 0, 0x5151);

    peer.sendData(note, port + 1); // unknown address
    peer.sendControl(AppleMIDI::encodeExchange({Command::invitation, 1, 0x5151, "P"}), port);
    ASSERT_TRUE(peer.receive(false));
    peer.sendData(note, port + 1); // invited on control only, not established
    peer.sendControl(note, port);  // data on the control port
    spinFor(200ms);
    EXPECT_TRUE(s.received().empty());

    peer.sendData(AppleMIDI::encodeExchange({Command::invitation, 1, 0x5151, "P"}), port + 1);
    ASSERT_TRUE(peer.receive(true));
    peer.sendData(note, port + 1);
    ASSERT_TRUE(s.waitReceived(1));
    spinFor(50ms);
    EXPECT_EQ(s.received().size(), 1u);
}

TEST(RTPMidiSession, PortInUseIsLogged)
{
    for (bool blockData : {false, true}) {
        SCOPED_TRACE(blockData);
        const int port = freePortPair();
        const int blocker = bindLoopback(blockData ? port + 1 : port);
        ASSERT_GE(blocker, 0);
        SessionProbe s(loopbackConfig("Occupé", port), "KORVANE");
        s.session->start();
        const std::string line =
            blockData ? "RTP Occupé: impossible d'ouvrir le port data " + std::to_string(port + 1)
                      : "RTP Occupé: impossible d'ouvrir le port control " + std::to_string(port);
        EXPECT_TRUE(s.waitLog(line));
        ::close(blocker);
        // The control socket opened first is closed again.
        const int control = bindLoopback(port);
        EXPECT_GE(control, 0);
        ::close(control);
        s.session->stop();
        EXPECT_EQ(s.logs(), (std::vector<std::string>{line, "RTP Occupé: arrêté"}));
    }
}

TEST(RTPMidiSession, RefusesPortsWithoutRoomForTheDataPort)
{
    struct Case {
        RTPSessionConfig config;
        std::string line;
    };
    const int free = freePortPair();
    const Case cases[] = {
        {loopbackConfig("P", 0), "RTP P: port local invalide (0)"},
        {loopbackConfig("P", 65535), "RTP P: port local invalide (65535)"},
        {loopbackConfig("P", 70000), "RTP P: port local invalide (70000)"},
        {loopbackConfig("P", -3), "RTP P: port local invalide (-3)"},
        {initiatorConfig("P", free, 65535), "RTP P: port distant invalide (65535)"},
        {initiatorConfig("P", free, 0), "RTP P: port distant invalide (0)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        SessionProbe s(c.config, "KORVANE");
        s.session->start();
        EXPECT_TRUE(s.waitLog(c.line));
        s.session->stop();
        EXPECT_EQ(s.logs(), (std::vector<std::string>{c.line, "RTP P: arrêté"}));
    }
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

TEST(RTPMidiSession, SequenceNumbersWrapAndIdleSendsDoNotCount)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Seq", port), "KORVANE");
    s.session->setLastSequence(65533);
    ASSERT_TRUE(s.startListening());
    s.session->send(kNoteOn); // no peer yet: not sent, not counted
    ASSERT_TRUE(peer.establishWith(port, "P"));

    std::vector<std::uint16_t> seen;
    for (int i = 0; i < 3; ++i) {
        s.session->send(kNoteOn);
        const auto packet = peer.receiveMatching(true, isData);
        ASSERT_TRUE(packet);
        seen.push_back(sequenceOf(*packet));
        EXPECT_EQ(AppleMIDI::readUInt32(*packet, 8), s.session->ssrc());
    }
    EXPECT_EQ(seen, (std::vector<std::uint16_t>{65534, 65535, 0}));
}

TEST(RTPMidiSession, LongSysexLeavesAsSegmentsWithinThePacketLimit)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Gros", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
    ASSERT_TRUE(peer.establishWith(port, "P"));

    std::vector<std::uint8_t> sysex(10 * 1024, 0x21);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    s.session->send(MIDIMessage(sysex));
    s.session->send(kNoteOn);
    std::vector<std::uint16_t> sequences;
    for (int i = 0; i < 9; ++i) {
        const auto packet = peer.receiveMatching(true, isData);
        ASSERT_TRUE(packet);
        EXPECT_LE(packet->size(), AppleMIDI::maxDataPacketSize);
        sequences.push_back(sequenceOf(*packet));
    }
    EXPECT_EQ(sequences, (std::vector<std::uint16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(RTPMidiSession, HalfBuiltSysexIsForgottenWhenThePeerLeaves)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Seg", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
    ASSERT_TRUE(peer.establishWith(port, "P"));
    const auto rtp = [](std::uint16_t seq, const std::vector<std::uint8_t> &list) {
        AppleMIDI::Bytes p = {0x80, 0x61, 0, static_cast<std::uint8_t>(seq), 0, 0, 0, 0, 0, 0, 0x51, 0x51};
        p.push_back(static_cast<std::uint8_t>(list.size()));
        p.insert(p.end(), list.begin(), list.end());
        return p;
    };

    peer.sendData(rtp(1, {0xF0, 0x01, 0xF0}), port + 1);
    peer.sendControl(AppleMIDI::encodeExchange({Command::bye, 0xABCD, 0x5151, "P"}), port);
    ASSERT_TRUE(s.waitLog("RTP Seg: 127.0.0.1 a quitté la session"));
    ASSERT_TRUE(peer.establishWith(port, "P"));
    // The last segment is now an orphan; the next first segment starts afresh.
    peer.sendData(rtp(2, {0xF7, 0x02, 0xF7}), port + 1);
    peer.sendData(rtp(3, {0xF0, 0x03, 0xF0}), port + 1);
    peer.sendData(rtp(4, {0xF7, 0x04, 0xF7}), port + 1);
    peer.sendData(AppleMIDI::encodeRTP(kNoteOn, 5, 0, 0x5151), port + 1);
    ASSERT_TRUE(s.waitReceived(2));
    EXPECT_EQ(s.received()[0].bytes, (std::vector<std::uint8_t>{0xF0, 0x03, 0x04, 0xF7}));
    EXPECT_EQ(s.received()[1].bytes, kNoteOn.bytes);
    EXPECT_EQ(s.received().size(), 2u);
}

TEST(RTPMidiSession, InvitationOnTheDataPortAloneEstablishes)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Data", port), "KORVANE");
    ASSERT_TRUE(s.startListening());
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
    const auto bye = asExchange(peer.receive(true, 100ms));
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->command, Command::bye);
}
