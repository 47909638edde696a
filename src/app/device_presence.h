#pragma once

// Device presence, as pure functions of the project and the endpoint lists
// the MIDI engine publishes. An endpoint counts as present when an online
// endpoint that is not one of the program's own has its unique id or, failing
// that, its name (a device plugged into another port gets a new id).

#include "midi/midi_engine.h"
#include "model/project.h"

#include <vector>

namespace korvane {

// The physical endpoints the project needs (its enabled routes' sources and
// destinations, its named devices) that are not present, each once, in the
// order the project names them.
std::vector<EndpointKey> missingDevices(const TOVProject &project,
                                        const std::vector<MIDIEndpointInfo> &sources,
                                        const std::vector<MIDIEndpointInfo> &destinations);
// Those of `keys` that are present.
std::vector<EndpointKey> presentDevices(const std::vector<EndpointKey> &keys,
                                        const std::vector<MIDIEndpointInfo> &sources,
                                        const std::vector<MIDIEndpointInfo> &destinations);

} // namespace korvane
