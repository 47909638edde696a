#include "ui/pages/discovery_section.h"

#include "app/app_state.h"
#include "model/text.h"
#include "ui/pages/binding.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane {

DiscoveredRow::DiscoveredRow(AppState &state, QWidget *parent)
    : QFrame(parent), m_state(state), m_name(new QLabel(this)), m_address(makeCaption({}, this)),
      m_kind(makeCaption({}, this, false)),
      m_connect(makeProminentButton(QStringLiteral("Connecter"), QStringLiteral("link"), this))
{
    setObjectName(QStringLiteral("discoveredService"));
    setStyleSheet(QStringLiteral("QFrame#discoveredService { background: rgba(255, 255, 255, 10); "
                                 "border: 1px solid rgba(255, 255, 255, 30); border-radius: 8px; }"));
    auto *icon = new QLabel(this);
    icon->setPixmap(Theme::iconPixmap(QStringLiteral("radio"), Theme::accent(), 18, devicePixelRatioF()));
    setTextColor(m_name, Theme::textPrimary());
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(m_name);
    texts->addWidget(m_address);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(10, 8, 10, 8);
    row->setSpacing(10);
    row->addWidget(icon);
    row->addLayout(texts);
    row->addStretch(1);
    row->addWidget(m_kind);
    row->addWidget(m_connect);
    connect(m_connect, &QPushButton::clicked, this, [this] {
        // The controller may apply the network and so refresh this row: work on a copy.
        const DiscoveredPeer peer = m_peer;
        m_state.connectToDiscovered(peer);
    });
}

void DiscoveredRow::setPeer(const DiscoveredPeer &peer)
{
    m_peer = peer;
    m_name->setText(toQString(peer.name));
    m_address->setText(QStringLiteral("%1:%2").arg(toQString(peer.host)).arg(peer.port));
    const bool midi2 = peer.kind == DiscoveredPeer::Kind::midi2;
    m_kind->setText(midi2 ? QStringLiteral("MIDI 2.0 (UDP)") : QStringLiteral("RTP-MIDI"));
    setTextColor(m_kind, midi2 ? Theme::accent() : Theme::secondaryText());
}

DiscoverySection::DiscoverySection(AppState &state, QWidget *parent)
    : QWidget(parent), m_state(state), m_advertised(makeCaption({}, this)),
      m_advertisedMidi2(makeCaption({}, this)), m_unavailable(makeCaption({}, this)),
      m_searching(new QWidget(this))
{
    m_advertised->setWordWrap(true);
    m_advertisedMidi2->setWordWrap(true);
    m_unavailable->setWordWrap(true);
    auto *searchRow = new QHBoxLayout(m_searching);
    searchRow->setContentsMargins(0, 4, 0, 4);
    searchRow->setSpacing(8);
    searchRow->addWidget(new BusySpinner(m_searching));
    auto *searchText = new QLabel(QStringLiteral("Recherche Bonjour en cours\u2026"), m_searching);
    setTextColor(searchText, Theme::secondaryText());
    searchRow->addWidget(searchText);
    searchRow->addStretch(1);

    auto *rows = new QVBoxLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    m_rows = std::make_unique<KeyedRows<DiscoveredRow>>(rows);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->addWidget(
        new SectionLabel(QStringLiteral("05a"), QStringLiteral("Appareils distants détectés"), this));
    column->addWidget(m_unavailable);
    column->addWidget(m_advertised);
    column->addWidget(m_advertisedMidi2);
    column->addWidget(m_searching);
    column->addLayout(rows);
    connect(&m_state.discovery(), &RTPDiscovery::stateChanged, this, [this] { m_refresh.schedule(); });
}

void DiscoverySection::refresh()
{
    const RTPDiscovery &discovery = m_state.discovery();
    const DiscoveryState state = discovery.state();
    const bool running = state == DiscoveryState::running;
    const QString reason = toQString(discovery.unavailableReason());
    QString unavailable;
    if (state == DiscoveryState::connecting)
        unavailable = QStringLiteral("Connexion au démon Avahi\u2026");
    else if (!running)
        unavailable =
            QStringLiteral("DNS-SD indisponible : %1. Ni publication ni recherche ; elles reprendront "
                           "dès que le démon Avahi répondra.")
                .arg(reason);
    binding::setText(m_unavailable, unavailable);
    setTextColor(m_unavailable,
                 state == DiscoveryState::connecting ? Theme::secondaryText() : Theme::systemRed());
    m_unavailable->setVisible(!unavailable.isEmpty());

    const QString advertised = toQString(discovery.advertisedName());
    binding::setText(m_advertised,
                     discovery.published()
                         ? QStringLiteral("Publié comme « %1 » \u2014 visible des autres hôtes "
                                          "(rtpMIDI, « MIDI réseau » macOS, KORVANE).")
                               .arg(advertised)
                         : QStringLiteral("Publication de « %1 » en cours\u2026").arg(advertised));
    m_advertised->setVisible(running && !advertised.isEmpty());
    const QString midi2 = toQString(discovery.advertisedMidi2Name());
    binding::setText(
        m_advertisedMidi2,
        QStringLiteral("Hôte MIDI 2.0 publié comme « %1 » \u2014 visible des hôtes Network MIDI 2.0 "
                       "(Windows MIDI Services, macOS, KORVANE).")
            .arg(midi2));
    m_advertisedMidi2->setVisible(running && !midi2.isEmpty());

    const auto &peers = discovery.peers();
    m_searching->setVisible(running && discovery.browsing() && peers.empty());
    std::vector<QString> ids;
    for (const DiscoveredPeer &peer : peers)
        ids.push_back(toQString(peer.id()));
    m_order = m_rows->sync(ids, [this](const QString &) { return new DiscoveredRow(m_state); });
    for (std::size_t i = 0; i < peers.size(); ++i)
        m_rows->row(ids[i])->setPeer(peers[i]);
}

} // namespace korvane
