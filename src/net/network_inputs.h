#pragma once

#include "midi/midi_message.h"
#include "model/project.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace korvane {

// Where a manager's sessions hand what their peers send. The callbacks run on
// the session threads and may be replaced from any thread, so each call takes
// a reference under the lock and calls outside it.
class NetworkInputs {
public:
    // A message from a peer; origin is non-zero and unique in the process for
    // each established period of one peer.
    using Input = std::function<void(const EndpointKey &source, const MIDIMessage &, std::uint64_t origin)>;
    // After that origin's last message: the peer is no longer established (it
    // left, timed out, or the session stopped).
    using OriginGone = std::function<void(const EndpointKey &source, std::uint64_t origin)>;

    void setInput(Input input)
    {
        auto shared = input ? std::make_shared<const Input>(std::move(input)) : nullptr;
        std::lock_guard guard(m_mutex);
        m_input = std::move(shared);
    }
    void setOriginGone(OriginGone gone)
    {
        auto shared = gone ? std::make_shared<const OriginGone>(std::move(gone)) : nullptr;
        std::lock_guard guard(m_mutex);
        m_gone = std::move(shared);
    }

    // Points a session's receive and origin-gone callbacks here, as `key`.
    template <class Session>
    static void feedFrom(const std::shared_ptr<NetworkInputs> &inputs, Session &session, EndpointKey key)
    {
        session.setOnReceive([inputs, key](const MIDIMessage &message, std::uint64_t origin) {
            if (const auto input = inputs->current(inputs->m_input))
                (*input)(key, message, origin);
        });
        session.setOnOriginGone([inputs, key](std::uint64_t origin) {
            if (const auto gone = inputs->current(inputs->m_gone))
                (*gone)(key, origin);
        });
    }

private:
    template <class T> std::shared_ptr<const T> current(const std::shared_ptr<const T> &which)
    {
        std::lock_guard guard(m_mutex);
        return which;
    }

    std::mutex m_mutex;
    std::shared_ptr<const Input> m_input;     // guarded by m_mutex
    std::shared_ptr<const OriginGone> m_gone; // guarded by m_mutex
};

} // namespace korvane
