#include "pages_fixture.h"

#include "net/network_midi2_manager.h"
#include "net/rtp_discovery.h"
#include "support/avahi_daemon.h"
#include "ui/pages/devices_page.h"
#include "ui/pages/discovery_section.h"
#include "ui/pages/monitor_page.h"
#include "ui/pages/network_midi2_session_card.h"
#include "ui/pages/network_page.h"
#include "ui/pages/patch_matrix_view.h"
#include "ui/pages/session_card.h"
#include "ui/shell/disconnect_alert.h"

#include <QLineEdit>
#include <QTableView>

#include <functional>
#include <optional>

// Screenshots of the window by (screen, state), at scale 1 and, in the HiDPI
// run, 2; and the DNS-SD states of the network page. Whatever is named Dnssd
// stops or freezes the shared Avahi daemon: CTest runs it apart, holding the
// services lock. Each scene brings the window to its state and waits for it;
// the picture is taken after.

namespace korvane::test {
namespace {

class WindowScreenshot;
struct Scene {
    const char *name; // of the picture
    void (WindowScreenshot::*build)();
};
void PrintTo(const Scene &scene, std::ostream *out)
{
    *out << scene.name;
}

class WindowScreenshot : public PagesTest, public ::testing::WithParamInterface<Scene> {
protected:
    void SetUp() override { WindowTest::SetUp(); }
    void TearDown() override
    {
        PagesTest::TearDown();
        state->networkMidi2().stopAll();
    }
    template <class Page> Page *page() const { return window->findChild<Page *>(); }
    bool waitFor(const std::function<bool()> &done, int ms = 5000) { return QTest::qWaitFor(done, ms); }
    void routeAToX()
    {
        addEndpoints();
        state->toggleMatrix(key("A", 101), key("X", 201));
    }

public:
    void mainWindow() {}
    void devices()
    {
        showPage(SidebarItem::devices);
        midi->addSource("Launchpad X", 1201);
        midi->addSource("Keystation 49", 1202, /*offline=*/true);
        midi->addDestination("QLab In", 1301);
        state->mutateProject([](TOVProject &p) {
            p.virtualPorts.emplace_back();
            p.devices.push_back(
                {.key = EndpointKey(EndpointKind::physical, "GrandMA3", 4242), .nickname = "GrandMA"});
            p.devices.push_back(
                {.key = EndpointKey(EndpointKind::physical, "Launchpad X", 1201), .nickname = "Pads"});
        });
        state->applyVirtualPorts();
        auto *devices = page<DevicesPage>();
        ASSERT_TRUE(
            waitFor([&] { return devices->inputRows().size() == 3 && devices->outputRows().size() == 2; }));
        state->acknowledgeMissing();
        ASSERT_TRUE(waitFor([&] { return devices->missingSection()->isVisible(); }));
    }
    void routingPage()
    {
        routeAToX();
        startListener("Salle");
        state->mutateProject([](TOVProject &p) {
            Route absent(EndpointKey(EndpointKind::physical, "Clavier débranché", 999));
            absent.name = "Clavier de scène";
            absent.destinations = {EndpointKey(EndpointKind::physical, "Y", 202),
                                   EndpointKey(EndpointKind::rtp, "Salle")};
            for (const char *name : {"Console lumière FOH", "Lecteur vidéo", "Séquenceur de secours",
                                     "Retour plateau", "Machine à fumée", "Console son retours"})
                absent.destinations.emplace_back(EndpointKind::physical, name);
            absent.channelMask = 0x00FF;
            p.routes.push_back(absent);
        });
        ASSERT_TRUE(waitFor([&] { return routing()->matrix()->model()->columnCount() == 9; }));
        state->acknowledgeMissing(); // the alert over the page is the shell's own picture
        settle();
        window->resize(1180, 900);
    }
    void filtersPage()
    {
        addEndpoints();
        window->resize(1180, 1500);
        showPage(SidebarItem::filters);
        addChain();
        for (const char *kind :
             {"Remap canal", "Transpose", "Vélocité", "Plage de notes", "Plage de CC", "Filtre par type"})
            addStep(QString::fromUtf8(kind));
        state->mutateProject([](TOVProject &p) {
            p.filterChains[0].name = "Clavier → Synthé";
            p.filterChains[0].steps[5].blockedTypes =
                std::vector<MIDIStatusType>{MIDIStatusType::systemRealtime};
            p.filterChains.push_back(FilterChain("Batterie"));
        });
        ASSERT_TRUE(waitFor([&] { return filters()->editor()->steps().size() == 6; }));
    }
    void monitorEmpty() { showPage(SidebarItem::monitor); }
    void monitorPage()
    {
        monitorEmpty();
        const auto keys = routeBetween("Keys, \"A\"", "Synth").first;
        settle();
        using Bytes = std::vector<std::uint8_t>;
        for (const Bytes &bytes :
             {Bytes{0x90, 60, 100}, Bytes{0xB0, 7, 127}, Bytes{0xEF, 0x7F, 0x7F}, Bytes{0xC9, 0},
              Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, Bytes{0x8F, 60, 0}})
            midi->inject(keys, bytes);
        QTableView *table = page<MonitorPage>()->table();
        ASSERT_TRUE(waitFor([&] { return table->model()->rowCount() == 12; }));
        table->selectRow(2);
    }
    // Applies, from the network page, the sessions `edit` adds to a project
    // named "Scène" (the name each side announces).
    NetworkPage *runSessions(const std::function<void(TOVProject &)> &edit)
    {
        state->mutateProject([&](TOVProject &p) {
            p.name = "Scène";
            edit(p);
        });
        showPage(SidebarItem::network);
        auto *network = page<NetworkPage>();
        QTest::mouseClick(network->applyButton(), Qt::LeftButton);
        return network;
    }
    void networkPage()
    {
        const int listenPort = freePortPair();
        auto *network = runSessions([&](TOVProject &p) {
            p.rtpSessions = {
                {.name = "Régie", .localPort = listenPort, .bindAddress = "127.0.0.1", .remoteHost = {}},
                {.name = "Plateau",
                 .role = RTPRole::initiator,
                 .localPort = freePortPair(),
                 .bindAddress = "127.0.0.1",
                 .remoteHost = "127.0.0.1",
                 .remotePort = listenPort}};
        });
        ASSERT_TRUE(waitFor([&] { return network->cards().size() == 2; }));
        ASSERT_TRUE(waitFor([&] { return network->cards()[0]->peersLabel()->text() == "1 pair(s)"; }, 10000));
        // The round trip comes with the initiator's first clock exchange.
        ASSERT_TRUE(
            waitFor([&] { return network->cards()[1]->peersBadge()->toolTip().endsWith(" ms)"); }, 10000));
        // Lines arriving meanwhile reach the label at the next coalesced refresh.
        EXPECT_TRUE(waitFor([&] {
            return network->logText()->text().count('\n') + 1 ==
                   static_cast<int>(state->rtp().logLines().size());
        }));
        // Parallel runs on one Avahi daemon may have renamed the publication ("Régie #2").
        EXPECT_TRUE(waitFor(
            [&] {
                return network->discovery()->advertisedLabel()->text().startsWith("Publié comme « Régie");
            },
            15000));
        window->resize(1180, 1200); // the whole page, from discovery to the log
    }
    void networkAccess()
    {
        state->mutateProject([](TOVProject &p) {
            RTPSessionConfig &s = p.rtpSessions.emplace_back();
            s.recoveryJournal = false;
            s.onlyAllowedHosts = true;
            s.allowedHosts = {"10.0.0.2", "192.168.1.0/24", "regie"};
        });
        showPage(SidebarItem::network);
        ASSERT_TRUE(waitFor([&] { return page<NetworkPage>()->cards().size() == 1; }));
        ASSERT_TRUE(
            waitFor([&] { return page<NetworkPage>()->cards()[0]->allowedHostsField()->isVisible(); }));
    }
    void networkMidi2()
    {
        const int hostPort = freePortPair();
        auto *network = runSessions([&](TOVProject &p) {
            p.networkMidi2Sessions = {{.name = "Régie 2", .localPort = hostPort, .remoteHost = {}},
                                      {.name = "Plateau 2",
                                       .role = NetworkMIDI2Role::client,
                                       .localPort = freePortPair(),
                                       .remoteHost = "127.0.0.1",
                                       .remotePort = hostPort}};
        });
        ASSERT_TRUE(waitFor([&] { return network->midi2Cards().size() == 2; }));
        const auto cards = network->midi2Cards();
        ASSERT_TRUE(waitFor([&] { return cards[0]->peersLabel()->text() == "1 pair(s)"; }, 10000));
        ASSERT_TRUE(waitFor([&] { return cards[1]->peerList()->text().endsWith(" ms)"); }, 10000));
        EXPECT_TRUE(
            waitFor([&] { return network->logText()->text().contains("NM2 Plateau 2: session établie"); }));
        const auto keys = state->availableSourceKeys();
        EXPECT_NE(std::find(keys.begin(), keys.end(), EndpointKey(EndpointKind::rtp, "Régie 2")), keys.end());
        window->resize(1180, 1200);
    }
    void settingsPage()
    {
        showPage(SidebarItem::settings);
        state->mutateProject([](TOVProject &p) { p.notes = "Régie son, plateau B.\nTournée 2026."; });
        settle();
    }
    void disconnectAlert()
    {
        const auto desk = routeBetween("Keys", "Desk").second;
        showPage(SidebarItem::settings);
        state->setNickname("Console façade", {EndpointKind::physical, "Desk", 12}, EndpointRole::destination);
        midi->removeEndpoint(desk);
        ASSERT_TRUE(waitFor([&] { return window->disconnectAlert()->isShown(); }));
    }
    void engineLost()
    {
        routeAToX();
        midi->setOpenStatus(-1);
        midi->simulateShutdown();
        ASSERT_TRUE(waitFor([&] { return window->disconnectAlert()->isShown(); }));
    }
    void routingMissing()
    {
        routeAToX();
        state->mutateProject([](TOVProject &p) {
            Route &pads = p.routes.emplace_back(key("Pads de scène", 301));
            pads.name = "Pads vers retours";
            pads.destinations = {key("X", 201), key("Console retours", 302)};
        });
        ASSERT_TRUE(waitFor([&] { return !state->missingDevices().empty(); }));
        state->acknowledgeMissing(); // the alarm has a picture of its own
    }
    void networkNoDnssd()
    {
        routeAToX();
        startListener("Régie");
        showPage(SidebarItem::network);
        ASSERT_TRUE(
            waitFor([&] { return state->discovery().state() == DiscoveryState::daemonMissing; }, 20000));
    }
};

TEST_P(WindowScreenshot, Shows)
{
    const Scene &scene = GetParam();
    std::optional<AvahiLock> lock;
    std::optional<DaemonOutage> outage;
    if (scene.build == &WindowScreenshot::networkNoDnssd) {
        ASSERT_TRUE(DaemonOutage::control()) << "needs the private avahi-daemon started by scripts/test.sh";
        lock.emplace(true);
        outage.emplace();
    }
    (this->*scene.build)();
    if (HasFatalFailure())
        return;
    // Queued refreshes done, alerts faded in.
    QTest::qWait(300);
    screenshot(scene.name);
}

const auto kSceneName = [](const ::testing::TestParamInfo<Scene> &info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
};
using W = WindowScreenshot;
INSTANTIATE_TEST_SUITE_P(
    Window, WindowScreenshot,
    ::testing::Values(Scene{"main_window", &W::mainWindow}, Scene{"devices", &W::devices},
                      Scene{"routing", &W::routingPage}, Scene{"filters", &W::filtersPage},
                      Scene{"monitor-empty", &W::monitorEmpty}, Scene{"monitor", &W::monitorPage},
                      Scene{"network", &W::networkPage}, Scene{"network_access", &W::networkAccess},
                      Scene{"network_midi2", &W::networkMidi2}, Scene{"settings", &W::settingsPage},
                      Scene{"disconnect_alert", &W::disconnectAlert}, Scene{"engine-lost", &W::engineLost},
                      Scene{"routing-missing", &W::routingMissing}),
    kSceneName);
INSTANTIATE_TEST_SUITE_P(Dnssd, WindowScreenshot,
                         ::testing::Values(Scene{"network-no-dnssd", &W::networkNoDnssd}), kSceneName);

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
