// Feeds arbitrary bytes to one parser, cut into packets at positions taken
// from the input, and checks what every emitted message must look like.

#include "midi/midi_stream_parser.h"

#include <algorithm>
#include <cstdlib>

using korvane::MIDIMessage;
using korvane::MIDIStreamParser;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // First byte: packet length (1...256) for the whole run.
    const std::size_t packet = std::size_t{data[0]} + 1;
    ++data;
    --size;

    MIDIStreamParser parser;
    std::uint64_t stamp = 0;
    auto check = [&](MIDIMessage &&m) {
        if (m.bytes.empty() || m.bytes[0] < 0x80 || m.timestamp != stamp)
            std::abort();
        const std::uint8_t status = m.bytes[0];
        if (status == 0xF0) {
            if (m.bytes.size() > MIDIStreamParser::kMaxSysexBytes)
                std::abort();
            for (std::size_t i = 1; i < m.bytes.size(); ++i)
                if (m.bytes[i] >= 0x80 && !(i + 1 == m.bytes.size() && m.bytes[i] == 0xF7))
                    std::abort();
        } else {
            if (m.bytes.size() != std::size_t(korvane::midiDataByteCount(status)) + 1)
                std::abort();
            for (std::size_t i = 1; i < m.bytes.size(); ++i)
                if (m.bytes[i] >= 0x80)
                    std::abort();
        }
    };
    for (std::size_t pos = 0; pos < size; pos += packet) {
        ++stamp;
        parser.parse(data + pos, std::min(packet, size - pos), stamp, check);
    }
    return 0;
}
