#pragma once

// Network MIDI 2.0 (UDP) datagrams: the "MIDI" signature followed by command
// packets, each a 32-bit header (command code, payload length in 32-bit
// words, two command-specific bytes) and its payload. Stateless and pure: no
// framework, no I/O. Decoders never read past the buffer they are given.
// Multi-byte integers on the wire are big-endian; texts are UTF-8, padded with
// zero bytes to a whole word.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::NetworkMIDI2 {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::uint32_t signature = 0x4D494449; // "MIDI"
// Datagrams this side writes stay within this size (a 1500-byte MTU with room).
inline constexpr std::size_t maxDatagramSize = 1400;
inline constexpr std::size_t maxPayloadWords = 255;
inline constexpr std::size_t maxEndpointNameBytes = 98;
inline constexpr std::size_t maxProductInstanceIdBytes = 42;
inline constexpr std::size_t nonceSize = 16;
inline constexpr std::size_t digestSize = 32;

// Any byte may arrive as a code; the named ones are those this side knows.
enum class CommandCode : std::uint8_t {
    invitation = 0x01,
    invitationWithAuth = 0x02,
    invitationWithUserAuth = 0x03,
    invitationAccepted = 0x10,
    invitationPending = 0x11,
    invitationAuthRequired = 0x12,
    invitationUserAuthRequired = 0x13,
    ping = 0x20,
    pingReply = 0x21,
    retransmitRequest = 0x80,
    retransmitError = 0x81,
    sessionReset = 0x82,
    sessionResetReply = 0x83,
    nak = 0x8F,
    bye = 0xF0,
    byeReply = 0xF1,
    umpData = 0xFF,
};
std::string_view toString(CommandCode code); // "?" for codes not listed above

namespace ByeReason {
inline constexpr std::uint8_t undefined = 0x00;
inline constexpr std::uint8_t userTerminated = 0x01;
inline constexpr std::uint8_t powerDown = 0x02;
inline constexpr std::uint8_t tooManyMissingUMPs = 0x03;
inline constexpr std::uint8_t timeout = 0x04;
inline constexpr std::uint8_t sessionNotEstablished = 0x05;
inline constexpr std::uint8_t noPendingSession = 0x06;
inline constexpr std::uint8_t protocolError = 0x07;
inline constexpr std::uint8_t tooManyOpenSessions = 0x40;
inline constexpr std::uint8_t authWithoutPriorInvitation = 0x41;
inline constexpr std::uint8_t userDidNotAccept = 0x42;
inline constexpr std::uint8_t authenticationFailed = 0x43;
inline constexpr std::uint8_t usernameNotFound = 0x44;
inline constexpr std::uint8_t noMatchingAuthentication = 0x45;
inline constexpr std::uint8_t invitationCanceled = 0x80;
} // namespace ByeReason

namespace NAKReason {
inline constexpr std::uint8_t other = 0x00;
inline constexpr std::uint8_t notSupported = 0x01;
inline constexpr std::uint8_t notExpected = 0x02;
inline constexpr std::uint8_t malformed = 0x03;
inline constexpr std::uint8_t badPingReply = 0x20;
} // namespace NAKReason

inline constexpr std::uint8_t retransmitDataNotAvailable = 0x01;
// Invitation capabilities (a bit map) and the authentication state of the
// "authentication required" replies.
inline constexpr std::uint8_t capabilityAuth = 0x01;
inline constexpr std::uint8_t capabilityUserAuth = 0x02;
inline constexpr std::uint8_t authFirstRequest = 0x00;
inline constexpr std::uint8_t authIncorrectDigest = 0x01;

// One command packet. Each code uses the fields named beside them; the
// others stay at their defaults when encoding and are left so by decoding.
struct Command {
    CommandCode code = CommandCode::ping;
    std::uint16_t sequence = 0; // umpData, retransmitRequest, retransmitError
    std::uint16_t count = 0;    // retransmitRequest: commands wanted (0: all held from sequence on)
    // bye, nak, retransmitError: the reason; invitation: capabilities;
    // invitation*Required: the authentication state.
    std::uint8_t reason = 0;
    std::uint32_t value = 0;        // ping, pingReply: the id; nak: the refused command's header
    std::string name;               // invitation and its replies: UMP endpoint name; withUserAuth: user name
    std::string productInstanceId;  // invitation and its replies
    std::string text;               // bye, nak: optional message
    Bytes secret;                   // *AuthRequired: the nonce; withAuth, withUserAuth: the digest
    std::vector<std::uint32_t> ump; // umpData: 0..maxPayloadWords words
    // Decoding only: the header as received, and whether the payload was too
    // short for the command (the fields above are then not all filled).
    std::uint32_t header = 0;
    bool malformed = false;

    friend bool operator==(const Command &, const Command &) = default;
};

// The signature, to start a datagram.
void appendSignature(Bytes &out);
// One command packet. Texts longer than their field allows are cut at a
// character boundary; a UMP payload beyond maxPayloadWords is cut there.
void append(Bytes &out, const Command &command);
// The hot path's UMP Data command, without building a Command.
void appendUMPData(Bytes &out, std::uint16_t sequence, std::span<const std::uint32_t> words);
// A whole datagram of these commands.
Bytes datagram(std::initializer_list<Command> commands);

// Hands every command packet of a datagram to visit, in order, reusing one
// Command. False (nothing visited) when the datagram does not start with the
// signature. A command whose declared payload runs past the datagram is
// visited as malformed and ends the walk; bytes after the last whole header
// are ignored.
bool decode(ByteView datagram, const std::function<void(const Command &)> &visit);

// Bytes a UMP Data command of `words` words takes in a datagram.
constexpr std::size_t umpDataSize(std::size_t words)
{
    return 4 + 4 * words;
}

} // namespace korvane::NetworkMIDI2
