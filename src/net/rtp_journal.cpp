#include "net/rtp_journal.h"

#include <algorithm>

namespace korvane::RecoveryJournal {

namespace {

constexpr std::uint8_t kS = 0x80;
// Channel journal chapter flags (RFC 6295 section 5.2).
constexpr std::uint8_t kP = 0x80, kC = 0x40, kM = 0x20, kW = 0x10, kN = 0x08, kE = 0x04, kT = 0x02, kA = 0x01;
constexpr std::size_t kMaxNoteLogs = 127; // LEN is 7 bits; 128 logs would leave no OFFBITS
constexpr std::size_t kMaxControllerLogs = 128;

std::size_t tenBits(ByteView b, std::size_t at)
{
    return (std::size_t{b[at] & 0x03u} << 8) | b[at + 1];
}

// Size of a chapter made of a `S|LEN` byte and LEN + 1 two-byte logs (C, E, A),
// or 0 when it does not fit in `room`.
std::size_t loggedChapterSize(ByteView b, std::size_t at, std::size_t room)
{
    if (room < 1)
        return 0;
    const std::size_t size = 1 + 2 * ((b[at] & 0x7Fu) + 1);
    return size <= room ? size : 0;
}

bool decodeNotes(ByteView b, std::size_t at, std::size_t room, ChannelJournal &ch, std::size_t &size)
{
    if (room < 2)
        return false;
    std::size_t logs = b[at] & 0x7F;
    const unsigned low = b[at + 1] >> 4, high = b[at + 1] & 0x0F;
    std::size_t offOctets = low <= high ? high - low + 1 : 0;
    if (logs == 127 && low == 15 && high == 0) // A.6: 128 logs, no OFFBITS
        logs = 128;
    size = 2 + 2 * logs + offOctets;
    if (size > room)
        return false;
    ch.hasNoteChapter = true;
    for (std::size_t i = 0; i < logs; ++i) {
        const std::size_t p = at + 2 + 2 * i;
        ch.notes.push_back({static_cast<std::uint8_t>(b[p] & 0x7F),
                            static_cast<std::uint8_t>(b[p + 1] & 0x7F), (b[p + 1] & 0x80) != 0});
    }
    for (std::size_t i = 0; i < offOctets; ++i) {
        const std::uint8_t bits = b[at + 2 + 2 * logs + i];
        for (unsigned k = 0; k < 8; ++k) {
            if (bits & (0x80u >> k))
                ch.offBits.set((low + i) * 8 + k);
        }
    }
    return true;
}

bool decodeControllers(ByteView b, std::size_t at, std::size_t room, ChannelJournal &ch, std::size_t &size)
{
    size = loggedChapterSize(b, at, room);
    if (size == 0)
        return false;
    for (std::size_t p = at + 1; p + 1 < at + size; p += 2) {
        ControllerLog log;
        log.number = b[p] & 0x7F;
        const std::uint8_t v = b[p + 1];
        if (!(v & 0x80)) {
            log.tool = ControllerLog::Tool::value;
            log.value = v & 0x7F;
        } else {
            log.tool = (v & 0x40) ? ControllerLog::Tool::toggle : ControllerLog::Tool::count;
            log.value = v & 0x3F;
        }
        ch.controllers.push_back(log);
    }
    return true;
}

// One channel journal at b[at], within `room` bytes; its length in `length`.
bool decodeChannel(ByteView b, std::size_t at, std::size_t room, ChannelJournal &ch, std::size_t &length)
{
    if (room < 3)
        return false;
    length = tenBits(b, at);
    if (length < 3 || length > room)
        return false;
    ch.channel = static_cast<std::uint8_t>((b[at] >> 3) & 0x0F);
    const std::uint8_t chapters = b[at + 2];
    std::size_t p = at + 3;
    const std::size_t end = at + length;
    std::size_t size = 0;
    if (chapters & kP) {
        if (end - p < 3)
            return false;
        ProgramLog program;
        program.program = b[p] & 0x7F;
        if (b[p + 1] & 0x80) {
            program.bankMSB = b[p + 1] & 0x7F;
            program.bankLSB = b[p + 2] & 0x7F;
        }
        ch.program = program;
        p += 3;
    }
    if (chapters & kC) {
        if (!decodeControllers(b, p, end - p, ch, size))
            return false;
        p += size;
    }
    if (chapters & kM) {
        if (end - p < 2)
            return false;
        size = tenBits(b, p);
        if (size < 2 || size > end - p)
            return false;
        p += size;
    }
    if (chapters & kW) {
        if (end - p < 2)
            return false;
        ch.pitchWheel = static_cast<std::uint16_t>((b[p] & 0x7F) | ((b[p + 1] & 0x7F) << 7));
        p += 2;
    }
    if (chapters & kN) {
        if (!decodeNotes(b, p, end - p, ch, size))
            return false;
        p += size;
    }
    if (chapters & kE) {
        size = loggedChapterSize(b, p, end - p);
        if (size == 0)
            return false;
        p += size;
    }
    if (chapters & kT) {
        if (end - p < 1)
            return false;
        p += 1;
    }
    if (chapters & kA) {
        size = loggedChapterSize(b, p, end - p);
        if (size == 0)
            return false;
    }
    return true;
}

std::size_t noteChapterSize(const ChannelJournal &ch, unsigned &low, unsigned &high)
{
    low = 15;
    high = 0;
    if (ch.offBits.any()) {
        unsigned first = 127, last = 0;
        for (unsigned n = 0; n < 128; ++n) {
            if (ch.offBits.test(n)) {
                first = std::min(first, n);
                last = n;
            }
        }
        low = first / 8;
        high = last / 8;
    }
    const std::size_t logs = std::min(ch.notes.size(), kMaxNoteLogs);
    return 2 + 2 * logs + (low <= high ? high - low + 1 : 0);
}

std::size_t channelSize(const ChannelJournal &ch)
{
    std::size_t size = 3;
    if (ch.program)
        size += 3;
    if (!ch.controllers.empty())
        size += 1 + 2 * std::min(ch.controllers.size(), kMaxControllerLogs);
    if (ch.pitchWheel)
        size += 2;
    if (ch.hasNoteChapter) {
        unsigned low, high;
        size += noteChapterSize(ch, low, high);
    }
    return size;
}

} // namespace

ChannelJournal &reuseChannel(Journal &journal, std::size_t index)
{
    if (journal.channels.size() <= index)
        journal.channels.resize(index + 1);
    ChannelJournal &ch = journal.channels[index];
    ch.program.reset();
    ch.controllers.clear();
    ch.pitchWheel.reset();
    ch.notes.clear();
    ch.offBits.reset();
    ch.hasNoteChapter = false;
    return ch;
}

ControllerLog::Tool toolFor(std::uint8_t controller)
{
    if (controller >= 64 && controller <= 69)
        return ControllerLog::Tool::toggle;
    if (controller == 120 || controller == 121 || controller >= 123)
        return ControllerLog::Tool::count;
    return ControllerLog::Tool::value;
}

bool decode(ByteView b, Journal &out)
{
    if (b.size() < 3)
        return false;
    out.singleLoss = (b[0] & kS) != 0;
    out.checkpoint = static_cast<std::uint16_t>((b[1] << 8) | b[2]);
    std::size_t p = 3;
    if (b[0] & 0x40) { // Y: system journal, stepped over
        if (b.size() - p < 2)
            return false;
        const std::size_t length = tenBits(b, p);
        if (length < 2 || length > b.size() - p)
            return false;
        p += length;
    }
    // A clear: no channel journals (TOTCHAN ignored).
    const std::size_t count = (b[0] & 0x20) ? (b[0] & 0x0Fu) + 1 : 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = 0;
        if (!decodeChannel(b, p, b.size() - p, reuseChannel(out, i), length))
            return false;
        p += length;
    }
    out.channels.resize(count);
    return true;
}

std::optional<Journal> decode(ByteView bytes)
{
    Journal journal;
    if (!decode(bytes, journal))
        return std::nullopt;
    return journal;
}

std::size_t encodedSize(const Journal &journal)
{
    std::size_t size = 3;
    for (const auto &ch : journal.channels)
        size += channelSize(ch);
    return size;
}

void encode(const Journal &journal, Bytes &out)
{
    const std::size_t channels = std::min<std::size_t>(journal.channels.size(), 16);
    // Every S bit (and chapter N's B bit) stays 0, as Apple's peers send them:
    // S = 1 tells a receiver that lost only the previous packet that the
    // structure holds nothing of it and may be skipped (RFC 6295 appendix A.1),
    // and our structures always may.
    std::uint8_t header = 0;
    if (channels > 0)
        header |= 0x20 | static_cast<std::uint8_t>(channels - 1);
    out.push_back(header);
    AppleMIDI::appendUInt16(out, journal.checkpoint);
    for (std::size_t c = 0; c < channels; ++c) {
        const ChannelJournal &ch = journal.channels[c];
        const std::size_t length = channelSize(ch);
        out.push_back(static_cast<std::uint8_t>(((ch.channel & 0x0F) << 3) | ((length >> 8) & 0x03)));
        out.push_back(static_cast<std::uint8_t>(length));
        std::uint8_t chapters = 0;
        chapters |= ch.program ? kP : 0;
        chapters |= ch.controllers.empty() ? 0 : kC;
        chapters |= ch.pitchWheel ? kW : 0;
        chapters |= ch.hasNoteChapter ? kN : 0;
        out.push_back(chapters);
        if (ch.program) {
            const bool bank = ch.program->bankMSB.has_value();
            out.push_back(ch.program->program & 0x7F);
            out.push_back(
                static_cast<std::uint8_t>((bank ? 0x80 : 0) | (ch.program->bankMSB.value_or(0) & 0x7F)));
            out.push_back(ch.program->bankLSB.value_or(0) & 0x7F);
        }
        if (!ch.controllers.empty()) {
            const std::size_t logs = std::min(ch.controllers.size(), kMaxControllerLogs);
            out.push_back(static_cast<std::uint8_t>(logs - 1));
            for (std::size_t i = 0; i < logs; ++i) {
                const ControllerLog &log = ch.controllers[i];
                out.push_back(log.number & 0x7F);
                switch (log.tool) {
                case ControllerLog::Tool::value:
                    out.push_back(log.value & 0x7F);
                    break;
                case ControllerLog::Tool::toggle:
                    out.push_back(static_cast<std::uint8_t>(0xC0 | (log.value & 0x3F)));
                    break;
                case ControllerLog::Tool::count:
                    out.push_back(static_cast<std::uint8_t>(0x80 | (log.value & 0x3F)));
                    break;
                }
            }
        }
        if (ch.pitchWheel) {
            out.push_back(static_cast<std::uint8_t>(*ch.pitchWheel & 0x7F));
            out.push_back(static_cast<std::uint8_t>((*ch.pitchWheel >> 7) & 0x7F));
        }
        if (ch.hasNoteChapter) {
            unsigned low, high;
            noteChapterSize(ch, low, high);
            const std::size_t logs = std::min(ch.notes.size(), kMaxNoteLogs);
            out.push_back(static_cast<std::uint8_t>(logs));
            out.push_back(static_cast<std::uint8_t>((low << 4) | high));
            for (std::size_t i = 0; i < logs; ++i) {
                out.push_back(ch.notes[i].note & 0x7F);
                out.push_back(
                    static_cast<std::uint8_t>((ch.notes[i].play ? 0x80 : 0) | (ch.notes[i].velocity & 0x7F)));
            }
            for (unsigned octet = low; octet <= high && low <= high; ++octet) {
                std::uint8_t bits = 0;
                for (unsigned k = 0; k < 8; ++k)
                    bits |= ch.offBits.test(octet * 8 + k) ? (0x80u >> k) : 0;
                out.push_back(bits);
            }
        }
    }
}

} // namespace korvane::RecoveryJournal
