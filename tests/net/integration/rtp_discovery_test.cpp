#include "net/rtp_discovery.h"

#include "support/avahi_daemon.h"
#include "support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <vector>

// These tests talk to the avahi-daemon that scripts/test.sh starts on a private system bus
// restricted to the loopback interface, and use Avahi's own tools as the other participant.
// Service names are unique per run so that parallel runs on the same loopback do not meet.

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::DaemonOutage;
using test::waitUntil;

std::string uniqueName(const char *what)
{
    static std::atomic<int> counter{0};
    return std::string("korvane-") + what + "-" + std::to_string(QCoreApplication::applicationPid()) + "-" +
           std::to_string(++counter);
}

// Undoes avahi-browse's escaping of instance names (\DDD decimal, \X for X).
std::string unescape(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool escaped = text[i] == '\\' && i + 1 < text.size();
        if (escaped && i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])))
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3))), i += 3;
        else
            out += text[escaped ? ++i : i];
    }
    return out;
}

// Gives the process that long to end, then kills it.
void finish(QProcess &process, int ms)
{
    if (!process.waitForFinished(ms)) {
        process.kill();
        process.waitForFinished();
    }
}

// The lines avahi-browse prints for a service type. The tool can wait for ever on a service
// withdrawn while it resolves it, so it gets a few seconds and what it printed until then counts.
QList<QByteArray> avahiBrowse(const QString &type)
{
    QProcess browse;
    browse.start("avahi-browse", {"-rtp", type});
    finish(browse, 6000);
    return browse.readAllStandardOutput().split('\n');
}

// The services resolved, read in order: a withdrawal ("-") undoes an earlier resolution ("=").
std::vector<DiscoveredPeer> browseWithAvahiTool()
{
    std::vector<DiscoveredPeer> result;
    for (const QByteArray &line : avahiBrowse("_apple-midi._udp")) {
        const QList<QByteArray> f = line.split(';');
        if (f.size() >= 10 && f[0] == "=")
            result.push_back({unescape(f[3].toStdString()), f[7].toStdString(), f[8].toInt()});
        else if (f.size() >= 4 && f[0] == "-")
            std::erase_if(result, [name = unescape(f[3].toStdString())](const DiscoveredPeer &b) {
                return b.name == name;
            });
    }
    return result;
}

// With a port: that service on 127.0.0.1 and that port; without: any service of that name.
bool lists(const std::vector<DiscoveredPeer> &peers, const std::string &name, int port = 0)
{
    return std::ranges::any_of(peers, [&](const DiscoveredPeer &p) {
        return p.name == name && (port == 0 || (p.port == port && p.host == "127.0.0.1"));
    });
}
bool browseShows(const std::string &name, int port = 0)
{
    return lists(browseWithAvahiTool(), name, port);
}

// `avahi-publish -s NAME _apple-midi._udp PORT [-H HOST]` for as long as the object lives.
class PublishTool {
public:
    PublishTool(const std::string &name, int port, QStringList extra = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("avahi-publish", extra + QStringList{"-s", QString::fromStdString(name),
                                                             "_apple-midi._udp", QString::number(port)});
        EXPECT_TRUE(m_process.waitForStarted()) << "avahi-publish missing";
        // The tool says so once the daemon has accepted the records.
        EXPECT_TRUE(waitUntil(
            [&] {
                m_output += m_process.readAll();
                return m_output.contains("Established") || m_process.state() != QProcess::Running;
            },
            20s))
            << "avahi-publish did not establish " << name << ": " << m_output.toStdString();
    }
    ~PublishTool()
    {
        m_process.terminate();
        finish(m_process, 5000);
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

template <bool exclusive> class DaemonUser : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (exclusive && !DaemonOutage::control())
            FAIL() << "needs the private avahi-daemon started by scripts/test.sh";
    }
    test::AvahiLock m_lock{exclusive};
};
using RTPDiscoveryTest = DaemonUser<false>;
using RTPDiscoveryOutageTest = DaemonUser<true>;

TEST_F(RTPDiscoveryTest, ListsOthersButNotItselfRenamesOnACollisionAndStopWithdrawsEverything)
{
    RTPDiscovery discovery;
    discovery.resolveTimeout = 1500ms;
    discovery.start();
    EXPECT_TRUE(discovery.browsing());
    const std::string first = uniqueName("peer"), second = uniqueName("peer"), own = uniqueName("own");
    discovery.advertise(own, 5102);
    ASSERT_TRUE(waitUntil([&] { return discovery.advertisedName() == own; }));
    ASSERT_TRUE(waitUntil([&] { return browseShows(own, 5102); }, 15s));
    // Announced after ours: once they are listed, ours has been seen (and skipped) too.
    // A host name without any address record cannot resolve to IPv4: never listed.
    const std::string ghostName = uniqueName("ghost");
    PublishTool ghost(ghostName, 5108, {"-H", QString::fromStdString(uniqueName("nohost") + ".local")});
    auto tool = std::make_unique<PublishTool>(first, 5104);
    PublishTool other(second, 5106);

    ASSERT_TRUE(waitUntil(
        [&] { return lists(discovery.peers(), first, 5104) && lists(discovery.peers(), second, 5106); },
        10s));
    EXPECT_FALSE(lists(discovery.peers(), own));
    test::spinFor(2s); // past the shortened resolve time-out
    EXPECT_FALSE(lists(discovery.peers(), ghostName));
    EXPECT_TRUE(discovery.daemonAvailable());
    tool.reset();
    EXPECT_TRUE(waitUntil([&] { return !lists(discovery.peers(), first); }, 10s));
    EXPECT_TRUE(lists(discovery.peers(), second, 5106));

    // Advertised under the name of a service listed already: ours is renamed, the other stays listed.
    const std::string renamed = second + " #2";
    discovery.advertise(second, 5110);
    ASSERT_TRUE(waitUntil([&] { return discovery.advertisedName() == renamed; }, 10s))
        << discovery.advertisedName();
    EXPECT_TRUE(waitUntil([&] { return browseShows(renamed, 5110); }, 15s));
    EXPECT_TRUE(lists(discovery.peers(), second, 5106));
    EXPECT_FALSE(lists(discovery.peers(), renamed));

    discovery.stop();
    EXPECT_FALSE(discovery.browsing());
    EXPECT_TRUE(waitUntil([&] { return discovery.peers().empty() && discovery.advertisedName().empty(); }));
    EXPECT_TRUE(waitUntil([&] { return !browseShows(own) && !browseShows(renamed); }, 15s));
}

TEST_F(RTPDiscoveryOutageTest, WithoutDaemonNothingBlocksAndDiscoveryBeginsWhenTheDaemonAppears)
{
    DaemonOutage outage;

    const std::string own = uniqueName("pending");
    QElapsedTimer clock;
    clock.start();
    RTPDiscovery discovery;
    discovery.start();
    discovery.advertise(own, 5704);
    EXPECT_LT(clock.elapsed(), 2000) << "creating and starting discovery blocked";
    test::spinFor(300ms);
    EXPECT_TRUE(discovery.browsing());
    EXPECT_FALSE(discovery.daemonAvailable());
    EXPECT_TRUE(discovery.peers().empty());
    EXPECT_EQ(discovery.advertisedName(), own);

    outage.end();
    ASSERT_TRUE(waitUntil([&] { return discovery.daemonAvailable(); }, 10s));
    const std::string peer = uniqueName("late");
    PublishTool tool(peer, 5706);
    EXPECT_TRUE(waitUntil([&] { return lists(discovery.peers(), peer, 5706); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return browseShows(own, 5704); }, 15s))
        << "pending advertisement not published";

    // The daemon going away empties the list; its return brings discovery back.
    {
        DaemonOutage again;
        EXPECT_TRUE(
            waitUntil([&] { return !discovery.daemonAvailable() && discovery.peers().empty(); }, 10s));
    }
    ASSERT_TRUE(waitUntil([&] { return discovery.daemonAvailable(); }, 10s));
    const std::string after = uniqueName("after");
    PublishTool second(after, 5708);
    EXPECT_TRUE(waitUntil([&] { return lists(discovery.peers(), after); }, 10s));
    EXPECT_TRUE(waitUntil([&] { return browseShows(own, 5704); }, 15s));
}

TEST_F(RTPDiscoveryOutageTest, HungDaemonNeverStallsTheMainThreadAndDiscoveryRecoversWhenItAnswers)
{
    const std::string peer = uniqueName("steady"), first = uniqueName("first"), second = uniqueName("second");
    PublishTool tool(peer, 5904);
    RTPDiscovery discovery;
    discovery.start();
    discovery.advertise(first, 5902);
    ASSERT_TRUE(
        waitUntil([&] { return lists(discovery.peers(), peer, 5904) && browseShows(first, 5902); }, 15s));

    {
        DaemonOutage frozen("daemon-pause", "daemon-resume");
        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0, longestGap = 0;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
            ++ticks;
        });
        ticker.start(20ms);
        // Each of these talks to the daemon: withdraw, new client, new browser, new entry group.
        discovery.advertise(uniqueName("between"), 5906);
        discovery.stop();
        discovery.start();
        discovery.advertise(second, 5908);
        {
            RTPDiscovery abandoned; // destroyed while its thread waits on the daemon
            abandoned.advertise(uniqueName("abandoned"), 5910);
            test::spinFor(200ms);
        }
        EXPECT_LT(clock.elapsed(), 1500) << "a call waited on the daemon";
        test::spinFor(1500ms);
        EXPECT_GE(ticks, 20);
        EXPECT_LT(longestGap, 1000);
        EXPECT_TRUE(discovery.peers().empty());
        EXPECT_EQ(discovery.advertisedName(), second);
    }

    EXPECT_TRUE(waitUntil([&] { return lists(discovery.peers(), peer, 5904); }, 15s));
    EXPECT_TRUE(waitUntil([&] { return browseShows(second, 5908) && !browseShows(first); }, 20s));
    EXPECT_EQ(discovery.advertisedName(), second);
}

// The D-Bus library keeps the first system bus address a process uses, so this case runs in a
// child process (the DISABLED_ test below) whose bus address names a socket that does not
// exist yet; the child later links it to the real bus, as when the bus starts after the program.
TEST_F(RTPDiscoveryTest, WithoutDBusNothingBlocksAndDiscoveryBeginsWhenTheBusAnswers)
{
    QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty())
        address = "unix:path=/run/dbus/system_bus_socket";
    if (!address.startsWith("unix:path="))
        GTEST_SKIP() << "system bus address is not a socket path: " << address.toStdString();
    const QByteArray realSocket = address.mid(10).split(',').first();

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath("bus"));
    env.insert("KORVANE_TEST_REAL_BUS", QString::fromLocal8Bit(realSocket));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=RTPDiscoveryChild.DISABLED_LateBus", "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST(RTPDiscoveryChild, DISABLED_LateBus)
{
    const QByteArray realSocket = qgetenv("KORVANE_TEST_REAL_BUS");
    ASSERT_FALSE(realSocket.isEmpty())
        << "run by WithoutDBusNothingBlocksAndDiscoveryBeginsWhenTheBusAnswers";
    const QString busPath = QString::fromLocal8Bit(qgetenv("DBUS_SYSTEM_BUS_ADDRESS")).mid(10);

    QElapsedTimer clock;
    clock.start();
    RTPDiscovery discovery;
    discovery.reconnectInterval = 100ms;
    discovery.start();
    EXPECT_LT(clock.elapsed(), 2000) << "creating and starting discovery blocked";
    test::spinFor(500ms); // several retries
    EXPECT_FALSE(discovery.daemonAvailable());
    EXPECT_TRUE(discovery.peers().empty());

    ASSERT_TRUE(QFile::link(QString::fromLocal8Bit(realSocket), busPath));
    ASSERT_TRUE(waitUntil([&] { return discovery.daemonAvailable(); }, 10s));
    const std::string peer = uniqueName("bus");
    PublishTool tool(peer, 5804);
    EXPECT_TRUE(waitUntil([&] { return lists(discovery.peers(), peer); }, 10s));
}

TEST_F(RTPDiscoveryTest, OurMidi2HostIsPublishedWithItsTXT)
{
    RTPDiscovery discovery;
    discovery.start();
    const std::string own = uniqueName("nm2own");
    discovery.advertiseMidi2(own, 5675, "Sc\u00e8ne", "PIID-7");
    QByteArray listed;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QByteArray &line : avahiBrowse("_midi2._udp"))
                if (line.startsWith("=") && line.contains(QByteArray::fromStdString(own)))
                    listed = line;
            return !listed.isEmpty();
        },
        20s))
        << "needs the private avahi-daemon started by scripts/test.sh";
    // The daemon's confirmation reaches the main thread a moment after the browse.
    EXPECT_TRUE(waitUntil([&] { return discovery.advertisedMidi2Name() == own; }));
    EXPECT_TRUE(listed.contains(";5675;")) << listed.toStdString();
    EXPECT_TRUE(listed.contains("\"UMPEndpointName=Sc") && listed.contains("\"ProductInstanceId=PIID-7\""))
        << listed.toStdString();
    EXPECT_FALSE(lists(discovery.peers(), own));
    discovery.withdrawMidi2();
    EXPECT_TRUE(waitUntil([&] { return discovery.advertisedMidi2Name().empty(); }));
}

} // namespace
} // namespace korvane
