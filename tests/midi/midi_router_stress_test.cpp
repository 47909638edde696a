#include "midi/midi_router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace korvane {
namespace {

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
