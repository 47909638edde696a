// Throughput of the stream parser and of project.json reading and writing.

#include "midi/midi_stream_parser.h"
#include "model/project_json.h"

#include <benchmark/benchmark.h>

#include <vector>

using namespace korvane;

namespace {

// Note on/off pairs under running status, cut into 64-byte packets.
void BM_ParseChannelStream(benchmark::State &state)
{
    std::vector<std::uint8_t> stream;
    for (int i = 0; stream.size() < 4096; ++i) {
        if (i % 32 == 0)
            stream.push_back(0x90);
        stream.push_back(static_cast<std::uint8_t>(i % 128));
        stream.push_back(static_cast<std::uint8_t>(i % 2 ? 0 : 100));
    }
    MIDIStreamParser parser;
    std::size_t messages = 0;
    const MIDIStreamParser::Emit count = [&](MIDIMessage &&) { ++messages; };
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < stream.size(); pos += 64)
            parser.parse(stream.data() + pos, std::min<std::size_t>(64, stream.size() - pos), 0, count);
    }
    benchmark::DoNotOptimize(messages);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseChannelStream);

// One 64 KiB system-exclusive dump per iteration, in 1 KiB packets.
void BM_ParseSysexDump(benchmark::State &state)
{
    std::vector<std::uint8_t> dump(64 * 1024, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    MIDIStreamParser parser;
    const MIDIStreamParser::Emit sink = [](MIDIMessage &&m) { benchmark::DoNotOptimize(m.bytes.data()); };
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < dump.size(); pos += 1024)
            parser.parse(dump.data() + pos, 1024, 0, sink);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * dump.size()));
}
BENCHMARK(BM_ParseSysexDump);

// A large show: 200 routes with 4 destinations, 50 chains of 6 steps.
TOVProject bigProject()
{
    TOVProject p;
    for (int c = 0; c < 50; ++c) {
        FilterChain chain("Chaîne " + std::to_string(c));
        for (auto kind : kAllFilterStepKinds)
            chain.steps.push_back(FilterStep(kind));
        p.filterChains.push_back(chain);
    }
    for (int r = 0; r < 200; ++r) {
        Route route(EndpointKey(EndpointKind::physical, "Entrée " + std::to_string(r), r + 1));
        for (int d = 0; d < 4; ++d)
            route.destinations.push_back(EndpointKey(EndpointKind::virtual_, "Bus " + std::to_string(d)));
        route.filterChainID = p.filterChains[static_cast<std::size_t>(r % 50)].id;
        p.routes.push_back(route);
    }
    return p;
}

void BM_WriteProjectJson(benchmark::State &state)
{
    const TOVProject project = bigProject();
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = writeProjectJson(project).value->size();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteProjectJson)->Unit(benchmark::kMillisecond);

void BM_ReadProjectJson(benchmark::State &state)
{
    const QByteArray text = *writeProjectJson(bigProject()).value;
    for (auto _ : state)
        benchmark::DoNotOptimize(readProjectJson(text).value->routes.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_ReadProjectJson)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
