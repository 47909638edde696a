#include "net/apple_midi.h"

#include <algorithm>

namespace korvane::AppleMIDI {

namespace {

constexpr std::uint8_t kSignature = 0xFF;
constexpr std::size_t kExchangeHeaderSize = 16;
constexpr std::size_t kClockSize = 36;
constexpr std::size_t kFeedbackSize = 12;
constexpr std::uint8_t kSysexStart = 0xF0;
constexpr std::uint8_t kSysexEnd = 0xF7;
constexpr std::uint8_t kSysexCancel = 0xF4;

std::uint16_t readUInt16(ByteView bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint64_t readUInt64(ByteView bytes, std::size_t offset)
{
    return (std::uint64_t{readUInt32(bytes, offset)} << 32) | readUInt32(bytes, offset + 4);
}

void appendUInt64(Bytes &out, std::uint64_t value)
{
    appendUInt32(out, static_cast<std::uint32_t>(value >> 32));
    appendUInt32(out, static_cast<std::uint32_t>(value));
}

bool hasSignature(ByteView bytes)
{
    return bytes.size() >= 2 && bytes[0] == kSignature && bytes[1] == kSignature;
}

// The signature and the command of a session packet of `size` bytes.
Bytes sessionPacket(Command command, std::size_t size)
{
    Bytes out;
    out.reserve(size);
    out.push_back(kSignature);
    out.push_back(kSignature);
    appendUInt16(out, static_cast<std::uint16_t>(command));
    return out;
}

// Command section header (RFC 6295 section 3): B flag and a 12-bit length
// when the list is longer than 15 bytes; J, Z and P always clear.
void appendCommandHeader(Bytes &out, std::size_t length)
{
    if (length <= 15) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(static_cast<std::uint8_t>(0x80 | ((length >> 8) & 0x0F)));
        out.push_back(static_cast<std::uint8_t>(length & 0xFF));
    }
}

Bytes rtpPacket(ByteView list, std::uint16_t sequence, std::uint32_t timestamp, std::uint32_t ssrc)
{
    Bytes out;
    out.reserve(rtpHeaderSize + 2 + list.size());
    out.push_back(0x80);           // version 2, no padding, no extension, no CSRC
    out.push_back(rtpPayloadType); // marker clear
    appendUInt16(out, sequence);
    appendUInt32(out, timestamp);
    appendUInt32(out, ssrc);
    appendCommandHeader(out, list.size());
    out.insert(out.end(), list.begin(), list.end());
    return out;
}

} // namespace

std::optional<Command> commandFromRaw(std::uint16_t raw)
{
    switch (static_cast<Command>(raw)) {
    case Command::invitation:
    case Command::invitationOK:
    case Command::invitationReject:
    case Command::bye:
    case Command::clockSync:
    case Command::receiverFeedback:
        return static_cast<Command>(raw);
    }
    return std::nullopt;
}

std::string_view toString(Command command)
{
    switch (command) {
    case Command::invitation:
        return "IN";
    case Command::invitationOK:
        return "OK";
    case Command::invitationReject:
        return "NO";
    case Command::bye:
        return "BY";
    case Command::clockSync:
        return "CK";
    case Command::receiverFeedback:
        return "RS";
    }
    return "??";
}

std::uint32_t readUInt32(ByteView bytes, std::size_t offset)
{
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

void appendUInt16(Bytes &out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void appendUInt32(Bytes &out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

Bytes encodeExchange(const Exchange &exchange)
{
    Bytes out = sessionPacket(exchange.command, kExchangeHeaderSize + exchange.name.size() + 1);
    appendUInt32(out, protocolVersion);
    appendUInt32(out, exchange.initiatorToken);
    appendUInt32(out, exchange.ssrc);
    out.insert(out.end(), exchange.name.begin(), exchange.name.end());
    out.push_back(0x00);
    return out;
}

std::optional<Exchange> decodeExchange(ByteView bytes)
{
    if (bytes.size() < kExchangeHeaderSize || !hasSignature(bytes))
        return std::nullopt;
    const auto command = commandFromRaw(readUInt16(bytes, 2));
    if (!command)
        return std::nullopt;
    // The protocol version at offset 4 is not examined.
    Exchange exchange;
    exchange.command = *command;
    exchange.initiatorToken = readUInt32(bytes, 8);
    exchange.ssrc = readUInt32(bytes, 12);
    const auto nameBytes = bytes.subspan(kExchangeHeaderSize);
    const auto end = std::find(nameBytes.begin(), nameBytes.end(), std::uint8_t{0});
    exchange.name = decodeUTF8Lossy(nameBytes.first(static_cast<std::size_t>(end - nameBytes.begin())));
    return exchange;
}

Bytes encodeClock(const ClockSync &sync)
{
    Bytes out = sessionPacket(Command::clockSync, kClockSize);
    appendUInt32(out, sync.ssrc);
    out.push_back(sync.count);
    out.insert(out.end(), 3, 0x00);
    appendUInt64(out, sync.ts1);
    appendUInt64(out, sync.ts2);
    appendUInt64(out, sync.ts3);
    return out;
}

std::optional<ClockSync> decodeClock(ByteView bytes)
{
    if (bytes.size() < kClockSize || !hasSignature(bytes) ||
        readUInt16(bytes, 2) != static_cast<std::uint16_t>(Command::clockSync))
        return std::nullopt;
    ClockSync sync;
    sync.ssrc = readUInt32(bytes, 4);
    sync.count = bytes[8];
    sync.ts1 = readUInt64(bytes, 12);
    sync.ts2 = readUInt64(bytes, 20);
    sync.ts3 = readUInt64(bytes, 28);
    return sync;
}

Bytes encodeFeedback(const ReceiverFeedback &feedback)
{
    Bytes out = sessionPacket(Command::receiverFeedback, kFeedbackSize);
    appendUInt32(out, feedback.ssrc);
    appendUInt16(out, feedback.sequence);
    appendUInt16(out, 0);
    return out;
}

std::optional<ReceiverFeedback> decodeFeedback(ByteView bytes)
{
    if (bytes.size() < kFeedbackSize || !hasSignature(bytes) ||
        readUInt16(bytes, 2) != static_cast<std::uint16_t>(Command::receiverFeedback))
        return std::nullopt;
    return ReceiverFeedback{readUInt32(bytes, 4), readUInt16(bytes, 8)};
}

// RFC 6295 sections 2 and 3.
std::optional<PacketParts> packetParts(ByteView bytes)
{
    if (bytes.size() < 13)
        return std::nullopt;
    if (bytes[0] < 0x80 || bytes[0] > 0xBF)
        return std::nullopt;
    if ((bytes[1] & 0x7F) != rtpPayloadType)
        return std::nullopt;
    std::size_t offset = rtpHeaderSize + 4 * std::size_t{bytes[0] & 0x0Fu};
    if (bytes[0] & 0x10) {
        if (bytes.size() < offset + 4)
            return std::nullopt;
        offset += 4 + 4 * std::size_t{readUInt16(bytes, offset + 2)};
    }
    if (offset >= bytes.size())
        return std::nullopt;
    const std::uint8_t header = bytes[offset];
    std::size_t length = 0;
    std::size_t start = 0;
    if (header & 0x80) {
        if (offset + 1 >= bytes.size())
            return std::nullopt;
        length = (std::size_t{header & 0x0Fu} << 8) | bytes[offset + 1];
        start = offset + 2;
    } else {
        length = header & 0x0F;
        start = offset + 1;
    }
    if (start + length > bytes.size())
        return std::nullopt;
    PacketParts parts;
    parts.sequence = readUInt16(bytes, 2);
    parts.commands = bytes.subspan(start, length);
    parts.leadingDelta = (header & 0x20) != 0;
    if (header & 0x40)
        parts.journal = bytes.subspan(start + length);
    return parts;
}

bool isSessionCommand(ByteView bytes)
{
    return bytes.size() >= 4 && hasSignature(bytes);
}

Bytes encodeRTP(const MIDIMessage &message, std::uint16_t sequence, std::uint32_t timestamp,
                std::uint32_t ssrc)
{
    if (message.bytes.size() > maxCommandListLength)
        return {};
    return rtpPacket(message.bytes, sequence, timestamp, ssrc);
}

std::vector<Bytes> encodeRTPPackets(const MIDIMessage &message, std::uint16_t firstSequence,
                                    std::uint32_t timestamp, std::uint32_t ssrc, std::size_t maxPacketSize)
{
    const auto &bytes = message.bytes;
    // Longest command list that keeps a packet within maxPacketSize, given a
    // two-byte command section header.
    const std::size_t maxList = std::min(
        maxCommandListLength, maxPacketSize > rtpHeaderSize + 2 ? maxPacketSize - rtpHeaderSize - 2 : 0);
    if (bytes.empty())
        return {};
    if (bytes.size() <= maxList || (bytes.size() <= 15 && rtpHeaderSize + 1 + bytes.size() <= maxPacketSize))
        return {rtpPacket(bytes, firstSequence, timestamp, ssrc)};

    // RFC 6295 section 3.2 segments need at least one data byte each and a
    // terminated message whose body holds no status byte.
    const bool segmentable = maxList >= 3 && bytes.front() == kSysexStart && bytes.back() == kSysexEnd &&
                             std::all_of(bytes.begin() + 1, bytes.end() - 1, [](auto b) { return b < 0x80; });
    if (!segmentable) {
        // Still one packet when the length field can describe it: larger
        // than the usual packet, but whole (IP fragments it if need be).
        if (bytes.size() <= maxCommandListLength)
            return {rtpPacket(bytes, firstSequence, timestamp, ssrc)};
        return {};
    }

    const std::size_t perSegment = maxList - 2;
    const ByteView body(bytes.data() + 1, bytes.size() - 2);
    std::vector<Bytes> packets;
    packets.reserve(body.size() / perSegment + 1);
    Bytes list;
    list.reserve(maxList);
    std::uint16_t sequence = firstSequence;
    for (std::size_t offset = 0; offset < body.size(); offset += perSegment) {
        const std::size_t count = std::min(perSegment, body.size() - offset);
        const bool first = offset == 0;
        const bool last = offset + count == body.size();
        list.clear();
        list.push_back(first ? kSysexStart : kSysexEnd);
        list.insert(list.end(), body.begin() + static_cast<std::ptrdiff_t>(offset),
                    body.begin() + static_cast<std::ptrdiff_t>(offset + count));
        list.push_back(last ? kSysexEnd : kSysexStart);
        packets.push_back(rtpPacket(list, sequence++, timestamp, ssrc));
    }
    return packets;
}

namespace {

// The command list of an accepted packet and whether it starts with a delta
// time (Z), or nothing.
std::optional<std::pair<ByteView, bool>> commandList(ByteView bytes)
{
    const auto parts = packetParts(bytes);
    if (!parts)
        return std::nullopt;
    return std::pair{parts->commands, parts->leadingDelta};
}

std::optional<SysexSegment::Kind> segmentKind(std::uint8_t open, std::uint8_t close)
{
    using Kind = SysexSegment::Kind;
    if (close == kSysexStart)
        return open == kSysexStart ? Kind::first : Kind::middle;
    if (open == kSysexEnd && close == kSysexEnd)
        return Kind::last;
    if (open == kSysexEnd && close == kSysexCancel)
        return Kind::cancel;
    return std::nullopt;
}

// Walks the list and hands each whole message to emit and each sysex segment
// to onSegment; one scratch message is reused, so emit must copy what it keeps.
template <class Emit, class OnSegment>
void walkCommandList(ByteView list, bool hasLeadingDelta, Emit &&emit, OnSegment &&onSegment)
{
    MIDIMessage message;
    MIDIMessage realtime;
    Bytes body; // sysex data with its real-time bytes taken out, when it had any
    auto &out = message.bytes;
    const std::size_t size = list.size();
    std::size_t i = 0;
    std::uint8_t status = 0;
    bool deltaFirst = hasLeadingDelta;
    while (true) {
        if (deltaFirst) {
            // Delta time: continuation bytes (top bit set), then a final byte.
            while (i < size && (list[i] & 0x80))
                ++i;
            if (i >= size)
                break;
            ++i;
        }
        if (i >= size)
            break;
        bool freshStatus = false;
        if (list[i] >= 0xF8) {
            // Real-time: a one-byte command that leaves running status alone
            // (RFC 6295 3.2), so a clock tick between two notes neither eats
            // the second note nor turns its data bytes into more ticks.
            out.assign(1, list[i++]);
            emit(static_cast<const MIDIMessage &>(message));
            if (i >= size)
                break;
            deltaFirst = true;
            continue;
        }
        if (list[i] & 0x80) {
            status = list[i++];
            freshStatus = true;
        }

        // F0 opens a sysex command; F7 read as a status byte may open a
        // continuation segment.
        if (status == kSysexStart || (status == kSysexEnd && freshStatus)) {
            const std::size_t begin = i;
            // Real-time bytes may sit inside system-exclusive data (MIDI 1.0):
            // each is a message of its own and the data goes on after it.
            std::size_t realtimeCount = 0;
            while (i < size && (!(list[i] & 0x80) || list[i] >= 0xF8))
                realtimeCount += list[i++] >= 0xF8 ? 1 : 0;
            const std::uint8_t close = i < size ? list[i] : 0;
            ByteView data = list.subspan(begin, i - begin);
            if (realtimeCount > 0) {
                body.clear();
                for (const std::uint8_t b : data) {
                    if (b >= 0xF8) {
                        realtime.bytes.assign(1, b);
                        emit(static_cast<const MIDIMessage &>(realtime));
                    } else {
                        body.push_back(b);
                    }
                }
                data = ByteView(body.data(), body.size());
            }
            const auto kind = segmentKind(status, close);
            if (kind) {
                ++i; // the closing delimiter belongs to the segment
                onSegment(SysexSegment{*kind, data});
            } else if (status == kSysexStart) {
                // Whole (F0..F7) or cut short by another status byte or the
                // end of the list: emitted either way.
                out.assign(1, kSysexStart);
                out.insert(out.end(), data.begin(), data.end());
                if (close == kSysexEnd) {
                    out.push_back(kSysexEnd);
                    ++i;
                }
                emit(static_cast<const MIDIMessage &>(message));
            }
            if (kind || status == kSysexStart) {
                if (i >= size)
                    break;
                deltaFirst = true;
                continue;
            }
            i = begin; // F7 not shaped like a segment: an ordinary status byte
        }
        if (status == 0)
            break;

        const auto needed = static_cast<std::size_t>(midiDataByteCount(status));
        out.assign(1, status);
        while (out.size() - 1 < needed && i < size && !(list[i] & 0x80))
            out.push_back(list[i++]);
        if (out.size() - 1 == needed)
            emit(static_cast<const MIDIMessage &>(message));
        if (i >= size)
            break;
        deltaFirst = true;
    }
}

} // namespace

std::vector<MIDIMessage> decodeRTP(ByteView bytes)
{
    const auto list = commandList(bytes);
    if (!list)
        return {};
    return parseCommandList(list->first, list->second);
}

void decodeRTP(ByteView bytes, const std::function<void(const MIDIMessage &)> &emit)
{
    if (const auto list = commandList(bytes))
        walkCommandList(list->first, list->second, emit, [](const SysexSegment &) {});
}

void decodeRTP(ByteView bytes, const std::function<void(const MIDIMessage &)> &emit,
               const std::function<void(const SysexSegment &)> &onSegment)
{
    if (const auto list = commandList(bytes))
        walkCommandList(list->first, list->second, emit, onSegment);
}

std::vector<MIDIMessage> parseCommandList(ByteView list, bool hasLeadingDelta)
{
    std::vector<MIDIMessage> messages;
    walkCommandList(
        list, hasLeadingDelta, [&](const MIDIMessage &m) { messages.push_back(m); },
        [](const SysexSegment &) {});
    return messages;
}

const MIDIMessage *SysexReassembler::add(const SysexSegment &segment)
{
    using Kind = SysexSegment::Kind;
    auto &bytes = m_message.bytes;
    if (segment.kind == Kind::first) {
        bytes.assign(1, kSysexStart);
        m_open = true;
    } else if (!m_open) {
        return nullptr; // orphan continuation
    }
    if (segment.kind == Kind::cancel) {
        reset();
        return nullptr;
    }
    // Room for the data and the closing F7.
    if (bytes.size() + segment.data.size() + 1 > maxSysexBytes) {
        reset();
        return nullptr;
    }
    bytes.insert(bytes.end(), segment.data.begin(), segment.data.end());
    if (segment.kind != Kind::last)
        return nullptr;
    bytes.push_back(kSysexEnd);
    m_open = false;
    return &m_message;
}

void SysexReassembler::reset()
{
    m_open = false;
    m_message.bytes = Bytes();
}

std::size_t encodeRTPInto(const MIDIMessage &message, std::uint16_t sequence, std::uint32_t timestamp,
                          std::uint32_t ssrc, std::span<std::uint8_t> out)
{
    const std::size_t length = message.bytes.size();
    const std::size_t total = rtpHeaderSize + (length <= 15 ? 1 : 2) + length;
    if (length > maxCommandListLength || total > out.size())
        return 0;
    std::size_t i = 0;
    out[i++] = 0x80;
    out[i++] = rtpPayloadType;
    out[i++] = static_cast<std::uint8_t>(sequence >> 8);
    out[i++] = static_cast<std::uint8_t>(sequence);
    for (const std::uint32_t v : {timestamp, ssrc}) {
        out[i++] = static_cast<std::uint8_t>(v >> 24);
        out[i++] = static_cast<std::uint8_t>(v >> 16);
        out[i++] = static_cast<std::uint8_t>(v >> 8);
        out[i++] = static_cast<std::uint8_t>(v);
    }
    if (length <= 15) {
        out[i++] = static_cast<std::uint8_t>(length);
    } else {
        out[i++] = static_cast<std::uint8_t>(0x80 | ((length >> 8) & 0x0F));
        out[i++] = static_cast<std::uint8_t>(length & 0xFF);
    }
    std::copy(message.bytes.begin(), message.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(i));
    return total;
}

std::string decodeUTF8Lossy(ByteView bytes)
{
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Expected continuation count and the allowed range of the first
        // continuation byte (rules out overlongs, surrogates, > U+10FFFF).
        std::size_t need = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead == 0xE0) {
            need = 2, lo = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            need = 2;
        } else if (lead == 0xED) {
            need = 2, hi = 0x9F;
        } else if (lead == 0xF0) {
            need = 3, lo = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            need = 3;
        } else if (lead == 0xF4) {
            need = 3, hi = 0x8F;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::size_t got = 0;
        while (got < need && j < n) {
            const std::uint8_t c = bytes[j];
            const bool ok = got == 0 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
            if (!ok)
                break;
            ++j;
            ++got;
        }
        if (got == need)
            out.append(reinterpret_cast<const char *>(bytes.data() + i), j - i);
        else
            out += kReplacement;
        i = j;
    }
    return out;
}

} // namespace korvane::AppleMIDI
