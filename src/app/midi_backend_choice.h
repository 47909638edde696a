#pragma once

// Which MIDI service backend the program runs on: the one named by the
// environment variable KORVANE_MIDI_BACKEND, else the registry's default.

#include "midi/service/midi_backends.h"

#include <string>

namespace korvane {

struct MidiBackendChoice {
    const MidiBackend *backend = nullptr; // null: `error` says why
    std::string error;                    // French, for standard error
};

// `requested` empty: the default. Main thread (the default may probe).
MidiBackendChoice chooseMidiBackend(const std::string &requested);
MidiBackendChoice chooseMidiBackendFromEnvironment();

} // namespace korvane
