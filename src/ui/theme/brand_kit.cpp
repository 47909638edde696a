#include "ui/theme/brand_kit.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace korvane {

std::optional<BrandKit> BrandKit::fromJson(const QByteArray &json)
{
    QJsonParseError error{};
    const auto document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    BrandKit kit;
    const std::pair<const char *, QString *> fields[] = {
        {"name", &kit.name},
        {"accent", &kit.accent},
        {"accentSecondary", &kit.accentSecondary},
        {"background", &kit.background},
        {"surface", &kit.surface},
        {"textPrimary", &kit.textPrimary},
        {"textSecondary", &kit.textSecondary},
        {"ok", &kit.ok},
        {"warn", &kit.warn},
        {"error", &kit.error},
        {"fontTitle", &kit.fontTitle},
        {"fontBody", &kit.fontBody},
        {"fontMono", &kit.fontMono},
    };
    for (const auto &[key, field] : fields) {
        const auto value = object.value(QLatin1String(key));
        if (!value.isString())
            return std::nullopt;
        *field = value.toString();
    }
    return kit;
}

BrandKit BrandKit::load(const QStringList &candidates)
{
    for (const auto &path : candidates) {
        QFile file(path);
        if (!file.exists())
            continue;
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return fromJson(file.readAll()).value_or(BrandKit{});
    }
    return {};
}

QColor colorFromHex(const QString &text)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1Char('#')))
        digits.remove(0, 1);

    quint64 value = 0;
    for (const QChar c : digits) {
        const int d = QStringLiteral("0123456789abcdef").indexOf(c.toLower());
        if (d < 0)
            break;
        value = (value << 4) | static_cast<quint64>(d);
    }
    // Only the low 32 bits are read, whatever the length.
    const auto byte = [value](int shift) { return static_cast<int>((value >> shift) & 0xFF); };
    if (digits.size() == 8)
        return QColor(byte(24), byte(16), byte(8), byte(0));
    return QColor(byte(16), byte(8), byte(0));
}

} // namespace korvane
