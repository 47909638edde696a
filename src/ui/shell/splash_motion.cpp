#include "ui/shell/splash_motion.h"

#include <QDateTime>
#include <QEasingCurve>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvane::splash {

std::vector<Particle> makeParticles(QRandomGenerator &random)
{
    const auto uniform = [&random](double low, double high) {
        // generateDouble() never returns 1 itself; the difference is one value in 2^53.
        return low + random.generateDouble() * (high - low);
    };
    std::vector<Particle> particles(kParticleCount);
    for (auto &p : particles) {
        p.x = uniform(0, 1);
        p.y = uniform(0, 1);
        p.vx = uniform(-kParticleMaxSpeed, kParticleMaxSpeed);
        p.vy = uniform(-kParticleMaxSpeed, kParticleMaxSpeed);
    }
    return particles;
}

double referenceSeconds()
{
    static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch.msecsTo(QDateTime::currentDateTimeUtc()) / 1000.0;
}

double wrapUnit(double start, double velocity, double t)
{
    double p = std::fmod(start + velocity * t, 1.0);
    if (p < 0)
        p += 1.0;
    // -1e-18 + 1 rounds to 1.0, which lies outside the view.
    return p >= 1.0 ? 0.0 : p;
}

QPointF particlePoint(const Particle &p, double t, const QSizeF &size)
{
    return {wrapUnit(p.x, p.vx, t) * size.width(), wrapUnit(p.y, p.vy, t) * size.height()};
}

double linkDistance(const QSizeF &size)
{
    return std::min(size.width(), size.height()) * kLinkFraction;
}

std::optional<double> linkOpacity(double d, double linkDistance)
{
    if (!(d < linkDistance))
        return std::nullopt;
    return (1.0 - d / linkDistance) * 0.3;
}

double loadingBarFillWidth(double progress, double width)
{
    return std::min(width, std::max(6.0, progress * width));
}

double springProgress(double seconds)
{
    if (seconds <= 0)
        return 0;
    constexpr double damping = 0.7;
    constexpr double omega = 2 * std::numbers::pi / 0.7;
    const double omegaD = omega * std::sqrt(1 - damping * damping);
    const double decay = std::exp(-damping * omega * seconds);
    return 1 - decay * (std::cos(omegaD * seconds) + damping * omega / omegaD * std::sin(omegaD * seconds));
}

double easeInOut(double seconds, double duration)
{
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
        return c;
    }();
    if (duration <= 0)
        return 1;
    return curve.valueForProgress(std::clamp(seconds / duration, 0.0, 1.0));
}

} // namespace korvane::splash
