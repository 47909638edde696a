#include "model/project.h"

#include <gtest/gtest.h>

#include <set>

namespace korvane {
namespace {

TEST(Uuid, ParsesEitherCaseWritesUpperCaseAndRejectsMalformedText)
{
    const auto lower = Uuid::fromString("0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower, Uuid::fromString("0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3"));
    EXPECT_EQ(lower->toString(), "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");
    for (const char *bad : {"", "0A1B2C3D4E5F4A6B8C7D8E9FA0B1C2D3", "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D",
                            "0A1B2C3D-4E5F-4A6B-8C7D_8E9FA0B1C2D3", "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2DG",
                            "0A1B2C3-D4E5F-4A6B-8C7D-8E9FA0B1C2D3"})
        EXPECT_FALSE(Uuid::fromString(bad)) << bad;
}

TEST(Uuid, CreatesDistinctVersion4Ids)
{
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid u = Uuid::create();
        EXPECT_EQ(std::pair(u.bytes[6] >> 4, u.bytes[8] & 0xC0), std::pair(4, 0x80));
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

// The raw values are stored in project files.
TEST(FilterStepKind, RawValuesNeverChange)
{
    const char *raws[] = {"channelRemap", "transpose", "velocity",
                          "noteRange",    "ccRange",   "messageTypeFilter"};
    ASSERT_EQ(std::size(raws), std::size(kAllFilterStepKinds));
    for (std::size_t i = 0; i < std::size(raws); ++i) {
        EXPECT_EQ(rawValue(kAllFilterStepKinds[i]), raws[i]);
        EXPECT_EQ(filterStepKindFromRaw(raws[i]), kAllFilterStepKinds[i]);
    }
    EXPECT_FALSE(filterStepKindFromRaw("Transpose"));
}

// The router's own tests walk the common cases; these are the rest.
TEST(EndpointKey, Matching)
{
    using K = EndpointKey;
    const auto P = EndpointKind::physical;
    struct Row {
        K a, b;
        bool match;
    };
    const Row rows[] = {
        {K(P, "A", -3), K(P, "B", -3), true},
        {K(P, "A", 7), K(EndpointKind::virtual_, "A", 7), false},
        {K(P, "A", 0), K(P, "B", 0), false},
        {K(P, "A"), K(P, "a"), false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(EndpointKey::matches(row.a, row.b), row.match) << row.a.id() << " / " << row.b.id();
        EXPECT_EQ(EndpointKey::matches(row.b, row.a), row.match) << row.b.id() << " / " << row.a.id();
    }
    EXPECT_NE(K(P, "A", 7), K(P, "B", 7)); // equality stays strict
}

} // namespace
} // namespace korvane
