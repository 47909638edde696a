#include "ui_fixture.h"

#include "ui/shell/disconnect_alert.h"
#include "ui/shell/settings_page.h"
#include "ui/theme/toggle_switch.h"

#include <QPushButton>

namespace korvane::test {
namespace {

// A route Keys -> Desk between two loopback endpoints, both present.
class DisconnectAlertTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        keys = midi->addSource("Keys", 11);
        desk = midi->addDestination("Desk", 12);
        ASSERT_TRUE(waitFor([&] { return state->engine().destinations().size() == 1; }));
        state->mutateProject([](TOVProject &p) {
            Route route({EndpointKind::physical, "Keys", 11});
            route.destinations = {{EndpointKind::physical, "Desk", 12}};
            p.routes = {route};
        });
        QTest::qWait(30);
        ASSERT_FALSE(alert()->isShown());
    }
    DisconnectAlert *alert() { return window->disconnectAlert(); }
    bool shown()
    {
        QTest::qWait(30);
        return alert()->isShown();
    }

    MidiService::Handle keys = 0;
    MidiService::Handle desk = 0;
};

TEST_F(DisconnectAlertTest, ShowsTheMissingDeviceUntilIgnoredAndLetsThePageBeUsed)
{
    midi->removeEndpoint(desk);
    ASSERT_TRUE(waitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts(),
              (QStringList{"Appareil déconnecté", "\u2022 Desk",
                           "Vérifie le câble / le port / la session réseau.", "Revérifier", "Ignorer"}));
    // The frame covers the whole detail area, the card sits at its bottom.
    EXPECT_EQ(alert()->border()->geometry(), window->detailArea()->rect());
    EXPECT_EQ(alert()->card()->geometry().bottom(), window->detailArea()->rect().bottom());
    EXPECT_LE(alert()->card()->cardRect().width(), 720);
    EXPECT_DOUBLE_EQ(DisconnectAlert::pulseAt(0), 0.0);
    EXPECT_DOUBLE_EQ(DisconnectAlert::pulseAt(550), 1.0);
    EXPECT_DOUBLE_EQ(DisconnectAlert::pulseAt(1100), 0.0);

    // A page control under the red frame still takes its click.
    showPage(SidebarItem::settings);
    ASSERT_TRUE(shown());
    auto *toggle = window->settingsPage()->panicOnStopSwitch();
    QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->trackRect().center());
    EXPECT_FALSE(state->project().settings.panicOnStop);
    QTest::qWait(250); // faded in
    screenshot(QStringLiteral("disconnect_alert"));

    // Checking again while the device is still absent keeps the alert.
    QTest::mouseClick(alert()->card()->recheckButton(), Qt::LeftButton);
    EXPECT_TRUE(shown());

    QTest::mouseClick(alert()->card()->ignoreButton(), Qt::LeftButton);
    EXPECT_FALSE(shown());

    // Another device going missing brings it back with that one only.
    midi->removeEndpoint(keys);
    ASSERT_TRUE(waitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts().at(1), "\u2022 Keys");
    EXPECT_EQ(alert()->card()->texts().size(), 5);

    // Both back: the alert goes by itself.
    midi->addSource("Keys", 11);
    midi->addDestination("Desk", 12);
    EXPECT_TRUE(waitFor([&] { return !alert()->isShown(); }));
}

TEST_F(DisconnectAlertTest, AlertScreenshot)
{
    state->setNickname("Console façade", {EndpointKind::physical, "Desk", 12}, EndpointRole::destination);
    midi->removeEndpoint(desk);
    ASSERT_TRUE(waitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts().at(1), "\u2022 Console façade");
    QTest::qWait(300); // mid-pulse
    screenshot(QStringLiteral("disconnect_alert_pulse"));
}

} // namespace
} // namespace korvane::test
