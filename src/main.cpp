#include "app/headless_runner.h"
#include "app/instance_lock.h"
#include "app/midi_backend_choice.h"
#include "korvane/version.h"
#include "ui/shell/gui_main.h"
#if KORVANE_BACKEND_LOOPBACK
#include "midi/service/loopback/loopback_midi_service.h"
#endif

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

void printHelp()
{
    std::puts("Usage: korvane [OPTION] [PACKAGE.tovprjct]\n"
              "\n"
              "TOV RORA Varidiv: MIDI router for live events.\n"
              "\n"
              "  (no option) [PACKAGE.tovprjct]\n"
              "                    open the window, on a new project or on the package given\n"
              "                    (an unreadable package is reported and a new project shown)\n"
              "  --headless [PACKAGE.tovprjct]\n"
              "                    run the router without a window: open the package if one\n"
              "                    is given (an error prints \"Erreur : ...\" and exits 1), apply\n"
              "                    it, and print every status change and network log line on\n"
              "                    standard output. SIGINT or SIGTERM stops it cleanly (network\n"
              "                    sessions say goodbye, the engine stops, panic first when the\n"
              "                    project asks for it) and exits 0.\n"
              "  --list-endpoints  print the MIDI sources and destinations the engine sees,\n"
              "                    one per line: role, key, name (tab-separated)\n"
              "  --another-instance\n"
              "                    run even though KORVANE already runs for this user and\n"
              "                    JACK server (both would route every note)\n"
              "  --help            show this text\n"
              "  --version         show the version\n"
              "\n"
              "The MIDI service is JACK, or PipeWire through its JACK library (pw-jack);\n"
              "KORVANE_MIDI_BACKEND=NAME picks another one built in. On PipeWire KORVANE asks\n"
              "for a cycle of 128/48000 (128 frames at 48 kHz, the whole graph's cycle);\n"
              "PIPEWIRE_LATENCY=FRAMES/RATE asks for another.\n"
              "When no JACK server answers (or it restarts) while the engine should run,\n"
              "KORVANE retries every 2 s and then restores the engine and the show's virtual\n"
              "ports. One KORVANE runs per user and JACK server; a second one says\n"
              "\"KORVANE est déjà lancé\" and exits 3. The window needs a display (X11 or\n"
              "Wayland); without one, use --headless.");
}

} // namespace

int main(int argc, char **argv)
{
    bool headless = false;
    bool list = false;
    bool anotherInstance = false;
    std::optional<std::string> package;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvane %s\n", KORVANE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--list-endpoints") == 0) {
            list = true;
        } else if (std::strcmp(argv[i], "--another-instance") == 0) {
            anotherInstance = true;
        } else if (!package && argv[i][0] != '-') {
            package = argv[i];
        } else {
            std::fprintf(stderr, "korvane: option inconnue %s (voir --help)\n", argv[i]);
            return 2;
        }
    }
    if (list && package) {
        std::fprintf(stderr, "korvane: --list-endpoints ne prend pas de projet (voir --help)\n");
        return 2;
    }
    std::optional<std::filesystem::path> path;
    if (package)
        path = *package;
#if KORVANE_BACKEND_LOOPBACK
    korvane::addMidiBackend(korvane::loopbackMidiBackend());
#endif
    const korvane::MidiBackendChoice choice = korvane::chooseMidiBackendFromEnvironment();
    if (!choice.backend) {
        std::fprintf(stderr, "korvane: %s\n", choice.error.c_str());
        return 2;
    }

    if (list) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName("KORVANE");
        return korvane::listEndpoints(*choice.backend);
    }
    if (!headless && !korvane::displayAvailable()) {
        std::fprintf(stderr, "korvane: aucun affichage (DISPLAY ou WAYLAND_DISPLAY) : utilisez --headless\n");
        return 2;
    }

    std::unique_ptr<QCoreApplication> app;
    if (headless) {
        app = std::make_unique<QCoreApplication>(argc, argv);
        QCoreApplication::setApplicationName("KORVANE");
    } else {
        app = std::make_unique<QApplication>(argc, argv);
        korvane::prepareApplication(static_cast<QApplication &>(*app));
    }

    std::optional<korvane::InstanceLock> lock;
    if (!anotherInstance) {
        lock.emplace();
        if (lock->result() == korvane::InstanceLock::Result::heldByAnother) {
            std::fprintf(stderr, "KORVANE est déjà lancé\n");
            // Started from the desktop, nobody reads standard error.
            if (!headless)
                korvane::tellAlreadyRunning();
            return korvane::InstanceLock::exitAlreadyRunning;
        }
    }
    if (headless)
        return korvane::runHeadless(*choice.backend, path);
    return korvane::runWindow(*choice.backend, path);
}
