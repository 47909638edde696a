#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

void printHelp()
{
    std::puts("Usage: korvane [--help] [--version]\n"
              "\n"
              "TOV RORA Varidiv: MIDI router for live events.\n"
              "\n"
              "  --help       show this text\n"
              "  --version    show the version");
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvane %s\n", KORVANE_VERSION);
            return 0;
        }
        std::fprintf(stderr, "korvane: unknown option %s (try --help)\n", argv[i]);
        return 2;
    }
    printHelp();
    return 0;
}
