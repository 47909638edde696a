// Two sessions talking through a relay on 127.0.0.1 that loses datagrams or
// blocks them all for a while, as a bad network would.

#include "net/integration/rtp_test_support.h"

#include <poll.h>

#include <atomic>
#include <thread>

using namespace korvane;
using namespace korvane::test;

namespace {

// Stands between an initiator (which invites the relay's front ports) and a
// listener (which sees the relay's back ports as its peer). Every datagram
// crosses with probability 1 - lossRate, none while blocked.
class LossyRelay {
public:
    LossyRelay(int listenerPort, double lossRate)
        : m_listenerPort(listenerPort), m_lossRate(lossRate), m_front(freePortPair()), m_back(freePortPair())
    {
        m_fds = {bindLoopback(m_front), bindLoopback(m_front + 1), bindLoopback(m_back), bindLoopback(m_back + 1)};
        for (int fd : m_fds)
            EXPECT_GE(fd, 0);
        m_thread = std::thread([this] { run(); });
    }
    ~LossyRelay()
    {
        m_quit = true;
        m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }

    int frontPort() const { return m_front; }
    void setBlocked(bool blocked) { m_blocked = blocked; }
    int droppedNotes() const { return m_droppedNotes; }

private:
    void run()
    {
        std::mt19937 rng(20261207);
        std::bernoulli_distribution lose(m_lossRate);
        sockaddr_in initiator[2]{};
        Bytes buffer(65535);
        while (!m_quit) {
            pollfd pfds[4];
            for (int i = 0; i < 4; ++i)
                pfds[i] = {m_fds[i], POLLIN, 0};
            if (::poll(pfds, 4, 20) <= 0)
                continue;
            for (int i = 0; i < 4; ++i) {
                if (!(pfds[i].revents & POLLIN))
                    continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = ::recvfrom(m_fds[i], buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr *>(&from), &length);
                if (n <= 0)
                    continue;
                const bool data = i % 2 == 1, fromInitiator = i < 2;
                if (fromInitiator)
                    initiator[data] = from;
                const bool note = fromInitiator && data && n == 16 && buffer[13] == 0x90;
                if (m_blocked || lose(rng)) {
                    m_droppedNotes += note ? 1 : 0;
                    continue;
                }
                // Out through the socket of the same kind on the other side.
                const int out = m_fds[(fromInitiator ? 2 : 0) + data];
                const sockaddr_in to = fromInitiator ? loopback(m_listenerPort + data) : initiator[data];
                ::sendto(out, buffer.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr *>(&to),
                         sizeof to);
            }
        }
    }

    const int m_listenerPort;
    const double m_lossRate;
    const int m_front, m_back;
    std::array<int, 4> m_fds{};
    std::atomic<bool> m_quit{false}, m_blocked{false};
    std::atomic<int> m_droppedNotes{0};
    std::thread m_thread;
};

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

TEST(RTPLossyNetwork, SysexWholeOrNothingNotesLoseOnlyWhatWasDroppedAndTheSessionHeals)
{
    const int listenerPort = freePortPair();
    LossyRelay relay(listenerPort, 0.05);
    SessionProbe b(loopbackConfig("Scène", listenerPort), "Régie B", scaledTiming());
    SessionProbe a(initiatorConfig("Salle", freePortPair(), relay.frontPort()), "Régie A", scaledTiming());
    ASSERT_TRUE(b.startListening());
    a.session->start();
    ASSERT_TRUE(a.waitPeers({"Régie B"}));

    // 1,000 notes, a 100 kB sysex among them.
    const Bytes big = sysexOf(100 * 1000);
    for (int i = 0; i < 1000; ++i) {
        a.session->send(kNoteOn);
        if (i == 300)
            a.session->send(MIDIMessage(big));
        if (i % 50 == 0)
            spinFor(5ms);
    }
    spinFor(500ms);
    long notes = 0;
    for (const auto &m : b.received()) {
        if (m == kNoteOn.bytes)
            ++notes;
        else
            EXPECT_EQ(m, big) << "only the whole sysex may arrive";
    }
    EXPECT_GE(notes, 1000 - relay.droppedNotes());
    EXPECT_LE(notes, 1000);
    EXPECT_GT(relay.droppedNotes(), 0);

    // Blocked for longer than the initiator's timeout: it drops the remote,
    // then invites it again until the way is open.
    relay.setBlocked(true);
    EXPECT_TRUE(a.waitLog("RTP Salle: pair Régie B hors-ligne (timeout)"));
    spinFor(250ms);
    relay.setBlocked(false);
    ASSERT_TRUE(a.waitPeers({"Régie B"}));
    EXPECT_EQ(a.countLogs("RTP Salle: session établie avec Régie B"), 2);

    // MIDI flows again (some of these few may still be lost on the way).
    const auto before = b.received().size();
    for (int i = 0; i < 20; ++i)
        a.session->send(MIDIMessage({0x91, 0x40, 0x7F}));
    EXPECT_TRUE(waitUntil([&] {
        const auto all = b.received();
        return std::find(all.begin() + static_cast<long>(before), all.end(), Bytes{0x91, 0x40, 0x7F}) != all.end();
    }));
}
