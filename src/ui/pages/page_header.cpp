#include "ui/pages/page_header.h"

#include "ui/theme/widgets.h"

#include <QVBoxLayout>

namespace korvane {

PageHeader::PageHeader(const QString &number, const QString &section, const QString &title,
                       const QString &subtitle, QWidget *parent)
    : QWidget(parent), m_section(new SectionLabel(number, section, this)),
      m_title(new PageTitle(title, subtitle, this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->addWidget(m_section);
    column->addWidget(m_title);
}

} // namespace korvane
