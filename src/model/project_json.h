#pragma once

// JSON form of the project records, as stored in a package's project.json.
//
// Writing: indented, keys of every object sorted, optional fields left out
// when absent, UUIDs upper-case, dates "YYYY-MM-DDTHH:MM:SSZ".
// Reading is strict: required keys must be present with the right JSON type,
// integers must be whole and fit their field, and the first fault fails the
// whole read. Only TOVProject and the two session configurations fall back to
// defaults for missing keys. Errors are French texts naming the key path, for example
// "routes[2].source : clé manquante".

#include "model/project.h"

#include <QByteArray>
#include <QJsonObject>

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

template <typename T> struct JsonResult {
    std::optional<T> value;
    std::string error; // set when value is absent

    bool ok() const { return value.has_value(); }
    explicit operator bool() const { return ok(); }
};

// The whole file. Fails only when a number cannot be written in JSON
// (a velocity scale that is infinite or not a number).
JsonResult<QByteArray> writeProjectJson(const TOVProject &project);
// Syntax errors are reported with their line, column and byte offset.
JsonResult<TOVProject> readProjectJson(const QByteArray &bytes);

QJsonObject toJson(const EndpointKey &key);
QJsonObject toJson(const DeviceRef &device);
QJsonObject toJson(const Route &route);
QJsonObject toJson(const FilterStep &step);
QJsonObject toJson(const FilterChain &chain);
QJsonObject toJson(const RTPSessionConfig &session);
QJsonObject toJson(const NetworkMIDI2SessionConfig &session);
QJsonObject toJson(const VirtualPortConfig &port);
QJsonObject toJson(const AssetRef &asset);
QJsonObject toJson(const ProjectSettings &settings);
QJsonObject toJson(const TOVProject &project);

// Reads one record from a JSON object. Instantiated for every record above.
template <typename T> JsonResult<T> fromJson(const QJsonObject &object);

// "2026-03-01T20:15:00Z".
std::string formatTimestamp(Timestamp time);
// RFC 3339 internet date-time without fractional seconds: Z or a numeric
// offset ("+02:00", "-05:30"), converted to UTC.
std::optional<Timestamp> parseTimestamp(std::string_view text);

} // namespace korvane
