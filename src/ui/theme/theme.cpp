#include "ui/theme/theme.h"

#include "ui/theme/focus_ring.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>
#include <QStyleFactory>
#include <QSvgRenderer>

namespace korvane::Theme {

const BrandKit &kit()
{
    // The share folder beside the program too: a package installs under
    // another prefix than the build was configured with.
    static const BrandKit loaded =
        BrandKit::load({QStringLiteral(":/BrandKit.json"), QStringLiteral(KORVANE_DATA_DIR "/BrandKit.json"),
                        QCoreApplication::instance() ? QCoreApplication::applicationDirPath() +
                                                           QStringLiteral("/../share/korvane/BrandKit.json")
                                                     : QString()});
    return loaded;
}

QColor accent()
{
    return colorFromHex(kit().accent);
}
QColor background()
{
    return colorFromHex(kit().background);
}
QColor surface()
{
    return colorFromHex(kit().surface);
}
QColor textPrimary()
{
    return colorFromHex(kit().textPrimary);
}
QColor textSecondary()
{
    return colorFromHex(kit().textSecondary);
}
QColor ok()
{
    return colorFromHex(kit().ok);
}
QColor error()
{
    return colorFromHex(kit().error);
}

QColor secondaryText()
{
    QColor c = textPrimary();
    c.setAlphaF(0.6f);
    return c;
}

QColor tertiaryText()
{
    QColor c = textPrimary();
    c.setAlphaF(0.3f);
    return c;
}

QColor systemRed()
{
    return QColor(0xFF, 0x3B, 0x30);
}
QColor systemGrey()
{
    return QColor(0x8E, 0x8E, 0x93);
}

namespace {

int pixelSize(TextStyle style)
{
    switch (style) {
    case TextStyle::body:
    case TextStyle::headline:
        return 14;
    case TextStyle::callout:
        return 13;
    case TextStyle::caption:
        return 11;
    case TextStyle::caption2:
        return 11; // the smallest text, legible at a desk
    }
    return 14;
}

} // namespace

QFont font(TextStyle style)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixelSize(style));
    if (style == TextStyle::headline)
        f.setWeight(QFont::Bold);
    return f;
}

QFont monoFont(TextStyle style)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(pixelSize(style));
    return f;
}

QFont titleFont()
{
    QFont f = QApplication::font();
    f.setPixelSize(24);
    f.setWeight(QFont::Black);
    return f;
}

QPixmap iconPixmap(const QString &name, const QColor &color, int logicalSize, qreal devicePixelRatio)
{
    QFile file(QStringLiteral(":/icons/%1.svg").arg(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    const int side = qRound(logicalSize * devicePixelRatio);
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setOpacity(color.alphaF());
        renderer.render(&painter);
    }
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon icon(const QString &name, const QColor &color, int logicalSize)
{
    QIcon result;
    for (const qreal ratio : {1.0, 2.0, 3.0})
        result.addPixmap(iconPixmap(name, color, logicalSize, ratio));
    return result;
}

void apply(QApplication &app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QFont base = QApplication::font();
    base.setPixelSize(pixelSize(TextStyle::body));
    QApplication::setFont(base);

    const QColor text = textPrimary();
    QColor disabledText = text;
    disabledText.setAlphaF(0.35f);
    QPalette p;
    p.setColor(QPalette::Window, background());
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, surface());
    p.setColor(QPalette::AlternateBase, surface().lighter(115));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::PlaceholderText, textSecondary());
    p.setColor(QPalette::Button, surface().lighter(130));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, accent());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, surface());
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Link, accent());
    p.setColor(QPalette::Light, surface().lighter(160));
    p.setColor(QPalette::Midlight, surface().lighter(140));
    p.setColor(QPalette::Mid, surface().lighter(120));
    p.setColor(QPalette::Dark, background().darker(120));
    p.setColor(QPalette::Shadow, Qt::black);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabledText);
    app.setPalette(p);

    const QString sheet =
        QStringLiteral("QToolTip { color: %1; background: %2; border: 1px solid %3; }"
                       "QMenuBar { background: %2; }"
                       "QMenuBar::item:selected, QMenu::item:selected { background: %4; }"
                       "QMenu { background: %2; border: 1px solid %3; }"
                       "QToolBar { background: %2; border: none; border-bottom: 1px solid %3; "
                       "spacing: 6px; padding: 4px 8px; }"
                       "QLineEdit, QPlainTextEdit { background: %5; "
                       "border: 1px solid %3; border-radius: 6px; padding: 3px 6px; }"
                       "QLineEdit:focus, QPlainTextEdit:focus { border-color: %4; }")
            .arg(text.name(), surface().name(), QStringLiteral("rgba(255, 255, 255, 30)"), accent().name(),
                 background().name());
    app.setStyleSheet(sheet);
    FocusRing::install(&app);
}

} // namespace korvane::Theme
