#include "midi/service/jack/jack_port_names.h"
#include "midi/service/jack/jack_backend.h"

#include <algorithm>
#include <cstdio>

namespace korvane {

namespace {

constexpr std::string_view kFrom = "from ";
constexpr std::string_view kTo = "to ";
constexpr std::string_view kIdMark = " #";
constexpr std::size_t kIdDigits = 8;
// Room for a patchbay's column, far below JACK's limit for the whole name.
constexpr std::size_t kMaxLabelBytes = 64;

bool allDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// PipeWire's JACK gives a port whose full name is already taken a "-<number>" suffix.
std::string_view withoutPipeWireSuffix(std::string_view name)
{
    const std::size_t dash = name.rfind('-');
    if (dash != std::string_view::npos && allDigits(name.substr(dash + 1)))
        return name.substr(0, dash);
    return name;
}

std::string sanitisedLabel(std::string_view label)
{
    std::string out;
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        const bool blank = byte < 0x20 || byte == 0x7F || c == ' ';
        if (blank) {
            if (!out.empty() && out.back() != ' ')
                out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    if (out.size() > kMaxLabelBytes) {
        std::size_t cut = kMaxLabelBytes;
        // Never in the middle of a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out.empty() ? std::string("?") : out;
}

} // namespace

std::string jackPlumbingPortName(bool input, std::string_view label, std::int32_t uniqueID)
{
    char id[kIdDigits + 1];
    std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(static_cast<std::uint32_t>(uniqueID)));
    std::string name(input ? kFrom : kTo);
    name += sanitisedLabel(label);
    name += kIdMark;
    name += id;
    return name;
}

bool isJackPlumbingPortName(std::string_view shortName)
{
    std::string_view name = withoutPipeWireSuffix(shortName);
    // Ports of versions that numbered them in order of appearance.
    for (const std::string_view legacy : {std::string_view("in_"), std::string_view("out_")})
        if (name.starts_with(legacy) && allDigits(name.substr(legacy.size())))
            return true;
    if (!name.starts_with(kFrom) && !name.starts_with(kTo))
        return false;
    const std::size_t prefix = name.starts_with(kFrom) ? kFrom.size() : kTo.size();
    if (name.size() < prefix + 1 + kIdMark.size() + kIdDigits)
        return false;
    const std::string_view tail = name.substr(name.size() - kIdDigits - kIdMark.size());
    return tail.starts_with(kIdMark) && std::all_of(tail.begin() + kIdMark.size(), tail.end(), isUpperHex);
}

std::string withPipeWireClientProps(std::string_view props, bool requestLatency)
{
    std::string added = "jack.fix-midi-events = false";
    if (requestLatency && props.find("node.latency") == std::string_view::npos)
        added += " node.latency = " + std::string(kPipeWireDefaultLatency);
    std::string_view trimmed = props;
    const auto trimEnd = [&] {
        while (!trimmed.empty() &&
               (trimmed.back() == ' ' || trimmed.back() == '\n' || trimmed.back() == '\t'))
            trimmed.remove_suffix(1);
    };
    trimEnd();
    if (trimmed.empty())
        return "{ " + added + " }";
    // Later keys win: a jack.fix-midi-events of the user's own is overridden.
    if (trimmed.back() == '}') {
        trimmed.remove_suffix(1);
        trimEnd();
        return std::string(trimmed) + " " + added + " }";
    }
    return std::string(trimmed) + " " + added;
}

} // namespace korvane
