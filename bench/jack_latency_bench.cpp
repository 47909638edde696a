// Latency probe on a running JACK server, with KORVANE's engine and router
// routing inside the JACK cycle as the program does:
// - one program's output feeds a second program directly and a third one
//   through KORVANE, in the same run (an acyclic graph: the target is 0 added
//   frames);
// - a program writes KORVANE's own virtual input "Loop In" and reads its
//   virtual output "Loop Out", routed one to the other (a loop through
//   KORVANE: the target is at most one period).
// Latencies are JACK frame times from the cycle an event left to the frame it
// arrived at, so they do not depend on this machine's scheduling jitter.
//
// Prints its own figures (not a Google Benchmark program). Exit status 1 only
// when the probe could not run.

#include "midi/midi_engine.h"
#include "midi/midi_router.h"
#include "midi/realtime_routing_link.h"
#include "midi/service/jack/jack_backend.h"

#include "../tests/support/jack_test_client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>

using namespace korvane;
using korvane::test::JackTestClient;

namespace {

bool spinUntil(const std::function<bool()> &pred, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

struct Stats {
    double min = 0, mean = 0, max = 0;
};

Stats stats(const std::vector<long> &values)
{
    if (values.empty())
        return {};
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const double sum = std::accumulate(values.begin(), values.end(), 0.0);
    return {double(*lo), sum / double(values.size()), double(*hi)};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int kNotes = 1000;

    auto engine = std::make_shared<MIDIEngine>(makeJackMidiService());
    engine->start();
    if (!engine->running()) {
        std::fprintf(stderr, "jack_latency_bench: no JACK server\n");
        return 1;
    }
    // KORVANE listens to every program's outputs and feeds every program's
    // inputs, so only programs with ports in one direction leave the graph
    // acyclic; the loop client has both.
    JackTestClient sender("korvane-lat-src", {}, JackTestClient::outOnly);
    JackTestClient direct("korvane-lat-direct", {}, JackTestClient::inOnly);
    JackTestClient routed("korvane-lat-routed", {}, JackTestClient::inOnly);
    JackTestClient looped("korvane-lat-loop");
    engine->applyVirtualPorts({VirtualPortConfig{Uuid::create(), "Loop", true, true}});
    const std::string loopIn = "KORVANE:Loop In";
    if (!sender.ok() || !direct.ok() || !routed.ok() || !looped.ok() ||
        !sender.connect(sender.outPort(), direct.inPort()) || !looped.connect(looped.outPort(), loopIn) ||
        !looped.connect("KORVANE:Loop Out", looped.inPort())) {
        std::fprintf(stderr, "jack_latency_bench: cannot set up the probe clients\n");
        return 1;
    }
    const std::string from = sender.outPort();
    const std::string to = routed.inPort();
    auto listed = [&] {
        auto has = [](const std::vector<MIDIEndpointInfo> &list, const std::string &name) {
            return std::any_of(list.begin(), list.end(), [&](const auto &info) { return info.name == name; });
        };
        return has(engine->sources(), from) && has(engine->destinations(), to);
    };
    if (!spinUntil(listed, 5000)) {
        std::fprintf(stderr, "jack_latency_bench: KORVANE did not see the probe ports\n");
        return 1;
    }

    Route route(EndpointKey(EndpointKind::physical, from, jackPortUniqueID(from)));
    route.destinations.push_back(EndpointKey(EndpointKind::physical, to, jackPortUniqueID(to)));
    Route loop(EndpointKey(EndpointKind::virtual_, "Loop In"));
    loop.destinations.push_back(EndpointKey(EndpointKind::virtual_, "Loop Out"));
    auto router = std::make_shared<MIDIRouter>();
    router->updateConfiguration({route, loop}, {});
    router->setEngine(engine);
    engine->setOnInput([router](const EndpointKey &key, const MIDIMessage &message, std::uint64_t origin) {
        router->process(key, message, origin);
    });
    const auto link = RealtimeRoutingLink::attach(engine, router);
    // Let the connections settle before measuring.
    spinUntil([] { return false; }, 200);

    const jack_nframes_t period = sender.bufferSize();
    const jack_nframes_t rate = jack_get_sample_rate(sender.client());
    std::vector<long> directFrames, routedFrames, addedFrames, addedMicros;
    int lostByJack = 0;
    int lostByKorvane = 0;
    auto arrival = [](JackTestClient &client, const std::vector<std::uint8_t> &bytes) {
        const auto events = client.received();
        auto it = std::find_if(events.begin(), events.end(), [&](const auto &e) { return e.bytes == bytes; });
        return it == events.end() ? std::optional<JackTestClient::Event>() : std::optional(*it);
    };
    for (int i = 0; i < kNotes; ++i) {
        const std::vector<std::uint8_t> bytes{0x90, static_cast<std::uint8_t>(i % 128),
                                              static_cast<std::uint8_t>(1 + i / 128)};
        sender.send(bytes);
        if (!spinUntil([&] { return sender.departures().size() > std::size_t(i); }, 1000))
            return std::fprintf(stderr, "jack_latency_bench: the JACK server stalled\n"), 1;
        const auto left = sender.departures()[std::size_t(i)];
        // A cycle the server skipped under load loses the event for every reader alike.
        if (!spinUntil([&] { return arrival(direct, bytes).has_value(); }, 200)) {
            ++lostByJack;
            continue;
        }
        if (!spinUntil([&] { return arrival(routed, bytes).has_value(); }, 1000)) {
            ++lostByKorvane;
            continue;
        }
        const auto d = *arrival(direct, bytes);
        const auto r = *arrival(routed, bytes);
        directFrames.push_back(long(d.frame) - long(left.frame));
        routedFrames.push_back(long(r.frame) - long(left.frame));
        addedFrames.push_back(long(r.frame) - long(d.frame));
        addedMicros.push_back(long(r.usecs) - long(d.usecs));
    }
    // From the cycle the note left to the frame it came back at.
    std::vector<long> loopFrames;
    int loopLost = 0;
    // Notes that came back late while the server reported an xrun: the dummy
    // driver skipped a cycle, which delays every client alike.
    int loopLateAcrossXrun = 0;
    for (int i = 0; i < kNotes; ++i) {
        const std::uint64_t xrunsBefore = looped.xruns();
        const std::vector<std::uint8_t> bytes{0x91, static_cast<std::uint8_t>(i % 128),
                                              static_cast<std::uint8_t>(1 + i / 128)};
        looped.send(bytes);
        if (!spinUntil([&] { return looped.departures().size() > std::size_t(i); }, 1000))
            return std::fprintf(stderr, "jack_latency_bench: the JACK server stalled\n"), 1;
        const auto left = looped.departures()[std::size_t(i)];
        if (!spinUntil([&] { return arrival(looped, bytes).has_value(); }, 1000)) {
            ++loopLost;
            continue;
        }
        const long frames = long(arrival(looped, bytes)->frame) - long(left.frame);
        if (frames > long(looped.bufferSize()) && looped.xruns() != xrunsBefore) {
            ++loopLateAcrossXrun;
            continue;
        }
        loopFrames.push_back(frames);
    }
    const std::uint64_t networkDrops = link ? link->dropped() : 0;
    engine->stop();

    const double msPerFrame = 1000.0 / double(rate);
    std::printf("%s: %u Hz, period %u frames (%.2f ms); %zu notes measured, %d lost by the server "
                "(skipped cycles), %d lost by KORVANE\n",
                engine->serviceName().c_str(), rate, period, period * msPerFrame, routedFrames.size(),
                lostByJack, lostByKorvane);
    std::printf("%-26s %8s %8s %8s\n", "latency (frames)", "min", "mean", "max");
    auto row = [&](const char *name, const Stats &s) {
        std::printf("%-26s %8.0f %8.1f %8.0f   (%.2f / %.2f / %.2f ms)\n", name, s.min, s.mean, s.max,
                    s.min * msPerFrame, s.mean * msPerFrame, s.max * msPerFrame);
    };
    row("direct JACK connection", stats(directFrames));
    row("through KORVANE", stats(routedFrames));
    const Stats added = stats(addedFrames);
    row("added by KORVANE", added);
    const Stats micros = stats(addedMicros);
    std::printf("%-26s %8.0f %8.1f %8.0f   (microseconds between the receiving cycles' starts; a\n"
                "%-26s %8s %8s %8s    dummy driver's wall clock jitters under load)\n",
                "added by KORVANE", micros.min, micros.mean, micros.max, "", "", "", "");
    const auto over = std::count_if(addedFrames.begin(), addedFrames.end(), [](long f) { return f > 0; });
    const bool met = lostByKorvane == 0 && !addedFrames.empty() && over == 0;
    std::printf("target: a route between two programs adds 0 frames: %s (%ld of %zu events over)\n",
                met ? "met" : "NOT met", long(over), addedFrames.size());
    const Stats loopStats = stats(loopFrames);
    std::printf("\nprogram writing KORVANE's \"Loop In\" and reading its \"Loop Out\": %zu notes, %d lost, "
                "%d late across a server xrun (not counted)\n",
                loopFrames.size(), loopLost, loopLateAcrossXrun);
    row("loop through KORVANE", loopStats);
    const auto loopOver =
        std::count_if(loopFrames.begin(), loopFrames.end(), [&](long f) { return f > long(period); });
    std::printf("target: at most one period (%u frames): %s (%ld of %zu events over)\n", period,
                loopLost == 0 && !loopFrames.empty() && loopOver == 0 ? "met" : "NOT met", long(loopOver),
                loopFrames.size());
    std::printf("queue drops: network-bound %llu\n", static_cast<unsigned long long>(networkDrops));
    return 0;
}
