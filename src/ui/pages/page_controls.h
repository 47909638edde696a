#pragma once

// Small widgets and helpers the devices and network pages share: buttons in
// the window's three weights, a port field that can show a stored value
// outside the valid range without rewriting it, a busy spinner, and the
// keyed reconciliation of a column of rows.

#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QString>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class QLineEdit;
class QTimer;

namespace korvane {

// Filled with the accent colour, white bold text.
QPushButton *makeProminentButton(const QString &text, const QString &icon, QWidget *parent);
// Quiet, the accent colour for icon and text.
QPushButton *makePlainButton(const QString &text, const QString &icon, QWidget *parent);
// A square trash button in red with the given help text.
QPushButton *makeTrashButton(const QString &helpText, QWidget *parent);
QLabel *makeCaption(const QString &text, QWidget *parent, bool small = true);

// Sets a field's text only when it differs, without signals, so the cursor
// and selection of a field being typed in survive.
void syncText(QLineEdit *field, const QString &text);
// Shows or clears the red frame and its explanation on a field.
void markInvalid(QWidget *field, const QString &reason);

// Ports 1…65534: every session needs port + 1 as well. A stored value outside
// that range is shown as it is and marked; it is written only once the user
// edits the field, and then brought into range.
class PortField : public QSpinBox {
    Q_OBJECT
public:
    static constexpr int kMin = 1;
    static constexpr int kMax = 65534;

    explicit PortField(QWidget *parent = nullptr);
    // `problem`: another reason to mark the field, shown when the port itself is in range.
    void setStoredPort(int port, const QString &problem = {});
    bool showsOutOfRange() const { return m_outOfRange; }

signals:
    // Only for values the user entered, always within range.
    void portEdited(int port);

private:
    bool m_outOfRange = false;
};

// A small turning arc, animated only while shown.
class BusySpinner : public QWidget {
    Q_OBJECT
public:
    explicit BusySpinner(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {14, 14}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer *m_timer;
    int m_angle = 0;
};

// A column of rows keyed by a string id. sync() keeps the widgets of ids
// still present (so focus, cursor and typing survive), creates widgets for
// new ids, puts every row in the given order and lets removed ones go with
// deleteLater(). Owned by the column widget's layout owner.
template <class Row> class KeyedRows {
public:
    explicit KeyedRows(QVBoxLayout *layout) : m_layout(layout) {}

    // Returns the rows in order; `make` builds a row for a new id.
    std::vector<Row *> sync(const std::vector<QString> &ids,
                            const std::function<Row *(const QString &)> &make)
    {
        std::map<QString, Row *> kept;
        std::vector<Row *> ordered;
        for (const QString &id : ids) {
            if (kept.count(id))
                continue; // the same id twice gets one row
            auto it = m_rows.find(id);
            Row *row = it != m_rows.end() ? it->second : make(id);
            kept[id] = row;
            ordered.push_back(row);
        }
        for (auto &[id, row] : m_rows) {
            if (!kept.count(id)) {
                m_layout->removeWidget(row);
                row->hide();
                row->deleteLater();
            }
        }
        m_rows = std::move(kept);
        for (int i = 0; i < static_cast<int>(ordered.size()); ++i) {
            QLayoutItem *item = m_layout->itemAt(i);
            if (item && item->widget() == ordered[i])
                continue;
            // Moving a widget inside its layout keeps its focus.
            m_layout->removeWidget(ordered[i]);
            m_layout->insertWidget(i, ordered[i]);
            ordered[i]->show();
        }
        return ordered;
    }
    Row *row(const QString &id) const
    {
        auto it = m_rows.find(id);
        return it == m_rows.end() ? nullptr : it->second;
    }
    int count() const { return static_cast<int>(m_rows.size()); }

private:
    QVBoxLayout *m_layout;
    std::map<QString, Row *> m_rows;
};

} // namespace korvane
