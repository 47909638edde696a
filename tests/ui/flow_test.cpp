#include "ui_fixture.h"

#include "app/recent_projects.h"
#include "model/project_document.h"
#include "ui/shell/app_flow_view.h"
#include "ui/shell/logo_view.h"
#include "ui/shell/project_setup_view.h"
#include "ui/shell/recent_menu.h"
#include "ui/shell/start_card.h"
#include "ui/theme/toggle_switch.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolBar>

namespace korvane::test {
namespace {

using Phase = AppFlowView::Phase;

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

TEST_F(FlowTest, MenusLeaveTheSplashAloneAndCreatingGivesTheBusAndTheChosenSession)
{
    ASSERT_EQ(flow->phase(), Phase::splash);
    EXPECT_TRUE(logo.started()) << "the splash asks for the logo";
    window->action(MainWindow::Command::newProject)->trigger();
    EXPECT_EQ(flow->phase(), Phase::splash);

    reachSetup();
    EXPECT_FALSE(flow->splash()) << "the splash is gone once left";
    EXPECT_FALSE(toolbarShown());
    screenshot("setup");
    // "Nouveau projet" only puts the cursor in the name field.
    const TOVProject before = state->project();
    click(setup->newCard());
    EXPECT_TRUE(setup->nameField()->hasFocus());
    EXPECT_EQ(state->project(), before);

    click(setup->createButton());
    EXPECT_EQ(flow->phase(), Phase::main);
    EXPECT_TRUE(toolbarShown());
    const TOVProject &p = state->project();
    ASSERT_EQ(p.virtualPorts.size(), 1u);
    VirtualPortConfig bus;
    bus.id = p.virtualPorts[0].id;
    EXPECT_EQ(p.virtualPorts[0], bus) << "KORVANE Bus, In and Out";
    EXPECT_TRUE(p.rtpSessions.empty());
    EXPECT_TRUE(state->dirty());
    EXPECT_TRUE(midi->find("KORVANE Bus Out") && midi->find("KORVANE Bus In"));

    // With the network option, one session of the chosen role.
    build(Phase::setup);
    setup = flow->setup();
    QTest::mouseClick(setup->networkToggle(), Qt::LeftButton, {},
                      setup->networkToggle()->trackRect().center());
    ASSERT_TRUE(setup->rolePicker()->isVisible());
    screenshot("setup_rtp");
    click(setup->roleButton(RTPRole::initiator));
    click(setup->createButton());
    ASSERT_EQ(state->project().rtpSessions.size(), 1u);
    EXPECT_EQ(state->project().rtpSessions[0].role, RTPRole::initiator);
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
    EXPECT_EQ(window->recentMenu()->actions().value(1)->text(), recentProjectText(first));

    QTest::mouseClick(setup->recentList()->viewport(), Qt::LeftButton, {},
                      setup->recentList()->visualItemRect(setup->recentList()->item(1)).center());
    EXPECT_EQ(state->project().name, "Premier");
    EXPECT_EQ(flow->phase(), Phase::main);
    EXPECT_FALSE(state->dirty());
}

} // namespace
} // namespace korvane::test
