#include "ui_fixture.h"

#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"
#include "support/avahi_daemon.h"
#include "ui/shell/disconnect_alert.h"

#include <QUdpSocket>

// The window in states worth looking at: one screenshot per (screen, state),
// at scale 1 and, in the HiDPI run, 2. States named Dnssd stop the shared
// Avahi daemon and run in the CTest entries that hold the services lock.

namespace korvane::test {
namespace {

class WindowScreenshot;

struct ScreenState {
    const char *name;
    SidebarItem page;
    // Puts the window in the state; what it returns is held until the picture is taken.
    std::function<std::shared_ptr<void>(WindowScreenshot &)> arrange;
};

class WindowScreenshot : public WindowTest, public ::testing::WithParamInterface<ScreenState> {
public:
    using WindowTest::midi;
    using WindowTest::state;
    void TearDown() override { state->rtp().stopAll(); }

    // A keyboard and a desk on the loopback service, routed one to the other.
    void keyboardToDesk()
    {
        midi->addSource("Clavier maître", 101);
        midi->addDestination("Console FOH", 201);
        waitForDestinations(1);
        state->toggleMatrix({EndpointKind::physical, "Clavier maître", 101},
                            {EndpointKind::physical, "Console FOH", 201});
    }
    bool alertShown() { return QTest::qWaitFor([&] { return window->disconnectAlert()->isShown(); }); }
};

const ScreenState kWindowStates[] = {
    {"engine-lost", SidebarItem::routing,
     [](WindowScreenshot &t) -> std::shared_ptr<void> {
         t.keyboardToDesk();
         t.midi->setOpenStatus(-1);
         t.midi->simulateShutdown();
         EXPECT_TRUE(t.alertShown());
         return nullptr;
     }},
    {"routing-missing", SidebarItem::routing,
     [](WindowScreenshot &t) -> std::shared_ptr<void> {
         t.keyboardToDesk();
         t.state->mutateProject([](TOVProject &p) {
             Route pads(EndpointKey(EndpointKind::physical, "Pads de scène", 301));
             pads.name = "Pads vers retours";
             pads.destinations = {{EndpointKind::physical, "Console FOH", 201},
                                  {EndpointKind::physical, "Console retours", 302}};
             p.routes.push_back(pads);
         });
         EXPECT_TRUE(t.alertShown());
         t.state->acknowledgeMissing(); // the alarm has a picture of its own
         return nullptr;
     }},
};

const ScreenState kDnssdStates[] = {
    {"network-no-dnssd", SidebarItem::network,
     [](WindowScreenshot &t) -> std::shared_ptr<void> {
         struct Outage {
             AvahiLock lock{true};
             DaemonOutage stopped;
         };
         if (!DaemonOutage::control()) {
             ADD_FAILURE() << "needs the private avahi-daemon started by scripts/test.sh";
             return nullptr;
         }
         auto outage = std::make_shared<Outage>();
         int port = 47600;
         while (port < 48000 && !QUdpSocket().bind(QHostAddress::LocalHost, port))
             port += 2;
         t.state->mutateProject([port](TOVProject &p) {
             RTPSessionConfig &listener = p.rtpSessions.emplace_back();
             listener.name = "Régie";
             listener.localPort = port;
             listener.bindAddress = "127.0.0.1";
         });
         t.state->applyNetwork();
         EXPECT_TRUE(QTest::qWaitFor(
             [&] { return t.state->discovery().state() == DiscoveryState::daemonMissing; }, 20000));
         return outage;
     }},
};

TEST_P(WindowScreenshot, Shows)
{
    const ScreenState &shown = GetParam();
    const auto held = shown.arrange(*this);
    showPage(shown.page);
    QTest::qWait(300); // refreshed, faded in
    screenshot(QString::fromUtf8(shown.name));
}

std::string stateName(const ::testing::TestParamInfo<ScreenState> &info)
{
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Window, WindowScreenshot, ::testing::ValuesIn(kWindowStates), stateName);
INSTANTIATE_TEST_SUITE_P(Dnssd, WindowScreenshot, ::testing::ValuesIn(kDnssdStates), stateName);

} // namespace
} // namespace korvane::test
