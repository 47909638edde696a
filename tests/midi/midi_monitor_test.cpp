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
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char *typeLabel;
        std::optional<int> channel;
        const char *rawHex;
    };
    const Case cases[] = {
        {{0x93, 0x3C, 0x64}, "Note On", 4, "93 3C 64"},
        {{0xF0, 0x7E, 0xF7}, "SysEx", std::nullopt, "F0 7E F7"},
        {{0xEF, 0x00, 0x7F}, "Pitch Bend", 16, "EF 00 7F"},
        {{}, "System Common", std::nullopt, ""},
    };
    std::set<Uuid> ids;
    for (const Case &c : cases) {
        const MIDIMessage m(c.bytes);
        const MonitorEvent e = MonitorEvent::make(Dir::output, "Synth", m);
        EXPECT_EQ(e.summary, m.humanReadable());
        EXPECT_EQ(e.typeLabel, c.typeLabel);
        EXPECT_EQ(e.channel, c.channel);
        EXPECT_EQ(e.rawHex, c.rawHex);
        EXPECT_TRUE(ids.insert(e.id).second);
    }

    // A large system-exclusive message shows only its head.
    std::vector<std::uint8_t> dump(1 << 20, 0x11);
    dump.front() = 0xF0;
    const std::string hex = MonitorEvent::make(Dir::input, "Keys", MIDIMessage(dump)).rawHex;
    EXPECT_EQ(hex.size(), MonitorEvent::kRawHexBytes * 3 - 1 + std::string(" …").size());
    EXPECT_TRUE(hex.starts_with("F0 11 11 ")) << hex.substr(0, 20);
    EXPECT_TRUE(hex.ends_with("11 11 …"));
}

TEST(MIDIMonitorTest, FlushAppendsAndTrimsOldest)
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
    EXPECT_EQ(changed.count(), 2);

    monitor.flush(); // nothing pending: no change published
    EXPECT_EQ(changed.count(), 2);
}

TEST(MIDIMonitorTest, LoweredCapacityAppliesAtNextNonEmptyFlush)
{
    MIDIMonitor monitor;
    for (const char *name : {"A", "B", "C", "D", "E"})
        monitor.record(Dir::input, name, note(60));
    monitor.flush();
    monitor.setCapacity(2);
    monitor.flush();
    EXPECT_EQ(monitor.events().size(), 5u);
    monitor.record(Dir::input, "F", note(60));
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"E", "F"}));
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

TEST(MIDIMonitorTest, PendingNeverExceedsCapacity)
{
    MIDIMonitor monitor;
    monitor.setCapacity(3);
    for (int i = 0; i < 10; ++i)
        monitor.record(Dir::input, std::to_string(i), note(60));
    EXPECT_EQ(monitor.pendingCount(), 3u);
    monitor.flush();
    EXPECT_EQ(endpoints(monitor), (Names{"7", "8", "9"}));

    monitor.setCapacity(0);
    monitor.record(Dir::input, "x", note(60));
    EXPECT_EQ(monitor.pendingCount(), 0u);
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
