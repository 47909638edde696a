// Which JACK client holds which port and which connections exist, with
// routing inside the JACK cycle: data alone does not show a loop in the
// graph, which costs a period.

#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "midi/realtime_routing_link.h"
#include "midi/service/jack/jack_backend.h"
#include "support/test_support.h"

#include "support/jack_test_client.h"

#include <gtest/gtest.h>

#include <set>

using namespace korvane;
using korvane::test::JackTestClient;
using korvane::test::waitUntil;

namespace {

TEST(JackGraphShapeTest, OneClientRoutesBetweenProgramsInTheCycleTheNoteArrived)
{
    JackTestClient keys("korvane-shape-keys", {}, JackTestClient::outOnly);
    JackTestClient synth("korvane-shape-synth", {}, JackTestClient::inOnly);
    ASSERT_TRUE(keys.ok() && synth.ok()) << "needs a JACK server (scripts/test.sh starts one)";
    ASSERT_TRUE(keys.ports("^KORVANE").empty()) << "another KORVANE client is on this JACK server";

    auto engine = std::make_shared<MIDIEngine>(makeJackMidiService());
    auto router = std::make_shared<MIDIRouter>();
    auto monitor = std::make_shared<MIDIMonitor>();
    router->setEngine(engine);
    router->setMonitor(monitor);
    std::atomic<int> viaInputThread{0};
    engine->setOnInput([&](const EndpointKey &, const MIDIMessage &, std::uint64_t) { ++viaInputThread; });
    auto link = RealtimeRoutingLink::attach(engine, router);
    engine->start();
    ASSERT_TRUE(engine->running());
    engine->applyVirtualPorts({VirtualPortConfig{Uuid::create(), "Bus", true, true}});

    Route route(EndpointKey(EndpointKind::physical, keys.outPort(), jackPortUniqueID(keys.outPort())));
    route.destinations = {EndpointKey(EndpointKind::physical, synth.inPort()),
                          EndpointKey(EndpointKind::virtual_, "Bus Out")};
    router->updateConfiguration({route}, {});

    // Every port of ours sits on the one client "KORVANE": one input per
    // source, one output per destination, and the virtual pair.
    ASSERT_TRUE(waitUntil([&] {
        return keys.connections(keys.outPort()).size() == 1 && synth.connections(synth.inPort()).size() == 1;
    }));
    const std::string input = keys.connections(keys.outPort()).front();
    const std::string output = synth.connections(synth.inPort()).front();
    EXPECT_TRUE(input.starts_with("KORVANE:from " + keys.outPort() + " #")) << input;
    EXPECT_TRUE(output.starts_with("KORVANE:to " + synth.inPort() + " #")) << output;
    std::set<std::string> clients;
    for (const std::string &port : keys.ports("^KORVANE"))
        clients.insert(port.substr(0, port.find(':')));
    EXPECT_EQ(clients, std::set<std::string>{"KORVANE"});
    EXPECT_EQ(jack_port_flags(jack_port_by_name(keys.client(), "KORVANE:Bus In")) & JackPortIsInput,
              JackPortIsInput);
    EXPECT_EQ(jack_port_flags(jack_port_by_name(keys.client(), "KORVANE:Bus Out")) & JackPortIsOutput,
              JackPortIsOutput);
    // Between ports of ours, only the output that reaches our own virtual
    // input (where panic and sends to it go, a connection within the client
    // that JACK keeps out of the ordering); KORVANE never listens to its own
    // outputs.
    for (const std::string &port : keys.ports("^KORVANE:")) {
        for (const std::string &peer : keys.connections(port)) {
            if (peer.starts_with("KORVANE:")) {
                EXPECT_TRUE((port.starts_with("KORVANE:to Bus In #") && peer == "KORVANE:Bus In") ||
                            (port == "KORVANE:Bus In" && peer.starts_with("KORVANE:to Bus In #")))
                    << port << " -> " << peer;
            }
        }
    }

    // A route between them runs in the cycle the note arrived in. A cycle
    // the loaded machine runs late may delay one note; not every one.
    int sameCycle = 0;
    for (std::uint8_t note = 0; note < 10; ++note) {
        keys.send({0x90, note, 0x7F});
        ASSERT_TRUE(waitUntil([&] { return synth.received().size() == note + 1u; }));
        ASSERT_TRUE(waitUntil([&] { return keys.departures().size() == note + 1u; }));
        sameCycle += synth.received().back().frame == keys.departures().back().frame ? 1 : 0;
        EXPECT_EQ(synth.received().back().bytes, (std::vector<std::uint8_t>{0x90, note, 0x7F}));
    }
    EXPECT_GT(sameCycle, 0);
    EXPECT_EQ(viaInputThread.load(), 0);

    monitor->flush();
    ASSERT_GE(monitor->events().size(), 3u);
    EXPECT_EQ(monitor->events()[0].endpointName, keys.outPort());
    EXPECT_EQ(monitor->events()[1].endpointName, synth.inPort());
    EXPECT_EQ(monitor->events()[2].endpointName, "Bus Out");

    // Without the in-cycle routing, input goes to onInput again.
    link.reset();
    keys.send({0x80, 1, 0});
    EXPECT_TRUE(waitUntil([&] { return viaInputThread.load() == 1; }));
    engine->stop();
}

} // namespace
