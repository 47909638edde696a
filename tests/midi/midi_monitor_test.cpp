#include "midi/midi_monitor.h"

#include "support/test_support.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <set>

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

TEST(MIDIMonitorTest, EventFields)
{
    struct Row {
        std::vector<std::uint8_t> bytes;
        const char *typeLabel;
        std::optional<int> channel;
        const char *rawHex;
    };
    const Row rows[] = {
        {{0x90, 0x00, 0x7F}, "Note On", 1, "90 00 7F"},
        {{0xEF, 0x7F, 0x00}, "Pitch Bend", 16, "EF 7F 00"},
        {{0xF0, 0x7E, 0xF7}, "SysEx", std::nullopt, "F0 7E F7"},
        {{}, "System Common", std::nullopt, ""},
    };
    std::set<Uuid> ids;
    for (const Row &r : rows) {
        const MonitorEvent e = MonitorEvent::make(Dir::output, "Synth", MIDIMessage(r.bytes));
        EXPECT_EQ(std::tie(e.typeLabel, e.channel, e.rawHex), std::tie(r.typeLabel, r.channel, r.rawHex));
        EXPECT_TRUE(ids.insert(e.id).second);
    }
    // A long system-exclusive message shows only its head.
    std::vector<std::uint8_t> dump(MonitorEvent::kRawHexBytes, 0x11);
    EXPECT_EQ(MonitorEvent::make(Dir::input, "Keys", MIDIMessage(dump)).rawHex.size(), dump.size() * 3 - 1);
    dump.push_back(0xF7);
    const std::string hex = MonitorEvent::make(Dir::input, "Keys", MIDIMessage(dump)).rawHex;
    EXPECT_EQ(hex,
              MonitorEvent::make(Dir::input, "Keys", MIDIMessage({dump.begin(), dump.end() - 1})).rawHex +
                  " …");
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
    EXPECT_EQ(monitor.events().back().direction, Dir::output);
    monitor.flush(); // nothing pending: no change published
    EXPECT_EQ(changed.count(), 2);

    for (int i = 0; i < 10; ++i)
        monitor.record(Dir::input, std::to_string(i), note(60));
    EXPECT_EQ(monitor.pendingCount(), 3u);
    monitor.setCapacity(2); // applies at the next flush that has something to add
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"8", "9"}));

    monitor.setCapacity(0);
    monitor.record(Dir::input, "x", note(60));
    EXPECT_EQ(monitor.pendingCount(), 0u);
}

TEST(MIDIMonitorTest, PauseLosesEventsButPublishesThoseAlreadyPending)
{
    MIDIMonitor monitor;
    QSignalSpy pausedSpy(&monitor, &MIDIMonitor::pausedChanged);
    monitor.record(Dir::input, "before", note(60));
    monitor.setPaused(true);
    monitor.setPaused(true);
    monitor.record(Dir::input, "during", note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"before"}));
    monitor.setPaused(false);
    monitor.record(Dir::input, "after", note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"before", "after"}));
    EXPECT_EQ(pausedSpy.count(), 2);
}

TEST(MIDIMonitorTest, ClearDiscardsPendingAndPublished)
{
    MIDIMonitor monitor;
    monitor.record(Dir::input, "A", note(60));
    monitor.flush();
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

} // namespace
} // namespace korvane
