#include "net/ump_stream_responder.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr std::uint32_t kEndpointDiscovery = 0x000;
constexpr std::uint32_t kEndpointInfo = 0x001;
constexpr std::uint32_t kEndpointName = 0x003;
constexpr std::uint32_t kProductInstanceId = 0x004;
constexpr std::uint32_t kStreamConfigurationRequest = 0x005;
constexpr std::uint32_t kStreamConfigurationNotification = 0x006;
constexpr std::uint32_t kBlockDiscovery = 0x010;
constexpr std::uint32_t kBlockInfo = 0x011;
constexpr std::uint32_t kBlockName = 0x012;

constexpr std::size_t kEndpointNameLimit = 98;
constexpr std::size_t kProductInstanceIdLimit = 42;
constexpr std::size_t kBlockNameLimit = 91;

std::uint32_t streamHead(std::uint32_t format, std::uint32_t status)
{
    return (0xFu << 28) | (format << 26) | (status << 16);
}

// A text in as many UMPs as it takes: `prefix` bytes of the first word are
// taken (status and, for a block, its number), the rest of the 16 bytes carry
// text. Format: complete, or start, continue..., end.
std::vector<UMP> textUMPs(std::string_view text, std::size_t limit, std::uint32_t status, std::size_t prefix,
                          std::uint8_t block = 0)
{
    if (text.size() > limit) {
        std::size_t end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text = text.substr(0, end);
    }
    const std::size_t perUMP = 16 - prefix;
    const std::size_t count = std::max<std::size_t>(1, (text.size() + perUMP - 1) / perUMP);
    std::vector<UMP> out;
    for (std::size_t u = 0; u < count; ++u) {
        const std::uint32_t format = count == 1 ? 0 : u == 0 ? 1 : u + 1 == count ? 3 : 2;
        UMP ump{streamHead(format, status) | (prefix == 3 ? std::uint32_t{block} << 8 : 0), 0, 0, 0};
        const auto piece = text.substr(std::min(text.size(), u * perUMP), perUMP);
        for (std::size_t i = 0; i < piece.size(); ++i) {
            const std::size_t at = prefix + i;
            ump.words[at / 4] |= std::uint32_t{static_cast<unsigned char>(piece[i])} << (24 - 8 * (at % 4));
        }
        out.push_back(ump);
    }
    return out;
}

} // namespace

UMPStreamResponder::UMPStreamResponder(std::string endpointName, std::string productInstanceId,
                                       std::string blockName, std::uint8_t group)
    : m_endpointName(std::move(endpointName)), m_productInstanceId(std::move(productInstanceId)),
      m_blockName(std::move(blockName)), m_group(group & 0x0F)
{
}

std::vector<UMP> UMPStreamResponder::endpointName() const
{
    return textUMPs(m_endpointName, kEndpointNameLimit, kEndpointName, 2);
}

std::vector<UMP> UMPStreamResponder::productInstanceId() const
{
    return textUMPs(m_productInstanceId, kProductInstanceIdLimit, kProductInstanceId, 2);
}

std::vector<UMP> UMPStreamResponder::blockName() const
{
    return textUMPs(m_blockName, kBlockNameLimit, kBlockName, 3);
}

UMP UMPStreamResponder::endpointInfo() const
{
    // UMP 1.1; static function blocks, one of them; MIDI 1.0 protocol only.
    return UMP{streamHead(0, kEndpointInfo) | 0x0101, (1u << 31) | (1u << 24) | (1u << 8), 0, 0};
}

UMP UMPStreamResponder::blockInfo() const
{
    // Active block 0; UI hint and direction both ways; MIDI 1.0 without a
    // bandwidth limit. One group from the session's; no MIDI-CI, no 8-bit sysex.
    return UMP{streamHead(0, kBlockInfo) | (1u << 15) | (0x3u << 4) | (0x1u << 2) | 0x3u,
               (std::uint32_t{m_group} << 24) | (1u << 16), 0, 0};
}

UMP UMPStreamResponder::streamConfiguration()
{
    return UMP{streamHead(0, kStreamConfigurationNotification) | (0x01u << 8), 0, 0, 0};
}

std::vector<UMP> UMPStreamResponder::respond(std::span<const std::uint32_t> request) const
{
    std::vector<UMP> out;
    if (request.size() < 4 || (request[0] >> 28) != 0xF)
        return out;
    const std::uint32_t status = (request[0] >> 16) & 0x3FF;
    const auto append = [&out](const std::vector<UMP> &more) {
        out.insert(out.end(), more.begin(), more.end());
    };
    switch (status) {
    case kEndpointDiscovery: {
        const std::uint32_t filter = request[1] & 0xFF;
        if (filter & 0x01)
            out.push_back(endpointInfo());
        if (filter & 0x04)
            append(endpointName());
        if (filter & 0x08)
            append(productInstanceId());
        if (filter & 0x10)
            out.push_back(streamConfiguration());
        break;
    }
    case kStreamConfigurationRequest:
        out.push_back(streamConfiguration());
        break;
    case kBlockDiscovery: {
        const std::uint32_t block = (request[0] >> 8) & 0xFF, filter = request[0] & 0xFF;
        if (block != 0 && block != 0xFF)
            break;
        if (filter & 0x01)
            out.push_back(blockInfo());
        if (filter & 0x02)
            append(blockName());
        break;
    }
    default:
        break;
    }
    return out;
}

} // namespace korvane
