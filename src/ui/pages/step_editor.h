#pragma once

#include "model/project.h"
#include "ui/theme/widgets.h"

#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QLabel;
class QSlider;
class QSpinBox;
class QToolButton;

namespace korvane {

class AppState;
class ToggleSwitch;

// One filter step's editor, bound to the step by chain id and step id.
// Shows the neutral value for an absent parameter and writes the shown value
// only when the user changes a control. A stored value beyond a control's
// range is shown as stored in the text and left alone until edited.
class StepEditor : public TOVCard {
    Q_OBJECT
public:
    StepEditor(AppState &state, const Uuid &chainID, const FilterStep &step, QWidget *parent = nullptr);

    const Uuid &stepID() const { return m_stepID; }
    FilterStep::Kind kind() const { return m_kind; }
    void refresh(const FilterStep &step);

    ToggleSwitch *enabledSwitch() const { return m_enabled; }
    QLabel *kindLabel() const { return m_kindLabel; }
    QToolButton *deleteButton() const { return m_delete; }
    // The kind's controls; null where the kind has none of that sort.
    QLabel *valueLabel() const { return m_valueLabel; }   // transpose, velocity scale
    QLabel *offsetLabel() const { return m_offsetLabel; } // velocity
    QSpinBox *stepper(int i) const
    {
        return i < static_cast<int>(m_steppers.size()) ? m_steppers[i] : nullptr;
    }
    QSlider *scaleSlider() const { return m_scale; }
    ToggleSwitch *typeSwitch(int i) const { return m_types[i]; }

private:
    void edit(const std::function<void(FilterStep &)> &change);
    QSpinBox *addStepper(int minimum, int maximum, QWidget *parent);
    void buildTranspose();
    void buildVelocity();
    void buildRange(const QString &low, const QString &high);
    void buildRemap();
    void buildTypes();

    AppState &m_state;
    const Uuid m_chainID;
    const Uuid m_stepID;
    const FilterStep::Kind m_kind;
    ToggleSwitch *m_enabled;
    QLabel *m_kindLabel;
    QToolButton *m_delete;
    QLabel *m_valueLabel = nullptr;
    QLabel *m_offsetLabel = nullptr;
    QSlider *m_scale = nullptr;
    std::vector<QSpinBox *> m_steppers;
    std::array<ToggleSwitch *, 10> m_types{};
};

} // namespace korvane
