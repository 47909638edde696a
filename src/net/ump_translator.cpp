#include "net/ump_translator.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr std::uint8_t kSysexStart = 0xF0;
constexpr std::uint8_t kSysexEnd = 0xF7;
constexpr std::size_t kSysexPiece = 6;

bool undefinedSystem(std::uint8_t status)
{
    return status == 0xF4 || status == 0xF5 || status == 0xF9 || status == 0xFD;
}

bool allData(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; });
}

std::uint32_t head(std::uint32_t type, std::uint8_t group, std::uint32_t rest)
{
    return (type << 28) | (std::uint32_t{group} << 24) | rest;
}

// A byte of a big-endian word, 0 being the most significant.
std::uint8_t byteOf(std::uint32_t word, int index)
{
    return static_cast<std::uint8_t>(word >> (24 - 8 * index));
}

} // namespace

UMP::UMP(std::initializer_list<std::uint32_t> w)
    : size(static_cast<std::uint8_t>(std::min<std::size_t>(w.size(), 4)))
{
    std::copy_n(w.begin(), size, words.begin());
}

std::size_t UMPTranslator::wordCount(std::uint32_t firstWord)
{
    static constexpr std::uint8_t kWords[16] = {1, 1, 1, 2, 2, 4, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4};
    return kWords[firstWord >> 28];
}

bool UMPTranslator::toUMP(std::span<const std::uint8_t> m, std::uint8_t group, std::vector<UMP> &out)
{
    group &= 0x0F;
    if (m.empty())
        return false;
    const std::uint8_t status = m[0];
    if (status == kSysexStart) {
        auto data = m.subspan(1);
        if (!data.empty() && data.back() == kSysexEnd)
            data = data.first(data.size() - 1);
        if (!allData(data))
            return false;
        const std::size_t pieces = std::max<std::size_t>(1, (data.size() + kSysexPiece - 1) / kSysexPiece);
        for (std::size_t p = 0; p < pieces; ++p) {
            const auto piece =
                data.subspan(p * kSysexPiece, std::min(kSysexPiece, data.size() - p * kSysexPiece));
            const std::uint32_t kind = pieces == 1 ? 0 : p == 0 ? 1 : p + 1 == pieces ? 3 : 2;
            std::uint8_t b[kSysexPiece] = {};
            std::copy(piece.begin(), piece.end(), b);
            out.push_back(
                UMP{head(3, group, (kind << 20) | (std::uint32_t(piece.size()) << 16) | (b[0] << 8) | b[1]),
                    (std::uint32_t{b[2]} << 24) | (b[3] << 16) | (b[4] << 8) | b[5]});
        }
        return true;
    }
    if (status < 0x80 || status == kSysexEnd || undefinedSystem(status))
        return false;
    const auto n = static_cast<std::size_t>(midiDataByteCount(status));
    if (m.size() != 1 + n || !allData(m.subspan(1)))
        return false;
    const std::uint32_t d1 = n > 0 ? m[1] : 0, d2 = n > 1 ? m[2] : 0;
    out.push_back(UMP{head(status < 0xF0 ? 2 : 1, group, (std::uint32_t{status} << 16) | (d1 << 8) | d2)});
    return true;
}

void UMPTranslator::emitBytes(std::initializer_list<std::uint8_t> bytes,
                              const std::function<void(const MIDIMessage &)> &emit)
{
    m_scratch.bytes.assign(bytes);
    emit(m_scratch);
}

int UMPTranslator::reset()
{
    const bool wasOpen = m_open;
    m_open = false;
    m_discarding = m_discarding || wasOpen;
    m_sysex.bytes.clear();
    m_sysex.bytes.shrink_to_fit();
    return wasOpen ? 1 : 0;
}

UMPTranslator::Result UMPTranslator::fromUMP(std::span<const std::uint32_t> ump,
                                             const std::function<void(const MIDIMessage &)> &emit)
{
    if (ump.empty() || ump.size() < wordCount(ump[0]))
        return {false, 1};
    const std::uint32_t w0 = ump[0];
    const std::uint32_t type = w0 >> 28;
    if (type == 0xF)
        return {true, 0};
    if (type == 0)
        return {false, ((w0 >> 20) & 0x0F) == 0 ? 0 : 1}; // NOOP carries nothing
    if (((w0 >> 24) & 0x0F) != m_group)
        return {false, 1};
    const std::uint8_t status = byteOf(w0, 1), d1 = byteOf(w0, 2), d2 = byteOf(w0, 3);
    switch (type) {
    case 1:
        if (status < 0xF1 || status == kSysexEnd || undefinedSystem(status) || ((d1 | d2) & 0x80))
            return {false, 1};
        m_scratch.bytes.assign({status, d1, d2});
        m_scratch.bytes.resize(1 + static_cast<std::size_t>(midiDataByteCount(status)));
        emit(m_scratch);
        return {};
    case 2:
        if (status < 0x80 || status >= 0xF0 || ((d1 | d2) & 0x80))
            return {false, 1};
        m_scratch.bytes.assign({status, d1, d2});
        m_scratch.bytes.resize(1 + static_cast<std::size_t>(midiDataByteCount(status)));
        emit(m_scratch);
        return {};
    case 3:
        return sysex(w0, ump[1], emit);
    case 4:
        return midi2(w0, ump[1], emit);
    default:
        return {false, 1};
    }
}

UMPTranslator::Result UMPTranslator::sysex(std::uint32_t w0, std::uint32_t w1,
                                           const std::function<void(const MIDIMessage &)> &emit)
{
    const std::uint32_t kind = (w0 >> 20) & 0x0F;
    const std::size_t count = (w0 >> 16) & 0x0F;
    const std::uint8_t b[kSysexPiece] = {byteOf(w0, 2), byteOf(w0, 3), byteOf(w1, 0),
                                         byteOf(w1, 1), byteOf(w1, 2), byteOf(w1, 3)};
    const bool valid = count <= kSysexPiece && kind <= 3 && allData({b, count});
    const bool starts = kind == 0 || kind == 1;
    Result result;
    if (starts) {
        result.dropped += reset(); // a message left open is lost
        m_discarding = false;
    } else if (!m_open) {
        // A piece of a message abandoned earlier is silent; a stray one counts.
        result.dropped += m_discarding ? 0 : 1;
        m_discarding = kind == 2 && (m_discarding || valid);
        return result;
    }
    if (!valid || (m_open ? m_sysex.bytes.size() : 1) + count + 1 > maxSysexBytes) {
        if (starts)
            m_open = true; // so that reset() counts it once and silences the rest
        result.dropped += reset();
        if (kind == 0 || kind == 3)
            m_discarding = false;
        return result;
    }
    if (starts) {
        m_sysex.bytes.assign(1, kSysexStart);
        m_open = true;
    }
    m_sysex.bytes.insert(m_sysex.bytes.end(), b, b + count);
    if (kind == 0 || kind == 3) {
        m_sysex.bytes.push_back(kSysexEnd);
        m_open = false;
        emit(m_sysex);
        m_sysex.bytes.clear();
    }
    return result;
}

UMPTranslator::Result UMPTranslator::midi2(std::uint32_t w0, std::uint32_t data,
                                           const std::function<void(const MIDIMessage &)> &emit)
{
    const std::uint8_t channel = (w0 >> 16) & 0x0F;
    const std::uint8_t index1 = byteOf(w0, 2) & 0x7F, index2 = byteOf(w0, 3) & 0x7F;
    const auto top7 = static_cast<std::uint8_t>(data >> 25);
    const auto cc = static_cast<std::uint8_t>(0xB0 | channel);
    const std::uint32_t fourteen = data >> 18;
    const auto msb = static_cast<std::uint8_t>(fourteen >> 7),
               lsb = static_cast<std::uint8_t>(fourteen & 0x7F);
    switch ((w0 >> 20) & 0x0F) {
    case 0x2: // registered controller: bank and index, then the 14-bit value
    case 0x3: {
        const bool registered = ((w0 >> 20) & 0x0F) == 0x2;
        emitBytes({cc, static_cast<std::uint8_t>(registered ? 101 : 99), index1}, emit);
        emitBytes({cc, static_cast<std::uint8_t>(registered ? 100 : 98), index2}, emit);
        emitBytes({cc, 6, msb}, emit);
        emitBytes({cc, 38, lsb}, emit);
        return {};
    }
    case 0x8:
        emitBytes({static_cast<std::uint8_t>(0x80 | channel), index1, static_cast<std::uint8_t>(data >> 25)},
                  emit);
        return {};
    case 0x9: {
        const auto velocity = static_cast<std::uint8_t>(data >> 25);
        emitBytes({static_cast<std::uint8_t>(0x90 | channel), index1, std::max<std::uint8_t>(velocity, 1)},
                  emit);
        return {};
    }
    case 0xA:
        emitBytes({static_cast<std::uint8_t>(0xA0 | channel), index1, top7}, emit);
        return {};
    case 0xB:
        emitBytes({cc, index1, top7}, emit);
        return {};
    case 0xC:
        if (w0 & 0x01) { // bank valid
            emitBytes({cc, 0, static_cast<std::uint8_t>((data >> 8) & 0x7F)}, emit);
            emitBytes({cc, 32, static_cast<std::uint8_t>(data & 0x7F)}, emit);
        }
        emitBytes({static_cast<std::uint8_t>(0xC0 | channel), static_cast<std::uint8_t>((data >> 24) & 0x7F)},
                  emit);
        return {};
    case 0xD:
        emitBytes({static_cast<std::uint8_t>(0xD0 | channel), top7}, emit);
        return {};
    case 0xE:
        emitBytes({static_cast<std::uint8_t>(0xE0 | channel), lsb, msb}, emit);
        return {};
    default: // per-note controllers and management have no MIDI 1.0 form
        return {false, 1};
    }
}

} // namespace korvane
