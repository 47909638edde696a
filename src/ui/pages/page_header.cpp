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

QWidget *makeHeaderOnlyPage(HeaderOnlyPage page, QWidget *parent)
{
    struct Texts {
        const char *number, *section, *title, *subtitle;
    };
    static const Texts texts[] = {
        {"01", "Périphériques", "Périphériques & intervenants",
         "Détection à chaud. Donne un surnom parlant à chaque appareil (QLab, GrandMA…)."},
        {"02", "Routage", "Routage MIDI",
         "Matrice de patch (entrée → sortie). Clique une case pour créer/supprimer une liaison directe "
         "(tous canaux). Édite les détails ci-dessous."},
        {"03", "Filtres", "Filtres & transformations",
         "Remap canal, transpose, vélocité, plages, types — chaînables."},
        {"04", "Moniteur", "Moniteur MIDI", ""},
        {"05", "Réseau RTP", "Réseau RTP-MIDI (AppleMIDI)",
         "Sessions MIDI réseau entre machines. Le port data = port control + 1."},
    };
    const Texts &t = texts[static_cast<int>(page)];
    auto *widget = new QWidget(parent);
    auto *column = new QVBoxLayout(widget);
    column->setContentsMargins(20, 20, 20, 20);
    column->addWidget(new PageHeader(QString::fromUtf8(t.number), QString::fromUtf8(t.section),
                                     QString::fromUtf8(t.title), QString::fromUtf8(t.subtitle), widget));
    column->addStretch(1);
    return widget;
}

} // namespace korvane
