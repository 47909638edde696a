#include "ui_fixture.h"

#include "app/recent_projects.h"
#include "model/project_document.h"
#include "ui/shell/app_flow_view.h"
#include "ui/shell/logo_view.h"
#include "ui/shell/project_setup_view.h"
#include "ui/shell/recent_menu.h"
#include "ui/shell/splash_motion.h"
#include "ui/shell/start_card.h"
#include "ui/theme/growing_text_edit.h"
#include "ui/theme/toggle_switch.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolBar>

namespace korvane::test {
namespace {

using Phase = AppFlowView::Phase;

// Pure motion of the splash: loading bar, particles, links, timing curves.
TEST(SplashMotion, LoadingBarWidthInA240Frame)
{
    const struct {
        double progress, width;
    } rows[] = {{0, 6}, {0.025, 6}, {0.5, 120}, {1, 240}, {1.5, 240}, {-1, 6}};
    for (const auto &row : rows)
        EXPECT_DOUBLE_EQ(splash::loadingBarFillWidth(row.progress, 240), row.width) << row.progress;
}

TEST(SplashMotion, ParticlesWrapInsideTheView)
{
    const struct {
        double start, velocity, t, expected;
    } rows[] = {
        {0.99, 0.025, 1, 0.015}, {0.01, -0.025, 1, 0.985},   {0.5, 0.025, 0, 0.5},  {0.0, 0.025, 40, 0.0},
        {0.0, -0.025, 40, 0.0},  {0.25, 0.025, 8.0e8, 0.25}, {0.0, -1e-18, 1, 0.0}, {0.999, 0.001, 1, 0.0},
    };
    for (const auto &row : rows) {
        const double p = splash::wrapUnit(row.start, row.velocity, row.t);
        EXPECT_NEAR(p, row.expected, 1e-6) << row.start << " " << row.velocity << " " << row.t;
        EXPECT_TRUE(p >= 0 && p < 1) << p;
    }
    const QPointF point = splash::particlePoint({0.99, 0.5, 0.025, 0}, 1, QSizeF(800, 600));
    EXPECT_NEAR(point.x(), 12, 1e-6);
    EXPECT_NEAR(point.y(), 300, 1e-6);
}

TEST(SplashMotion, LinksFadeOutAtTheirDistanceAndCurvesSettle)
{
    const double L = splash::linkDistance(QSizeF(1000, 500));
    EXPECT_DOUBLE_EQ(L, 110);
    EXPECT_DOUBLE_EQ(splash::linkOpacity(0, L).value(), 0.3);
    EXPECT_NEAR(splash::linkOpacity(L / 2, L).value(), 0.15, 1e-12);
    EXPECT_GT(splash::linkOpacity(std::nextafter(L, 0.0), L).value(), 0);
    EXPECT_FALSE(splash::linkOpacity(L, L));
    EXPECT_FALSE(splash::linkOpacity(1, 0)) << "a view with no area links nothing";
    QRandomGenerator random(7);
    for (const auto &p : splash::makeParticles(random))
        EXPECT_TRUE(p.x >= 0 && p.x <= 1 && p.y >= 0 && p.y <= 1 && std::abs(p.vx) <= 0.025 &&
                    std::abs(p.vy) <= 0.025);
    EXPECT_EQ(splash::springProgress(0), 0);
    EXPECT_NEAR(splash::springProgress(2), 1, 0.01) << "the logo settles at full size";
    EXPECT_EQ(splash::easeInOut(5, 2.2), 1);
}

// The window from its splash: a 50 ms splash, a private logo loader and a
// private data folder (recent list, logo cache).
class FlowTest : public ::testing::Test {
protected:
    FlowTest()
    {
        qputenv("XDG_DATA_HOME", data.path().toUtf8());
        build();
    }
    ~FlowTest() override { qunsetenv("XDG_DATA_HOME"); }

    void build(Phase start = Phase::splash)
    {
        window.reset();
        state = std::make_unique<AppState>(midi, prompts);
        window = std::make_unique<MainWindow>(*state, prompts);
        flow = installFlow(
            *window, *state,
            {.start = start, .splashDuration = std::chrono::milliseconds(50), .logoLoader = &logo});
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void reachSetup()
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return flow->phase() == Phase::setup; }));
        setup = flow->setup();
    }
    void click(QAbstractButton *button)
    {
        ASSERT_TRUE(button->isVisible()) << button->text().toStdString();
        QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    }
    void toggle(ToggleSwitch *toggle)
    {
        QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->trackRect().center());
    }
    bool toolbarShown() const { return window->findChild<QToolBar *>()->isVisible(); }
    // A package written to disk under the data folder.
    std::filesystem::path package(const std::string &name)
    {
        TOVProject project;
        project.name = name;
        const QString path = data.path() + '/' + QString::fromStdString(name) + ".tovprjct";
        EXPECT_TRUE(ProjectDocument::save(project, path));
        return path.toStdString();
    }
    // After any cross-fade, so the picture shows one screen.
    void screenshot(const QString &name)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !flow->fading(); }, 2000));
        saveScreenshot(window.get(), "offscreen_" + name);
    }

    QTemporaryDir data;
    LogoLoader logo{LogoLoader::Config{{}, data.filePath("logo-cache.png"), {}}};
    std::shared_ptr<LoopbackMidiService> midi = std::make_shared<LoopbackMidiService>();
    std::shared_ptr<FakeWindowPrompts> prompts = std::make_shared<FakeWindowPrompts>();
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;
    AppFlowView *flow = nullptr;
    ProjectSetupView *setup = nullptr;
};

TEST_F(FlowTest, SplashShowsItsTextsAndMenusLeaveThePhaseAlone)
{
    ASSERT_EQ(flow->phase(), Phase::splash);
    EXPECT_EQ(flow->splash()->titleLabel()->text(), "KORVANE");
    EXPECT_EQ(flow->splash()->subtitleLabel()->text(), "TOV RORA Varidiv");
    EXPECT_FALSE(toolbarShown());
    EXPECT_TRUE(logo.started()) << "the splash asks for the logo";
    window->action(MainWindow::Command::newProject)->trigger();
    EXPECT_EQ(state->statusMessage(), "Nouveau projet");
    EXPECT_EQ(flow->phase(), Phase::splash);

    reachSetup();
    EXPECT_FALSE(flow->splash()) << "the splash is gone once left";
    prompts->openAnswers.push_back(package("Menu"));
    window->action(MainWindow::Command::open)->trigger();
    EXPECT_EQ(state->project().name, "Menu");
    EXPECT_EQ(flow->phase(), Phase::setup);
    EXPECT_FALSE(toolbarShown());
}

TEST_F(FlowTest, SetupStartsWithTheBusOnlyAndNewProjectOnlyFocusesTheName)
{
    reachSetup();
    EXPECT_EQ(setup->nameField()->text(), "Nouveau show");
    EXPECT_TRUE(setup->virtualBusToggle()->isChecked());
    EXPECT_FALSE(setup->networkToggle()->isChecked());
    EXPECT_FALSE(setup->rolePicker()->isVisible());
    EXPECT_FALSE(setup->recentList()->isVisible()) << "no recent show yet";
    screenshot("setup");

    // "Nouveau projet" only puts the cursor in the name field.
    const TOVProject before = state->project();
    click(setup->newCard());
    EXPECT_TRUE(setup->nameField()->hasFocus());
    EXPECT_EQ(state->project(), before);
    EXPECT_EQ(flow->phase(), Phase::setup);
}

TEST_F(FlowTest, CreatingUntouchedGivesTheDefaultShowWithItsBus)
{
    reachSetup();
    click(setup->createButton());
    EXPECT_EQ(flow->phase(), Phase::main);
    EXPECT_TRUE(toolbarShown());
    const TOVProject &p = state->project();
    EXPECT_EQ(p.name, "Nouveau show");
    ASSERT_EQ(p.virtualPorts.size(), 1u);
    VirtualPortConfig bus;
    bus.id = p.virtualPorts[0].id;
    EXPECT_EQ(p.virtualPorts[0], bus) << "KORVANE Bus, In and Out";
    EXPECT_TRUE(p.rtpSessions.empty());
    EXPECT_TRUE(state->dirty());
    EXPECT_FALSE(state->projectURL());
    EXPECT_TRUE(midi->find("KORVANE Bus Out") && midi->find("KORVANE Bus In"));
    EXPECT_TRUE(flow->fading());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !flow->fading(); }, 2000));
}

TEST_F(FlowTest, NetworkOptionAndRolePicker)
{
    reachSetup();
    toggle(setup->networkToggle());
    ASSERT_TRUE(setup->rolePicker()->isVisible());
    screenshot("setup_rtp");
    click(setup->roleButton(RTPRole::initiator));
    toggle(setup->networkToggle());
    EXPECT_FALSE(setup->rolePicker()->isVisible());
    toggle(setup->networkToggle());
    EXPECT_TRUE(setup->roleButton(RTPRole::initiator)->isChecked()) << "the role survives the toggle";
    toggle(setup->virtualBusToggle());
    setup->nameField()->clear();
    QTest::keyClicks(setup->notesField(), "Salle 2");

    click(setup->createButton());
    const TOVProject &p = state->project();
    EXPECT_EQ(p.name, "Nouveau show");
    EXPECT_EQ(p.notes, "Salle 2");
    EXPECT_TRUE(p.virtualPorts.empty());
    ASSERT_EQ(p.rtpSessions.size(), 1u);
    RTPSessionConfig expected;
    expected.id = p.rtpSessions[0].id;
    expected.role = RTPRole::initiator;
    EXPECT_EQ(p.rtpSessions[0], expected) << "TOV-Net, enabled, ports 5004 and 5004, no host";
    EXPECT_EQ(flow->phase(), Phase::main);
}

TEST_F(FlowTest, CancelledOpenStaysWhileCancelledSaveEntersDirty)
{
    reachSetup();
    click(setup->openCard());
    EXPECT_EQ(flow->phase(), Phase::setup);
    prompts->openAnswers.push_back(data.filePath("missing.tovprjct").toStdString());
    click(setup->openCard());
    EXPECT_EQ(flow->phase(), Phase::setup);
    EXPECT_EQ(prompts->alerts.size(), 1u);

    prompts->openAnswers.push_back(package("Concert"));
    click(setup->openCard());
    EXPECT_EQ(flow->phase(), Phase::main);
    EXPECT_EQ(state->project().name, "Concert");
    EXPECT_FALSE(state->dirty());

    build(Phase::setup);
    setup = flow->setup();
    setup->nameField()->setText("  ");
    click(setup->createAndSaveButton());
    EXPECT_EQ(prompts->proposedNames, std::vector<std::string>{"  .tovprjct"}) << "spaces are kept";
    EXPECT_EQ(flow->phase(), Phase::main);
    EXPECT_TRUE(state->dirty());
    EXPECT_FALSE(state->projectURL());
}

TEST_F(FlowTest, RecentShowsComeBackNewestFirstAfterARestart)
{
    const auto first = package("Premier");
    const auto second = package("Second");
    reachSetup();
    ASSERT_TRUE(state->openProjectAt(first));
    ASSERT_TRUE(state->openProjectAt(second.string() + "/"));
    QFile blocker(data.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    prompts->saveAnswers.push_back(data.filePath("file/Lost.tovprjct").toStdString());
    state->saveAs(); // fails under a plain file: never listed
    ASSERT_EQ(prompts->alerts.size(), 1u);

    build(Phase::setup);
    setup = flow->setup();
    screenshot("setup_recent");
    QStringList shown;
    for (int i = 0; i < setup->recentList()->count(); ++i)
        shown << setup->recentList()->item(i)->data(Qt::UserRole).toString();
    EXPECT_EQ(shown,
              (QStringList{QString::fromStdString(second.string()), QString::fromStdString(first.string())}));

    emit window->recentMenu()->aboutToShow();
    QStringList menu;
    for (QAction *action : window->recentMenu()->actions())
        menu << (action->isSeparator() ? QStringLiteral("---") : action->text());
    EXPECT_EQ(menu,
              (QStringList{recentProjectText(second), recentProjectText(first), "---", "Effacer la liste"}));

    QTest::mouseClick(setup->recentList()->viewport(), Qt::LeftButton, {},
                      setup->recentList()->visualItemRect(setup->recentList()->item(1)).center());
    EXPECT_EQ(state->project().name, "Premier");
    EXPECT_EQ(flow->phase(), Phase::main);
}

} // namespace
} // namespace korvane::test
