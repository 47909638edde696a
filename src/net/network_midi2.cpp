#include "net/network_midi2.h"

#include "net/apple_midi.h"

#include <algorithm>

namespace korvane::NetworkMIDI2 {

namespace {

std::uint32_t readWord(ByteView bytes, std::size_t offset)
{
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | bytes[offset + 3];
}

void appendWord(Bytes &out, std::uint32_t word)
{
    out.push_back(static_cast<std::uint8_t>(word >> 24));
    out.push_back(static_cast<std::uint8_t>(word >> 16));
    out.push_back(static_cast<std::uint8_t>(word >> 8));
    out.push_back(static_cast<std::uint8_t>(word));
}

std::size_t wordsFor(std::size_t bytes)
{
    return (bytes + 3) / 4;
}

// At most `limit` bytes of text, never ending inside a UTF-8 sequence.
std::string_view clipped(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

void appendPadded(Bytes &out, ByteView bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), wordsFor(bytes.size()) * 4 - bytes.size(), 0x00);
}

void appendPadded(Bytes &out, std::string_view text)
{
    appendPadded(out, ByteView(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

// A text field: up to its first zero byte, invalid UTF-8 replaced.
std::string readText(ByteView field)
{
    const auto end = std::find(field.begin(), field.end(), 0x00);
    return AppleMIDI::decodeUTF8Lossy(field.first(static_cast<std::size_t>(end - field.begin())));
}

void header(Bytes &out, CommandCode code, std::size_t payloadWords, std::uint8_t byte1, std::uint8_t byte2)
{
    out.push_back(static_cast<std::uint8_t>(code));
    out.push_back(static_cast<std::uint8_t>(payloadWords));
    out.push_back(byte1);
    out.push_back(byte2);
}

void header(Bytes &out, CommandCode code, std::size_t payloadWords, std::uint16_t specific)
{
    header(out, code, payloadWords, static_cast<std::uint8_t>(specific >> 8),
           static_cast<std::uint8_t>(specific));
}

bool isIdentity(CommandCode code)
{
    switch (code) {
    case CommandCode::invitation:
    case CommandCode::invitationAccepted:
    case CommandCode::invitationPending:
    case CommandCode::invitationAuthRequired:
    case CommandCode::invitationUserAuthRequired:
        return true;
    default:
        return false;
    }
}

bool hasNonce(CommandCode code)
{
    return code == CommandCode::invitationAuthRequired || code == CommandCode::invitationUserAuthRequired;
}

// The fields of one command from its payload; false when the payload is too
// short for them.
bool readPayload(Command &c, ByteView payload)
{
    const std::uint8_t byte1 = static_cast<std::uint8_t>(c.header >> 8);
    const std::uint8_t byte2 = static_cast<std::uint8_t>(c.header);
    const std::uint16_t specific = static_cast<std::uint16_t>(c.header);
    switch (c.code) {
    case CommandCode::umpData:
        c.sequence = specific;
        for (std::size_t i = 0; i + 4 <= payload.size(); i += 4)
            c.ump.push_back(readWord(payload, i));
        return true;
    case CommandCode::ping:
    case CommandCode::pingReply:
        if (payload.size() < 4)
            return false;
        c.value = readWord(payload, 0);
        return true;
    case CommandCode::retransmitRequest:
        if (payload.size() < 4)
            return false;
        c.sequence = specific;
        c.count = static_cast<std::uint16_t>(readWord(payload, 0) >> 16);
        return true;
    case CommandCode::retransmitError:
        if (payload.size() < 4)
            return false;
        c.reason = byte1;
        c.sequence = static_cast<std::uint16_t>(readWord(payload, 0) >> 16);
        return true;
    case CommandCode::nak:
        c.reason = byte1;
        if (payload.size() < 4)
            return false;
        c.value = readWord(payload, 0);
        c.text = readText(payload.subspan(4));
        return true;
    case CommandCode::bye:
        c.reason = byte1;
        c.text = readText(payload);
        return true;
    case CommandCode::invitationWithAuth:
    case CommandCode::invitationWithUserAuth:
        if (payload.size() < digestSize)
            return false;
        c.secret.assign(payload.begin(), payload.begin() + digestSize);
        if (c.code == CommandCode::invitationWithUserAuth)
            c.name = readText(payload.subspan(digestSize));
        return true;
    default:
        break;
    }
    if (!isIdentity(c.code))
        return true; // no payload of interest (resets, bye reply, unknown codes)
    c.reason = byte2;
    std::size_t at = 0;
    if (hasNonce(c.code)) {
        if (payload.size() < nonceSize)
            return false;
        c.secret.assign(payload.begin(), payload.begin() + nonceSize);
        at = nonceSize;
    }
    const std::size_t nameBytes = std::size_t{byte1} * 4;
    if (at + nameBytes > payload.size())
        return false;
    c.name = readText(payload.subspan(at, nameBytes));
    c.productInstanceId = readText(payload.subspan(at + nameBytes));
    return true;
}

} // namespace

std::string_view toString(CommandCode code)
{
    switch (code) {
    case CommandCode::invitation:
        return "invitation";
    case CommandCode::invitationWithAuth:
        return "invitationWithAuth";
    case CommandCode::invitationWithUserAuth:
        return "invitationWithUserAuth";
    case CommandCode::invitationAccepted:
        return "invitationAccepted";
    case CommandCode::invitationPending:
        return "invitationPending";
    case CommandCode::invitationAuthRequired:
        return "invitationAuthRequired";
    case CommandCode::invitationUserAuthRequired:
        return "invitationUserAuthRequired";
    case CommandCode::ping:
        return "ping";
    case CommandCode::pingReply:
        return "pingReply";
    case CommandCode::retransmitRequest:
        return "retransmitRequest";
    case CommandCode::retransmitError:
        return "retransmitError";
    case CommandCode::sessionReset:
        return "sessionReset";
    case CommandCode::sessionResetReply:
        return "sessionResetReply";
    case CommandCode::nak:
        return "nak";
    case CommandCode::bye:
        return "bye";
    case CommandCode::byeReply:
        return "byeReply";
    case CommandCode::umpData:
        return "umpData";
    }
    return "?";
}

void appendSignature(Bytes &out)
{
    appendWord(out, signature);
}

void appendUMPData(Bytes &out, std::uint16_t sequence, std::span<const std::uint32_t> words)
{
    words = words.first(std::min(words.size(), maxPayloadWords));
    header(out, CommandCode::umpData, words.size(), sequence);
    for (const std::uint32_t w : words)
        appendWord(out, w);
}

void append(Bytes &out, const Command &c)
{
    switch (c.code) {
    case CommandCode::umpData:
        appendUMPData(out, c.sequence, c.ump);
        return;
    case CommandCode::ping:
    case CommandCode::pingReply:
        header(out, c.code, 1, 0);
        appendWord(out, c.value);
        return;
    case CommandCode::retransmitRequest:
        header(out, c.code, 1, c.sequence);
        appendWord(out, std::uint32_t{c.count} << 16);
        return;
    case CommandCode::retransmitError:
        header(out, c.code, 1, c.reason, 0);
        appendWord(out, std::uint32_t{c.sequence} << 16);
        return;
    case CommandCode::nak: {
        // The refused header takes the first of the 255 payload words.
        const auto text = clipped(c.text, (maxPayloadWords - 1) * 4);
        header(out, c.code, 1 + wordsFor(text.size()), c.reason, 0);
        appendWord(out, c.value);
        appendPadded(out, text);
        return;
    }
    case CommandCode::bye: {
        const auto text = clipped(c.text, maxPayloadWords * 4);
        header(out, c.code, wordsFor(text.size()), c.reason, 0);
        appendPadded(out, text);
        return;
    }
    case CommandCode::invitationWithAuth:
    case CommandCode::invitationWithUserAuth: {
        Bytes digest = c.secret;
        digest.resize(digestSize);
        const auto user = c.code == CommandCode::invitationWithUserAuth
                              ? clipped(c.name, (maxPayloadWords - digestSize / 4) * 4)
                              : std::string_view();
        header(out, c.code, digestSize / 4 + wordsFor(user.size()), 0, 0);
        appendPadded(out, digest);
        appendPadded(out, user);
        return;
    }
    default:
        break;
    }
    if (!isIdentity(c.code)) {
        header(out, c.code, 0, 0);
        return;
    }
    const auto name = clipped(c.name, maxEndpointNameBytes);
    const auto piid = clipped(c.productInstanceId, maxProductInstanceIdBytes);
    Bytes nonce;
    if (hasNonce(c.code)) {
        nonce = c.secret;
        nonce.resize(nonceSize);
    }
    header(out, c.code, nonce.size() / 4 + wordsFor(name.size()) + wordsFor(piid.size()),
           static_cast<std::uint8_t>(wordsFor(name.size())), c.reason);
    appendPadded(out, nonce);
    appendPadded(out, name);
    appendPadded(out, piid);
}

Bytes datagram(std::initializer_list<Command> commands)
{
    Bytes out;
    appendSignature(out);
    for (const Command &c : commands)
        append(out, c);
    return out;
}

bool decode(ByteView bytes, const std::function<void(const Command &)> &visit)
{
    if (bytes.size() < 4 || readWord(bytes, 0) != signature)
        return false;
    Command c;
    for (std::size_t at = 4; at + 4 <= bytes.size();) {
        const std::uint32_t head = readWord(bytes, at);
        const std::size_t payloadBytes = std::size_t{(head >> 16) & 0xFF} * 4;
        const std::size_t available = bytes.size() - at - 4;
        c.code = static_cast<CommandCode>(head >> 24);
        c.sequence = c.count = 0;
        c.reason = 0;
        c.value = 0;
        c.name.clear();
        c.productInstanceId.clear();
        c.text.clear();
        c.secret.clear();
        c.ump.clear();
        c.header = head;
        const ByteView payload = bytes.subspan(at + 4, std::min(payloadBytes, available));
        c.malformed = !readPayload(c, payload) || payloadBytes > available;
        visit(c);
        if (payloadBytes > available)
            return true;
        at += 4 + payloadBytes;
    }
    return true;
}

} // namespace korvane::NetworkMIDI2
