#pragma once

// Answers the UMP stream messages (message type F) a host sends to learn what
// it is talking to: endpoint discovery (endpoint info, name, product
// instance id, stream configuration), stream configuration requests (always
// answered with the MIDI 1.0 protocol, no jitter-reduction time stamps) and
// function block discovery (one bidirectional block on the session's group,
// MIDI 1.0, named after the session). Pure: no framework, no I/O.

#include "net/ump_translator.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class UMPStreamResponder {
public:
    UMPStreamResponder(std::string endpointName, std::string productInstanceId, std::string blockName,
                       std::uint8_t group);

    // The UMPs that answer `request`, in order; none for anything else.
    std::vector<UMP> respond(std::span<const std::uint32_t> request) const;

    // The text notifications, split 14 (13 for a block name) bytes a UMP.
    std::vector<UMP> endpointName() const;
    std::vector<UMP> productInstanceId() const;
    std::vector<UMP> blockName() const;
    UMP endpointInfo() const;
    UMP blockInfo() const;
    static UMP streamConfiguration();

private:
    const std::string m_endpointName;
    const std::string m_productInstanceId;
    const std::string m_blockName;
    const std::uint8_t m_group;
};

} // namespace korvane
