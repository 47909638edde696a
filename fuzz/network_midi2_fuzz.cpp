// libFuzzer target for Network MIDI 2.0: the command codec, the UMP
// translation and the session core, fed datagrams from a handful of senders
// (with or without the signature) and MIDI to send, the clock moving between
// them. Checks memory safety and the bounds the session promises any peer: at
// most 32 peers, nothing empty delivered, every message with its origin,
// datagrams within 1400 bytes, at most 20 log lines a second (plus the summary).

#include "net/network_midi2_session_core.h"

#include <cstdint>
#include <cstdlib>

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    NetworkMIDI2SessionConfig config;
    config.name = "F";
    const std::uint8_t setup = size > 0 ? data[0] : 0;
    if (setup & 1) {
        config.role = NetworkMIDI2Role::client;
        config.remoteHost = "remote";
    }
    config.fecDepth = (setup >> 1) & 3;
    config.retransmitBufferSize = (setup & 8) ? 0 : 20;
    config.group = (setup >> 4) & 1;
    NetworkMIDI2Timing timing;
    timing.pingPeriod = std::chrono::milliseconds(50);
    timing.peerTimeout = std::chrono::milliseconds(300);
    timing.inviteFastPeriod = std::chrono::milliseconds(10);
    timing.inviteSlowPeriod = std::chrono::milliseconds(100);
    timing.retransmitTimeout = std::chrono::milliseconds(5);
    timing.tailDelay = std::chrono::milliseconds(2);
    NetworkMIDI2SessionCore core(config, "K", "P", timing);
    auto now = NetworkMIDI2SessionCore::TimePoint{} + std::chrono::hours(1);
    NetworkMIDI2SessionCore::Output out;
    const auto check = [&] {
        for (const auto &r : out.received)
            if (r.message.bytes.empty() || r.origin == 0)
                std::abort();
        for (const auto &d : out.datagrams)
            if (d.size > NetworkMIDI2::maxDatagramSize || d.offset + d.size > out.bytes.size())
                std::abort();
        if (core.peerLabels().size() > NetworkMIDI2SessionCore::maxPeers)
            std::abort();
    };
    core.started(now, out);
    if (out.resolve) {
        out.clear();
        core.remoteResolved(0x0A000001, now, out);
    }

    // Each record: flags (sender, signature, send instead, clock step), length, bytes.
    std::size_t i = 1, logsThisSecond = 0;
    auto secondStart = now;
    while (i + 2 <= size) {
        const std::uint8_t flags = data[i];
        const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
        NetworkMIDI2::Bytes bytes;
        if (flags & 4)
            NetworkMIDI2::appendSignature(bytes);
        bytes.insert(bytes.end(), data + i + 2, data + i + 2 + length);
        i += 2 + length;
        now += std::chrono::milliseconds((flags >> 4) * 3);
        const NetAddress from{0x0A000001u + (flags & 3), 5673};
        out.clear();
        if (flags & 8)
            core.send(bytes, now, out);
        else
            core.datagram(bytes, from, now, out);
        check();
        std::size_t lines = out.logs.size();
        out.clear();
        core.timers(now, out);
        check();
        lines += out.logs.size();
        if (now - secondStart >= std::chrono::seconds(1)) {
            secondStart = now;
            logsThisSecond = 0;
        }
        logsThisSecond += lines;
        if (logsThisSecond > 2 * (NetworkMIDI2SessionCore::maxLogLinesPerSecond + 1))
            std::abort();
    }
    out.clear();
    core.stop(now, out);
    check();
    return 0;
}
