#include "net/integration/rtp_test_support.h"

#include <gtest/gtest.h>

#include <limits>

using namespace korvane;
using namespace korvane::test;

namespace {

std::uint16_t sequenceOf(const Bytes &packet)
{
    return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

// Records every data packet a session puts on the wire, in order, and
// sends it; once full is set, every third one meets a full socket (EAGAIN) first.
struct Wire {
    long operator()(int fd, const std::uint8_t *data, std::size_t size, const sockaddr_in &to)
    {
        if (full && calls++ % 3 == 0) {
            errno = EAGAIN;
            return -1;
        }
        {
            std::lock_guard lock(mutex);
            packets.emplace_back(data, data + size);
        }
        return ::sendto(fd, data, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // With MIDI commands: the journal-only ones left out.
    std::vector<Bytes> midiPackets()
    {
        std::lock_guard lock(mutex);
        std::vector<Bytes> out;
        for (const Bytes &p : packets)
            if (!AppleMIDI::packetParts(p)->commands.empty())
                out.push_back(p);
        return out;
    }
    std::atomic<bool> full{false};
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::vector<Bytes> packets;
};

} // namespace

const std::string kInUse = " (Address already in use), nouvel essai toutes les 3 s";

TEST(RTPMidiSession, RefusesToStartOnBusyOrInvalidPorts)
{
    // A running session's ports are refused rather than shared (which would
    // silently take the first one's traffic); another program holds a data port.
    const int port = freePortPair(), busy = freePortPair();
    SessionProbe first(loopbackConfig("Show", busy), "KORVANE");
    ASSERT_TRUE(first.startListening());
    const int blocker = bindLoopback(port + 1);
    const std::pair<RTPSessionConfig, std::string> cases[] = {
        {loopbackConfig("P", busy),
         "RTP P: impossible d'ouvrir le port control " + std::to_string(busy) + kInUse},
        {loopbackConfig("P", port),
         "RTP P: impossible d'ouvrir le port data " + std::to_string(port + 1) + kInUse},
        {loopbackConfig("P", 0), "RTP P: port local invalide (0)"},
        {loopbackConfig("P", 65535), "RTP P: port local invalide (65535)"},
        {initiatorConfig("P", port, 65535), "RTP P: port distant invalide (65535)"},
        {initiatorConfig("P", port, 0), "RTP P: port distant invalide (0)"},
        {loopbackConfig("P", std::numeric_limits<int>::max()), "RTP P: port local invalide (2147483647)"},
    };
    for (const auto &[config, line] : cases) {
        SCOPED_TRACE(line);
        SessionProbe s(config, "KORVANE");
        s.session->start();
        EXPECT_TRUE(s.waitLog(line));
        EXPECT_TRUE(s.waitState(line.find("invalide") != std::string::npos ? RTPSessionState::invalidPort
                                                                           : RTPSessionState::portBusy));
        s.session->stop();
        EXPECT_EQ(s.logs(), (std::vector<std::string>{line, "RTP P: arrêté"}));
    }
    ::close(blocker);

    // The control socket opened before the data port failed is closed again.
    const int control = bindLoopback(port);
    EXPECT_GE(control, 0);
    ::close(control);
}

TEST(RTPMidiSession, LargeMessagesArriveWholeAndInOrderEvenWhenTheSocketIsFull)
{
    const int port = freePortPair();
    SessionProbe s(loopbackConfig("Gros", port), "KORVANE");
    Wire wire;
    s.session->setSendFunction(std::ref(wire));
    ASSERT_TRUE(s.startListening());
    s.session->setLastSequence(65533);
    s.session->send(kNoteOn); // no peer yet: not sent, not counted
    const auto peer = inviter(port, "P");
    ASSERT_TRUE(s.waitPeers({"P"}));

    const Bytes longest = sysexOf(4095);
    peer->session->send(MIDIMessage(longest));
    ASSERT_TRUE(s.waitReceived(1));
    EXPECT_EQ(s.received()[0], longest);

    // Not segmentable (unterminated) but within the length field: one
    // packet. 100 kB of sysex are queued and paced, with room for the
    // journal in each segment; a note sent right after follows them.
    Bytes unterminated = sysexOf(3000);
    unterminated.back() = 0x01;
    const Bytes big = sysexOf(100 * 1000);
    for (const Bytes &m : {unterminated, big, kNoteOn.bytes})
        s.session->send(MIDIMessage(m));
    const auto segments =
        AppleMIDI::encodeRTPPackets(MIDIMessage(big), 0, 0, 0,
                                    AppleMIDI::maxDataPacketSize - RecoveryJournal::JournalSender::maxBytes)
            .size();
    ASSERT_TRUE(waitUntil([&] { return wire.midiPackets().size() == segments + 2; }, 10s));
    ASSERT_TRUE(
        waitUntil([&] { return peer->received().size() >= 2 && peer->received().back() == kNoteOn.bytes; }));
    EXPECT_EQ(peer->received().end()[-2], big);
    const auto packets = wire.midiPackets();
    EXPECT_EQ(AppleMIDI::decodeRTP(packets[0]), std::vector<MIDIMessage>{MIDIMessage(unterminated)});
    EXPECT_EQ(AppleMIDI::decodeRTP(packets.back()), std::vector<MIDIMessage>{kNoteOn});
    // Sequence numbers count packets from the unterminated one on and wrap.
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(sequenceOf(packets[i]), static_cast<std::uint16_t>(65534 + i));
        EXPECT_TRUE(i == 0 || packets[i].size() <= AppleMIDI::maxDataPacketSize) << i;
        EXPECT_EQ(AppleMIDI::readUInt32(packets[i], 8), s.session->ssrc());
    }

    // With the socket full at times: notes, the sysex, a program change and a
    // clock byte right after it still leave in the order sent, and the
    // sequence numbers still rise one by one.
    wire.full = true;
    const std::size_t before = peer->received().size();
    std::vector<Bytes> sent;
    for (int i = 0; i < 300; ++i) {
        sent.push_back({0x90, static_cast<std::uint8_t>(i % 128), 1});
        if (i == 100)
            sent.push_back(big);
        if (i == 101)
            sent.push_back({0xC0, 7});
    }
    for (const auto &m : sent)
        s.session->send(MIDIMessage(m));
    s.session->send(MIDIMessage({0xF8}));

    ASSERT_TRUE(waitUntil([&] { return peer->received().size() == before + sent.size() + 1; }, 10s));
    std::vector<Bytes> got = peer->received();
    got.erase(got.begin(), got.begin() + static_cast<long>(before));
    // Everything in the order sent, the clock byte anywhere before the end.
    const auto clock = std::find(got.begin(), got.end(), Bytes{0xF8});
    ASSERT_NE(clock, got.end());
    got.erase(clock);
    EXPECT_EQ(got, sent);
    std::lock_guard lock(wire.mutex);
    for (std::size_t i = 1; i < wire.packets.size(); ++i)
        ASSERT_EQ(sequenceOf(wire.packets[i]),
                  static_cast<std::uint16_t>(sequenceOf(wire.packets[i - 1]) + 1))
            << i;
}

TEST(RTPMidiSession, SocketsThatFailToOpenAreTriedAgain)
{
    RTPMidiSession::Timing timing;
    timing.openRetryPeriod = 200ms;
    // An address this machine does not have (TEST-NET-1): a state of its own, one line.
    auto config = loopbackConfig("Adresse", freePortPair());
    config.bindAddress = "192.0.2.1";
    SessionProbe missing(config, "KORVANE", timing);
    missing.session->start();
    EXPECT_TRUE(missing.waitState(RTPSessionState::addressUnavailable));
    spinFor(500ms);
    EXPECT_EQ(missing.logs().size(), 1u);
    EXPECT_EQ(missing.logs().at(0).rfind(
                  "RTP Adresse: adresse 192.0.2.1 indisponible, impossible d'ouvrir le port control", 0),
              0u);

    // A port another program holds, freed later: listening at the next try.
    const int port = freePortPair();
    const int blocker = bindLoopback(port);
    SessionProbe s(loopbackConfig("Port", port), "KORVANE", timing);
    s.session->start();
    EXPECT_TRUE(s.waitState(RTPSessionState::portBusy));
    ::close(blocker);
    EXPECT_TRUE(s.waitLog(s.listeningLine(), 1, 1s));
}
