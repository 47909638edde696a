#include "ui_fixture.h"

#include "midi/midi_monitor.h"
#include "ui/pages/monitor_page.h"
#include "ui/pages/monitor_table_model.h"
#include "ui/theme/widgets.h"

#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
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

// RFC 4180 reader, written apart from the writer so a round trip checks it.
QList<QStringList> readCsv(const QString &text)
{
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (quoted && text.mid(i, 2) == u"\"\"") {
            field += text[++i];
        } else if (text[i] == u'"') {
            quoted = !quoted;
        } else if (!quoted && text[i] == u',') {
            record << std::exchange(field, {});
        } else if (!quoted && text.mid(i, 2) == u"\r\n") {
            record << std::exchange(field, {});
            records << std::exchange(record, {});
            ++i;
        } else {
            field += text[i];
        }
    }
    return records;
}

// The published list seen by the model as a sequence of flushes: rows follow
// by id, by inserts and removals only, never a reset.
TEST(MonitorTableModel, FollowsFlushesByIdWithoutReset)
{
    const std::vector<MonitorEvent> e = {event("A"), event("B"), event("C"), event("D", Dir::output),
                                         event("E"), event("F")};
    struct Step {
        std::vector<int> published; // indexes into e, oldest first
        int removed, inserted;
    };
    const Step steps[] = {
        {{0, 1, 2}, 0, 3}, // first flush
        {{0, 1, 2}, 0, 0}, // nothing new
        {{2, 3, 4}, 2, 2}, // capacity 3: A and B leave, D and E arrive
        {{3, 4}, 1, 0},    // trimmed without news
        {{5}, 2, 1},       // a batch larger than what was held
        {{1, 5}, 1, 2},    // an unknown event before the held one: taken whole
        {{}, 2, 0},        // cleared
        {{3, 4, 5}, 0, 3},
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
    EXPECT_EQ(model.count(Dir::output), 1);
    EXPECT_EQ(resets.count(), 0);
}

TEST(MonitorTableModel, TimeIsAsciiWhateverTheDefaultLocale)
{
    using namespace std::chrono;
    const QDateTime moment(QDate(2026, 3, 1), QTime(13, 5, 9, 42), Qt::LocalTime);
    const auto time = system_clock::time_point(milliseconds(moment.toMSecsSinceEpoch()));
    const auto before = QLocale();
    for (const QLocale &locale :
         {QLocale(QLocale::French, QLocale::France), QLocale(QLocale::Arabic, QLocale::Egypt)}) {
        QLocale::setDefault(locale);
        MonitorEvent e = event("Keys");
        e.time = time;
        MonitorTableModel model;
        model.sync(std::vector{e});
        EXPECT_EQ(model.index(0, MonitorTableModel::time).data().toString(), "13:05:09.042")
            << locale.name().toStdString();
        EXPECT_EQ(monitorTimeText(time + hours(11)), "00:05:09.042") << locale.name().toStdString();
    }
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
    // A route from a source whose name needs quoting in CSV to one destination.
    MidiService::Handle routeKeysToSynth()
    {
        const auto keys = midi->addSource("Keys, \"A\"", 11);
        midi->addDestination("Synth", 22);
        waitForDestinations(1);
        state->addRoute({EndpointKind::physical, "Keys, \"A\"", 11}, {EndpointKind::physical, "Synth", 22});
        QCoreApplication::processEvents(); // the router takes the project at the next pass
        return keys;
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

TEST_F(MonitorPageTest, RoutedNotesShowNewestFirstAndTheToolbarActsOnThem)
{
    EXPECT_TRUE(emptyShown());
    EXPECT_EQ(count(), "0");
    const QRect searchAt = page->searchField()->geometry();

    // First and last channel, lowest and highest note and velocity.
    const auto keys = routeKeysToSynth();
    const std::vector<std::vector<std::uint8_t>> notes = {
        {0x90, 0, 127}, {0x9F, 127, 1}, {0x80, 0, 0}, {0x8F, 127, 127}, {0x90, 64, 0}};
    for (const auto &note : notes)
        midi->inject(keys, note);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 10; }, 300));
    EXPECT_FALSE(emptyShown());
    EXPECT_EQ(count(), "10");
    QStringList summaries;
    for (const MonitorEvent &e : state->monitor().events())
        summaries.prepend(QString::fromStdString(e.summary));
    EXPECT_EQ(shown(MonitorTableModel::message), summaries);
    EXPECT_EQ(shown(MonitorTableModel::bytes).mid(0, 2), (QStringList{"90 40 00", "90 40 00"}));
    EXPECT_EQ(shown(MonitorTableModel::bytes).mid(8), (QStringList{"90 00 7F", "90 00 7F"}));
    EXPECT_EQ(shown(MonitorTableModel::direction).mid(0, 4), (QStringList{"OUT", "IN", "OUT", "IN"}));
    EXPECT_EQ(shown(MonitorTableModel::endpoint).mid(0, 2), (QStringList{"Synth", "Keys, \"A\""}));

    // Filters: each direction, both off (empty state, count unchanged), search.
    QTest::mouseClick(page->inputToggle(), Qt::LeftButton);
    EXPECT_EQ(shown(MonitorTableModel::direction), QStringList(5, "OUT"));
    QTest::mouseClick(page->outputToggle(), Qt::LeftButton);
    EXPECT_TRUE(emptyShown());
    EXPECT_EQ(count(), "10");
    QTest::mouseClick(page->inputToggle(), Qt::LeftButton);
    EXPECT_EQ(shown(MonitorTableModel::direction), QStringList(5, "IN"));
    QTest::mouseClick(page->outputToggle(), Qt::LeftButton);
    QTest::keyClicks(page->searchField(), "synth");
    EXPECT_EQ(shown(MonitorTableModel::endpoint), QStringList(5, "Synth"));
    page->searchField()->setText(QString::fromStdString(state->monitor().events().front().typeLabel));
    EXPECT_EQ(table->model()->rowCount(), 6) << "three Note On of five notes, each in and out";
    page->searchField()->clear();

    // Pause: what arrives meanwhile never shows, not even after resuming.
    // The toolbar stays where it was.
    const QRect pauseAt = page->pauseButton()->geometry();
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(page->pauseButton()->text(), "Reprendre");
    EXPECT_EQ(std::pair(page->pauseButton()->geometry(), page->searchField()->geometry()),
              std::pair(pauseAt, searchAt));
    midi->inject(keys, {0xB0, 7, 0});
    QTest::qWait(250);
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    EXPECT_EQ(page->pauseButton()->text(), "Pause");
    QTest::qWait(250);
    EXPECT_EQ(table->model()->rowCount(), 10);
    midi->inject(keys, {0xBF, 127, 127});
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 12; }));
    EXPECT_EQ(shown(MonitorTableModel::bytes).first(), "BF 7F 7F");

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
    EXPECT_TRUE(copied[1].endsWith("\t90 40 00")) << copied[1].toStdString();

    QTest::mouseClick(page->clearButton(), Qt::LeftButton);
    EXPECT_EQ(count(), "0");
    EXPECT_TRUE(emptyShown());
    EXPECT_EQ(table->model()->rowCount(), 0);
    // Paused, the empty state says so.
    QTest::mouseClick(page->pauseButton(), Qt::LeftButton);
    const auto labels = page->emptyState()->findChildren<QLabel *>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                            [](const QLabel *l) { return l->isVisible() && l->text() == "Moniteur en pause"; }));
}

TEST_F(MonitorPageTest, ExportWritesTheShownRowsAsCsvThatReadsBack)
{
    const auto keys = routeKeysToSynth();
    midi->inject(keys, {0xF0, 0x7E, 0xF7});
    midi->inject(keys, {0xE0, 0, 0x40});
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 4; }));
    QTest::mouseClick(page->inputToggle(), Qt::LeftButton); // shown rows only

    QTemporaryDir dir;
    exportPath = dir.filePath("trafic é.csv");
    QTest::mouseClick(page->exportButton(), Qt::LeftButton);
    ASSERT_EQ(proposals.size(), 1);
    EXPECT_TRUE(proposals[0].startsWith("moniteur-") && proposals[0].endsWith(".csv"));
    QFile file(exportPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.startsWith("Heure,Dir,Endpoint,Type,Message,Octets\r\n"));
    QList<QStringList> expected{{"Heure", "Dir", "Endpoint", "Type", "Message", "Octets"}};
    for (int row = 0; row < table->model()->rowCount(); ++row) {
        QStringList record;
        for (int c = 0; c < table->model()->columnCount(); ++c)
            record << table->model()->index(row, c).data().toString();
        expected << record;
    }
    ASSERT_EQ(expected.size(), 3);
    EXPECT_EQ(readCsv(QString::fromUtf8(bytes)), expected);
    EXPECT_TRUE(errors.isEmpty());

    // A folder that does not exist: reported, nothing claimed.
    EXPECT_FALSE(page->exportTo(dir.filePath("absent/trafic.csv")));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Export impossible : ")) << errors[0].toStdString();
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

TEST_F(MonitorPageTest, ScrolledAwayTheRowsBeingReadStayWhileNewOnesArrive)
{
    auto &monitor = state->monitor();
    const auto recordMany = [&](int n) {
        for (int i = 0; i < n; ++i)
            monitor.record(Dir::input, "Keys", MIDIMessage({0x90, static_cast<std::uint8_t>(i % 128), 1}));
        monitor.flush();
    };
    recordMany(200);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 200; }));
    table->verticalScrollBar()->setValue(40 * table->rowHeight(0));
    const auto topId = [&] {
        return table->indexAt({5, 5}).data(MonitorTableModel::IdRole).toString().toStdString();
    };
    std::string read = topId();
    recordMany(30);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 230; }));
    EXPECT_EQ(topId(), read);
    // At the very end of the list too, where the range must grow first.
    table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
    read = topId();
    recordMany(30);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 260; }));
    EXPECT_EQ(topId(), read);

    // Back at the top, the view follows the newest again.
    table->verticalScrollBar()->setValue(0);
    recordMany(5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->model()->rowCount() == 265; }));
    EXPECT_EQ(topId(), monitor.events().back().id.toString());

    // Hidden, the page does not follow; shown again, it catches up.
    showPage(SidebarItem::settings);
    recordMany(5);
    QCoreApplication::processEvents();
    EXPECT_EQ(table->model()->rowCount(), 265);
    showPage(SidebarItem::monitor);
    EXPECT_EQ(table->model()->rowCount(), 270);
    EXPECT_EQ(count(), "270");
}

} // namespace
} // namespace korvane::test
