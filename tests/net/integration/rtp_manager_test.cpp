#include "net/integration/rtp_test_support.h"
#include "net/rtp_manager.h"

#include "midi/midi_router.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;
using AppleMIDI::Command;

namespace {

const MIDIMessage kNoteOn({0x90, 0x3C, 0x64});

bool isData(const AppleMIDI::Bytes &b)
{
    return !AppleMIDI::isSessionCommand(b);
}

bool isBye(const AppleMIDI::Bytes &b)
{
    const auto e = AppleMIDI::decodeExchange(b);
    return e && e->command == Command::bye;
}

bool hasLine(const RTPManager &m, const std::string &line)
{
    const auto &lines = m.logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string listening(const RTPSessionConfig &c)
{
    return "RTP " + c.name + ": écoute sur " + std::to_string(c.localPort) + "/" +
           std::to_string(c.localPort + 1);
}

long countPrefix(const RTPManager &m, const std::string &prefix)
{
    return std::count_if(m.logLines().begin(), m.logLines().end(),
                         [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
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
    ASSERT_TRUE(waitUntil([&] { return countPrefix(manager, listening(on)) == 1; }));
    spinFor(100ms);
    EXPECT_EQ(countPrefix(manager, "RTP Inactif"), 0);

    // Two enabled configurations with one id: the first one keeps it.
    auto twin = loopbackConfig("Jumeau", freePortPair());
    twin.id = on.id;
    manager.apply({on, twin});
    EXPECT_EQ(manager.routableKeys(), (std::vector<EndpointKey>{EndpointKey(EndpointKind::rtp, "Actif")}));

    manager.stopAll();
    EXPECT_TRUE(manager.routableKeys().empty());
    EXPECT_TRUE(waitUntil([&] { return countPrefix(manager, "RTP Actif: arrêté") == 2; }));
    EXPECT_EQ(countPrefix(manager, "RTP Jumeau"), 0);
}

TEST(RTPManager, ApplyingTheSameListTwiceRebindsTheSamePorts)
{
    FakePeer peer;
    ASSERT_TRUE(peer.ok());
    RTPManager manager;
    manager.setLocalName("Mon projet");
    const auto config = loopbackConfig("Scène", freePortPair());
    manager.apply({config});
    ASSERT_TRUE(waitUntil([&] { return countPrefix(manager, listening(config)) == 1; }));
    ASSERT_TRUE(peer.establishWith(config.localPort, "Distant"));
    ASSERT_TRUE(waitUntil([&] {
        return manager.peersBySession() == std::map<Uuid, std::vector<std::string>>{{config.id, {"Distant"}}};
    }));

    // A running session keeps the name it was created with.
    manager.setLocalName("Autre nom");
    manager.apply({config});
    // The old session said goodbye before apply() returned.
    const auto bye = peer.receiveMatching(false, isBye, 50ms);
    ASSERT_TRUE(bye);
    EXPECT_EQ(AppleMIDI::decodeExchange(*bye)->name, "Mon projet");
    ASSERT_TRUE(waitUntil([&] { return countPrefix(manager, listening(config)) == 2; }));
    EXPECT_EQ(countPrefix(manager, "RTP Scène: impossible d'ouvrir"), 0);
    EXPECT_TRUE(manager.peersBySession().empty());

    // The new session answers on the same ports, with the new name.
    peer.sendControl(AppleMIDI::encodeExchange({Command::invitation, 9, 0x5151, "Distant"}),
                     config.localPort);
    const auto ok = peer.receive(false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(AppleMIDI::decodeExchange(*ok)->name, "Autre nom");
    peer.sendData(AppleMIDI::encodeExchange({Command::invitation, 9, 0x5151, "Distant"}),
                  config.localPort + 1);
    EXPECT_TRUE(waitUntil([&] {
        return manager.peersBySession() == std::map<Uuid, std::vector<std::string>>{{config.id, {"Distant"}}};
    }));

    manager.stopAll();
    EXPECT_TRUE(manager.routableKeys().empty());
    for (const auto &[id, labels] : manager.peersBySession())
        EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(peer.receiveMatching(false, isBye, 50ms));
}

TEST(RTPManager, SendToKeyReachesEverySessionOfThatName)
{
    FakePeer p1, p2, p3;
    ASSERT_TRUE(p1.ok() && p2.ok() && p3.ok());
    RTPManager manager;
    const auto x1 = loopbackConfig("X", freePortPair());
    auto x2 = loopbackConfig("X", freePortPair());
    while (std::abs(x2.localPort - x1.localPort) < 2)
        x2.localPort = freePortPair();
    auto y = loopbackConfig("Y", freePortPair());
    while (std::abs(y.localPort - x1.localPort) < 2 || std::abs(y.localPort - x2.localPort) < 2)
        y.localPort = freePortPair();
    manager.apply({x1, x2, y});
    ASSERT_TRUE(waitUntil([&] {
        return countPrefix(manager, listening(x1)) == 1 && countPrefix(manager, listening(x2)) == 1 &&
               countPrefix(manager, listening(y)) == 1;
    }));
    ASSERT_TRUE(p1.establishWith(x1.localPort, "p1"));
    ASSERT_TRUE(p2.establishWith(x2.localPort, "p2"));
    ASSERT_TRUE(p3.establishWith(y.localPort, "p3"));

    manager.sendToKey(EndpointKey(EndpointKind::physical, "X"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::virtual_, "X"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "x"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "Z"), kNoteOn);
    manager.sendToKey(EndpointKey(EndpointKind::rtp, "X"), MIDIMessage({0x80, 0x3C, 0x00}));

    for (FakePeer *p : {&p1, &p2}) {
        const auto packet = p->receiveMatching(true, isData);
        ASSERT_TRUE(packet);
        ASSERT_EQ(AppleMIDI::decodeRTP(*packet).size(), 1u);
        EXPECT_EQ(AppleMIDI::decodeRTP(*packet)[0].bytes, (std::vector<std::uint8_t>{0x80, 0x3C, 0x00}));
    }
    EXPECT_FALSE(p3.receiveMatching(true, isData, 200ms));
}

TEST(RTPManager, IncomingMidiGoesThroughTheRouter)
{
    FakePeer in, out;
    ASSERT_TRUE(in.ok() && out.ok());
    RTPManager manager;
    auto router = std::make_shared<MIDIRouter>();
    router->setRtpSend(
        [&manager](const EndpointKey &key, const MIDIMessage &m) { manager.sendToKey(key, m); });
    Route route(EndpointKey(EndpointKind::rtp, "Entrée"));
    route.destinations = {EndpointKey(EndpointKind::rtp, "Sortie")};
    router->updateConfiguration({route}, {});
    manager.setRouter(router);

    const auto a = loopbackConfig("Entrée", freePortPair());
    auto b = loopbackConfig("Sortie", freePortPair());
    while (std::abs(b.localPort - a.localPort) < 2)
        b.localPort = freePortPair();
    manager.apply({a, b});
    ASSERT_TRUE(waitUntil(
        [&] { return countPrefix(manager, listening(a)) == 1 && countPrefix(manager, listening(b)) == 1; }));
    ASSERT_TRUE(in.establishWith(a.localPort, "in"));
    ASSERT_TRUE(out.establishWith(b.localPort, "out"));

    in.sendData(AppleMIDI::encodeRTP(kNoteOn, 1, 0, 0x5151), a.localPort + 1);
    const auto forwarded = out.receiveMatching(true, isData);
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(AppleMIDI::decodeRTP(*forwarded)[0].bytes, kNoteOn.bytes);

    // The link is weak: once the router is gone, incoming MIDI goes nowhere.
    router.reset();
    in.sendData(AppleMIDI::encodeRTP(kNoteOn, 2, 0, 0x5151), a.localPort + 1);
    EXPECT_FALSE(out.receiveMatching(true, isData, 200ms));
}

TEST(RTPManager, KeepsTheLastTwoHundredLogLines)
{
    RTPManager manager;
    QSignalSpy added(&manager, &RTPManager::logLineAdded);
    manager.apply({loopbackConfig("premier", 0)});
    ASSERT_TRUE(waitUntil([&] { return hasLine(manager, "RTP premier: port local invalide (0)"); }));

    // "arrêté" of the first session, then one line per new session: 201 lines.
    std::vector<RTPSessionConfig> many;
    for (int i = 0; i < 199; ++i)
        many.push_back(loopbackConfig("s" + std::to_string(i), 0));
    manager.apply(many);
    ASSERT_TRUE(waitUntil([&] { return added.count() == 201; }, 10s));
    EXPECT_EQ(manager.logLines().size(), RTPManager::maxLogLines);
    EXPECT_EQ(manager.logLines().front(), "RTP premier: arrêté");
    EXPECT_FALSE(hasLine(manager, "RTP premier: port local invalide (0)"));
    EXPECT_EQ(added.first().at(0).toString(), QStringLiteral("RTP premier: port local invalide (0)"));

    manager.stopAll();
    ASSERT_TRUE(waitUntil([&] { return added.count() == 400; }, 10s));
    EXPECT_EQ(manager.logLines().size(), RTPManager::maxLogLines);
    EXPECT_TRUE(manager.logLines().back().ends_with(": arrêté"));
}
