#include "ui/pages/channel_mask_view.h"

#include "ui/pages/binding.h"
#include "ui/theme/theme.h"

#include <QHBoxLayout>
#include <QToolButton>

namespace korvane {

ChannelMaskView::ChannelMaskView(std::function<void(std::uint16_t)> write, QWidget *parent)
    : QWidget(parent), m_write(std::move(write))
{
    QColor off = Theme::textSecondary();
    off.setAlphaF(0.15f);
    const QString sheet =
        QStringLiteral("QToolButton { background: rgba(%1, %2, %3, %4); color: %5; border: none; "
                       "border-radius: 5px; }"
                       "QToolButton:checked { background: %6; color: white; }"
                       "QToolButton:focus { border: 1px solid %5; }")
            .arg(off.red())
            .arg(off.green())
            .arg(off.blue())
            .arg(off.alpha())
            .arg(Theme::textPrimary().name(), Theme::accent().name());

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    for (int channel = 1; channel <= 16; ++channel) {
        auto *button = new QToolButton(this);
        button->setText(QString::number(channel));
        button->setCheckable(true);
        button->setFixedSize(22, 22);
        button->setFont(Theme::monoFont(Theme::TextStyle::caption));
        button->setStyleSheet(sheet);
        button->setCursor(Qt::PointingHandCursor);
        button->setAccessibleName(QStringLiteral("Canal %1").arg(channel));
        // The mask is flipped from what is shown, never from the button's own state.
        connect(button, &QToolButton::clicked, this, [this, button, channel] {
            const std::uint16_t bit = static_cast<std::uint16_t>(1u << (channel - 1));
            binding::setChecked(button, (m_mask & bit) != 0); // until the project says otherwise
            m_write(static_cast<std::uint16_t>(m_mask ^ bit));
        });
        m_buttons[channel - 1] = button;
        row->addWidget(button);
    }
    m_allOrNone = new QToolButton(this);
    m_allOrNone->setFont(Theme::font(Theme::TextStyle::caption));
    m_allOrNone->setStyleSheet(QStringLiteral("QToolButton { padding: 2px 8px; }") + sheet);
    m_allOrNone->setCursor(Qt::PointingHandCursor);
    connect(m_allOrNone, &QToolButton::clicked, this, [this] { m_write(m_mask == 0xFFFF ? 0 : 0xFFFF); });
    row->addSpacing(6);
    row->addWidget(m_allOrNone);
    row->addStretch(1);
    m_mask = 0; // so the first setMask paints every button
    setMask(0xFFFF);
}

void ChannelMaskView::setMask(std::uint16_t mask)
{
    m_mask = mask;
    for (int bit = 0; bit < 16; ++bit)
        binding::setChecked(m_buttons[bit], (mask >> bit) & 1u);
    const QString text = mask == 0xFFFF ? QStringLiteral("Aucun") : QStringLiteral("Tous");
    if (m_allOrNone->text() != text)
        m_allOrNone->setText(text);
}

} // namespace korvane
