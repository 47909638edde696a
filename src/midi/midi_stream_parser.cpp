#include "midi/midi_stream_parser.h"

namespace korvane {

void MIDIStreamParser::parse(const std::uint8_t *data, std::size_t size, std::uint64_t timestamp,
                             const Emit &onMessage)
{
    if (data == nullptr)
        return;
    m_splitter.split(std::span<const std::uint8_t>(data, size), [&](const MIDIPiece &piece) {
        if (!piece.sysex) {
            onMessage(
                MIDIMessage(std::vector<std::uint8_t>(piece.bytes.begin(), piece.bytes.end()), timestamp));
            return;
        }
        if (piece.first) {
            m_sysexBuffer.clear();
            m_discardingSysex = false;
        }
        if (!m_discardingSysex) {
            if (m_sysexBuffer.size() + piece.bytes.size() > kMaxSysexBytes) {
                m_discardingSysex = true;
                m_sysexBuffer.clear();
            } else {
                m_sysexBuffer.insert(m_sysexBuffer.end(), piece.bytes.begin(), piece.bytes.end());
            }
        }
        if (piece.last && !m_discardingSysex) {
            // Copied out so the buffer keeps its capacity for the next message.
            MIDIMessage message(m_sysexBuffer, timestamp);
            m_sysexBuffer.clear();
            onMessage(std::move(message));
        }
    });
}

} // namespace korvane
