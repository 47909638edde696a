// A device behind the ALSA bridge shows under a new ALSA client number each
// time it is plugged; the engine must list it under one unique id so saved
// routes keep matching (the ids themselves are pinned by the unit suite).

#include "midi/midi_engine.h"
#include "midi/service/jack/jack_backend.h"
#include "support/test_support.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace korvane;
using korvane::test::waitUntil;

namespace {

std::optional<std::int32_t> listedID(const MIDIEngine &engine, const std::string &name)
{
    for (const MIDIEndpointInfo &source : engine.sources())
        if (source.name == name)
            return source.uniqueID;
    return std::nullopt;
}

TEST(JackEndpointIdentity, IdenticalBridgeDevicesAreListedApartAndTheOneLeftTakesTheStableId)
{
    const std::string clientName = "korvane-bridge-" + std::to_string(getpid());
    jack_status_t status{};
    jack_client_t *bridge = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    ASSERT_NE(bridge, nullptr) << "needs a JACK server (scripts/test.sh starts one)";
    ASSERT_EQ(jack_activate(bridge), 0);
    const std::string full = jack_get_client_name(bridge);
    auto engine = MIDIEngine::create(makeJackMidiService());
    engine->start();
    ASSERT_TRUE(engine->running());

    // Two identical devices at once stay apart; the one left takes the stable id.
    const char *const plugs[] = {"Desk [24] (capture): Port 1", "Desk [28] (capture): Port 1"};
    const std::string lowName = full + ":" + plugs[0], highName = full + ":" + plugs[1];
    const std::int32_t stable = jackPortUniqueID(lowName);
    ASSERT_EQ(stable, jackPortUniqueID(highName));
    jack_port_t *high = jack_port_register(bridge, plugs[1], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_port_t *low = jack_port_register(bridge, plugs[0], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(high && low);
    ASSERT_TRUE(waitUntil([&] {
        return listedID(*engine, lowName) == stable && listedID(*engine, highName).has_value() &&
               listedID(*engine, highName) != stable;
    }));
    jack_port_unregister(bridge, low);
    EXPECT_TRUE(waitUntil([&] { return listedID(*engine, highName) == stable; }));
    jack_port_unregister(bridge, high);

    engine->stop();
    jack_client_close(bridge);
}

} // namespace
