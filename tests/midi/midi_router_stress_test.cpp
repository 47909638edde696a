#include "midi/midi_monitor.h"
#include "midi/midi_router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace korvane {
namespace {

// Configuration c has two routes from the same source with complementary
// channel masks: one transposes by 1 + c % 20 and sends to endpoint 2c, the
// other sends unchanged to endpoint 2c + 1. So every message is delivered
// exactly once, and the endpoint tells which configuration let it through.
constexpr int kThreads = 4;
constexpr int kMessagesPerThread = 100'000;
constexpr int kConfigurations = 1'000;

const EndpointKey kSource(EndpointKind::physical, "Stress in");

constexpr int transposeOf(int config)
{
    return 1 + config % 20;
}
constexpr std::uint16_t maskOf(int config)
{
    return config % 2 == 0 ? 0x00FF : 0xFF00;
}

void install(MIDIRouter &router, int c)
{
    FilterChain chain("stress");
    chain.steps.push_back(FilterStep(FilterStep::Kind::transpose));
    chain.steps[0].transpose = transposeOf(c);
    Route transposed(kSource), plain(kSource);
    transposed.channelMask = maskOf(c);
    transposed.filterChainID = chain.id;
    transposed.destinations = {EndpointKey(EndpointKind::physical, "t", 2 * c + 2)};
    plain.channelMask = static_cast<std::uint16_t>(~maskOf(c));
    plain.destinations = {EndpointKey(EndpointKind::physical, "p", 2 * c + 3)};
    router.updateConfiguration({transposed, plain}, {chain});
}

struct Delivered {
    std::uint32_t ref;
    std::vector<std::uint8_t> bytes;
};
thread_local std::vector<Delivered> tDelivered;

// Unique id n + 2 resolves to endpoint n; deliveries are kept per thread.
class StressDelivery : public MIDIDelivery {
public:
    std::optional<ResolvedDestination> resolveDestinationRef(const EndpointKey &key) override
    {
        return ResolvedDestination{static_cast<std::uint32_t>(key.uniqueID.value_or(0) - 2), false};
    }
    void deliver(const ResolvedDestination &d, const std::uint8_t *data, std::size_t size) override
    {
        tDelivered.push_back({d.ref, std::vector<std::uint8_t>(data, data + size)});
    }
};

TEST(MIDIRouterStressTest, ConcurrentProcessingNeverTearsAConfiguration)
{
    MIDIRouter router;
    auto delivery = std::make_shared<StressDelivery>();
    auto monitor = std::make_shared<MIDIMonitor>();
    monitor->setCapacity(1000);
    router.setEngine(delivery);
    router.setMonitor(monitor);
    install(router, 0);

    // Configuration numbers whose installation has begun / has completed.
    std::atomic<int> begun{0}, installed{0};
    std::atomic<long> processed{0}, failures{0};
    std::mutex firstFailureMutex;
    std::string firstFailure;
    auto fail = [&](const std::string &what) {
        std::lock_guard lock(firstFailureMutex);
        if (failures++ == 0)
            firstFailure = what;
    };

    auto worker = [&](int thread) {
        for (int i = 0; i < kMessagesPerThread; ++i) {
            const int channel = (i + thread) % 16;
            const int note = 10 + i % 50;
            // Key pressure: transposed and masked like a note, but holds nothing
            // that a configuration change would have to release.
            const MIDIMessage m({std::uint8_t(0xA0 | channel), std::uint8_t(note), std::uint8_t(thread + 1)});
            tDelivered.clear();
            const int oldest = installed.load();
            router.process(kSource, m);
            const int newest = begun.load();
            processed.fetch_add(1, std::memory_order_relaxed);

            if (tDelivered.size() != 1) {
                fail("a message delivered " + std::to_string(tDelivered.size()) + " times");
                continue;
            }
            const Delivered &d = tDelivered.front();
            const int config = static_cast<int>(d.ref / 2);
            const bool transposed = d.ref % 2 == 0;
            const int expectedNote = note + (transposed ? transposeOf(config) : 0);
            if (config < oldest || config > newest || (maskOf(config) >> channel & 1) != transposed ||
                d.bytes != std::vector<std::uint8_t>{m.bytes[0], std::uint8_t(expectedNote), m.bytes[2]})
                fail("configuration " + std::to_string(config) + " delivered an unexpected message while " +
                     std::to_string(oldest) + "…" + std::to_string(newest) + " were in force");
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(worker, t);

    // Spread the replacements over the run: one per 1/kConfigurations of the traffic.
    constexpr long total = long{kThreads} * kMessagesPerThread;
    for (int c = 1; c < kConfigurations; ++c) {
        while (processed.load(std::memory_order_relaxed) < total * c / kConfigurations)
            std::this_thread::yield();
        begun.store(c);
        install(router, c);
        installed.store(c);
        if (c % 16 == 0)
            monitor->flush();
    }
    for (std::thread &t : threads)
        t.join();
    monitor->flush();

    EXPECT_EQ(failures.load(), 0) << firstFailure;
    EXPECT_EQ(processed.load(), total);
    EXPECT_EQ(monitor->events().size(), 1000u);
}

} // namespace
} // namespace korvane
