#include "ui_fixture.h"

#include "midi/midi_monitor.h"
#include "model/project_document.h"
#include "ui/shell/disconnect_alert.h"
#include "ui/shell/engine_control_bar.h"
#include "ui/shell/settings_page.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"
#include "ui/theme/widgets.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

namespace korvane::test {
namespace {

using Choice = WindowPrompts::UnsavedChoice;

// Ctrl+S asks where only while the project has no place; Ctrl+Shift+S always
// asks. The panic key has its own test, under every dialog.
TEST_F(WindowTest, SaveShortcutsAskWhereOnlyWhenNeeded)
{
    QTemporaryDir dir;
    const std::string second = dir.filePath("Second.tovprjct").toStdString();
    prompts->saveAnswers = {dir.filePath("Premier").toStdString(), second};
    state->markDirty();
    press(Qt::Key_S);
    EXPECT_EQ(prompts->proposedNames, std::vector<std::string>{"Nouveau projet.tovprjct"});
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Premier");
    state->markDirty();
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Premier \u2022");
    press(Qt::Key_S);
    EXPECT_EQ(prompts->proposedNames.size(), 1u);
    EXPECT_FALSE(state->dirty());
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts->proposedNames.size(), 2u);
    EXPECT_EQ(state->projectURL(), std::filesystem::path(second));
}

TEST_F(WindowTest, StoppingAndLosingChangesAreAskedAboutFirstAndQuittingSendsThePanic)
{
    const auto synth = midi->addDestination("Synth", 9);
    waitForDestinations(1);
    auto *bar = window->engineBar();
    const auto expectBar = [&](bool running, const char *status) {
        EXPECT_EQ(state->engine().running(), running);
        EXPECT_EQ(bar->dot()->color(), running ? Theme::ok() : Theme::error());
        EXPECT_EQ(bar->statusLabel()->text(), status);
    };
    // Stopping asks first; refusing keeps the show running.
    prompts->stopAnswers = {false, false};
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    window->action(MainWindow::Command::stopEngine)->trigger();
    EXPECT_EQ(prompts->stopQuestions, 2);
    expectBar(true, "Prêt");
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(false, "Moteur arrêté");
    window->action(MainWindow::Command::startEngine)->trigger();
    expectBar(true, "Moteur démarré");

    // A clean project is replaced without a question (Ctrl+N).
    press(Qt::Key_N);
    EXPECT_TRUE(prompts->unsavedQuestions.empty());

    state->mutateProject([](TOVProject &p) { p.name = "Concert"; });
    prompts->unsavedAnswers = {Choice::cancel, Choice::cancel, Choice::save, Choice::discard};
    window->action(MainWindow::Command::newProject)->trigger();
    EXPECT_EQ(state->project().name, "Concert");
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(state->engine().running());
    // Saving, then cancelling the place: still nothing lost.
    window->action(MainWindow::Command::quit)->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(prompts->unsavedQuestions, (std::vector<std::string>{"Concert", "Concert", "Concert"}));
    EXPECT_EQ(prompts->proposedNames.size(), 1u);

    // Discarding quits; the show asks for the panic on stop.
    ASSERT_TRUE(state->project().settings.panicOnStop);
    midi->clearDeliveries();
    window->action(MainWindow::Command::quit)->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(state->engine().running());
    EXPECT_EQ(midi->deliveries(), panicTo(synth));
}

// Answers the next file dialog as a user would: selects `path` and presses
// its main button; `confirm` also answers a question that follows.
void answerNextDialog(const QString &path, bool confirm = false)
{
    QTimer::singleShot(0, [path, confirm] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->selectFile(path);
        if (confirm) {
            QTimer::singleShot(0, [] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                EXPECT_TRUE(box->text().endsWith("existe déjà. Voulez-vous le remplacer ?"));
                box->button(QMessageBox::Yes)->click();
            });
        }
        QMetaObject::invokeMethod(dialog, "accept");
        if (dialog->isVisible()) // went into a plain folder: nothing chosen
            dialog->reject();
    });
}

TEST(FileDialogs, TreatPackagesAsDocumentsAndProposeNamesFitForAFile)
{
    QTemporaryDir dir;
    const QString package = dir.filePath("Concert.tovprjct");
    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));
    const std::filesystem::path packagePath = package.toStdString();
    DialogPrompts prompts;
    const std::pair<QString, std::optional<std::filesystem::path>> opens[] = {
        {package + "/project.json", packagePath}, {dir.path(), std::nullopt}};
    for (const auto &[chosen, expected] : opens) {
        answerNextDialog(chosen);
        EXPECT_EQ(prompts.chooseProjectToOpen(), expected) << chosen.toStdString();
    }
    // Saving onto an existing package asks before replacing it.
    answerNextDialog(package, true);
    EXPECT_EQ(prompts.chooseSaveLocation("Concert.tovprjct"), packagePath);

    const std::pair<QString, QString> names[] = {
        {"AC/DC.tovprjct", "AC-DC.tovprjct"}, {".tovprjct", "tovprjct"}, {"...", "Projet.tovprjct"}};
    for (const auto &[proposed, expected] : names)
        EXPECT_EQ(safeFileName(proposed), expected) << proposed.toStdString();
}

// A route Keys -> Desk, seen from the settings page: the MIDI server goes,
// then the destination.
TEST_F(WindowTest, DisconnectAlertShowsWhatIsLostUntilRecheckedOrIgnoredAndLetsThePageBeUsed)
{
    const auto desk = routeBetween("Keys", "Desk").second;
    showPage(SidebarItem::settings);
    DisconnectAlert *alert = window->disconnectAlert();
    ASSERT_FALSE(alert->isShown());

    // Checking again restarts a lost server at once, before the next retry.
    state->supervisor().setRetryInterval(std::chrono::milliseconds(500));
    midi->setOpenStatus(-1);
    midi->simulateShutdown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isShown(); }));
    midi->setOpenStatus(0);
    QTest::mouseClick(alert->card()->recheckButton(), Qt::LeftButton);
    EXPECT_TRUE(state->engine().running());
    QCoreApplication::processEvents();
    EXPECT_FALSE(alert->isShown());

    midi->removeEndpoint(desk);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->isShown(); }));
    EXPECT_EQ(alert->card()->texts().value(1), "\u2022 Desk");
    // The frame covers the whole detail area, the card sits at its bottom.
    EXPECT_EQ(alert->border()->geometry(), window->detailArea()->rect());
    EXPECT_EQ(alert->card()->geometry().bottom(), window->detailArea()->rect().bottom());

    // A page control under the red frame still takes its click.
    auto *toggle = window->settingsPage()->panicOnStopSwitch();
    QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->trackRect().center());
    EXPECT_FALSE(state->project().settings.panicOnStop);

    // Checking again while the device is still absent keeps the alert.
    QTest::mouseClick(alert->card()->recheckButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(alert->isShown());
    QTest::mouseClick(alert->card()->ignoreButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_FALSE(alert->isShown());
}

class SettingsPageTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        showPage(SidebarItem::settings);
    }
    void type(const QString &text)
    {
        spin->setFocus();
        spin->selectAll();
        QTest::keyClicks(spin, text);
    }
    void setBuffer(int size)
    {
        state->mutateProject([size](TOVProject &p) { p.settings.monitorBufferSize = size; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return spin->value() == size; }));
    }

    SettingsPage *page = window->settingsPage();
    QSpinBox *spin = page->bufferStepper();
};

// CTest runs it again under LANG=C and LANG=ar_EG.UTF-8.
TEST_F(SettingsPageTest, ShowsTheProjectFactsAndTakesEditsInFrenchWhateverTheSystemLocale)
{
    EXPECT_FALSE(state->dirty()) << "showing the page changes nothing";
    // A stored project shows its own date, day first, and format.
    state->mutateProject([](TOVProject &p) {
        p.createdAt = std::chrono::sys_days{std::chrono::year{2024} / 3 / 5} + std::chrono::hours{14} +
                      std::chrono::minutes{30};
        p.formatVersion = 3;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return page->createdLabel()->text() == "05/03/2024 14:30"; }))
        << page->createdLabel()->text().toStdString();
    EXPECT_EQ(spin->text(), "500");
    EXPECT_EQ(page->formatLabel()->text(), "v3");

    // Arrow steps up (+1) and down (-1) at both ends of the range.
    const struct {
        int from, step, expected;
    } cases[] = {{4900, 1, 5000}, {5000, 1, 5000}, {200, -1, 100}, {100, -1, 100}};
    for (const auto &c : cases) {
        setBuffer(c.from);
        spin->stepBy(c.step);
        EXPECT_EQ(state->project().settings.monitorBufferSize, c.expected) << c.from;
        EXPECT_EQ(state->monitor().capacity(), c.expected) << c.from;
    }

    // Typed values land on the grid (the spin box refuses what is out of range).
    for (const auto &[typed, expected] : {std::pair{"149", 100}, {"150", 200}, {"4999", 5000}}) {
        setBuffer(1000);
        type(typed);
        QTest::keyClick(spin, Qt::Key_Return);
        EXPECT_EQ(state->project().settings.monitorBufferSize, expected) << typed;
    }

    // Typed key by key, accented letters included (keyClicks knows ASCII only).
    page->nameField()->setFocus();
    page->nameField()->selectAll();
    for (const QChar c : QStringLiteral("Tournée"))
        QTest::sendKeyEvent(QTest::Click, page->nameField(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::mouseClick(page->startOnOpenSwitch(), Qt::LeftButton, {},
                      page->startOnOpenSwitch()->trackRect().center());

    QTemporaryDir dir;
    prompts->saveAnswers = {std::filesystem::path(dir.path().toStdString()) / "show"};
    type("800");
    press(Qt::Key_S);
    EXPECT_FALSE(state->dirty());
    const auto saved = ProjectDocument::load(dir.filePath("show.tovprjct"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(std::tuple(saved.value().name, saved.value().settings.startEngineOnOpen,
                         saved.value().settings.monitorBufferSize),
              std::tuple("Tournée", false, 800));
}

} // namespace
} // namespace korvane::test
