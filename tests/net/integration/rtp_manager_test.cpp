#include "net/integration/rtp_test_support.h"
#include "net/rtp_manager.h"

#include <QElapsedTimer>
#include <QSignalSpy>

#include <future>

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

long countPrefix(const RTPManager &m, const std::string &prefix)
{
    return std::count_if(m.logLines().begin(), m.logLines().end(),
                         [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

bool applyAndListen(RTPManager &manager, const std::vector<RTPSessionConfig> &configs)
{
    manager.apply(configs);
    return waitUntil([&] {
        return std::all_of(configs.begin(), configs.end(), [&](const RTPSessionConfig &c) {
            return countPrefix(manager, "RTP " + c.name + ": écoute sur " + std::to_string(c.localPort)) == 1;
        });
    });
}

} // namespace

TEST(RTPManager, DisabledConfigsGetNoSession)
{
    RTPManager manager;
    auto on = loopbackConfig("Actif", freePortPair());
    auto off = loopbackConfig("Inactif", freePortPair());
    off.enabled = false;
    manager.apply({off, on});
    EXPECT_EQ(manager.routableKeys(), (std::vector<EndpointKey>{EndpointKey(EndpointKind::rtp, "Actif")}));
    ASSERT_TRUE(waitUntil([&] { return countPrefix(manager, "RTP Actif: écoute sur") == 1; }));
    spinFor(100ms);
    EXPECT_EQ(countPrefix(manager, "RTP Inactif"), 0);

    // Two enabled configurations with one id: the first one keeps it.
    auto twin = loopbackConfig("Jumeau", freePortPair());
    twin.id = on.id;
    manager.apply({on, twin});
    EXPECT_EQ(manager.routableKeys(), (std::vector<EndpointKey>{EndpointKey(EndpointKind::rtp, "Actif")}));

    manager.stopAll();
    EXPECT_TRUE(manager.routableKeys().empty());
    // Unchanged by the second apply, "Actif" ran on: one stop only.
    EXPECT_TRUE(waitUntil([&] { return countPrefix(manager, "RTP Actif: arrêté") == 1; }));
    EXPECT_EQ(countPrefix(manager, "RTP Jumeau"), 0);
}

TEST(RTPManager, ApplyKeepsUnchangedSessionsAndRestartsChangedOnes)
{
    RTPManager manager;
    manager.setLocalName("Mon projet");
    auto kept = loopbackConfig("Scène", freePortPair()), moved = loopbackConfig("Retour", freePortPair());
    ASSERT_TRUE(applyAndListen(manager, {kept, moved}));
    const auto peer = inviter(kept.localPort, "Distant");
    ASSERT_TRUE(peer->waitPeers({"Mon projet"}));
    const std::string bye =
        "RTP Pair: Mon projet (127.0.0.1:" + std::to_string(kept.localPort) + ") a quitté la session";

    // Another session changes: the unchanged one keeps its peer and its ports.
    moved.localPort = freePortPair();
    ASSERT_TRUE(applyAndListen(manager, {kept, moved}));
    EXPECT_EQ(countPrefix(manager, "RTP Retour: arrêté"), 1);
    EXPECT_EQ(countPrefix(manager, "RTP Scène: "), 1 + 1); // "écoute sur", "session établie"
    EXPECT_EQ(manager.peersBySession().at(kept.id), std::vector<std::string>{"Distant"});
    EXPECT_EQ(peer->countLogs(bye), 0) << "no goodbye to the unchanged session's peer";
    EXPECT_EQ(peer->peerReports.back(), std::vector<std::string>{"Mon projet"});

    // Changed itself: goodbye under the old name, same ports bound again.
    manager.setLocalName("Autre nom");
    kept.name = "Scène 2";
    manager.apply({kept});
    EXPECT_TRUE(peer->waitLog(bye));
    ASSERT_TRUE(waitUntil([&] { return countPrefix(manager, "RTP Scène 2: écoute sur") == 1; }));
    EXPECT_EQ(countPrefix(manager, "RTP Scène 2: impossible d'ouvrir"), 0);
    // The peer invites again and meets the new name.
    EXPECT_TRUE(peer->waitPeers({"Autre nom"}));

    manager.stopAll();
    EXPECT_TRUE(manager.routableKeys().empty());
    EXPECT_TRUE(manager.peersBySession().empty());
}

TEST(RTPManager, AHostLookupThatNeverEndsHoldsNothingUp)
{
    RTPManager manager;
    std::promise<void> gate;
    manager.setResolver([opened = gate.get_future().share()](const std::string &host) {
        if (host != "absent.invalid")
            opened.wait();
        return std::optional<std::uint32_t>();
    });
    auto hung = initiatorConfig("Bloqué", freePortPair(), 5004),
         absent = initiatorConfig("Absent", freePortPair(), 5004);
    hung.remoteHost = "never.answers";
    absent.remoteHost = "absent.invalid";
    ASSERT_TRUE(applyAndListen(manager, {hung, absent}));
    const std::map<Uuid, RTPSessionState> states{{hung.id, RTPSessionState::listening},
                                                 {absent.id, RTPSessionState::hostNotFound}};
    EXPECT_TRUE(waitUntil([&] {
        std::map<Uuid, RTPSessionState> seen;
        for (const auto &[id, status] : manager.statusBySession())
            seen[id] = status.state;
        return seen == states;
    }));
    EXPECT_EQ(countPrefix(manager, "RTP Absent: hôte distant invalide (absent.invalid)"), 1);

    QElapsedTimer clock;
    clock.start();
    manager.apply({});
    EXPECT_LT(clock.elapsed(), 2000) << "the stop waited for the lookup";
    EXPECT_TRUE(manager.statusBySession().empty());
    gate.set_value();
}

TEST(RTPManager, SendToKeyReachesEverySessionOfThatNameAndPanicEveryPeerInOrder)
{
    RTPManager manager;
    const auto x1 = loopbackConfig("X", freePortPair()), x2 = loopbackConfig("X", freePortPair()),
               y = loopbackConfig("Y", freePortPair());
    ASSERT_TRUE(applyAndListen(manager, {x1, x2, y}));
    const auto p1 = inviter(x1.localPort, "p1"), p2 = inviter(x2.localPort, "p2"),
               p3 = inviter(y.localPort, "p3");
    for (const auto *p : {p1.get(), p2.get(), p3.get()})
        ASSERT_TRUE(p->waitPeers({"KORVANE"}));

    manager.sendToKey(EndpointKey(EndpointKind::physical, "X"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::virtual_, "X"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "x"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "Z"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "X"), MIDIMessage({0x80, 0x3C, 0x00}));

    for (const auto *p : {p1.get(), p2.get()}) {
        ASSERT_TRUE(p->waitReceived(1));
        EXPECT_EQ(p->received(), std::vector<Bytes>{Bytes({0x80, 0x3C, 0x00})});
    }
    spinFor(200ms);
    EXPECT_TRUE(p3->received().empty());

    manager.panic();
    for (const auto *p : {p1.get(), p2.get()})
        EXPECT_TRUE(p->waitReceived(1 + 32));
    ASSERT_TRUE(p3->waitReceived(32));
    const auto got = p3->received();
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(got.front(), (Bytes{0xB0, 123, 0}));
    EXPECT_EQ(got[1], (Bytes{0xB0, 120, 0}));
    EXPECT_EQ(got.back(), (Bytes{0xBF, 120, 0}));

    // What cannot be sent is counted: a message longer than one command
    // section that cannot be split.
    Bytes unterminated(5000, 0x01);
    unterminated.front() = 0xF0;
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "Y"), MIDIMessage(unterminated));
    EXPECT_TRUE(waitUntil([&] { return manager.droppedMessages() == 1; }));
    manager.stopAll(true);
    EXPECT_EQ(manager.droppedMessages(), 1u) << "kept after the session is gone";
}

TEST(RTPManager, KeepsOnlyTheNewestLogLinesUpToItsCapacity)
{
    RTPManager manager;
    manager.setLogCapacity(3);
    QSignalSpy added(&manager, &RTPManager::logLineAdded);
    std::vector<RTPSessionConfig> configs;
    for (int i = 0; i < 5; ++i)
        configs.push_back(loopbackConfig("s" + std::to_string(i), 0)); // one line each
    manager.apply(configs);
    ASSERT_TRUE(waitUntil([&] { return added.count() == 5; }));
    std::deque<std::string> newest;
    for (int i = 2; i < 5; ++i)
        newest.push_back(added.at(i).at(0).toString().toStdString());
    EXPECT_EQ(manager.logLines(), newest) << "every line signalled, the oldest ones dropped";
}
