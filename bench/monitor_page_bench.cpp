// The monitor page under sustained traffic: a thread records `rate` events a
// second into a monitor of capacity 5,000 while the page is shown, and a
// 50 ms timer on the main thread measures how late it fires (flushes, row
// updates and painting all run there). Reported: the largest and mean
// lateness in ms, and the rows shown at the end.

#include "midi/midi_monitor.h"
#include "ui/pages/monitor_page.h"
#include "ui/shell/gui_main.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTableView>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

using namespace korvane;

namespace {

constexpr int kCapacity = 5000;
constexpr int kTimerMs = 50;

void BM_MonitorPageUnderLoad(benchmark::State &state)
{
    const int rate = static_cast<int>(state.range(0));
    const int seconds = static_cast<int>(state.range(1));
    for (auto _ : state) {
        auto monitor = MIDIMonitor::create();
        monitor->setCapacity(kCapacity);
        MonitorPage page(*monitor);
        page.resize(1180, 760);
        page.show();
        QApplication::processEvents();

        std::atomic<bool> done{false};
        std::thread feeder([&] {
            using namespace std::chrono;
            const auto start = steady_clock::now();
            const auto step = nanoseconds(1'000'000'000 / rate);
            const int total = rate * seconds;
            for (int i = 0; i < total; ++i) {
                std::this_thread::sleep_until(start + i * step);
                const auto note = static_cast<std::uint8_t>(i % 128);
                const auto channel = static_cast<std::uint8_t>(i % 16);
                monitor->record(i % 2 ? MonitorEvent::Direction::output : MonitorEvent::Direction::input,
                                i % 2 ? "Synth" : "Keys",
                                MIDIMessage({static_cast<std::uint8_t>(0x90 | channel), note, 100}));
            }
            done = true;
        });

        qint64 maxLate = 0, sumLate = 0, ticks = 0;
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(kTimerMs);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            const qint64 late = std::max<qint64>(0, now - last - kTimerMs);
            last = now;
            maxLate = std::max(maxLate, late);
            sumLate += late;
            ++ticks;
        });
        probe.start();
        // Ends a few flushes after the last record.
        QEventLoop loop;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (done) {
                watch.stop();
                QTimer::singleShot(300, &loop, &QEventLoop::quit);
            }
        });
        watch.start(10);
        loop.exec();
        feeder.join();
        probe.stop();

        state.counters["max_late_ms"] = static_cast<double>(maxLate);
        state.counters["mean_late_ms"] =
            ticks ? static_cast<double>(sumLate) / static_cast<double>(ticks) : 0;
        state.counters["rows"] = page.table()->model()->rowCount();
        state.counters["held"] = static_cast<double>(monitor->events().size());
    }
}
// 2,000 events a second for 2 s; then long enough to run at capacity.
BENCHMARK(BM_MonitorPageUnderLoad)->Args({2000, 2})->Args({2000, 5})->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    prepareApplication(app);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
