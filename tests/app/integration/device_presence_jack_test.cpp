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

// What the loopback service shows in the unit suite, on real JACK clients
// that come and go.
TEST(DevicePresenceJack, UnpluggedClientIsReportedUntilItComesBack)
{
    AppState state(makeJackMidiService(), std::make_shared<test::FakePrompts>());
    ASSERT_TRUE(state.engine().running()) << "a JACK server must be running (scripts/test.sh starts one)";
    const auto plugKeys = [] {
        return std::make_unique<JackTestClient>("korvane_presence_keys", "", JackTestClient::outOnly);
    };
    auto keys = plugKeys();
    ASSERT_TRUE(keys->ok());
    const std::string keysName = keys->outPort();

    std::optional<EndpointKey> source;
    ASSERT_TRUE(waitUntil([&] {
        for (const auto &info : state.engine().sources())
            if (info.name == keysName)
                source = info.key();
        return source.has_value();
    }));
    state.mutateProject([&](TOVProject &p) { p.routes = {Route(*source)}; });
    test::spinFor(std::chrono::milliseconds(50));
    EXPECT_TRUE(state.missingDevices().empty());

    keys.reset();
    ASSERT_TRUE(waitUntil([&] { return state.missingDevices().size() == 1; }));
    EXPECT_EQ(state.missingDevices().front(), *source);
    EXPECT_EQ(state.statusMessage(), "\u26A0\uFE0E Appareil déconnecté : " + keysName);

    keys = plugKeys();
    EXPECT_TRUE(waitUntil([&] { return state.missingDevices().empty(); }));
}

} // namespace
} // namespace korvane
