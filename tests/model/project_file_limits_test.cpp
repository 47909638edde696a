// What a project file may hold at the edges: integers of any 64-bit size,
// asset names that must stay inside the package.

#include "model/project_json.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvane {
namespace {

using std::int64_t;

QByteArray stepJson(const std::string &member)
{
    return QByteArray::fromStdString(
        R"({"filterChains":[{"id":"6F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F","name":"c","steps":[)"
        R"({"id":"1F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F","kind":"transpose","enabled":true,)" +
        member + "}]}]}");
}

TEST(ProjectFileIntegers, AnyInteger64OpensAndWritesBackUnchanged)
{
    const struct {
        const char *text;
        int64_t value;
    } cases[] = {
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"1e3", 1000},
    };
    for (const auto &c : cases) {
        const auto read = readProjectJson(stepJson(std::string(R"("transpose":)") + c.text));
        ASSERT_TRUE(read) << c.text << ": " << read.error;
        EXPECT_EQ(read.value->filterChains.at(0).steps.at(0).transpose, c.value) << c.text;
    }

    // Every integer field, and the file written back reads the same.
    const QByteArray json = R"({
        "formatVersion": 3000000000,
        "rtpSessions": [{"localPort": 4294972300, "remotePort": -4294962292}],
        "settings": {"startEngineOnOpen": true, "panicOnStop": true, "monitorBufferSize": 3000000000},
        "filterChains": [{"id": "6F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F", "name": "c", "steps": [
            {"id": "1F0F1C2E-3A4B-4C5D-8E6F-7A8B9C0D1E2F", "kind": "velocity", "enabled": true,
             "channelMap": [3000000000, -3000000000], "velocityOffset": -3000000000,
             "noteLow": -3000000000, "noteHigh": 3000000000, "ccLow": -3000000000, "ccHigh": 3000000000}]}]
    })";
    const auto read = readProjectJson(json);
    ASSERT_TRUE(read) << read.error;
    const TOVProject &p = *read.value;
    EXPECT_EQ(p.formatVersion, 3000000000);
    EXPECT_EQ(p.settings.monitorBufferSize, 3000000000);
    // Clamped, never truncated to a valid port (2^32 + 5004).
    EXPECT_EQ(std::pair(p.rtpSessions.at(0).localPort, p.rtpSessions.at(0).remotePort),
              std::pair(std::numeric_limits<int>::max(), std::numeric_limits<int>::min()));
    const FilterStep &s = p.filterChains.at(0).steps.at(0);
    // Channel map entries are ints: beyond it they act as its ends do.
    EXPECT_EQ(s.channelMap,
              (std::vector<int>{std::numeric_limits<int>::max(), std::numeric_limits<int>::min()}));
    EXPECT_EQ(
        (std::vector<std::optional<int64_t>>{s.velocityOffset, s.noteLow, s.noteHigh, s.ccLow, s.ccHigh}),
        (std::vector<std::optional<int64_t>>{-3000000000, -3000000000, 3000000000, -3000000000, 3000000000}));
    const auto again = readProjectJson(*writeProjectJson(p).value);
    ASSERT_TRUE(again) << again.error;
    EXPECT_EQ(*again.value, p);
}

TEST(ProjectFileIntegers, NetworkMIDI2SettingsWithinTheirRangesAndPortsOfAnySize)
{
    const auto session = [](const std::string &members) {
        return readProjectJson(QByteArray::fromStdString(R"({"networkMidi2Sessions": [{)" + members + "}]}"));
    };
    const auto read =
        session(R"("fecDepth": 10, "retransmitBufferSize": 0, "group": 15, "localPort": 3000000000,
                                 "remotePort": -3000000000)");
    ASSERT_TRUE(read) << read.error;
    const NetworkMIDI2SessionConfig &s = read.value->networkMidi2Sessions.at(0);
    EXPECT_EQ(std::tuple(s.fecDepth, s.retransmitBufferSize, s.group, s.localPort, s.remotePort),
              std::tuple(10, 0, 15, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()));
    const std::pair<const char *, const char *> refused[] = {
        {R"("fecDepth": 11)", "fecDepth : entier entre 0 et 10 attendu, 11 trouvé"},
        {R"("fecDepth": -1)", "fecDepth : entier entre 0 et 10 attendu, -1 trouvé"},
        {R"("retransmitBufferSize": 1001)",
         "retransmitBufferSize : entier entre 0 et 1000 attendu, 1001 trouvé"},
        {R"("group": 16)", "group : entier entre 0 et 15 attendu, 16 trouvé"},
    };
    for (const auto &[members, error] : refused) {
        const auto bad = session(members);
        ASSERT_FALSE(bad) << members;
        EXPECT_EQ(bad.error, std::string("networkMidi2Sessions[0].") + error);
    }
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
