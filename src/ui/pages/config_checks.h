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

} // namespace korvane
