#include "net/rtp_discovery.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

struct Step {
    enum { add, remove } op;
    DiscoveredPeer peer; // for remove, only the name counts
    bool changes;
};

struct PeerListCase {
    const char *title;
    std::vector<Step> steps;
    std::vector<std::string> expectedIds;
};

class PeerListTest : public ::testing::TestWithParam<PeerListCase> {};

TEST_P(PeerListTest, AppliesTheListRules)
{
    std::vector<DiscoveredPeer> peers;
    for (const Step &step : GetParam().steps) {
        const bool changed = step.op == Step::add ? PeerList::add(peers, step.peer)
                                                  : PeerList::removeNamed(peers, step.peer.name);
        EXPECT_EQ(changed, step.changes) << step.peer.id();
    }
    std::vector<std::string> ids;
    for (const DiscoveredPeer &p : peers)
        ids.push_back(p.id());
    EXPECT_EQ(ids, GetParam().expectedIds);
}

const DiscoveredPeer mac{"Studio Mac", "192.168.1.7", 5004};
const DiscoveredPeer macOtherHost{"Studio Mac", "192.168.1.8", 5004};
const DiscoveredPeer macOtherPort{"Studio Mac", "192.168.1.7", 5006};
const DiscoveredPeer ipad{"iPad", "192.168.1.9", 5004};

INSTANTIATE_TEST_SUITE_P(
    Rules, PeerListTest,
    ::testing::Values(
        PeerListCase{"ResolutionOrderKept",
                     {{Step::add, ipad, true}, {Step::add, mac, true}},
                     {"iPad|192.168.1.9:5004", "Studio Mac|192.168.1.7:5004"}},
        PeerListCase{"SameServiceResolvedTwiceListedOnce",
                     {{Step::add, mac, true}, {Step::add, mac, false}},
                     {"Studio Mac|192.168.1.7:5004"}},
        PeerListCase{
            "SameNameOnTwoHostsOrPortsListedApart",
            {{Step::add, mac, true}, {Step::add, macOtherHost, true}, {Step::add, macOtherPort, true}},
            {"Studio Mac|192.168.1.7:5004", "Studio Mac|192.168.1.8:5004", "Studio Mac|192.168.1.7:5006"}},
        PeerListCase{"RemovingANameRemovesEveryHost",
                     {{Step::add, mac, true},
                      {Step::add, ipad, true},
                      {Step::add, macOtherHost, true},
                      {Step::remove, mac, true}},
                     {"iPad|192.168.1.9:5004"}},
        PeerListCase{"RemovingAnUnknownNameChangesNothing",
                     {{Step::add, ipad, true}, {Step::remove, mac, false}},
                     {"iPad|192.168.1.9:5004"}}),
    [](const auto &info) { return std::string(info.param.title); });

} // namespace
} // namespace korvane
