#include "ui/theme/toggle_switch.h"

#include "ui/theme/theme.h"

#include <QPainter>

namespace korvane {

namespace {
constexpr int kTrackWidth = 34;
constexpr int kTrackHeight = 20;
} // namespace

ToggleSwitch::ToggleSwitch(const QString &text, QWidget *parent) : QAbstractButton(parent)
{
    setText(text);
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize ToggleSwitch::sizeHint() const
{
    const int textWidth = fontMetrics().horizontalAdvance(text());
    return {textWidth + 16 + kTrackWidth, qMax(kTrackHeight + 4, fontMetrics().height() + 4)};
}

QRect ToggleSwitch::trackRect() const
{
    return {width() - kTrackWidth - 1, (height() - kTrackHeight) / 2, kTrackWidth, kTrackHeight};
}

bool ToggleSwitch::hitButton(const QPoint &pos) const
{
    return rect().contains(pos);
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(isEnabled() ? Theme::textPrimary() : Theme::tertiaryText());
    const QRect textRect(0, 0, trackRect().left() - 8, height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(text(), Qt::ElideRight, textRect.width()));

    const QRectF track = QRectF(trackRect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(hasFocus() ? QPen(Theme::accent().lighter(130), 1) : QPen(QColor(255, 255, 255, 40), 1));
    painter.setBrush(isChecked() ? Theme::accent() : QColor(255, 255, 255, 38));
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);

    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

} // namespace korvane
