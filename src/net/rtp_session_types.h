#pragma once

// The callbacks a session hands to its owner, shared by the session and the
// worker that runs it.

#include "midi/midi_message.h"
#include "net/rtp_session_core.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

// origin: non-zero and unique in the process for one established period of
// one peer (a peer that joins again gets a new one); messages the recovery
// journal repairs carry it too.
using RTPReceiveCallback = std::function<void(const MIDIMessage &, std::uint64_t origin)>;
using RTPOriginGoneCallback = std::function<void(std::uint64_t origin)>;
using RTPLogCallback = std::function<void(const std::string &)>;
using RTPPeersCallback = std::function<void(const std::vector<std::string> &)>;
using RTPStatusCallback = std::function<void(const RTPSessionStatus &)>;
// Blocking host lookup (IPv4, host order); runs on a thread of its own that a
// stopping session abandons, so it may take as long as it likes.
using RTPResolver = std::function<std::optional<std::uint32_t>(const std::string &host)>;

} // namespace korvane
