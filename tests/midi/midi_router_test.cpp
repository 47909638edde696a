#include "midi/midi_router.h"

#include "midi/midi_monitor.h"
#include "recording_delivery.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::RecordingDelivery;

EndpointKey physical(std::string name, std::optional<std::int32_t> uid = std::nullopt)
{
    return EndpointKey(EndpointKind::physical, std::move(name), uid);
}
EndpointKey virtualKey(std::string name)
{
    return EndpointKey(EndpointKind::virtual_, std::move(name));
}
EndpointKey rtp(std::string name)
{
    return EndpointKey(EndpointKind::rtp, std::move(name));
}

Route route(EndpointKey source, std::vector<EndpointKey> destinations)
{
    Route r(std::move(source));
    r.destinations = std::move(destinations);
    return r;
}

FilterChain transposeChain(int semitones)
{
    FilterChain chain("transpose");
    FilterStep step(FilterStep::Kind::transpose);
    step.transpose = semitones;
    chain.steps.push_back(step);
    return chain;
}

const MIDIMessage kNote({0x90, 60, 100});

struct RtpCall {
    EndpointKey destination;
    Bytes bytes;
};

class MIDIRouterTest : public ::testing::Test {
protected:
    MIDIRouterTest()
    {
        engine->addDestination(1, "Synth A", 1001);
        engine->addDestination(2, "Synth B", 1002);
        engine->addDestination(3, "KORVANE Bus", 0, true);
        router.setEngine(engine);
        router.setMonitor(monitor);
        router.setRtpSend([this](const EndpointKey &d, const MIDIMessage &m) {
            rtpCalls.push_back({d, m.bytes});
        });
    }

    // (direction, endpoint, raw hex) of every published monitor event.
    std::vector<std::string> monitorLines()
    {
        monitor->flush();
        std::vector<std::string> lines;
        for (const MonitorEvent &e : monitor->events())
            lines.push_back(std::string(rawValue(e.direction)) + " " + e.endpointName + " " + e.rawHex);
        return lines;
    }

    std::shared_ptr<RecordingDelivery> engine = std::make_shared<RecordingDelivery>();
    std::shared_ptr<MIDIMonitor> monitor = std::make_shared<MIDIMonitor>();
    std::vector<RtpCall> rtpCalls;
    MIDIRouter router;
};

using Lines = std::vector<std::string>;

TEST_F(MIDIRouterTest, MatchesSourcesByUniqueIdOrName)
{
    router.updateConfiguration({route(physical("Old name", 42), {physical("Synth A")}),
                                route(physical("Keys", 0), {physical("Synth B")})},
                               {});
    router.process(physical("New name", 42), kNote); // id wins over the name
    router.process(physical("Keys", 555), kNote);    // route id 0: by name
    router.process(physical("Other", 555), kNote);   // neither
    router.process(physical("Old name", 43), kNote); // same name, other id
    EXPECT_EQ(engine->deliveredTo(1).size(), 1u);
    EXPECT_EQ(engine->deliveredTo(2).size(), 1u);
    EXPECT_EQ(engine->deliveries().size(), 2u);
}

TEST_F(MIDIRouterTest, KindsNeverMatchAcrossPhysicalVirtualAndRtp)
{
    router.updateConfiguration({route(physical("Shared"), {physical("Synth A")}),
                                route(virtualKey("Shared"), {physical("Synth B")}),
                                route(rtp("Shared"), {rtp("Peer")})},
                               {});
    router.process(rtp("Shared"), kNote);
    EXPECT_TRUE(engine->deliveries().empty());
    EXPECT_EQ(rtpCalls.size(), 1u);
    router.process(virtualKey("Shared"), kNote);
    router.process(physical("Shared"), kNote);
    EXPECT_EQ(engine->deliveries(), (std::vector<RecordingDelivery::Delivery>{{{2, false}, kNote.bytes},
                                                                              {{1, false}, kNote.bytes}}));
    EXPECT_EQ(rtpCalls.size(), 1u);
}

TEST_F(MIDIRouterTest, ChannelMaskAppliesToChannelMessagesOnly)
{
    Route r = route(physical("Keys"), {physical("Synth A")});
    r.channelMask = 0x0001;
    Route closed = route(physical("Keys"), {physical("Synth B")});
    closed.channelMask = 0;
    router.updateConfiguration({r, closed}, {});

    router.process(physical("Keys"), MIDIMessage({0x90, 60, 1}));   // channel 1
    router.process(physical("Keys"), MIDIMessage({0x91, 60, 1}));   // channel 2
    router.process(physical("Keys"), MIDIMessage({0xBF, 7, 1}));    // channel 16
    router.process(physical("Keys"), MIDIMessage({0xF8}));          // clock
    router.process(physical("Keys"), MIDIMessage({0xF0, 1, 0xF7})); // sysex
    router.process(physical("Keys"), MIDIMessage({0x3C, 0x40}));    // no status byte
    EXPECT_EQ(engine->deliveredTo(1),
              (std::vector<Bytes>{{0x90, 60, 1}, {0xF8}, {0xF0, 1, 0xF7}, {0x3C, 0x40}}));
    EXPECT_EQ(engine->deliveredTo(2), (std::vector<Bytes>{{0xF8}, {0xF0, 1, 0xF7}, {0x3C, 0x40}}));
}

TEST_F(MIDIRouterTest, DisabledOrUnmatchedRoutesStillRecordTheInputOnce)
{
    Route r = route(physical("Keys"), {physical("Synth A")});
    r.enabled = false;
    router.updateConfiguration({r}, {});
    router.process(physical("Keys"), kNote);
    router.process(rtp("TOV-Net"), MIDIMessage({0xF8}));
    EXPECT_TRUE(engine->deliveries().empty());
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "IN TOV-Net F8"}));
}

TEST_F(MIDIRouterTest, DanglingChainIdForwardsUnfiltered)
{
    Route r = route(physical("Keys"), {physical("Synth A")});
    r.filterChainID = Uuid::create();
    router.updateConfiguration({r}, {transposeChain(12)});
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(engine->deliveredTo(1), (std::vector<Bytes>{kNote.bytes}));
}

TEST_F(MIDIRouterTest, EachRouteDeliversItsOwnFilteredVersion)
{
    const FilterChain up = transposeChain(12);
    FilterChain drop("drop all notes");
    FilterStep block(FilterStep::Kind::messageTypeFilter);
    block.blockedTypes = std::vector<MIDIStatusType>{MIDIStatusType::noteOn};
    drop.steps.push_back(block);

    Route transposed = route(physical("Keys"), {physical("Synth A"), rtp("TOV-Net")});
    transposed.filterChainID = up.id;
    Route plain = route(physical("Keys"), {physical("Synth B")});
    Route dropped = route(physical("Keys"), {physical("Synth B")});
    dropped.filterChainID = drop.id;
    router.updateConfiguration({transposed, dropped, plain}, {up, drop});

    router.process(physical("Keys"), MIDIMessage({0x90, 60, 100}, 99));
    EXPECT_EQ(engine->deliveredTo(1), (std::vector<Bytes>{{0x90, 72, 100}}));
    EXPECT_EQ(engine->deliveredTo(2), (std::vector<Bytes>{{0x90, 60, 100}}));
    ASSERT_EQ(rtpCalls.size(), 1u);
    EXPECT_EQ(rtpCalls[0].destination, rtp("TOV-Net"));
    EXPECT_EQ(rtpCalls[0].bytes, (Bytes{0x90, 72, 100}));
}

TEST_F(MIDIRouterTest, OneInputRecordThenOneOutputRecordPerDestinationInOrder)
{
    const FilterChain up = transposeChain(1);
    Route first = route(physical("Keys"), {physical("Synth A"), rtp("TOV-Net"), physical("Nowhere")});
    Route second = route(physical("Keys"), {virtualKey("KORVANE Bus")});
    second.filterChainID = up.id;
    router.updateConfiguration({first, route(physical("Pads"), {physical("Synth B")}), second}, {up});

    router.process(physical("Keys"), kNote);
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "OUT Synth A 90 3C 64", "OUT TOV-Net 90 3C 64",
                                     "OUT Nowhere 90 3C 64", "OUT KORVANE Bus 90 3D 64"}));
    // The unresolvable destination is recorded but nothing is sent to it.
    const auto deliveries = engine->deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].destination, (ResolvedDestination{1, false}));
    EXPECT_EQ(deliveries[1].destination, (ResolvedDestination{3, true}));
    EXPECT_EQ(deliveries[1].bytes, (Bytes{0x90, 61, 100}));
}

TEST_F(MIDIRouterTest, DisabledRouterRecordsAndSendsNothing)
{
    router.updateConfiguration({route(physical("Keys"), {physical("Synth A")})}, {});
    router.setEnabled(false);
    router.process(physical("Keys"), kNote);
    EXPECT_TRUE(monitorLines().empty());
    EXPECT_TRUE(engine->deliveries().empty());
    router.setEnabled(true);
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(engine->deliveries().size(), 1u);
}

TEST_F(MIDIRouterTest, EmptyMessageOrMissingEngineMonitorOrCallbackDegradeSilently)
{
    router.updateConfiguration({route(physical("Keys"), {physical("Synth A"), rtp("TOV-Net")})}, {});
    router.process(physical("Keys"), MIDIMessage());
    EXPECT_TRUE(engine->deliveries().empty()); // nothing to send to the platform, but recorded
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys ", "OUT Synth A ", "OUT TOV-Net "}));
    monitor->clear();

    engine.reset(); // the router only held it weakly
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "OUT Synth A 90 3C 64", "OUT TOV-Net 90 3C 64"}));
    EXPECT_EQ(rtpCalls.size(), 2u);

    router.setRtpSend(nullptr);
    monitor.reset();
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(rtpCalls.size(), 2u);
}

TEST_F(MIDIRouterTest, ConfigurationIsReplacedWholesale)
{
    FilterChain first = transposeChain(1);
    FilterChain duplicate = transposeChain(2);
    duplicate.id = first.id;
    Route r = route(physical("Keys"), {physical("Synth A")});
    r.filterChainID = first.id;
    router.updateConfiguration({r}, {first, duplicate});
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(engine->deliveredTo(1), (std::vector<Bytes>{{0x90, 61, 100}})); // first chain of that id wins

    router.updateConfiguration({}, {});
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(engine->deliveredTo(1).size(), 1u);
}

} // namespace
} // namespace korvane
