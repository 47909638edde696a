#pragma once

#include "ui/theme/brand_kit.h"

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPixmap>

class QApplication;

namespace korvane::Theme {

// The process's kit: read once, on first use, from the compiled-in resource
// ":/BrandKit.json", else from the installed share folder; thread-safe.
const BrandKit &kit();

QColor accent();
QColor background();
QColor surface();
QColor textPrimary();
QColor textSecondary();
QColor ok();
QColor error();
// Primary text dimmed, for "secondary" and "tertiary" texts.
QColor secondaryText();
QColor tertiaryText();
QColor systemRed();
QColor systemGrey();

enum class TextStyle { body, headline, callout, caption, caption2 };
QFont font(TextStyle style);
QFont monoFont(TextStyle style);
// Page titles: 24 px, the heaviest weight available.
QFont titleFont();

// An icon of the bundled set by file name ("zap"), recoloured.
QPixmap iconPixmap(const QString &name, const QColor &color, int logicalSize, qreal devicePixelRatio);
QIcon icon(const QString &name, const QColor &color, int logicalSize = 16);

// Fusion style, a dark palette and a small style sheet from the kit, so every
// desktop theme renders the same window.
void apply(QApplication &app);

} // namespace korvane::Theme
