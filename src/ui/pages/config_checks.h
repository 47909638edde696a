#pragma once

// Checks of the project's virtual-port and network-session entries that the
// pages mark on the rows and cards concerned. Pure functions over the records.

#include "model/project.h"

#include <string>
#include <vector>

namespace korvane {

enum class PortNameProblem { none, empty, duplicate };

// Empty: nothing but white space. Duplicate: another entry has the same name
// and publishes at least one of the same directions (both would make one
// platform port of the same full name).
PortNameProblem portNameProblem(const std::vector<VirtualPortConfig> &ports, std::size_t index);

// The names of the other enabled sessions whose ports collide with this
// enabled one's: their control/data pairs overlap and they listen on the same
// address, or one of them on all addresses. Empty for a disabled session.
std::vector<std::string> localPortClashes(const std::vector<RTPSessionConfig> &sessions, std::size_t index);

// Whether another session of either kind (RTP-MIDI or Network MIDI 2.0) bears
// this name: routes name a session by it, so both would get the same MIDI.
bool sessionNameTaken(const TOVProject &project, const Uuid &id, const std::string &name);

// A Network MIDI 2.0 session holds its one port on every address: the other
// enabled sessions of either kind it cannot run beside, empty when disabled.
std::vector<std::string> midi2PortClashes(const TOVProject &project, std::size_t index);
// The enabled Network MIDI 2.0 sessions whose port falls on this enabled RTP
// session's pair.
std::vector<std::string> rtpClashesWithMidi2(const TOVProject &project, std::size_t rtpIndex);

} // namespace korvane
