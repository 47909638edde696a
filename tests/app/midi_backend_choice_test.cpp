#include "app/midi_backend_choice.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

#if KORVANE_BACKEND_JACK
// A show machine never ends up on the in-process stand-in: the program's
// library does not offer it, and a misspelt name stops the program.
TEST(MidiBackendChoice, OnlyRealServesAreOfferedAndUnknownNamesAreRefused)
{
    const struct {
        const char *requested;
        const char *chosen; // null: refused
    } cases[] = {
        {"", "jack"}, // the default
        {"loopback", nullptr},
        {"JACK", nullptr},
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
            EXPECT_NE(choice.error.find("disponibles : jack"), std::string::npos) << choice.error;
        }
    }
    // Every entry can make its service.
    for (const MidiBackend &backend : midiBackends())
        EXPECT_NE(backend.create(), nullptr) << backend.name;
}
#endif

} // namespace
} // namespace korvane
