#include "midi/midi_filter_processor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace korvane::MIDIFilterProcessor {

namespace {

bool isChannelStatus(std::uint8_t s)
{
    return s >= 0x80 && s <= 0xEF;
}

using Bytes = std::span<std::uint8_t>;

bool isNoteMessage(Bytes m, MIDIStatusType t)
{
    return m.size() >= 2 && (t == MIDIStatusType::noteOff || t == MIDIStatusType::noteOn ||
                             t == MIDIStatusType::polyAftertouch);
}

// Inclusive bounds; an absent low bound means none, an absent high bound 127.
bool inRange(int value, const std::optional<std::int64_t> &low, const std::optional<std::int64_t> &high)
{
    if (low && value < *low)
        return false;
    return value <= high.value_or(127);
}

bool remapChannel(const FilterStep &step, Bytes m)
{
    const std::uint8_t s = m[0];
    if (!step.channelMap || !isChannelStatus(s))
        return true;
    const std::size_t index = s & 0x0F;
    const std::vector<int> &map = *step.channelMap;
    if (index >= map.size())
        return true;
    const int target = std::min(map[index], 16);
    if (target <= 0)
        return false;
    m[0] = static_cast<std::uint8_t>((s & 0xF0) | (target - 1));
    return true;
}

bool transposeNote(const FilterStep &step, Bytes m, MIDIStatusType t)
{
    if (!isNoteMessage(m, t) || !step.transpose || *step.transpose == 0)
        return true;
    // Any shift beyond ±128 moves every note out of range like ±128 does;
    // clamping first keeps the sum clear of the 64-bit limits.
    const std::int64_t note = std::int64_t{m[1]} + std::clamp<std::int64_t>(*step.transpose, -128, 128);
    if (note < 0 || note > 127)
        return false;
    m[1] = static_cast<std::uint8_t>(note);
    return true;
}

void scaleVelocity(const FilterStep &step, Bytes m, MIDIStatusType t)
{
    if (t != MIDIStatusType::noteOn || m.size() < 3 || m[2] == 0)
        return;
    double scale = step.velocityScale.value_or(1.0);
    if (std::isnan(scale))
        scale = 1.0; // no meaningful product: treated as an absent scale
    const double offset = static_cast<double>(step.velocityOffset.value_or(0));
    // Computed in double: a huge or infinite product cannot overflow and ends
    // up clamped like any other out-of-range result. std::round rounds halves
    // away from zero.
    const double velocity = std::round(scale * m[2]) + offset;
    m[2] = static_cast<std::uint8_t>(std::clamp(velocity, 1.0, 127.0));
}

bool blocked(const FilterStep &step, MIDIStatusType t)
{
    if (!step.blockedTypes)
        return false;
    return std::find(step.blockedTypes->begin(), step.blockedTypes->end(), t) != step.blockedTypes->end();
}

bool applyStepTo(const FilterStep &step, Bytes message) noexcept
{
    if (message.empty())
        return true;
    const MIDIStatusType t = midiStatusType(message);
    switch (step.kind) {
    case FilterStep::Kind::channelRemap:
        return remapChannel(step, message);
    case FilterStep::Kind::transpose:
        return transposeNote(step, message, t);
    case FilterStep::Kind::velocity:
        scaleVelocity(step, message, t);
        return true;
    case FilterStep::Kind::noteRange:
        return !isNoteMessage(message, t) || inRange(message[1], step.noteLow, step.noteHigh);
    case FilterStep::Kind::ccRange:
        return t != MIDIStatusType::controlChange || message.size() < 2 ||
               inRange(message[1], step.ccLow, step.ccHigh);
    case FilterStep::Kind::messageTypeFilter:
        return !blocked(step, t);
    }
    return true;
}

} // namespace

bool applyStepInPlace(const FilterStep &step, MIDIMessage &message)
{
    return applyStepTo(step, message.bytes);
}

bool applyInPlace(const FilterChain &chain, std::span<std::uint8_t> bytes) noexcept
{
    for (const FilterStep &step : chain.steps) {
        if (step.enabled && !applyStepTo(step, bytes))
            return false;
    }
    return true;
}

bool applyInPlace(const FilterChain &chain, MIDIMessage &message)
{
    return applyInPlace(chain, std::span<std::uint8_t>(message.bytes));
}

std::optional<MIDIMessage> applyStep(const FilterStep &step, const MIDIMessage &message)
{
    MIDIMessage copy = message;
    if (!applyStepInPlace(step, copy))
        return std::nullopt;
    return copy;
}

std::optional<MIDIMessage> apply(const FilterChain &chain, const MIDIMessage &message)
{
    MIDIMessage copy = message;
    if (!applyInPlace(chain, copy))
        return std::nullopt;
    return copy;
}

bool isIdentity(const FilterChain &chain)
{
    return std::none_of(chain.steps.begin(), chain.steps.end(),
                        [](const FilterStep &s) { return s.enabled; });
}

} // namespace korvane::MIDIFilterProcessor
