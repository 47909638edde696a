#include "app/app_state.h"
#include "app/engine_supervisor.h"
#include "app/fake_prompts.h"
#include "support/test_support.h"

#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"
#include "model/project_document.h"
#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace korvane {
namespace {

using test::waitUntil;

EndpointKey phys(std::string name, std::optional<std::int32_t> uid = std::nullopt)
{
    return {EndpointKind::physical, std::move(name), uid};
}

// A service that refuses to create the virtual ports it is told to.
class RefusingService : public LoopbackMidiService {
public:
    std::set<std::string> refused;

    std::optional<Handle> createVirtualSource(Handle client, const std::string &name) override
    {
        return refused.count(name) ? std::nullopt : LoopbackMidiService::createVirtualSource(client, name);
    }
    std::optional<Handle> createVirtualDestination(Handle client, const std::string &name,
                                                   VirtualInputHandler receive) override
    {
        return refused.count(name)
                   ? std::nullopt
                   : LoopbackMidiService::createVirtualDestination(client, name, std::move(receive));
    }
};

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // Let the project stream deliver its first value.
        test::spinFor(std::chrono::milliseconds(20));
    }
    void useProject(const std::function<void(TOVProject &)> &edit)
    {
        m_state->mutateProject(edit);
        test::spinFor(std::chrono::milliseconds(20));
    }
    std::filesystem::path tempPath(const std::string &name) const
    {
        return std::filesystem::path(m_dir.path().toStdString()) / name;
    }

    QTemporaryDir m_dir;
    std::shared_ptr<RefusingService> m_service = std::make_shared<RefusingService>();
    std::shared_ptr<test::FakePrompts> m_prompts = std::make_shared<test::FakePrompts>();
    std::unique_ptr<AppState> m_state = std::make_unique<AppState>(m_service, m_prompts);
};

TEST_F(AppStateTest, FailedOpenKeepsEverythingAndSavingAddsTheExtensionOnce)
{
    m_state->mutateProject([](TOVProject &p) { p.name = "Répétition"; });
    const TOVProject before = m_state->project();
    const std::string text = "Le fichier .tovprjct n'est pas un package valide.";
    m_prompts->openAnswers.push_back(tempPath("absent.tovprjct"));
    m_state->openProject();
    EXPECT_EQ(m_state->project(), before);
    EXPECT_FALSE(m_state->projectURL());
    EXPECT_TRUE(m_state->dirty());
    EXPECT_EQ(m_prompts->alerts, (std::vector<std::pair<std::string, std::string>>{{"KORVANE", text}}));
    m_state->newProject();
    EXPECT_FALSE(m_state->dirty());

    // Saving adds the extension unless it is there in lower case; a failed
    // save keeps the project dirty but records where it goes.
    m_state->markDirty();
    m_prompts->saveAnswers.push_back(tempPath("upper.TOVPRJCT"));
    m_state->save();
    EXPECT_TRUE(std::filesystem::exists(tempPath("upper.TOVPRJCT.tovprjct") / "project.json"));
    EXPECT_FALSE(m_state->dirty());

    std::ofstream(tempPath("blocker")) << "a file, not a folder";
    m_state->markDirty();
    m_prompts->saveAnswers.push_back(tempPath("blocker") / "show");
    m_state->saveAs();
    EXPECT_TRUE(m_state->dirty());
    EXPECT_EQ(m_state->projectURL(), tempPath("blocker") / "show.tovprjct");
    EXPECT_EQ(m_prompts->alerts.size(), 2u);
}

TEST_F(AppStateTest, ToggleMatrixSplitsMultiDestinationRoutesAndShowsNoDisabledOnes)
{
    // A route to several destinations loses none of them to a click.
    const auto a = phys("A"), b = phys("B"), c = phys("C");
    Route both(a);
    both.destinations = {b, c};
    m_state->mutateProject([&](TOVProject &p) { p.routes = {both}; });
    EXPECT_TRUE(m_state->hasMatrixConnection(a, c));
    m_state->toggleMatrix(a, b);
    ASSERT_EQ(m_state->project().routes.size(), 2u);
    EXPECT_EQ(m_state->project().routes[0], both);
    EXPECT_EQ(m_state->project().routes[1].destinations, std::vector<EndpointKey>{b});

    // A disabled route shows no connection.
    m_state->mutateProject([](TOVProject &p) {
        for (auto &r : p.routes)
            r.enabled = false;
    });
    EXPECT_FALSE(m_state->hasMatrixConnection(a, b));
    // ...and a click on its cell connects anew, leaving the disabled routes as stored.
    const std::vector<Route> before = m_state->project().routes;
    m_state->toggleMatrix(a, b);
    ASSERT_EQ(m_state->project().routes.size(), 3u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), m_state->project().routes.begin()));
}

// Each discovered peer gets an initiator on the first pair no session holds,
// even a disabled one; a peer already known, even disabled, gets nothing.
TEST_F(AppStateTest, ConnectToDiscoveredTakesTheFirstFreePairOnceAPeer)
{
    const std::pair<std::vector<int>, int> cases[] = {{{}, 5004}, {{5004, 5007}, 5010}, {{5005}, 5008}};
    for (const auto &[ports, expected] : cases) {
        m_state->mutateProject([&](TOVProject &p) {
            p.rtpSessions.clear();
            for (int port : ports) {
                p.rtpSessions.emplace_back().localPort = port;
                p.rtpSessions.back().enabled = false;
            }
        });
        m_state->connectToDiscovered({"Console", "127.0.0.1", 45000});
        const RTPSessionConfig &added = m_state->project().rtpSessions.back();
        EXPECT_EQ(std::tuple(added.localPort, added.role, added.remoteHost, added.remotePort),
                  std::tuple(expected, RTPRole::initiator, "127.0.0.1", 45000));
    }
    m_state->mutateProject([](TOVProject &p) { p.rtpSessions.back().enabled = false; });
    m_state->connectToDiscovered({"Console bis", "127.0.0.1", 45000});
    EXPECT_EQ(m_state->statusMessage(), "Déjà connecté à Console bis");
    EXPECT_EQ(m_state->project().rtpSessions.size(), 2u);
    m_state->rtp().stopAll();
}

TEST_F(AppStateTest, NicknamesFollowTheEndpointByUniqueId)
{
    m_state->setNickname("", phys("Desk", 7), EndpointRole::destination);
    EXPECT_EQ(m_state->displayName(phys("Desk", 7)), "Desk");
    m_state->setNickname("Console FOH", phys("Desk", 7), EndpointRole::destination);
    EXPECT_EQ(m_state->displayName(phys("Other name", 7)), "Console FOH");
    EXPECT_EQ(m_state->project().devices.size(), 1u);
    m_state->removeDevice(phys("Desk", 7));
    EXPECT_TRUE(m_state->project().devices.empty());
}

VirtualPortConfig port(std::string name, bool out = true, bool in = true)
{
    return {.name = std::move(name), .createsSource = out, .createsDestination = in};
}

TEST_F(AppStateTest, RefusedPortsAreNamedAndTheEngineIsBroughtBackOnlyWhileWantedAndStoppedQuietly)
{
    // "Lights" makes "Lights Out" and "Lights In"; a port made once is not named twice.
    m_service->refused = {"Lights In", "Video Out"};
    const std::pair<std::vector<VirtualPortConfig>, std::string> statuses[] = {
        {{port("Video"), port("Lights"), port("Lights")}, "Port virtuel non créé : Video Out, Lights In"},
        {{port("Lights", true, false), port("Video", false, true)}, "Ports virtuels appliqués"},
    };
    for (const auto &[ports, status] : statuses) {
        m_state->mutateProject([&](TOVProject &p) { p.virtualPorts = ports; });
        m_state->applyVirtualPorts();
        EXPECT_EQ(m_state->statusMessage(), status);
        EXPECT_TRUE(m_state->dirty());
    }

    // The server goes away mid-show and comes back: engine and ports return.
    m_service->refused.clear();
    m_state->supervisor().setRetryInterval(std::chrono::milliseconds(20));
    m_state->mutateProject([](TOVProject &p) { p.virtualPorts = {VirtualPortConfig()}; });
    m_state->applyVirtualPorts();
    m_service->setOpenStatus(-1);
    m_service->simulateShutdown();
    ASSERT_TRUE(
        waitUntil([&] { return m_state->statusMessage().starts_with("Moteur arrêté : serveur MIDI"); }));
    EXPECT_EQ(m_service->find("KORVANE Bus Out"), 0u);
    m_service->setOpenStatus(0);
    ASSERT_TRUE(waitUntil([&] { return m_state->engine().running(); }));
    EXPECT_EQ(m_state->statusMessage(), "Moteur redémarré");
    EXPECT_NE(m_service->find("KORVANE Bus Out"), 0u);

    const auto leftStopped = [&](const char *by) {
        const int opened = m_service->clientsOpened();
        test::spinFor(std::chrono::milliseconds(100));
        EXPECT_FALSE(m_state->engine().running()) << by;
        EXPECT_EQ(m_service->clientsOpened(), opened) << by;
        EXPECT_FALSE(m_state->supervisor().wanted()) << by;
    };
    // Stopped by the user, without the panic the show turned off: nothing is
    // sent, the sessions go down, the engine stays down. (The panic itself is
    // checked where the window quits.)
    m_service->addDestination("D1", 1);
    m_state->mutateProject([](TOVProject &p) {
        p.settings.panicOnStop = false;
        p.rtpSessions.emplace_back().localPort = 0; // refused at start; only its presence matters
    });
    ASSERT_TRUE(waitUntil([&] {
        return std::ranges::any_of(m_state->engine().destinations(),
                                   [](const auto &d) { return d.name == "D1"; });
    }));
    m_state->applyNetwork();
    EXPECT_EQ(m_state->rtp().routableKeys().size(), 1u);
    m_service->clearDeliveries();
    m_state->stopEngine();
    EXPECT_TRUE(m_service->deliveries().empty());
    EXPECT_TRUE(m_state->rtp().routableKeys().empty());
    leftStopped("by the user");
    // A show that does not start the engine on open still can; applied again, it stops it.
    m_state->mutateProject([](TOVProject &p) { p.settings.startEngineOnOpen = false; });
    m_state->startEngine();
    EXPECT_TRUE(m_state->engine().running());
    m_state->applyAll();
    leftStopped("by the show");

    // Stopped, nothing is created yet and nothing is reported: the ports come with the engine.
    m_state->stopEngine();
    m_state->mutateProject([&](TOVProject &p) { p.virtualPorts = {port("Lights")}; });
    m_state->applyVirtualPorts();
    EXPECT_EQ(m_state->statusMessage(), "Moteur arrêté");
}

// PipeWire's JACK library reports an error the server returned to one request
// as a shutdown while the server runs on: the show must not wait for a retry.
TEST_F(AppStateTest, OnPipeWireAReportedShutdownReopensAtOnceButNeverInALoop)
{
    m_state->supervisor().setRetryInterval(std::chrono::hours(1));
    m_state->mutateProject([](TOVProject &p) { p.virtualPorts = {VirtualPortConfig()}; });
    m_state->applyVirtualPorts();
    m_service->setServiceName("PipeWire");
    const int opened = m_service->clientsOpened();

    m_service->simulateShutdown();
    ASSERT_TRUE(waitUntil([&] { return m_service->clientsOpened() == opened + 1; }));
    EXPECT_TRUE(m_state->engine().running());
    EXPECT_EQ(m_state->statusMessage(), "Moteur redémarré");
    EXPECT_NE(m_service->find("KORVANE Bus Out"), 0u);

    // Again straight away: the slow retries, not a loop of new clients.
    m_service->simulateShutdown();
    ASSERT_TRUE(waitUntil([&] { return m_state->statusMessage().starts_with("Moteur arrêté"); }));
    EXPECT_EQ(m_service->clientsOpened(), opened + 1);
    EXPECT_FALSE(m_state->engine().running());
}

using DevicePresenceTest = AppStateTest;

TEST_F(DevicePresenceTest, NeededEndpointsAreReportedOnceAndAcknowledgementsLastWhileMissing)
{
    m_service->addSource("Pads", 42);
    m_service->addDestination("Lights", 7, /*offline=*/true);
    ASSERT_TRUE(waitUntil(
        [&] { return m_state->engine().sources().size() + m_state->engine().destinations().size() == 2; }));

    useProject([](TOVProject &p) {
        Route r(phys("Old pad name", 42)); // present by unique id despite the name
        r.destinations = {phys("Desk"), phys("Lights", 7)};
        Route disabled(phys("Unplugged", 99));
        disabled.enabled = false;
        p.routes = {r, r, disabled};
        p.devices.push_back({Uuid::create(), phys("Desk"), EndpointRole::destination, "Console FOH"});
        p.devices.push_back({Uuid::create(), {EndpointKind::virtual_, "Bus"}, EndpointRole::source, ""});
    });

    // Offline counts as missing; disabled routes and virtual keys need nothing.
    EXPECT_EQ(m_state->missingDevices(), (std::vector{phys("Desk"), phys("Lights", 7)}));
    EXPECT_EQ(m_state->statusMessage(), "\u26A0\uFE0E Appareil déconnecté : Console FOH, Lights");

    // Nothing changed: a second refresh announces nothing.
    int announcements = 0;
    QStringList statuses;
    QObject scope; // disconnects before the counters go
    QObject::connect(m_state.get(), &AppState::missingDevicesChanged, &scope, [&] { ++announcements; });
    m_state->refreshMissing();
    EXPECT_EQ(announcements, 0);

    useProject([](TOVProject &p) {
        Route r(phys("Keys", 1));
        r.destinations = {phys("Synth", 2)};
        p.routes = {r};
        p.devices.clear();
    });
    ASSERT_EQ(m_state->missingDevices().size(), 2u);
    m_state->acknowledgeMissing();
    EXPECT_TRUE(m_state->activeMissing().empty());

    const auto keys = m_service->addSource("Keys", 1);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().size() == 1; }));
    EXPECT_TRUE(m_state->activeMissing().empty());
    EXPECT_EQ(m_state->acknowledgedMissing(), std::set<std::string>{"physical:2"});

    // Keys goes away again: warned again, Synth stays dismissed.
    m_service->removeEndpoint(keys);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().size() == 2; }));
    EXPECT_EQ(m_state->activeMissing(), std::vector{phys("Keys", 1)});

    m_service->addSource("Keys", 1);
    m_service->addDestination("Synth", 2);
    ASSERT_TRUE(waitUntil([&] { return m_state->missingDevices().empty(); }));
    EXPECT_TRUE(m_state->acknowledgedMissing().empty());

    // A stopped engine needs nothing; a starting one raises no alarm for
    // devices that are there.
    useProject([](TOVProject &p) { p.routes.emplace_back(phys("Absent", 3)); });
    ASSERT_EQ(m_state->missingDevices().size(), 1u);
    m_state->stopEngine();
    EXPECT_TRUE(waitUntil([&] { return m_state->missingDevices().empty(); }));
    useProject([](TOVProject &p) { p.routes.pop_back(); });
    QObject::connect(m_state.get(), &AppState::statusMessageChanged, &scope,
                     [&](const QString &s) { statuses << s; });
    m_state->startEngine();
    test::spinFor(std::chrono::milliseconds(30));
    EXPECT_TRUE(m_state->missingDevices().empty());
    EXPECT_TRUE(statuses.filter(QString::fromUtf8("\u26A0")).isEmpty()) << statuses.join('|').toStdString();
}

} // namespace
} // namespace korvane
