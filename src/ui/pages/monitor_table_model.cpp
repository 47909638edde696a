#include "ui/pages/monitor_table_model.h"

#include "model/text.h"
#include "ui/theme/theme.h"

#include <QDateTime>

#include <optional>

namespace korvane {

QString monitorTimeText(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const qint64 ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const QTime t = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).time();
    // arg() without %L never uses the locale's digits or separators.
    const QChar zero = u'0';
    return QStringLiteral("%1:%2:%3.%4")
        .arg(t.hour(), 2, 10, zero)
        .arg(t.minute(), 2, 10, zero)
        .arg(t.second(), 2, 10, zero)
        .arg(t.msec(), 3, 10, zero);
}

MonitorTableModel::MonitorTableModel(QObject *parent) : QAbstractTableModel(parent) {}

MonitorTableModel::Row MonitorTableModel::rowFor(const MonitorEvent &event)
{
    return {event.id,
            event.direction,
            monitorTimeText(event.time),
            toQString(event.endpointName),
            toQString(event.typeLabel),
            toQString(event.summary),
            toQString(event.rawHex)};
}

void MonitorTableModel::countRow(const Row &row, int delta)
{
    (row.direction == MonitorEvent::Direction::input ? m_inputs : m_outputs) += delta;
}

int MonitorTableModel::count(MonitorEvent::Direction direction) const
{
    return direction == MonitorEvent::Direction::input ? m_inputs : m_outputs;
}

void MonitorTableModel::syncWith(std::size_t count, const EventAt &at)
{
    if (m_rows.empty() || count == 0) {
        replaceAll(count, at);
        return;
    }
    // The published list only ever gains events at its end and loses them at
    // its front, so the newest row held is normally found a batch from the end.
    std::optional<std::size_t> newest;
    for (std::size_t i = count; i-- > 0;) {
        if (at(i).id == m_rows.front().id) {
            newest = i;
            break;
        }
    }
    const std::size_t kept = newest ? *newest + 1 : 0;
    if (!newest || kept > m_rows.size() || m_rows[kept - 1].id != at(0).id) {
        replaceAll(count, at);
        return;
    }
    if (kept < m_rows.size()) {
        beginRemoveRows({}, static_cast<int>(kept), static_cast<int>(m_rows.size()) - 1);
        while (m_rows.size() > kept) {
            countRow(m_rows.back(), -1);
            m_rows.pop_back();
        }
        endRemoveRows();
    }
    if (kept < count) {
        beginInsertRows({}, 0, static_cast<int>(count - kept) - 1);
        for (std::size_t i = kept; i < count; ++i) {
            m_rows.push_front(rowFor(at(i)));
            countRow(m_rows.front(), +1);
        }
        endInsertRows();
    }
}

void MonitorTableModel::replaceAll(std::size_t count, const EventAt &at)
{
    if (!m_rows.empty()) {
        beginRemoveRows({}, 0, static_cast<int>(m_rows.size()) - 1);
        m_rows.clear();
        m_inputs = m_outputs = 0;
        endRemoveRows();
    }
    if (count == 0)
        return;
    beginInsertRows({}, 0, static_cast<int>(count) - 1);
    for (std::size_t i = 0; i < count; ++i) {
        m_rows.push_front(rowFor(at(i)));
        countRow(m_rows.front(), +1);
    }
    endInsertRows();
}

int MonitorTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int MonitorTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columnCount_;
}

QVariant MonitorTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Row &row = m_rows[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (column) {
        case time:
            return row.time;
        case direction: {
            const std::string_view text = rawValue(row.direction);
            return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
        }
        case endpoint:
            return row.endpoint;
        case type:
            return row.type;
        case message:
            return row.summary;
        case bytes:
            return row.hex;
        }
        return {};
    case Qt::ForegroundRole:
        if (column == time || column == type || column == bytes)
            return Theme::secondaryText();
        return {};
    case Qt::FontRole:
        if (column == time || column == bytes)
            return Theme::monoFont(Theme::TextStyle::caption);
        return {};
    case DirectionRole:
        return static_cast<int>(row.direction);
    case IdRole:
        return toQString(row.id.toString());
    }
    return {};
}

QVariant MonitorTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const titles[] = {"Heure", "Dir", "Endpoint", "Type", "Message", "Octets"};
    if (section < 0 || section >= columnCount_)
        return {};
    return QString::fromUtf8(titles[section]);
}

MonitorRowFilter::MonitorRowFilter(MonitorTableModel *rows, QObject *parent)
    : QSortFilterProxyModel(parent), m_rows(rows)
{
    setSourceModel(rows);
}

void MonitorRowFilter::setShowInput(bool show)
{
    if (m_showInput == show)
        return;
    m_showInput = show;
    invalidateRowsFilter();
}

void MonitorRowFilter::setShowOutput(bool show)
{
    if (m_showOutput == show)
        return;
    m_showOutput = show;
    invalidateRowsFilter();
}

void MonitorRowFilter::setSearchText(const QString &text)
{
    const QString search = text.trimmed();
    if (m_search == search)
        return;
    m_search = search;
    invalidateRowsFilter();
}

bool MonitorRowFilter::anyDirectionRow() const
{
    return (m_showInput && m_rows->count(MonitorEvent::Direction::input) > 0) ||
           (m_showOutput && m_rows->count(MonitorEvent::Direction::output) > 0);
}

bool MonitorRowFilter::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    const auto cell = [&](int column, int role = Qt::DisplayRole) {
        return m_rows->data(m_rows->index(sourceRow, column), role);
    };
    const bool input =
        cell(0, MonitorTableModel::DirectionRole).toInt() == static_cast<int>(MonitorEvent::Direction::input);
    if (!(input ? m_showInput : m_showOutput))
        return false;
    if (m_search.isEmpty())
        return true;
    for (const int column :
         {MonitorTableModel::endpoint, MonitorTableModel::type, MonitorTableModel::message})
        if (cell(column).toString().contains(m_search, Qt::CaseInsensitive))
            return true;
    return false;
}

QString csvField(QString text)
{
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    if (!text.isEmpty() && formulaStarts.contains(text.front()))
        text.prepend(u'\'');
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    text.replace(u'"', QStringLiteral("\"\""));
    return u'"' + text + u'"';
}

namespace {

template <class Field>
QString joinRows(const QAbstractItemModel &model, const QList<int> &rows, QChar separator,
                 const QString &lineEnd, bool header, Field field)
{
    QString out;
    const auto line = [&](auto cellText) {
        for (int column = 0; column < model.columnCount(); ++column) {
            if (column > 0)
                out += separator;
            out += field(cellText(column));
        }
        out += lineEnd;
    };
    if (header)
        line([&](int column) { return model.headerData(column, Qt::Horizontal).toString(); });
    for (const int row : rows)
        line([&](int column) { return model.index(row, column).data().toString(); });
    return out;
}

} // namespace

QByteArray rowsToCsv(const QAbstractItemModel &model, const QList<int> &rows)
{
    return joinRows(model, rows, u',', QStringLiteral("\r\n"), true, csvField).toUtf8();
}

QString rowsToTabText(const QAbstractItemModel &model, const QList<int> &rows)
{
    // A tab or line break inside a name would shift the pasted columns.
    const auto plain = [](QString text) {
        for (QChar &c : text)
            if (c == u'\t' || c == u'\n' || c == u'\r')
                c = u' ';
        return text;
    };
    return joinRows(model, rows, u'\t', QStringLiteral("\n"), false, plain);
}

} // namespace korvane
