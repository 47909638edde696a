#include "midi/service/midi_backends.h"

#if KORVANE_BACKEND_JACK
#include "midi/service/jack/jack_backend.h"
#endif

#include <algorithm>
#include <vector>

namespace korvane {

namespace {

std::vector<MidiBackend> &registry()
{
    static std::vector<MidiBackend> backends
    {
#if KORVANE_BACKEND_JACK
        jackMidiBackend(),
#endif
    };
    return backends;
}

} // namespace

void addMidiBackend(const MidiBackend &backend)
{
    registry().push_back(backend);
}

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
