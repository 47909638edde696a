#include "model/project_json.h"

#include "model_test_data.h"

#include <QJsonObject>

#include <gtest/gtest.h>

namespace korvane {
namespace {

using test::at;
using test::uuid;

TEST(ProjectJson, FullProjectRoundTrips)
{
    TOVProject project = test::fullProject();
    for (double scale : {-1.25, 1.0 / 3.0, 1e-9, 123456789.125}) { // doubles come back exactly
        project.filterChains[1].steps.push_back(FilterStep(FilterStep::Kind::velocity));
        project.filterChains[1].steps.back().velocityScale = scale;
    }
    project.rtpSessions[0].recoveryJournal = false;
    project.rtpSessions[0].onlyAllowedHosts = true;
    project.rtpSessions[0].allowedHosts = {"10.0.0.2", "192.168.1.0/24"};
    const auto bytes = writeProjectJson(project);
    ASSERT_TRUE(bytes) << bytes.error;
    const auto read = readProjectJson(*bytes.value);
    ASSERT_TRUE(read) << read.error;
    EXPECT_EQ(*read.value, project);
    // Writing again gives the same text.
    EXPECT_EQ(*writeProjectJson(*read.value).value, *bytes.value);
}

TEST(ProjectJson, WritesSortedIndentedWithoutAbsentOptionals)
{
    TOVProject project;
    project.id = uuid("0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3");
    project.createdAt = at(2026, 1, 2, 3, 4, 5);
    project.modifiedAt = at(1999, 12, 31, 23, 59, 59);
    project.routes.push_back(Route(EndpointKey(EndpointKind::rtp, "Net")));
    project.rtpSessions.resize(1);
    const QByteArray text = *writeProjectJson(project).value;

    EXPECT_TRUE(text.startsWith("{\n    \"assets\": [\n    ],\n    \"createdAt\": ")) << text.constData();
    for (const char *want :
         {R"("id": "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3")", R"("createdAt": "2026-01-02T03:04:05Z")",
          R"("modifiedAt": "1999-12-31T23:59:59Z")", R"("channelMask": 65535)"})
        EXPECT_TRUE(text.contains(want)) << want;
    for (const char *absent :
         {"filterChainID", "uniqueID", "null", "networkMidi2Sessions", "recoveryJournal", "llowed"})
        EXPECT_FALSE(text.contains(absent)) << absent;
}

TEST(ProjectJson, HandWrittenFileInAnyOrderWithLowerCaseIds)
{
    const char *json = R"({
      "settings": {"monitorBufferSize": 64, "panicOnStop": false, "startEngineOnOpen": true},
      "routes": [{"source": {"name": "Keys", "kind": "physical", "uniqueID": -12},
                  "filterChainID": "abcdefab-cdef-4abc-8def-abcdefabcdef",
                  "channelMask": 3, "destinations": [{"kind": "virtual", "name": "Bus"}],
                  "enabled": true, "name": "R", "id": "11111111-2222-4333-8444-55555555aaaa"}],
      "name": "Main", "formatVersion": 7,
      "createdAt": "2026-03-01T22:15:00+02:00", "modifiedAt": "2026-03-01t20:15:00z",
      "id": "0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3",
      "filterChains": [{"steps": [{"kind": "messageTypeFilter", "id": "21111111-2222-4333-8444-555555555555",
                                   "enabled": true, "blockedTypes": ["sysex", "systemRealtime"],
                                   "velocityScale": 2, "transpose": null}],
                        "name": "C", "id": "ABCDEFAB-CDEF-4ABC-8DEF-ABCDEFABCDEF"}],
      "unknownKey": [1, 2, 3]
    })";
    const auto read = readProjectJson(QByteArray(json));
    ASSERT_TRUE(read) << read.error;
    const TOVProject &p = *read.value;
    EXPECT_EQ(p.id.toString(), "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");
    EXPECT_EQ(p.createdAt, at(2026, 3, 1, 20, 15, 0));
    EXPECT_EQ(p.modifiedAt, at(2026, 3, 1, 20, 15, 0));
    ASSERT_TRUE(p.filterChain(p.routes.at(0).filterChainID)); // ids match whatever their case
    EXPECT_FALSE(p.filterChains[0].steps[0].transpose);       // null reads as absent

    // The version is written back unchanged.
    EXPECT_TRUE(writeProjectJson(p).value->contains("\"formatVersion\": 7"));
}

TEST(ProjectJson, EmptyObjectGivesDefaultProject)
{
    const Timestamp before = currentTimestamp();
    const auto read = readProjectJson("{}");
    ASSERT_TRUE(read) << read.error;
    const TOVProject &p = *read.value;
    TOVProject expected;
    expected.id = p.id;
    expected.createdAt = p.createdAt;
    expected.modifiedAt = p.modifiedAt;
    EXPECT_EQ(p, expected);
    EXPECT_FALSE(p.id.isNull());
    EXPECT_GE(p.createdAt, before);
    EXPECT_LE(p.modifiedAt, currentTimestamp());
    // Null keys read like missing ones; an empty session gets the defaults.
    const auto nulls =
        readProjectJson(R"({"name": null, "settings": null, "routes": null, "rtpSessions": [{}]})");
    ASSERT_TRUE(nulls) << nulls.error;
    EXPECT_EQ(nulls.value->name, "Nouveau projet");
    RTPSessionConfig session;
    session.id = nulls.value->rtpSessions.at(0).id;
    EXPECT_EQ(nulls.value->rtpSessions[0], session);
}

#define ROUTE_BASE R"("id": "11111111-2222-4333-8444-555555555555", "name": "R", "enabled": true, )"
#define SOURCE R"("source": {"kind": "physical", "name": "In"}, )"

TEST(ProjectJson, FailuresNameThePathAndTheReason)
{
    const std::pair<const char *, const char *> rows[] = {
        {"not json", "JSON invalide près de la ligne 1, colonne 2 (octet 1) : valeur illégale"},
        {"{\n  \"name\": \"x\"\n  \"notes\": \"\"\n}",
         "JSON invalide près de la ligne 3, colonne 4 (octet 19) : objet non terminé"},
        {"[]", "objet JSON attendu à la racine du document, tableau trouvé"},
        {R"({"routes": [{)" ROUTE_BASE SOURCE R"("destinations": [], "channelMask": 1}, {)" ROUTE_BASE
         R"("destinations": [], "channelMask": 1}]})",
         "routes[1].source : clé manquante"},
        {R"({"routes": [{)" ROUTE_BASE SOURCE R"("destinations": [], "channelMask": 65536}]})",
         "routes[0].channelMask : entier entre 0 et 65535 attendu, 65536 trouvé"},
        {R"({"routes": [{)" ROUTE_BASE SOURCE R"("destinations": [], "channelMask": -1}]})",
         "routes[0].channelMask : entier entre 0 et 65535 attendu, -1 trouvé"},
        {R"({"routes": [{)" ROUTE_BASE SOURCE R"("destinations": null, "channelMask": 1}]})",
         "routes[0].destinations : tableau attendu, null trouvé"},
        {R"({"routes": [{)" ROUTE_BASE SOURCE
         R"("destinations": [{"kind": "physical", "name": "a"}, {"kind": "Virtual", "name": "b"}],
                        "channelMask": 1}]})",
         "routes[0].destinations[1].kind : valeur inconnue « Virtual »"},
        {R"({"devices": [{"id": "11111111-2222-4333-8444-555555555555", "role": "source",
                            "nickname": "", "key": {"kind": "rtp", "name": "n", "uniqueID": 2147483648}}]})",
         "devices[0].key.uniqueID : entier entre -2147483648 et 2147483647 attendu, 2147483648 trouvé"},
        {R"({"formatVersion": 1.5})", "formatVersion : entier attendu, 1.5 trouvé"},
        {R"({"formatVersion": 9223372036854775808})",
         "formatVersion : entier sur 64 bits attendu, 9223372036854776000 trouvé"},
        {R"({"id": "0A1B2C3D-4E5F-4A6B-8C7D"})", "id : UUID invalide « 0A1B2C3D-4E5F-4A6B-8C7D »"},
        {R"({"settings": {"startEngineOnOpen": true, "panicOnStop": true}})",
         "settings.monitorBufferSize : clé manquante"},
        {R"({"filterChains": [{"id": "11111111-2222-4333-8444-555555555555", "name": "c",
                           "steps": [{"id": "11111111-2222-4333-8444-555555555555", "kind": "transpose",
                           "enabled": true, "blockedTypes": ["noteOn", "clock"]}]}]})",
         "filterChains[0].steps[0].blockedTypes[1] : valeur inconnue « clock »"},
        {R"({"rtpSessions": [{}, {"localPort": 1.25}]})",
         "rtpSessions[1].localPort : entier attendu, 1.25 trouvé"},
        {R"({"networkMidi2Sessions": [{"role": "listener"}]})",
         "networkMidi2Sessions[0].role : valeur inconnue « listener »"},
        // Network MIDI 2.0 settings are refused just outside their ranges.
        {R"({"networkMidi2Sessions": [{"fecDepth": 11}]})",
         "networkMidi2Sessions[0].fecDepth : entier entre 0 et 10 attendu, 11 trouvé"},
        {R"({"networkMidi2Sessions": [{"fecDepth": -1}]})",
         "networkMidi2Sessions[0].fecDepth : entier entre 0 et 10 attendu, -1 trouvé"},
        {R"({"networkMidi2Sessions": [{"retransmitBufferSize": 1001}]})",
         "networkMidi2Sessions[0].retransmitBufferSize : entier entre 0 et 1000 attendu, 1001 trouvé"},
        {R"({"networkMidi2Sessions": [{"group": 16}]})",
         "networkMidi2Sessions[0].group : entier entre 0 et 15 attendu, 16 trouvé"},
    };
    for (const auto &[json, error] : rows) {
        const auto read = readProjectJson(QByteArray(json));
        EXPECT_FALSE(read) << json;
        EXPECT_EQ(read.error, error);
    }
}

TEST(Timestamps, ParseRfc3339)
{
    const std::pair<const char *, Timestamp> valid[] = {
        {"2026-03-01T20:15:00Z", at(2026, 3, 1, 20, 15, 0)},
        {"2026-03-01t20:15:00z", at(2026, 3, 1, 20, 15, 0)},
        {"2026-03-01T22:45:00+02:30", at(2026, 3, 1, 20, 15, 0)},
        {"2026-03-01T00:30:00+01:00", at(2026, 2, 28, 23, 30, 0)},
        {"2024-02-29T00:00:00-00:00", at(2024, 2, 29, 0, 0, 0)},
        {"2016-12-31T23:59:60Z", at(2017, 1, 1, 0, 0, 0)},
        {"0000-01-01T00:00:00Z", at(0, 1, 1, 0, 0, 0)},
        {"9999-12-31T23:59:59Z", at(9999, 12, 31, 23, 59, 59)},
    };
    for (const auto &[text, time] : valid)
        EXPECT_EQ(parseTimestamp(text), time) << text;
    // The last two would fall outside years 0000 to 9999 in UTC.
    for (const char *text :
         {"2023-02-29T00:00:00Z", "2026-03-01T24:00:00Z", "2026-03-01T20:15:00", "2026-03-01T20:15:00.000Z",
          "2026-03-01T20:15:00+0200", "2026-03-01T20:15:00+24:00", "26-03-01T20:15:00Z", "",
          "0000-01-01T00:30:00+01:00", "9999-12-31T23:59:60Z"})
        EXPECT_FALSE(parseTimestamp(text)) << text;
    EXPECT_EQ(formatTimestamp(at(2026, 3, 1, 8, 5, 9)), "2026-03-01T08:05:09Z");
    EXPECT_EQ(formatTimestamp(at(0, 1, 1, 0, 0, 0)), "0000-01-01T00:00:00Z");
}

} // namespace
} // namespace korvane
