#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include "midi/midi_engine.h"
#include "midi/service/jack/jack_midi_service.h"

#include <gtest/gtest.h>

#include <memory>

namespace korvane {
namespace {

using test::JackTestClient;
using test::waitUntil;

std::optional<EndpointKey> findKey(const std::vector<MIDIEndpointInfo> &list, const std::string &name)
{
    for (const auto &info : list)
        if (info.name == name)
            return info.key();
    return std::nullopt;
}

std::vector<std::string> names(const std::vector<EndpointKey> &keys)
{
    std::vector<std::string> out;
    for (const auto &k : keys)
        out.push_back(k.name);
    return out;
}

TEST(DevicePresenceJack, UnpluggedClientsAreReportedAcknowledgedAndForgotten)
{
    AppState state(makeJackMidiService(), std::make_shared<test::FakePrompts>());
    ASSERT_TRUE(state.engine().running()) << "a JACK server must be running (scripts/test.sh starts one)";

    auto keys = std::make_unique<JackTestClient>("korvane_presence_keys", "", JackTestClient::outOnly);
    auto synth = std::make_unique<JackTestClient>("korvane_presence_synth", "", JackTestClient::inOnly);
    ASSERT_TRUE(keys->ok() && synth->ok());
    const std::string keysName = keys->outPort(), synthName = synth->inPort();

    std::optional<EndpointKey> source, destination;
    ASSERT_TRUE(waitUntil([&] {
        source = findKey(state.engine().sources(), keysName);
        destination = findKey(state.engine().destinations(), synthName);
        return source && destination;
    }));

    state.mutateProject([&](TOVProject &p) {
        Route route(*source);
        route.destinations = {*destination};
        p.routes = {route};
    });
    test::spinFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(state.missingDevices().empty());

    keys.reset();
    ASSERT_TRUE(waitUntil([&] { return state.missingDevices().size() == 1; }));
    EXPECT_EQ(names(state.missingDevices()), std::vector<std::string>{keysName});
    EXPECT_EQ(state.statusMessage(), "\u26A0\uFE0E Appareil déconnecté : " + keysName);

    state.acknowledgeMissing();
    EXPECT_TRUE(state.activeMissing().empty());

    // A second device going missing reopens the alert with that device alone.
    synth.reset();
    ASSERT_TRUE(waitUntil([&] { return state.missingDevices().size() == 2; }));
    EXPECT_EQ(names(state.activeMissing()), std::vector<std::string>{synthName});

    // Both come back: nothing missing, acknowledgements forgotten.
    keys = std::make_unique<JackTestClient>("korvane_presence_keys", "", JackTestClient::outOnly);
    synth = std::make_unique<JackTestClient>("korvane_presence_synth", "", JackTestClient::inOnly);
    ASSERT_TRUE(waitUntil([&] { return state.missingDevices().empty(); }));
    EXPECT_TRUE(state.acknowledgedMissing().empty());
}

} // namespace
} // namespace korvane
