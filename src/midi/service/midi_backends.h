#pragma once

// The MIDI service backends of the program, one per folder under
// midi/service/, each switched on by its CMake option (KORVANE_BACKEND_<NAME>).
// A new system backend adds its folder, its option and one line in
// midi_backends.cpp.

#include "midi/service/midi_service.h"

#include <memory>
#include <span>
#include <string_view>

namespace korvane {

struct MidiBackend {
    // Lower case, as KORVANE_MIDI_BACKEND names it ("jack").
    std::string_view name;
    // An in-process stand-in with no other programs behind it (tests): never
    // chosen unless named.
    bool inProcess = false;
    // Whether it can serve now (for JACK: a server answers). May open and
    // close a client of the service; main thread.
    bool (*available)() = nullptr;
    std::shared_ptr<MidiService> (*create)() = nullptr;
};

// In order of preference: the system backends compiled into this library,
// then those added.
std::span<const MidiBackend> midiBackends();
// Adds a backend built outside this library (the loopback, in a trial build
// of the program). Main thread, before the first lookup.
void addMidiBackend(const MidiBackend &backend);
const MidiBackend *findMidiBackend(std::string_view name);
// The backend the program uses when none is named: the first system backend
// that is available now, else the first system backend (the program retries
// its server), else the first backend at all. Probes only when it has more
// than one system backend to choose from.
const MidiBackend &defaultMidiBackend();

} // namespace korvane
