// In-cycle routing as the real-time thread runs it: the router's routes
// compiled for a set of inputs, fed raw events, writing to a recording sink.

#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "midi/network_outbox.h"
#include "midi/realtime_route_plan.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <mutex>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr MidiService::Handle kKeysInput = 20;
constexpr MidiService::Handle kSynth = 30;
constexpr MidiService::Handle kPads = 31;
const EndpointKey kKeys(EndpointKind::physical, "Keys", 1234);

struct RecordingSink final : MidiService::RealtimeSink {
    std::vector<std::pair<MidiService::Handle, Bytes>> written;
    bool write(MidiService::Handle endpoint, std::span<const std::uint8_t> bytes) noexcept override
    {
        written.emplace_back(endpoint, Bytes(bytes.begin(), bytes.end()));
        return true;
    }
};

std::vector<Bytes> split(const Bytes &event)
{
    std::vector<Bytes> out;
    RealtimeRoutePlan::forEachMessage(
        event, [&](std::span<const std::uint8_t> m) { out.emplace_back(m.begin(), m.end()); });
    return out;
}

TEST(RealtimeRoutePlanTest, SplitsOneEventIntoWholeMessages)
{
    const struct {
        Bytes event;
        std::vector<Bytes> messages;
    } rows[] = {
        {{0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}},
        {{0x90, 0x3C, 0x64, 0x3E, 0x00}, {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x00}}}, // running status
        {{0xC0, 0x05, 0x7F}, {{0xC0, 0x05}, {0xC0, 0x7F}}},
        {{0xF8}, {{0xF8}}},
        {{0xF0, 0x01, 0x02, 0xF7}, {{0xF0, 0x01, 0x02, 0xF7}}},
        {{0xF0, 0x01, 0x02}, {{0xF0, 0x01, 0x02}}},                           // unterminated: handed over
        {{0xF0, 0x01, 0x90, 0x3C, 0x64}, {{0xF0, 0x01}, {0x90, 0x3C, 0x64}}}, // cut by a status byte
        {{0xF0, 0x01, 0xF8, 0x02, 0xF7}, {{0xF8}}},                           // torn by a real-time byte
        {{0x3C, 0x64}, {}},                                                   // no status: nothing
        {{0x90, 0x3C}, {}},                                                   // short
        {{}, {}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(split(row.event), row.messages) << ::testing::PrintToString(row.event);
}

class RealtimeRoutePlanRouting : public ::testing::Test {
protected:
    MIDIRouter router;
    RecordingSink sink;

    std::shared_ptr<RealtimeRoutePlan> compile()
    {
        return router.makeRealtimePlan({{kKeysInput, kKeys}}, [](const EndpointKey &key) {
            if (key.name == "Synth")
                return std::optional(ResolvedDestination{kSynth, false});
            if (key.name == "Pads Out")
                return std::optional(ResolvedDestination{kPads, true});
            return std::optional<ResolvedDestination>();
        });
    }
    static Route route(std::uint16_t mask, std::vector<EndpointKey> destinations)
    {
        Route r(kKeys);
        r.channelMask = mask;
        r.destinations = std::move(destinations);
        return r;
    }
};

// The first and last channel of every channel message kind, against a mask
// that lets exactly those two through and one that lets every other through.
TEST_F(RealtimeRoutePlanRouting, ChannelMaskEdgesOfEveryChannelMessageKind)
{
    const EndpointKey synth(EndpointKind::physical, "Synth");
    const EndpointKey pads(EndpointKind::virtual_, "Pads Out");
    router.updateConfiguration({route(0x8001, {synth}), route(0x7FFE, {pads})}, {});
    const auto plan = compile();
    for (const std::uint8_t kind : {0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0}) {
        for (const std::uint8_t channel : {0, 1, 14, 15}) {
            const std::uint8_t status = kind | channel;
            const Bytes message =
                midiDataByteCount(status) == 1 ? Bytes{status, 0x7F} : Bytes{status, 0x00, 0x7F};
            sink.written.clear();
            plan->route(kKeysInput, message, sink);
            const MidiService::Handle expected = channel == 0 || channel == 15 ? kSynth : kPads;
            EXPECT_EQ(sink.written, (decltype(sink.written){{expected, message}})) << std::hex << int(status);
        }
    }
    sink.written.clear();
    plan->route(kKeysInput, Bytes{0xF8}, sink); // system messages pass any mask
    EXPECT_EQ(sink.written.size(), 2u);
    sink.written.clear();
    plan->route(kKeysInput + 1, Bytes{0x90, 60, 100}, sink); // an input the plan does not know
    EXPECT_TRUE(sink.written.empty());
}

TEST_F(RealtimeRoutePlanRouting, FiltersEachRouteOnItsOwnCopyAtTheNoteEdges)
{
    FilterChain up("Up");
    FilterStep transpose(FilterStep::Kind::transpose);
    transpose.transpose = 1;
    FilterStep noSysex(FilterStep::Kind::messageTypeFilter);
    noSysex.blockedTypes = std::vector{MIDIStatusType::sysex};
    up.steps = {transpose, noSysex};
    Route filtered = route(0xFFFF, {EndpointKey(EndpointKind::physical, "Synth")});
    filtered.filterChainID = up.id;
    router.updateConfiguration({filtered, route(0xFFFF, {EndpointKey(EndpointKind::virtual_, "Pads Out")})},
                               {up});
    const auto plan = compile();

    const struct {
        Bytes in;
        std::optional<Bytes> toSynth; // absent: dropped by the chain
    } rows[] = {
        {{0x90, 0, 0}, Bytes{0x90, 1, 0}},     {{0x9F, 126, 127}, Bytes{0x9F, 127, 127}},
        {{0x80, 127, 0}, std::nullopt}, // 128 is out of range
        {{0xF0, 1, 2, 3, 0xF7}, std::nullopt}, {{0xF2, 0x7F, 0x7F}, Bytes{0xF2, 0x7F, 0x7F}},
    };
    for (const auto &row : rows) {
        sink.written.clear();
        plan->route(kKeysInput, row.in, sink);
        decltype(sink.written) expected;
        if (row.toSynth)
            expected.emplace_back(kSynth, *row.toSynth);
        expected.emplace_back(kPads, row.in);
        EXPECT_EQ(sink.written, expected) << ::testing::PrintToString(row.in);
    }
    // The activity counters count in the cycle too: only what got past the chain.
    const std::vector<Route> routes = router.routes();
    EXPECT_EQ(router.routeMessageCount(routes[0].id), 3u);
    EXPECT_EQ(router.routeMessageCount(routes[1].id), 5u);
}

TEST_F(RealtimeRoutePlanRouting, RecordsInputThenDeliveriesAndQueuesNetworkDestinations)
{
    auto monitor = std::make_shared<MIDIMonitor>();
    router.setMonitor(monitor);
    const EndpointKey session(EndpointKind::rtp, "TOV-Net");
    router.updateConfiguration({route(0xFFFF, {EndpointKey(EndpointKind::physical, "Gone"), session,
                                               EndpointKey(EndpointKind::physical, "Synth")})},
                               {});
    auto plan = compile();
    std::mutex mutex;
    std::vector<std::pair<EndpointKey, MIDIMessage>> sent;
    plan->outbox = std::make_shared<NetworkOutbox>();
    plan->outbox->setSend(
        std::make_shared<const NetworkOutbox::Send>([&](const EndpointKey &key, const MIDIMessage &message) {
            std::lock_guard lock(mutex);
            sent.emplace_back(key, message);
        }));

    plan->route(kKeysInput, Bytes{0x90, 60, 100}, sink);
    plan->endCycle();
    EXPECT_EQ(sink.written, (decltype(sink.written){{kSynth, {0x90, 60, 100}}}));
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return !sent.empty();
    }));
    EXPECT_EQ(sent.front(), std::pair(session, MIDIMessage({0x90, 60, 100})));

    monitor->flush();
    std::vector<std::pair<std::string, MonitorEvent::Direction>> lines;
    for (const MonitorEvent &e : monitor->events())
        lines.emplace_back(e.endpointName, e.direction);
    using D = MonitorEvent::Direction;
    EXPECT_EQ(lines,
              (decltype(lines){
                  {"Keys", D::input}, {"Gone", D::output}, {"TOV-Net", D::output}, {"Synth", D::output}}));

    // A disabled router routes and records nothing.
    router.setEnabled(false);
    plan = compile();
    sink.written.clear();
    plan->route(kKeysInput, Bytes{0x90, 60, 100}, sink);
    EXPECT_TRUE(sink.written.empty());
}

} // namespace
} // namespace korvane
