#include "ui/pages/page_controls.h"

#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QLineEdit>
#include <QPainter>
#include <QSignalBlocker>
#include <QTimer>

namespace korvane {

QPushButton *makeProminentButton(const QString &text, const QString &icon, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    if (!icon.isEmpty())
        button->setIcon(Theme::icon(icon, Qt::white, 14));
    button->setCursor(Qt::PointingHandCursor);
    const QColor accent = Theme::accent();
    button->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; font-weight: 600; "
                                         "border: none; border-radius: 6px; padding: 5px 12px; }"
                                         "QPushButton:hover { background: %2; }"
                                         "QPushButton:pressed { background: %3; }")
                              .arg(accent.name(), accent.lighter(112).name(), accent.darker(120).name()));
    return button;
}

QPushButton *makePlainButton(const QString &text, const QString &icon, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    if (!icon.isEmpty())
        button->setIcon(Theme::icon(icon, Theme::accent(), 14));
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; color: %1; border: none; "
                                         "padding: 4px 2px; text-align: left; }"
                                         "QPushButton:hover { color: %2; }")
                              .arg(Theme::accent().name(), Theme::accent().lighter(120).name()));
    return button;
}

QPushButton *makeTrashButton(const QString &helpText, QWidget *parent)
{
    auto *button = new QPushButton(parent);
    button->setIcon(Theme::icon(QStringLiteral("trash-2"), Theme::systemRed(), 15));
    button->setToolTip(helpText);
    button->setAccessibleName(helpText.isEmpty() ? QStringLiteral("Supprimer") : helpText);
    button->setCursor(Qt::PointingHandCursor);
    button->setFixedSize(28, 26);
    button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; "
                                         "border-radius: 6px; }"
                                         "QPushButton:hover { background: rgba(255, 59, 48, 40); }"));
    return button;
}

QLabel *makeCaption(const QString &text, QWidget *parent, bool small)
{
    auto *label = new QLabel(text, parent);
    label->setFont(Theme::font(small ? Theme::TextStyle::caption2 : Theme::TextStyle::caption));
    setTextColor(label, Theme::secondaryText());
    return label;
}

void syncText(QLineEdit *field, const QString &text)
{
    if (field->text() == text)
        return;
    const QSignalBlocker block(field);
    field->setText(text);
}

void markInvalid(QWidget *field, const QString &reason)
{
    const bool invalid = !reason.isEmpty();
    if (field->property("invalid").toBool() == invalid && field->toolTip() == reason)
        return;
    field->setProperty("invalid", invalid);
    field->setToolTip(reason);
    // Only the frame turns red: the field keeps the window's look otherwise.
    const QString red = Theme::systemRed().name();
    QString sheet;
    if (invalid && qobject_cast<QLineEdit *>(field))
        sheet = QStringLiteral("QLineEdit { border-color: %1; }").arg(red);
    else if (invalid)
        sheet = QStringLiteral("QAbstractSpinBox { border: 1px solid %1; border-radius: 4px; padding: 2px; }")
                    .arg(red);
    field->setStyleSheet(sheet);
}

PortField::PortField(QWidget *parent) : QSpinBox(parent)
{
    setRange(kMin, kMax);
    setGroupSeparatorShown(false);
    setKeyboardTracking(false);
    setButtonSymbols(QAbstractSpinBox::NoButtons);
    setAlignment(Qt::AlignRight);
    setFixedWidth(70);
    connect(this, &QSpinBox::valueChanged, this, [this](int value) {
        const int port = qBound(kMin, value, kMax);
        setStoredPort(port, m_outOfRange ? QString() : toolTip());
        emit portEdited(port);
    });
}

void PortField::setStoredPort(int port, const QString &problem)
{
    m_outOfRange = port < kMin || port > kMax;
    const QSignalBlocker block(this);
    setRange(qMin(kMin, port), qMax(kMax, port));
    if (value() != port)
        setValue(port);
    markInvalid(this,
                m_outOfRange ? QStringLiteral("Port hors limites (%1…%2)").arg(kMin).arg(kMax) : problem);
}

BusySpinner::BusySpinner(QWidget *parent) : QWidget(parent), m_timer(new QTimer(this))
{
    setFixedSize(sizeHint());
    m_timer->setInterval(80);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

void BusySpinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_timer->start();
}

void BusySpinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_timer->stop();
}

void BusySpinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.setPen(QPen(QColor(255, 255, 255, 40), 2));
    painter.drawEllipse(r);
    painter.setPen(QPen(Theme::secondaryText(), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(r, -m_angle * 16, 100 * 16);
}

} // namespace korvane
