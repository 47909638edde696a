#pragma once

// Applies a route's filter chain to one message. Stateless and pure: the
// same chain gives the same result for the same message on any thread.

#include "midi/midi_message.h"
#include "model/project.h"

#include <optional>
#include <span>

namespace korvane::MIDIFilterProcessor {

// The message as rewritten by the chain's enabled steps in order, or nothing
// when a step drops it. The time stamp is always carried over.
std::optional<MIDIMessage> apply(const FilterChain &chain, const MIDIMessage &message);
std::optional<MIDIMessage> applyStep(const FilterStep &step, const MIDIMessage &message);

// Same rules, rewriting `message` in place: false means dropped (the message
// is then left in an unspecified but valid state). Used by the router to
// avoid one copy per step.
bool applyInPlace(const FilterChain &chain, MIDIMessage &message);
bool applyStepInPlace(const FilterStep &step, MIDIMessage &message);

// The same on raw bytes, which no step ever lengthens or shortens; for the
// real-time thread (no allocation).
bool applyInPlace(const FilterChain &chain, std::span<std::uint8_t> bytes) noexcept;

// True when the chain has no enabled step, so it cannot change anything.
bool isIdentity(const FilterChain &chain);

} // namespace korvane::MIDIFilterProcessor
