#pragma once

#include <QAbstractButton>

namespace korvane {

// A large flat button of the setup screen: an accent icon, a title and a
// subtitle on a surface-coloured rounded card that lights up under the pointer.
class StartCard : public QAbstractButton {
    Q_OBJECT
public:
    StartCard(const QString &icon, const QString &title, const QString &subtitle, QWidget *parent = nullptr);
    QString title() const { return text(); }
    QString subtitle() const { return m_subtitle; }
    bool hovered() const { return m_hover; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString m_iconName;
    QString m_subtitle;
    bool m_hover = false;
};

} // namespace korvane
