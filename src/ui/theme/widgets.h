#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>

class QScrollArea;
class QVBoxLayout;

namespace korvane {

// A surface-coloured rounded panel (radius 12, hairline white border) with
// 16 px of padding around whatever is put in contentLayout().
class TOVCard : public QFrame {
    Q_OBJECT
public:
    explicit TOVCard(QWidget *parent = nullptr);
    QVBoxLayout *contentLayout() const { return m_content; }

protected:
    void paintEvent(QPaintEvent *event) override;
    explicit TOVCard(int padding, int spacing, QWidget *parent);

private:
    QVBoxLayout *m_content = nullptr;
};

// The card's look with a caption above its content (monospaced, secondary
// colour), 14 px of padding and 10 px between label and content.
class TOVGroupBox : public TOVCard {
    Q_OBJECT
public:
    explicit TOVGroupBox(const QString &title, QWidget *parent = nullptr);
    QString title() const;

private:
    QLabel *m_title = nullptr;
};

// "// 06" in the accent colour, then "— RÉGLAGES", across the full width.
class SectionLabel : public QWidget {
    Q_OBJECT
public:
    SectionLabel(const QString &number, const QString &title, QWidget *parent = nullptr);
    QString numberText() const { return m_number->text(); }
    QString titleText() const { return m_title->text(); }

private:
    QLabel *m_number = nullptr;
    QLabel *m_title = nullptr;
};

// A heavy 24 px title with an optional callout-sized subtitle.
class PageTitle : public QWidget {
    Q_OBJECT
public:
    explicit PageTitle(const QString &title, const QString &subtitle = {}, QWidget *parent = nullptr);
    QString titleText() const { return m_title->text(); }
    QString subtitleText() const;

private:
    QLabel *m_title = nullptr;
    QLabel *m_subtitle = nullptr;
};

// A filled circle of the given diameter.
class StatusDot : public QWidget {
    Q_OBJECT
public:
    explicit StatusDot(int diameter, QWidget *parent = nullptr);
    void setColor(const QColor &color);
    QColor color() const { return m_color; }
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_diameter;
    QColor m_color = Qt::gray;
};

// One line of text cut with "…" to the width it is given; the whole text is
// its tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateElision();
    QString m_fullText;
};

// A label's text colour, through its palette (style sheets stay free for the rest).
void setTextColor(QLabel *label, const QColor &color);
QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent);

// A frameless scroll area over `content` that shows the page's background.
QScrollArea *makePlainScrollArea(QWidget *content, QWidget *parent);
// Fills `page` edge to edge with a plain scroll area over `content`.
void fillWithScrollArea(QWidget *page, QWidget *content);

} // namespace korvane
