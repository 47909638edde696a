#include "net/rtp_journal_state.h"

#include <algorithm>

namespace korvane::RecoveryJournal {

namespace {

using Tool = ControllerLog::Tool;

bool isNoteOn(std::uint8_t status, std::uint8_t velocity)
{
    return (status & 0xF0) == 0x90 && velocity > 0;
}

bool isNoteOff(std::uint8_t status, std::uint8_t velocity)
{
    return (status & 0xF0) == 0x80 || ((status & 0xF0) == 0x90 && velocity == 0);
}

// Commands after which a channel's earlier notes are silent (A.1: All Sound
// Off, All Notes Off and the mode commands that imply it).
bool endsNotes(std::uint8_t controller)
{
    return controller == 120 || controller >= 123;
}

// System Reset or a General MIDI system on/off message (universal non-real-time sysex).
bool isReset(ByteView m)
{
    if (m.size() == 1 && m[0] == 0xFF)
        return true;
    return m.size() == 6 && m[0] == 0xF0 && m[1] == 0x7E && m[3] == 0x09 && m[4] >= 1 && m[4] <= 3 &&
           m[5] == 0xF7;
}

struct ChannelCommand {
    std::uint8_t kind, channel, d1, d2;
};

// A whole channel message's parts; nothing for anything else.
std::optional<ChannelCommand> channelCommand(ByteView m)
{
    if (m.size() < 2 || m[0] < 0x80 || m[0] >= 0xF0)
        return std::nullopt;
    const bool twoBytes = (m[0] & 0xE0) == 0xC0; // program change, channel pressure
    if (!twoBytes && m.size() < 3)
        return std::nullopt;
    return ChannelCommand{static_cast<std::uint8_t>(m[0] & 0xF0), static_cast<std::uint8_t>(m[0] & 0x0F),
                          static_cast<std::uint8_t>(m[1] & 0x7F),
                          static_cast<std::uint8_t>(twoBytes ? 0 : m[2] & 0x7F)};
}

} // namespace

std::uint32_t JournalSender::extend(std::uint16_t sequence) const
{
    return m_last == 0 ? 1 : m_last + static_cast<std::uint16_t>(sequence - m_lastWire);
}

void JournalSender::resetChannel(Channel &channel)
{
    for (auto &note : channel.notes)
        note = Note{};
    for (auto &controller : channel.controllers)
        controller.seq = 0;
    channel.programSeq = channel.pitchSeq = 0;
}

void JournalSender::record(std::uint16_t sequence, ByteView m, TimePoint now)
{
    const std::uint32_t seq = extend(sequence);
    if (m_last == 0)
        m_checkpoint = seq;
    m_last = seq;
    m_lastWire = sequence;
    m_lastSent = now;
    m_guardInterval = firstGuard;
    if (!m_lastAck)
        m_lastAck = now; // the give-up time counts from the first packet
    if (m.empty())
        return;
    if (isReset(m)) {
        for (auto &channel : m_channels)
            resetChannel(channel);
        return;
    }
    const auto command = channelCommand(m);
    if (!command)
        return;
    const auto [kind, channel, d1, d2] = *command;
    Channel &ch = m_channels[channel];
    switch (kind) {
    case 0x80:
    case 0x90:
        if (isNoteOn(kind, d2)) {
            ch.notes[d1].onSeq = seq;
            ch.notes[d1].velocity = d2;
            ch.notes[d1].sounding = true;
        } else if (isNoteOff(kind, d2)) {
            ch.notes[d1].offSeq = seq;
            ch.notes[d1].sounding = false;
        }
        break;
    case 0xB0: {
        Controller &c = ch.controllers[d1];
        const Tool tool = toolFor(d1);
        if (tool == Tool::count || (tool == Tool::toggle && (d2 >= 64) != (c.value >= 64)))
            ++c.count;
        c.value = d2;
        c.seq = seq;
        if (endsNotes(d1)) {
            for (auto &note : ch.notes)
                note = Note{};
        }
        break;
    }
    case 0xC0:
        ch.program.program = d1;
        ch.program.bankMSB.reset();
        ch.program.bankLSB.reset();
        if (ch.controllers[0].seq != 0 || ch.controllers[32].seq != 0) {
            ch.program.bankMSB = ch.controllers[0].value;
            ch.program.bankLSB = ch.controllers[32].value;
        }
        ch.programSeq = seq;
        break;
    case 0xE0:
        ch.pitch = static_cast<std::uint16_t>(d1 | (d2 << 7));
        ch.pitchSeq = seq;
        break;
    default:
        return; // poly and channel pressure are not journalled
    }
    ch.lastSeq = seq;
    m_lastJournalled = seq;
}

void JournalSender::guardSent(std::uint16_t sequence, TimePoint now)
{
    const std::uint32_t seq = extend(sequence);
    if (m_last == 0)
        m_checkpoint = seq;
    m_last = seq;
    m_lastWire = sequence;
    m_lastSent = now;
    m_guardInterval = std::min(m_guardInterval * 2, std::chrono::milliseconds(lastGuard));
}

void JournalSender::acknowledge(std::uint16_t sequence, TimePoint now)
{
    if (m_last == 0)
        return;
    const std::uint16_t back = static_cast<std::uint16_t>(m_lastWire - sequence);
    if (back >= m_last)
        return; // older than anything recorded
    m_checkpoint = std::max(m_checkpoint, m_last - back + 1);
    m_lastAck = now;
}

std::optional<JournalSender::TimePoint> JournalSender::guardDue() const
{
    if (!m_lastSent || m_lastJournalled < m_checkpoint)
        return std::nullopt;
    const TimePoint due = *m_lastSent + m_guardInterval;
    if (m_lastAck && due - *m_lastAck > guardGiveUp)
        return std::nullopt;
    return due;
}

void JournalSender::build(Journal &journal) const
{
    const std::uint32_t cp = m_checkpoint;
    std::size_t count = 0;
    for (std::uint8_t c = 0; c < 16; ++c) {
        const Channel &ch = m_channels[c];
        if (ch.lastSeq < cp)
            continue;
        ChannelJournal &cj = reuseChannel(journal, count);
        cj.channel = c;
        if (ch.programSeq >= cp)
            cj.program = ch.program;
        for (std::uint8_t n = 0; n < 128; ++n) {
            const Controller &k = ch.controllers[n];
            if (k.seq >= cp) {
                const Tool tool = toolFor(n);
                cj.controllers.push_back(
                    {n, tool, static_cast<std::uint8_t>(tool == Tool::value ? k.value : k.count & 0x3F)});
            }
        }
        if (ch.pitchSeq >= cp)
            cj.pitchWheel = ch.pitch;
        for (std::uint8_t n = 0; n < 128; ++n) {
            const Note &note = ch.notes[n];
            if (note.onSeq >= cp && note.onSeq != 0)
                cj.notes.push_back({n, note.velocity, note.sounding});
            if (note.offSeq >= cp && note.offSeq != 0 && note.offSeq > note.onSeq)
                cj.offBits.set(n);
        }
        cj.hasNoteChapter = !cj.notes.empty() || cj.offBits.any();
        if (cj.program || !cj.controllers.empty() || cj.pitchWheel || cj.hasNoteChapter)
            ++count;
    }
    journal.channels.resize(count);
}

// The journal's size were its history to start at `from`, without building it.
std::size_t JournalSender::sizeFrom(std::uint32_t from) const
{
    std::size_t size = 3;
    for (const Channel &ch : m_channels) {
        if (ch.lastSeq < from)
            continue;
        std::size_t controllers = 0, logs = 0;
        int low = 16, high = -1;
        for (unsigned n = 0; n < 128; ++n) {
            controllers += ch.controllers[n].seq >= from ? 1 : 0;
            const Note &note = ch.notes[n];
            logs += note.onSeq >= from && note.onSeq != 0 ? 1 : 0;
            if (note.offSeq >= from && note.offSeq != 0 && note.offSeq > note.onSeq) {
                low = std::min(low, static_cast<int>(n / 8));
                high = static_cast<int>(n / 8);
            }
        }
        const std::size_t chapters =
            (ch.programSeq >= from ? 3 : 0) + (ch.pitchSeq >= from ? 2 : 0) +
            (controllers ? 1 + 2 * controllers : 0) +
            (logs || high >= 0 ? 2 + 2 * std::min<std::size_t>(logs, 127) + (high >= 0 ? high - low + 1 : 0)
                               : 0);
        size += chapters ? 3 + chapters : 0;
    }
    return size;
}

void JournalSender::appendJournal(std::uint16_t sequence, Bytes &out)
{
    build(m_scratch);
    // Over the cap: the checkpoint moves forward, just far enough (the size
    // only shrinks as it moves).
    if (encodedSize(m_scratch) > maxBytes) {
        std::uint32_t fits = m_last + 1, tooBig = m_checkpoint;
        while (fits - tooBig > 1) {
            const std::uint32_t middle = tooBig + (fits - tooBig) / 2;
            (sizeFrom(middle) > maxBytes ? tooBig : fits) = middle;
        }
        m_checkpoint = fits;
        build(m_scratch);
    }
    m_scratch.checkpoint =
        m_last == 0 ? sequence : static_cast<std::uint16_t>(m_lastWire + (m_checkpoint - m_last));
    encode(m_scratch, out);
}

void JournalReceiver::clear()
{
    m_channels = {};
}

void JournalReceiver::observe(const MIDIMessage &message)
{
    const auto &m = message.bytes;
    if (m.empty())
        return;
    if (isReset(m)) {
        clear();
        return;
    }
    const auto command = channelCommand(m);
    if (!command)
        return;
    const auto [kind, channel, d1, d2] = *command;
    Channel &ch = m_channels[channel];
    switch (kind) {
    case 0x80:
    case 0x90:
        ch.sounding.set(d1, isNoteOn(kind, d2));
        break;
    case 0xB0:
        ch.values[d1] = d2;
        if (toolFor(d1) == Tool::count)
            ++ch.counts[d1];
        if (endsNotes(d1))
            ch.sounding.reset();
        break;
    case 0xC0:
        ch.program = d1;
        break;
    case 0xE0:
        ch.pitch = d1 | (d2 << 7);
        break;
    default:
        break;
    }
}

void JournalReceiver::send(const MIDIMessage &message, const Emit &emit)
{
    emit(message); // which observes it before the next decision
}

void JournalReceiver::align(const Journal &journal)
{
    for (const ChannelJournal &cj : journal.channels) {
        Channel &ch = m_channels[cj.channel];
        for (const ControllerLog &log : cj.controllers) {
            if (log.tool == Tool::count) {
                ch.counts[log.number] = log.value;
                ch.aligned.set(log.number);
            }
        }
    }
}

void JournalReceiver::repair(const Journal &journal, bool firstPacket, const Emit &emit)
{
    for (const ChannelJournal &cj : journal.channels) {
        Channel &ch = m_channels[cj.channel];
        const std::uint8_t c = cj.channel;
        const auto cc = [&](std::uint8_t number, std::uint8_t value) {
            send(MIDIMessage({static_cast<std::uint8_t>(0xB0 | c), number, value}), emit);
        };
        if (cj.program && ch.program != cj.program->program) {
            if (cj.program->bankMSB) {
                cc(0, *cj.program->bankMSB);
                cc(32, cj.program->bankLSB.value_or(0));
            }
            send(MIDIMessage({static_cast<std::uint8_t>(0xC0 | c), cj.program->program}), emit);
        }
        for (const ControllerLog &log : cj.controllers) {
            const std::uint8_t n = log.number;
            switch (log.tool) {
            case Tool::value:
                if (ch.values[n] != log.value)
                    cc(n, log.value);
                break;
            case Tool::toggle: {
                // The sender starts off, so an odd count of toggles means on.
                const bool on = (log.value & 1) != 0;
                if (on != (ch.values[n] >= 64))
                    cc(n, on ? 127 : 0);
                break;
            }
            case Tool::count:
                // Executed again only when the count says one was missed, and
                // only the commands that silence or reset (not mode changes).
                if (!firstPacket && ch.aligned.test(n) && (ch.counts[n] & 0x3F) != log.value &&
                    (n == 120 || n == 121 || n == 123))
                    cc(n, 0);
                ch.counts[n] = log.value;
                ch.aligned.set(n);
                break;
            }
        }
        if (cj.pitchWheel && ch.pitch != *cj.pitchWheel)
            send(MIDIMessage({static_cast<std::uint8_t>(0xE0 | c),
                              static_cast<std::uint8_t>(*cj.pitchWheel & 0x7F),
                              static_cast<std::uint8_t>(*cj.pitchWheel >> 7)}),
                 emit);
        if (!cj.hasNoteChapter)
            continue;
        for (unsigned n = 0; n < 128; ++n) {
            if (cj.offBits.test(n) && ch.sounding.test(n))
                send(MIDIMessage({static_cast<std::uint8_t>(0x80 | c), static_cast<std::uint8_t>(n), 0}),
                     emit);
        }
        for (const NoteLog &log : cj.notes) {
            if (log.play && log.velocity > 0 && !cj.offBits.test(log.note) && !ch.sounding.test(log.note))
                send(MIDIMessage({static_cast<std::uint8_t>(0x90 | c), log.note, log.velocity}), emit);
        }
    }
}

} // namespace korvane::RecoveryJournal
