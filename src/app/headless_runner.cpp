#include "app/headless_runner.h"

#include "app/app_state.h"
#include "app/quit_signals.h"
#include "midi/midi_engine.h"
#include "model/text.h"
#include "net/rtp_manager.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <cstdio>

namespace korvane {

namespace {

// No window: nothing to choose, alerts go to stderr.
class HeadlessPrompts : public UserPrompts {
public:
    std::optional<std::filesystem::path> chooseProjectToOpen() override { return std::nullopt; }
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string &) override
    {
        return std::nullopt;
    }
    void showAlert(const std::string &title, const std::string &text) override
    {
        std::fprintf(stderr, "%s : %s\n", title.c_str(), text.c_str());
    }
};

void printLine(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int runHeadless(const MidiBackend &backend, const std::optional<std::filesystem::path> &package)
{
    AppState state(backend.create(), std::make_shared<HeadlessPrompts>());
    const bool watching = watchQuitSignals(&state, [&state] {
        // Panic and goodbyes first. The sessions' last log lines are already
        // queued for this thread; quitting through the queue prints them.
        state.stopEngine();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    if (!watching) {
        std::fprintf(stderr, "korvane: impossible d'installer les gestionnaires de signaux\n");
        return 1;
    }

    // Status changes include the engine supervision's ("Moteur redémarré").
    QObject::connect(&state, &AppState::statusMessageChanged, &state, printLine);
    QObject::connect(&state, &AppState::logLineAdded, &state, printLine);
    // Losses: one line at most every ten seconds, the latest count.
    QTimer lossesLine;
    lossesLine.setSingleShot(true);
    lossesLine.setInterval(std::chrono::seconds(10));
    std::uint64_t printedLosses = 0;
    const auto printLosses = [&] {
        if (state.losses().total() == printedLosses)
            return;
        printedLosses = state.losses().total();
        printLine(toQString(lossesText(state.losses())));
        lossesLine.start();
    };
    QObject::connect(&lossesLine, &QTimer::timeout, &state, printLosses);
    QObject::connect(&state, &AppState::lossesChanged, &state, [&] {
        if (!lossesLine.isActive())
            printLosses();
    });
    QObject::connect(&state.rtp(), &RTPManager::logLineAdded, &state, printLine);
    // Lines logged while the controller was being built.
    for (const auto &line : state.rtp().logLines())
        printLine(toQString(line));
    printLine(toQString(state.statusMessage()));

    if (package && !state.openProjectAt(*package))
        return 1;
    return QCoreApplication::exec();
}

int listEndpoints(const MidiBackend &backend)
{
    MIDIEngine engine(backend.create());
    engine.start();
    if (!engine.running()) {
        std::fprintf(stderr, "korvane: aucun serveur MIDI (%s) n'est joignable\n",
                     engine.serviceName().c_str());
        return 1;
    }
    // The lists are published through the event loop.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    const auto print = [](const char *role, const std::vector<MIDIEndpointInfo> &list) {
        for (const auto &info : list)
            std::printf("%s\t%s\t%s\n", role, info.key().id().c_str(), info.name.c_str());
    };
    print("source", engine.sources());
    print("destination", engine.destinations());
    engine.stop();
    return 0;
}

} // namespace korvane
