#pragma once

// Names and ids of JACK ports as the program sees them: stable ids for
// endpoints, and the names of the ports it opens to reach them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Stable non-zero 32-bit id derived from a full JACK port name; for a port
// of the ALSA bridge, from the name without the ALSA client number, so the
// device keeps its id across replugs.
std::int32_t jackPortUniqueID(std::string_view fullName);

// The ids of ports listed together: jackPortUniqueID of each, except where
// two bridge ports would share one (identical devices plugged at once): the
// lowest ALSA client number keeps it, the others take the id of their whole
// name, so every port stays addressable on its own.
std::vector<std::int32_t> jackPortUniqueIDs(const std::vector<std::string> &fullNames);

// The short name of our port that listens to (input) or feeds an endpoint:
// "from <label> #<id>" or "to <label> #<id>", the label cleaned of control
// characters and cut at 64 bytes, the id in 8 upper-case hex digits. A user's
// virtual port always ends in " In" or " Out", so the two never meet.
std::string jackPlumbingPortName(bool input, std::string_view label, std::int32_t uniqueID);
// Whether a short name is one jackPlumbingPortName makes (or an earlier
// version's "in_<n>"/"out_<n>"), also with PipeWire's "-<n>" suffix.
bool isJackPlumbingPortName(std::string_view shortName);

} // namespace korvane
