#include "ui/theme/widgets.h"

#include "ui/theme/theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane {

void setTextColor(QLabel *label, const QColor &color)
{
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
}

QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(font);
    setTextColor(label, color);
    return label;
}

TOVCard::TOVCard(QWidget *parent) : TOVCard(16, 8, parent) {}

TOVCard::TOVCard(int padding, int spacing, QWidget *parent) : QFrame(parent)
{
    m_content = new QVBoxLayout(this);
    m_content->setContentsMargins(padding, padding, padding, padding);
    m_content->setSpacing(spacing);
}

void TOVCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(r, 12, 12);
    painter.fillPath(path, Theme::surface());
    painter.setPen(QPen(QColor(255, 255, 255, qRound(0.08 * 255)), 1));
    painter.drawPath(path);
}

TOVGroupBox::TOVGroupBox(const QString &title, QWidget *parent) : TOVCard(14, 10, parent)
{
    m_title = makeLabel(title, Theme::monoFont(Theme::TextStyle::caption), Theme::textSecondary(), this);
    contentLayout()->addWidget(m_title);
}

QString TOVGroupBox::title() const
{
    return m_title->text();
}

SectionLabel::SectionLabel(const QString &number, const QString &title, QWidget *parent) : QWidget(parent)
{
    QFont numberFont = Theme::monoFont(Theme::TextStyle::caption);
    numberFont.setWeight(QFont::DemiBold);
    m_number = makeLabel(QStringLiteral("// ") + number, numberFont, Theme::accent(), this);
    QFont titleFont = Theme::monoFont(Theme::TextStyle::caption);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    m_title = makeLabel(QStringLiteral("\u2014 ") + title.toUpper(), titleFont, Theme::textSecondary(), this);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(m_number, 0, Qt::AlignBaseline);
    row->addWidget(m_title, 0, Qt::AlignBaseline);
    row->addStretch(1);
}

PageTitle::PageTitle(const QString &title, const QString &subtitle, QWidget *parent) : QWidget(parent)
{
    m_title = makeLabel(title, Theme::titleFont(), Theme::textPrimary(), this);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    column->addWidget(m_title);
    if (!subtitle.isEmpty()) {
        m_subtitle =
            makeLabel(subtitle, Theme::font(Theme::TextStyle::callout), Theme::textSecondary(), this);
        m_subtitle->setWordWrap(true);
        column->addWidget(m_subtitle);
    }
}

QString PageTitle::subtitleText() const
{
    return m_subtitle ? m_subtitle->text() : QString();
}

StatusDot::StatusDot(int diameter, QWidget *parent) : QWidget(parent), m_diameter(diameter)
{
    setFixedSize(diameter, diameter);
}

void StatusDot::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void StatusDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_color);
    painter.drawEllipse(QRectF(rect()));
}

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (text == m_fullText)
        return;
    m_fullText = text;
    setToolTip(text);
    updateElision();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, fontMetrics().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    updateElision();
}

void ElidedLabel::updateElision()
{
    QString oneLine = m_fullText;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    setText(fontMetrics().elidedText(oneLine, Qt::ElideRight, qMax(0, contentsRect().width())));
}

QScrollArea *makePlainScrollArea(QWidget *content, QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    return scroll;
}

void fillWithScrollArea(QWidget *page, QWidget *content)
{
    auto *outer = new QVBoxLayout(page);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(makePlainScrollArea(content, page));
}

} // namespace korvane
