#include "net/rtp_discovery.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(PeerListTest, AppliesTheListRules)
{
    const DiscoveredPeer mac{"Studio Mac", "192.168.1.7", 5004},
        macOtherHost{"Studio Mac", "192.168.1.8", 5004}, macOtherPort{"Studio Mac", "192.168.1.7", 5006},
        ipad{"iPad", "192.168.1.9", 5004};
    struct Step {
        bool add; // else remove by name
        DiscoveredPeer peer;
        bool changes;
    };
    struct Case {
        const char *what;
        std::vector<Step> steps;
        std::vector<DiscoveredPeer> expected;
    };
    const Case cases[] = {
        {"resolution order kept", {{true, ipad, true}, {true, mac, true}}, {ipad, mac}},
        {"same service resolved twice listed once", {{true, mac, true}, {true, mac, false}}, {mac}},
        {"same name on two hosts or ports listed apart",
         {{true, mac, true}, {true, macOtherHost, true}, {true, macOtherPort, true}},
         {mac, macOtherHost, macOtherPort}},
        {"removing a name removes every host",
         {{true, mac, true}, {true, ipad, true}, {true, macOtherHost, true}, {false, mac, true}},
         {ipad}},
        {"removing an unknown name changes nothing", {{true, ipad, true}, {false, mac, false}}, {ipad}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<DiscoveredPeer> peers;
        for (const Step &step : c.steps)
            EXPECT_EQ(step.add ? PeerList::add(peers, step.peer)
                               : PeerList::removeNamed(peers, step.peer.name),
                      step.changes)
                << step.peer.id();
        EXPECT_EQ(peers, c.expected);
    }
}

} // namespace
} // namespace korvane
