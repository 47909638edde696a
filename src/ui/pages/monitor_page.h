#pragma once

#include "ui/theme/coalesced_call.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTableView;

namespace korvane {

class MIDIMonitor;
class MonitorRowFilter;
class MonitorTableModel;

// The traffic the monitor holds, newest first, with direction filters, a
// search, pause, clear, copy and CSV export. Follows the monitor's flushes
// while shown; a hidden page catches up when it is shown again.
class MonitorPage : public QWidget {
    Q_OBJECT
public:
    // How the export asks for a file and reports a failure; dialogs by
    // default, replaced by tests.
    struct ExportPrompts {
        // An empty answer cancels.
        std::function<QString(const QString &proposedName)> chooseFile;
        std::function<void(const QString &message)> showError;
    };

    explicit MonitorPage(MIDIMonitor &monitor, QWidget *parent = nullptr);
    ~MonitorPage() override;

    void setExportPrompts(ExportPrompts prompts) { m_prompts = std::move(prompts); }
    // The shown rows as CSV into the file at `path`; false (and the error
    // reported) when it cannot be written.
    bool exportTo(const QString &path);
    void copySelection();

    QTableView *table() const { return m_table; }
    QStackedWidget *body() const { return m_body; }
    QWidget *emptyState() const { return m_empty; }
    QLabel *countLabel() const { return m_count; }
    QLineEdit *searchField() const { return m_search; }
    QPushButton *inputToggle() const { return m_inButton; }
    QPushButton *outputToggle() const { return m_outButton; }
    QPushButton *pauseButton() const { return m_pauseButton; }
    QPushButton *clearButton() const { return m_clearButton; }
    QPushButton *exportButton() const { return m_exportButton; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildToolbar();
    QTableView *buildTable();
    QWidget *buildEmptyState();
    void sync();
    void updateBody();
    void exportShownRows();

    MIDIMonitor &m_monitor;
    MonitorTableModel *m_model = nullptr;
    MonitorRowFilter *m_filter = nullptr;
    QLabel *m_count = nullptr;
    QLineEdit *m_search = nullptr;
    QPushButton *m_inButton = nullptr;
    QPushButton *m_outButton = nullptr;
    QPushButton *m_pauseButton = nullptr;
    QPushButton *m_clearButton = nullptr;
    QPushButton *m_exportButton = nullptr;
    QStackedWidget *m_body = nullptr;
    QWidget *m_empty = nullptr;
    QLabel *m_emptyTitle = nullptr;
    QLabel *m_emptyHint = nullptr;
    QTableView *m_table = nullptr;
    ExportPrompts m_prompts;
    // Set while the model takes a flush: rows it inserts above the viewport
    // then move the scroll position, so a reader scrolled down keeps his rows.
    bool m_syncing = false;
    int m_scrollTarget = -1;
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    sync();
                            }};
};

} // namespace korvane
