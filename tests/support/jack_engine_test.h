#pragma once

// The engine on the JACK server scripts/test.sh starts, with small JACK
// clients of ours as the other programs. Suites that route in the JACK cycle
// wire a router to it as the program does.

#include "midi/midi_engine.h"
#include "midi/midi_router.h"
#include "midi/realtime_routing_link.h"
#include "midi/service/jack/jack_backend.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace korvane::test {

class JackEngineTest : public ::testing::Test {
protected:
    explicit JackEngineTest(bool routesInTheCycle = false) : m_routesInTheCycle(routesInTheCycle) {}

    void SetUp() override
    {
        // The tests name the ports "KORVANE:…": JACK would rename this client
        // if another instance held the name.
        JackTestClient probe("korvane-probe");
        ASSERT_TRUE(probe.ok()) << "needs a JACK server (scripts/test.sh starts one)";
        ASSERT_TRUE(probe.ports("^KORVANE[:]").empty()) << "another KORVANE client is on this JACK server";
        if (m_routesInTheCycle) {
            router->setEngine(engine);
            engine->setOnSourceGone(
                [this](const EndpointKey &key, std::uint64_t origin) { router->releaseOrigin(key, origin); });
            link = RealtimeRoutingLink::attach(engine, router);
        }
        engine->start();
        ASSERT_TRUE(engine->running()) << "needs a JACK server (scripts/test.sh starts one)";
    }
    void TearDown() override { engine->stop(); }

    std::shared_ptr<MIDIEngine> engine = std::make_shared<MIDIEngine>(makeJackMidiService());
    std::shared_ptr<MIDIRouter> router = std::make_shared<MIDIRouter>();
    std::shared_ptr<RealtimeRoutingLink> link;

private:
    bool m_routesInTheCycle;
};

} // namespace korvane::test
