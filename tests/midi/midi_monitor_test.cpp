#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "midi/service/loopback/loopback_midi_service.h"

#include "support/test_support.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace korvane {
namespace {

using Dir = MonitorEvent::Direction;

MIDIMessage note(int n)
{
    return MIDIMessage({0x90, static_cast<std::uint8_t>(n), 100});
}

std::vector<std::string> endpoints(const MIDIMonitor &monitor)
{
    std::vector<std::string> names;
    for (const MonitorEvent &e : monitor.events())
        names.push_back(e.endpointName);
    return names;
}

using Names = std::vector<std::string>;

// Texts are made at flush from the raw record, whichever ring it came through;
// the published order is the order of recording across both.
TEST(MIDIMonitorTest, EventFieldsFromBothRingsInRecordingOrder)
{
    struct Row {
        std::vector<std::uint8_t> bytes;
        const char *summary;
        const char *typeLabel;
        std::optional<int> channel;
        const char *rawHex;
    };
    const Row rows[] = {
        {{0x90, 0x00, 0x7F}, "Ch1 Note On  C-1 vel 127", "Note On", 1, "90 00 7F"},
        {{0xEF, 0x7F, 0x7F}, "Ch16 Pitch Bend 8191", "Pitch Bend", 16, "EF 7F 7F"},
        {{0xF0, 0x7E, 0xF7}, "SysEx 3 octets", "SysEx", std::nullopt, "F0 7E F7"},
        {{}, "System 0x0", "System Common", std::nullopt, ""},
    };
    MIDIMonitor monitor;
    bool realtime = false;
    for (const Row &r : rows) {
        if ((realtime = !realtime))
            monitor.recordRealtime(Dir::output, "Synth", r.bytes, r.bytes.size());
        else
            monitor.record(Dir::output, "Synth", MIDIMessage(r.bytes));
    }
    monitor.flush();
    ASSERT_EQ(monitor.events().size(), std::size(rows));
    std::set<Uuid> ids;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const MonitorEvent &e = monitor.events()[i];
        const Row &r = rows[i];
        EXPECT_EQ(std::tie(e.summary, e.typeLabel, e.channel, e.rawHex),
                  std::tie(r.summary, r.typeLabel, r.channel, r.rawHex));
        EXPECT_EQ(e.endpointName, "Synth");
        EXPECT_TRUE(ids.insert(e.id).second);
    }

    // A long system-exclusive message keeps only the head the hex shows, and
    // its whole size in the summary.
    std::vector<std::uint8_t> dump(MonitorEvent::kRawHexBytes, 0x11);
    dump.front() = 0xF0;
    monitor.record(Dir::input, "Keys", MIDIMessage(dump));
    dump.push_back(0xF7);
    monitor.recordRealtime(Dir::input, "Keys", dump, dump.size());
    monitor.flush();
    const MonitorEvent &exact = monitor.events()[monitor.events().size() - 2];
    const MonitorEvent &longer = monitor.events().back();
    EXPECT_EQ(exact.rawHex.size(), MonitorEvent::kRawHexBytes * 3 - 1);
    EXPECT_EQ(longer.rawHex, exact.rawHex + " …");
    EXPECT_EQ(longer.summary, "SysEx 257 octets");
}

// The rings are preallocated: a main thread that stops flushing costs
// records, counted and logged once, never memory.
TEST(MIDIMonitorTest, FullRingDropsNewRecordsCountsAndLogsThem)
{
    MIDIMonitor monitor;
    std::vector<std::string> lines;
    monitor.setLog([&](const std::string &line) { lines.push_back(line); });
    monitor.setCapacity(1'000'000);
    const std::vector<std::uint8_t> sysex(200, 0x01);
    std::size_t kept = 0;
    while (monitor.droppedRecords() == 0) {
        monitor.recordRealtime(Dir::input, "Keys", sysex, sysex.size());
        kept += monitor.droppedRecords() == 0 ? 1 : 0;
    }
    monitor.recordRealtime(Dir::input, "Keys", sysex, sysex.size());
    EXPECT_EQ(monitor.droppedRecords(), 2u);
    monitor.flush();
    EXPECT_EQ(monitor.events().size(), kept);
    EXPECT_EQ(lines, (std::vector<std::string>{"Moniteur : 2 événements perdus (file pleine)"}));
    monitor.recordRealtime(Dir::input, "Keys", sysex, sysex.size()); // room again
    monitor.flush();
    EXPECT_EQ(monitor.events().size(), kept + 1);
    EXPECT_EQ(lines.size(), 1u);
}

TEST(MIDIMonitorTest, CapacityBoundsPendingAndPublishedEvents)
{
    MIDIMonitor monitor;
    QSignalSpy changed(&monitor, &MIDIMonitor::eventsChanged);
    monitor.setCapacity(3);
    for (const char *name : {"A", "B", "C"})
        monitor.record(Dir::input, name, note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"A", "B", "C"}));
    monitor.record(Dir::input, "D", note(60));
    monitor.record(Dir::output, "E", note(61));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"C", "D", "E"}));
    monitor.flush(); // nothing pending: no change published
    EXPECT_EQ(changed.count(), 2);

    for (int i = 0; i < 10; ++i)
        monitor.record(Dir::input, std::to_string(i), note(60));
    EXPECT_EQ(monitor.pendingCount(), 3u);
    monitor.setCapacity(2); // applies at the next flush that has something to add
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"8", "9"}));

    // Capacity 0 keeps nothing; the flush after a dropped record must still
    // empty what the larger capacity had published, with one notice.
    monitor.setCapacity(0);
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"8", "9"})) << "nothing recorded yet: the list stays";
    const int notices = changed.count();
    monitor.record(Dir::input, "x", note(60));
    EXPECT_EQ(monitor.pendingCount(), 0u);
    monitor.flush();
    monitor.flush();
    EXPECT_TRUE(monitor.events().empty());
    EXPECT_EQ(changed.count(), notices + 1);

    // A negative capacity counts as 0.
    monitor.setCapacity(1);
    monitor.record(Dir::input, "y", note(1));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"y"}));
    monitor.setCapacity(-1);
    monitor.record(Dir::input, "z", note(2));
    monitor.flush();
    EXPECT_TRUE(monitor.events().empty());
}

TEST(MIDIMonitorTest, PauseLosesEventsButPublishesThoseAlreadyPendingAndClearDiscardsBoth)
{
    MIDIMonitor monitor;
    monitor.record(Dir::input, "before", note(60));
    monitor.setPaused(true);
    monitor.record(Dir::input, "during", note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"before"}));
    monitor.setPaused(false);
    monitor.record(Dir::input, "after", note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"before", "after"}));

    monitor.record(Dir::input, "B", note(60));
    QSignalSpy changed(&monitor, &MIDIMonitor::eventsChanged);
    monitor.clear();
    EXPECT_TRUE(monitor.events().empty());
    EXPECT_EQ(changed.count(), 1);
    monitor.flush();
    EXPECT_TRUE(monitor.events().empty());
    EXPECT_EQ(changed.count(), 1);
}

TEST(MIDIMonitorTest, TimerPublishesRecordsFromOtherThreads)
{
    MIDIMonitor monitor;
    QSignalSpy changed(&monitor, &MIDIMonitor::eventsChanged);
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            monitor.record(Dir::input, "T", note(i));
    });
    worker.join();
    ASSERT_TRUE(test::waitUntil([&] { return monitor.events().size() == 100; }));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(monitor.events().back().rawHex, "90 63 64");
}

// The router and the receive threads hold the monitor and the engine for one message each; when
// the main thread lets go meanwhile, the last reference is theirs, and the object must still die on
// the main thread (the engine's stop joins its own input thread; the monitor owns a timer).
void expectDestroyedOnTheMainThread(std::shared_ptr<QObject> object)
{
    std::atomic<QThread *> destroyedOn{nullptr};
    QObject::connect(object.get(), &QObject::destroyed,
                     [&destroyedOn] { destroyedOn = QThread::currentThread(); });
    std::atomic<int> step{0};
    std::thread other([held = std::weak_ptr<QObject>(object).lock(), &step]() mutable {
        step = 1;
        while (step.load() != 2)
            std::this_thread::yield();
        held.reset();
    });
    ASSERT_TRUE(test::waitUntil([&] { return step.load() == 1; }));
    object.reset();
    step = 2;
    other.join();

    EXPECT_EQ(destroyedOn.load(), nullptr) << "destroyed on the thread that let go";
    ASSERT_TRUE(test::waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return destroyedOn.load() != nullptr;
    }));
    EXPECT_EQ(destroyedOn.load(), QThread::currentThread());
}

TEST(SharedQObjectRelease, LastReferenceDroppedOnAnotherThreadDestroysOnTheMainThread)
{
    expectDestroyedOnTheMainThread(MIDIMonitor::create());
    auto engine = MIDIEngine::create(std::make_shared<LoopbackMidiService>());
    engine->start();
    expectDestroyedOnTheMainThread(std::move(engine));
}

} // namespace
} // namespace korvane
