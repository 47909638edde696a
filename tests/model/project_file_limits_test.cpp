// What a project file may hold at the edges: integers of any 64-bit size,
// asset names that must stay inside the package.

#include "model/project_json.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvane {
namespace {

using std::int64_t;

TEST(ProjectFileIntegers, AnyInteger64OpensAndWritesBackUnchanged)
{
    // Every integer field, and the file written back reads the same.
    const QByteArray json = R"({
        "formatVersion": 3000000000,
        "rtpSessions": [{"localPort": 4294972300, "remotePort": -4294962292}],
        "networkMidi2Sessions": [{"fecDepth": 10, "retransmitBufferSize": 0, "group": 15,
                                  "localPort": 3000000000, "remotePort": -3000000000}],
        "settings": {"startEngineOnOpen": true, "panicOnStop": true, "monitorBufferSize": 3000000000},
        "filterChains": [{"id": "6F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F", "name": "c", "steps": [
            {"id": "1F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F", "kind": "velocity", "enabled": true,
             "channelMap": [3000000000, -3000000000], "velocityOffset": -3000000000,
             "noteLow": -3000000000, "noteHigh": 3000000000, "ccLow": -3000000000, "ccHigh": 3000000000},
            {"id": "2F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F", "kind": "transpose", "enabled": true,
             "transpose": 9223372036854775807, "noteLow": -9223372036854775808, "noteHigh": 1e3}]}]
    })";
    const auto read = readProjectJson(json);
    ASSERT_TRUE(read) << read.error;
    const TOVProject &p = *read.value;
    constexpr int kIntMax = std::numeric_limits<int>::max(), kIntMin = std::numeric_limits<int>::min();
    EXPECT_EQ(p.formatVersion, 3000000000);
    EXPECT_EQ(p.settings.monitorBufferSize, 3000000000);
    // Clamped, never truncated to a valid port (2^32 + 5004).
    EXPECT_EQ(std::pair(p.rtpSessions.at(0).localPort, p.rtpSessions.at(0).remotePort),
              std::pair(kIntMax, kIntMin));
    const NetworkMIDI2SessionConfig &m = p.networkMidi2Sessions.at(0);
    EXPECT_EQ(std::tuple(m.fecDepth, m.retransmitBufferSize, m.group, m.localPort, m.remotePort),
              std::tuple(10, 0, 15, kIntMax, kIntMin));
    const FilterStep &s = p.filterChains.at(0).steps.at(0), &t = p.filterChains.at(0).steps.at(1);
    // Channel map entries are ints: beyond it they act as its ends do.
    EXPECT_EQ(s.channelMap, (std::vector<int>{kIntMax, kIntMin}));
    EXPECT_EQ((std::vector<std::optional<int64_t>>{s.velocityOffset, s.noteLow, s.noteHigh, s.ccLow, s.ccHigh,
                                                   t.transpose, t.noteLow, t.noteHigh}),
              (std::vector<std::optional<int64_t>>{-3000000000, -3000000000, 3000000000, -3000000000,
                                                   3000000000, std::numeric_limits<int64_t>::max(),
                                                   std::numeric_limits<int64_t>::min(), 1000}));
    const auto again = readProjectJson(*writeProjectJson(p).value);
    ASSERT_TRUE(again) << again.error;
    EXPECT_EQ(*again.value, p);
}

QByteArray assetJson(const std::string &filenameJson)
{
    return QByteArray::fromStdString(
        R"({"assets":[{"id":"21111111-2222-4333-8444-555555555555","filename":"ok.png","label":"l","kind":"image"},)"
        R"({"id":"31111111-2222-4333-8444-555555555555","filename":)" +
        filenameJson + R"(,"label":"l","kind":"image"}]})");
}

TEST(ProjectFileAssetNames, NamesThatLeaveTheAssetsFolderAreRefusedWithTheirPlace)
{
    const char *const refused[] = {
        R"("../project.json")", R"("a/b.png")", R"("/etc/passwd")", R"("a\\b.png")",
        R"("a\u0000b")",        R"(".")",       R"("..")"};
    for (const char *name : refused) {
        const auto read = readProjectJson(assetJson(name));
        ASSERT_FALSE(read) << name;
        EXPECT_TRUE(read.error.starts_with("assets[1].filename : nom de fichier refusé")) << read.error;
    }
    const char *const accepted[] = {R"("...")", R"(".hidden")", R"("a..b.png")", R"("été.wav")", R"("")"};
    for (const char *name : accepted) {
        const auto read = readProjectJson(assetJson(name));
        EXPECT_TRUE(read) << name << ": " << read.error;
    }
}

} // namespace
} // namespace korvane
