#include "model/project.h"

#include "model_test_data.h"

#include <gtest/gtest.h>

#include <set>

namespace korvane {
namespace {

using test::uuid;

TEST(Uuid, ParsesEitherCaseAndWritesUpperCase)
{
    const auto lower = Uuid::fromString("0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3");
    const auto upper = Uuid::fromString("0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");
    ASSERT_TRUE(lower && upper);
    EXPECT_EQ(*lower, *upper);
    EXPECT_EQ(lower->toString(), "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");
}

TEST(Uuid, RejectsMalformedText)
{
    for (const char *bad : {"", "0A1B2C3D4E5F4A6B8C7D8E9FA0B1C2D3", "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D",
                            "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D34", "0A1B2C3D-4E5F-4A6B-8C7D_8E9FA0B1C2D3",
                            "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2DG", "{0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D}",
                            "0A1B2C3-D4E5F-4A6B-8C7D-8E9FA0B1C2D3"})
        EXPECT_FALSE(Uuid::fromString(bad)) << bad;
}

TEST(Uuid, CreatesDistinctVersion4Ids)
{
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid u = Uuid::create();
        EXPECT_EQ(u.bytes[6] >> 4, 4);
        EXPECT_EQ(u.bytes[8] & 0xC0, 0x80);
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Records, Defaults)
{
    const TOVProject p;
    EXPECT_EQ(p.name, "Nouveau projet");
    EXPECT_EQ(p.formatVersion, 1);
    EXPECT_EQ(TOVProject::currentFormatVersion, 1);
    EXPECT_TRUE(p.notes.empty() && p.devices.empty() && p.routes.empty() && p.filterChains.empty() &&
                p.rtpSessions.empty() && p.virtualPorts.empty() && p.assets.empty());
    EXPECT_LE(std::chrono::abs(p.createdAt - currentTimestamp()), std::chrono::seconds(2));
    EXPECT_EQ(p.settings, (ProjectSettings{true, true, 500}));
    EXPECT_NE(TOVProject().id, TOVProject().id);

    const Route r(EndpointKey(EndpointKind::physical, "In"));
    EXPECT_EQ(r.name, "Route");
    EXPECT_TRUE(r.enabled);
    EXPECT_TRUE(r.destinations.empty());
    EXPECT_EQ(r.channelMask, 0xFFFF);
    EXPECT_FALSE(r.filterChainID);

    const RTPSessionConfig s;
    EXPECT_EQ(s.name, "TOV-Net");
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.role, RTPRole::listener);
    EXPECT_EQ(s.localPort, 5004);
    EXPECT_EQ(s.remotePort, 5004);
    EXPECT_TRUE(s.bindAddress.empty() && s.remoteHost.empty());

    const VirtualPortConfig v;
    EXPECT_EQ(v.name, "KORVANE Bus");
    EXPECT_TRUE(v.createsSource && v.createsDestination);
    EXPECT_EQ(AssetRef().kind, "other");
    EXPECT_TRUE(FilterChain("x").steps.empty());
}

TEST(FilterStepKind, RawValuesLabelsAndPresets)
{
    struct Row {
        FilterStep::Kind kind;
        const char *raw;
        const char *label;
    };
    const Row rows[] = {
        {FilterStep::Kind::channelRemap, "channelRemap", "Remap canal"},
        {FilterStep::Kind::transpose, "transpose", "Transpose"},
        {FilterStep::Kind::velocity, "velocity", "Vélocité"},
        {FilterStep::Kind::noteRange, "noteRange", "Plage de notes"},
        {FilterStep::Kind::ccRange, "ccRange", "Plage de CC"},
        {FilterStep::Kind::messageTypeFilter, "messageTypeFilter", "Filtre par type"},
    };
    ASSERT_EQ(std::size(rows), std::size(kAllFilterStepKinds));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(kAllFilterStepKinds[i], rows[i].kind);
        EXPECT_EQ(rawValue(rows[i].kind), rows[i].raw);
        EXPECT_EQ(label(rows[i].kind), rows[i].label);
        EXPECT_EQ(filterStepKindFromRaw(rows[i].raw), rows[i].kind);
    }
    EXPECT_FALSE(filterStepKindFromRaw("Transpose"));

    // Each preset sets exactly its own parameters.
    auto expected = [](FilterStep::Kind kind) {
        FilterStep s;
        s.kind = kind;
        return s;
    };
    std::vector<std::pair<FilterStep, FilterStep>> presets;
    FilterStep e = expected(FilterStep::Kind::channelRemap);
    e.channelMap = std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    presets.emplace_back(FilterStep(FilterStep::Kind::channelRemap), e);
    e = expected(FilterStep::Kind::transpose);
    e.transpose = 0;
    presets.emplace_back(FilterStep(FilterStep::Kind::transpose), e);
    e = expected(FilterStep::Kind::velocity);
    e.velocityScale = 1.0;
    e.velocityOffset = 0;
    presets.emplace_back(FilterStep(FilterStep::Kind::velocity), e);
    e = expected(FilterStep::Kind::noteRange);
    e.noteLow = 0;
    e.noteHigh = 127;
    presets.emplace_back(FilterStep(FilterStep::Kind::noteRange), e);
    e = expected(FilterStep::Kind::ccRange);
    e.ccLow = 0;
    e.ccHigh = 127;
    presets.emplace_back(FilterStep(FilterStep::Kind::ccRange), e);
    e = expected(FilterStep::Kind::messageTypeFilter);
    e.blockedTypes = std::vector<MIDIStatusType>{};
    presets.emplace_back(FilterStep(FilterStep::Kind::messageTypeFilter), e);
    for (auto &[made, want] : presets) {
        EXPECT_TRUE(made.enabled);
        want.id = made.id;
        EXPECT_EQ(made, want) << rawValue(made.kind);
    }
}

TEST(EndpointKey, Ids)
{
    EXPECT_EQ(EndpointKey(EndpointKind::physical, "Port", 1234).id(), "physical:1234");
    EXPECT_EQ(EndpointKey(EndpointKind::virtual_, "Bus 1").id(), "virtual:Bus 1");
    EXPECT_EQ(EndpointKey(EndpointKind::physical, "x", -5).id(), "physical:-5");
    EXPECT_EQ(EndpointKey(EndpointKind::rtp, "").id(), "rtp:");
    EXPECT_EQ(EndpointKey(EndpointKind::rtp, "Net", 0).id(), "rtp:0");
}

TEST(EndpointKey, Matching)
{
    using K = EndpointKey;
    const auto P = EndpointKind::physical;
    struct Row {
        K a, b;
        bool match;
    };
    const Row rows[] = {
        {K(P, "A", 7), K(P, "B", 7), true},
        {K(P, "A", 0), K(P, "A", 9), true},
        {K(P, "A"), K(P, "A", 9), true},
        {K(P, "A"), K(P, "A"), true},
        {K(P, "A", 7), K(EndpointKind::virtual_, "A", 7), false},
        {K(P, "A", 7), K(P, "A", 8), false},
        {K(P, "A", 0), K(P, "B", 0), false},
        {K(P, "A"), K(P, "a"), false},
        {K(P, "A", 7), K(P, "B"), false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(EndpointKey::matches(row.a, row.b), row.match) << row.a.id() << " / " << row.b.id();
        EXPECT_EQ(EndpointKey::matches(row.b, row.a), row.match) << row.b.id() << " / " << row.a.id();
    }
    EXPECT_NE(K(P, "A", 7), K(P, "B", 7)); // equality stays strict
}

TEST(Route, PassesChannel)
{
    Route r(EndpointKey(EndpointKind::physical, "In"));
    r.channelMask = 0x0001;
    EXPECT_TRUE(r.passesChannel(1));
    for (int ch = 2; ch <= 16; ++ch)
        EXPECT_FALSE(r.passesChannel(ch)) << ch;
    for (std::optional<int> ch :
         {std::optional<int>{}, std::optional<int>{0}, std::optional<int>{17}, std::optional<int>{-3}})
        EXPECT_TRUE(r.passesChannel(ch));
    r.channelMask = 0x8000;
    EXPECT_TRUE(r.passesChannel(16));
    EXPECT_FALSE(r.passesChannel(15));
    r.channelMask = 0;
    EXPECT_FALSE(r.passesChannel(8));
}

TEST(TOVProject, FilterChainLookup)
{
    TOVProject p;
    FilterChain first("premier"), second("second"), duplicate("doublon");
    duplicate.id = second.id;
    p.filterChains = {first, second, duplicate};
    EXPECT_FALSE(p.filterChain(std::nullopt));
    EXPECT_FALSE(p.filterChain(Uuid::create()));
    ASSERT_TRUE(p.filterChain(second.id));
    EXPECT_EQ(p.filterChain(second.id)->name, "second"); // first in list order wins
    EXPECT_EQ(p.filterChain(first.id), first);
}

} // namespace
} // namespace korvane
