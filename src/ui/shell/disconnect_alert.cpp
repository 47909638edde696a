#include "ui/shell/disconnect_alert.h"

#include "app/app_state.h"
#include "app/engine_supervisor.h"
#include "model/text.h"
#include "ui/theme/theme.h"

#include <QEasingCurve>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane {

namespace {

constexpr int kShadowMargin = 20;
constexpr int kPadding = 18;
constexpr int kMaxCardWidth = 720;
constexpr qint64 kHalfCycleMs = 550;
constexpr qint64 kFadeMs = 200;

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(qBound(0.0, alpha, 1.0)));
    return color;
}

QLabel *whiteLabel(const QString &text, const QFont &font, qreal opacity, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(font);
    label->setWordWrap(true);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, withAlpha(Qt::white, opacity));
    label->setPalette(p);
    return label;
}

} // namespace

AlertBorder::AlertBorder(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void AlertBorder::setPulse(qreal pulse, qreal fade)
{
    m_pulse = pulse;
    m_fade = fade;
    update();
}

void AlertBorder::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int width = 10;
    painter.setPen(QPen(withAlpha(Theme::systemRed(), (0.15 + 0.8 * m_pulse) * m_fade), width));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(rect()).adjusted(width / 2.0, width / 2.0, -width / 2.0, -width / 2.0));
}

AlertCard::AlertCard(QWidget *parent) : QWidget(parent)
{
    m_icon = new QLabel(this);
    m_icon->setFixedSize(32, 32);
    m_icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    m_title = whiteLabel({}, Theme::font(Theme::TextStyle::headline), 1.0, this);
    m_caption = whiteLabel({}, Theme::font(Theme::TextStyle::caption), 0.8, this);

    m_recheck = new QPushButton(this);
    m_recheck->setObjectName(QStringLiteral("alertRecheck"));
    m_ignore = new QPushButton(this);
    m_ignore->setObjectName(QStringLiteral("alertIgnore"));
    for (auto *button : {m_recheck, m_ignore})
        button->setCursor(Qt::PointingHandCursor);
    setStyleSheet(
        QStringLiteral(
            "QPushButton { border-radius: 6px; padding: 5px 14px; }"
            "QPushButton#alertRecheck { background: white; color: %1; font-weight: 600; border: none; }"
            "QPushButton#alertRecheck:pressed { background: #E6E6E6; }"
            "QPushButton#alertIgnore { background: rgba(255, 255, 255, 40); color: white; "
            "border: 1px solid rgba(255, 255, 255, 140); }"
            "QPushButton#alertIgnore:pressed { background: rgba(255, 255, 255, 80); }")
            .arg(Theme::systemRed().name()));

    m_lines = new QVBoxLayout;
    m_lines->setSpacing(6);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(6);
    texts->addWidget(m_title);
    texts->addLayout(m_lines);
    texts->addWidget(m_caption);

    auto *buttons = new QVBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(m_recheck);
    buttons->addWidget(m_ignore);
    buttons->addStretch(1);

    auto *row = new QHBoxLayout(this);
    const int margin = kShadowMargin + kPadding;
    row->setContentsMargins(margin, margin, margin, margin);
    row->setSpacing(14);
    row->addWidget(m_icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    row->addLayout(buttons);
    setPulse(0);
}

QRect AlertCard::cardRect() const
{
    return rect().adjusted(kShadowMargin, kShadowMargin, -kShadowMargin, -kShadowMargin);
}

void AlertCard::setPulse(qreal pulse)
{
    m_pulse = pulse;
    update();
}

void AlertCard::setContent(const QString &title, const QStringList &lines, const QString &caption,
                           const QString &first, const QString &second)
{
    for (const auto &[label, text] : {std::pair{m_title, title}, std::pair{m_caption, caption}})
        if (label->text() != text)
            label->setText(text);
    setLines(lines);
    m_recheck->setText(first);
    m_ignore->setText(second);
    m_ignore->setVisible(!second.isEmpty());
}

void AlertCard::setLines(const QStringList &lines)
{
    // Labels are reused in place; extra ones go with deleteLater.
    QList<QLabel *> labels;
    for (int i = 0; i < m_lines->count(); ++i)
        labels.append(qobject_cast<QLabel *>(m_lines->itemAt(i)->widget()));
    for (int i = 0; i < lines.size(); ++i) {
        const QString text = QStringLiteral("\u2022 ") + lines[i];
        if (i < labels.size()) {
            if (labels[i]->text() != text)
                labels[i]->setText(text);
        } else {
            m_lines->addWidget(whiteLabel(text, Theme::font(Theme::TextStyle::callout), 0.95, this));
        }
    }
    for (int i = static_cast<int>(labels.size()) - 1; i >= lines.size(); --i) {
        m_lines->removeWidget(labels[i]);
        labels[i]->hide();
        labels[i]->deleteLater();
    }
}

QStringList AlertCard::texts() const
{
    QStringList result{m_title->text()};
    for (int i = 0; i < m_lines->count(); ++i)
        if (auto *label = qobject_cast<QLabel *>(m_lines->itemAt(i)->widget()))
            result.append(label->text());
    result << m_caption->text() << m_recheck->text();
    if (m_ignore->isVisibleTo(this))
        result << m_ignore->text();
    return result;
}

void AlertCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(cardRect()).adjusted(0.5, 0.5, -0.5, -0.5);

    // Shadow: red at 0.5, radius 8 at rest and 24 at the height of a pulse,
    // drawn as rings fading outwards.
    const qreal radius = 8 + 16 * m_pulse;
    const int rings = 10;
    for (int i = rings; i >= 1; --i) {
        const qreal spread = radius * i / rings;
        QPainterPath ring;
        ring.addRoundedRect(card.adjusted(-spread, -spread, spread, spread), 14 + spread, 14 + spread);
        painter.fillPath(ring, withAlpha(Theme::systemRed(), 0.5 / rings * (1.0 - qreal(i - 1) / rings)));
    }

    QPainterPath path;
    path.addRoundedRect(card, 14, 14);
    painter.fillPath(path, withAlpha(Theme::systemRed(), 0.78 + 0.17 * m_pulse));
    painter.setPen(QPen(withAlpha(Qt::white, 0.3), 1));
    painter.drawPath(path);

    const qreal ratio = devicePixelRatioF();
    if (m_iconPixmap.isNull() || m_iconPixmap.devicePixelRatio() != ratio)
        m_iconPixmap = Theme::iconPixmap(QStringLiteral("triangle-alert"), Qt::white, 28, ratio);
    painter.setOpacity(0.5 + 0.5 * m_pulse);
    painter.drawPixmap(m_icon->geometry().topLeft() + QPoint(2, 0), m_iconPixmap);
}

DisconnectAlert::DisconnectAlert(AppState &state, QWidget *host)
    : QObject(host), m_state(state), m_host(host), m_border(new AlertBorder(host)),
      m_card(new AlertCard(host))
{
    m_border->hide();
    m_card->hide();
    m_frames.setTimerType(Qt::PreciseTimer);
    m_frames.setInterval(16);
    connect(&m_frames, &QTimer::timeout, this, [this] { tick(); });
    connect(m_card->recheckButton(), &QPushButton::clicked, this, [this] {
        if (m_state.supervisor().loss())
            m_state.supervisor().retryNow();
        else
            m_state.refreshMissing();
    });
    connect(m_card->ignoreButton(), &QPushButton::clicked, this, [this] { m_state.acknowledgeMissing(); });
    connect(&m_state, &AppState::missingDevicesChanged, this, [this] { m_refresh.schedule(); });
    connect(&m_state.supervisor(), &EngineSupervisor::lossChanged, this, [this] { m_refresh.schedule(); });
    connect(&m_state, &AppState::projectChanged, this, [this] { m_refresh.schedule(); });
    host->installEventFilter(this);
    refresh();
}

bool DisconnectAlert::isShown() const
{
    return m_card->isVisible();
}

qreal DisconnectAlert::pulseAt(qint64 elapsedMs)
{
    const qint64 t = elapsedMs % (2 * kHalfCycleMs);
    const qreal rise =
        t < kHalfCycleMs ? qreal(t) / kHalfCycleMs : qreal(2 * kHalfCycleMs - t) / kHalfCycleMs;
    return QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(rise);
}

bool DisconnectAlert::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_host && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        place();
    return QObject::eventFilter(watched, event);
}

void DisconnectAlert::refresh()
{
    const auto loss = m_state.supervisor().loss();
    const auto missing = m_state.activeMissing();
    if (loss) {
        const QString seconds =
            QLocale(QLocale::French).toString(std::chrono::duration<double>(loss->retryInterval).count());
        m_card->setContent(
            QStringLiteral("Moteur MIDI arrêté"), {toQString(loss->reason)},
            QStringLiteral("KORVANE réessaie toutes les %1 s ; les routes reprendront dès que le "
                           "serveur répondra.")
                .arg(seconds),
            QStringLiteral("Réessayer"), {});
    } else if (!missing.empty()) {
        QStringList lines;
        for (const auto &key : missing)
            lines.append(toQString(m_state.displayName(key)));
        m_card->setContent(QStringLiteral("Appareil déconnecté"), lines,
                           QStringLiteral("Vérifie le câble / le port / la session réseau."),
                           QStringLiteral("Revérifier"), QStringLiteral("Ignorer"));
    } else {
        m_frames.stop();
        m_border->hide();
        m_card->hide();
        return;
    }
    if (!m_card->isVisible()) {
        // Each appearance starts its pulse anew, from rest.
        m_since.start();
        m_border->setPulse(0, 0);
        m_card->setPulse(0);
        // Fades in; the effect goes once opaque (it re-renders the card).
        auto *fade = new QGraphicsOpacityEffect(m_card);
        fade->setOpacity(0);
        m_card->setGraphicsEffect(fade);
        m_border->show();
        m_card->show();
        m_frames.start();
    }
    place();
    m_border->raise();
    m_card->raise();
}

void DisconnectAlert::place()
{
    m_border->setGeometry(m_host->rect());
    const int width = qMin(m_host->width(), kMaxCardWidth + 2 * kShadowMargin);
    const int height =
        qMin(m_host->height(),
             m_card->heightForWidth(width) > 0 ? m_card->heightForWidth(width) : m_card->sizeHint().height());
    m_card->setGeometry((m_host->width() - width) / 2, m_host->height() - height, width, height);
}

void DisconnectAlert::tick()
{
    const qint64 elapsed = m_since.elapsed();
    const qreal fade = qMin<qreal>(1.0, qreal(elapsed) / kFadeMs);
    const qreal pulse = pulseAt(elapsed);
    m_border->setPulse(pulse, fade);
    m_card->setPulse(pulse);
    if (auto *effect = qobject_cast<QGraphicsOpacityEffect *>(m_card->graphicsEffect())) {
        if (fade < 1.0)
            effect->setOpacity(fade);
        else
            m_card->setGraphicsEffect(nullptr);
    }
}

} // namespace korvane
