#pragma once

#include "midi/service/midi_backends.h"

#include <filesystem>
#include <optional>

class QApplication;

namespace korvane {

// Prepares the application (style, French Qt texts, icon) once a
// QApplication exists; shared by the program and the window tests.
void prepareApplication(QApplication &app);

// `korvane [PACKAGE]`: the window on the backend's MIDI service, opening the
// package when one is given. Needs a prepared QApplication. Returns the exit code.
int runWindow(const MidiBackend &backend, const std::optional<std::filesystem::path> &package);

// "KORVANE est déjà lancé" in a message box.
void tellAlreadyRunning();

// True when Qt can reach a display (or a platform was asked for).
bool displayAvailable();

} // namespace korvane
