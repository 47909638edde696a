#pragma once

#include "ui/shell/project_setup_view.h"
#include "ui/shell/splash_view.h"

#include <QPointer>
#include <QWidget>

class QStackedLayout;

namespace korvane {

class AppState;
class LogoLoader;
class MainWindow;
class ProjectSetupView;

// The window's content: the splash, then the setup screen, then the pages.
// Phases only move forward; each change cross-fades over 0.4 s. The menus
// act on the controller and never change the phase.
class AppFlowView : public QWidget {
    Q_OBJECT
public:
    enum class Phase { splash, setup, main };
    struct Options {
        Phase start = Phase::splash;
        SplashView::Duration splashDuration = SplashView::kDuration;
        // Null: the process's shared loader.
        LogoLoader *logoLoader = nullptr;
    };

    AppFlowView(AppState &state, QWidget *mainContent, Options options, QWidget *parent = nullptr);

    Phase phase() const { return m_phase; }
    // Moves forward only; a request for an earlier or the same phase is ignored.
    void advance(Phase to, bool animated = true);

    SplashView *splash() const;
    ProjectSetupView *setup() const;
    QWidget *mainContent() const;
    bool fading() const { return m_fade != nullptr; }

signals:
    void phaseChanged(korvane::AppFlowView::Phase phase);

private:
    QWidget *screen(Phase phase) const;

    AppState &m_state;
    Phase m_phase;
    QStackedLayout *m_stack = nullptr;
    QPointer<SplashView> m_splash;
    QPointer<ProjectSetupView> m_setup;
    QPointer<QWidget> m_main;
    QPointer<QWidget> m_fade;
};

// Puts the flow in the window in place of its central widget (which becomes
// the main phase) and shows the toolbar only with the pages. Packages opened
// or saved from then on go to the recent list.
AppFlowView *installFlow(MainWindow &window, AppState &state, AppFlowView::Options options = {});

} // namespace korvane
