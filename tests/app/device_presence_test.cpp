#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "support/test_support.h"

#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using test::waitUntil;

EndpointKey phys(std::string name, std::optional<std::int32_t> uid = std::nullopt)
{
    return {EndpointKind::physical, std::move(name), uid};
}

std::vector<std::string> ids(const std::vector<EndpointKey> &keys)
{
    std::vector<std::string> out;
    for (const auto &k : keys)
        out.push_back(k.id());
    return out;
}

class DevicePresenceTest : public ::testing::Test {
protected:
    void SetUp() override { test::spinFor(std::chrono::milliseconds(20)); }
    void useProject(const std::function<void(TOVProject &)> &edit)
    {
        m_state->mutateProject(edit);
        test::spinFor(std::chrono::milliseconds(20));
    }

    std::shared_ptr<LoopbackMidiService> m_service = std::make_shared<LoopbackMidiService>();
    std::unique_ptr<AppState> m_state =
        std::make_unique<AppState>(m_service, std::make_shared<test::FakePrompts>());
};

TEST_F(DevicePresenceTest, ReportsNeededEndpointsByIdThenNameOnce)
{
    m_service->addSource("Pads", 42);
    m_service->addDestination("Lights", 7, /*offline=*/true);
    ASSERT_TRUE(waitUntil(
        [&] { return m_state->engine().sources().size() + m_state->engine().destinations().size() == 2; }));

    useProject([](TOVProject &p) {
        Route r(phys("Old pad name", 42)); // present by unique id despite the name
        r.destinations = {phys("Desk"), phys("Lights", 7)};
        Route disabled(phys("Unplugged", 99));
        disabled.enabled = false;
        p.routes = {r, r, r, disabled};
        p.devices.push_back({Uuid::create(), phys("Desk"), EndpointRole::destination, "Console FOH"});
        p.devices.push_back({Uuid::create(), phys("Spare", 5), EndpointRole::source, ""});
        p.devices.push_back({Uuid::create(), {EndpointKind::virtual_, "Bus"}, EndpointRole::source, ""});
    });

    // Offline counts as missing; disabled routes and virtual keys need nothing.
    EXPECT_EQ(ids(m_state->missingDevices()),
              (std::vector<std::string>{"physical:Desk", "physical:7", "physical:5"}));
    EXPECT_EQ(m_state->statusMessage(), "\u26A0\uFE0E Appareil déconnecté : Console FOH, Lights, Spare");

    // Nothing changed: a second refresh announces nothing.
    int announcements = 0;
    QObject scope;
    QObject::connect(m_state.get(), &AppState::missingDevicesChanged, &scope, [&] { ++announcements; });
    m_state->refreshMissing();
    EXPECT_EQ(announcements, 0);
}

TEST_F(DevicePresenceTest, AcknowledgementsLastWhileMissingAndTheEngineRaisesNoFalseAlarm)
{
    useProject([](TOVProject &p) {
        Route r(phys("Keys", 1));
        r.destinations = {phys("Synth", 2)};
        p.routes = {r};
    });
    ASSERT_EQ(m_state->missingDevices().size(), 2u);
    m_state->acknowledgeMissing();
    EXPECT_TRUE(m_state->activeMissing().empty());

    const auto keys = m_service->addSource("Keys", 1);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().size() == 1; }));
    EXPECT_TRUE(m_state->activeMissing().empty());
    EXPECT_EQ(m_state->acknowledgedMissing(), std::set<std::string>{"physical:2"});

    // Keys goes away again: warned again, Synth stays dismissed.
    m_service->removeEndpoint(keys);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().size() == 2; }));
    EXPECT_EQ(ids(m_state->activeMissing()), std::vector<std::string>{"physical:1"});

    m_service->addSource("Keys", 1);
    m_service->addDestination("Synth", 2);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().empty(); }));
    EXPECT_TRUE(m_state->acknowledgedMissing().empty());
    // Everything back replaces the warning with a line of its own.
    EXPECT_TRUE(m_state->statusMessage().starts_with("\u2713 Appareil reconnecté : "));
    EXPECT_TRUE(m_state->statusMessage().ends_with("Synth")) << m_state->statusMessage();

    // A stopped engine needs nothing; a starting one raises no alarm for
    // devices that are there.
    useProject([](TOVProject &p) { p.routes.emplace_back(phys("Absent", 3)); });
    ASSERT_EQ(m_state->missingDevices().size(), 1u);
    m_state->stopEngine();
    EXPECT_TRUE(waitUntil([&] { return m_state->missingDevices().empty(); }));
    useProject([](TOVProject &p) { p.routes.pop_back(); });
    QStringList statuses;
    QObject scope; // disconnects before `statuses` goes
    QObject::connect(m_state.get(), &AppState::statusMessageChanged, &scope,
                     [&](const QString &s) { statuses << s; });
    m_state->startEngine();
    test::spinFor(std::chrono::milliseconds(30));
    EXPECT_TRUE(m_state->missingDevices().empty());
    EXPECT_TRUE(statuses.filter(QString::fromUtf8("\u26A0")).isEmpty()) << statuses.join('|').toStdString();
}

} // namespace
} // namespace korvane
