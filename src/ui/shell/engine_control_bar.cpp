#include "ui/shell/engine_control_bar.h"

#include "app/app_state.h"
#include "midi/midi_engine.h"
#include "model/text.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane {

EngineControlBar::EngineControlBar(AppState &state, std::function<bool()> confirmStop, QWidget *parent)
    : QWidget(parent), m_state(state), m_confirmStop(std::move(confirmStop))
{
    m_dot = new StatusDot(9, this);
    m_stateLabel = new QLabel(this);
    m_stateLabel->setFont(Theme::font(Theme::TextStyle::caption));
    QPalette secondary = m_stateLabel->palette();
    secondary.setColor(QPalette::WindowText, Theme::secondaryText());
    m_stateLabel->setPalette(secondary);

    // The server behind the engine: JACK itself or PipeWire's JACK.
    m_service = new QLabel(
        QStringLiteral("Serveur MIDI : %1").arg(QString::fromStdString(m_state.engine().serviceName())),
        this);
    m_service->setFont(Theme::font(Theme::TextStyle::caption2));
    QPalette tertiaryService = m_service->palette();
    tertiaryService.setColor(QPalette::WindowText, Theme::tertiaryText());
    m_service->setPalette(tertiaryService);

    m_button = new QPushButton(this);
    m_button->setFont(Theme::font(Theme::TextStyle::caption));
    m_button->setCursor(Qt::PointingHandCursor);
    connect(m_button, &QPushButton::clicked, this, [this] {
        if (m_state.engine().running()) {
            if (m_confirmStop())
                m_state.stopEngine();
        } else
            m_state.startEngine();
    });

    m_status = new ElidedLabel(this);
    m_status->setFont(Theme::font(Theme::TextStyle::caption2));
    QPalette tertiary = m_status->palette();
    tertiary.setColor(QPalette::WindowText, Theme::tertiaryText());
    m_status->setPalette(tertiary);

    // Losses have their own line: the status line keeps showing alarms.
    m_losses = new QLabel(this);
    m_losses->setFont(Theme::font(Theme::TextStyle::caption2));
    QPalette warning = m_losses->palette();
    warning.setColor(QPalette::WindowText, Theme::systemRed());
    m_losses->setPalette(warning);
    m_losses->hide();

    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(m_dot, 0, Qt::AlignVCenter);
    row->addWidget(m_stateLabel, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(m_button, 0, Qt::AlignVCenter);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(6);
    column->addLayout(row);
    column->addWidget(m_service);
    column->addWidget(m_status);
    column->addWidget(m_losses);

    connect(&m_state.engine(), &MIDIEngine::runningChanged, this, [this] { refreshEngine(); });
    connect(&m_state, &AppState::statusMessageChanged, m_status, &ElidedLabel::setFullText);
    m_status->setFullText(toQString(m_state.statusMessage()));
    connect(&m_state, &AppState::lossesChanged, this, [this] { refreshLosses(); });
    refreshEngine();
    refreshLosses();
}

void EngineControlBar::refreshLosses()
{
    const MessageLosses &losses = m_state.losses();
    m_losses->setVisible(losses.total() > 0);
    if (losses.total() == 0)
        return;
    m_losses->setText(QStringLiteral("\u26A0\uFE0E %1 message%2 perdu%2")
                          .arg(losses.total())
                          .arg(losses.total() > 1 ? QStringLiteral("s") : QString()));
    m_losses->setToolTip(toQString(lossesText(losses)));
}

void EngineControlBar::refreshEngine()
{
    const bool running = m_state.engine().running();
    m_dot->setColor(running ? Theme::ok() : Theme::error());
    m_stateLabel->setText(running ? QStringLiteral("Moteur actif") : QStringLiteral("Moteur arrêté"));
    m_button->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void EngineControlBar::paintEvent(QPaintEvent *)
{
    // A thin translucent layer over the sidebar, with a hairline on top.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(255, 255, 255, 10));
    painter.setPen(QColor(255, 255, 255, 26));
    painter.drawLine(rect().topLeft(), rect().topRight());
}

} // namespace korvane
