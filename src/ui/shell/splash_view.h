#pragma once

#include "ui/shell/splash_motion.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <vector>

class QLabel;

namespace korvane {

class LogoLoader;

// The first screen: gradient, drifting particles, the turning ring around the
// logo, the name and the loading bar. Calls `finished` once, `duration` after
// it first comes on screen, whatever the user does. Repaints every 16 ms
// while visible; every moving part is a function of elapsed or absolute time.
class SplashView : public QWidget {
    Q_OBJECT
public:
    using Duration = std::chrono::milliseconds;
    static constexpr Duration kDuration{2600};

    SplashView(LogoLoader &loader, Duration duration = kDuration, QWidget *parent = nullptr);
    QLabel *titleLabel() const { return m_title; }
    QLabel *subtitleLabel() const { return m_subtitle; }

signals:
    void finished();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void layoutTexts();
    void setTextOpacity(double opacity);
    QRectF ringRect() const;
    QRectF barRect() const;

    LogoLoader &m_loader;
    Duration m_duration;
    std::vector<splash::Particle> m_particles;
    QLabel *m_title = nullptr;
    QLabel *m_subtitle = nullptr;
    QTimer m_frame;
    QTimer m_end;
    QElapsedTimer m_clock;
    double m_textOpacity = -1;
    bool m_started = false;
};

} // namespace korvane
