#include "net/discovery_core.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace korvane {
namespace {

using Kind = DiscoveredPeer::Kind;
using Step = DiscoveryCore::Step;
using Action = DiscoveryCore::Action;
using Wanted = DiscoveryCore::Wanted;
using ms = std::chrono::milliseconds;

const Action kCreate{Step::createClient};
const Action kFree{Step::freeClient};
const Action kBrowse{Step::startBrowser};
const Action kDropBrowser{Step::dropBrowser};
const Action kPublish{Step::publish, Kind::appleMidi};
const Action kPublishMidi2{Step::publish, Kind::midi2};
const Action kWithdraw{Step::withdraw, Kind::appleMidi};
const Action kWithdrawMidi2{Step::withdraw, Kind::midi2};

Wanted want(std::uint64_t session, std::uint64_t publication = 0, std::uint64_t midi2 = 0)
{
    Wanted w;
    w.browsing = session != 0;
    w.session = session;
    if (publication != 0)
        w.publication = DiscoveryCore::Publication{"Scène", 5004, publication, {}};
    if (midi2 != 0)
        w.midi2Publication = DiscoveryCore::Publication{"Scène", 5504, midi2, {"UMPEndpointName=Scène"}};
    return w;
}

// Carries out every step asked for at `now`, each succeeding, as an Avahi
// thread with a daemon that answers would.
std::vector<Action> settle(DiscoveryCore &core, ms now)
{
    std::vector<Action> done;
    while (auto action = core.next(now)) {
        done.push_back(*action);
        if (done.size() > 16)
            break; // a core that never settles
        switch (action->step) {
        case Step::withdraw:
            core.withdrawn(action->kind);
            break;
        case Step::freeClient:
            core.clientFreed();
            break;
        case Step::createClient:
            core.clientCreated(true, now);
            core.clientRunning();
            break;
        case Step::dropBrowser:
            core.browserDropped();
            break;
        case Step::startBrowser:
            core.browserStarted(true, now);
            break;
        case Step::publish:
            core.published(action->kind, true, now);
            break;
        }
    }
    return done;
}

struct ChangeCase {
    const char *name;
    Wanted from;
    Wanted to;
    std::vector<Action> steps;
};

TEST(DiscoveryCore, StepsFromWhatIsAppliedToWhatIsWanted)
{
    const ChangeCase cases[] = {
        {"nothing wanted", {}, {}, {}},
        {"browsing from scratch", {}, want(1), {kCreate, kBrowse}},
        {"publication from scratch", {}, want(0, 1), {kCreate, kPublish}},
        {"both publications", {}, want(0, 1, 1), {kCreate, kPublish, kPublishMidi2}},
        {"new browsing session", want(1), want(2), {kDropBrowser, kBrowse}},
        {"browsing stops, publication stays", want(1, 1), want(0, 1), {kDropBrowser}},
        {"publication changed", want(1, 1), want(1, 2), {kWithdraw, kPublish}},
        {"Network MIDI 2.0 host withdrawn", want(0, 1, 1), want(0, 1), {kWithdrawMidi2}},
        {"everything stops: the client takes its groups along", want(1, 1, 1), {}, {kFree}},
        {"the same again", want(1, 1, 1), want(1, 1, 1), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DiscoveryCore core;
        core.setWanted(c.from);
        settle(core, ms(0));
        core.setWanted(c.to);
        EXPECT_EQ(settle(core, ms(0)), c.steps);
        EXPECT_EQ(core.next(ms(0)), std::nullopt) << "settled";
    }
}

// One failure or daemon event, then what happens at each time.
struct RetryCase {
    const char *name;
    std::function<void(DiscoveryCore &)> event; // at 1000 ms, after settling want(1, 1)
    std::vector<std::pair<ms, std::vector<Action>>> timeline;
};

TEST(DiscoveryCore, FailuresAreTriedAgainOnTheReconnectIntervalAndDaemonEventsFollowed)
{
    const ms t0(1000);
    const RetryCase cases[] = {
        {"client cannot be made",
         [&](DiscoveryCore &c) {
             c.clientFreed();
             ASSERT_EQ(c.next(t0), kCreate);
             c.clientCreated(false, t0);
         },
         {{t0, {}}, {ms(5999), {}}, {ms(6000), {kCreate, kBrowse, kPublish}}}},
        {"publication refused",
         [&](DiscoveryCore &c) { c.published(Kind::appleMidi, false, t0); },
         {{t0, {}}, {ms(5999), {}}, {ms(6000), {kPublish}}}},
        {"browser refused",
         [&](DiscoveryCore &c) {
             c.browserDropped();
             ASSERT_EQ(c.next(t0), kBrowse);
             c.browserStarted(false, t0);
         },
         {{ms(5999), {}}, {ms(6000), {kBrowse}}}},
        {"first failure sets the retry, a later one waits for it",
         [&](DiscoveryCore &c) {
             c.published(Kind::appleMidi, false, t0);
             c.published(Kind::appleMidi, false, ms(4000));
         },
         {{ms(5999), {}}, {ms(6000), {kPublish}}}},
        {"no daemon: the waiting client is replaced after the interval",
         [&](DiscoveryCore &c) { c.clientConnecting(t0); },
         {{t0, {}}, {ms(5999), {}}, {ms(6000), {kFree, kCreate, kBrowse, kPublish}}}},
        {"daemon gone: a new client at once",
         [&](DiscoveryCore &c) { c.clientFailed(t0, ms(0)); },
         {{t0, {kFree, kCreate, kBrowse, kPublish}}}},
        {"client failure: freed at once, a new one after the delay",
         [&](DiscoveryCore &c) { c.clientFailed(t0, ms(5000)); },
         {{t0, {kFree}}, {ms(5999), {}}, {ms(6000), {kCreate, kBrowse, kPublish}}}},
        {"host name re-registered: records go back once running",
         [&](DiscoveryCore &c) {
             c.recordsReset();
             EXPECT_EQ(c.next(t0), std::nullopt);
             c.clientRunning();
         },
         {{t0, {kPublish}}}},
        {"renamed by the daemon: published under the new name, nothing to redo",
         [&](DiscoveryCore &c) {
             c.renamed(Kind::appleMidi, "Scène #2");
             c.published(Kind::appleMidi, true, t0);
             ASSERT_TRUE(c.applied(Kind::appleMidi));
             EXPECT_EQ(c.applied(Kind::appleMidi)->current, "Scène #2");
             EXPECT_EQ(c.applied(Kind::appleMidi)->wanted.name, "Scène");
         },
         {{t0, {}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DiscoveryCore core;
        core.setReconnectInterval(ms(5000));
        core.setWanted(want(1, 1));
        settle(core, ms(0));
        c.event(core);
        for (const auto &[at, steps] : c.timeline) {
            SCOPED_TRACE(at.count());
            EXPECT_EQ(settle(core, at), steps);
        }
        EXPECT_EQ(core.retryAt(), std::nullopt) << "nothing left to retry";
    }
}

TEST(DiscoveryCore, ResultsAreStampedWithTheBrowsingThatRuns)
{
    DiscoveryCore core;
    core.setWanted(want(1));
    settle(core, ms(0));
    EXPECT_TRUE(core.currentSession(1));
    core.setWanted(want(2));
    ASSERT_EQ(core.next(ms(0)), kDropBrowser);
    core.browserDropped();
    EXPECT_FALSE(core.currentSession(1)) << "a late result of the first browsing";
    settle(core, ms(0));
    EXPECT_TRUE(core.currentSession(2));
}

TEST(DiscoveryCore, PeerListHoldsEachServiceOnceInResolutionOrderAndDropsANameOnEveryHost)
{
    const DiscoveredPeer mac{"Studio Mac", "192.168.1.7", 5004}, otherHost{"Studio Mac", "192.168.1.8", 5004},
        otherPort{"Studio Mac", "192.168.1.7", 5006}, ipad{"iPad", "192.168.1.9", 5004};
    std::vector<DiscoveredPeer> peers;
    for (const DiscoveredPeer &peer : {ipad, mac, otherHost, otherPort})
        EXPECT_TRUE(PeerList::add(peers, peer)) << peer.id();
    EXPECT_FALSE(PeerList::add(peers, mac)) << "resolved twice";
    EXPECT_EQ(peers, (std::vector{ipad, mac, otherHost, otherPort}));
    EXPECT_FALSE(PeerList::removeNamed(peers, "Unknown"));
    EXPECT_TRUE(PeerList::removeNamed(peers, "Studio Mac"));
    EXPECT_EQ(peers, std::vector{ipad});
}

} // namespace
} // namespace korvane
