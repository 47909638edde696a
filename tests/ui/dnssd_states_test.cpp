#include "ui_fixture.h"

#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"
#include "support/avahi_daemon.h"
#include "ui/pages/discovery_section.h"

#include <QStackedWidget>
#include <QUdpSocket>

// Run by their own CTest entry, which holds the services lock: they stop and
// freeze the private Avahi daemon that scripts/test.sh starts.

namespace korvane::test {
namespace {

using namespace std::chrono_literals;

class DnssdStates : public WindowTest {
protected:
    void SetUp() override
    {
        if (!DaemonOutage::control())
            GTEST_FAIL() << "needs the private avahi-daemon started by scripts/test.sh";
        WindowTest::SetUp();
        state->discovery().daemonReplyTimeout = 300ms;
        int port = 47500;
        while (port < 48000 && !QUdpSocket().bind(QHostAddress::LocalHost, port))
            port += 2;
        state->mutateProject([&](TOVProject &p) {
            RTPSessionConfig &listener = p.rtpSessions.emplace_back();
            listener.name = m_name.toStdString();
            listener.localPort = port;
            listener.bindAddress = "127.0.0.1";
        });
        state->applyNetwork();
        showPage(SidebarItem::network);
    }
    void TearDown() override { state->rtp().stopAll(); }

    DiscoverySection *section() const { return window->pages()->currentWidget()->findChild<DiscoverySection *>(); }
    // The section's visible texts once they settle on `wanted` (the first that is shown).
    bool shows(const QString &wanted, bool searching)
    {
        return QTest::qWaitFor(
            [&] {
                const QLabel *labels[] = {section()->unavailableLabel(), section()->advertisedLabel()};
                for (const QLabel *label : labels)
                    if (label->isVisible() && label->text().startsWith(wanted))
                        return searching == section()->searchingRow()->isVisible();
                return false;
            },
            20000);
    }
    bool publishing()
    {
        // Another run's service of the same name may have renamed ours ("… #2").
        return shows(QStringLiteral("Publié comme « %1").arg(m_name), state->discovery().peers().empty());
    }

    AvahiLock m_lock{true};
    const QString m_name = QStringLiteral("Régie-%1").arg(QCoreApplication::applicationPid());
};

TEST_F(DnssdStates, PublishingMissingAndSilentDaemonEachSaySo)
{
    ASSERT_TRUE(publishing());
    {
        DaemonOutage stopped;
        EXPECT_TRUE(shows("DNS-SD indisponible : démon Avahi absent. Ni publication ni recherche ; elles "
                          "reprendront dès que le démon Avahi répondra.",
                          false));
        EXPECT_FALSE(section()->advertisedLabel()->isVisible());
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
