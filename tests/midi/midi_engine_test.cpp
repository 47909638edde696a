#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace korvane;
using korvane::test::waitUntil;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Received = std::pair<EndpointKey, MIDIMessage>;

class MIDIEngineTest : public ::testing::Test {
protected:
    std::shared_ptr<LoopbackMidiService> service = std::make_shared<LoopbackMidiService>();
    std::unique_ptr<MIDIEngine> engine = std::make_unique<MIDIEngine>(service);
    std::mutex receivedMutex;
    std::vector<Received> received;

    void SetUp() override
    {
        engine->setOnInput([this](const EndpointKey &key, const MIDIMessage &message, std::uint64_t) {
            std::lock_guard lock(receivedMutex);
            received.push_back({key, message});
        });
    }

    // Lets the queued publication of the endpoint lists through.
    void settle() { korvane::test::spinFor(std::chrono::milliseconds(20)); }
    static VirtualPortConfig port(std::string name, bool source = true, bool destination = true)
    {
        return {Uuid::create(), std::move(name), source, destination};
    }
    static bool has(const std::vector<MIDIEndpointInfo> &list, const std::string &name)
    {
        return std::any_of(list.begin(), list.end(), [&](const auto &info) { return info.name == name; });
    }
    std::vector<Received> inputs()
    {
        std::lock_guard lock(receivedMutex);
        return received;
    }
};

TEST_F(MIDIEngineTest, ClientFailureIsLoggedThenStartTwiceMakesOneClientAndStopIsIdempotent)
{
    std::vector<std::string> log;
    engine->setSystemLog([&](const std::string &line) { log.push_back(line); });
    service->setOpenStatus(-50);
    service->addSource("Keys", 11);
    engine->start();
    settle();
    EXPECT_FALSE(engine->running());
    EXPECT_EQ(log, std::vector<std::string>{"KORVANE: MIDIClientCreate a échoué (-50)"});
    EXPECT_TRUE(engine->sources().empty());
    engine->applyVirtualPorts({port("Synth")});
    EXPECT_EQ(service->find("Synth Out"), 0u);

    service->setOpenStatus(0);
    engine->start();
    engine->start();
    EXPECT_TRUE(engine->running());
    EXPECT_EQ(service->clientsOpened(), 1);
    EXPECT_EQ(service->openPortCount(), 2);
    engine->stop();
    engine->stop();
    EXPECT_FALSE(engine->running());
    EXPECT_FALSE(service->clientOpen());
    EXPECT_EQ(service->openPortCount(), 0);
}

TEST_F(MIDIEngineTest, PublishesEndpointsWithFallbacksAfterAQueuedHop)
{
    service->addSource("Keys", 11);
    service->addSource(std::nullopt, std::nullopt, true);
    service->addDestination("Synth", -7);
    engine->start();
    EXPECT_TRUE(engine->sources().empty()) << "lists are published through the event loop";
    ASSERT_TRUE(waitUntil([&] { return engine->sources().size() == 2; }));
    const auto &sources = engine->sources();
    EXPECT_EQ(sources[0], (MIDIEndpointInfo{sources[0].ref, 11, "Keys", EndpointRole::source, false, true}));
    EXPECT_EQ(sources[1],
              (MIDIEndpointInfo{sources[1].ref, 0, "Inconnu", EndpointRole::source, false, false}));
    ASSERT_EQ(engine->destinations().size(), 1u);
    EXPECT_EQ(engine->destinations()[0].key(), EndpointKey(EndpointKind::physical, "Synth", -7));
}

TEST_F(MIDIEngineTest, VirtualPortsArePublishedOfferedAndNeverListenedTo)
{
    const auto keys = service->addSource("Keys", 11);
    engine->start();
    engine->applyVirtualPorts({port("Synth"), port("OnlyOut", true, false)});
    ASSERT_TRUE(waitUntil(
        [&] { return has(engine->sources(), "Synth Out") && has(engine->destinations(), "Synth In"); }));
    using Keys = std::vector<EndpointKey>;
    EXPECT_EQ(engine->routableSources(),
              (Keys{{EndpointKind::physical, "Keys", 11}, {EndpointKind::virtual_, "Synth In"}}));
    EXPECT_EQ(engine->routableDestinations(),
              (Keys{{EndpointKind::virtual_, "Synth Out"}, {EndpointKind::virtual_, "OnlyOut Out"}}));

    // Setup changes reconnect nothing twice and never the program's own outputs.
    service->addSource("Pads", 12);
    ASSERT_TRUE(waitUntil([&] { return service->connections().size() == 2; }));
    settle();
    const auto connections = service->connections();
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].source, keys);

    // Re-applying keeps the ports whose names stay, with their input keys...
    const auto synthOut = service->find("Synth Out"), synthIn = service->find("Synth In");
    engine->applyVirtualPorts({port("Synth"), port("Bus")});
    EXPECT_EQ(service->find("Synth Out"), synthOut);
    EXPECT_EQ(service->find("Synth In"), synthIn);
    service->writeToVirtualDestination(synthIn, {0xF8});
    EXPECT_EQ(inputs(), (std::vector<Received>{{{EndpointKind::virtual_, "Synth In"}, {{0xF8}}}}));

    // ...and replaces the others; a name given twice makes one port.
    engine->applyVirtualPorts({port("Bus"), port("Bus")});
    ASSERT_TRUE(
        waitUntil([&] { return has(engine->sources(), "Bus Out") && !has(engine->sources(), "Synth Out"); }));
    EXPECT_EQ(service->find("Synth In"), 0u);
    EXPECT_EQ(engine->routableDestinations(),
              std::vector<EndpointKey>{EndpointKey(EndpointKind::virtual_, "Bus Out")});
}

TEST_F(MIDIEngineTest, InputIsParsedPerSourceAndKeyed)
{
    const auto keys = service->addSource("Keys", 11);
    const auto pads = service->addSource(std::nullopt);
    engine->start();
    engine->applyVirtualPorts({port("Synth")});

    // Running status on two sources at once must not mix.
    service->inject(keys, {0x90, 60, 100}, 777);
    service->inject(pads, {0x91, 36, 90});
    service->inject(keys, {62, 101}, 778);
    service->inject(pads, {37, 91});
    service->writeToVirtualDestination(service->find("Synth In"), {0xC2, 5});

    const EndpointKey k(EndpointKind::physical, "Keys", 11), p(EndpointKind::physical, "Inconnu", 0);
    EXPECT_EQ(inputs(), (std::vector<Received>{{k, {{0x90, 60, 100}, 777}},
                                               {p, {{0x91, 36, 90}}},
                                               {k, {{0x90, 62, 101}, 778}},
                                               {p, {{0x91, 37, 91}}},
                                               {{EndpointKind::virtual_, "Synth In"}, {{0xC2, 5}}}}));
}

TEST_F(MIDIEngineTest, ASourceThatFailedToConnectIsTriedAgainAndATokenDroppedByStopIsIgnored)
{
    const auto keys = service->addSource("Keys", 11);
    service->setConnectStatus(-1);
    engine->start();
    EXPECT_TRUE(service->connections().empty());
    service->setConnectStatus(0);
    service->addSource("Pads", 12); // a setup change
    ASSERT_TRUE(waitUntil([&] { return service->connections().size() == 2; }));
    service->inject(keys, {0x90, 60, 100});
    EXPECT_EQ(inputs().size(), 1u);

    auto late = service->inFlight(keys);
    engine->stop();
    late({0x90, 60, 100});
    engine->start();
    late({0x90, 61, 100});
    EXPECT_EQ(inputs().size(), 1u);
}

TEST_F(MIDIEngineTest, ResolvesOwnVirtualThenUniqueIdThenName)
{
    const auto synth = service->addDestination("Synth", 42);
    const auto piano = service->addDestination("Piano", 0);
    service->addDestination("Dup", 5);
    const auto dupLast = service->addDestination("Dup", 6);
    engine->start();
    engine->applyVirtualPorts({port("Synth")});
    const auto ownOut = service->find("Synth Out");
    const auto ownIn = service->find("Synth In");

    const std::pair<EndpointKey, std::optional<ResolvedDestination>> cases[] = {
        {{EndpointKind::virtual_, "Synth Out"}, ResolvedDestination{ownOut, true}},
        {{EndpointKind::virtual_, "Synth"}, ResolvedDestination{synth, false}},
        {{EndpointKind::physical, "Synth Out"}, std::nullopt},
        {{EndpointKind::physical, "Renamed", 42}, ResolvedDestination{synth, false}},
        {{EndpointKind::physical, "Piano", 0}, ResolvedDestination{piano, false}},
        {{EndpointKind::physical, "Piano", 999}, ResolvedDestination{piano, false}},
        {{EndpointKind::physical, "Dup"}, ResolvedDestination{dupLast, false}},
        {{EndpointKind::physical, "Synth In"}, ResolvedDestination{ownIn, false}},
        {{EndpointKind::rtp, "Piano"}, ResolvedDestination{piano, false}},
        {{EndpointKind::physical, "Nobody", 7}, std::nullopt},
    };
    for (const auto &[key, expected] : cases)
        EXPECT_EQ(engine->resolveDestinationRef(key), expected) << key.id();

    engine->send(MIDIMessage({0x90, 60, 1}), {EndpointKind::virtual_, "Synth Out"});
    engine->send(MIDIMessage({0x90, 61, 1}), {EndpointKind::physical, "x", 42});
    engine->send(MIDIMessage(Bytes{}), {EndpointKind::physical, "Piano"});
    engine->send(MIDIMessage({0x90, 62, 1}), {EndpointKind::physical, "Nobody"});
    const std::vector<LoopbackMidiService::Delivery> expected{
        {ownOut, true, {0x90, 60, 1}},
        {synth, false, {0x90, 61, 1}},
    };
    EXPECT_EQ(service->deliveries(), expected);

    engine->stop();
    settle();
    EXPECT_FALSE(engine->resolveDestinationRef({EndpointKind::physical, "Piano"}));
    EXPECT_FALSE(engine->resolveDestinationRef({EndpointKind::virtual_, "Synth Out"}));
    EXPECT_TRUE(engine->destinations().empty());
}

TEST_F(MIDIEngineTest, PanicSendsBothControllersOnEveryChannelOfEveryDestinationInOrder)
{
    const auto first = service->addDestination("A", 1);
    const auto second = service->addDestination("B", 2);
    engine->start();
    ASSERT_TRUE(waitUntil([&] { return engine->destinations().size() == 2; }));
    engine->panic();

    std::vector<LoopbackMidiService::Delivery> expected;
    for (auto dest : {first, second})
        for (std::uint8_t status = 0xB0; status <= 0xBF; ++status) // channels 1 to 16
            for (std::uint8_t controller : {123, 120})
                expected.push_back({dest, false, {status, controller, 0}});
    EXPECT_EQ(service->deliveries(), expected);

    // Own virtual outputs come after the published destinations.
    service->clearDeliveries();
    engine->applyVirtualPorts({port("Bus", true, false)});
    ASSERT_TRUE(waitUntil([&] { return engine->sources().size() == 1; }));
    engine->panic();
    const auto withVirtual = service->deliveries();
    ASSERT_EQ(withVirtual.size(), 96u);
    EXPECT_EQ(withVirtual[64],
              (LoopbackMidiService::Delivery{service->find("Bus Out"), true, {0xB0, 123, 0}}));
}

TEST_F(MIDIEngineTest, ServerShutdownStopsTheEngineAndALaterStartWorks)
{
    service->addSource("Keys", 11);
    engine->start();
    engine->applyVirtualPorts({port("Synth")});
    ASSERT_TRUE(waitUntil([&] { return engine->sources().size() == 2; }));

    service->simulateShutdown();
    ASSERT_TRUE(waitUntil([&] { return !engine->running() && engine->sources().empty(); }));
    EXPECT_FALSE(service->clientOpen());

    engine->start();
    ASSERT_TRUE(waitUntil([&] { return engine->sources().size() == 1; }));
    EXPECT_TRUE(engine->running());

    // A notice queued for an earlier client must not stop the current one.
    service->simulateShutdown();
    engine->stop();
    engine->start();
    settle();
    EXPECT_TRUE(engine->running());
}

} // namespace
