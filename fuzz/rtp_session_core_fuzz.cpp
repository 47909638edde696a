// libFuzzer target for the RTP-MIDI session protocol: a stream of datagrams
// from a handful of senders on both sockets, with the clock moving between
// them. Checks memory safety and the bounds the session promises any peer:
// at most 32 peers, MIDI only from established ones, a bounded answer per
// datagram and at most 20 log lines a second (plus the summary line).

#include "net/rtp_session_core.h"

#include <cstdint>
#include <cstdlib>

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    RTPSessionConfig config;
    config.name = "F";
    if (size > 0 && (data[0] & 1)) {
        config.role = RTPRole::initiator;
        config.remoteHost = "remote";
        config.remotePort = 5004;
    }
    RTPSessionTiming timing;
    timing.livenessPeriod = std::chrono::milliseconds(100);
    timing.clockPeriod = std::chrono::milliseconds(100);
    timing.peerTimeout = std::chrono::milliseconds(300);
    timing.syncedPeerTimeout = std::chrono::milliseconds(600);
    timing.inviteFastPeriod = std::chrono::milliseconds(10);
    timing.inviteSlowPeriod = std::chrono::milliseconds(100);
    timing.feedbackPeriod = std::chrono::milliseconds(10);
    std::size_t delivered = 0;
    RTPSessionCore core(config, "K", 1, 2, timing, [&](const MIDIMessage &m, std::uint64_t) {
        if (m.bytes.empty())
            std::abort();
        ++delivered;
    });
    auto now = RTPSessionCore::TimePoint{} + std::chrono::hours(1);
    RTPSessionCore::Output out;
    core.started(now, out);
    if (out.resolve) {
        out.clear();
        core.remoteResolved(0x0A000001, now, out);
    }

    // Each record: flags (socket, sender, clock step), length, bytes.
    std::size_t i = 1;
    std::size_t logsThisSecond = 0;
    auto secondStart = now;
    while (i + 2 <= size) {
        const std::uint8_t flags = data[i];
        const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
        const AppleMIDI::ByteView datagram(data + i + 2, length);
        i += 2 + length;
        now += std::chrono::milliseconds((flags >> 4) * 7);
        const NetAddress from{0x0A000001u + ((flags >> 1) & 3), static_cast<std::uint16_t>(5004 + ((flags >> 3) & 1))};
        out.clear();
        const std::size_t before = delivered;
        core.datagram(datagram, from, (flags & 1) ? RTPSocket::data : RTPSocket::control, now, out);
        const bool noPeer = core.establishedDataAddresses().empty();
        if (out.datagrams.size() > 2 || (noPeer && delivered != before && (flags & 1) == 0))
            std::abort();
        std::size_t lines = out.logs.size();
        out.clear();
        core.timers(now, out);
        lines += out.logs.size();
        if (now - secondStart >= std::chrono::seconds(1)) {
            secondStart = now;
            logsThisSecond = 0;
        }
        logsThisSecond += lines;
        if (core.peerLabels().size() > RTPSessionCore::maxPeers || logsThisSecond > 2 * (RTPSessionCore::maxLogLinesPerSecond + 1))
            std::abort();
        for (const auto &label : core.peerLabels())
            if (label.size() > 4 * RTPSessionCore::maxNameLength)
                std::abort();
    }
    out.clear();
    core.stop(now, out);
    return 0;
}
