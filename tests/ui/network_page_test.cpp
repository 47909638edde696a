#include "ui_fixture.h"

#include "support/avahi_daemon.h"
#include "support/udp_loopback.h"

#include "net/network_interfaces.h"
#include "net/network_midi2_manager.h"
#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"
#include "ui/pages/config_checks.h"
#include "ui/pages/discovery_section.h"
#include "ui/pages/network_midi2_session_card.h"
#include "ui/pages/network_page.h"
#include "ui/pages/session_card.h"
#include "ui/theme/toggle_switch.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>

#include <climits>

namespace korvane::test {
namespace {

TEST(ConfigChecks, VirtualPortNamesThatMakeNoPortOrOneForTwo)
{
    // Named "A": both directions; "A Out": source only; "A In": destination only.
    const auto port = [](std::string name, bool out = true, bool in = true) {
        return VirtualPortConfig{.name = std::move(name), .createsSource = out, .createsDestination = in};
    };
    struct Case {
        VirtualPortConfig checked, other;
        PortNameProblem expected;
    };
    const Case cases[] = {
        {port(""), port("B"), PortNameProblem::empty},
        {port("A"), port("A"), PortNameProblem::duplicate},
        {port("A", true, false), port("A"), PortNameProblem::duplicate},
        {port("A", true, false), port("A", false, true), PortNameProblem::none}, // "A Out" and "A In"
        {port("A"), port("a"), PortNameProblem::none},
        {port("A"), port("A "), PortNameProblem::none},
    };
    for (const Case &c : cases)
        EXPECT_EQ(portNameProblem({c.checked, c.other}, 0), c.expected)
            << c.checked.name << " / " << c.other.name;
}

TEST(ConfigChecks, LocalPortsClashWhenTheirPairsOverlapOnOneAddress)
{
    const auto session = [](int port, std::string address = {}, bool enabled = true) {
        return RTPSessionConfig{
            .enabled = enabled, .localPort = port, .bindAddress = std::move(address), .remoteHost = {}};
    };
    struct Case {
        RTPSessionConfig checked, other;
        bool clash;
    };
    const Case cases[] = {
        {session(5004), session(5005), true}, // its data port is the other's control port
        {session(5004), session(5006), false},
        {session(5004), session(5004, {}, false), false},
        {session(5004, "127.0.0.1"), session(5004, "192.0.2.2"), false},
        {session(5004, "127.0.0.1"), session(5004), true},
        {session(INT_MAX), session(INT_MIN), false},
        {session(65534), session(65535), true},
    };
    for (const Case &c : cases) {
        const auto names = localPortClashes({c.checked, c.other}, 0);
        EXPECT_EQ(names.size(), c.clash ? 1u : 0u) << c.checked.localPort << " / " << c.other.localPort;
    }
}

TEST(PortFieldTest, ShowsStoredPortsOutsideTheRangeMarkedAndEditsBackInside)
{
    PortField field;
    for (const auto &[stored, outside] : {std::pair{0, true}, {1, false}, {65534, false}, {65535, true}}) {
        field.setStoredPort(stored);
        EXPECT_EQ(field.text(), QString::number(stored));
        EXPECT_EQ(field.property("invalid").toBool(), outside) << stored;
    }
    QList<int> edited;
    QObject::connect(&field, &PortField::portEdited, [&](int port) { edited << port; });
    field.setStoredPort(70000);
    field.stepBy(-1); // what the user does: 69999, brought into range
    field.setStoredPort(0);
    field.stepBy(1);
    EXPECT_EQ(edited, (QList<int>{65534, 1}));
    EXPECT_FALSE(field.showsOutOfRange());
}

class NetworkPageTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        showPage(SidebarItem::network);
    }
    RTPSessionCard *waitForCards(std::size_t count)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return page->cards().size() == count; }));
        return page->cards().empty() ? nullptr : page->cards().back();
    }
    static void choose(QComboBox *box, int index)
    {
        box->setFocus();
        box->setCurrentIndex(index);
        emit box->activated(index);
        QCoreApplication::processEvents();
    }
    DiscoveredRow *discoveredRow(const std::string &name) const
    {
        for (DiscoveredRow *r : page->discovery()->rows())
            if (r->nameLabel()->text() == QString::fromStdString(name))
                return r;
        return nullptr;
    }

    NetworkPage *page = window->findChild<NetworkPage *>();
};

TEST_F(NetworkPageTest, SessionsAreEditedInTheirCardsAndStoredValuesKeptUntilEdited)
{
    QTest::mouseClick(page->newSessionButton(), Qt::LeftButton);
    RTPSessionCard *first = waitForCards(1);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(page->noSessionLabel()->isVisible());
    QTest::mouseClick(page->newSessionButton(), Qt::LeftButton);
    RTPSessionCard *second = waitForCards(2);
    EXPECT_TRUE(first->clashLabel()->isVisible() && second->clashLabel()->isVisible());

    // Initiator: the remote row appears; back to listener it goes and the values stay.
    choose(second->roleBox(), 1);
    EXPECT_TRUE(second->remoteRow()->isVisible());
    QTest::mouseClick(second->remoteHostField(), Qt::LeftButton);
    QTest::keyClicks(second->remoteHostField(), "10.0.0.9");
    second->localPortField()->setFocus();
    second->localPortField()->selectAll();
    QTest::keyClicks(second->localPortField(), "6000");
    QTest::keyClick(second->localPortField(), Qt::Key_Return);
    choose(second->roleBox(), 0);
    EXPECT_FALSE(second->remoteRow()->isVisible());
    const RTPSessionConfig &edited = state->project().rtpSessions[1];
    EXPECT_EQ(std::tuple(edited.role, edited.remoteHost, edited.localPort),
              std::tuple(RTPRole::listener, "10.0.0.9", 6000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first->clashLabel()->isVisible(); }));

    // Interfaces: an address is stored as such, "all" as the empty string.
    const auto interfaces = NetworkInterfaces::ipv4();
    if (!interfaces.empty()) {
        choose(first->interfaceBox(), 1);
        EXPECT_EQ(state->project().rtpSessions[0].bindAddress, interfaces[0].ip);
        // Bound to one address, the session is reachable there only.
        EXPECT_TRUE(
            first->addressesLabel()->text().endsWith(" : " + QString::fromStdString(interfaces[0].ip)));
        choose(first->interfaceBox(), 0);
        EXPECT_EQ(state->project().rtpSessions[0].bindAddress, "");
    }

    // Journal and who may connect.
    first->journalSwitch()->click();
    EXPECT_FALSE(state->project().rtpSessions[0].recoveryJournal);
    choose(first->accessBox(), 1);
    EXPECT_TRUE(state->project().rtpSessions[0].onlyAllowedHosts);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->allowedHostsField()->isVisible(); }));
    QTest::mouseClick(first->allowedHostsField(), Qt::LeftButton);
    QTest::keyClicks(first->allowedHostsField(), "10.0.0.2, 192.168.1.0/24 regie");
    EXPECT_EQ(state->project().rtpSessions[0].allowedHosts,
              (std::vector<std::string>{"10.0.0.2", "192.168.1.0/24", "regie"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return first->allowedHostsError()->text().endsWith("« regie »"); }));

    QTest::mouseClick(first->deleteButton(), Qt::LeftButton);
    waitForCards(1);
    ASSERT_EQ(state->project().rtpSessions.size(), 1u);
    EXPECT_EQ(state->project().rtpSessions[0].localPort, 6000);

    // Stored values beyond the controls are shown at their edges and kept until edited.
    state->mutateProject([](TOVProject &p) {
        // No such interface here.
        p.rtpSessions = {{.localPort = 65535, .bindAddress = "203.0.113.7", .remoteHost = {}}};
        p.networkMidi2Sessions.emplace_back().group = 15;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->midi2Cards().size() == 1; }));
    RTPSessionCard *card = waitForCards(1);
    const TOVProject before = state->project();
    EXPECT_TRUE(card->localPortField()->showsOutOfRange());
    EXPECT_EQ(card->interfaceBox()->placeholderText(), "203.0.113.7");
    EXPECT_EQ(page->midi2Cards()[0]->groupBox()->value(), 16);
    QCoreApplication::processEvents();
    EXPECT_EQ(state->project(), before);

    page->midi2Cards()[0]->groupBox()->setValue(1);
    EXPECT_EQ(state->project().networkMidi2Sessions[0].group, 0);
    EXPECT_EQ(state->project().rtpSessions[0].localPort, 65535);
    EXPECT_EQ(state->project().rtpSessions[0].bindAddress, "203.0.113.7");
}

// Hosts published on the network, one of each kind: a click adds a session
// of that kind inviting them.
TEST_F(NetworkPageTest, DiscoveredHostsAreInvitedBySessionsOfTheirKind)
{
    AvahiLock avahi(false);
    const int midi2Port = freePortPair();
    const std::string pid = std::to_string(QCoreApplication::applicationPid());
    const std::string rtpName = "korvane-ui-" + pid, midi2Name = "korvane-nm2-ui-" + pid;
    QProcess rtp, midi2;
    rtp.start("avahi-publish", {"-s", QString::fromStdString(rtpName), "_apple-midi._udp", "5999"});
    midi2.start("avahi-publish",
                {"-s", QString::fromStdString(midi2Name), "_midi2._udp", QString::number(midi2Port)});
    ASSERT_TRUE(rtp.waitForStarted() && midi2.waitForStarted()) << "avahi-publish missing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return discoveredRow(rtpName) && discoveredRow(midi2Name); }, 20000))
        << "needs the private avahi-daemon started by scripts/test.sh";
    EXPECT_FALSE(page->discovery()->searchingRow()->isVisible());

    QTest::mouseClick(discoveredRow(rtpName)->connectButton(), Qt::LeftButton);
    ASSERT_EQ(state->project().rtpSessions.size(), 1u);
    EXPECT_EQ(state->project().rtpSessions[0].role, RTPRole::initiator);

    QTest::mouseClick(discoveredRow(midi2Name)->connectButton(), Qt::LeftButton);
    ASSERT_EQ(state->project().networkMidi2Sessions.size(), 1u);
    const NetworkMIDI2SessionConfig &added = state->project().networkMidi2Sessions[0];
    EXPECT_EQ(std::tuple(added.role, added.remoteHost, added.remotePort),
              std::tuple(NetworkMIDI2Role::client, "127.0.0.1", midi2Port));
    state->networkMidi2().stopAll();
    for (QProcess *publish : {&rtp, &midi2}) {
        publish->terminate();
        publish->waitForFinished(5000);
    }
}

} // namespace
} // namespace korvane::test
