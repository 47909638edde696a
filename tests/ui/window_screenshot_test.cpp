#include "ui_fixture.h"

#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"
#include "support/avahi_daemon.h"
#include "ui/pages/discovery_section.h"
#include "ui/shell/disconnect_alert.h"

#include <QStackedWidget>
#include <QUdpSocket>

// Screenshots of the window by (screen, state), at scale 1 and, in the HiDPI
// run, 2; and the DNS-SD states of the network page. Whatever is named Dnssd
// stops or freezes the shared Avahi daemon: CTest runs it apart, holding the
// services lock.

namespace korvane::test {
namespace {

class WindowScreenshot : public WindowTest, public ::testing::WithParamInterface<std::string> {
protected:
    void TearDown() override { state->rtp().stopAll(); }
    void keyboardToDesk()
    {
        midi->addSource("Clavier maître", 101);
        midi->addDestination("Console FOH", 201);
        waitForDestinations(1);
        state->toggleMatrix({EndpointKind::physical, "Clavier maître", 101},
                            {EndpointKind::physical, "Console FOH", 201});
    }
    // A listener session on loopback, published as « name ».
    void listen(const QString &name)
    {
        int port = 47600;
        while (port < 48000 && !QUdpSocket().bind(QHostAddress::LocalHost, port))
            port += 2;
        state->mutateProject([&](TOVProject &p) {
            RTPSessionConfig &listener = p.rtpSessions.emplace_back();
            listener.name = name.toStdString();
            listener.localPort = port;
            listener.bindAddress = "127.0.0.1";
        });
        state->applyNetwork();
        showPage(SidebarItem::network);
    }
};

TEST_P(WindowScreenshot, Shows)
{
    const std::string shown = GetParam();
    std::optional<AvahiLock> lock;
    std::optional<DaemonOutage> outage;
    if (shown == "network-no-dnssd") {
        ASSERT_TRUE(DaemonOutage::control()) << "needs the private avahi-daemon started by scripts/test.sh";
        lock.emplace(true);
        outage.emplace();
        listen("Régie");
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return state->discovery().state() == DiscoveryState::daemonMissing; }, 20000));
    } else {
        keyboardToDesk();
        if (shown == "engine-lost") {
            midi->setOpenStatus(-1);
            midi->simulateShutdown();
        } else {
            state->mutateProject([](TOVProject &p) {
                Route &pads =
                    p.routes.emplace_back(EndpointKey(EndpointKind::physical, "Pads de scène", 301));
                pads.name = "Pads vers retours";
                pads.destinations = {{EndpointKind::physical, "Console FOH", 201},
                                     {EndpointKind::physical, "Console retours", 302}};
            });
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->disconnectAlert()->isShown(); }));
        if (shown == "routing-missing")
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

class DnssdStates : public WindowScreenshot {};

TEST_F(DnssdStates, PublishingMissingAndSilentDaemonEachSaySo)
{
    ASSERT_TRUE(DaemonOutage::control()) << "needs the private avahi-daemon started by scripts/test.sh";
    AvahiLock lock(true);
    state->discovery().daemonReplyTimeout = std::chrono::milliseconds(300);
    const QString name = QStringLiteral("Régie-%1").arg(QCoreApplication::applicationPid());
    listen(name);
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
        EXPECT_FALSE(section->advertisedLabel()->isVisible());
    }
    EXPECT_TRUE(publishing());
    {
        DaemonOutage frozen("daemon-pause", "daemon-resume");
        EXPECT_TRUE(shows("DNS-SD indisponible : le démon Avahi ne répond plus.", false));
        EXPECT_EQ(state->discovery().state(), DiscoveryState::daemonNotAnswering);
    }
    EXPECT_TRUE(publishing());
}

} // namespace
} // namespace korvane::test
