#pragma once

#include <QObject>

#include <functional>

class QDialog;
class QKeyEvent;
class QPushButton;

namespace korvane {

// Keeps the panic within reach whatever is open. Qt blocks application
// shortcuts and every other window under a modal dialog, so this filter,
// installed on the application, takes Ctrl+. (main or keypad period, with
// Shift for layouts where the period is shifted) before anyone else, and
// gives every modal dialog a Panic button of its own. Main thread only.
class PanicGuard : public QObject {
    Q_OBJECT
public:
    PanicGuard(std::function<void()> panic, QObject *parent = nullptr);

    static bool isPanicKey(const QKeyEvent &event);
    // The Panic button the guard put into `dialog`, if any.
    static QPushButton *buttonIn(const QDialog *dialog);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void equip(QDialog *dialog);

    std::function<void()> m_panic;
};

} // namespace korvane
