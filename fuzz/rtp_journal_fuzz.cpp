// libFuzzer target for the recovery journal decoder and the repair it drives:
// any bytes as a journal section, read by a receiver that has some notes on.
// Checks memory safety and that a repair only ever emits whole channel
// messages, never more than one per note, controller and chapter.

#include "net/rtp_journal_state.h"

#include <cstdint>
#include <cstdlib>

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    RecoveryJournal::Journal journal;
    if (!RecoveryJournal::decode(RecoveryJournal::ByteView(data, size), journal))
        return 0;
    RecoveryJournal::Bytes again;
    RecoveryJournal::encode(journal, again);
    if (again.size() != RecoveryJournal::encodedSize(journal))
        std::abort();
    RecoveryJournal::JournalReceiver receiver;
    for (std::uint8_t n = 0; n < 128; n += 3)
        receiver.observe(MIDIMessage({static_cast<std::uint8_t>(0x90 | (n % 16)), n, 64}));
    std::size_t emitted = 0;
    receiver.repair(journal, (size & 1) != 0, [&](const MIDIMessage &m) {
        if (m.bytes.empty() || m.bytes[0] < 0x80 || m.bytes[0] >= 0xF0)
            std::abort();
        ++emitted;
        receiver.observe(m);
    });
    if (emitted > journal.channels.size() * (128 * 3 + 8))
        std::abort();
    return 0;
}
