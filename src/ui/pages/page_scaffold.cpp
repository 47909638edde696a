#include "ui/pages/page_scaffold.h"

#include "ui/pages/page_header.h"
#include "ui/theme/widgets.h"

#include <QHBoxLayout>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane {

namespace {

constexpr int kMargin = 20;

QVBoxLayout *columnIn(QWidget *widget, int spacing, QMargins margins)
{
    auto *column = new QVBoxLayout(widget);
    column->setContentsMargins(margins);
    column->setSpacing(spacing);
    return column;
}

} // namespace

PageScaffold::PageScaffold(QWidget *page, Body body, const Heading &heading, int spacing,
                           const Actions &actions)
{
    const QMargins all(kMargin, kMargin, kMargin, kMargin);
    if (heading.title.isEmpty()) {
        m_content = page;
        m_column = columnIn(page, spacing, {});
        auto *row = new QHBoxLayout;
        row->setContentsMargins(kMargin, kMargin, kMargin, 0);
        row->addWidget(new SectionLabel(heading.number, heading.section, page));
        m_column->addLayout(row);
        return;
    }
    const auto header = [&](QWidget *parent) {
        return new PageHeader(heading.number, heading.section, heading.title, heading.subtitle, parent);
    };
    switch (body) {
    case Body::fixed:
        m_content = page;
        m_column = columnIn(page, spacing, all);
        m_column->addWidget(header(page));
        break;
    case Body::scrolled:
        m_content = new QWidget;
        m_column = columnIn(m_content, spacing, all);
        m_column->addWidget(header(m_content));
        fillWithScrollArea(page, m_content);
        break;
    case Body::headingFixed: {
        auto *row = new QHBoxLayout;
        row->setContentsMargins(kMargin, kMargin, kMargin, 12);
        row->addWidget(header(page), 1);
        for (const auto &[action, before] : actions) {
            row->addSpacing(before);
            row->addWidget(action, 0, Qt::AlignVCenter);
        }
        m_content = new QWidget;
        m_column = columnIn(m_content, spacing, QMargins(kMargin, 8, kMargin, kMargin));
        auto *outer = columnIn(page, 0, {});
        outer->addLayout(row);
        outer->addWidget(makePlainScrollArea(m_content, page), 1);
        break;
    }
    }
}

} // namespace korvane
