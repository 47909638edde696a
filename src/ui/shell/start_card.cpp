#include "ui/shell/start_card.h"

#include "ui/theme/brand_kit.h"
#include "ui/theme/theme.h"

#include <QPainter>
#include <QPainterPath>

namespace korvane {

namespace {

constexpr int kPadding = 16;
constexpr int kSpacing = 10;
constexpr int kIconSize = 22;
constexpr int kMinimumHeight = 96;

} // namespace

StartCard::StartCard(const QString &icon, const QString &title, const QString &subtitle, QWidget *parent)
    : QAbstractButton(parent), m_iconName(icon), m_subtitle(subtitle)
{
    setText(title);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    setAttribute(Qt::WA_Hover);
}

QSize StartCard::sizeHint() const
{
    const QFontMetrics titleMetrics(Theme::font(Theme::TextStyle::headline));
    const QFontMetrics subtitleMetrics(Theme::font(Theme::TextStyle::caption));
    const int width =
        qMax(titleMetrics.horizontalAdvance(text()), subtitleMetrics.horizontalAdvance(m_subtitle));
    const int height =
        kPadding * 2 + kIconSize + kSpacing + titleMetrics.height() + kSpacing + subtitleMetrics.height();
    return {width + kPadding * 2, qMax(kMinimumHeight, height)};
}

QSize StartCard::minimumSizeHint() const
{
    return {160, sizeHint().height()};
}

void StartCard::enterEvent(QEnterEvent *event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void StartCard::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void StartCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, 12, 12);
    painter.fillPath(shape, m_hover ? colorFromHex(QStringLiteral("#1C1C24")) : Theme::surface());
    QColor border = m_hover ? Theme::accent() : QColor(Qt::white);
    border.setAlphaF(m_hover ? 0.6f : 0.08f);
    painter.setPen(QPen(hasFocus() ? Theme::accent() : border, 1));
    painter.drawPath(shape);

    const QFont titleFont = Theme::font(Theme::TextStyle::headline);
    const QFont subtitleFont = Theme::font(Theme::TextStyle::caption);
    const int textWidth = width() - kPadding * 2;
    int y = (height() - (sizeHint().height() - kPadding * 2)) / 2;
    painter.drawPixmap(kPadding, y,
                       Theme::iconPixmap(m_iconName, Theme::accent(), kIconSize, devicePixelRatioF()));
    y += kIconSize + kSpacing;
    painter.setFont(titleFont);
    painter.setPen(Theme::textPrimary());
    const QFontMetrics titleMetrics(titleFont);
    painter.drawText(QRect(kPadding, y, textWidth, titleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                     titleMetrics.elidedText(text(), Qt::ElideRight, textWidth));
    y += titleMetrics.height() + kSpacing;
    painter.setFont(subtitleFont);
    painter.setPen(Theme::textSecondary());
    const QFontMetrics subtitleMetrics(subtitleFont);
    painter.drawText(QRect(kPadding, y, textWidth, subtitleMetrics.height()),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     subtitleMetrics.elidedText(m_subtitle, Qt::ElideRight, textWidth));
}

} // namespace korvane
