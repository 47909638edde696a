#include "ui/theme/growing_text_edit.h"

#include <QTextBlock>

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
    const int lineHeight = fontMetrics().lineSpacing();
    const QMargins margins = contentsMargins();
    const int frame = margins.top() + margins.bottom() + 2 * static_cast<int>(document()->documentMargin());
    const int height = visibleLines() * lineHeight + frame + 2;
    if (height != this->height())
        setFixedHeight(height);
}

} // namespace korvane
