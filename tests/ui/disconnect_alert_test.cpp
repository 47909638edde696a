#include "ui_fixture.h"

#include "ui/shell/disconnect_alert.h"
#include "ui/shell/settings_page.h"
#include "ui/theme/toggle_switch.h"

#include <QPushButton>

namespace korvane::test {
namespace {

// A route Keys -> Desk between two loopback endpoints, both present, seen
// from the settings page.
class DisconnectAlertTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        keys = midi->addSource("Keys", 11);
        desk = midi->addDestination("Desk", 12);
        waitForDestinations(1);
        state->mutateProject([](TOVProject &p) {
            p.routes = {Route({EndpointKind::physical, "Keys", 11})};
            p.routes[0].destinations = {{EndpointKind::physical, "Desk", 12}};
        });
        showPage(SidebarItem::settings);
        ASSERT_FALSE(alert()->isShown());
    }
    DisconnectAlert *alert() { return window->disconnectAlert(); }
    bool shown()
    {
        QCoreApplication::processEvents();
        return alert()->isShown();
    }
    QStringList alertFor(const QString &device)
    {
        return {"Appareil déconnecté", "\u2022 " + device, "Vérifie le câble / le port / la session réseau.",
                "Revérifier", "Ignorer"};
    }

    MidiService::Handle keys = 0;
    MidiService::Handle desk = 0;
};

TEST_F(DisconnectAlertTest, ShowsTheMissingDeviceUntilIgnoredAndLetsThePageBeUsed)
{
    midi->removeEndpoint(desk);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts(), alertFor("Desk"));
    // The frame covers the whole detail area, the card sits at its bottom.
    EXPECT_EQ(alert()->border()->geometry(), window->detailArea()->rect());
    EXPECT_EQ(alert()->card()->geometry().bottom(), window->detailArea()->rect().bottom());

    // A page control under the red frame still takes its click.
    auto *toggle = window->settingsPage()->panicOnStopSwitch();
    QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->trackRect().center());
    EXPECT_FALSE(state->project().settings.panicOnStop);

    // Checking again while the device is still absent keeps the alert.
    QTest::mouseClick(alert()->card()->recheckButton(), Qt::LeftButton);
    EXPECT_TRUE(shown());
    QTest::mouseClick(alert()->card()->ignoreButton(), Qt::LeftButton);
    EXPECT_FALSE(shown());

    // Another device going missing brings it back with that one only.
    midi->removeEndpoint(keys);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts(), alertFor("Keys"));

    // Both back: the alert goes by itself.
    midi->addSource("Keys", 11);
    midi->addDestination("Desk", 12);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !alert()->isShown(); }));
}

TEST_F(DisconnectAlertTest, LostMidiServerIsAnAlarmWithItsReasonAndRetryUntilItIsBack)
{
    state->setEngineRetryInterval(std::chrono::milliseconds(500));
    midi->setOpenStatus(-1);
    midi->simulateShutdown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert()->isShown(); }));
    EXPECT_EQ(alert()->card()->texts()[1], "\u2022 Le serveur MIDI Loopback s'est arrêté");
    midi->setOpenStatus(0);
    QTest::mouseClick(alert()->card()->recheckButton(), Qt::LeftButton);
    EXPECT_TRUE(state->engine().running());
    EXPECT_EQ(state->statusMessage(), "Moteur redémarré");
    EXPECT_FALSE(shown());
}

} // namespace
} // namespace korvane::test
