#include "midi/service/jack/jack_backend.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

// Routes saved with these ids must keep matching: the values are FNV-1a of
// the whole name, pinned here rather than recomputed.
TEST(JackEndpointIdentity, NamesOutsideTheAlsaBridgeShapeKeepTheirIds)
{
    const struct {
        const char *name;
        std::int32_t id;
    } cases[] = {
        {"KORVANE:Synth Out", -2078107057},
        {"system:midi_capture_1", -1189990994},
        {"x:Desk [2a] (capture): Port 1", 845100986},   // not a number
        {"x:Desk [] (capture): Port 1", 221766097},     // no number at all
        {"x:Desk [24] (monitor): Port 1", -1316782441}, // neither capture nor playback
        {"x:Desk [24](capture): Port 1", -700262141},   // not the bridge's spacing
        {"Desk [24] (capture): Port 1", -1226366687},   // no client part
    };
    for (const auto &c : cases)
        EXPECT_EQ(jackPortUniqueID(c.name), c.id) << c.name;
}

// Only the ALSA client number is left out of the id: everything else in
// the name still tells ports apart.
TEST(JackEndpointIdentity, AlsaBridgePortKeepsItsIdWhenItsClientNumberChangesAndOnlyThen)
{
    const struct {
        const char *before;
        const char *after;
    } replugs[] = {
        {"a2j:Desk [24] (capture): Port 1", "a2j:Desk [28] (capture): Port 1"},
        {"a2j:Desk [24] (playback): Port 1", "a2j:Desk [128] (playback): Port 1"},
        {"a2j:Desk [v2] [0] (capture): In", "a2j:Desk [v2] [131] (capture): In"},
        {"a2j:Midi Through [14] (playback): Midi Through Port-0",
         "a2j:Midi Through [15] (playback): Midi Through Port-0"},
    };
    for (const auto &r : replugs) {
        EXPECT_EQ(jackPortUniqueID(r.before), jackPortUniqueID(r.after)) << r.before << " / " << r.after;
        EXPECT_NE(jackPortUniqueID(r.before), 0);
    }
    const char *const names[] = {
        "a2j:Desk [24] (capture): Port 1",   "a2j:Desk [24] (playback): Port 1",
        "a2j:Desk [24] (capture): Port 2",   "a2j:Desk 2 [24] (capture): Port 1",
        "a2j-2:Desk [24] (capture): Port 1", "x:Desk [] (capture): Port 1",
        "a2j:Desk (capture): Port 1",
    };
    for (std::size_t i = 0; i < std::size(names); ++i)
        for (std::size_t j = i + 1; j < std::size(names); ++j)
            EXPECT_NE(jackPortUniqueID(names[i]), jackPortUniqueID(names[j]))
                << names[i] << " / " << names[j];
}

// Two identical devices plugged at once must stay apart: the lowest client
// number keeps the stable id, the other falls back to its whole name's id.
TEST(JackEndpointIdentity, IdenticalBridgeDevicesListedTogetherKeepDistinctIds)
{
    const std::string first = "a2j:Desk [24] (capture): Port 1";
    const std::string second = "a2j:Desk [128] (capture): Port 1";
    const std::string other = "a2j:Pads [20] (capture): Port 1";
    const std::int32_t stable = jackPortUniqueID(first);
    const std::int32_t secondWhole = -367506147; // FNV-1a of the whole name, pinned

    const struct {
        std::vector<std::string> names;
        std::vector<std::int32_t> ids;
    } cases[] = {
        {{second}, {stable}},
        {{first, second, other}, {stable, secondWhole, jackPortUniqueID(other)}},
        {{second, other, first}, {secondWhole, jackPortUniqueID(other), stable}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(jackPortUniqueIDs(c.names), c.ids) << c.names.size() << " ports, first " << c.names[0];
}

// Our ports say what they carry and whose they are; a user's virtual port
// ("<name> In"/"<name> Out") is never taken for one, PipeWire's "-<n>"
// suffix on a second instance's port does not hide it.
TEST(JackEndpointIdentity, PlumbingPortsAreNamedAfterTheirEndpointAndRecognisedByShape)
{
    const struct {
        bool input;
        std::string label;
        std::int32_t id;
        std::string name;
    } names[] = {
        {true, "a2j:Desk [24] (capture): Port 1", 1, "from a2j:Desk [24] (capture): Port 1 #00000001"},
        {false, "Console", -1, "to Console #FFFFFFFF"},
        {false, "  two\tlines\n  ", 0x7ABC, "to two lines #00007ABC"},
        {true, "\x01\x7F", 2, "from ? #00000002"},
        // Cut at 64 bytes, before a character that would cross the 64th.
        {true, std::string(63, 'x') + "\xC3\xA9", 4, "from " + std::string(63, 'x') + " #00000004"},
    };
    for (const auto &n : names) {
        const std::string name = jackPlumbingPortName(n.input, n.label, n.id);
        EXPECT_EQ(name, n.name);
        EXPECT_TRUE(isJackPlumbingPortName(name)) << name;
        EXPECT_TRUE(isJackPlumbingPortName(name + "-7289")) << name;
    }

    const char *const notOurs[] = {
        "from Stage #00000001 In",
        "from Stage #00000001 In-7289",
        "to X #0000000a",
        "to X #0000001",
        "from  #00000001",
        "KORVANE Bus In",
        "in_",
        "out_x",
    };
    for (const char *name : notOurs)
        EXPECT_FALSE(isJackPlumbingPortName(name)) << name;
    EXPECT_TRUE(isJackPlumbingPortName("out_3-7289")); // an earlier version's, on PipeWire
}

// KORVANE's client properties join what the user gave PipeWire, braces or not.
TEST(JackEndpointIdentity, PipeWireClientPropertiesJoinTheUsersOwn)
{
    const struct {
        const char *props;
        bool latency;
        const char *merged;
    } cases[] = {
        {"", true, "{ jack.fix-midi-events = false node.latency = 128/48000 }"},
        {"{ media.role = Production }\n", true,
         "{ media.role = Production jack.fix-midi-events = false node.latency = 128/48000 }"},
        {"node.latency = 64/48000", true, "node.latency = 64/48000 jack.fix-midi-events = false"},
        {"{ jack.fix-midi-events = true }", false,
         "{ jack.fix-midi-events = true jack.fix-midi-events = false }"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(withPipeWireClientProps(c.props, c.latency), c.merged) << c.props;
}

} // namespace
} // namespace korvane
