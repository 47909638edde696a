#pragma once

#include <QPointF>
#include <QRandomGenerator>
#include <QSizeF>

#include <optional>
#include <vector>

// The splash's motion as pure functions of time and size, so the painted
// widgets hold no per-frame state.
namespace korvane::splash {

// One particle: start position as a fraction of the view, velocity in view
// fractions per second.
struct Particle {
    double x = 0;
    double y = 0;
    double vx = 0;
    double vy = 0;
};

constexpr int kParticleCount = 48;
constexpr double kParticleMaxSpeed = 0.025;
constexpr double kLinkFraction = 0.22;

std::vector<Particle> makeParticles(QRandomGenerator &random);

// Seconds since 1 January 2001 UTC: two fields show the same pattern at the
// same moment, and a field is already moving when first shown.
double referenceSeconds();

// start + velocity × t wrapped into [0, 1).
double wrapUnit(double start, double velocity, double t);
QPointF particlePoint(const Particle &p, double t, const QSizeF &size);

// The link distance for a view: 22 % of its shorter side.
double linkDistance(const QSizeF &size);
// Opacity of the line between two points d apart, nothing at L or beyond.
std::optional<double> linkOpacity(double d, double linkDistance);

// Width of the loading bar's fill: never under a 6 px stub, never over w.
double loadingBarFillWidth(double progress, double width);

// A critically underdamped spring (response 0.7 s, damping 0.7) from 0 to 1.
double springProgress(double seconds);
// CSS-style ease-in-out (0.42, 0, 0.58, 1) over the given duration, clamped.
double easeInOut(double seconds, double duration);

} // namespace korvane::splash
