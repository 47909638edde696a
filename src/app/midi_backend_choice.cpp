#include "app/midi_backend_choice.h"

#include <cstdlib>

namespace korvane {

MidiBackendChoice chooseMidiBackend(const std::string &requested)
{
    if (requested.empty())
        return {&defaultMidiBackend(), {}};
    if (const MidiBackend *backend = findMidiBackend(requested))
        return {backend, {}};
    std::string known;
    for (const MidiBackend &backend : midiBackends())
        known += (known.empty() ? "" : ", ") + std::string(backend.name);
    return {nullptr, "service MIDI inconnu « " + requested +
                         " » (KORVANE_MIDI_BACKEND ; disponibles : " + known + ")"};
}

MidiBackendChoice chooseMidiBackendFromEnvironment()
{
    const char *value = std::getenv("KORVANE_MIDI_BACKEND");
    return chooseMidiBackend(value ? value : "");
}

} // namespace korvane
