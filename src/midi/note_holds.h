#pragma once

// What each source holds on at each destination, so that a source that goes
// away (a program killed, a network peer gone, a route switched off or
// changed) does not leave notes or a sustain pedal hanging.
//
// A NoteHolds is one holder: one source through one route to one
// destination, with the notes as delivered (after the route's filter chain,
// so a transposed note is released transposed). The routing thread writes
// it with relaxed atomics (the real-time thread included); nothing locks.
// Compiled route plans share holders through the NoteLedger by identity, so
// a holder that a new plan still has keeps its state; the last plan to let
// go of a holder destroys it, and its destruction releases what it held:
// a note-off (and a pedal off) for each note no other live holder keeps on
// at that destination.

#include "model/project.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class NoteHolds {
public:
    // Follows one delivered message: note on/off, sustain (CC 64), the
    // all-notes-off family (CC 120, 123 to 127) and reset-all-controllers.
    void update(std::span<const std::uint8_t> message) noexcept;

    bool holdsNote(int channel, int note) const noexcept; // channel 0…15, note 0…127
    bool holdsPedal(int channel) const noexcept;
    bool empty() const noexcept;

private:
    // Bit (note % 64) of word (channel * 2 + note / 64).
    std::array<std::atomic<std::uint64_t>, 32> m_notes{};
    std::atomic<std::uint32_t> m_pedals{0};
};

class NoteLedger : public std::enable_shared_from_this<NoteLedger> {
public:
    // What makes a holder the same one from plan to plan. `source` says which
    // input and which connection of it (a source that comes back is a new
    // one); `routeShape` changes when the route's chain or mask does.
    struct Identity {
        std::string source;
        Uuid route;
        std::uint64_t routeShape = 0;
        std::string destination; // EndpointKey::id()
        friend auto operator<=>(const Identity &, const Identity &) = default;
    };
    using Message = std::array<std::uint8_t, 3>;
    // Called on the thread that let go of the holder, with no ledger lock held.
    using Release = std::function<void(const EndpointKey &destination, const std::string &sourceName,
                                       const std::vector<Message> &messages)>;

    static std::shared_ptr<NoteLedger> create() { return std::shared_ptr<NoteLedger>(new NoteLedger); }

    // Any thread.
    void setRelease(Release release);
    // The live holder of that identity, or a new empty one.
    std::shared_ptr<NoteHolds> acquire(const Identity &identity, const EndpointKey &destination,
                                       const std::string &sourceName);
    std::size_t liveHolders() const;

private:
    struct Holder;
    NoteLedger() = default;
    void released(Holder &holder);

    mutable std::mutex m_mutex;
    std::map<Identity, std::pair<Holder *, std::weak_ptr<NoteHolds>>> m_holders;
    std::multimap<std::string, Holder *> m_byDestination;
    std::shared_ptr<const Release> m_release;
};

} // namespace korvane
