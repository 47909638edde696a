#pragma once

#include "midi/service/midi_backends.h"

#include <filesystem>
#include <optional>

namespace korvane {

// `korvane --headless [PACKAGE]`: the whole router without a window. Prints
// every status change and network log line on stdout, one per line; SIGINT
// and SIGTERM stop it cleanly (sessions say goodbye, engine stops) with 0.
// Needs a QCoreApplication.
int runHeadless(const MidiBackend &backend, const std::optional<std::filesystem::path> &package);

// `korvane --list-endpoints`: the MIDI sources and destinations the engine sees.
int listEndpoints(const MidiBackend &backend);

} // namespace korvane
