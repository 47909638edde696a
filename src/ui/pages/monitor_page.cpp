#include "ui/pages/monitor_page.h"

#include "midi/midi_monitor.h"
#include "ui/pages/monitor_table_model.h"
#include "ui/pages/page_scaffold.h"
#include "ui/theme/file_dialogs.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane {

namespace {

constexpr int kRowHeight = 22;

struct ColumnWidth {
    int min, ideal, max;
};
// Fixed where min == max; the message column takes what is left.
constexpr ColumnWidth kWidths[] = {{92, 92, 92},   {46, 46, 46}, {120, 170, 320},
                                   {90, 150, 180}, {0, 0, 0},    {120, 180, 360}};

QString rgba(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alpha());
}

QPushButton *toolbarButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { padding: 4px 12px; border-radius: 6px; "
                                         "border: 1px solid rgba(255, 255, 255, 30); background: %1; }"
                                         "QPushButton:hover { border-color: rgba(255, 255, 255, 70); }"
                                         "QPushButton:pressed { background: %2; }")
                              .arg(Theme::surface().lighter(130).name(), Theme::surface().name()));
    return button;
}

// Stays pressed while on, filled with its tint.
QPushButton *directionToggle(const QString &text, const QColor &tint, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setCheckable(true);
    button->setChecked(true);
    button->setCursor(Qt::PointingHandCursor);
    QFont f = Theme::font(Theme::TextStyle::caption);
    f.setBold(true);
    button->setFont(f);
    button->setStyleSheet(
        QStringLiteral("QPushButton { padding: 4px 10px; border-radius: 6px; color: %1; "
                       "border: 1px solid rgba(255, 255, 255, 30); background: %2; }"
                       "QPushButton:checked { color: %3; border-color: %3; background: %4; }")
            .arg(Theme::secondaryText().name(QColor::HexArgb), Theme::surface().lighter(130).name(),
                 tint.name(), rgba(tint, 0.3)));
    return button;
}

// "IN" on the ok colour, "OUT" on the accent, as a small rounded badge.
class DirectionBadgeDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem plain = option;
        initStyleOption(&plain, index);
        plain.text.clear();
        const QWidget *widget = option.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, widget);

        const bool input = index.data(MonitorTableModel::DirectionRole).toInt() ==
                           static_cast<int>(MonitorEvent::Direction::input);
        QFont f = Theme::font(Theme::TextStyle::caption2);
        f.setBold(true);
        const QString text = index.data().toString();
        const QFontMetrics metrics(f);
        QRectF badge(0, 0, metrics.horizontalAdvance(text) + 12, metrics.height() + 4);
        badge.moveCenter(QRectF(option.rect).center());
        QColor fill = input ? Theme::ok() : Theme::accent();
        fill.setAlphaF(0.22f);

        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(badge, 4, 4);
        painter->fillPath(path, fill);
        painter->setFont(f);
        painter->setPen(Theme::textPrimary());
        painter->drawText(badge, Qt::AlignCenter, text);
        painter->restore();
    }
};

} // namespace

MonitorPage::MonitorPage(MIDIMonitor &monitor, QWidget *parent) : QWidget(parent), m_monitor(monitor)
{
    m_model = new MonitorTableModel(this);
    m_filter = new MonitorRowFilter(m_model, this);

    QVBoxLayout *column = PageScaffold(this, PageScaffold::Body::fixed,
                                       {QStringLiteral("04"), QStringLiteral("Moniteur"), {}}, 12)
                              .column();
    column->addWidget(buildToolbar());
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 30); border: none;"));
    column->addWidget(divider);

    m_body = new QStackedWidget(this);
    m_empty = buildEmptyState();
    m_table = buildTable();
    m_body->addWidget(m_empty);
    m_body->addWidget(m_table);
    column->addWidget(m_body, 1);

    m_prompts.chooseFile = [this](const QString &proposed) {
        QFileDialog dialog(this, QStringLiteral("Exporter le moniteur"), proposed,
                           QStringLiteral("CSV (*.csv)"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        prepareFileDialog(dialog);
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        dialog.selectFile(proposed);
        return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
                   ? dialog.selectedFiles().first()
                   : QString();
    };
    m_prompts.showError = [this](const QString &message) {
        QMessageBox::warning(this, QStringLiteral("KORVANE"), message);
    };

    connect(&m_monitor, &MIDIMonitor::eventsChanged, this, [this] { m_refresh.schedule(); });
    connect(&m_monitor, &MIDIMonitor::pausedChanged, this, [this](bool paused) {
        m_pauseButton->setText(paused ? QStringLiteral("Reprendre") : QStringLiteral("Pause"));
        updateBody();
    });
    sync();
}

MonitorPage::~MonitorPage() = default;

QWidget *MonitorPage::buildToolbar()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(20, 0, 20, 0);
    row->setSpacing(8);
    row->addWidget(new PageTitle(QStringLiteral("Moniteur MIDI"), {}, bar));
    row->addStretch(1);

    m_search = new QLineEdit(bar);
    m_search->setPlaceholderText(QStringLiteral("Rechercher\u2026"));
    m_search->setToolTip(QStringLiteral("Endpoint, type ou message"));
    m_search->setClearButtonEnabled(true);
    m_search->setMinimumWidth(150);
    m_search->setMaximumWidth(260);
    row->addWidget(m_search, 1);

    m_count = makeLabel({}, Theme::font(Theme::TextStyle::caption), Theme::secondaryText(), bar);
    m_count->setAccessibleName(QStringLiteral("Évènements"));
    // Nothing in the toolbar moves while the count grows or the pause
    // button changes its text: room for the largest monitor, and for both texts.
    m_count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_count->setFixedWidth(m_count->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 4);
    row->addWidget(m_count);
    m_inButton = directionToggle(QStringLiteral("IN"), Theme::ok(), bar);
    m_outButton = directionToggle(QStringLiteral("OUT"), Theme::accent(), bar);
    m_pauseButton =
        toolbarButton(m_monitor.paused() ? QStringLiteral("Reprendre") : QStringLiteral("Pause"), bar);
    m_clearButton = toolbarButton(QStringLiteral("Vider"), bar);
    m_exportButton = toolbarButton(QStringLiteral("Exporter\u2026"), bar);
    int pauseWidth = 0;
    for (const QString &text : {QStringLiteral("Reprendre"), QStringLiteral("Pause")}) {
        m_pauseButton->setText(text);
        pauseWidth = std::max(pauseWidth, m_pauseButton->sizeHint().width());
    }
    m_pauseButton->setText(m_monitor.paused() ? QStringLiteral("Reprendre") : QStringLiteral("Pause"));
    m_pauseButton->setFixedWidth(pauseWidth);
    for (QWidget *w : {static_cast<QWidget *>(m_inButton), static_cast<QWidget *>(m_outButton),
                       static_cast<QWidget *>(m_pauseButton), static_cast<QWidget *>(m_clearButton),
                       static_cast<QWidget *>(m_exportButton)})
        row->addWidget(w);

    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_filter->setSearchText(text);
        updateBody();
    });
    connect(m_inButton, &QPushButton::toggled, this, [this](bool on) {
        m_filter->setShowInput(on);
        updateBody();
    });
    connect(m_outButton, &QPushButton::toggled, this, [this](bool on) {
        m_filter->setShowOutput(on);
        updateBody();
    });
    connect(m_pauseButton, &QPushButton::clicked, this, [this] { m_monitor.setPaused(!m_monitor.paused()); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] {
        m_monitor.clear();
        sync();
    });
    connect(m_exportButton, &QPushButton::clicked, this, [this] { exportShownRows(); });
    return bar;
}

QTableView *MonitorPage::buildTable()
{
    auto *table = new QTableView(this);
    table->setModel(m_filter);
    table->setItemDelegateForColumn(MonitorTableModel::direction, new DirectionBadgeDelegate(table));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table->setShowGrid(false);
    table->setAlternatingRowColors(true);
    table->setWordWrap(false);
    table->setFrameShape(QFrame::NoFrame);
    table->setTextElideMode(Qt::ElideRight);
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(kRowHeight);
    table->setStyleSheet(
        QStringLiteral("QTableView { background: %1; alternate-background-color: %2; "
                       "selection-background-color: %3; }"
                       "QHeaderView::section { background: %1; color: %4; border: none; "
                       "border-bottom: 1px solid rgba(255, 255, 255, 30); padding: 4px 3px; }")
            .arg(Theme::background().name(), Theme::surface().name(), rgba(Theme::accent(), 0.45),
                 Theme::secondaryText().name(QColor::HexArgb)));

    QHeaderView *header = table->horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionsMovable(false);
    header->setMinimumSectionSize(40);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int c = 0; c < MonitorTableModel::columnCount_; ++c) {
        const ColumnWidth &w = kWidths[c];
        if (c == MonitorTableModel::message) {
            header->setSectionResizeMode(c, QHeaderView::Stretch);
            continue;
        }
        header->setSectionResizeMode(c, w.min == w.max ? QHeaderView::Fixed : QHeaderView::Interactive);
        header->resizeSection(c, w.ideal);
    }
    connect(header, &QHeaderView::sectionResized, table, [header](int c, int, int size) {
        if (c < 0 || c >= MonitorTableModel::columnCount_ || c == MonitorTableModel::message)
            return;
        const int bounded = std::clamp(size, kWidths[c].min, kWidths[c].max);
        if (bounded != size)
            header->resizeSection(c, bounded);
    });

    // Rows arrive at the top. At the top the view follows them; scrolled
    // away, it moves down with them so the rows being read stay put. The
    // scroll range may grow only after the insertion, so a target beyond it
    // is applied again when the range changes.
    QScrollBar *bar = table->verticalScrollBar();
    connect(m_filter, &QAbstractItemModel::rowsInserted, table,
            [this, bar](const QModelIndex &, int first, int last) {
                if (!m_syncing || bar->value() == 0)
                    return;
                m_scrollTarget = bar->value() + (last - first + 1) * kRowHeight;
                bar->setValue(m_scrollTarget);
            });
    connect(bar, &QScrollBar::rangeChanged, table, [this, bar] {
        if (m_scrollTarget < 0)
            return;
        bar->setValue(m_scrollTarget);
        if (bar->value() == m_scrollTarget)
            m_scrollTarget = -1;
    });

    auto *copy = new QAction(QStringLiteral("Copier"), table);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, [this] { copySelection(); });
    table->addAction(copy);
    table->setContextMenuPolicy(Qt::ActionsContextMenu);
    return table;
}

QWidget *MonitorPage::buildEmptyState()
{
    auto *empty = new QWidget(this);
    auto *stack = new QVBoxLayout(empty);
    stack->setSpacing(8);
    stack->addStretch(1);
    auto *symbol = new QLabel(empty);
    symbol->setPixmap(
        Theme::iconPixmap(QStringLiteral("audio-waveform"), Theme::secondaryText(), 34, devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    stack->addWidget(symbol);
    m_emptyTitle = makeLabel({}, Theme::font(Theme::TextStyle::body), Theme::textPrimary(), empty);
    m_emptyHint = makeLabel({}, Theme::font(Theme::TextStyle::caption), Theme::textPrimary(), empty);
    for (QLabel *label : {m_emptyTitle, m_emptyHint}) {
        label->setAlignment(Qt::AlignCenter);
        stack->addWidget(label);
    }
    stack->addStretch(1);
    return empty;
}

void MonitorPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    sync();
}

void MonitorPage::sync()
{
    const auto &events = m_monitor.events();
    m_syncing = true;
    m_scrollTarget = -1;
    m_model->sync(events);
    m_syncing = false;
    m_count->setText(QString::number(events.size()));
    updateBody();
}

void MonitorPage::updateBody()
{
    m_body->setCurrentWidget(m_filter->anyDirectionRow() ? static_cast<QWidget *>(m_table) : m_empty);
    const bool paused = m_monitor.paused();
    m_emptyTitle->setText(paused ? QStringLiteral("Moniteur en pause")
                                 : QStringLiteral("En attente de messages MIDI\u2026"));
    m_emptyHint->setText(paused ? QStringLiteral("Les messages ne sont pas enregistrés pendant la pause. "
                                                 "Appuie sur « Reprendre » pour les voir de nouveau.")
                                : QStringLiteral("Joue sur un périphérique d'entrée, ou crée une route."));
}

void MonitorPage::copySelection()
{
    QList<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    QApplication::clipboard()->setText(rowsToTabText(*m_filter, rows));
}

bool MonitorPage::exportTo(const QString &path)
{
    QList<int> rows;
    for (int row = 0; row < m_filter->rowCount(); ++row)
        rows.append(row);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(rowsToCsv(*m_filter, rows)) < 0 || !file.commit()) {
        m_prompts.showError(QStringLiteral("Export impossible : %1").arg(file.errorString()));
        return false;
    }
    return true;
}

void MonitorPage::exportShownRows()
{
    const QString proposed =
        QStringLiteral("moniteur-%1.csv")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString path = m_prompts.chooseFile(proposed);
    if (!path.isEmpty())
        exportTo(path);
}

} // namespace korvane
