#include "ui_fixture.h"

#include "midi/midi_monitor.h"
#include "model/project_document.h"
#include "ui/shell/settings_page.h"
#include "ui/theme/growing_text_edit.h"
#include "ui/theme/toggle_switch.h"

#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>

namespace korvane::test {
namespace {

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
TEST_F(SettingsPageTest, ShowsTheProjectFactsInFrenchWhateverTheSystemLocale)
{
    EXPECT_EQ(page->nameField()->text(), "Nouveau projet");
    EXPECT_TRUE(page->startOnOpenSwitch()->isChecked() && page->panicOnStopSwitch()->isChecked());
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
}

TEST_F(SettingsPageTest, StepperMovesByHundredsWithinItsRangeAndResizesTheMonitorAtOnce)
{
    // Arrow steps up (+1) and down (-1) at both ends of the range.
    const struct {
        int from, step, expected;
    } cases[] = {{500, 1, 600}, {4900, 1, 5000}, {5000, 1, 5000}, {200, -1, 100}, {100, -1, 100}};
    for (const auto &c : cases) {
        setBuffer(c.from);
        spin->stepBy(c.step);
        EXPECT_EQ(state->project().settings.monitorBufferSize, c.expected) << c.from;
        EXPECT_EQ(state->monitor().capacity(), c.expected) << c.from;
        EXPECT_EQ(page->bufferLabel()->text(), QString("Taille du buffer moniteur : %1").arg(c.expected));
    }

    // Typed values land on the grid (the spin box refuses what is out of range).
    for (const auto &[typed, expected] : {std::pair{"149", 100}, {"150", 200}, {"4999", 5000}}) {
        setBuffer(1000);
        type(typed);
        QTest::keyClick(spin, Qt::Key_Return);
        EXPECT_EQ(state->project().settings.monitorBufferSize, expected) << typed;
    }
}

TEST_F(SettingsPageTest, SavingKeepsAValueStillBeingTyped)
{
    QTemporaryDir dir;
    prompts->saveAnswers = {std::filesystem::path(dir.path().toStdString()) / "show"};
    type("800");
    press(Qt::Key_S);
    EXPECT_FALSE(state->dirty());
    const auto saved = ProjectDocument::load(dir.filePath("show.tovprjct"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved.value().settings.monitorBufferSize, 800);
}

TEST_F(SettingsPageTest, EditsReachTheProject)
{
    page->nameField()->setFocus();
    QTest::keyClick(page->nameField(), Qt::Key_Return);
    EXPECT_TRUE(state->dirty()) << "Return marks the project dirty even unchanged";

    // Typed key by key, accented letters included (keyClicks knows ASCII only).
    page->nameField()->selectAll();
    for (const QChar c : QStringLiteral("Tournée"))
        QTest::sendKeyEvent(QTest::Click, page->nameField(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    EXPECT_EQ(state->project().name, "Tournée");
    EXPECT_EQ(window->windowTitle(), "KORVANE \u2014 Tournée \u2022");

    page->notesField()->setFocus();
    QTest::keyClicks(page->notesField(), "a");
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(page->notesField(), Qt::Key_Return);
    EXPECT_EQ(state->project().notes, "a\n\n\n\n\n\n");
    EXPECT_EQ(page->notesField()->visibleLines(), 5);

    for (auto *toggle : {page->startOnOpenSwitch(), page->panicOnStopSwitch()})
        QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->trackRect().center());
    EXPECT_FALSE(state->project().settings.startEngineOnOpen || state->project().settings.panicOnStop);

    // A change made elsewhere shows without losing the field's cursor.
    page->nameField()->setFocus();
    page->nameField()->setCursorPosition(2);
    state->mutateProject([](TOVProject &p) { p.notes = "ailleurs"; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return page->notesField()->toPlainText() == "ailleurs"; }));
    EXPECT_EQ(page->nameField()->cursorPosition(), 2);
}

} // namespace
} // namespace korvane::test
