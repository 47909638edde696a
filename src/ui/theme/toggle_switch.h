#pragma once

#include <QAbstractButton>

namespace korvane {

// A painted on/off switch (checkable button) with its label on the left,
// the knob on the right; the track takes the accent colour when on.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(const QString &text, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    // Where a click toggles: the track (tests click there).
    QRect trackRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;
};

} // namespace korvane
