#include "ui/theme/growing_text_edit.h"

#include <QTextBlock>
#include <QtMath>

namespace korvane {

GrowingTextEdit::GrowingTextEdit(int minLines, int maxLines, QWidget *parent)
    : QPlainTextEdit(parent), m_minLines(minLines), m_maxLines(maxLines)
{
    setTabChangesFocus(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { fitHeight(); });
    connect(this, &QPlainTextEdit::textChanged, this, [this] { fitHeight(); });
    fitHeight();
}

int GrowingTextEdit::lineCount() const
{
    // Wrapped lines count as lines.
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines += qMax(1, block.layout() ? block.layout()->lineCount() : 1);
    return lines;
}

int GrowingTextEdit::visibleLines() const
{
    return qBound(m_minLines, lineCount(), m_maxLines);
}

void GrowingTextEdit::fitHeight()
{
    ensurePolished();
    // Whatever the style puts around the viewport (frame, padding) is kept.
    const int chrome = height() - viewport()->height();
    const int lines = visibleLines();
    const int text = lines * fontMetrics().lineSpacing() + 2 * qCeil(document()->documentMargin()) + 2;
    const int wanted = text + chrome;
    // Scrolls only once the text outgrows the largest height.
    const bool overflow = lineCount() > m_maxLines;
    setVerticalScrollBarPolicy(overflow ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (wanted != height())
        setFixedHeight(wanted);
}

void GrowingTextEdit::showEvent(QShowEvent *event)
{
    QPlainTextEdit::showEvent(event);
    fitHeight();
}

void GrowingTextEdit::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    // Wrapping changes with the width.
    fitHeight();
}

} // namespace korvane
