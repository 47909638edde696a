#include "ui/theme/brand_kit.h"
#include "ui/theme/theme.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(HexColour, ReadsTheKitFormsAndNeverFails)
{
    struct Case {
        const char *text;
        int r, g, b, a;
    };
    const Case cases[] = {
        {"#FF6B00", 255, 107, 0, 255},
        {"#FF6B0080", 255, 107, 0, 128},       // alpha last
        {" #22c55e\n", 0x22, 0xC5, 0x5E, 255}, // trimmed, lower case
        {"22C55E", 0x22, 0xC5, 0x5E, 255},     // "#" optional
        {"#FFF", 0, 15, 255, 255},             // a number, not a short form
        {"#1234567", 0x23, 0x45, 0x67, 255},   // 7 digits: RRGGBB of the low bits
        {"#12G456", 0, 0, 0x12, 255},          // digits stop at the first non-hex
        {"orange", 0, 0, 0, 255},
        {"", 0, 0, 0, 255},
    };
    for (const auto &c : cases)
        EXPECT_EQ(colorFromHex(QString::fromUtf8(c.text)), QColor(c.r, c.g, c.b, c.a))
            << '"' << c.text << '"';
}

constexpr const char *kFullKit = R"({"name": "Autre", "accent": "#00FF00", "accentSecondary": "#111111",
    "background": "#222222", "surface": "#333333", "textPrimary": "#444444", "textSecondary": "#555555",
    "ok": "#666666", "warn": "#777777", "error": "#888888", "fontTitle": "A", "fontBody": "B",
    "fontMono": "C"})";

TEST(BrandKit, LoadsAllOrNothingFromTheFirstFileFound)
{
    QTemporaryDir dir;
    const auto write = [&](const QString &name, const QByteArray &text) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    };
    const QString full = write("full.json", kFullKit);
    QByteArray nonString = kFullKit;
    nonString.replace("\"#00FF00\"", "42");

    const BrandKit custom{"Autre",   "#00FF00", "#111111", "#222222", "#333333", "#444444", "#555555",
                          "#666666", "#777777", "#888888", "A",       "B",       "C"};

    struct Case {
        const char *what;
        QStringList candidates;
        BrandKit expected;
    };
    const Case cases[] = {
        {"no file", {dir.filePath("none.json")}, BrandKit{}},
        {"complete", {dir.filePath("none.json"), full}, custom},
        {"accent only", {write("accent.json", R"({"accent": "#00FF00"})")}, BrandKit{}},
        {"a number", {write("number.json", nonString)}, BrandKit{}},
        {"not JSON", {write("broken.json", "{\"accent\": ")}, BrandKit{}},
        {"an array", {write("array.json", "[]")}, BrandKit{}},
        {"first found decides", {write("first.json", "{}"), full}, BrandKit{}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(BrandKit::load(c.candidates), c.expected) << c.what;

    // No kit ships: the process runs on the defaults.
    EXPECT_EQ(Theme::kit(), BrandKit{});
}

TEST(Fonts, SomeFontDrawsTheNetworkSign)
{
    // U+1F310 prefixes network endpoints; without a covering font it is a box.
    bool covered = false;
    for (const auto &family : QFontDatabase::families())
        covered = covered || QFontMetrics(QFont(family)).inFontUcs4(0x1F310);
    EXPECT_TRUE(covered) << "no installed font has U+1F310 (install fonts-noto-color-emoji)";
}

} // namespace
} // namespace korvane
