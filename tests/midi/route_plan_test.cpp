// The routing kernel on its two paths: in the cycle (raw events cut into
// pieces, long system-exclusive messages streamed) and queued (whole messages
// from a stream parser, through MIDIRouter::process).

#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "midi/midi_stream_parser.h"
#include "midi/network_outbox.h"
#include "midi/route_plan.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <mutex>
#include <random>

namespace korvane {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr MidiService::Handle kKeysInput = 20;
const EndpointKey kKeys(EndpointKind::physical, "Keys", 1234);

// "F0 7D|" for a first piece, "|04 F7" for a last one, "|…|" in between.
std::string describe(const MIDIPiece &piece)
{
    std::string text = piece.sysex && !piece.first ? "|" : "";
    for (std::size_t i = 0; i < piece.bytes.size(); ++i)
        text += (i ? " " : "") + formatRawHex(Bytes{piece.bytes[i]});
    return text + (piece.sysex && !piece.last ? "|" : "");
}

// Channel messages are cut as the parser reads them (held together by the test below).
TEST(MIDIStreamSplitterTest, CutsRunsIntoThePiecesTheyArriveIn)
{
    const struct {
        std::vector<Bytes> runs;
        std::vector<std::string> pieces;
    } rows[] = {
        {{{0xF0, 0x7D, 0x01, 0x02, 0x03}, {0x04, 0x05, 0xF7}}, {"F0 7D 01 02 03|", "|04 05 F7"}},
        {{{0xF0, 0x7E, 0xF8, 0x01, 0xF7}}, {"F0 7E|", "F8", "|01 F7"}},
        {{{0xF0, 0x01}, {0x90, 0x3C, 0x40}}, {"F0 01|", "|", "90 3C 40"}}, // cut by a status byte
        {{{0xF0}, {0xF0, 0x01, 0xF7}}, {"F0|", "|", "F0 01 F7"}},
        {{{0xF0, 0xF7}, {0xF8}}, {"F0 F7", "F8"}},
    };
    for (const auto &row : rows) {
        MIDIStreamSplitter splitter;
        std::vector<std::string> pieces;
        for (const Bytes &run : row.runs)
            splitter.split(run, [&](const MIDIPiece &piece) { pieces.push_back(describe(piece)); });
        EXPECT_EQ(pieces, row.pieces) << ::testing::PrintToString(row.runs);
    }
}

// Handles 30… for the physical destinations "Out 0"…, 40… for own virtual outputs.
std::optional<std::uint32_t> resolveByName(const EndpointKey &key)
{
    if (key.name.starts_with("Out "))
        return 30 + std::stoul(key.name.substr(4));
    if (key.name.starts_with("Own "))
        return 40 + std::stoul(key.name.substr(4));
    return std::nullopt;
}

// Every destination's byte stream, by handle, on one path: as the engine on
// the queued path, as the sink in the cycle. A real-time byte met inside a
// system-exclusive message leaves the queued path before the message (which
// is collected whole first) and the in-cycle path where it came (the message
// is streamed); a receiver reads the same either way. So two streams are
// the same when their bytes other than real-time ones are, and a stream
// parser reads the same messages from both, system-exclusive ones aside.
class Streams final : public MIDIDelivery, public MidiService::RealtimeSink {
public:
    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        if (auto handle = resolveByName(key))
            return ResolvedDestination{*handle, *handle >= 40};
        return std::nullopt;
    }
    void deliver(const ResolvedDestination &d, const std::uint8_t *data, std::size_t size) override
    {
        add(d.ref, std::span(data, size));
    }
    bool write(MidiService::Handle endpoint, std::span<const std::uint8_t> bytes,
               std::uint8_t) noexcept override
    {
        add(endpoint, bytes);
        return true;
    }
    std::pair<Bytes, std::vector<Bytes>> reading(std::uint32_t handle) const
    {
        Bytes withoutRealtime;
        std::vector<Bytes> messages;
        const Bytes &bytes = m_bytes[handle % 64];
        std::copy_if(bytes.begin(), bytes.end(), std::back_inserter(withoutRealtime),
                     [](std::uint8_t b) { return b < 0xF8; });
        MIDIStreamParser parser;
        parser.parse(bytes, 0, [&](MIDIMessage &&m) {
            if (m.statusByte() != 0xF0)
                messages.push_back(std::move(m.bytes));
        });
        return {std::move(withoutRealtime), std::move(messages)};
    }

private:
    void add(std::uint32_t handle, std::span<const std::uint8_t> bytes)
    {
        Bytes &out = m_bytes[handle % 64];
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    std::array<Bytes, 64> m_bytes;
};

// A chain of each step kind, with settings that drop and rewrite often.
std::vector<FilterChain> everyStepKind()
{
    using K = FilterStep::Kind;
    FilterStep remap(K::channelRemap), transpose(K::transpose), velocity(K::velocity), notes(K::noteRange),
        controllers(K::ccRange), types(K::messageTypeFilter), realtime(K::messageTypeFilter);
    remap.channelMap = std::vector<int>{16, 0, 3, 17};
    transpose.transpose = 7;
    velocity.velocityScale = 1.7;
    velocity.velocityOffset = -3;
    notes.noteLow = 10;
    notes.noteHigh = 100;
    controllers.ccLow = 1;
    controllers.ccHigh = 64;
    types.blockedTypes = std::vector{MIDIStatusType::sysex, MIDIStatusType::programChange};
    realtime.blockedTypes = std::vector{MIDIStatusType::systemRealtime};
    std::vector<FilterChain> chains;
    for (const FilterStep &step : {remap, transpose, velocity, notes, controllers, types, realtime}) {
        chains.emplace_back("chain");
        chains.back().steps = {step};
    }
    return chains;
}

// Random MIDI: every kind, running status, system-exclusive messages
// (terminated or cut), real-time bytes anywhere, stray data bytes.
Bytes randomStream(std::mt19937 &random, int messages)
{
    Bytes out;
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto data = [&] { return static_cast<std::uint8_t>(pick(128)); };
    std::uint8_t running = 0;
    for (int i = 0; i < messages; ++i) {
        const int kind = pick(20);
        if (kind < 12) {
            const std::uint8_t status = static_cast<std::uint8_t>(0x80 + pick(7) * 16 + pick(16));
            if (status != running || pick(3) == 0)
                out.push_back(status);
            running = status;
            for (int b = 0; b < midiDataByteCount(status); ++b) {
                if (pick(40) == 0)
                    out.push_back(static_cast<std::uint8_t>(0xF8 + pick(8)));
                out.push_back(data());
            }
        } else if (kind < 14) {
            running = 0;
            out.push_back(0xF0);
            for (int n = pick(600); n > 0; --n) {
                if (pick(100) == 0)
                    out.push_back(0xF8);
                out.push_back(data());
            }
            if (pick(6) != 0)
                out.push_back(0xF7);
        } else if (kind < 17) {
            out.push_back(static_cast<std::uint8_t>(0xF8 + pick(8)));
        } else if (kind < 19) {
            const std::uint8_t status = static_cast<std::uint8_t>(0xF1 + pick(6));
            running = 0;
            out.push_back(status);
            for (int b = 0; b < midiDataByteCount(status); ++b)
                out.push_back(data());
        } else {
            out.push_back(data());
        }
    }
    return out;
}

TEST(RoutePlanTest, InCycleAndQueuedPathsDeliverTheSameStreams)
{
    const std::vector<FilterChain> chains = everyStepKind();
    std::vector<Route> routes;
    for (std::size_t c = 0; c <= chains.size(); ++c) {
        Route route(kKeys);
        route.channelMask = c % 3 == 0 ? 0xFFFF : static_cast<std::uint16_t>(0x8001 << (c % 2));
        if (c < chains.size())
            route.filterChainID = chains[c].id;
        route.destinations = {EndpointKey(EndpointKind::physical, "Out " + std::to_string(c)),
                              EndpointKey(EndpointKind::virtual_, "Own " + std::to_string(c))};
        routes.push_back(std::move(route));
    }
    MIDIRouter router;
    router.updateConfiguration(routes, chains);
    auto queued = std::make_shared<Streams>();
    Streams inCycle;
    router.setEngine(queued);
    const auto plan = router.makeRealtimePlan({{kKeysInput, kKeys, "keys"}}, resolveByName, nullptr);

    std::mt19937 random(20261207);
    const Bytes stream = randomStream(random, 100'000);
    MIDIStreamParser parser;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = std::min<std::size_t>(1 + random() % 300, stream.size() - at);
        const std::span<const std::uint8_t> event(stream.data() + at, size);
        parser.parse(event, 0, [&](MIDIMessage &&m) { router.process(kKeys, m); });
        plan->route(kKeysInput, event, inCycle);
        at += size;
    }
    EXPECT_GT(queued->reading(30).second.size(), 50'000u);
    for (std::size_t c = 0; c <= chains.size(); ++c) {
        EXPECT_FALSE(queued->reading(40 + c).first.empty());
        for (const std::uint32_t d : {30 + c, 40 + c}) {
            const auto got = inCycle.reading(d), want = queued->reading(d);
            // Not EXPECT_EQ: a difference in megabytes would flood the log.
            EXPECT_TRUE(got.first == want.first) << "destination " << d << ": bytes differ";
            EXPECT_TRUE(got.second == want.second) << "destination " << d << ": messages differ";
        }
    }
}

struct RecordingSink final : MidiService::RealtimeSink {
    std::vector<std::pair<MidiService::Handle, std::string>> written;
    bool write(MidiService::Handle endpoint, std::span<const std::uint8_t> bytes,
               std::uint8_t flags) noexcept override
    {
        written.emplace_back(endpoint, describe(MIDIPiece{bytes, bool(flags & MidiService::pieceSysex),
                                                          bool(flags & MidiService::pieceFirst),
                                                          bool(flags & MidiService::pieceLast)}));
        return true;
    }
};

class RealtimePlanTest : public ::testing::Test {
protected:
    MIDIRouter router;
    RecordingSink sink;
    std::shared_ptr<MIDIMonitor> monitor = std::make_shared<MIDIMonitor>();

    RealtimePlanTest() { router.setMonitor(monitor); }
    std::shared_ptr<RoutePlan> compile(std::shared_ptr<NetworkOutbox> outbox = nullptr)
    {
        return router.makeRealtimePlan({{kKeysInput, kKeys, "keys"}}, resolveByName, std::move(outbox));
    }
    static Route to(std::vector<std::string> names)
    {
        Route route(kKeys);
        for (auto &name : names)
            route.destinations.emplace_back(
                name.starts_with("TOV") ? EndpointKind::rtp : EndpointKind::physical, name);
        return route;
    }
    std::vector<std::string> monitorLines()
    {
        monitor->flush();
        std::vector<std::string> lines;
        for (const MonitorEvent &e : monitor->events())
            lines.push_back(std::string(rawValue(e.direction)) + " " + e.endpointName + " " + e.summary);
        return lines;
    }
};

// A dump in several events goes out piece by piece, to every destination of
// the routes its first piece passes, and is recorded once, whole, at its end;
// a plan that takes over half-way goes on with it for the routes it kept.
TEST_F(RealtimePlanTest, StreamsALongSysexAndRecordsItOnceAcrossAPlanChange)
{
    FilterChain noSysex("no sysex");
    noSysex.steps = {FilterStep(FilterStep::Kind::messageTypeFilter)};
    noSysex.steps[0].blockedTypes = std::vector{MIDIStatusType::sysex};
    Route kept = to({"Out 1"}), blocked = to({"Out 2"});
    blocked.filterChainID = noSysex.id;
    router.updateConfiguration({kept, blocked}, {noSysex});
    const auto first = compile();
    first->route(kKeysInput, Bytes{0xF0, 0x7D, 0x01}, sink);

    router.updateConfiguration({kept, to({"Out 3"})}, {noSysex}); // a route that missed the beginning
    const auto second = compile();
    second->takeOver(*first);
    second->route(kKeysInput, Bytes{0x02, 0xF8, 0x03}, sink);
    second->route(kKeysInput, Bytes{0x04, 0xF7, 0x90, 0x3C, 0x40}, sink);

    using W = decltype(sink.written);
    EXPECT_EQ(sink.written, (W{{31, "F0 7D 01|"},
                               {31, "|02|"},
                               {31, "F8"},
                               {33, "F8"},
                               {31, "|03|"},
                               {31, "|04 F7"},
                               {31, "90 3C 40"},
                               {33, "90 3C 40"}}));
    EXPECT_EQ(monitorLines(),
              (std::vector<std::string>{
                  "IN Keys Realtime 0xf8", "OUT Out 1 Realtime 0xf8", "OUT Out 3 Realtime 0xf8",
                  "IN Keys SysEx 7 octets", "OUT Out 1 SysEx 7 octets", "IN Keys Ch1 Note On  C4 vel 64",
                  "OUT Out 1 Ch1 Note On  C4 vel 64", "OUT Out 3 Ch1 Note On  C4 vel 64"}));
}

// Network destinations get whole messages: the outbox puts the pieces back
// together off the real-time thread.
TEST_F(RealtimePlanTest, NetworkDestinationsGetTheDumpWhole)
{
    router.updateConfiguration({to({"TOV-Net", "Out 1"})}, {});
    auto outbox = std::make_shared<NetworkOutbox>();
    std::mutex mutex;
    std::vector<Bytes> sent;
    outbox->setSend(
        std::make_shared<const NetworkOutbox::Send>([&](const EndpointKey &key, const MIDIMessage &m) {
            std::lock_guard lock(mutex);
            if (key.name == "TOV-Net")
                sent.push_back(m.bytes);
        }));
    const auto plan = compile(outbox);
    for (const Bytes &event : {Bytes{0xF0, 0x01}, Bytes{0x02, 0x03}, Bytes{0xF7, 0x90, 0x3C, 0x40}}) {
        plan->route(kKeysInput, event, sink);
        plan->endCycle();
    }
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return sent.size() == 2;
    }));
    EXPECT_EQ(sent, (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0x03, 0xF7}, {0x90, 0x3C, 0x40}}));
}

} // namespace
} // namespace korvane
