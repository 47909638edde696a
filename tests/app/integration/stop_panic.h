#pragma once

#include "support/jack_test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace korvane::test {

// One Note On per JACK cycle from `keys`, note after note, on a thread of its
// own until stopped.
class NotePerCycle {
public:
    explicit NotePerCycle(JackTestClient &keys)
        : m_thread([this, &keys] {
              for (std::uint8_t note = 0; m_playing; note = (note + 1) % 128) {
                  const std::size_t sent = keys.departures().size();
                  keys.send({0x90, note, 100});
                  while (m_playing && keys.departures().size() == sent)
                      std::this_thread::sleep_for(std::chrono::microseconds(100));
              }
          })
    {
    }
    ~NotePerCycle() { stop(); }
    void stop()
    {
        m_playing = false;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<bool> m_playing{true};
    std::thread m_thread;
};

// An All Notes Off arrived, and no sounding Note On after the last one.
inline ::testing::AssertionResult silentAfterLastPanic(const std::vector<std::vector<std::uint8_t>> &messages)
{
    using Bytes = std::vector<std::uint8_t>;
    const auto lastPanic = std::find_if(messages.rbegin(), messages.rend(), [](const Bytes &m) {
        return m.size() == 3 && (m[0] & 0xF0) == 0xB0 && m[1] == 123;
    });
    if (lastPanic == messages.rend())
        return ::testing::AssertionFailure() << "no panic arrived";
    if (std::any_of(messages.rbegin(), lastPanic,
                    [](const Bytes &m) { return m.size() == 3 && (m[0] & 0xF0) == 0x90 && m[2] != 0; }))
        return ::testing::AssertionFailure() << "a Note On after the last panic";
    return ::testing::AssertionSuccess();
}

} // namespace korvane::test
