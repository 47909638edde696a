#pragma once

#include "model/project.h"

#include <QWidget>

#include <map>

class QLabel;
class QLineEdit;
class QToolButton;
class QVBoxLayout;

namespace korvane {

class AppState;
class StepEditor;

// One chain's name and steps, bound to the chain by id. Step editors are
// kept by step id across refreshes, so a focused field keeps its state.
class ChainEditor : public QWidget {
    Q_OBJECT
public:
    ChainEditor(AppState &state, const Uuid &chainID, QWidget *parent = nullptr);

    const Uuid &chainID() const { return m_id; }
    void refresh();

    QLineEdit *nameField() const { return m_name; }
    QLabel *emptyText() const { return m_empty; }
    QToolButton *addStepButton() const { return m_addStep; }
    // The step editors in chain order.
    QList<StepEditor *> steps() const;

private:
    AppState &m_state;
    const Uuid m_id;
    QLineEdit *m_name;
    QLabel *m_empty;
    QVBoxLayout *m_stepColumn;
    QToolButton *m_addStep;
    std::map<Uuid, StepEditor *> m_steps;
};

} // namespace korvane
