#pragma once

#include <QString>

#include <utility>
#include <vector>

class QHBoxLayout;
class QVBoxLayout;
class QWidget;

namespace korvane {

// The frame every page shares: its heading and, below it, the column the
// page fills, 20 px in from the page's edges.
class PageScaffold {
public:
    struct Heading {
        QString number;
        QString section;
        QString title; // none: the section label alone, and the content runs from edge to edge
        QString subtitle = {};
    };
    enum class Body {
        scrolled,     // heading and content scroll together
        fixed,        // no scroll area: the page lays out its own
        headingFixed, // the heading stays in place above the scrolling content
    };
    // Widgets beside the heading (headingFixed), each after its spacing. They
    // are made before the frame so the keyboard reaches them first.
    using Actions = std::vector<std::pair<QWidget *, int>>;

    PageScaffold(QWidget *page, Body body, const Heading &heading, int spacing, const Actions &actions = {});

    // Where the page's widgets go: the scrolling widget, or the page itself.
    QWidget *content() const { return m_content; }
    QVBoxLayout *column() const { return m_column; }

private:
    QWidget *m_content = nullptr;
    QVBoxLayout *m_column = nullptr;
};

} // namespace korvane
