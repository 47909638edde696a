#include "midi/midi_stream_parser.h"

namespace korvane {

namespace {

constexpr std::uint8_t kSysexStart = 0xF0;
constexpr std::uint8_t kSysexEnd = 0xF7;
constexpr std::uint8_t kFirstRealtime = 0xF8;

bool isStatus(std::uint8_t b)
{
    return (b & 0x80) != 0;
}

} // namespace

void MIDIStreamParser::parse(const std::uint8_t *data, std::size_t size, std::uint64_t timestamp,
                             const Emit &onMessage)
{
    if (data == nullptr)
        return;
    std::size_t i = 0;
    while (i < size) {
        if (m_inSysex || m_discardingSysex)
            i = stepInSysex(data, i, timestamp, onMessage);
        else
            i = stepOutsideSysex(data, size, i, timestamp, onMessage);
    }
}

std::size_t MIDIStreamParser::stepInSysex(const std::uint8_t *data, std::size_t i, std::uint64_t timestamp,
                                          const Emit &onMessage)
{
    const std::uint8_t b = data[i];
    if (b >= kFirstRealtime) {
        // Real-time bytes may appear anywhere and leave the collection alone.
        onMessage(MIDIMessage({b}, timestamp));
        return i + 1;
    }
    if (m_discardingSysex) {
        if (!isStatus(b))
            return i + 1;
        m_discardingSysex = false;
        // The terminator belongs to the dropped message; any other status
        // byte starts something new and is handled again.
        return b == kSysexEnd ? i + 1 : i;
    }
    if (b == kSysexEnd) {
        if (m_sysexBuffer.size() >= kMaxSysexBytes) {
            m_sysexBuffer.clear();
        } else {
            m_sysexBuffer.push_back(kSysexEnd);
            emitSysexBuffer(timestamp, onMessage);
        }
        m_inSysex = false;
        return i + 1;
    }
    if (isStatus(b)) {
        // Unterminated: hand over what was collected, then handle b afresh.
        emitSysexBuffer(timestamp, onMessage);
        m_inSysex = false;
        return i;
    }
    if (m_sysexBuffer.size() >= kMaxSysexBytes) {
        m_sysexBuffer.clear();
        m_inSysex = false;
        m_discardingSysex = true;
        return i + 1;
    }
    m_sysexBuffer.push_back(b);
    return i + 1;
}

std::size_t MIDIStreamParser::stepOutsideSysex(const std::uint8_t *data, std::size_t size, std::size_t i,
                                               std::uint64_t timestamp, const Emit &onMessage)
{
    const std::uint8_t b = data[i];
    if (b >= kFirstRealtime) {
        onMessage(MIDIMessage({b}, timestamp));
        return i + 1;
    }
    if (b == kSysexStart) {
        m_inSysex = true;
        m_sysexBuffer.clear();
        m_sysexBuffer.push_back(kSysexStart);
        m_runningStatus = 0;
        return i + 1;
    }
    if (isStatus(b)) {
        // System common messages cancel running status.
        m_runningStatus = b < 0xF0 ? b : 0;
        const auto n = static_cast<std::size_t>(midiDataByteCount(b));
        std::size_t j = i + 1;
        while (j < size && j - (i + 1) < n && !isStatus(data[j]))
            ++j;
        if (j - (i + 1) == n)
            onMessage(MIDIMessage(std::vector<std::uint8_t>(data + i, data + j), timestamp));
        return j;
    }
    if (m_runningStatus == 0)
        return i + 1;
    if (midiDataByteCount(m_runningStatus) == 1) {
        onMessage(MIDIMessage({m_runningStatus, b}, timestamp));
        return i + 1;
    }
    if (i + 1 < size && !isStatus(data[i + 1])) {
        onMessage(MIDIMessage({m_runningStatus, b, data[i + 1]}, timestamp));
        return i + 2;
    }
    return i + 1;
}

void MIDIStreamParser::emitSysexBuffer(std::uint64_t timestamp, const Emit &onMessage)
{
    // Copy out so the buffer keeps its capacity for the next message.
    MIDIMessage message(m_sysexBuffer, timestamp);
    m_sysexBuffer.clear();
    onMessage(std::move(message));
}

} // namespace korvane
