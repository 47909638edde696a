#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

#include <optional>

namespace korvane {

// The brand's colours and font names. Colours are kept as the kit's text and
// turned into colours with colorFromHex where drawn.
struct BrandKit {
    QString name = QStringLiteral("TOV Ovrane");
    QString accent = QStringLiteral("#FF6B00");
    QString accentSecondary = QStringLiteral("#FF8A3D");
    QString background = QStringLiteral("#0A0A0C");
    QString surface = QStringLiteral("#14141A");
    QString textPrimary = QStringLiteral("#F4F1EA");
    QString textSecondary = QStringLiteral("#9C9890");
    QString ok = QStringLiteral("#22C55E");
    QString warn = QStringLiteral("#D29922");
    QString error = QStringLiteral("#F85149");
    QString fontTitle = QStringLiteral("Inter");
    QString fontBody = QStringLiteral("Inter");
    QString fontMono = QStringLiteral("JetBrains Mono");

    friend bool operator==(const BrandKit &, const BrandKit &) = default;

    // A kit from JSON text: every one of the 13 keys present and a string,
    // or nothing (no per-field fallback).
    static std::optional<BrandKit> fromJson(const QByteArray &json);
    // The first of `candidates` that exists decides: its kit when it is a
    // valid one, otherwise the defaults. No file at all: the defaults.
    static BrandKit load(const QStringList &candidates);
};

// "#RRGGBB", or "#RRGGBBAA" with alpha last; "#" optional, surrounding white
// space ignored. Other lengths are read as a number in RRGGBB ("#FFF" is
// 0x000FFF); digits stop at the first non-hex character; no digit is black.
QColor colorFromHex(const QString &text);

} // namespace korvane
