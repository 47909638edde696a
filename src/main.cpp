#include "app/headless_runner.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

void printHelp()
{
    std::puts("Usage: korvane [OPTION]\n"
              "\n"
              "TOV RORA Varidiv: MIDI router for live events.\n"
              "\n"
              "  --headless [PACKAGE.tovprjct]\n"
              "                    run the router without a window: open the package if one\n"
              "                    is given (an error prints \"Erreur : ...\" and exits 1), apply\n"
              "                    it, and print every status change and network log line on\n"
              "                    standard output. SIGINT or SIGTERM stops it cleanly (network\n"
              "                    sessions say goodbye, the engine stops, panic first when the\n"
              "                    project asks for it) and exits 0.\n"
              "  --list-endpoints  print the MIDI sources and destinations the engine sees,\n"
              "                    one per line: role, key, name (tab-separated)\n"
              "  --help            show this text\n"
              "  --version         show the version\n"
              "\n"
              "The MIDI service is JACK. In headless mode, when no JACK server answers\n"
              "(or it restarts), the router retries every 2 s and then restores the\n"
              "engine and the show's virtual ports.");
}

} // namespace

int main(int argc, char **argv)
{
    bool headless = false;
    bool list = false;
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
        } else if (headless && !package && argv[i][0] != '-') {
            package = argv[i];
        } else {
            std::fprintf(stderr, "korvane: option inconnue %s (voir --help)\n", argv[i]);
            return 2;
        }
    }
    if (!headless && !list) {
        printHelp();
        return 0;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("KORVANE");
    if (list)
        return korvane::listEndpoints();
    std::optional<std::filesystem::path> path;
    if (package)
        path = *package;
    return korvane::runHeadless(path);
}
