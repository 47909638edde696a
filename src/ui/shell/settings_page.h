#pragma once

#include "ui/theme/coalesced_call.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QSpinBox;

namespace korvane {

class AppState;
class GrowingTextEdit;
class ToggleSwitch;

// The project's name and notes, its settings and facts about the program.
// Reads the project on show and on every project change while visible;
// writes only what the user really changed.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPage(AppState &state, QWidget *parent = nullptr);

    QLineEdit *nameField() const { return m_name; }
    GrowingTextEdit *notesField() const { return m_notes; }
    ToggleSwitch *startOnOpenSwitch() const { return m_startOnOpen; }
    ToggleSwitch *panicOnStopSwitch() const { return m_panicOnStop; }
    QSpinBox *bufferStepper() const { return m_buffer; }
    QLabel *bufferLabel() const { return m_bufferLabel; }
    QLabel *createdLabel() const { return m_created; }
    QLabel *formatLabel() const { return m_format; }
    QLabel *aboutCaption() const { return m_caption; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void setBufferSize(int value);

    AppState &m_state;
    QLineEdit *m_name = nullptr;
    GrowingTextEdit *m_notes = nullptr;
    QLabel *m_created = nullptr;
    QLabel *m_format = nullptr;
    ToggleSwitch *m_startOnOpen = nullptr;
    ToggleSwitch *m_panicOnStop = nullptr;
    QLabel *m_bufferLabel = nullptr;
    QSpinBox *m_buffer = nullptr;
    QLabel *m_caption = nullptr;
    // Runs only while the page is shown; showing it refreshes anyway.
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    refresh();
                            }};
};

} // namespace korvane
