#include "net/rtp_send_path.h"

// The session's send FIFO (RTPSendPath): used from any thread, under its lock.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvane {

namespace {

constexpr std::size_t kCommandHeaderOffset = AppleMIDI::rtpHeaderSize; // our packets carry no CSRC
constexpr std::uint8_t kJournalFlag = 0x40;

bool isRealtime(const std::vector<std::uint8_t> &bytes)
{
    return bytes.size() == 1 && bytes[0] >= 0xF8;
}

bool segmentable(const std::vector<std::uint8_t> &bytes)
{
    return bytes.size() > 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7 &&
           std::all_of(bytes.begin() + 1, bytes.end() - 1, [](auto b) { return b < 0x80; });
}

// The command list of one of our unnumbered packets (header and list only).
AppleMIDI::ByteView commandListOf(const AppleMIDI::Bytes &packet)
{
    const std::size_t start = kCommandHeaderOffset + ((packet[kCommandHeaderOffset] & 0x80) ? 2 : 1);
    return AppleMIDI::ByteView(packet.data() + start, packet.size() - start);
}

} // namespace

void RTPSendPath::wake() const
{
    const std::uint64_t one = 1;
    if (wakeFD >= 0)
        (void)::write(wakeFD, &one, sizeof one);
}

void RTPSendPath::number(AppleMIDI::Bytes &packet, bool journalled, bool &numbered)
{
    if (numbered)
        return;
    numbered = true;
    const auto seq = ++sequence;
    const auto now = Clock::now();
    // Taken under the same lock as the sequence number, so stamps never go
    // backwards while sequence numbers go forwards.
    const auto stamp = static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count()) /
        100000u);
    packet[2] = static_cast<std::uint8_t>(seq >> 8);
    packet[3] = static_cast<std::uint8_t>(seq);
    packet[4] = static_cast<std::uint8_t>(stamp >> 24);
    packet[5] = static_cast<std::uint8_t>(stamp >> 16);
    packet[6] = static_cast<std::uint8_t>(stamp >> 8);
    packet[7] = static_cast<std::uint8_t>(stamp);
    if (!journal)
        return;
    // The journal covers the packets before this one; this one's command is
    // recorded after it is written.
    m_journalBytes.clear();
    journal->appendJournal(seq, m_journalBytes);
    const auto list = commandListOf(packet);
    if (list.empty())
        journal->guardSent(seq, now);
    else
        journal->record(seq, journalled ? list : AppleMIDI::ByteView(), now);
    packet[kCommandHeaderOffset] |= kJournalFlag;
    packet.insert(packet.end(), m_journalBytes.begin(), m_journalBytes.end());
    if (!guardArmed) {
        guardArmed = true;
        wake(); // the session thread times the guard packets
    }
}

bool RTPSendPath::sendToPeers(const AppleMIDI::Bytes &packet, std::size_t &next)
{
    for (; next < peers.size(); ++next) {
        const auto &to = peers[next];
        const long sent = sendFunction ? sendFunction(dataFD, packet.data(), packet.size(), to)
                                       : ::sendto(dataFD, packet.data(), packet.size(), MSG_DONTWAIT,
                                                  reinterpret_cast<const sockaddr *>(&to), sizeof to);
        if (sent >= 0)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return false;
        lastError = errno;
        ++dropped;
    }
    return true;
}

void RTPSendPath::enqueue(Item item)
{
    std::size_t bytes = 0;
    for (const auto &p : item.packets)
        bytes += p.size();
    if (queue.size() >= maxQueued || queuedBytes + bytes > maxQueuedBytes) {
        lastError = queueFull;
        ++dropped;
        return;
    }
    queuedBytes += bytes;
    auto at = queue.end();
    if (item.realtime) {
        // Ahead of every queued message but one already on its way, and
        // behind real-time bytes queued before it.
        at = queue.begin();
        if (at != queue.end() && at->started())
            ++at;
        while (at != queue.end() && at->realtime)
            ++at;
    }
    queue.insert(at, std::move(item));
    wake();
}

void RTPSendPath::send(const MIDIMessage &message)
{
    const auto &bytes = message.bytes;
    if (bytes.empty())
        return;
    // Encoded outside the lock; numbered when each packet first leaves.
    const std::size_t journalRoom = journal ? RecoveryJournal::JournalSender::maxBytes : 0;
    const std::size_t singleList = AppleMIDI::maxDataPacketSize - AppleMIDI::rtpHeaderSize - 2 - journalRoom;
    if (bytes.size() > singleList && segmentable(bytes)) {
        Item item;
        item.packets =
            AppleMIDI::encodeRTPPackets(message, 0, 0, ssrc, AppleMIDI::maxDataPacketSize - journalRoom);
        item.segmented = true;
        std::lock_guard lock(mutex);
        if (dataFD >= 0 && !peers.empty())
            enqueue(std::move(item));
        return;
    }
    // The usual case reuses this thread's buffer: no allocation unless it waits.
    thread_local AppleMIDI::Bytes packet;
    packet.resize(AppleMIDI::rtpHeaderSize + 2 + AppleMIDI::maxCommandListLength);
    packet.resize(AppleMIDI::encodeRTPInto(message, 0, 0, ssrc, packet));
    std::lock_guard lock(mutex);
    if (dataFD < 0 || peers.empty())
        return; // nobody to send to: nothing is lost, the sequence number only counts packets that left
    if (packet.empty()) {
        lastError = tooLong; // longer than one command list and not segmentable
        ++dropped;
        return;
    }
    Item item;
    item.realtime = isRealtime(bytes);
    if (!queue.empty()) {
        item.packets.push_back(packet);
        enqueue(std::move(item));
        return;
    }
    number(packet, true, item.numbered);
    if (!sendToPeers(packet, item.nextPeer)) {
        queuedBytes += packet.size();
        item.packets.push_back(packet);
        queue.push_back(std::move(item)); // numbered: first in line
        wake();
    }
}

bool RTPSendPath::pump(int segments)
{
    while (true) {
        std::lock_guard lock(mutex);
        if (dataFD < 0 || peers.empty()) {
            discard();
            return true;
        }
        if (queue.empty())
            return true;
        Item &item = queue.front();
        auto &packet = item.packets[item.next];
        number(packet, !item.segmented, item.numbered);
        if (!sendToPeers(packet, item.nextPeer))
            return false;
        queuedBytes -= std::min(queuedBytes, packet.size());
        item.numbered = false;
        item.nextPeer = 0;
        const bool segment = item.segmented;
        if (++item.next == item.packets.size())
            queue.pop_front();
        // One packet per lock, so senders wait for one packet at most.
        if (segment && --segments <= 0)
            return true;
    }
}

std::optional<RTPSendPath::Clock::time_point> RTPSendPath::guardDue()
{
    std::lock_guard lock(mutex);
    const auto due = journal && queue.empty() && !peers.empty() ? journal->guardDue() : std::nullopt;
    guardArmed = due.has_value();
    return due;
}

void RTPSendPath::sendGuard()
{
    std::lock_guard lock(mutex);
    if (!journal || dataFD < 0 || peers.empty() || !queue.empty())
        return;
    AppleMIDI::Bytes packet = AppleMIDI::encodeRTP(MIDIMessage(), 0, 0, ssrc);
    bool numbered = false;
    number(packet, false, numbered);
    std::size_t next = 0;
    if (!sendToPeers(packet, next))
        return; // a full socket: the next data or guard packet carries the journal
}

void RTPSendPath::discard()
{
    queue.clear();
    queuedBytes = 0;
}

} // namespace korvane
