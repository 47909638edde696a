#pragma once

// The program's MIDI service: one JACK client, on JACK or on PipeWire's JACK
// library. Own virtual ports are JACK MIDI ports of that client ("KORVANE:<name>
// Out", "KORVANE:<name> In"). Each external source is connected to an input
// port of ours of its own ("from <label> #<id>"), so its events stay
// attributable; each external destination is fed by an output port of ours of
// its own ("to <label> #<id>"). Unique ids are a stable non-zero hash of the
// full port name (see jackPortUniqueID); display names are the port's pretty
// name, else its full name. JACK has no offline flag: every endpoint is online.
//
// Port registrations, connections, renames and property changes are reported
// as setupChanged from JACK's notification thread; the server going away as
// shutdown. Input handlers run on the backend's MIDI input thread.

#include "midi/service/jack/jack_port_names.h"
#include "midi/service/midi_backends.h"
#include "midi/service/midi_service.h"

#include <memory>
#include <string>
#include <string_view>

namespace korvane {

// `serverName` empty means the default JACK server. Never starts a server.
// On PipeWire's JACK library the client is opened with
// withPipeWireClientProps merged into PIPEWIRE_PROPS (once per process).
std::shared_ptr<MidiService> makeJackMidiService(std::string serverName = {});

// The registry entry "jack": available while the default server answers.
MidiBackend jackMidiBackend();

// Whether the JACK library in use is PipeWire's.
bool jackLibraryIsPipeWire();
// The cycle KORVANE asks PipeWire for unless PIPEWIRE_LATENCY or a
// node.latency in PIPEWIRE_PROPS says otherwise. It is a wish for the whole
// graph's cycle: PipeWire picks the smallest its clients ask for, within its
// limits, when the graph starts, and keeps it while JACK programs run.
inline constexpr std::string_view kPipeWireDefaultLatency = "128/48000";
// `props` (PIPEWIRE_PROPS, with or without braces) with KORVANE's client
// properties added: jack.fix-midi-events = false (else PipeWire turns a
// note-on of velocity 0 into a note-off), and, when `requestLatency` and
// `props` names none, node.latency.
std::string withPipeWireClientProps(std::string_view props, bool requestLatency);

} // namespace korvane
