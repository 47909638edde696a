#pragma once

// Setting a control from the project without echoing the change back as an
// edit, and only when the shown value differs (a focused field keeps its
// cursor and selection).

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

#include <algorithm>

namespace korvane::binding {

inline void setText(QLineEdit *field, const QString &text)
{
    if (field->text() == text)
        return;
    const QSignalBlocker block(field);
    field->setText(text);
}

inline void setText(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

inline void setChecked(QAbstractButton *button, bool on)
{
    if (button->isChecked() == on)
        return;
    const QSignalBlocker block(button);
    button->setChecked(on);
    button->update();
}

// A stored value outside the box's range shows clamped; it is written back
// only when the user changes the box.
inline void setValue(QSpinBox *box, long long value)
{
    const int shown = static_cast<int>(std::clamp<long long>(value, box->minimum(), box->maximum()));
    if (box->value() == shown)
        return;
    const QSignalBlocker block(box);
    box->setValue(shown);
}

} // namespace korvane::binding
