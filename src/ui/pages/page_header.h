#pragma once

#include <QWidget>

namespace korvane {

class PageTitle;
class SectionLabel;

// A page's heading: the numbered section label above the page title.
class PageHeader : public QWidget {
    Q_OBJECT
public:
    PageHeader(const QString &number, const QString &section, const QString &title,
               const QString &subtitle = {}, QWidget *parent = nullptr);
    SectionLabel *sectionLabel() const { return m_section; }
    PageTitle *pageTitle() const { return m_title; }

private:
    SectionLabel *m_section;
    PageTitle *m_title;
};

} // namespace korvane
