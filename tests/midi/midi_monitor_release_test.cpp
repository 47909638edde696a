#include "midi/midi_monitor.h"

#include "support/test_support.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace korvane {
namespace {

using Dir = MonitorEvent::Direction;

MIDIMessage noteOn(std::uint8_t note)
{
    return MIDIMessage({0x90, note, 100});
}

// A MIDI thread holding the monitor for one record, while the main thread
// lets go of it: the monitor and its timer must still die on the main thread.
TEST(MIDIMonitorRelease, LastReferenceDroppedOnAnotherThreadDestroysOnTheMainThread)
{
    std::shared_ptr<MIDIMonitor> monitor = MIDIMonitor::create();
    std::atomic<QThread *> destroyedOn{nullptr};
    QObject::connect(monitor.get(), &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = QThread::currentThread(); });

    std::atomic<int> step{0};
    std::thread midiThread([held = std::weak_ptr<MIDIMonitor>(monitor).lock(), &step]() mutable {
        held->record(Dir::input, "Keys", noteOn(60));
        step = 1;
        while (step.load() != 2)
            std::this_thread::yield();
        held.reset();
    });
    ASSERT_TRUE(test::waitUntil([&] { return step.load() == 1; }));
    monitor.reset();
    step = 2;
    midiThread.join();

    EXPECT_EQ(destroyedOn.load(), nullptr) << "destroyed on the thread that let go";
    ASSERT_TRUE(test::waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return destroyedOn.load() != nullptr;
    }));
    EXPECT_EQ(destroyedOn.load(), QThread::currentThread());
}

// Capacity 0 keeps nothing; the flush after a dropped record must still
// empty what an earlier, larger capacity had published.
TEST(MIDIMonitorCapacityZero, NextFlushAfterADroppedRecordEmptiesThePublishedList)
{
    MIDIMonitor monitor;
    monitor.record(Dir::input, "Keys", noteOn(0));
    monitor.record(Dir::output, "Synth", noteOn(127));
    monitor.flush();
    ASSERT_EQ(monitor.events().size(), 2u);

    QSignalSpy changed(&monitor, &MIDIMonitor::eventsChanged);
    monitor.setCapacity(0);
    monitor.flush();
    EXPECT_EQ(monitor.events().size(), 2u) << "nothing recorded yet: the list stays";
    EXPECT_EQ(changed.count(), 0);

    monitor.record(Dir::input, "Keys", noteOn(64));
    EXPECT_EQ(monitor.pendingCount(), 0u);
    monitor.flush();
    EXPECT_TRUE(monitor.events().empty());
    EXPECT_EQ(changed.count(), 1);

    monitor.flush();
    EXPECT_EQ(changed.count(), 1) << "one notice per change, not per flush";

    // Records discarded by a pause are not "dropped by capacity".
    monitor.setCapacity(1);
    monitor.record(Dir::input, "Keys", noteOn(1));
    monitor.flush();
    ASSERT_EQ(monitor.events().size(), 1u);
    monitor.setCapacity(0);
    monitor.setPaused(true);
    monitor.record(Dir::input, "Keys", noteOn(2));
    monitor.flush();
    EXPECT_EQ(monitor.events().size(), 1u);

    // Negative capacities count as 0.
    monitor.setPaused(false);
    monitor.setCapacity(-1);
    monitor.record(Dir::input, "Keys", noteOn(3));
    monitor.flush();
    EXPECT_TRUE(monitor.events().empty());
}

} // namespace
} // namespace korvane
