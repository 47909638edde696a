// libFuzzer target for the AppleMIDI / RTP-MIDI decoders. Besides memory
// safety it checks that what decodes re-encodes to something that decodes
// to the same value.

#include "net/apple_midi.h"

#include <cstdint>
#include <cstdlib>

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
    for (const auto &message : messages) {
        if (message.bytes.empty() || message.bytes.size() > size)
            std::abort();
        for (const auto &packet : encodeRTPPackets(message, 0xFFFF, 1, 2)) {
            if (packet.size() > maxDataPacketSize || decodeRTP(packet).empty())
                std::abort();
        }
    }
    return 0;
}
