#include "ui/theme/growing_text_edit.h"

#include <QTextBlock>
#include <QtMath>

namespace korvane {

GrowingTextEdit::GrowingTextEdit(int minLines, int maxLines, QWidget *parent)
    : QPlainTextEdit(parent), m_minLines(minLines), m_maxLines(maxLines)
{
    setTabChangesFocus(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { fitHeight(); });
    connect(this, &QPlainTextEdit::textChanged, this, [this] { fitHeight(); });
    fitHeight();
}

int GrowingTextEdit::visibleLines() const
{
    // Wrapped lines count as lines.
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines += qMax(1, block.layout() ? block.layout()->lineCount() : 1);
    return qBound(m_minLines, lines, m_maxLines);
}

void GrowingTextEdit::fitHeight()
{
    ensurePolished();
    // Whatever the style puts around the viewport (frame, padding) is kept.
    const int chrome = height() - viewport()->height();
    const int text = visibleLines() * fontMetrics().lineSpacing() + 2 * qCeil(document()->documentMargin());
    const int wanted = text + chrome;
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
