#include "ui_fixture.h"

#include "model/project_document.h"
#include "ui/shell/engine_control_bar.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

namespace korvane::test {
namespace {

using Choice = WindowPrompts::UnsavedChoice;

std::filesystem::path pathIn(const QTemporaryDir &dir, const std::string &name)
{
    return dir.filePath(QString::fromStdString(name)).toStdString();
}

TEST_F(WindowTest, OpensOnTheRoutingPageWithTheSidebarInOrder)
{
    auto *sidebar = window->sidebar();
    EXPECT_EQ(window->shownPage(), SidebarItem::routing);
    window->resize(400, 300);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->width() >= 1040 && window->height() >= 680; }))
        << window->width() << "x" << window->height();

    // Clicking a row shows its page; deselecting every row leaves routing.
    QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, {},
                      sidebar->visualItemRect(sidebar->item(5)).center());
    EXPECT_EQ(window->shownPage(), SidebarItem::settings);
    sidebar->clearSelection();
    EXPECT_EQ(window->shownPage(), SidebarItem::routing);
    EXPECT_FALSE(state->dirty()) << "browsing pages changes nothing";
}

TEST_F(WindowTest, ShortcutsReachTheController)
{
    const auto synth = midi->addDestination("Synth", 7);
    waitForDestinations(1);

    // Ctrl+N on a clean project: no question, no second window.
    press(Qt::Key_N);
    EXPECT_EQ(state->statusMessage(), "Nouveau projet");
    EXPECT_TRUE(prompts->unsavedQuestions.empty());
    const auto tops = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(tops.begin(), tops.end(), [](QWidget *w) { return w->isVisible(); }), 1);

    // Ctrl+. sends the panic, the keypad's period and the toolbar button too.
    midi->clearDeliveries();
    press(Qt::Key_Period);
    EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    EXPECT_EQ(midi->deliveries(), panicTo(synth));
    press(Qt::Key_Period, Qt::ControlModifier | Qt::KeypadModifier);
    QTest::mouseClick(window->panicButton(), Qt::LeftButton);
    EXPECT_EQ(midi->deliveries().size(), 3 * 32u);
    // With the engine stopped the status still says it was sent.
    window->action(MainWindow::Command::stopEngine)->trigger();
    press(Qt::Key_Period);
    EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    window->action(MainWindow::Command::startEngine)->trigger();

    // Ctrl+S asks where only while the project has no place; an edit shows in the title.
    QTemporaryDir dir;
    prompts->saveAnswers = {pathIn(dir, "Premier"), pathIn(dir, "Second.tovprjct")};
    setDirty();
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Nouveau projet \u2022");
    press(Qt::Key_S);
    EXPECT_EQ(prompts->proposedNames, std::vector<std::string>{"Nouveau projet.tovprjct"});
    EXPECT_EQ(state->statusMessage(), "Enregistré : Premier.tovprjct");
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Premier");
    setDirty();
    press(Qt::Key_S);
    EXPECT_EQ(prompts->proposedNames.size(), 1u);
    EXPECT_FALSE(state->dirty());
    // Ctrl+Shift+S always asks.
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prompts->proposedNames.size(), 2u);
    EXPECT_EQ(state->statusMessage(), "Enregistré : Second.tovprjct");
}

TEST_F(WindowTest, EngineBarFollowsTheEngineHoweverItChanges)
{
    auto *bar = window->engineBar();
    // The server in use, named whatever the engine's state.
    EXPECT_EQ(bar->serviceLabel()->text(), "Serveur MIDI : Loopback");
    const auto expectBar = [&](bool running, const char *status) {
        EXPECT_EQ(state->engine().running(), running);
        const QColor dot = centreColour(bar->dot());
        EXPECT_TRUE(near(dot, running ? Theme::ok() : Theme::error())) << dot.name().toStdString();
        EXPECT_EQ(
            QStringList({bar->stateLabel()->text(), bar->button()->text(), bar->statusLabel()->text()}),
            QStringList({running ? "Moteur actif" : "Moteur arrêté", running ? "Stop" : "Start", status}));
    };
    // Stopping asks first; refusing keeps the show running.
    prompts->stopAnswers = {false, false};
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    window->action(MainWindow::Command::stopEngine)->trigger();
    EXPECT_EQ(prompts->stopQuestions, 2);
    expectBar(true, "Prêt");
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(false, "Moteur arrêté");
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(true, "Moteur démarré");
    window->action(MainWindow::Command::stopEngine)->trigger();
    expectBar(false, "Moteur arrêté");
    window->action(MainWindow::Command::startEngine)->trigger();
    expectBar(true, "Moteur démarré");

    // No MIDI server: the start says so, and the engine follows once it answers.
    state->setEngineRetryInterval(std::chrono::milliseconds(50));
    window->action(MainWindow::Command::stopEngine)->trigger();
    midi->setOpenStatus(-1);
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(false, "Erreur : serveur MIDI injoignable");
    midi->setOpenStatus(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->stateLabel()->text() == "Moteur actif"; }));
    expectBar(true, "Moteur redémarré");

    // A long status stays on one line, cut with an ellipsis.
    QTemporaryDir dir;
    prompts->saveAnswers = {pathIn(dir, std::string(200, 'x'))};
    press(Qt::Key_S);
    ASSERT_TRUE(state->statusMessage().starts_with("Enregistré : xxx"));
    EXPECT_TRUE(bar->statusLabel()->text().endsWith(QChar(0x2026)))
        << bar->statusLabel()->text().toStdString();
    EXPECT_LE(bar->statusLabel()->height(), 2 * bar->statusLabel()->fontMetrics().height());
}

TEST_F(WindowTest, UnsavedChangesAreAskedAboutBeforeTheyAreLostAndQuittingSendsThePanic)
{
    const auto synth = midi->addDestination("Synth", 9);
    waitForDestinations(1);
    // A clean project is replaced without a question.
    window->action(MainWindow::Command::newProject)->trigger();
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

TEST(FileDialogs, TreatPackagesAsDocuments)
{
    QTemporaryDir dir;
    const QString package = dir.filePath("Concert.tovprjct");
    ASSERT_TRUE(ProjectDocument::save(TOVProject(), package));
    const std::filesystem::path packagePath = package.toStdString();
    DialogPrompts prompts;
    const std::pair<QString, std::optional<std::filesystem::path>> opens[] = {
        {package, packagePath}, {package + "/project.json", packagePath}, {dir.path(), std::nullopt}};
    for (const auto &[chosen, expected] : opens) {
        answerNextDialog(chosen);
        EXPECT_EQ(prompts.chooseProjectToOpen(), expected) << chosen.toStdString();
    }
    // Saving onto an existing package asks before replacing it.
    answerNextDialog(package, true);
    EXPECT_EQ(prompts.chooseSaveLocation("Concert.tovprjct"), packagePath);
}

TEST(SaveDialog, ProposesNamesFitForAFile)
{
    const std::pair<QString, QString> cases[] = {
        {"Concert.tovprjct", "Concert.tovprjct"},
        {"AC/DC.tovprjct", "AC-DC.tovprjct"},
        {"..cache.tovprjct", "cache.tovprjct"},
        {".tovprjct", "tovprjct"},
        {"...", "Projet.tovprjct"},
    };
    for (const auto &[proposed, expected] : cases)
        EXPECT_EQ(safeFileName(proposed), expected) << proposed.toStdString();
}

} // namespace
} // namespace korvane::test
