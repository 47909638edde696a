// The engine's last reference taken by its own JACK input thread.

#include "midi/midi_engine.h"
#include "midi/service/jack/jack_backend.h"
#include "support/jack_test_client.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace korvane;
using korvane::test::JackTestClient;
using korvane::test::waitUntil;

namespace {

// The router looks the engine up weakly for each message on the input
// thread. If the main thread lets go meanwhile, the input thread holds the
// last reference; destroying the engine there would stop it from the very
// thread the stop joins.
TEST(MIDIEngineRelease, LastReferenceHeldByTheInputThreadIsDestroyedOnTheMainThread)
{
    JackTestClient keyboard("korvane-release-keys", {}, JackTestClient::outOnly);
    ASSERT_TRUE(keyboard.ok()) << "needs a JACK server (scripts/test.sh starts one)";

    std::shared_ptr<MIDIEngine> engine = MIDIEngine::create(makeJackMidiService());
    std::atomic<QThread *> destroyedOn{nullptr};
    QObject::connect(engine.get(), &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = QThread::currentThread(); });

    std::atomic<int> step{0};
    std::atomic<std::thread::id> inputThread{};
    engine->setOnInput([weak = std::weak_ptr<MIDIEngine>(engine), &step, &inputThread](const EndpointKey &,
                                                                                       const MIDIMessage &,
                                                                                       std::uint64_t) {
        std::shared_ptr<MIDIEngine> held = weak.lock();
        int expected = 0;
        if (!held || !step.compare_exchange_strong(expected, 1))
            return;
        inputThread = std::this_thread::get_id();
        while (step.load() != 2)
            std::this_thread::yield();
    });
    engine->start();
    ASSERT_TRUE(engine->running());
    ASSERT_TRUE(waitUntil([&] {
        for (const MIDIEndpointInfo &source : engine->sources())
            if (source.name == keyboard.outPort())
                return true;
        return false;
    }));

    // Listed is not yet listened to: the connection carries data a cycle or
    // two after it is made. A note the loaded server's skipped cycle loses
    // is sent again.
    ASSERT_TRUE(waitUntil([&] { return !keyboard.connections(keyboard.outPort()).empty(); }));
    ASSERT_TRUE(keyboard.waitTwoCycles());
    for (int attempt = 0; step.load() == 0; ++attempt) {
        const std::uint64_t xruns = keyboard.xruns();
        keyboard.send({0x90, 60, 100});
        if (!waitUntil([&] { return step.load() == 1; }, std::chrono::seconds(2))) {
            ASSERT_TRUE(attempt < 2 && keyboard.xruns() != xruns) << "lost with no skipped cycle";
        }
    }
    ASSERT_NE(inputThread.load(), std::this_thread::get_id());
    engine.reset();
    step = 2;

    ASSERT_TRUE(waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return destroyedOn.load() != nullptr;
    }));
    EXPECT_EQ(destroyedOn.load(), QThread::currentThread());
}

} // namespace
