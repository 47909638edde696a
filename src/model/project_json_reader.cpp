#include "model/project_json.h"

#include "model/text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace korvane {

namespace {

std::string typeName(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        return "null";
    case QJsonValue::Bool:
        return "booléen";
    case QJsonValue::Double:
        return "nombre";
    case QJsonValue::String:
        return "texte";
    case QJsonValue::Array:
        return "tableau";
    case QJsonValue::Object:
        return "objet";
    case QJsonValue::Undefined:
        break;
    }
    return "valeur absente";
}

std::string quoted(const QString &text)
{
    QString shown = text.size() > 60 ? text.left(57) + QStringLiteral("...") : text;
    return "« " + toStd(shown) + " »";
}

std::string numberText(double d)
{
    return QByteArray::number(d, 'g', QLocale::FloatingPointShortest).toStdString();
}

// Walks one JSON tree, keeping the key path of the value being read so the
// first fault can be reported where it is. Every read* returns false once a
// fault is recorded.
class Reader {
public:
    const std::string &error() const { return m_error; }

    template <typename T> bool readRoot(const QJsonObject &o, T &out) { return fields(o, out); }

private:
    struct Segment {
        Reader &r;
        Segment(Reader &reader, std::string part) : r(reader) { r.m_path.push_back(std::move(part)); }
        ~Segment() { r.m_path.pop_back(); }
    };

    bool fail(const std::string &what)
    {
        std::string path;
        for (const std::string &part : m_path)
            path += part;
        if (!path.empty() && path.front() == '.')
            path.erase(0, 1);
        m_error = path.empty() ? what : path + " : " + what;
        return false;
    }

    bool wrongType(const char *expected, const QJsonValue &v)
    {
        return fail(std::string(expected) + " attendu, " + typeName(v) + " trouvé");
    }

    static bool absent(const QJsonValue &v) { return v.isUndefined() || v.isNull(); }

    // A non-optional key: missing fails, null is a wrong type.
    template <typename T> bool required(const QJsonObject &o, const char *key, T &out)
    {
        Segment seg(*this, std::string(".") + key);
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isUndefined())
            return fail("clé manquante");
        return read(v, out);
    }

    // An optional field: missing or null reads as absent.
    template <typename T> bool optionalKey(const QJsonObject &o, const char *key, std::optional<T> &out)
    {
        Segment seg(*this, std::string(".") + key);
        const QJsonValue v = o.value(QLatin1String(key));
        out.reset();
        if (absent(v))
            return true;
        T value{};
        if (!read(v, value))
            return false;
        out = std::move(value);
        return true;
    }

    // A field with a default: missing or null keeps what out already holds.
    template <typename T> bool defaulted(const QJsonObject &o, const char *key, T &out)
    {
        Segment seg(*this, std::string(".") + key);
        const QJsonValue v = o.value(QLatin1String(key));
        return absent(v) || read(v, out);
    }

    bool read(const QJsonValue &v, std::string &out)
    {
        if (!v.isString())
            return wrongType("texte", v);
        out = toStd(v.toString());
        return true;
    }

    bool read(const QJsonValue &v, bool &out)
    {
        if (!v.isBool())
            return wrongType("booléen", v);
        out = v.toBool();
        return true;
    }

    bool read(const QJsonValue &v, double &out)
    {
        if (!v.isDouble())
            return wrongType("nombre", v);
        out = v.toDouble();
        return true;
    }

    // Any integral JSON number within 64 bits. The parser keeps integer
    // literals exact as qlonglong; other numbers arrive as double.
    bool readInt64(const QJsonValue &v, std::int64_t &out)
    {
        if (!v.isDouble())
            return wrongType("entier", v);
        const QVariant exact = v.toVariant();
        if (exact.typeId() == QMetaType::LongLong) {
            out = exact.toLongLong();
            return true;
        }
        const double d = v.toDouble();
        if (!std::isfinite(d) || std::trunc(d) != d)
            return fail("entier attendu, " + numberText(d) + " trouvé");
        // 2^63 itself is one past the largest int64.
        constexpr double kTwoTo63 = 9223372036854775808.0;
        if (d < -kTwoTo63 || d >= kTwoTo63)
            return fail("entier sur 64 bits attendu, " + numberText(d) + " trouvé");
        out = static_cast<std::int64_t>(d);
        return true;
    }

    bool readInteger(const QJsonValue &v, std::int64_t low, std::int64_t high, std::int64_t &out)
    {
        std::int64_t n = 0;
        if (!readInt64(v, n))
            return false;
        if (n < low || n > high)
            return fail("entier entre " + std::to_string(low) + " et " + std::to_string(high) + " attendu, " +
                        std::to_string(n) + " trouvé");
        out = n;
        return true;
    }

    bool read(const QJsonValue &v, std::int64_t &out) { return readInt64(v, out); }

    // Only the 32-bit unique id of an endpoint is read through this one.
    bool read(const QJsonValue &v, int &out)
    {
        std::int64_t n = 0;
        if (!readInteger(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), n))
            return false;
        out = static_cast<int>(n);
        return true;
    }

    static int nearestInt(std::int64_t n)
    {
        return static_cast<int>(
            std::clamp<std::int64_t>(n, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    }

    // A port: any 64-bit integer, the ones beyond int taken as the nearest
    // int, which is out of every port range just as the original value.
    bool readPort(const QJsonObject &o, const char *key, int &out)
    {
        Segment seg(*this, std::string(".") + key);
        const QJsonValue v = o.value(QLatin1String(key));
        std::int64_t n = 0;
        if (absent(v))
            return true;
        if (!readInt64(v, n))
            return false;
        out = nearestInt(n);
        return true;
    }

    // Entries of any 64-bit size, each taken as the nearest int.
    bool channelMap(const QJsonObject &o, std::optional<std::vector<int>> &out)
    {
        std::optional<std::vector<std::int64_t>> wide;
        if (!optionalKey(o, "channelMap", wide))
            return false;
        out.reset();
        if (wide) {
            out.emplace();
            for (const std::int64_t n : *wide)
                out->push_back(nearestInt(n));
        }
        return true;
    }

    bool read(const QJsonValue &v, std::uint16_t &out)
    {
        std::int64_t n = 0;
        if (!readInteger(v, 0, std::numeric_limits<std::uint16_t>::max(), n))
            return false;
        out = static_cast<std::uint16_t>(n);
        return true;
    }

    bool read(const QJsonValue &v, Uuid &out)
    {
        if (!v.isString())
            return wrongType("UUID (texte)", v);
        const auto id = Uuid::fromString(toStd(v.toString()));
        if (!id)
            return fail("UUID invalide " + quoted(v.toString()));
        out = *id;
        return true;
    }

    bool read(const QJsonValue &v, Timestamp &out)
    {
        if (!v.isString())
            return wrongType("texte de date", v);
        const auto time = parseTimestamp(toStd(v.toString()));
        if (!time)
            return fail("date invalide " + quoted(v.toString()) +
                        ", forme attendue AAAA-MM-JJTHH:MM:SSZ ou avec un décalage ±HH:MM");
        out = *time;
        return true;
    }

    template <typename E, typename FromRaw> bool readEnum(const QJsonValue &v, E &out, FromRaw fromRaw)
    {
        if (!v.isString())
            return wrongType("texte", v);
        const auto value = fromRaw(toStd(v.toString()));
        if (!value)
            return fail("valeur inconnue " + quoted(v.toString()));
        out = *value;
        return true;
    }

    bool read(const QJsonValue &v, EndpointKind &out) { return readEnum(v, out, endpointKindFromRaw); }
    bool read(const QJsonValue &v, EndpointRole &out) { return readEnum(v, out, endpointRoleFromRaw); }
    bool read(const QJsonValue &v, RTPRole &out) { return readEnum(v, out, rtpRoleFromRaw); }
    bool read(const QJsonValue &v, NetworkMIDI2Role &out)
    {
        return readEnum(v, out, networkMIDI2RoleFromRaw);
    }
    bool read(const QJsonValue &v, FilterStep::Kind &out) { return readEnum(v, out, filterStepKindFromRaw); }
    bool read(const QJsonValue &v, MIDIStatusType &out) { return readEnum(v, out, midiStatusTypeFromRaw); }

    template <typename T> bool read(const QJsonValue &v, std::vector<T> &out)
    {
        if (!v.isArray())
            return wrongType("tableau", v);
        const QJsonArray array = v.toArray();
        std::vector<T> items;
        items.reserve(static_cast<std::size_t>(array.size()));
        for (qsizetype i = 0; i < array.size(); ++i) {
            std::string index(1, '['); // built piecewise: "[" + ... trips a GCC 12 -Wrestrict false positive
            index += std::to_string(i);
            index += ']';
            Segment seg(*this, std::move(index));
            T item{};
            if (!read(array.at(i), item))
                return false;
            items.push_back(std::move(item));
        }
        out = std::move(items);
        return true;
    }

    template <typename T>
    requires std::is_class_v<T>
    bool read(const QJsonValue &v, T &out)
    {
        if (!v.isObject())
            return wrongType("objet", v);
        return fields(v.toObject(), out);
    }

    bool fields(const QJsonObject &o, EndpointKey &k)
    {
        return required(o, "kind", k.kind) && required(o, "name", k.name) &&
               optionalKey(o, "uniqueID", k.uniqueID);
    }

    bool fields(const QJsonObject &o, DeviceRef &d)
    {
        return required(o, "id", d.id) && required(o, "key", d.key) && required(o, "role", d.role) &&
               required(o, "nickname", d.nickname);
    }

    bool fields(const QJsonObject &o, Route &r)
    {
        return required(o, "id", r.id) && required(o, "name", r.name) && required(o, "enabled", r.enabled) &&
               required(o, "source", r.source) && required(o, "destinations", r.destinations) &&
               required(o, "channelMask", r.channelMask) && optionalKey(o, "filterChainID", r.filterChainID);
    }

    bool fields(const QJsonObject &o, FilterStep &s)
    {
        return required(o, "id", s.id) && required(o, "kind", s.kind) && required(o, "enabled", s.enabled) &&
               channelMap(o, s.channelMap) && optionalKey(o, "transpose", s.transpose) &&
               optionalKey(o, "velocityScale", s.velocityScale) &&
               optionalKey(o, "velocityOffset", s.velocityOffset) && optionalKey(o, "noteLow", s.noteLow) &&
               optionalKey(o, "noteHigh", s.noteHigh) && optionalKey(o, "ccLow", s.ccLow) &&
               optionalKey(o, "ccHigh", s.ccHigh) && optionalKey(o, "blockedTypes", s.blockedTypes);
    }

    bool fields(const QJsonObject &o, FilterChain &c)
    {
        return required(o, "id", c.id) && required(o, "name", c.name) && required(o, "steps", c.steps);
    }

    bool fields(const QJsonObject &o, RTPSessionConfig &s)
    {
        return defaulted(o, "id", s.id) && defaulted(o, "name", s.name) &&
               defaulted(o, "enabled", s.enabled) && defaulted(o, "role", s.role) &&
               readPort(o, "localPort", s.localPort) && defaulted(o, "bindAddress", s.bindAddress) &&
               defaulted(o, "remoteHost", s.remoteHost) && readPort(o, "remotePort", s.remotePort) &&
               defaulted(o, "recoveryJournal", s.recoveryJournal) &&
               defaulted(o, "onlyAllowedHosts", s.onlyAllowedHosts) &&
               defaulted(o, "allowedHosts", s.allowedHosts);
    }

    // A bounded setting: missing or null keeps its default, anything outside
    // low...high fails the read.
    bool bounded(const QJsonObject &o, const char *key, std::int64_t low, std::int64_t high, int &out)
    {
        Segment seg(*this, std::string(".") + key);
        const QJsonValue v = o.value(QLatin1String(key));
        std::int64_t n = 0;
        if (absent(v))
            return true;
        if (!readInteger(v, low, high, n))
            return false;
        out = static_cast<int>(n);
        return true;
    }

    bool fields(const QJsonObject &o, NetworkMIDI2SessionConfig &s)
    {
        return defaulted(o, "id", s.id) && defaulted(o, "name", s.name) &&
               defaulted(o, "enabled", s.enabled) && defaulted(o, "role", s.role) &&
               readPort(o, "localPort", s.localPort) && defaulted(o, "remoteHost", s.remoteHost) &&
               readPort(o, "remotePort", s.remotePort) &&
               bounded(o, "fecDepth", 0, NetworkMIDI2SessionConfig::maxFecDepth, s.fecDepth) &&
               bounded(o, "retransmitBufferSize", 0, NetworkMIDI2SessionConfig::maxRetransmitBufferSize,
                       s.retransmitBufferSize) &&
               bounded(o, "group", 0, 15, s.group);
    }

    bool fields(const QJsonObject &o, VirtualPortConfig &p)
    {
        return required(o, "id", p.id) && required(o, "name", p.name) &&
               required(o, "createsSource", p.createsSource) &&
               required(o, "createsDestination", p.createsDestination);
    }

    bool fields(const QJsonObject &o, AssetRef &a)
    {
        return required(o, "id", a.id) && assetFileName(o, a.filename) && required(o, "label", a.label) &&
               required(o, "kind", a.kind);
    }

    // The name is joined to the package's assets folder: anything that could
    // step out of it, or name the folder itself, is refused.
    bool assetFileName(const QJsonObject &o, std::string &out)
    {
        if (!required(o, "filename", out))
            return false;
        const bool escapes =
            out == "." || out == ".." || out.find_first_of(std::string("/\\\0", 3)) != std::string::npos;
        if (!escapes)
            return true;
        Segment seg(*this, ".filename");
        std::string shown;
        for (const char c : out)
            shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        return fail("nom de fichier refusé " + quoted(toQString(shown)) +
                    " : un nom d'asset ne peut contenir ni « / », ni « \\ », ni caractère nul, "
                    "ni valoir « . » ou « .. »");
    }

    bool fields(const QJsonObject &o, ProjectSettings &s)
    {
        return required(o, "startEngineOnOpen", s.startEngineOnOpen) &&
               required(o, "panicOnStop", s.panicOnStop) &&
               required(o, "monitorBufferSize", s.monitorBufferSize);
    }

    bool fields(const QJsonObject &o, TOVProject &p)
    {
        return defaulted(o, "id", p.id) && defaulted(o, "name", p.name) &&
               defaulted(o, "createdAt", p.createdAt) && defaulted(o, "modifiedAt", p.modifiedAt) &&
               defaulted(o, "notes", p.notes) && defaulted(o, "formatVersion", p.formatVersion) &&
               defaulted(o, "devices", p.devices) && defaulted(o, "routes", p.routes) &&
               defaulted(o, "filterChains", p.filterChains) && defaulted(o, "rtpSessions", p.rtpSessions) &&
               defaulted(o, "networkMidi2Sessions", p.networkMidi2Sessions) &&
               defaulted(o, "virtualPorts", p.virtualPorts) && defaulted(o, "assets", p.assets) &&
               defaulted(o, "settings", p.settings);
    }

    std::vector<std::string> m_path;
    std::string m_error;
};

std::string parseErrorText(QJsonParseError::ParseError error)
{
    switch (error) {
    case QJsonParseError::UnterminatedObject:
        return "objet non terminé";
    case QJsonParseError::MissingNameSeparator:
        return "deux-points manquant après une clé";
    case QJsonParseError::UnterminatedArray:
        return "tableau non terminé";
    case QJsonParseError::MissingValueSeparator:
        return "virgule manquante entre deux valeurs";
    case QJsonParseError::IllegalValue:
        return "valeur illégale";
    case QJsonParseError::TerminationByNumber:
        return "fin du texte au milieu d'un nombre";
    case QJsonParseError::IllegalNumber:
        return "nombre illégal";
    case QJsonParseError::IllegalEscapeSequence:
        return "séquence d'échappement illégale";
    case QJsonParseError::IllegalUTF8String:
        return "texte UTF-8 invalide";
    case QJsonParseError::UnterminatedString:
        return "chaîne non terminée";
    case QJsonParseError::MissingObject:
        return "objet attendu";
    case QJsonParseError::DeepNesting:
        return "imbrication trop profonde";
    case QJsonParseError::DocumentTooLarge:
        return "document trop volumineux";
    case QJsonParseError::GarbageAtEnd:
        return "caractères en trop après la fin du document";
    case QJsonParseError::NoError:
        break;
    }
    return "erreur de syntaxe";
}

} // namespace

template <typename T> JsonResult<T> fromJson(const QJsonObject &object)
{
    T value{};
    Reader reader;
    if (!reader.readRoot(object, value))
        return {std::nullopt, reader.error()};
    return {std::move(value), {}};
}

template JsonResult<EndpointKey> fromJson<EndpointKey>(const QJsonObject &);
template JsonResult<DeviceRef> fromJson<DeviceRef>(const QJsonObject &);
template JsonResult<Route> fromJson<Route>(const QJsonObject &);
template JsonResult<FilterStep> fromJson<FilterStep>(const QJsonObject &);
template JsonResult<FilterChain> fromJson<FilterChain>(const QJsonObject &);
template JsonResult<RTPSessionConfig> fromJson<RTPSessionConfig>(const QJsonObject &);
template JsonResult<NetworkMIDI2SessionConfig> fromJson<NetworkMIDI2SessionConfig>(const QJsonObject &);
template JsonResult<VirtualPortConfig> fromJson<VirtualPortConfig>(const QJsonObject &);
template JsonResult<AssetRef> fromJson<AssetRef>(const QJsonObject &);
template JsonResult<ProjectSettings> fromJson<ProjectSettings>(const QJsonObject &);
template JsonResult<TOVProject> fromJson<TOVProject>(const QJsonObject &);

JsonResult<TOVProject> readProjectJson(const QByteArray &bytes)
{
    if (bytes.trimmed().isEmpty())
        return {std::nullopt, "le fichier est vide"};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // Qt's offset lands on or just after the offending character, hence "près de".
        const auto offset = std::clamp<qsizetype>(parseError.offset, 0, bytes.size());
        const qsizetype lineStart = offset == 0 ? 0 : bytes.lastIndexOf('\n', offset - 1) + 1;
        const qsizetype line = bytes.left(offset).count('\n') + 1;
        qsizetype column = 1; // in characters: UTF-8 continuation bytes do not count
        for (qsizetype k = lineStart; k < offset; ++k)
            column += (static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80 ? 1 : 0;
        return {std::nullopt, "JSON invalide près de la ligne " + std::to_string(line) + ", colonne " +
                                  std::to_string(column) + " (octet " + std::to_string(offset) +
                                  ") : " + parseErrorText(parseError.error)};
    }
    if (!document.isObject())
        return {std::nullopt, "objet JSON attendu à la racine du document, " +
                                  std::string(document.isArray() ? "tableau" : "autre valeur") + " trouvé"};
    return fromJson<TOVProject>(document.object());
}

} // namespace korvane
