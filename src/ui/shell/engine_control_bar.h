#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

namespace korvane {

class AppState;
class ElidedLabel;
class StatusDot;

// Pinned under the sidebar: the engine's state (dot, text, the MIDI server's
// name, Start/Stop) and the latest status line. Follows the engine however its state changes.
class EngineControlBar : public QWidget {
    Q_OBJECT
public:
    // `confirmStop` is asked before Stop stops the engine.
    EngineControlBar(AppState &state, std::function<bool()> confirmStop, QWidget *parent = nullptr);

    StatusDot *dot() const { return m_dot; }
    QLabel *stateLabel() const { return m_stateLabel; }
    QLabel *serviceLabel() const { return m_service; }
    QPushButton *button() const { return m_button; }
    ElidedLabel *statusLabel() const { return m_status; }
    QLabel *lossesLabel() const { return m_losses; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refreshEngine();
    void refreshLosses();

    AppState &m_state;
    std::function<bool()> m_confirmStop;
    StatusDot *m_dot = nullptr;
    QLabel *m_stateLabel = nullptr;
    QLabel *m_service = nullptr;
    QPushButton *m_button = nullptr;
    ElidedLabel *m_status = nullptr;
    QLabel *m_losses = nullptr; // hidden while nothing was lost
};

} // namespace korvane
