#include "model/project_json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdio>

namespace korvane {

namespace {

QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonValue uuidValue(const Uuid &id)
{
    return qs(id.toString());
}

template <typename T, typename F> QJsonArray arrayOf(const std::vector<T> &items, F &&convert)
{
    QJsonArray array;
    for (const T &item : items)
        array.append(convert(item));
    return array;
}

template <typename T> QJsonArray recordArray(const std::vector<T> &items)
{
    return arrayOf(items, [](const T &item) { return toJson(item); });
}

void putInt(QJsonObject &o, const char *key, std::int64_t value)
{
    o.insert(QLatin1String(key), QJsonValue(static_cast<qint64>(value)));
}

void putOptionalInt(QJsonObject &o, const char *key, const std::optional<std::int64_t> &value)
{
    if (value)
        putInt(o, key, *value);
}

} // namespace

std::string formatTimestamp(Timestamp time)
{
    const auto days = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day ymd{days};
    const std::chrono::hh_mm_ss hms{time - days};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return text;
}

std::optional<Timestamp> parseTimestamp(std::string_view s)
{
    // YYYY-MM-DDTHH:MM:SS then Z or +HH:MM / -HH:MM (RFC 3339 section 5.6;
    // the letters T and Z may be lower case).
    auto digits = [&](std::size_t pos, std::size_t count) -> std::optional<int> {
        if (pos + count > s.size())
            return std::nullopt;
        int value = 0;
        for (std::size_t i = pos; i < pos + count; ++i) {
            if (s[i] < '0' || s[i] > '9')
                return std::nullopt;
            value = value * 10 + (s[i] - '0');
        }
        return value;
    };
    auto is = [&](std::size_t pos, char a, char b = 0) {
        return pos < s.size() && (s[pos] == a || (b != 0 && s[pos] == b));
    };
    if (s.size() < 20 || !is(4, '-') || !is(7, '-') || !is(10, 'T', 't') || !is(13, ':') || !is(16, ':'))
        return std::nullopt;
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year{*year}, std::chrono::month{unsigned(*month)},
                                          std::chrono::day{unsigned(*day)}};
    // A leap second (60) is allowed by RFC 3339 and lands on the next minute.
    if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;

    int offsetMinutes = 0;
    if (s.size() == 20 && is(19, 'Z', 'z')) {
        offsetMinutes = 0;
    } else if (s.size() == 25 && (is(19, '+') || is(19, '-')) && is(22, ':')) {
        const auto oh = digits(20, 2), om = digits(23, 2);
        if (!oh || !om || *oh > 23 || *om > 59)
            return std::nullopt;
        offsetMinutes = (*oh * 60 + *om) * (s[19] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    const Timestamp local = std::chrono::sys_days{ymd} + std::chrono::hours{*hour} +
                            std::chrono::minutes{*minute} + std::chrono::seconds{*second};
    // Only instants that can be written back in the four-digit form are kept,
    // so a loaded project always saves and loads again.
    const Timestamp utc = local - std::chrono::minutes{offsetMinutes};
    const Timestamp first = std::chrono::sys_days{std::chrono::year{0} / 1 / 1};
    const Timestamp last =
        std::chrono::sys_days{std::chrono::year{9999} / 12 / 31} + std::chrono::seconds{86399};
    if (utc < first || utc > last)
        return std::nullopt;
    return utc;
}

QJsonObject toJson(const EndpointKey &key)
{
    QJsonObject o;
    o.insert(QLatin1String("kind"), qs(rawValue(key.kind)));
    o.insert(QLatin1String("name"), qs(key.name));
    if (key.uniqueID)
        putInt(o, "uniqueID", *key.uniqueID);
    return o;
}

QJsonObject toJson(const DeviceRef &device)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(device.id));
    o.insert(QLatin1String("key"), toJson(device.key));
    o.insert(QLatin1String("role"), qs(rawValue(device.role)));
    o.insert(QLatin1String("nickname"), qs(device.nickname));
    return o;
}

QJsonObject toJson(const Route &route)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(route.id));
    o.insert(QLatin1String("name"), qs(route.name));
    o.insert(QLatin1String("enabled"), route.enabled);
    o.insert(QLatin1String("source"), toJson(route.source));
    o.insert(QLatin1String("destinations"), recordArray(route.destinations));
    putInt(o, "channelMask", route.channelMask);
    if (route.filterChainID)
        o.insert(QLatin1String("filterChainID"), uuidValue(*route.filterChainID));
    return o;
}

QJsonObject toJson(const FilterStep &step)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(step.id));
    o.insert(QLatin1String("kind"), qs(rawValue(step.kind)));
    o.insert(QLatin1String("enabled"), step.enabled);
    if (step.channelMap)
        o.insert(QLatin1String("channelMap"),
                 arrayOf(*step.channelMap, [](int ch) { return QJsonValue(static_cast<qint64>(ch)); }));
    putOptionalInt(o, "transpose", step.transpose);
    if (step.velocityScale)
        o.insert(QLatin1String("velocityScale"), *step.velocityScale);
    putOptionalInt(o, "velocityOffset", step.velocityOffset);
    putOptionalInt(o, "noteLow", step.noteLow);
    putOptionalInt(o, "noteHigh", step.noteHigh);
    putOptionalInt(o, "ccLow", step.ccLow);
    putOptionalInt(o, "ccHigh", step.ccHigh);
    if (step.blockedTypes)
        o.insert(QLatin1String("blockedTypes"),
                 arrayOf(*step.blockedTypes, [](MIDIStatusType t) { return QJsonValue(qs(rawValue(t))); }));
    return o;
}

QJsonObject toJson(const FilterChain &chain)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(chain.id));
    o.insert(QLatin1String("name"), qs(chain.name));
    o.insert(QLatin1String("steps"), recordArray(chain.steps));
    return o;
}

QJsonObject toJson(const RTPSessionConfig &session)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(session.id));
    o.insert(QLatin1String("name"), qs(session.name));
    o.insert(QLatin1String("enabled"), session.enabled);
    o.insert(QLatin1String("role"), qs(rawValue(session.role)));
    putInt(o, "localPort", session.localPort);
    o.insert(QLatin1String("bindAddress"), qs(session.bindAddress));
    o.insert(QLatin1String("remoteHost"), qs(session.remoteHost));
    putInt(o, "remotePort", session.remotePort);
    // Written only away from their defaults, so a file without them means
    // what it always meant.
    if (!session.recoveryJournal)
        o.insert(QLatin1String("recoveryJournal"), false);
    if (session.onlyAllowedHosts)
        o.insert(QLatin1String("onlyAllowedHosts"), true);
    if (!session.allowedHosts.empty())
        o.insert(QLatin1String("allowedHosts"),
                 arrayOf(session.allowedHosts, [](const std::string &h) { return QJsonValue(qs(h)); }));
    return o;
}

QJsonObject toJson(const NetworkMIDI2SessionConfig &session)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(session.id));
    o.insert(QLatin1String("name"), qs(session.name));
    o.insert(QLatin1String("enabled"), session.enabled);
    o.insert(QLatin1String("role"), qs(rawValue(session.role)));
    putInt(o, "localPort", session.localPort);
    o.insert(QLatin1String("remoteHost"), qs(session.remoteHost));
    putInt(o, "remotePort", session.remotePort);
    putInt(o, "fecDepth", session.fecDepth);
    putInt(o, "retransmitBufferSize", session.retransmitBufferSize);
    putInt(o, "group", session.group);
    return o;
}

QJsonObject toJson(const VirtualPortConfig &port)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(port.id));
    o.insert(QLatin1String("name"), qs(port.name));
    o.insert(QLatin1String("createsSource"), port.createsSource);
    o.insert(QLatin1String("createsDestination"), port.createsDestination);
    return o;
}

QJsonObject toJson(const AssetRef &asset)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(asset.id));
    o.insert(QLatin1String("filename"), qs(asset.filename));
    o.insert(QLatin1String("label"), qs(asset.label));
    o.insert(QLatin1String("kind"), qs(asset.kind));
    return o;
}

QJsonObject toJson(const ProjectSettings &settings)
{
    QJsonObject o;
    o.insert(QLatin1String("startEngineOnOpen"), settings.startEngineOnOpen);
    o.insert(QLatin1String("panicOnStop"), settings.panicOnStop);
    putInt(o, "monitorBufferSize", settings.monitorBufferSize);
    return o;
}

QJsonObject toJson(const TOVProject &project)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), uuidValue(project.id));
    o.insert(QLatin1String("name"), qs(project.name));
    o.insert(QLatin1String("createdAt"), qs(formatTimestamp(project.createdAt)));
    o.insert(QLatin1String("modifiedAt"), qs(formatTimestamp(project.modifiedAt)));
    o.insert(QLatin1String("notes"), qs(project.notes));
    putInt(o, "formatVersion", project.formatVersion);
    o.insert(QLatin1String("devices"), recordArray(project.devices));
    o.insert(QLatin1String("routes"), recordArray(project.routes));
    o.insert(QLatin1String("filterChains"), recordArray(project.filterChains));
    o.insert(QLatin1String("rtpSessions"), recordArray(project.rtpSessions));
    // Absent when empty: a show without such a session writes what it always did.
    if (!project.networkMidi2Sessions.empty())
        o.insert(QLatin1String("networkMidi2Sessions"), recordArray(project.networkMidi2Sessions));
    o.insert(QLatin1String("virtualPorts"), recordArray(project.virtualPorts));
    o.insert(QLatin1String("assets"), recordArray(project.assets));
    o.insert(QLatin1String("settings"), toJson(project.settings));
    return o;
}

JsonResult<QByteArray> writeProjectJson(const TOVProject &project)
{
    // JSON has no text for infinities or NaN; writing them would silently
    // turn the value into null and lose it on the next load.
    for (std::size_t c = 0; c < project.filterChains.size(); ++c) {
        const auto &steps = project.filterChains[c].steps;
        for (std::size_t s = 0; s < steps.size(); ++s) {
            if (steps[s].velocityScale && !std::isfinite(*steps[s].velocityScale))
                return {std::nullopt, "filterChains[" + std::to_string(c) + "].steps[" + std::to_string(s) +
                                          "].velocityScale : nombre non fini, impossible à écrire en JSON"};
        }
    }
    // QJsonObject keeps its keys sorted, so the output is sorted at every level.
    return {QJsonDocument(toJson(project)).toJson(QJsonDocument::Indented), {}};
}

} // namespace korvane
