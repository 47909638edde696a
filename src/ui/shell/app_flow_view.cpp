#include "ui/shell/app_flow_view.h"

#include "app/recent_projects.h"
#include "ui/shell/logo_view.h"
#include "ui/shell/main_window.h"
#include "ui/shell/project_setup_view.h"
#include "ui/shell/splash_motion.h"

#include <QPainter>
#include <QStackedLayout>
#include <QToolBar>
#include <QVariantAnimation>

namespace korvane {

namespace {

constexpr int kFadeMs = 400;

// The screen being left, painted from a grab over the new one while it fades:
// no opacity effect on the large widget trees underneath.
class FadeOverlay : public QWidget {
public:
    FadeOverlay(const QPixmap &picture, QWidget *parent) : QWidget(parent), m_picture(picture)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(parent->rect());
        auto *animation = new QVariantAnimation(this);
        animation->setDuration(kFadeMs);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
            m_opacity = 1.0 - splash::easeInOut(value.toDouble(), 1.0);
            update();
        });
        connect(animation, &QVariantAnimation::finished, this, &QObject::deleteLater);
        animation->start();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        painter.drawPixmap(rect(), m_picture);
    }

private:
    QPixmap m_picture;
    double m_opacity = 1.0;
};

} // namespace

AppFlowView::AppFlowView(AppState &state, QWidget *mainContent, Options options, QWidget *parent)
    : QWidget(parent), m_state(state), m_phase(options.start), m_main(mainContent)
{
    LogoLoader &loader = options.logoLoader ? *options.logoLoader : LogoLoader::shared();
    m_stack = new QStackedLayout(this);
    m_stack->setContentsMargins(0, 0, 0, 0);
    if (m_phase == Phase::splash) {
        m_splash = new SplashView(loader, options.splashDuration, this);
        m_stack->addWidget(m_splash);
        connect(m_splash, &SplashView::finished, this, [this] { advance(Phase::setup); });
    }
    if (m_phase != Phase::main) {
        m_setup = new ProjectSetupView(state, loader, RecentProjects::defaultFile(), this);
        m_stack->addWidget(m_setup);
        connect(m_setup, &ProjectSetupView::entered, this, [this] { advance(Phase::main); });
    }
    m_main->setParent(this);
    m_stack->addWidget(m_main);
    m_stack->setCurrentWidget(screen(m_phase));
}

SplashView *AppFlowView::splash() const
{
    return m_splash;
}

ProjectSetupView *AppFlowView::setup() const
{
    return m_setup;
}

QWidget *AppFlowView::mainContent() const
{
    return m_main;
}

QWidget *AppFlowView::screen(Phase phase) const
{
    switch (phase) {
    case Phase::splash:
        return m_splash;
    case Phase::setup:
        return m_setup;
    case Phase::main:
        return m_main;
    }
    return nullptr;
}

void AppFlowView::advance(Phase to, bool animated)
{
    if (to <= m_phase)
        return;
    QWidget *leaving = screen(m_phase);
    if (animated && leaving && isVisible()) {
        delete m_fade;
        m_fade = new FadeOverlay(leaving->grab(), this);
    }
    m_phase = to;
    m_stack->setCurrentWidget(screen(to));
    if (m_fade) {
        m_fade->raise();
        m_fade->show();
    }
    // Earlier screens never come back: their timers and widgets go.
    if (leaving)
        leaving->deleteLater();
    emit phaseChanged(to);
}

AppFlowView *installFlow(MainWindow &window, AppState &state, AppFlowView::Options options)
{
    RecentProjects::track(state);
    auto *flow = new AppFlowView(state, window.takeCentralWidget(), options);
    window.setCentralWidget(flow);
    const auto showToolbars = [&window](AppFlowView::Phase phase) {
        for (auto *bar : window.findChildren<QToolBar *>())
            bar->setVisible(phase == AppFlowView::Phase::main);
    };
    showToolbars(flow->phase());
    QObject::connect(flow, &AppFlowView::phaseChanged, &window, showToolbars);
    return flow;
}

} // namespace korvane
