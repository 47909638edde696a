// The headless program on the JACK server scripts/test.sh starts, with
// RTP-MIDI peers on 127.0.0.1.

#include "net/integration/rtp_test_support.h"
#include "stop_panic.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include "midi/service/jack/jack_backend.h"
#include "model/project_document.h"
#include "net/rtp_midi_session.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::JackTestClient;
using test::waitUntil;

class Program {
public:
    explicit Program(const QStringList &arguments) { m_process.start(KORVANE_BINARY, arguments); }
    ~Program()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // `text` printed within `timeout`; the whole output otherwise.
    ::testing::AssertionResult prints(const QString &text, std::chrono::milliseconds timeout = 10s)
    {
        if (waitUntil([&] { return read().contains(text); }, timeout))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no \"" << text.toStdString() << "\" in:\n"
                                             << m_output.toStdString();
    }
    // Ended with `code`. waitForFinished() answers false for a process that
    // already ended, so the state is watched through the event loop.
    ::testing::AssertionResult exits(int code, bool terminate = true)
    {
        if (terminate)
            ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        if (!waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, 10s))
            return ::testing::AssertionFailure() << "still running";
        read();
        if (m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == code)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "exit " << m_process.exitCode() << ":\n"
                                             << m_output.toStdString();
    }

private:
    const QString &read() { return m_output += QString::fromUtf8(m_process.readAllStandardOutput()); }

    QProcess m_process;
    QString m_output;
};

// Notes flow one per cycle to a program and to two network peers while the
// headless program is stopped (panic on stop): at none of them does a note
// start after its last all-notes-off.
TEST(HeadlessEndToEnd, NoNoteOnFollowsTheStopPanicAnywhere)
{
    QTemporaryDir dir;
    JackTestClient player("korvane_stop_player", "", JackTestClient::outOnly);
    JackTestClient synth("korvane_stop_synth", "", JackTestClient::inOnly);
    ASSERT_TRUE(player.ok() && synth.ok()) << "a JACK server must be running (scripts/test.sh starts one)";

    std::mutex mutex;
    std::vector<std::vector<Bytes>> heard(2);
    std::vector<std::unique_ptr<RTPMidiSession>> peers;
    TOVProject show;
    show.settings.panicOnStop = true;
    Route route({EndpointKind::physical, player.outPort()});
    route.destinations = {{EndpointKind::physical, synth.inPort()}};
    for (int i = 0; i < 2; ++i) {
        const int peerPort = test::freePortPair(), ownPort = test::freePortPair();
        ASSERT_TRUE(peerPort > 0 && ownPort > 0);
        auto peer = std::make_unique<RTPMidiSession>(test::loopbackConfig("Pair", peerPort), "pair");
        peer->setOnReceive([&, i](const MIDIMessage &m, std::uint64_t) {
            std::lock_guard lock(mutex);
            heard[static_cast<std::size_t>(i)].push_back(m.bytes);
        });
        peer->start();
        peers.push_back(std::move(peer));
        const std::string name = "Vers" + std::to_string(i);
        show.rtpSessions.push_back(test::initiatorConfig(name, ownPort, peerPort));
        route.destinations.push_back({EndpointKind::rtp, name});
    }
    show.routes = {route};
    ASSERT_TRUE(ProjectDocument::save(show, dir.filePath("show.tovprjct")));
    Program instance({"--headless", "--another-instance", dir.filePath("show.tovprjct")});
    ASSERT_TRUE(instance.prints("RTP Vers0: session établie"));
    ASSERT_TRUE(instance.prints("RTP Vers1: session établie"));

    test::NotePerCycle notes(player);
    const auto heardSome = [&] {
        std::lock_guard lock(mutex);
        return heard[0].size() > 10 && heard[1].size() > 10 && synth.received().size() > 10;
    };
    const bool flowing = waitUntil(heardSome, 10s);
    EXPECT_TRUE(instance.exits(0));
    notes.stop();
    ASSERT_TRUE(flowing);
    // Each session's last line is printed before the process ends.
    EXPECT_TRUE(instance.prints("RTP Vers1: arrêté", 0ms));

    std::lock_guard lock(mutex);
    for (const auto &messages : {synth.receivedBytes(), heard[0], heard[1]})
        EXPECT_TRUE(test::silentAfterLastPanic(messages));
}

TEST(HeadlessEndToEnd, AnUnreadablePackageExitsWithTheErrorAndEndpointsAreListedWithTheirKeys)
{
    QTemporaryDir dir;
    Program unreadable({"--headless", "--another-instance", dir.filePath("none.tovprjct")});
    EXPECT_TRUE(unreadable.exits(1, false));
    EXPECT_TRUE(unreadable.prints("Erreur : Le fichier .tovprjct n'est pas un package valide.", 0ms));

    JackTestClient probe("korvane_list_probe");
    ASSERT_TRUE(probe.ok());
    Program list({"--list-endpoints"});
    EXPECT_TRUE(list.exits(0, false));
    for (const auto &[role, port] : {std::pair{"source", probe.outPort()}, {"destination", probe.inPort()}})
        EXPECT_TRUE(list.prints(QStringLiteral("%1\tphysical:%2\t%3\n")
                                    .arg(role)
                                    .arg(jackPortUniqueID(port))
                                    .arg(QString::fromStdString(port)),
                                0ms));
}

} // namespace
} // namespace korvane
