// The controller on the JACK server scripts/test.sh starts: a device that
// vanishes is always reported, and stopping never lets a note through after
// the panic.

#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "midi/midi_engine.h"
#include "midi/service/jack/jack_backend.h"
#include "midi/service/loopback/loopback_midi_service.h"
#include "net/integration/rtp_test_support.h"
#include "net/rtp_manager.h"
#include "net/rtp_midi_session.h"
#include "stop_panic.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::JackTestClient;
using test::waitUntil;

EndpointKey portKey(const std::string &port)
{
    return EndpointKey(EndpointKind::physical, port, jackPortUniqueID(port));
}

class ShowSafetyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        JackTestClient probe("korvane-probe");
        ASSERT_TRUE(probe.ok()) << "needs a JACK server (scripts/test.sh starts one)";
        ASSERT_TRUE(probe.ports("^KORVANE[:]").empty()) << "another KORVANE client is on this JACK server";
        state = std::make_unique<AppState>(makeJackMidiService(), std::make_shared<test::FakePrompts>());
    }
    void TearDown() override { state.reset(); }

    void install(std::vector<Route> routes, std::vector<DeviceRef> devices = {})
    {
        state->mutateProject([&](TOVProject &p) {
            p.routes = std::move(routes);
            p.devices = std::move(devices);
            p.settings.panicOnStop = true;
        });
        state->applyAll();
        ASSERT_TRUE(state->engine().running());
    }

    std::unique_ptr<AppState> state;
};

bool missing(const AppState &state, const EndpointKey &key)
{
    const auto &list = state.missingDevices();
    return std::any_of(list.begin(), list.end(), [&](const EndpointKey &k) { return k.id() == key.id(); });
}

// A sending program killed and started again, twenty times: each time the
// alarm within a second of its going, and the all-clear within a second of
// its coming back.
TEST_F(ShowSafetyTest, AKilledProgramIsReportedEveryTimeWithinASecond)
{
    const std::string port = "korvane-seq:out";
    DeviceRef device;
    device.key = portKey(port);
    install({}, {device});
    QProcess program;
    const auto start = [&] {
        // A note every half second, for as long as it runs.
        program.start("jack_midiseq", {"korvane-seq", "24000", "0", "60", "2400"});
        return program.waitForStarted(5000);
    };
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitUntil([&] { return !missing(*state, device.key); }, 5s));
    for (int cycle = 0; cycle < 20; ++cycle) {
        program.kill();
        program.waitForFinished(5000);
        EXPECT_TRUE(waitUntil([&] { return missing(*state, device.key); }, 1s)) << "kill " << cycle;
        ASSERT_TRUE(start());
        EXPECT_TRUE(waitUntil([&] { return !missing(*state, device.key); }, 2s)) << "restart " << cycle;
    }
    program.kill();
    program.waitForFinished(5000);
}

// Notes keep coming, one per cycle, while the engine stops with a panic:
// none reaches the destination after its last all-notes-off.
TEST_F(ShowSafetyTest, NoNoteOnReachesADestinationAfterTheStopPanic)
{
    JackTestClient keys("korvane-stop-keys", {}, JackTestClient::outOnly);
    JackTestClient synth("korvane-stop-synth", {}, JackTestClient::inOnly);
    ASSERT_TRUE(keys.ok() && synth.ok());
    Route route(portKey(keys.outPort()));
    route.destinations = {portKey(synth.inPort())};
    install({route});
    ASSERT_TRUE(waitUntil([&] { return !synth.connections(synth.inPort()).empty(); }));
    ASSERT_TRUE(synth.waitTwoCycles() && synth.waitTwoCycles());

    test::NotePerCycle player(keys);
    ASSERT_TRUE(waitUntil([&] { return synth.received().size() > 20; }));
    state->stopEngine();
    test::spinFor(100ms);
    player.stop();
    EXPECT_TRUE(test::silentAfterLastPanic(synth.receivedBytes()));
}

// A network peer holding two notes and the pedal leaves (its BY): the
// destination gets their note-offs and the pedal off.
TEST(ShowSafetyNetworkTest, APeerThatLeavesReleasesItsNotes)
{
    auto service = std::make_shared<LoopbackMidiService>();
    service->addDestination("Synth", 7);
    AppState state(service, std::make_shared<test::FakePrompts>());
    const int ownPort = test::freePortPair(), peerPort = test::freePortPair();
    ASSERT_TRUE(ownPort > 0 && peerPort > 0);
    state.mutateProject([&](TOVProject &p) {
        p.rtpSessions = {test::loopbackConfig("Scène", ownPort)};
        Route route(EndpointKey(EndpointKind::rtp, "Scène"));
        route.destinations = {EndpointKey(EndpointKind::physical, "Synth", 7)};
        p.routes = {route};
    });
    state.applyAll();
    RTPMidiSession peer(test::initiatorConfig("Console", peerPort, ownPort), "console");
    peer.start();
    ASSERT_TRUE(waitUntil(
        [&] {
            return !state.rtp().peersBySession().empty() &&
                   !state.rtp().peersBySession().begin()->second.empty();
        },
        10s));
    const auto sent = [&] {
        std::vector<Bytes> bytes;
        for (const auto &delivery : service->deliveries())
            bytes.push_back(delivery.bytes);
        return bytes;
    };
    for (const Bytes &m : {Bytes{0x90, 60, 100}, Bytes{0x90, 62, 100}, Bytes{0xB0, 64, 127}})
        peer.send(MIDIMessage(m));
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 3; }));

    peer.stop();
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 6; }, 2s));
    const auto all = sent();
    EXPECT_EQ(std::vector<Bytes>(all.begin() + 3, all.end()),
              (std::vector<Bytes>{{0x80, 60, 0}, {0x80, 62, 0}, {0xB0, 64, 0}}));
}

} // namespace
} // namespace korvane
