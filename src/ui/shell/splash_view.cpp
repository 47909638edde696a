#include "ui/shell/splash_view.h"

#include "ui/shell/logo_view.h"
#include "ui/theme/theme.h"

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <cmath>

namespace korvane {

namespace {

constexpr double kRingSide = 210;
constexpr double kLogoSide = 150;
constexpr double kStackSpacing = 22;
constexpr double kBarWidth = 240;
constexpr double kBarHeight = 4;
constexpr double kBarPadding = 8;
constexpr double kRingTurnSeconds = 6;
constexpr double kBarFillSeconds = 2.2;

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(static_cast<float>(color.alphaF() * alpha));
    return color;
}

QLabel *makeText(const QString &text, int pixelSize, QFont::Weight weight, double tracking, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

void paintParticles(QPainter &painter, const std::vector<splash::Particle> &particles, const QSizeF &size)
{
    const double t = splash::referenceSeconds();
    std::vector<QPointF> points;
    points.reserve(particles.size());
    for (const auto &p : particles)
        points.push_back(splash::particlePoint(p, t, size));

    const double limit = splash::linkDistance(size);
    const QColor link = colorFromHex(Theme::kit().accentSecondary);
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j) {
            const QPointF delta = points[i] - points[j];
            const auto opacity = splash::linkOpacity(std::hypot(delta.x(), delta.y()), limit);
            if (!opacity)
                continue;
            painter.setPen(QPen(withAlpha(link, *opacity), 0.8));
            painter.drawLine(points[i], points[j]);
        }
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(Theme::accent(), 0.85));
    for (const QPointF &point : points)
        painter.drawEllipse(QRectF(point.x() - 2.2, point.y() - 2.2, 4.4, 4.4));
}

} // namespace

SplashView::SplashView(LogoLoader &loader, Duration duration, QWidget *parent)
    : QWidget(parent), m_loader(loader), m_duration(duration),
      m_particles(splash::makeParticles(*QRandomGenerator::global()))
{
    m_title = makeText(QStringLiteral("KORVANE"), 30, QFont::Black, 10, this);
    m_subtitle = makeText(QStringLiteral("TOV RORA Varidiv"), 12, QFont::Medium, 3, this);
    setTextOpacity(0);

    m_frame.setTimerType(Qt::PreciseTimer);
    m_frame.setInterval(16);
    connect(&m_frame, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    m_end.setSingleShot(true);
    connect(&m_end, &QTimer::timeout, this, &SplashView::finished);
    connect(&m_loader, &LogoLoader::imageChanged, this, qOverload<>(&QWidget::update));
}

void SplashView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_started) {
        // Once: the splash lasts its full time from its first appearance.
        m_started = true;
        m_clock.start();
        m_end.start(m_duration);
        m_loader.load();
    }
    m_frame.start();
}

void SplashView::hideEvent(QHideEvent *event)
{
    m_frame.stop();
    QWidget::hideEvent(event);
}

void SplashView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutTexts();
}

QRectF SplashView::ringRect() const
{
    const double textHeight = m_title->sizeHint().height() + 4 + m_subtitle->sizeHint().height();
    const double stack = kRingSide + kStackSpacing + textHeight + kStackSpacing + kBarPadding + kBarHeight;
    const double top = (height() - stack) / 2;
    return {(width() - kRingSide) / 2, top, kRingSide, kRingSide};
}

QRectF SplashView::barRect() const
{
    const double textHeight = m_title->sizeHint().height() + 4 + m_subtitle->sizeHint().height();
    const double top = ringRect().bottom() + kStackSpacing + textHeight + kStackSpacing + kBarPadding;
    return {(width() - kBarWidth) / 2, top, kBarWidth, kBarHeight};
}

void SplashView::layoutTexts()
{
    const int top = qRound(ringRect().bottom() + kStackSpacing);
    const int titleHeight = m_title->sizeHint().height();
    m_title->setGeometry(0, top, width(), titleHeight);
    m_subtitle->setGeometry(0, top + titleHeight + 4, width(), m_subtitle->sizeHint().height());
}

void SplashView::setTextOpacity(double opacity)
{
    opacity = std::clamp(opacity, 0.0, 1.0);
    if (qRound(opacity * 255) == qRound(m_textOpacity * 255))
        return;
    m_textOpacity = opacity;
    const auto tint = [opacity](QLabel *label, const QColor &color) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, withAlpha(color, opacity));
        label->setPalette(p);
    };
    tint(m_title, Qt::white);
    tint(m_subtitle, Theme::secondaryText());
}

void SplashView::paintEvent(QPaintEvent *)
{
    const double seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    const double logoIn = splash::springProgress(seconds);
    const double shown = std::clamp(logoIn, 0.0, 1.0);
    setTextOpacity(shown);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(rect());

    QLinearGradient wash(area.topLeft(), area.bottomRight());
    wash.setColorAt(0, Theme::background());
    wash.setColorAt(0.5, Theme::surface());
    wash.setColorAt(1, Theme::background());
    painter.fillRect(area, wash);

    painter.setOpacity(0.85);
    paintParticles(painter, m_particles, area.size());
    painter.setOpacity(1);

    QRadialGradient glow(area.center(), 360);
    glow.setColorAt(2.0 / 360, withAlpha(Theme::accent(), 0.18));
    glow.setColorAt(1, Qt::transparent);
    painter.fillRect(area, glow);

    const QRectF ring = ringRect();
    painter.save();
    painter.translate(ring.center());
    painter.rotate(std::fmod(seconds / kRingTurnSeconds, 1.0) * 360);
    QPen ringPen(withAlpha(Theme::accent(), 0.5), 2);
    ringPen.setCapStyle(Qt::RoundCap);
    painter.setPen(ringPen);
    painter.setBrush(Qt::NoBrush);
    const QRectF circle(-kRingSide / 2 + 1, -kRingSide / 2 + 1, kRingSide - 2, kRingSide - 2);
    // Clockwise from three o'clock, four fifths of the way round.
    painter.drawArc(circle, 0, -qRound(0.8 * 360 * 16));
    painter.restore();

    painter.save();
    painter.setOpacity(shown);
    painter.translate(ring.center());
    painter.scale(0.82 + 0.18 * logoIn, 0.82 + 0.18 * logoIn);
    LogoView::paintLogo(painter, QRectF(-kLogoSide / 2, -kLogoSide / 2, kLogoSide, kLogoSide),
                        m_loader.image());
    painter.restore();

    painter.setOpacity(shown);
    const QRectF bar = barRect();
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, qRound(0.12 * 255)));
    painter.drawRoundedRect(bar, bar.height() / 2, bar.height() / 2);
    const double fill = splash::loadingBarFillWidth(splash::easeInOut(seconds, kBarFillSeconds), bar.width());
    const QRectF filled(bar.left(), bar.top(), fill, bar.height());
    QLinearGradient fillGradient(filled.topLeft(), filled.topRight());
    fillGradient.setColorAt(0, Theme::accent());
    fillGradient.setColorAt(1, withAlpha(Theme::accent(), 0.6));
    painter.setBrush(fillGradient);
    painter.drawRoundedRect(filled, bar.height() / 2, bar.height() / 2);
}

} // namespace korvane
