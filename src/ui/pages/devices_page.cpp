#include "ui/pages/devices_page.h"

#include "app/app_state.h"
#include "midi/midi_engine.h"
#include "model/text.h"
#include "ui/pages/device_rows.h"
#include "ui/pages/page_scaffold.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <set>

namespace korvane {

namespace {

QLabel *sectionHeader(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = Theme::font(Theme::TextStyle::caption);
    font.setBold(true);
    label->setFont(font);
    setTextColor(label, Theme::secondaryText());
    return label;
}

// A card holding a column of rows; the rows' layout is returned through `rows`.
TOVCard *rowsCard(QWidget *parent, QVBoxLayout *&rows)
{
    auto *card = new TOVCard(parent);
    card->contentLayout()->setContentsMargins(10, 8, 10, 8);
    rows = new QVBoxLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(4);
    card->contentLayout()->addLayout(rows);
    return card;
}

// Ids unique within one list even when the service gives two endpoints the same identity.
std::vector<QString> endpointIds(const std::vector<MIDIEndpointInfo> &infos)
{
    std::vector<QString> ids;
    std::map<QString, int> seen;
    for (const MIDIEndpointInfo &info : infos) {
        QString id = toQString(info.id() + "|" + info.name);
        if (const int n = seen[id]++; n > 0)
            id += QStringLiteral("#%1").arg(n);
        ids.push_back(id);
    }
    return ids;
}

} // namespace

DevicesPage::DevicesPage(AppState &state, QWidget *parent) : QWidget(parent), m_state(state)
{
    const PageScaffold frame(this, PageScaffold::Body::scrolled,
                             {QStringLiteral("01"), QStringLiteral("Périphériques"),
                              QStringLiteral("Périphériques & intervenants"),
                              QStringLiteral("Détection à chaud. Donne un surnom parlant à chaque appareil "
                                             "(QLab, GrandMA…).")},
                             8);
    QWidget *content = frame.content();
    QVBoxLayout *column = frame.column();
    column->addSpacing(8);

    // Missing devices: the whole section only while something is missing.
    m_missingSection = new QWidget(content);
    auto *missingColumn = new QVBoxLayout(m_missingSection);
    missingColumn->setContentsMargins(0, 0, 0, 8);
    missingColumn->setSpacing(6);
    auto *missingHeader = new QHBoxLayout;
    auto *warning = new QLabel(m_missingSection);
    warning->setPixmap(
        Theme::iconPixmap(QStringLiteral("triangle-alert"), Theme::systemRed(), 14, devicePixelRatioF()));
    auto *missingTitle = sectionHeader(QStringLiteral("Intervenants manquants"), m_missingSection);
    setTextColor(missingTitle, Theme::systemRed());
    missingHeader->addWidget(warning);
    missingHeader->addWidget(missingTitle);
    missingHeader->addStretch(1);
    missingColumn->addLayout(missingHeader);
    QVBoxLayout *missingRows = nullptr;
    missingColumn->addWidget(rowsCard(m_missingSection, missingRows));
    m_missing = std::make_unique<KeyedRows<MissingDeviceRow>>(missingRows);
    column->addWidget(m_missingSection);

    const auto endpointSection = [&](QLabel *&header, QLabel *&empty) {
        header = sectionHeader({}, content);
        column->addWidget(header);
        QVBoxLayout *rows = nullptr;
        TOVCard *card = rowsCard(content, rows);
        empty = new QLabel(QStringLiteral("Aucun périphérique"), card);
        setTextColor(empty, Theme::secondaryText());
        card->contentLayout()->addWidget(empty);
        column->addWidget(card);
        column->addSpacing(8);
        return std::make_unique<KeyedRows<EndpointRow>>(rows);
    };
    m_inputs = endpointSection(m_inputsHeader, m_inputsEmpty);
    m_outputs = endpointSection(m_outputsHeader, m_outputsEmpty);

    column->addWidget(sectionHeader(QStringLiteral("Ports virtuels KORVANE"), content));
    QVBoxLayout *portRows = nullptr;
    TOVCard *portsCard = rowsCard(content, portRows);
    m_ports = std::make_unique<KeyedRows<VirtualPortRow>>(portRows);
    m_addPort = makePlainButton(QStringLiteral("Ajouter un port virtuel"), QStringLiteral("plus"), portsCard);
    m_applyPorts = makeProminentButton(QStringLiteral("Appliquer les ports virtuels"), {}, portsCard);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_addPort);
    buttons->addStretch(1);
    buttons->addWidget(m_applyPorts);
    portsCard->contentLayout()->addLayout(buttons);
    column->addWidget(portsCard);
    column->addStretch(1);

    connect(m_addPort, &QPushButton::clicked, this, [this] {
        m_state.mutateProject([](TOVProject &p) { p.virtualPorts.push_back(VirtualPortConfig()); });
    });
    connect(m_applyPorts, &QPushButton::clicked, this, [this] { m_state.applyVirtualPorts(); });

    const auto schedule = [this] { m_refresh.schedule(); };
    connect(&m_state, &AppState::projectChanged, this, schedule);
    connect(&m_state, &AppState::missingDevicesChanged, this, schedule);
    connect(&m_state.engine(), &MIDIEngine::sourcesChanged, this, schedule);
    connect(&m_state.engine(), &MIDIEngine::destinationsChanged, this, schedule);
    refresh();
}

void DevicesPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void DevicesPage::refresh()
{
    const std::vector<EndpointKey> &missing = m_state.missingDevices();
    std::vector<QString> missingIds;
    for (const EndpointKey &key : missing)
        missingIds.push_back(toQString(key.id()));
    m_missingOrder =
        m_missing->sync(missingIds, [this](const QString &) { return new MissingDeviceRow(m_state); });
    for (std::size_t i = 0; i < missing.size(); ++i)
        m_missing->row(missingIds[i])->setKey(missing[i]);
    m_missingSection->setVisible(!missing.empty());

    const auto fill = [this](KeyedRows<EndpointRow> &rows, const std::vector<MIDIEndpointInfo> &infos,
                             QLabel *header, QLabel *empty, const QString &title) {
        std::vector<EndpointRow *> ordered =
            rows.sync(endpointIds(infos), [this](const QString &) { return new EndpointRow(m_state); });
        for (std::size_t i = 0; i < ordered.size(); ++i)
            ordered[i]->setInfo(infos[i]);
        header->setText(QStringLiteral("%1 (%2)").arg(title).arg(infos.size()));
        empty->setVisible(infos.empty());
        return ordered;
    };
    m_inputOrder =
        fill(*m_inputs, m_state.engine().sources(), m_inputsHeader, m_inputsEmpty, QStringLiteral("Entrées"));
    m_outputOrder = fill(*m_outputs, m_state.engine().destinations(), m_outputsHeader, m_outputsEmpty,
                         QStringLiteral("Sorties"));

    const auto &ports = m_state.project().virtualPorts;
    std::vector<QString> portIds;
    for (const VirtualPortConfig &port : ports)
        portIds.push_back(toQString(port.id.toString()));
    m_portOrder = m_ports->sync(portIds, [this, &ports](const QString &id) {
        const auto it = std::find_if(ports.begin(), ports.end(),
                                     [&](const auto &p) { return toQString(p.id.toString()) == id; });
        return new VirtualPortRow(m_state, it->id);
    });
    // Two entries sharing an id share one row: the first one's.
    std::set<VirtualPortRow *> filled;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        VirtualPortRow *row = m_ports->row(portIds[i]);
        if (filled.insert(row).second)
            row->setPort(ports[i], portNameProblem(ports, i));
    }
    m_applyPorts->setVisible(!ports.empty());
}

} // namespace korvane
