#pragma once

#include <functional>

class QObject;

namespace korvane {

// Runs `onQuit` on the main thread, once, when SIGINT or SIGTERM arrives.
// The handler only writes a byte to a socket pair that the event loop
// watches, so nothing unsafe runs inside the signal. The watcher lives as a
// child of `context`. False when the handlers could not be installed.
bool watchQuitSignals(QObject *context, std::function<void()> onQuit);

} // namespace korvane
