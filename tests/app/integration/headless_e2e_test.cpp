// Two headless KORVANE processes on one JACK server, joined by an RTP-MIDI
// session on 127.0.0.1: player -> A -> network -> B -> listener.

#include "support/jack_test_client.h"
#include "support/test_support.h"

#include "midi/service/jack/jack_midi_service.h"
#include "model/project_document.h"

#include <QHostAddress>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>

namespace korvane {
namespace {

using test::JackTestClient;
using test::waitUntil;

// A control port p with p + 1 also free on 127.0.0.1, not overlapping `avoid`.
int freePortPair(int avoid = 0)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, 0))
            continue;
        const int p = probe.localPort();
        if (p >= 65534 || p % 2 || (avoid && p >= avoid - 1 && p <= avoid + 1))
            continue;
        QUdpSocket next;
        if (next.bind(QHostAddress::LocalHost, static_cast<quint16>(p + 1)))
            return p;
    }
    return 0;
}

class HeadlessProcess {
public:
    explicit HeadlessProcess(const std::filesystem::path &package,
                             const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(env);
        m_process.setProgram(KORVANE_BINARY);
        // Two instances share the test's JACK server on purpose.
        m_process.setArguments(
            {"--headless", "--another-instance", QString::fromStdString(package.string())});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
    }
    ~HeadlessProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool saw(const QString &text)
    {
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        return m_output.contains(text);
    }
    QString output()
    {
        saw({});
        return m_output;
    }
    // waitForFinished() answers false for a process that already ended, so
    // watch the state through the event loop instead.
    bool finished()
    {
        return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, std::chrono::seconds(10));
    }
    void terminate() { ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM); }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QString m_output;
};

TEST(HeadlessEndToEnd, NotesCrossTwoInstancesOverTheNetworkChannelFiltered)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::filesystem::path root = dir.path().toStdString();

    JackTestClient player("korvane_e2e_player", "", JackTestClient::outOnly);
    JackTestClient listener("korvane_e2e_listener", "", JackTestClient::inOnly);
    ASSERT_TRUE(player.ok() && listener.ok()) << "a JACK server must be running (scripts/test.sh starts one)";

    const int portB = freePortPair();
    const int portA = freePortPair(portB);
    ASSERT_NE(portA, 0);
    ASSERT_NE(portB, 0);

    TOVProject a;
    a.name = "Instance A";
    RTPSessionConfig toB;
    toB.name = "VersB";
    toB.role = RTPRole::initiator;
    toB.localPort = portA;
    toB.remoteHost = "127.0.0.1";
    toB.remotePort = portB;
    a.rtpSessions = {toB};
    Route outbound({EndpointKind::physical, player.outPort()});
    outbound.destinations = {{EndpointKind::rtp, "VersB"}};
    a.routes = {outbound};

    TOVProject b;
    b.name = "Instance B";
    RTPSessionConfig fromA;
    fromA.name = "DepuisA";
    fromA.localPort = portB;
    fromA.bindAddress = "127.0.0.1";
    b.rtpSessions = {fromA};
    Route inbound({EndpointKind::rtp, "DepuisA"});
    inbound.destinations = {{EndpointKind::physical, listener.inPort()}};
    inbound.channelMask = 0x0001; // channel 1 only
    b.routes = {inbound};

    ASSERT_TRUE(ProjectDocument::save(a, QString::fromStdString((root / "a.tovprjct").string())));
    ASSERT_TRUE(ProjectDocument::save(b, QString::fromStdString((root / "b.tovprjct").string())));

    HeadlessProcess instanceB(root / "b.tovprjct");
    ASSERT_TRUE(waitUntil([&] { return instanceB.saw("Ouvert : b.tovprjct"); }, std::chrono::seconds(10)))
        << instanceB.output().toStdString();
    HeadlessProcess instanceA(root / "a.tovprjct");
    ASSERT_TRUE(
        waitUntil([&] { return instanceA.saw("session établie") && instanceB.saw("session établie"); },
                  std::chrono::seconds(10)))
        << "A:\n"
        << instanceA.output().toStdString() << "\nB:\n"
        << instanceB.output().toStdString();

    // A needs a moment to connect the player's port; keep playing until
    // notes arrive, on channels 1 and 2.
    ASSERT_TRUE(waitUntil(
        [&] {
            player.send({0x91, 62, 90}); // channel 2: filtered out by B
            player.send({0x90, 60, 100});
            test::spinFor(std::chrono::milliseconds(20));
            return listener.receivedBytes().size() >= 3;
        },
        std::chrono::seconds(10)));
    test::spinFor(std::chrono::milliseconds(200));
    for (const auto &message : listener.receivedBytes())
        EXPECT_EQ(message, (std::vector<std::uint8_t>{0x90, 60, 100}));

    instanceA.terminate();
    ASSERT_TRUE(instanceA.finished()) << instanceA.output().toStdString();
    EXPECT_EQ(instanceA.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(instanceA.process().exitCode(), 0);
    // The session's last line is printed before the process ends.
    EXPECT_TRUE(instanceA.saw("RTP VersB: arrêté")) << instanceA.output().toStdString();
    EXPECT_TRUE(waitUntil([&] { return instanceB.saw("a quitté la session"); }, std::chrono::seconds(5)))
        << instanceB.output().toStdString();

    instanceB.terminate();
    ASSERT_TRUE(instanceB.finished()) << instanceB.output().toStdString();
    EXPECT_EQ(instanceB.process().exitCode(), 0);
    EXPECT_TRUE(instanceB.saw("Moteur arrêté"));
    EXPECT_TRUE(instanceB.saw("RTP DepuisA: arrêté")) << instanceB.output().toStdString();
}

TEST(HeadlessEndToEnd, UnreadablePackageExitsWithTheError)
{
    QTemporaryDir dir;
    const std::filesystem::path missing = std::filesystem::path(dir.path().toStdString()) / "none.tovprjct";
    HeadlessProcess instance(missing);
    ASSERT_TRUE(instance.finished());
    EXPECT_NE(instance.process().exitCode(), 0);
    EXPECT_TRUE(instance.saw("Erreur : Le fichier .tovprjct n'est pas un package valide."))
        << instance.output().toStdString();
}

// A JACK server of the test's own, so killing it leaves the shared one alone.
class PrivateJackServer {
public:
    static constexpr const char *kName = "korvane-restart-test";

    bool start()
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("JACK_NO_AUDIO_RESERVATION", "1");
        m_jackd.setProcessEnvironment(env);
        m_jackd.start("jackd", {"--no-realtime", "-n", kName, "-d", "dummy", "-p", "256"});
        return waitUntil([&] { return JackTestClient("korvane_restart_probe", kName).ok(); },
                         std::chrono::seconds(10));
    }
    void stop()
    {
        m_jackd.terminate();
        m_jackd.waitForFinished(10000);
    }
    ~PrivateJackServer()
    {
        if (m_jackd.state() != QProcess::NotRunning)
            stop();
    }

private:
    QProcess m_jackd;
};

TEST(HeadlessEndToEnd, EngineAndVirtualPortsComeBackWhenTheMidiServerRestarts)
{
    QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString();
    TOVProject show;
    show.virtualPorts = {VirtualPortConfig()};
    ASSERT_TRUE(ProjectDocument::save(show, QString::fromStdString((root / "show.tovprjct").string())));

    PrivateJackServer server;
    ASSERT_TRUE(server.start());
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("JACK_DEFAULT_SERVER", PrivateJackServer::kName);
    HeadlessProcess instance(root / "show.tovprjct", env);
    ASSERT_TRUE(waitUntil([&] { return instance.saw("Ouvert : show.tovprjct"); }))
        << instance.output().toStdString();

    server.stop();
    // The server's shutdown notice may take a while on a loaded machine.
    ASSERT_TRUE(waitUntil([&] { return instance.saw("Moteur arrêté : serveur MIDI injoignable"); },
                          std::chrono::seconds(15)))
        << instance.output().toStdString();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitUntil([&] { return instance.saw("Moteur redémarré"); }, std::chrono::seconds(10)))
        << instance.output().toStdString();
    JackTestClient probe("korvane_restart_ports", PrivateJackServer::kName);
    ASSERT_TRUE(probe.ok());
    const char **ports = jack_get_ports(probe.client(), "KORVANE Bus Out$", nullptr, 0);
    EXPECT_NE(ports, nullptr);
    jack_free(ports);

    instance.terminate();
    ASSERT_TRUE(instance.finished());
    EXPECT_EQ(instance.process().exitCode(), 0);
}

TEST(HeadlessEndToEnd, ListEndpointsPrintsJackPortsWithTheirKeys)
{
    JackTestClient probe("korvane_list_probe");
    ASSERT_TRUE(probe.ok());
    QProcess list;
    list.start(KORVANE_BINARY, {"--list-endpoints"});
    ASSERT_TRUE(list.waitForFinished(10000));
    EXPECT_EQ(list.exitCode(), 0);
    const QString out = QString::fromUtf8(list.readAllStandardOutput());
    const auto line = [](const char *role, const std::string &port) {
        return QString::fromStdString(
            std::string(role) + "\tphysical:" + std::to_string(jackPortUniqueID(port)) + "\t" + port + "\n");
    };
    EXPECT_TRUE(out.contains(line("source", probe.outPort()))) << out.toStdString();
    EXPECT_TRUE(out.contains(line("destination", probe.inPort()))) << out.toStdString();
}

} // namespace
} // namespace korvane
