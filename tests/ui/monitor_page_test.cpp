#include "ui_fixture.h"

#include "midi/midi_monitor.h"
#include "ui/pages/monitor_page.h"
#include "ui/pages/monitor_table_model.h"
#include "ui/theme/widgets.h"

#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTemporaryDir>

namespace korvane::test {
namespace {

using Dir = MonitorEvent::Direction;

MonitorEvent event(const std::string &endpoint, Dir dir = Dir::input)
{
    MonitorEvent e;
    e.id = Uuid::create();
    e.time = std::chrono::system_clock::now();
    e.direction = dir;
    e.endpointName = endpoint;
    return e;
}

QStringList column(const QAbstractItemModel &model, int col)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.index(row, col).data().toString();
    return out;
}

// The published list seen by the model as a sequence of flushes: rows follow
// by id, by inserts and removals only, never a reset.
TEST(MonitorTableModel, FollowsFlushesByIdWithoutResetAndShowsTimesInAscii)
{
    const std::vector<MonitorEvent> e = {event("A"), event("B"), event("C"), event("D", Dir::output),
                                         event("E"), event("F")};
    struct Step {
        std::vector<int> published; // indexes into e, oldest first
        int removed, inserted;
    };
    const Step steps[] = {
        {{0, 1, 2}, 0, 3}, {{2, 3, 4}, 2, 2}, // capacity 3: A and B leave, D and E arrive
        {{5}, 3, 1},                          // a batch larger than what was held
        {{1, 5}, 1, 2},                       // an unknown event before the held one: taken whole
        {{}, 2, 0},
    };
    MonitorTableModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy removals(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    const auto spanned = [](QSignalSpy &spy) {
        int rows = 0;
        for (const auto &args : spy)
            rows += args.at(2).toInt() - args.at(1).toInt() + 1;
        spy.clear();
        return rows;
    };
    for (const Step &step : steps) {
        std::vector<MonitorEvent> published;
        QStringList newestFirst;
        for (int i : step.published) {
            published.push_back(e[static_cast<std::size_t>(i)]);
            newestFirst.prepend(QString::fromStdString(e[static_cast<std::size_t>(i)].endpointName));
        }
        model.sync(published);
        const QString at = newestFirst.join(',');
        EXPECT_EQ(column(model, MonitorTableModel::endpoint), newestFirst) << at.toStdString();
        EXPECT_EQ(spanned(removals), step.removed) << at.toStdString();
        EXPECT_EQ(spanned(inserts), step.inserted) << at.toStdString();
        EXPECT_EQ(model.count(Dir::input) + model.count(Dir::output), model.rowCount());
    }
    EXPECT_EQ(resets.count(), 0);

    // The time column is ASCII whatever the default locale.
    using namespace std::chrono;
    const QDateTime moment(QDate(2026, 3, 1), QTime(13, 5, 9, 42), Qt::LocalTime);
    const auto time = system_clock::time_point(milliseconds(moment.toMSecsSinceEpoch()));
    const auto before = QLocale();
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(monitorTimeText(time), "13:05:09.042");
    EXPECT_EQ(monitorTimeText(time + hours(11)), "00:05:09.042");
    QLocale::setDefault(before);
}

class MonitorPageTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        showPage(SidebarItem::monitor);
        page->setExportPrompts({[this](const QString &proposed) {
                                    proposals << proposed;
                                    return exportPath;
                                },
                                [this](const QString &message) { errors << message; }});
    }
    QStringList shown(int col) const { return column(*table->model(), col); }
    QString count() const { return page->countLabel()->text(); }
    bool emptyShown() const { return page->body()->currentWidget() == page->emptyState(); }

    MonitorPage *page =
        qobject_cast<MonitorPage *>(window->pages()->widget(static_cast<int>(SidebarItem::monitor)));
    QTableView *table = page->table();
    QString exportPath;
    QStringList proposals, errors;
};

TEST_F(MonitorPageTest, RoutedNotesShowNewestFirstAndTheToolbarActsOnThemAndExportsThem)
{
    EXPECT_TRUE(emptyShown());
    // First and last channel, lowest and highest note and velocity.
    const auto keys = routeBetween("Keys, \"A\"", "Synth").first; // a name CSV must quote
    for (const auto &note : std::vector<std::vector<std::uint8_t>>{{0x90, 0, 127}, {0x8F, 127, 0}})
        midi->inject(keys, note);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 4; }, 300));
    EXPECT_FALSE(emptyShown());
    EXPECT_EQ(count(), "4");
    EXPECT_EQ(shown(MonitorTableModel::bytes), (QStringList{"8F 7F 00", "8F 7F 00", "90 00 7F", "90 00 7F"}));
    EXPECT_EQ(shown(MonitorTableModel::direction), (QStringList{"OUT", "IN", "OUT", "IN"}));
    EXPECT_EQ(shown(MonitorTableModel::endpoint).mid(0, 2), (QStringList{"Synth", "Keys, \"A\""}));

    // Filters: one direction, both off (empty state, count unchanged), search.
    QTest::mouseClick(page->inputToggle(), Qt::LeftButton);
    EXPECT_EQ(shown(MonitorTableModel::direction), QStringList(2, "OUT"));
    QTest::mouseClick(page->outputToggle(), Qt::LeftButton);
    EXPECT_TRUE(emptyShown());
    EXPECT_EQ(count(), "4");
    QTest::mouseClick(page->inputToggle(), Qt::LeftButton);
    QTest::mouseClick(page->outputToggle(), Qt::LeftButton);
    QTest::keyClicks(page->searchField(), "synth");
    EXPECT_EQ(shown(MonitorTableModel::endpoint), QStringList(2, "Synth"));
    page->searchField()->clear();

    // Pause: what arrives meanwhile never shows, not even after resuming.
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    midi->inject(keys, {0xB0, 7, 0});
    QTest::qWait(250);
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    QTest::qWait(250);
    EXPECT_EQ(table->model()->rowCount(), 4);
    midi->inject(keys, {0xBF, 127, 127});
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 6; }));

    // Copy of selected rows, in the order shown, tab-separated.
    table->selectRow(1);
    table->selectionModel()->select(table->model()->index(3, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
    const QStringList copied = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(copied.size(), 2);
    EXPECT_TRUE(copied[0].startsWith(table->model()->index(1, 0).data().toString() + "\tIN\tKeys, \"A\"\t"))
        << copied[0].toStdString();
    EXPECT_TRUE(copied[1].endsWith("\t8F 7F 00")) << copied[1].toStdString();

    // Export: the rows shown, as CSV.
    QTest::mouseClick(page->outputToggle(), Qt::LeftButton);
    QTemporaryDir dir;
    exportPath = dir.filePath("trafic é.csv");
    QTest::mouseClick(page->exportButton(), Qt::LeftButton);
    ASSERT_EQ(proposals.size(), 1);
    EXPECT_TRUE(proposals[0].startsWith("moniteur-") && proposals[0].endsWith(".csv"));
    QFile file(exportPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString csv = "Heure,Dir,Endpoint,Type,Message,Octets\r\n";
    for (int row = 0; row < 3; ++row) {
        QStringList record;
        for (int c = 0; c < table->model()->columnCount(); ++c)
            record << csvField(table->model()->index(row, c).data().toString());
        csv += record.join(',') + "\r\n";
    }
    EXPECT_EQ(QString::fromUtf8(file.readAll()), csv);
    EXPECT_TRUE(errors.isEmpty());
    // A folder that does not exist: reported, nothing claimed.
    EXPECT_FALSE(page->exportTo(dir.filePath("absent/trafic.csv")));
    EXPECT_EQ(errors.size(), 1);

    QTest::mouseClick(page->clearButton(), Qt::LeftButton);
    EXPECT_EQ(count(), "0");
    EXPECT_TRUE(emptyShown());
}

TEST(CsvField, FormulasAreNeutralisedAndPlainNamesKept)
{
    const std::pair<QString, QString> cases[] = {{"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
                                                 {"+33 1", "'+33 1"},
                                                 {"-1", "'-1"},
                                                 {"@SUM(A1)", "'@SUM(A1)"},
                                                 {"\tcmd", "'\tcmd"},
                                                 {"\rcmd", "\"'\rcmd\""},
                                                 {"Keys", "Keys"},
                                                 {"a=b-c", "a=b-c"},
                                                 {"Keys, \"A\"", "\"Keys, \"\"A\"\"\""},
                                                 {"", ""}};
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(csvField(text), expected) << text.toStdString();
}

} // namespace
} // namespace korvane::test
