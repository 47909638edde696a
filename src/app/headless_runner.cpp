#include "app/headless_runner.h"

#include "app/app_state.h"
#include "midi/midi_engine.h"
#include "midi/service/jack/jack_midi_service.h"
#include "net/rtp_manager.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane {

namespace {

int g_signalPipe[2] = {-1, -1};

constexpr std::chrono::milliseconds kEngineRetryInterval{2000};

void onSignal(int)
{
    const char byte = 1;
    // Async-signal-safe: the event loop reads the pipe and does the work.
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &byte, 1);
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

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

int runHeadless(const std::optional<std::filesystem::path> &package)
{
    if (!installSignalHandlers()) {
        std::fprintf(stderr, "korvane: impossible d'installer les gestionnaires de signaux\n");
        return 1;
    }

    AppState state(makeJackMidiService(), std::make_shared<HeadlessPrompts>());
    QObject::connect(&state, &AppState::statusMessageChanged, &state, printLine);
    QObject::connect(&state.rtp(), &RTPManager::logLineAdded, &state, printLine);
    // Lines logged while the controller was being built.
    for (const auto &line : state.rtp().logLines())
        printLine(QString::fromStdString(line));
    printLine(QString::fromStdString(state.statusMessage()));

    if (package && !state.openProjectAt(*package))
        return 1;

    // Nobody can press Start here: when the MIDI server is missing or goes
    // away (a JACK or PipeWire restart mid-show), keep trying to get the
    // engine and the show's virtual ports back.
    bool stopping = false;
    QTimer retry;
    retry.setInterval(kEngineRetryInterval);
    const auto engineWanted = [&] { return !stopping && state.project().settings.startEngineOnOpen; };
    QObject::connect(&retry, &QTimer::timeout, &state, [&] {
        if (!engineWanted() || state.engine().running()) {
            retry.stop();
            return;
        }
        state.engine().start();
        if (state.engine().running()) {
            retry.stop();
            state.engine().applyVirtualPorts(state.project().virtualPorts);
            printLine(QStringLiteral("Moteur redémarré"));
        }
    });
    const auto watch = [&] {
        if (engineWanted() && !state.engine().running() && !retry.isActive()) {
            printLine(QStringLiteral("Moteur arrêté : serveur MIDI injoignable, nouvel essai toutes les %1 s")
                          .arg(kEngineRetryInterval.count() / 1000));
            retry.start();
        }
    };
    QObject::connect(&state.engine(), &MIDIEngine::runningChanged, &state, watch, Qt::QueuedConnection);
    watch();

    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &state, [&] {
        char byte;
        [[maybe_unused]] auto n = ::read(g_signalPipe[0], &byte, 1);
        notifier.setEnabled(false);
        stopping = true;
        retry.stop();
        state.stopEngine();
        QCoreApplication::exit(0);
    });

    return QCoreApplication::exec();
}

int listEndpoints()
{
    MIDIEngine engine(makeJackMidiService());
    engine.start();
    if (!engine.running()) {
        std::fprintf(stderr, "korvane: aucun serveur MIDI (JACK) n'est joignable\n");
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
