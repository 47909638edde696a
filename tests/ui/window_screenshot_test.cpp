#include "pages_fixture.h"

#include "net/rtp_discovery.h"
#include "support/avahi_daemon.h"
#include "ui/pages/discovery_section.h"
#include "ui/shell/disconnect_alert.h"

// Screenshots of the window by (screen, state), at scale 1 and, in the HiDPI
// run, 2; and the DNS-SD states of the network page. Whatever is named Dnssd
// stops or freezes the shared Avahi daemon: CTest runs it apart, holding the
// services lock.

namespace korvane::test {
namespace {

class WindowScreenshot : public PagesTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(WindowScreenshot, Shows)
{
    const std::string shown = GetParam();
    std::optional<AvahiLock> lock;
    std::optional<DaemonOutage> outage;
    state->toggleMatrix(key("A", 101), key("X", 201));
    if (shown == "network-no-dnssd") {
        ASSERT_TRUE(DaemonOutage::control()) << "needs the private avahi-daemon started by scripts/test.sh";
        lock.emplace(true);
        outage.emplace();
        startListener("Régie");
        showPage(SidebarItem::network);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return state->discovery().state() == DiscoveryState::daemonMissing; }, 20000));
    } else if (shown == "engine-lost") {
        midi->setOpenStatus(-1);
        midi->simulateShutdown();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->disconnectAlert()->isShown(); }));
    } else {
        state->mutateProject([](TOVProject &p) {
            Route &pads = p.routes.emplace_back(key("Pads de scène", 301));
            pads.name = "Pads vers retours";
            pads.destinations = {key("X", 201), key("Console retours", 302)};
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return !state->missingDevices().empty(); }));
        state->acknowledgeMissing(); // the alarm has a picture of its own
    }
    QTest::qWait(300); // refreshed, faded in
    screenshot(QString::fromStdString(shown));
}

const auto kStateName = [](const ::testing::TestParamInfo<std::string> &info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
};
INSTANTIATE_TEST_SUITE_P(Window, WindowScreenshot, ::testing::Values("engine-lost", "routing-missing"),
                         kStateName);
INSTANTIATE_TEST_SUITE_P(Dnssd, WindowScreenshot, ::testing::Values("network-no-dnssd"), kStateName);

using DnssdStates = PagesTest;

TEST_F(DnssdStates, PublishingMissingAndSilentDaemonEachSaySo)
{
    ASSERT_TRUE(DaemonOutage::control()) << "needs the private avahi-daemon started by scripts/test.sh";
    AvahiLock lock(true);
    state->discovery().daemonReplyTimeout = std::chrono::milliseconds(300);
    const QString name = QStringLiteral("Régie-%1").arg(QCoreApplication::applicationPid());
    startListener(name.toStdString());
    showPage(SidebarItem::network);
    auto *section = window->pages()->currentWidget()->findChild<DiscoverySection *>();
    // Once the section settles on `wanted`, with the search shown or not.
    const auto shows = [&](const QString &wanted, bool searching) {
        return QTest::qWaitFor(
            [&] {
                for (const QLabel *label : {section->unavailableLabel(), section->advertisedLabel()})
                    if (label->isVisible() && label->text().startsWith(wanted))
                        return searching == section->searchingRow()->isVisible();
                return false;
            },
            20000);
    };
    // Another run's service of the same name may have renamed ours ("… #2").
    const auto publishing = [&] {
        return shows("Publié comme « " + name, state->discovery().peers().empty());
    };
    ASSERT_TRUE(publishing());
    {
        DaemonOutage stopped;
        EXPECT_TRUE(shows("DNS-SD indisponible : démon Avahi absent. Ni publication ni recherche ; elles "
                          "reprendront dès que le démon Avahi répondra.",
                          false));
    }
    EXPECT_TRUE(publishing());
    {
        DaemonOutage frozen("daemon-pause", "daemon-resume");
        EXPECT_TRUE(shows("DNS-SD indisponible : le démon Avahi ne répond plus.", false));
    }
    EXPECT_TRUE(publishing());
}

} // namespace
} // namespace korvane::test
