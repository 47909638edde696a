#include "midi/midi_router.h"

#include "midi/midi_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Sent = std::vector<std::pair<std::string, Bytes>>;
using Lines = std::vector<std::string>;

// Stands in for the engine: destinations are found by name, and those of
// kind virtual are the program's own.
class NamedDelivery : public MIDIDelivery {
public:
    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        const auto it = std::find(m_names.begin(), m_names.end(), key.name);
        if (it == m_names.end())
            return std::nullopt;
        return ResolvedDestination{std::uint32_t(it - m_names.begin()), key.kind == EndpointKind::virtual_};
    }
    void deliver(const ResolvedDestination &d, const std::uint8_t *data, std::size_t size) override
    {
        const std::string name = m_names[d.ref] + (d.isOwnVirtualSource ? " (own)" : "");
        sent.emplace_back(name, Bytes(data, data + size));
    }
    Sent sent;

private:
    const std::vector<std::string> m_names{"Synth A", "Synth B", "KORVANE Bus"};
};

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

Route route(EndpointKey source, std::vector<EndpointKey> destinations, std::optional<Uuid> chain = {})
{
    Route r(std::move(source));
    r.destinations = std::move(destinations);
    r.filterChainID = chain;
    return r;
}

FilterChain transposeChain(int semitones)
{
    FilterChain chain("transpose");
    chain.steps.push_back(FilterStep(FilterStep::Kind::transpose));
    chain.steps[0].transpose = semitones;
    return chain;
}

const MIDIMessage kNote({0x90, 60, 100});

class MIDIRouterTest : public ::testing::Test {
protected:
    MIDIRouterTest()
    {
        router.setEngine(engine);
        router.setMonitor(monitor);
        router.setRtpSend(
            [this](const EndpointKey &d, const MIDIMessage &m) { rtpSent.emplace_back(d.name, m.bytes); });
    }

    // "<direction> <endpoint> <hex>" of every monitor event published so far.
    Lines monitorLines()
    {
        monitor->flush();
        Lines lines;
        for (const MonitorEvent &e : monitor->events())
            lines.push_back(std::string(rawValue(e.direction)) + " " + e.endpointName + " " + e.rawHex);
        return lines;
    }

    std::shared_ptr<NamedDelivery> engine = std::make_shared<NamedDelivery>();
    std::shared_ptr<MIDIMonitor> monitor = std::make_shared<MIDIMonitor>();
    Sent rtpSent;
    MIDIRouter router;
};

// A chain id resolves to the first chain of that id, an unknown one to none.
TEST_F(MIDIRouterTest, SourcesMatchByUniqueIdThenNameAndNeverAcrossKinds)
{
    FilterChain first = transposeChain(1), duplicate = transposeChain(2);
    duplicate.id = first.id;
    router.updateConfiguration({route(physical("Old name", 42), {physical("Synth A")}, first.id),
                                route(physical("Keys", 0), {physical("Synth B")}, Uuid::create()),
                                route(virtualKey("Keys"), {virtualKey("KORVANE Bus")}),
                                route(rtp("Keys"), {rtp("Peer")})},
                               {first, duplicate});
    router.process(physical("New name", 42), kNote); // the id wins over the name
    router.process(physical("Keys", 555), kNote);    // a route without id matches by name
    router.process(physical("Other", 555), kNote);
    router.process(physical("Old name", 43), kNote); // same name, other id
    router.process(virtualKey("Keys"), kNote);
    router.process(rtp("Keys"), kNote);
    EXPECT_EQ(
        engine->sent,
        (Sent{{"Synth A", {0x90, 61, 100}}, {"Synth B", kNote.bytes}, {"KORVANE Bus (own)", kNote.bytes}}));
    EXPECT_EQ(rtpSent, (Sent{{"Peer", kNote.bytes}}));
}

TEST_F(MIDIRouterTest, ChannelMaskFiltersChannelMessagesOnly)
{
    Route edges = route(physical("Keys"), {physical("Synth A")});
    edges.channelMask = 0x8001; // channels 1 and 16
    Route closed = route(physical("Keys"), {physical("Synth B")});
    closed.channelMask = 0;
    router.updateConfiguration({edges, closed}, {});

    Sent expected;
    for (std::uint8_t kind = 0x80; kind <= 0xE0; kind += 0x10)
        for (std::uint8_t channel : {0, 1, 14, 15}) {
            const Bytes bytes{std::uint8_t(kind | channel), 0, 127};
            router.process(physical("Keys"), MIDIMessage(bytes));
            if (channel == 0 || channel == 15)
                expected.emplace_back("Synth A", bytes);
        }
    for (const Bytes &channelless : {Bytes{0xF8}, Bytes{0xF0, 1, 0xF7}, Bytes{0x3C, 0x40}}) {
        router.process(physical("Keys"), MIDIMessage(channelless));
        expected.emplace_back("Synth A", channelless);
        expected.emplace_back("Synth B", channelless);
    }
    EXPECT_EQ(engine->sent, expected);
}

TEST_F(MIDIRouterTest, DisabledOrUnmatchedRoutesStillRecordTheInputOnce)
{
    Route r = route(physical("Keys"), {physical("Synth A")});
    r.enabled = false;
    router.updateConfiguration({r, route(physical("Pads"), {physical("Synth B")})}, {});
    router.process(physical("Keys"), kNote);
    router.process(rtp("TOV-Net"), MIDIMessage({0xF8}));
    EXPECT_TRUE(engine->sent.empty());
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "IN TOV-Net F8"}));

    router.setEnabled(false);
    router.process(physical("Pads"), kNote);
    EXPECT_EQ(monitorLines().size(), 2u);
    router.setEnabled(true);
    router.process(physical("Pads"), kNote);
    EXPECT_EQ(engine->sent, (Sent{{"Synth B", kNote.bytes}}));
}

TEST_F(MIDIRouterTest, EachRouteSendsItsOwnFilteredCopyAndRecordsEveryDestinationInOrder)
{
    const FilterChain up = transposeChain(12);
    FilterChain drop("drop notes");
    drop.steps.push_back(FilterStep(FilterStep::Kind::messageTypeFilter));
    drop.steps[0].blockedTypes = std::vector<MIDIStatusType>{MIDIStatusType::noteOn};
    router.updateConfiguration(
        {route(physical("Keys"), {physical("Synth A"), rtp("TOV-Net"), physical("Nowhere")}, up.id),
         route(physical("Keys"), {physical("Synth B")}, drop.id),
         route(physical("Pads"), {physical("Synth B")}),
         route(physical("Keys"), {virtualKey("KORVANE Bus")})},
        {up, drop});

    router.process(physical("Keys"), kNote);
    // The unresolvable destination is recorded, but nothing is sent to it.
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "OUT Synth A 90 48 64", "OUT TOV-Net 90 48 64",
                                     "OUT Nowhere 90 48 64", "OUT KORVANE Bus 90 3C 64"}));
    EXPECT_EQ(engine->sent, (Sent{{"Synth A", {0x90, 72, 100}}, {"KORVANE Bus (own)", kNote.bytes}}));
    EXPECT_EQ(rtpSent, (Sent{{"TOV-Net", {0x90, 72, 100}}}));
}

TEST_F(MIDIRouterTest, EmptyMessageOrMissingEngineMonitorOrCallbackDegradeSilently)
{
    router.updateConfiguration({route(physical("Keys"), {physical("Synth A"), rtp("TOV-Net")})}, {});
    router.process(physical("Keys"), MIDIMessage());
    EXPECT_TRUE(engine->sent.empty());
    monitor->clear();

    engine.reset(); // the router only held it weakly
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(monitorLines(), (Lines{"IN Keys 90 3C 64", "OUT Synth A 90 3C 64", "OUT TOV-Net 90 3C 64"}));
    EXPECT_EQ(rtpSent.size(), 2u);

    router.setRtpSend(nullptr);
    monitor.reset();
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(rtpSent.size(), 2u);
}

TEST_F(MIDIRouterTest, RouteCountsWhatPassedAndKeepsCountingAcrossConfigurations)
{
    Route ch1 = route(physical("Keys"), {physical("Synth A")});
    ch1.channelMask = 0x0001;
    Route blocked = route(physical("Keys"), {physical("Synth B")});
    FilterChain dropNotes("drop");
    dropNotes.steps.push_back(FilterStep(FilterStep::Kind::messageTypeFilter));
    dropNotes.steps[0].blockedTypes = std::vector<MIDIStatusType>{MIDIStatusType::noteOn};
    blocked.filterChainID = dropNotes.id;
    const Route nowhere = route(physical("Keys"), {});
    Route off = route(physical("Keys"), {physical("Synth A")});
    off.enabled = false;
    router.updateConfiguration({ch1, blocked, nowhere, off}, {dropNotes});

    router.process(physical("Keys"), kNote);                      // channel 1
    router.process(physical("Keys"), MIDIMessage({0x9F, 60, 1})); // channel 16: masked
    router.process(physical("Other"), kNote);
    const auto counts = [&] {
        return std::vector<std::optional<std::uint64_t>>{
            router.routeMessageCount(ch1.id), router.routeMessageCount(blocked.id),
            router.routeMessageCount(nowhere.id), router.routeMessageCount(off.id),
            router.routeMessageCount(Uuid::create())};
    };
    EXPECT_EQ(counts(), (std::vector<std::optional<std::uint64_t>>{1, 0, 0, 0, std::nullopt}));

    // An edit rebuilds the configuration; the count goes on, a removed route has none.
    ch1.name = "renamed";
    router.updateConfiguration({ch1}, {});
    router.process(physical("Keys"), kNote);
    EXPECT_EQ(counts(), (std::vector<std::optional<std::uint64_t>>{2, std::nullopt, std::nullopt,
                                                                   std::nullopt, std::nullopt}));
}

// What a sender holds on is let go of when it goes: note-offs as the route
// delivered the notes (transposed here), then the pedal, once, only where no
// other sender still holds the same note, with one line.
TEST_F(MIDIRouterTest, ASenderThatGoesReleasesWhatNobodyElseHolds)
{
    const FilterChain up = transposeChain(12);
    router.updateConfiguration({route(physical("Keys"), {physical("Synth A")}, up.id),
                                route(physical("Pads"), {physical("Synth A")})},
                               {up});
    Lines log;
    router.setLog([&](const std::string &line) { log.push_back(line); });
    router.process(physical("Keys"), MIDIMessage({0x90, 48, 100}), 1); // note 60
    router.process(physical("Keys"), MIDIMessage({0x9F, 115, 1}), 1);  // channel 16, note 127
    router.process(physical("Keys"), MIDIMessage({0x9F, 114, 0}), 1);  // a note-on at 0 is a note-off
    router.process(physical("Keys"), MIDIMessage({0xB0, 64, 64}), 1);  // pedal down at its threshold
    router.process(physical("Keys"), MIDIMessage({0xB1, 64, 63}), 1);  // and up, on channel 2
    router.process(physical("Pads"), MIDIMessage({0x90, 60, 90}), 7);  // the same note, another sender
    router.process(physical("Keys"), MIDIMessage({0x90, 50, 100}), 2); // the same source, another origin
    const std::size_t holders = router.liveNoteHolders();
    engine->sent.clear();

    router.releaseOrigin(physical("Keys"), 1);
    router.releaseOrigin(physical("Keys"), 1);
    EXPECT_EQ(engine->sent, (Sent{{"Synth A", {0x8F, 127, 0}}, {"Synth A", {0xB0, 64, 0}}}));
    EXPECT_EQ(log, (Lines{"Relâché vers Synth A : 1 note et la pédale tenus par Keys"}));
    EXPECT_EQ(router.liveNoteHolders(), holders - 1);

    engine->sent.clear();
    router.process(physical("Pads"), MIDIMessage({0x80, 60, 0}), 7);
    router.releaseOrigin(physical("Pads"), 7);
    EXPECT_EQ(engine->sent, (Sent{{"Synth A", {0x80, 60, 0}}})); // its own, nothing to release
}

// A route switched off, re-targeted or given another note-changing chain lets
// go of its notes; a change of velocity scaling or of its name does not.
TEST_F(MIDIRouterTest, ARouteThatChangesWhatItPassesReleasesItsNotes)
{
    FilterChain softer("softer");
    softer.steps = {FilterStep(FilterStep::Kind::velocity)};
    softer.steps[0].velocityScale = 0.5;
    Route r = route(physical("Keys"), {physical("Synth A"), physical("Synth B")}, softer.id);
    const auto apply = [&] {
        engine->sent.clear();
        router.updateConfiguration({r}, {softer, transposeChain(1)});
        return engine->sent;
    };
    apply();
    router.process(physical("Keys"), MIDIMessage({0x90, 0, 127}));
    r.name = "renamed";
    softer.steps[0].velocityScale = 0.9;
    EXPECT_EQ(apply(), Sent{});
    r.destinations = {physical("Synth A")};
    EXPECT_EQ(apply(), (Sent{{"Synth B", {0x80, 0, 0}}}));
    r.enabled = false;
    EXPECT_EQ(apply(), (Sent{{"Synth A", {0x80, 0, 0}}}));
    r.enabled = true;
    apply();
    router.process(physical("Keys"), MIDIMessage({0x90, 127, 1}));
    r.channelMask = 0x0002;
    EXPECT_EQ(apply(), (Sent{{"Synth A", {0x80, 127, 0}}}));
    router.setEnabled(false);
    EXPECT_EQ(router.liveNoteHolders(), 0u);
}

thread_local std::vector<std::pair<std::uint32_t, int>> tDelivered; // endpoint, note

// Unique id n + 2 resolves to endpoint n.
struct StressDelivery : MIDIDelivery {
    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        return ResolvedDestination{static_cast<std::uint32_t>(key.uniqueID.value_or(0) - 2), false};
    }
    void deliver(const ResolvedDestination &d, const std::uint8_t *data, std::size_t) override
    {
        tDelivered.emplace_back(d.ref, data[1]);
    }
};

// Configuration c sends channels 1-8 transposed by 1 + c % 20 to endpoint 2c,
// the others unchanged to 2c + 1: each message must arrive once, through a
// configuration in force while it was processed, whole.
TEST(MIDIRouterStressTest, ConcurrentProcessingNeverTearsAConfiguration)
{
    const EndpointKey source(EndpointKind::physical, "Stress in");
    MIDIRouter router;
    const auto delivery = std::make_shared<StressDelivery>(); // held weakly by the router
    router.setEngine(delivery);
    const auto install = [&](int c) {
        FilterChain chain("stress");
        chain.steps = {FilterStep(FilterStep::Kind::transpose)};
        chain.steps[0].transpose = 1 + c % 20;
        Route low(source), high(source);
        low.channelMask = 0x00FF;
        low.filterChainID = chain.id;
        high.channelMask = 0xFF00;
        low.destinations = {EndpointKey(EndpointKind::physical, "t", 2 * c + 2)};
        high.destinations = {EndpointKey(EndpointKind::physical, "p", 2 * c + 3)};
        router.updateConfiguration({low, high}, {chain});
    };
    install(0);
    std::atomic<int> begun{0}, installed{0}, failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; !done || i < 1000; ++i) {
                const int channel = (i + t) % 16, note = 10 + i % 50, oldest = installed;
                tDelivered.clear();
                // Key pressure: transposed like a note, but nothing to release on a change.
                router.process(source, MIDIMessage({std::uint8_t(0xA0 | channel), std::uint8_t(note), 1}));
                const auto [ref, got] = tDelivered.empty() ? std::pair(0u, -1) : tDelivered[0];
                const int config = static_cast<int>(ref / 2), shift = ref % 2 ? 0 : 1 + config % 20;
                failures += tDelivered.size() != 1 || config < oldest || config > begun ||
                            (ref % 2 == 0) != (channel < 8) || got != note + shift;
            }
        });
    for (int c = 1; c < 1000; ++c, std::this_thread::yield()) {
        begun = c;
        install(c);
        installed = c;
    }
    done = true;
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, 0);
}

} // namespace
} // namespace korvane
