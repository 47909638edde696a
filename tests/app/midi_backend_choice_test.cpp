#include "app/midi_backend_choice.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

// A show machine must never end up on the in-process stand-in by accident:
// it serves only when named, and a misspelt name stops the program.
TEST(MidiBackendChoice, TheStandInServesOnlyWhenNamedAndUnknownNamesAreRefused)
{
    const MidiBackend &fallback = defaultMidiBackend();
#if KORVANE_BACKEND_JACK
    EXPECT_EQ(fallback.name, "jack");
#endif
    EXPECT_FALSE(fallback.inProcess && midiBackends().size() > 1);

    const struct {
        const char *requested;
        const char *chosen; // null: refused
    } cases[] = {
        {"", fallback.name.data()},
        {"loopback", "loopback"},
        {"Loopback", nullptr},
        {"alsa", nullptr},
    };
    for (const auto &c : cases) {
        const MidiBackendChoice choice = chooseMidiBackend(c.requested);
        if (c.chosen) {
            ASSERT_NE(choice.backend, nullptr) << c.requested;
            EXPECT_EQ(choice.backend->name, c.chosen);
            EXPECT_TRUE(choice.error.empty());
        } else {
            EXPECT_EQ(choice.backend, nullptr) << c.requested;
            EXPECT_NE(choice.error.find(c.requested), std::string::npos) << choice.error;
            EXPECT_NE(choice.error.find("loopback"), std::string::npos) << choice.error;
        }
    }
    // Every entry can make its service.
    for (const MidiBackend &backend : midiBackends())
        EXPECT_NE(backend.create(), nullptr) << backend.name;
}

} // namespace
} // namespace korvane
