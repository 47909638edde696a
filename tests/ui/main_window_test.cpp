#include "ui_fixture.h"

#include "model/project_document.h"
#include "ui/shell/engine_control_bar.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

namespace korvane::test {
namespace {

using Choice = WindowPrompts::UnsavedChoice;

TEST_F(WindowTest, OpensOnTheRoutingPageWithTheSidebarInOrder)
{
    const QStringList expected{"Périphériques", "Routage", "Filtres", "Moniteur", "Réseau RTP", "Réglages"};
    QStringList labels;
    for (int i = 0; i < window->sidebar()->count(); ++i)
        labels << window->sidebar()->item(i)->text();
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(window->sidebar()->currentRow(), 1);
    EXPECT_EQ(window->shownPage(), SidebarItem::routing);
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Nouveau projet");
    EXPECT_EQ(window->toolbarTitle()->text(), window->windowTitle());
    EXPECT_EQ(window->panicButton()->text(), "Panic");
    EXPECT_EQ(window->panicButton()->toolTip(), "All Notes / All Sound Off");
    EXPECT_EQ(window->saveButton()->text(), "Enregistrer");

    window->resize(400, 300);
    QTest::qWait(20);
    EXPECT_GE(window->width(), 1040);
    EXPECT_GE(window->height(), 680);

    // Clicking a row shows its page; deselecting every row leaves routing.
    auto *sidebar = window->sidebar();
    QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, {},
                      sidebar->visualItemRect(sidebar->item(5)).center());
    EXPECT_EQ(window->shownPage(), SidebarItem::settings);
    sidebar->clearSelection();
    EXPECT_EQ(window->shownPage(), SidebarItem::routing);
    EXPECT_FALSE(state->dirty()) << "browsing pages changes nothing";
}

TEST_F(WindowTest, MenusListTheirItemsWithShortcuts)
{
    QStringList items;
    for (QAction *menu : window->menuBar()->actions()) {
        items << menu->text() + ":";
        for (QAction *item : menu->menu()->actions())
            items << (item->isSeparator() ? "---" : item->text() + " " + item->shortcut().toString());
    }
    const QStringList expected{
        "Fichier:",
        "Nouveau projet Ctrl+N",
        "Ouvrir\u2026 Ctrl+O",
        "---",
        "Enregistrer Ctrl+S",
        "Enregistrer sous\u2026 Ctrl+Shift+S",
        "---",
        "Quitter Ctrl+Q",
        "MIDI:",
        "Démarrer le moteur ",
        "Arrêter le moteur ",
        "---",
        "Panic \u2014 All Notes Off Ctrl+.",
    };
    EXPECT_EQ(items, expected);
}

TEST_F(WindowTest, ShortcutsReachTheController)
{
    QTemporaryDir dir;
    const auto synth = midi->addDestination("Synth", 7);
    ASSERT_TRUE(waitFor([&] { return state->engine().destinations().size() == 1; }));

    // Ctrl+N on a clean project: no question, no second window.
    press(Qt::Key_N);
    EXPECT_EQ(state->statusMessage(), "Nouveau projet");
    EXPECT_TRUE(prompts->unsavedQuestions.empty());
    int windows = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        windows += w->isVisible() ? 1 : 0;
    EXPECT_EQ(windows, 1);

    // Ctrl+. sends the panic, the keypad's period too.
    midi->clearDeliveries();
    press(Qt::Key_Period);
    EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    EXPECT_EQ(midi->deliveries().size(), 32u);
    press(Qt::Key_Period, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(midi->deliveries().size(), 64u);
    EXPECT_EQ(midi->deliveries().front().endpoint, synth);
    QTest::mouseClick(window->panicButton(), Qt::LeftButton);
    EXPECT_EQ(midi->deliveries().size(), 96u);
    // With the engine stopped the status still says it was sent.
    window->action(MainWindow::Command::stopEngine)->trigger();
    press(Qt::Key_Period);
    EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    window->action(MainWindow::Command::startEngine)->trigger();

    // Ctrl+S asks where only while the project has no place.
    const auto first = std::filesystem::path(dir.path().toStdString()) / "Premier";
    prompts->saveAnswers = {first, std::filesystem::path(dir.path().toStdString()) / "Second.tovprjct"};
    setDirty();
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

TEST_F(WindowTest, TitleGainsABulletAfterAnEdit)
{
    showPage(SidebarItem::settings);
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Nouveau projet");
    setDirty();
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Nouveau projet \u2022");
    EXPECT_EQ(window->toolbarTitle()->text(), "KORVANE \u2014 Nouveau projet \u2022");
}

TEST_F(WindowTest, EngineBarFollowsTheEngineHoweverItChanges)
{
    auto *bar = window->engineBar();
    const auto expectBar = [&](bool running) {
        EXPECT_EQ(state->engine().running(), running);
        EXPECT_TRUE(near(colorAtCentre(bar->dot()), running ? Theme::ok() : Theme::error()))
            << colorAtCentre(bar->dot()).name().toStdString();
        EXPECT_EQ(bar->stateLabel()->text(), running ? "Moteur actif" : "Moteur arrêté");
        EXPECT_EQ(bar->button()->text(), running ? "Stop" : "Start");
    };
    expectBar(true);
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(false);
    EXPECT_EQ(bar->statusLabel()->text(), "Moteur arrêté");
    QTest::mouseClick(bar->button(), Qt::LeftButton);
    expectBar(true);
    EXPECT_EQ(bar->statusLabel()->text(), "Moteur démarré");

    window->action(MainWindow::Command::stopEngine)->trigger();
    expectBar(false);
    window->action(MainWindow::Command::startEngine)->trigger();
    expectBar(true);

    // A long status stays on one line, cut with an ellipsis.
    QTemporaryDir dir;
    prompts->saveAnswers = {std::filesystem::path(dir.path().toStdString()) / std::string(200, 'x')};
    press(Qt::Key_S);
    ASSERT_TRUE(state->statusMessage().starts_with("Enregistré : xxx"));
    EXPECT_TRUE(bar->statusLabel()->text().endsWith(QChar(0x2026)))
        << bar->statusLabel()->text().toStdString();
    EXPECT_LE(bar->statusLabel()->height(), 2 * bar->statusLabel()->fontMetrics().height());
}

TEST_F(WindowTest, StartWithoutAMidiServerSaysSoAndRetries)
{
    state->setEngineRetryInterval(std::chrono::milliseconds(50));
    window->action(MainWindow::Command::stopEngine)->trigger();
    midi->setOpenStatus(-1);
    QTest::mouseClick(window->engineBar()->button(), Qt::LeftButton);
    EXPECT_EQ(state->statusMessage(), "Erreur : serveur MIDI injoignable");
    EXPECT_EQ(window->engineBar()->button()->text(), "Start");

    // The server comes up: the engine follows without another click.
    midi->setOpenStatus(0);
    EXPECT_TRUE(waitFor([&] { return state->engine().running(); }));
    EXPECT_EQ(state->statusMessage(), "Moteur redémarré");
    EXPECT_TRUE(waitFor([&] { return window->engineBar()->stateLabel()->text() == "Moteur actif"; }));
}

TEST_F(WindowTest, UnsavedChangesAreAskedAboutBeforeTheyAreLost)
{
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

    window->action(MainWindow::Command::quit)->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(state->engine().running());
}

TEST_F(WindowTest, QuittingSendsThePanicWhenTheShowAsks)
{
    for (const bool panicOnStop : {true, false}) {
        if (!panicOnStop) {
            TearDown();
            SetUp();
        }
        const auto synth = midi->addDestination("Synth", 9);
        ASSERT_TRUE(waitFor([&] { return state->engine().destinations().size() == 1; }));
        state->mutateProject([&](TOVProject &p) { p.settings.panicOnStop = panicOnStop; });
        prompts->unsavedAnswers = {Choice::discard};
        midi->clearDeliveries();
        window->close();
        ASSERT_FALSE(window->isVisible());

        const auto deliveries = midi->deliveries();
        if (!panicOnStop) {
            EXPECT_TRUE(deliveries.empty());
            continue;
        }
        ASSERT_EQ(deliveries.size(), 32u);
        // First and last channel, both controllers, value 0.
        for (const std::vector<std::uint8_t> &bytes :
             {std::vector<std::uint8_t>{0xB0, 123, 0}, {0xB0, 120, 0}, {0xBF, 123, 0}, {0xBF, 120, 0}}) {
            EXPECT_TRUE(std::find(deliveries.begin(), deliveries.end(),
                                  LoopbackMidiService::Delivery{synth, false, bytes}) != deliveries.end());
        }
    }
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

    answerNextDialog(package);
    EXPECT_EQ(prompts.chooseProjectToOpen(), packagePath);
    answerNextDialog(package + "/project.json");
    EXPECT_EQ(prompts.chooseProjectToOpen(), packagePath);
    answerNextDialog(dir.path());
    EXPECT_EQ(prompts.chooseProjectToOpen(), std::nullopt);

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

TEST_F(WindowTest, MainWindowScreenshot)
{
    screenshot(QStringLiteral("main_window"));
}

} // namespace
} // namespace korvane::test
