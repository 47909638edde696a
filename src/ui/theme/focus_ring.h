#pragma once

#include <QPointer>
#include <QWidget>

namespace korvane {

// An accent ring drawn just outside the widget that has keyboard focus, for
// every control of the window (style sheets of many controls leave Fusion's
// own focus frame out). Shown when focus comes by keyboard (Tab, shortcut)
// or is given by the program, not by a click or the window's activation;
// text fields, which mark focus with their border, get none.
// Installed once on the application; main thread only.
class FocusRing : public QWidget {
    Q_OBJECT
public:
    static void install(QObject *application);
    // The ring on screen now, if any.
    static FocusRing *shown();
    static void showOn(QWidget *target);
    QWidget *target() const { return m_target; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit FocusRing(QWidget *target);
    void follow(QWidget *target);
    void place();

    QPointer<QWidget> m_target;
};

} // namespace korvane
