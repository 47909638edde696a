#include "midi/note_holds.h"

namespace korvane {

namespace {

constexpr std::uint8_t kSustain = 64;

} // namespace

void NoteHolds::update(std::span<const std::uint8_t> message) noexcept
{
    if (message.size() < 3)
        return;
    const std::uint8_t status = message[0];
    const int channel = status & 0x0F;
    const std::uint8_t d1 = message[1] & 0x7F;
    const std::uint8_t d2 = message[2] & 0x7F;
    std::atomic<std::uint64_t> &word = m_notes[static_cast<std::size_t>(channel * 2 + d1 / 64)];
    const std::uint64_t bit = std::uint64_t{1} << (d1 % 64);
    switch (status & 0xF0) {
    case 0x90:
        if (d2 != 0) {
            word.fetch_or(bit, std::memory_order_relaxed);
            break;
        }
        [[fallthrough]];
    case 0x80:
        word.fetch_and(~bit, std::memory_order_relaxed);
        break;
    case 0xB0:
        if (d1 == kSustain) {
            const std::uint32_t pedal = 1u << channel;
            if (d2 >= 64)
                m_pedals.fetch_or(pedal, std::memory_order_relaxed);
            else
                m_pedals.fetch_and(~pedal, std::memory_order_relaxed);
        } else if (d1 == 121) {
            m_pedals.fetch_and(~(1u << channel), std::memory_order_relaxed);
        } else if (d1 == 120 || d1 >= 123) {
            m_notes[static_cast<std::size_t>(channel * 2)].store(0, std::memory_order_relaxed);
            m_notes[static_cast<std::size_t>(channel * 2 + 1)].store(0, std::memory_order_relaxed);
        }
        break;
    default:
        break;
    }
}

bool NoteHolds::holdsNote(int channel, int note) const noexcept
{
    const std::uint64_t word =
        m_notes[static_cast<std::size_t>(channel * 2 + note / 64)].load(std::memory_order_relaxed);
    return (word >> (note % 64)) & 1u;
}

bool NoteHolds::holdsPedal(int channel) const noexcept
{
    return (m_pedals.load(std::memory_order_relaxed) >> channel) & 1u;
}

bool NoteHolds::empty() const noexcept
{
    for (const auto &word : m_notes)
        if (word.load(std::memory_order_relaxed) != 0)
            return false;
    return m_pedals.load(std::memory_order_relaxed) == 0;
}

struct NoteLedger::Holder {
    NoteHolds holds;
    Identity identity;
    EndpointKey destination;
    std::string sourceName;
    std::weak_ptr<NoteLedger> ledger;

    ~Holder()
    {
        if (auto owner = ledger.lock())
            owner->released(*this);
    }
};

void NoteLedger::setRelease(Release release)
{
    auto shared = release ? std::make_shared<const Release>(std::move(release)) : nullptr;
    std::lock_guard lock(m_mutex);
    m_release = std::move(shared);
}

std::shared_ptr<NoteHolds> NoteLedger::acquire(const Identity &identity, const EndpointKey &destination,
                                               const std::string &sourceName)
{
    std::lock_guard lock(m_mutex);
    if (auto it = m_holders.find(identity); it != m_holders.end())
        if (auto live = it->second.second.lock())
            return live;
    auto holder = std::make_shared<Holder>();
    holder->identity = identity;
    holder->destination = destination;
    holder->sourceName = sourceName;
    holder->ledger = weak_from_this();
    // Aliased: callers see the holds; the Holder goes with the last of them.
    std::shared_ptr<NoteHolds> holds(holder, &holder->holds);
    // A holder of the same identity that is on its way out stays in the
    // destination index until its destructor, but no longer under its name.
    m_holders[identity] = {holder.get(), holds};
    m_byDestination.emplace(identity.destination, holder.get());
    return holds;
}

std::size_t NoteLedger::liveHolders() const
{
    std::lock_guard lock(m_mutex);
    return m_byDestination.size();
}

void NoteLedger::released(Holder &holder)
{
    std::vector<Message> messages;
    std::shared_ptr<const Release> release;
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_holders.find(holder.identity); it != m_holders.end() && it->second.first == &holder)
            m_holders.erase(it);
        const auto [begin, end] = m_byDestination.equal_range(holder.identity.destination);
        std::vector<const NoteHolds *> others;
        for (auto it = begin; it != end;) {
            if (it->second == &holder) {
                it = m_byDestination.erase(it);
                continue;
            }
            others.push_back(&it->second->holds);
            ++it;
        }
        if (holder.holds.empty())
            return;
        const auto heldElsewhere = [&](auto &&held) {
            for (const NoteHolds *other : others)
                if (held(*other))
                    return true;
            return false;
        };
        for (int channel = 0; channel < 16; ++channel) {
            for (int note = 0; note < 128; ++note) {
                if (holder.holds.holdsNote(channel, note) &&
                    !heldElsewhere([&](const NoteHolds &h) { return h.holdsNote(channel, note); }))
                    messages.push_back(
                        {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0});
            }
        }
        // Pedals after the notes, so the notes end with them.
        for (int channel = 0; channel < 16; ++channel)
            if (holder.holds.holdsPedal(channel) &&
                !heldElsewhere([&](const NoteHolds &h) { return h.holdsPedal(channel); }))
                messages.push_back({static_cast<std::uint8_t>(0xB0 | channel), kSustain, 0});
        release = m_release;
    }
    if (release && *release && !messages.empty())
        (*release)(holder.destination, holder.sourceName, messages);
}

} // namespace korvane
