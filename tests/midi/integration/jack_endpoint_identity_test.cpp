// A device behind the ALSA bridge, unplugged and plugged back: JACK shows it
// under a new ALSA client number, and the engine must list it under the same
// unique id so saved routes keep matching.

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

TEST(JackEndpointIdentity, ReplugUnderANewClientNumberKeepsTheListedId)
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

    std::optional<std::int32_t> first;
    const char *const plugs[] = {"Desk [24] (capture): Port 1", "Desk [28] (capture): Port 1"};
    for (const char *shortName : plugs) {
        jack_port_t *port =
            jack_port_register(bridge, shortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        ASSERT_NE(port, nullptr) << shortName;
        const std::string name = full + ":" + shortName;
        ASSERT_TRUE(waitUntil([&] { return listedID(*engine, name).has_value(); })) << name;
        const std::int32_t id = *listedID(*engine, name);
        EXPECT_EQ(id, jackPortUniqueID(name));
        if (first) {
            EXPECT_EQ(id, *first) << name;
        }
        first = id;
        jack_port_unregister(bridge, port);
        ASSERT_TRUE(waitUntil([&] { return !listedID(*engine, name).has_value(); })) << name;
    }

    // Two identical devices at once stay apart; the one left after an
    // unplug takes the stable id, whatever its number.
    jack_port_t *high = jack_port_register(bridge, plugs[1], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_port_t *low = jack_port_register(bridge, plugs[0], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(high && low);
    const std::string lowName = full + ":" + plugs[0], highName = full + ":" + plugs[1];
    ASSERT_TRUE(waitUntil([&] {
        return listedID(*engine, lowName) == first && listedID(*engine, highName).has_value() &&
               listedID(*engine, highName) != first;
    }));
    jack_port_unregister(bridge, low);
    EXPECT_TRUE(waitUntil([&] { return listedID(*engine, highName) == first; }));
    jack_port_unregister(bridge, high);

    engine->stop();
    jack_client_close(bridge);
}

} // namespace
