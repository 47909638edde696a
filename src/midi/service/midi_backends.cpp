#include "midi/service/midi_backends.h"

#if KORVANE_BACKEND_JACK
#include "midi/service/jack/jack_midi_service.h"
#endif
#if KORVANE_BACKEND_LOOPBACK
#include "midi/service/loopback/loopback_midi_service.h"
#endif

#if !KORVANE_BACKEND_JACK && !KORVANE_BACKEND_LOOPBACK
#error "no MIDI service backend is compiled in"
#endif

#include <algorithm>
#include <vector>

namespace korvane {

namespace {

const std::vector<MidiBackend> &registry()
{
    static const std::vector<MidiBackend> backends
    {
#if KORVANE_BACKEND_JACK
        jackMidiBackend(),
#endif
#if KORVANE_BACKEND_LOOPBACK
            loopbackMidiBackend(),
#endif
    };
    return backends;
}

} // namespace

std::span<const MidiBackend> midiBackends()
{
    return registry();
}

const MidiBackend *findMidiBackend(std::string_view name)
{
    const auto &backends = registry();
    auto it =
        std::find_if(backends.begin(), backends.end(), [&](const MidiBackend &b) { return b.name == name; });
    return it == backends.end() ? nullptr : &*it;
}

const MidiBackend &defaultMidiBackend()
{
    const auto &backends = registry();
    std::vector<const MidiBackend *> system;
    for (const MidiBackend &b : backends)
        if (!b.inProcess)
            system.push_back(&b);
    if (system.empty())
        return backends.front();
    if (system.size() > 1)
        for (const MidiBackend *b : system)
            if (b->available())
                return *b;
    return *system.front();
}

} // namespace korvane
