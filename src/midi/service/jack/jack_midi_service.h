#pragma once

// The program's MIDI service: one JACK client. Own virtual ports are JACK MIDI
// ports of that client ("KORVANE:<name> Out", "KORVANE:<name> In"). Each
// external source is connected to an input port of ours of its own, so its
// events stay attributable; each external destination is fed by an output
// port of ours of its own. Unique ids are a stable non-zero hash of the full
// port name (see jackPortUniqueID); display names are the port's pretty name, else its full name.
// JACK has no offline flag: every endpoint is online.
//
// Port registrations, connections, renames and property changes are reported
// as setupChanged from JACK's notification thread; the server going away as
// shutdown. Input handlers run on the backend's MIDI input thread.

#include "midi/service/midi_backends.h"
#include "midi/service/midi_service.h"

#include <memory>
#include <string>
#include <vector>

namespace korvane {

// `serverName` empty means the default JACK server. Never starts a server.
std::shared_ptr<MidiService> makeJackMidiService(std::string serverName = {});

// The registry entry "jack": available while the default server answers.
MidiBackend jackMidiBackend();

// Stable non-zero 32-bit id derived from a full JACK port name; for a port
// of the ALSA bridge, from the name without the ALSA client number, so the
// device keeps its id across replugs.
std::int32_t jackPortUniqueID(std::string_view fullName);

// The ids of ports listed together: jackPortUniqueID of each, except where
// two bridge ports would share one (identical devices plugged at once): the
// lowest ALSA client number keeps it, the others take the id of their whole
// name, so every port stays addressable on its own.
std::vector<std::int32_t> jackPortUniqueIDs(const std::vector<std::string> &fullNames);

} // namespace korvane
