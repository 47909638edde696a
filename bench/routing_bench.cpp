// One incoming message through the whole routing path: parse, process with
// its monitor records and filter chain, and delivery to an endpoint table.
// Reported per incoming message (sec_per_msg; with several threads it is wall
// time divided by the messages of all threads).

#include "midi/midi_monitor.h"
#include "midi/midi_router.h"
#include "midi/midi_stream_parser.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

using namespace korvane;

namespace {

// Stands in for the engine: name and id lookups under a lock, as the engine's
// tables are, then a counter instead of the service's output buffer.
class CountingDelivery : public MIDIDelivery {
public:
    explicit CountingDelivery(int destinations)
    {
        for (int i = 0; i < destinations; ++i)
            m_byName.emplace("Out " + std::to_string(i), static_cast<std::uint32_t>(i + 1));
    }
    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        std::lock_guard lock(m_mutex);
        auto it = m_byName.find(key.name);
        if (it == m_byName.end())
            return std::nullopt;
        return ResolvedDestination{it->second, false};
    }
    void deliver(const ResolvedDestination &, const std::uint8_t *, std::size_t size) override
    {
        m_bytes.fetch_add(size, std::memory_order_relaxed);
    }

private:
    std::mutex m_mutex;
    std::unordered_map<std::string, std::uint32_t> m_byName;
    std::atomic<std::size_t> m_bytes{0};
};

const EndpointKey kSource(EndpointKind::physical, "Keys", 1234);

// `routes` routes of which two take messages from kSource: the first through
// a three-step chain (remap, transpose, velocity), the second unfiltered.
// The others come from other sources, half of them with a chain too.
struct Setup {
    std::shared_ptr<CountingDelivery> delivery;
    std::shared_ptr<MIDIMonitor> monitor;
    MIDIRouter router;

    Setup(int routes, bool withMonitor) : delivery(std::make_shared<CountingDelivery>(routes))
    {
        FilterChain chain("Live");
        FilterStep remap(FilterStep::Kind::channelRemap);
        remap.channelMap = std::vector<int>{2};
        FilterStep transpose(FilterStep::Kind::transpose);
        transpose.transpose = 12;
        FilterStep velocity(FilterStep::Kind::velocity);
        velocity.velocityScale = 0.8;
        velocity.velocityOffset = 5;
        chain.steps = {remap, transpose, velocity};

        std::vector<Route> list;
        for (int i = 0; i < routes; ++i) {
            const bool matching = i == routes / 3 || i == 2 * routes / 3;
            Route r(matching ? kSource
                             : EndpointKey(EndpointKind::physical, "Pad " + std::to_string(i), 5000 + i));
            r.destinations = {EndpointKey(EndpointKind::physical, "Out " + std::to_string(i))};
            if ((matching && i == routes / 3) || (!matching && i % 2 == 0))
                r.filterChainID = chain.id;
            list.push_back(std::move(r));
        }
        router.updateConfiguration(std::move(list), {chain});
        router.setEngine(delivery);
        if (withMonitor) {
            monitor = std::make_shared<MIDIMonitor>();
            router.setMonitor(monitor);
        }
    }
};

// Note-on / note-off pairs over a few keys, one message per packet.
struct Packets {
    std::vector<std::vector<std::uint8_t>> list;
    Packets()
    {
        for (int n = 0; n < 16; ++n) {
            list.push_back({0x90, static_cast<std::uint8_t>(48 + n), static_cast<std::uint8_t>(40 + 5 * n)});
            list.push_back({0x80, static_cast<std::uint8_t>(48 + n), 0});
        }
    }
};

void runRouting(benchmark::State &state, Setup &setup)
{
    static const Packets packets;
    MIDIStreamParser parser;
    const MIDIStreamParser::Emit toRouter = [&](MIDIMessage &&m) { setup.router.process(kSource, m); };
    std::size_t i = 0;
    for (auto _ : state) {
        const auto &p = packets.list[i++ % packets.list.size()];
        parser.parse(p.data(), p.size(), i, toRouter);
        // The main thread empties the monitor's ring ten times a second; here
        // one thread does it, untimed, before the ring could fill up.
        if (setup.monitor && state.thread_index() == 0 &&
            i % (1024 / static_cast<std::size_t>(state.threads())) == 0) {
            state.PauseTiming();
            setup.monitor->flush();
            state.ResumeTiming();
        }
    }
    if (setup.monitor)
        state.counters["monitor_dropped"] = static_cast<double>(setup.monitor->droppedRecords());
    state.counters["sec_per_msg"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Built on the main thread before any benchmark runs: the monitor's timer
// belongs to the thread that creates it.
Setup *g_routes8;
Setup *g_routes8NoMonitor;
Setup *g_routes100;

void BM_Routing8Routes(benchmark::State &state)
{
    runRouting(state, *g_routes8);
}
BENCHMARK(BM_Routing8Routes);

void BM_Routing8RoutesNoMonitor(benchmark::State &state)
{
    runRouting(state, *g_routes8NoMonitor);
}
BENCHMARK(BM_Routing8RoutesNoMonitor);

void BM_Routing100Routes(benchmark::State &state)
{
    runRouting(state, *g_routes100);
}
BENCHMARK(BM_Routing100Routes);

void BM_Routing8Routes4Threads(benchmark::State &state)
{
    runRouting(state, *g_routes8);
}
BENCHMARK(BM_Routing8Routes4Threads)->Threads(4)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    // The monitor is a QObject with a timer; it wants an application object.
    QCoreApplication app(argc, argv);
    Setup routes8(8, true), routes8NoMonitor(8, false), routes100(100, true);
    g_routes8 = &routes8;
    g_routes8NoMonitor = &routes8NoMonitor;
    g_routes100 = &routes100;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
