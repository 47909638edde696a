#pragma once

// AppleMIDI session-protocol packets and RTP-MIDI data packets (RFC 6295).
// Pure: no framework, no I/O, and no state but SysexReassembler's (one per
// sender). Decoders answer with an absent value or an empty list for input
// they do not accept and never read past the buffer they are given.
// Multi-byte integers on the wire are big-endian.

#include "midi/midi_message.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::AppleMIDI {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::uint32_t protocolVersion = 2;
inline constexpr std::uint8_t rtpPayloadType = 97;

// The command section length field has 12 bits.
inline constexpr std::size_t maxCommandListLength = 0x0FFF;
// Upper bound of every data packet the session sends (fits a 1500-byte MTU
// with IPv4/UDP headers and room to spare).
inline constexpr std::size_t maxDataPacketSize = 1400;
inline constexpr std::size_t rtpHeaderSize = 12;

// Raw value: the two ASCII letters read as one big-endian number.
enum class Command : std::uint16_t {
    invitation = 0x494E,       // "IN"
    invitationOK = 0x4F4B,     // "OK"
    invitationReject = 0x4E4F, // "NO"
    bye = 0x4259,              // "BY"
    clockSync = 0x434B,        // "CK"
    receiverFeedback = 0x5253, // "RS"
};

std::optional<Command> commandFromRaw(std::uint16_t raw);
std::string_view toString(Command command);

struct Exchange {
    Command command = Command::invitation;
    std::uint32_t initiatorToken = 0;
    std::uint32_t ssrc = 0;
    std::string name;

    friend bool operator==(const Exchange &, const Exchange &) = default;
};

// Time stamps are 100-microsecond ticks of the sender's monotonic clock.
struct ClockSync {
    std::uint32_t ssrc = 0;
    std::uint8_t count = 0;
    std::uint64_t ts1 = 0;
    std::uint64_t ts2 = 0;
    std::uint64_t ts3 = 0;

    friend bool operator==(const ClockSync &, const ClockSync &) = default;
};

Bytes encodeExchange(const Exchange &exchange);
std::optional<Exchange> decodeExchange(ByteView bytes);

Bytes encodeClock(const ClockSync &sync);
std::optional<ClockSync> decodeClock(ByteView bytes);

// Receiver feedback ("RS", 12 bytes): the highest RTP sequence number the
// sender of the packet has received from the addressee, so a journalling
// sender may trim its journal. The sequence sits in the top half of a 32-bit
// field.
struct ReceiverFeedback {
    std::uint32_t ssrc = 0;
    std::uint16_t sequence = 0;

    friend bool operator==(const ReceiverFeedback &, const ReceiverFeedback &) = default;
};

Bytes encodeFeedback(const ReceiverFeedback &feedback);
std::optional<ReceiverFeedback> decodeFeedback(ByteView bytes);

// The parts of an accepted RTP-MIDI packet (see decodeRTP): its command list
// and, when the J flag is set, the recovery journal after it (maybe empty).
struct PacketParts {
    std::uint16_t sequence = 0;
    ByteView commands;
    bool leadingDelta = false; // Z
    std::optional<ByteView> journal;
};
std::optional<PacketParts> packetParts(ByteView packet);

// At least four bytes starting with the 0xFF 0xFF signature.
bool isSessionCommand(ByteView bytes);

// One RTP-MIDI packet carrying the whole message as its only command, no
// delta time, no journal. Empty (nothing to send) when the message is longer
// than the command section's 12-bit length field can describe.
Bytes encodeRTP(const MIDIMessage &message, std::uint16_t sequence, std::uint32_t timestamp,
                std::uint32_t ssrc);

// The packets that carry one message, each at most maxPacketSize bytes, with
// sequence numbers firstSequence, firstSequence + 1, ... (wrapping). A message
// that fits travels as one packet (as encodeRTP). A longer, terminated
// system-exclusive message without stray status bytes is split into RFC 6295
// section 3.2 segments (F0..F0, F7..F0, ..., F7..F7), one per packet. Any
// other message of at most maxCommandListLength bytes still travels as one
// (larger) packet; longer ones, and an empty message, give no packet.
std::vector<Bytes> encodeRTPPackets(const MIDIMessage &message, std::uint16_t firstSequence,
                                    std::uint32_t timestamp, std::uint32_t ssrc,
                                    std::size_t maxPacketSize = maxDataPacketSize);

// One piece of a system-exclusive message split across commands (RFC 6295
// section 3.2): first F0..F0, middle F7..F0, last F7..F7, cancel F7..F4.
// data holds the bytes between the two delimiters.
struct SysexSegment {
    enum class Kind { first, middle, last, cancel };
    Kind kind = Kind::first;
    ByteView data; // real-time bytes already taken out
};

// Every message of the packet's command list, in order, each with timestamp 0;
// empty when the packet is not accepted. Sysex segments are left out: alone
// they are not messages (see SysexReassembler). A real-time byte (F8..FF)
// inside a system-exclusive message is a message of its own, emitted where it
// stands, and the system-exclusive data goes on around it.
std::vector<MIDIMessage> decodeRTP(ByteView bytes);
// The same messages handed one by one to emit, without building a list; the
// message passed is reused between calls, so emit copies what it keeps.
void decodeRTP(ByteView bytes, const std::function<void(const MIDIMessage &)> &emit);
// The same, with each sysex segment handed to onSegment at its place in the
// list; segment data points into bytes.
void decodeRTP(ByteView bytes, const std::function<void(const MIDIMessage &)> &emit,
               const std::function<void(const SysexSegment &)> &onSegment);

// Rebuilds the segmented system-exclusive messages of one sender. A first
// segment opens a message (discarding any half-built one); middle segments
// extend it; the last closes it; cancel discards it. Continuation segments
// with no open message are dropped, as is a message that would exceed
// maxSysexBytes (F0 and F7 included).
class SysexReassembler {
public:
    static constexpr std::size_t maxSysexBytes = std::size_t{1} << 20;

    // The whole F0..F7 message when segment completes one, else null. The
    // pointer stays valid until the next call.
    const MIDIMessage *add(const SysexSegment &segment);
    // Forgets a half-built message and releases its memory.
    void reset();
    bool isOpen() const { return m_open; }

private:
    MIDIMessage m_message;
    bool m_open = false;
};

// encodeRTP into a caller's buffer: the packet's size, or 0 (nothing
// written) when the message does not fit the buffer or the length field.
std::size_t encodeRTPInto(const MIDIMessage &message, std::uint16_t sequence, std::uint32_t timestamp,
                          std::uint32_t ssrc, std::span<std::uint8_t> out);

// Building blocks, exposed for tests.
std::uint32_t readUInt32(ByteView bytes, std::size_t offset); // caller checks the length
void appendUInt16(Bytes &out, std::uint16_t value);
void appendUInt32(Bytes &out, std::uint32_t value);
std::vector<MIDIMessage> parseCommandList(ByteView list, bool hasLeadingDelta);
// UTF-8 with each maximal invalid subsequence replaced by U+FFFD.
std::string decodeUTF8Lossy(ByteView bytes);

} // namespace korvane::AppleMIDI
