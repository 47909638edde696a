#pragma once

// The monitor's held events as table rows, newest first, and the filter the
// page puts over them. Main thread only.

#include "midi/midi_monitor.h"

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>

namespace korvane {

// "13:05:09.042" in local time, 24-hour clock, ASCII digits whatever the
// locale.
QString monitorTimeText(std::chrono::system_clock::time_point time);

class MonitorTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { time, direction, endpoint, type, message, bytes, columnCount_ };
    enum Role { DirectionRole = Qt::UserRole + 1, IdRole };

    explicit MonitorTableModel(QObject *parent = nullptr);

    // Brings the rows in line with the monitor's published list (oldest
    // first): events after the newest row already held are inserted at the
    // top, rows no longer published leave from the bottom. Only when the two
    // share no event (cleared, or a whole list replaced) are all rows removed
    // and the list taken whole.
    template <class Events> void sync(const Events &events)
    {
        syncWith(static_cast<std::size_t>(events.size()),
                 [&events](std::size_t i) -> const MonitorEvent & { return events[i]; });
    }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    int count(MonitorEvent::Direction direction) const;

private:
    struct Row {
        Uuid id;
        MonitorEvent::Direction direction;
        QString time, endpoint, type, summary, hex;
    };
    using EventAt = std::function<const MonitorEvent &(std::size_t)>;

    void syncWith(std::size_t count, const EventAt &at);
    void replaceAll(std::size_t count, const EventAt &at);
    static Row rowFor(const MonitorEvent &event);

    void countRow(const Row &row, int delta);

    // Newest first, as shown.
    std::deque<Row> m_rows;
    int m_inputs = 0;
    int m_outputs = 0;
};

// Keeps the rows of the enabled directions whose endpoint, type or message
// contains the search text (case ignored).
class MonitorRowFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit MonitorRowFilter(MonitorTableModel *rows, QObject *parent = nullptr);

    void setShowInput(bool show);
    void setShowOutput(bool show);
    void setSearchText(const QString &text);
    bool showInput() const { return m_showInput; }
    bool showOutput() const { return m_showOutput; }
    // Rows of the enabled directions, the search aside.
    bool anyDirectionRow() const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    MonitorTableModel *m_rows = nullptr;
    bool m_showInput = true;
    bool m_showOutput = true;
    QString m_search;
};

// The given rows of a table as text: RFC 4180 CSV (fields with a comma,
// quote or line break quoted, quotes doubled, CRLF line ends) with the column
// titles first, or tab-separated lines for the clipboard.
QByteArray rowsToCsv(const QAbstractItemModel &model, const QList<int> &rows);
// One CSV field. Names come from the network and from other programs: a
// text a spreadsheet would run as a formula (starting with =, +, -, @, a tab
// or a carriage return) gets a leading apostrophe, which spreadsheets show
// as plain text; every other text is written as it is.
QString csvField(QString text);
QString rowsToTabText(const QAbstractItemModel &model, const QList<int> &rows);

} // namespace korvane
