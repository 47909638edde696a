// The engine on a real JACK server (started by scripts/test.sh).

#include "support/hex.h"
#include "support/jack_engine_test.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

using namespace korvane;
using korvane::test::JackTestClient;
using korvane::test::waitUntil;

namespace {

using Bytes = std::vector<std::uint8_t>;

const MIDIEndpointInfo *endpoint(const std::vector<MIDIEndpointInfo> &list, const std::string &name)
{
    auto it = std::find_if(list.begin(), list.end(), [&](const auto &info) { return info.name == name; });
    return it == list.end() ? nullptr : &*it;
}

using MIDIEngineJackTest = test::JackEngineTest;

// JACK's pretty-name metadata is what users see; the id stays the port's.
TEST_F(MIDIEngineJackTest, APrettyNameBecomesTheDisplayNameAndKeepsTheId)
{
    JackTestClient peer("korvane-pretty", {}, JackTestClient::outOnly);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(waitUntil([&] { return endpoint(engine->sources(), peer.outPort()); }));
    jack_port_t *port = jack_port_by_name(peer.client(), peer.outPort().c_str());
    ASSERT_EQ(jack_set_property(peer.client(), jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, "Pretty Keys",
                                "text/plain"),
              0);
    ASSERT_TRUE(
        waitUntil([&] { return endpoint(engine->sources(), "Pretty Keys"); }, std::chrono::seconds(1)));
    EXPECT_EQ(endpoint(engine->sources(), "Pretty Keys")->uniqueID, jackPortUniqueID(peer.outPort()));
    EXPECT_FALSE(endpoint(engine->sources(), peer.outPort()));
}

// A device behind the ALSA bridge shows under a new ALSA client number each time it is plugged:
// two identical ones at once stay apart, and the one left takes the stable id saved routes match
// (the ids themselves are pinned by the unit suite).
TEST_F(MIDIEngineJackTest, IdenticalBridgeDevicesAreListedApartAndTheOneLeftTakesTheStableId)
{
    JackTestClient bridge("korvane-bridge", {}, JackTestClient::outOnly);
    ASSERT_TRUE(bridge.ok());
    const char *const plugs[] = {"Desk [24] (capture): Port 1", "Desk [28] (capture): Port 1"};
    const std::string lowName = bridge.name() + ":" + plugs[0], highName = bridge.name() + ":" + plugs[1];
    const std::int32_t stable = jackPortUniqueID(lowName);
    ASSERT_EQ(stable, jackPortUniqueID(highName));
    const auto id = [&](const std::string &name) {
        const MIDIEndpointInfo *info = endpoint(engine->sources(), name);
        return info ? std::optional(info->uniqueID) : std::nullopt;
    };
    jack_port_t *high =
        jack_port_register(bridge.client(), plugs[1], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_port_t *low =
        jack_port_register(bridge.client(), plugs[0], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(high && low);
    ASSERT_TRUE(waitUntil([&] { return id(lowName) == stable && id(highName) && id(highName) != stable; }));
    jack_port_unregister(bridge.client(), low);
    EXPECT_TRUE(waitUntil([&] { return id(highName) == stable; }));
    jack_port_unregister(bridge.client(), high);
}

// Our port listening to (input) or feeding an endpoint.
std::string ourPort(bool input, const std::string &label, const std::string &endpoint)
{
    return "KORVANE:" + jackPlumbingPortName(input, label, jackPortUniqueID(endpoint));
}

// A patchbay shows what each of our ports carries, under the same name after a
// restart; a nickname renames the port in place, its connections kept.
TEST_F(MIDIEngineJackTest, OwnPortsAreNamedAfterTheirEndpointsAndRenamedInPlaceByANickname)
{
    JackTestClient peer("korvane-names");
    JackTestClient watcher("korvane-watcher", {}, JackTestClient::inOnly);
    ASSERT_TRUE(peer.ok() && watcher.ok());
    const std::string from = ourPort(true, peer.outPort(), peer.outPort());
    const std::string to = ourPort(false, peer.inPort(), peer.inPort());
    auto connected = [&](const std::string &a, const std::string &b) {
        const auto list = peer.connections(a);
        return std::find(list.begin(), list.end(), b) != list.end();
    };
    const auto ours = [&] { return ::testing::PrintToString(peer.ports("^KORVANE:")); };
    ASSERT_TRUE(waitUntil([&] { return connected(from, peer.outPort()) && connected(to, peer.inPort()); }))
        << ours();
    // Someone else's connection to our port, made in a patchbay.
    ASSERT_TRUE(watcher.connect(to, watcher.inPort()));

    const EndpointKey destination(EndpointKind::physical, peer.inPort(), jackPortUniqueID(peer.inPort()));
    engine->setNicknames({DeviceRef{Uuid::create(), destination, EndpointRole::destination, "Console\nFOH"}});
    const std::string renamed = ourPort(false, "Console FOH", peer.inPort());
    // PipeWire's JACK (0.3.65) shows a rename to the renaming client only:
    // others see the old name until the port is registered again.
    const std::string seen = JackTestClient::onPipeWire() ? to : renamed;
    ASSERT_TRUE(waitUntil([&] {
        return connected(seen, peer.inPort()) && connected(seen, watcher.inPort());
    })) << ours();
    EXPECT_EQ(peer.ports("^" + to).empty(), seen != to);

    engine->stop();
    EXPECT_TRUE(peer.ports("^KORVANE:").empty());
    engine->start();
    EXPECT_TRUE(waitUntil([&] {
        return connected(from, peer.outPort()) && connected(renamed, peer.inPort());
    })) << ours();
}

TEST_F(MIDIEngineJackTest, ASecondInstanceShowsItsVirtualPortsButNotItsPlumbing)
{
    JackTestClient peer("korvane-peer");
    ASSERT_TRUE(peer.ok());
    MIDIEngine second(makeJackMidiService());
    second.start();
    ASSERT_TRUE(second.running());
    second.applyVirtualPorts({{Uuid::create(), "Other", true, true}});
    auto endsWith = [](const std::vector<MIDIEndpointInfo> &list, const std::string &suffix) {
        return std::any_of(list.begin(), list.end(),
                           [&](const auto &info) { return info.name.ends_with(suffix); });
    };
    ASSERT_TRUE(waitUntil([&] {
        return endsWith(engine->sources(), ":Other Out") && endsWith(engine->destinations(), ":Other In") &&
               endpoint(second.sources(), peer.outPort());
    }));
    korvane::test::spinFor(std::chrono::milliseconds(100));
    // The other instance is "KORVANE-01" on JACK; on PipeWire it keeps the
    // name and its ports that clash with ours get a "-<n>" suffix.
    for (const MIDIEngine *e : {engine.get(), &second})
        for (const auto *list : {&e->sources(), &e->destinations()})
            for (const MIDIEndpointInfo &info : *list)
                EXPECT_TRUE(!info.name.starts_with("KORVANE") || info.name.ends_with(":Other Out") ||
                            info.name.ends_with(":Other In"))
                    << info.name;
}

// On PipeWire a graph that KORVANE starts runs at the cycle it asks for (128
// frames; a desktop's default is 1,024), and keeps it while a JACK program
// runs: PipeWire's JACK locks the cycle for its programs.
TEST(JackMidiServiceTest, OnPipeWireTheGraphRunsAtTheCycleKorvaneAsksFor)
{
    if (!JackTestClient::onPipeWire())
        GTEST_SKIP() << "JACK's cycle is the server's own";
    MIDIEngine engine(makeJackMidiService());
    engine.start();
    ASSERT_TRUE(engine.running());
    // A program that would ask for a long cycle, and sees the graph's.
    setenv("PIPEWIRE_LATENCY", "2048/48000", 1);
    JackTestClient observer("korvane-observer", {}, JackTestClient::inOnly);
    unsetenv("PIPEWIRE_LATENCY");
    ASSERT_TRUE(observer.ok() && observer.waitTwoCycles());
    EXPECT_EQ(observer.bufferSize(), 128u);
    engine.stop();
}

// JACK carries a message as one event of the port buffer (32 KiB here): one
// that cannot fit must be refused, not reported as sent and lost.
TEST(JackMidiServiceTest, MessageLargerThanAPortBufferIsRefusedAndSmallerOnesArrive)
{
    JackTestClient peer("korvane-sysex-peer", {}, JackTestClient::inOnly);
    ASSERT_TRUE(peer.ok());
    const auto service = makeJackMidiService();
    const auto client = service->openClient("korvane-sysex", {});
    ASSERT_TRUE(client.status.ok());
    const auto port = service->createOutputPort(client.client, "out");
    ASSERT_TRUE(port);
    MidiService::Handle destination = 0;
    for (const auto &d : service->destinations())
        if (d.displayName == peer.inPort())
            destination = d.handle;
    ASSERT_NE(destination, 0u);

    auto send = [&](const Bytes &bytes) {
        const MidiService::Packet packet{0, bytes};
        return service->send(*port, destination, {&packet, 1});
    };
    const std::size_t bufferBytes = jack_port_type_get_buffer_size(peer.client(), JACK_DEFAULT_MIDI_TYPE);
    EXPECT_EQ(send(test::sysexOf(bufferBytes + 1000)).error(), MidiServiceError::rejected);
    const auto sendHalf = [&] {
        EXPECT_TRUE(send(test::sysexOf(bufferBytes / 2)).ok());
        return waitUntil([&] { return !peer.receivedBytes().empty(); }, std::chrono::seconds(2));
    };
    ASSERT_TRUE(test::acrossSkippedCycles({&peer}, sendHalf)) << "lost with no skipped cycle, or three times";
    EXPECT_EQ(peer.receivedBytes().front(), test::sysexOf(bufferBytes / 2));
    // Once a cycle has run, the limit is the buffer less JACK's own bookkeeping.
    EXPECT_EQ(send(test::sysexOf(bufferBytes - 8)).error(), MidiServiceError::rejected);
    service->closeClient(client.client);
}

// A private server, so the shared one survives. Its name is fixed: JACK keeps
// a small registry of server names (eight at most) in shared memory, and a
// crashed server's entry is only reclaimed by a later server of the same name.
class PrivateJackServer {
public:
    explicit PrivateJackServer(QString name) : m_name(std::move(name)) {}
    ~PrivateJackServer() { stop(); }

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JACK_NO_AUDIO_RESERVATION", "1");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("jackd", {"-n", m_name, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"});
        if (!m_process.waitForStarted(5000))
            return false;
        // Probe every 100 ms: each failed attempt makes libjack print a few lines.
        auto lastTry = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        return waitUntil(
            [&] {
                if (std::chrono::steady_clock::now() - lastTry < std::chrono::milliseconds(100))
                    return false;
                lastTry = std::chrono::steady_clock::now();
                return JackTestClient("korvane-probe", m_name.toStdString()).ok();
            },
            std::chrono::seconds(10));
    }
    std::string output() { return m_process.readAll().toStdString(); }
    // A crash: no clean-up by the server.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // A clean exit that gives back its registry entry.
    void stop()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            kill();
    }

private:
    QString m_name;
    QProcess m_process;
};

TEST(MIDIEngineJackServerTest, KilledServerStopsTheEngineAndAStartWorksOnceItIsBack)
{
    const QString name = "korvane-kill-test";
    PrivateJackServer server(name);
    ASSERT_TRUE(server.start()) << server.output();

    auto engine = std::make_shared<MIDIEngine>(makeJackMidiService(name.toStdString()));
    std::vector<std::string> log;
    engine->setSystemLog([&](const std::string &line) { log.push_back(line); });
    engine->start();
    ASSERT_TRUE(engine->running());
    engine->applyVirtualPorts({{Uuid::create(), "Stage", true, true}});
    ASSERT_TRUE(waitUntil([&] { return endpoint(engine->sources(), "Stage Out"); }));

    server.kill();
    ASSERT_TRUE(waitUntil([&] { return !engine->running(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(waitUntil([&] { return engine->sources().empty() && engine->destinations().empty(); }));
    EXPECT_FALSE(engine->resolveDestinationRef(EndpointKey(EndpointKind::virtual_, "Stage Out")));
    engine->send(MIDIMessage({0x90, 1, 1}), EndpointKey(EndpointKind::virtual_, "Stage Out"));

    // While the server is down, a start fails with the server's status.
    log.clear();
    engine->start();
    EXPECT_FALSE(engine->running());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].starts_with("KORVANE: MIDIClientCreate a échoué (")) << log[0];
    EXPECT_NE(log[0], "KORVANE: MIDIClientCreate a échoué (0)");

    ASSERT_TRUE(server.start()) << server.output();
    engine->start();
    EXPECT_TRUE(engine->running());
    engine->applyVirtualPorts({{Uuid::create(), "Stage", true, true}});
    EXPECT_TRUE(waitUntil([&] { return endpoint(engine->sources(), "Stage Out"); }));
    engine->stop();
    server.stop();
}

} // namespace
