// libFuzzer target for the AppleMIDI / RTP-MIDI decoders. Besides memory
// safety it checks that what decodes re-encodes to something that decodes
// to the same value.

#include "net/apple_midi.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace korvane::AppleMIDI;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const ByteView bytes(data, size);
    (void)isSessionCommand(bytes);

    if (const auto exchange = decodeExchange(bytes)) {
        if (decodeExchange(encodeExchange(*exchange)) != exchange)
            std::abort();
    }
    if (const auto sync = decodeClock(bytes)) {
        if (decodeClock(encodeClock(*sync)) != sync)
            std::abort();
    }
    const auto messages = decodeRTP(bytes);
    std::size_t streamed = 0;
    decodeRTP(bytes, [&](const korvane::MIDIMessage &m) {
        if (streamed >= messages.size() || m != messages[streamed++])
            std::abort();
    });
    if (streamed != messages.size())
        std::abort();
    // Segments of the input go through a reassembler (memory safety, cap).
    SysexReassembler fromInput;
    decodeRTP(
        bytes, [](const korvane::MIDIMessage &) {},
        [&](const SysexSegment &segment) {
            if (const auto *whole = fromInput.add(segment); whole && whole->bytes.size() > size)
                std::abort();
        });
    for (const auto &message : messages) {
        if (message.bytes.empty() || message.bytes.size() > size)
            std::abort();
        // Re-encoded, segmented or not, and decoded again: the same message.
        SysexReassembler reassembler;
        std::vector<korvane::MIDIMessage> again;
        for (const auto &packet : encodeRTPPackets(message, 0xFFFF, 1, 2)) {
            // Segments fit the usual packet; an unsegmentable message may
            // take one larger packet, never more than the length field allows.
            if (packet.size() > rtpHeaderSize + 2 + maxCommandListLength)
                std::abort();
            decodeRTP(
                packet, [&](const korvane::MIDIMessage &m) { again.push_back(m); },
                [&](const SysexSegment &segment) {
                    if (const auto *whole = reassembler.add(segment))
                        again.push_back(*whole);
                });
        }
        if (again.size() != 1 || again[0] != message)
            std::abort();
    }
    return 0;
}
