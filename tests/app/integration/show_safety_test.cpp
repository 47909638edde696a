// The controller on the JACK server scripts/test.sh starts: a device that
// vanishes is always reported, and stopping never lets a note through after
// the panic.

#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "midi/midi_engine.h"
#include "midi/service/jack/jack_midi_service.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

    std::atomic<bool> playing{true};
    std::thread player([&] {
        for (std::uint8_t note = 0; playing; note = (note + 1) % 128) {
            const std::size_t sent = keys.departures().size();
            keys.send({0x90, note, 100});
            while (playing && keys.departures().size() == sent)
                std::this_thread::sleep_for(100us);
        }
    });
    ASSERT_TRUE(waitUntil([&] { return synth.received().size() > 20; }));
    state->stopEngine();
    test::spinFor(100ms);
    playing = false;
    player.join();

    const auto received = synth.receivedBytes();
    const auto lastPanic = std::find_if(received.rbegin(), received.rend(), [](const Bytes &m) {
        return m.size() == 3 && (m[0] & 0xF0) == 0xB0 && m[1] == 123;
    });
    ASSERT_NE(lastPanic, received.rend()) << "no panic arrived";
    EXPECT_TRUE(std::none_of(received.rbegin(), lastPanic, [](const Bytes &m) {
        return m.size() == 3 && (m[0] & 0xF0) == 0x90 && m[2] != 0;
    }));
}

} // namespace
} // namespace korvane
