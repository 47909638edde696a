#pragma once

#include "ui/theme/coalesced_call.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace korvane {

class AppState;

// The red frame over the whole area; mouse events pass through it to the
// page beneath.
class AlertBorder : public QWidget {
    Q_OBJECT
public:
    explicit AlertBorder(QWidget *parent);
    // `fade` runs from 0 to 1 as the alert appears.
    void setPulse(qreal pulse, qreal fade);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qreal m_pulse = 0;
    qreal m_fade = 1;
};

// The card at the bottom of the area: icon, title, one bullet line per
// cause, a caption and one or two buttons.
class AlertCard : public QWidget {
    Q_OBJECT
public:
    explicit AlertCard(QWidget *parent);
    void setPulse(qreal pulse);
    // An empty `second` hides the second button.
    void setContent(const QString &title, const QStringList &lines, const QString &caption,
                    const QString &first, const QString &second);
    // The visible texts, top to bottom.
    QStringList texts() const;
    QPushButton *recheckButton() const { return m_recheck; }
    QPushButton *ignoreButton() const { return m_ignore; }
    // The painted red card inside the shadow margin.
    QRect cardRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void setLines(const QStringList &lines);

    qreal m_pulse = 0;
    QPixmap m_iconPixmap;
    QLabel *m_icon = nullptr; // holds the icon's place; the icon is painted
    QLabel *m_title = nullptr;
    QVBoxLayout *m_lines = nullptr;
    QLabel *m_caption = nullptr;
    QPushButton *m_recheck = nullptr;
    QPushButton *m_ignore = nullptr;
};

// Shows the alarm over `host` while the MIDI server is lost (the engine is
// wanted and supervision is retrying) or the controller has unacknowledged
// missing devices; the lost server comes first, since no device can be seen
// then. The border and the card are two separate children of `host` so that
// only the card takes clicks.
class DisconnectAlert : public QObject {
    Q_OBJECT
public:
    DisconnectAlert(AppState &state, QWidget *host);

    bool isShown() const;
    AlertBorder *border() const { return m_border; }
    AlertCard *card() const { return m_card; }
    // 0 at rest, 1 at the height of a pulse; a full cycle every 1.1 s.
    static qreal pulseAt(qint64 elapsedMs);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void place();
    void tick();

    AppState &m_state;
    QWidget *m_host;
    AlertBorder *m_border;
    AlertCard *m_card;
    QTimer m_frames;
    QElapsedTimer m_since;
    CoalescedCall m_refresh{this, [this] { refresh(); }};
};

} // namespace korvane
