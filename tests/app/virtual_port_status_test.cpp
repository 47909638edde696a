#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "support/test_support.h"

#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

// A service that refuses to create the virtual ports it is told to.
class RefusingService : public LoopbackMidiService {
public:
    std::set<std::string> refused;

    std::optional<Handle> createVirtualSource(Handle client, const std::string &name) override
    {
        if (refused.count(name))
            return std::nullopt;
        return LoopbackMidiService::createVirtualSource(client, name);
    }
    std::optional<Handle> createVirtualDestination(Handle client, const std::string &name,
                                                   VirtualInputHandler receive) override
    {
        if (refused.count(name))
            return std::nullopt;
        return LoopbackMidiService::createVirtualDestination(client, name, std::move(receive));
    }
};

VirtualPortConfig port(std::string name, bool out = true, bool in = true)
{
    VirtualPortConfig p;
    p.name = std::move(name);
    p.createsSource = out;
    p.createsDestination = in;
    return p;
}

TEST(VirtualPortStatus, NamesEveryPortTheServiceDidNotCreate)
{
    auto service = std::make_shared<RefusingService>();
    service->refused = {"Lights In", "Video Out"};
    AppState state(service, std::make_shared<test::FakePrompts>());
    test::spinFor(std::chrono::milliseconds(20));

    struct Case {
        std::vector<VirtualPortConfig> ports;
        std::string status;
    };
    const Case cases[] = {
        {{port("Bus")}, "Ports virtuels appliqués"},
        {{port("Bus"), port("Lights")}, "Port virtuel non créé : Lights In"},
        {{port("Video"), port("Lights"), port("Lights")}, "Port virtuel non créé : Video Out, Lights In"},
        {{port("Lights", true, false), port("Video", false, true)}, "Ports virtuels appliqués"},
        {{}, "Ports virtuels appliqués"},
    };
    for (const Case &c : cases) {
        state.mutateProject([&](TOVProject &p) { p.virtualPorts = c.ports; });
        state.applyVirtualPorts();
        EXPECT_EQ(state.statusMessage(), c.status);
        EXPECT_TRUE(state.dirty());
    }

    // Stopped, nothing is created yet and nothing is reported: the ports come with the engine.
    state.stopEngine();
    state.mutateProject([&](TOVProject &p) { p.virtualPorts = {port("Lights")}; });
    state.applyVirtualPorts();
    EXPECT_EQ(state.statusMessage(), "Moteur arrêté");
}

} // namespace
} // namespace korvane
