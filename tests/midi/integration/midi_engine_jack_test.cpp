// The engine on a real JACK server (started by scripts/test.sh), with small
// JACK clients of ours as the other programs.

#include "midi/midi_engine.h"
#include "midi/service/jack/jack_midi_service.h"
#include "support/test_support.h"

#include "support/jack_test_client.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <mutex>

using namespace korvane;
using korvane::test::JackTestClient;
using korvane::test::waitUntil;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kOneSecond = std::chrono::seconds(1);

const MIDIEndpointInfo *endpoint(const std::vector<MIDIEndpointInfo> &list, const std::string &name)
{
    auto it = std::find_if(list.begin(), list.end(), [&](const auto &info) { return info.name == name; });
    return it == list.end() ? nullptr : &*it;
}

bool hasEndpoint(const std::vector<MIDIEndpointInfo> &list, const std::string &name)
{
    return endpoint(list, name) != nullptr;
}

VirtualPortConfig virtualPort(std::string name)
{
    return {Uuid::create(), std::move(name), true, true};
}

class MIDIEngineJackTest : public ::testing::Test {
protected:
    std::shared_ptr<MIDIEngine> engine = std::make_shared<MIDIEngine>(makeJackMidiService());
    std::mutex m_inputsMutex;
    std::vector<std::pair<EndpointKey, MIDIMessage>> m_inputs; // filled on the MIDI input thread

    std::vector<std::pair<EndpointKey, MIDIMessage>> inputs()
    {
        std::lock_guard lock(m_inputsMutex);
        return m_inputs;
    }

    void SetUp() override
    {
        // These tests name the ports "KORVANE:…": JACK would rename this
        // client if another instance held the name.
        JackTestClient probe("korvane-probe");
        ASSERT_TRUE(probe.ok()) << "needs a JACK server (scripts/test.sh starts one)";
        const char **others = jack_get_ports(probe.client(), "^KORVANE[:]", nullptr, 0);
        const bool clash = others != nullptr;
        jack_free(others);
        ASSERT_FALSE(clash) << "another KORVANE client is on this JACK server";
        engine->setOnInput([this](const EndpointKey &key, const MIDIMessage &message) {
            std::lock_guard lock(m_inputsMutex);
            m_inputs.emplace_back(key, message);
        });
        engine->start();
        ASSERT_TRUE(engine->running()) << "needs a JACK server (scripts/test.sh starts one)";
    }
};

TEST_F(MIDIEngineJackTest, PanicRightBeforeStopReachesTheDestination)
{
    // No source connected: nothing else makes the stop wait for a cycle. The
    // count also catches a retired port's last events being sent twice.
    JackTestClient synth("korvane-panic-synth", {}, JackTestClient::inOnly);
    ASSERT_TRUE(waitUntil([&] { return hasEndpoint(engine->destinations(), synth.inPort()); }));
    engine->panic();
    engine->stop();
    EXPECT_TRUE(waitUntil([&] { return synth.receivedBytes().size() >= 32; }, kOneSecond));
    EXPECT_EQ(synth.receivedBytes().size(), 32u);
}

TEST_F(MIDIEngineJackTest, VirtualPortPairIsVisibleToJackAndCarriesDataBothWays)
{
    engine->applyVirtualPorts({virtualPort("Synth")});
    ASSERT_TRUE(waitUntil([&] {
        return hasEndpoint(engine->sources(), "Synth Out") && hasEndpoint(engine->destinations(), "Synth In");
    }));
    EXPECT_TRUE(endpoint(engine->sources(), "Synth Out")->isVirtual);
    EXPECT_TRUE(endpoint(engine->destinations(), "Synth In")->isVirtual);
    EXPECT_EQ(endpoint(engine->sources(), "Synth Out")->uniqueID, jackPortUniqueID("KORVANE:Synth Out"));

    JackTestClient peer("korvane-peer");
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.connect("KORVANE:Synth Out", peer.inPort()));
    ASSERT_TRUE(peer.connect(peer.outPort(), "KORVANE:Synth In"));

    // The program's own plumbing is never listed, and it never listens to its own output.
    for (const auto *list : {&engine->sources(), &engine->destinations()})
        for (const MIDIEndpointInfo &info : *list)
            EXPECT_FALSE(info.name.starts_with("KORVANE")) << info.name;
    jack_port_t *ownOut = jack_port_by_name(peer.client(), "KORVANE:Synth Out");
    ASSERT_NE(ownOut, nullptr);
    const char **connections = jack_port_get_all_connections(peer.client(), ownOut);
    ASSERT_NE(connections, nullptr);
    EXPECT_EQ(std::string(connections[0]), peer.inPort());
    EXPECT_EQ(connections[1], nullptr);
    jack_free(connections);

    // Into the program through its own destination...
    peer.send({0x90, 60, 100});
    ASSERT_TRUE(waitUntil([&] {
        const auto got = inputs();
        return !got.empty() && got.back().first == EndpointKey(EndpointKind::virtual_, "Synth In");
    }));
    // ...and out of it through its own source.
    engine->send(MIDIMessage({0x80, 60, 0}), EndpointKey(EndpointKind::virtual_, "Synth Out"));
    ASSERT_TRUE(waitUntil([&] { return !peer.receivedBytes().empty(); }));
    EXPECT_EQ(peer.receivedBytes(), (std::vector<Bytes>{{0x80, 60, 0}}));

    // Adding a port leaves the connections to the others in place.
    engine->applyVirtualPorts({virtualPort("Synth"), virtualPort("Bus")});
    engine->send(MIDIMessage({0x80, 61, 0}), EndpointKey(EndpointKind::virtual_, "Synth Out"));
    EXPECT_TRUE(waitUntil([&] { return peer.receivedBytes().size() == 2; }));
}

TEST_F(MIDIEngineJackTest, ClientsAppearingAndDisappearingUpdateTheListsWithinASecond)
{
    auto peer = std::make_unique<JackTestClient>("korvane-hotplug");
    ASSERT_TRUE(peer->ok());
    const std::string out = peer->outPort();
    const std::string in = peer->inPort();
    ASSERT_TRUE(waitUntil(
        [&] { return hasEndpoint(engine->sources(), out) && hasEndpoint(engine->destinations(), in); },
        kOneSecond));
    const MIDIEndpointInfo *source = endpoint(engine->sources(), out);
    EXPECT_EQ(source->uniqueID, jackPortUniqueID(out));
    EXPECT_FALSE(source->isVirtual);

    // The new source is listened to, and keyed by its name and unique id.
    peer->send({0xB3, 7, 99});
    ASSERT_TRUE(waitUntil([&] { return inputs().size() == 1; }));
    EXPECT_EQ(inputs()[0].first, EndpointKey(EndpointKind::physical, out, jackPortUniqueID(out)));
    EXPECT_EQ(inputs()[0].second.bytes, (Bytes{0xB3, 7, 99}));

    // A pretty name becomes the display name.
    ASSERT_TRUE(peer->setPrettyName("Hotplug Keys"));
    EXPECT_TRUE(waitUntil([&] { return hasEndpoint(engine->sources(), "Hotplug Keys"); }, kOneSecond));

    peer.reset();
    EXPECT_TRUE(waitUntil(
        [&] {
            return !hasEndpoint(engine->sources(), out) && !hasEndpoint(engine->sources(), "Hotplug Keys") &&
                   !hasEndpoint(engine->destinations(), in);
        },
        kOneSecond));
}

TEST_F(MIDIEngineJackTest, ASecondInstanceShowsItsVirtualPortsButNotItsPlumbing)
{
    JackTestClient peer("korvane-peer");
    ASSERT_TRUE(peer.ok());
    MIDIEngine second(makeJackMidiService());
    second.start();
    ASSERT_TRUE(second.running());
    second.applyVirtualPorts({virtualPort("Other")});
    auto endsWith = [](const std::vector<MIDIEndpointInfo> &list, const std::string &suffix) {
        return std::any_of(list.begin(), list.end(),
                           [&](const auto &info) { return info.name.ends_with(suffix); });
    };
    ASSERT_TRUE(waitUntil([&] {
        return endsWith(engine->sources(), ":Other Out") && endsWith(engine->destinations(), ":Other In") &&
               hasEndpoint(second.sources(), peer.outPort());
    }));
    korvane::test::spinFor(std::chrono::milliseconds(100));
    for (const MIDIEngine *e : {engine.get(), &second})
        for (const auto *list : {&e->sources(), &e->destinations()})
            for (const MIDIEndpointInfo &info : *list)
                EXPECT_TRUE(info.name.find(":in_") == std::string::npos &&
                            info.name.find(":out_") == std::string::npos)
                    << info.name;
}

// JACK carries a message as one event of the port buffer (32 KiB here): one
// that cannot fit must be refused, not reported as sent and lost.
TEST(JackMidiServiceTest, MessageLargerThanAPortBufferIsRefusedAndSmallerOnesArrive)
{
    JackTestClient peer("korvane-sysex-peer", {}, JackTestClient::inOnly);
    ASSERT_TRUE(peer.ok());
    const auto service = makeJackMidiService();
    const auto client = service->openClient("korvane-sysex", {});
    ASSERT_EQ(client.status, 0);
    const auto port = service->createOutputPort(client.client, "out");
    ASSERT_TRUE(port);
    MidiService::Handle destination = 0;
    for (const auto &d : service->destinations())
        if (d.displayName == peer.inPort())
            destination = d.handle;
    ASSERT_NE(destination, 0u);

    auto sysex = [](std::size_t size) {
        Bytes bytes(size, 0x11);
        bytes.front() = 0xF0;
        return bytes;
    };
    auto send = [&](const Bytes &bytes) {
        const MidiService::Packet packet{0, bytes};
        return service->send(*port, destination, {&packet, 1});
    };
    const std::size_t bufferBytes = jack_port_type_get_buffer_size(peer.client(), JACK_DEFAULT_MIDI_TYPE);
    EXPECT_NE(send(sysex(bufferBytes + 1000)), 0);
    EXPECT_EQ(send(sysex(bufferBytes / 2)), 0);
    ASSERT_TRUE(waitUntil([&] { return !peer.receivedBytes().empty(); }));
    EXPECT_EQ(peer.receivedBytes(), (std::vector<Bytes>{sysex(bufferBytes / 2)}));
    // Once a cycle has run, the limit is the buffer less JACK's own bookkeeping.
    EXPECT_NE(send(sysex(bufferBytes - 8)), 0);
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
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // A clean exit that gives back its registry entry.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
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
    engine->applyVirtualPorts({virtualPort("Stage")});
    ASSERT_TRUE(waitUntil([&] { return hasEndpoint(engine->sources(), "Stage Out"); }));

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
    engine->applyVirtualPorts({virtualPort("Stage")});
    EXPECT_TRUE(waitUntil([&] { return hasEndpoint(engine->sources(), "Stage Out"); }));
    engine->stop();
    server.stop();
}

} // namespace
