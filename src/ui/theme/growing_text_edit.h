#pragma once

#include <QPlainTextEdit>

namespace korvane {

// A multi-line field whose height follows its line count between a minimum
// and a maximum number of lines (then it scrolls). Tab moves the focus on.
class GrowingTextEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    GrowingTextEdit(int minLines, int maxLines, QWidget *parent = nullptr);
    int visibleLines() const;
    int lineCount() const;

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void fitHeight();

    int m_minLines;
    int m_maxLines;
};

} // namespace korvane
