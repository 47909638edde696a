#include "ui/pages/network_page.h"

#include "app/app_state.h"
#include "model/text.h"
#include "net/network_interfaces.h"
#include "net/network_midi2_manager.h"
#include "net/rtp_discovery.h"
#include "net/rtp_manager.h"
#include "ui/pages/config_checks.h"
#include "ui/pages/discovery_section.h"
#include "ui/pages/network_midi2_session_card.h"
#include "ui/pages/page_scaffold.h"
#include "ui/pages/session_card.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace korvane {

NetworkPage::NetworkPage(AppState &state, QWidget *parent) : QWidget(parent), m_state(state)
{
    m_newSession = new QPushButton(Theme::icon(QStringLiteral("plus"), Theme::accent(), 14),
                                   QStringLiteral("Nouvelle session"), this);
    m_newSession->setCursor(Qt::PointingHandCursor);
    m_apply = makeProminentButton(QStringLiteral("Appliquer le réseau"), {}, this);
    const PageScaffold frame(this, PageScaffold::Body::headingFixed,
                             {QStringLiteral("05"), QStringLiteral("Réseau RTP"),
                              QStringLiteral("Réseau RTP-MIDI (AppleMIDI)"),
                              QStringLiteral("Sessions MIDI réseau entre machines. Le port data = port "
                                             "control + 1.")},
                             12, {{m_newSession, 12}, {m_apply, 8}});
    QWidget *content = frame.content();
    QVBoxLayout *column = frame.column();
    m_discovery = new DiscoverySection(m_state, content);
    column->addWidget(m_discovery);
    column->addSpacing(8);
    column->addWidget(new SectionLabel(QStringLiteral("05b"), QStringLiteral("Sessions"), content));
    m_noSession = new QLabel(QStringLiteral("Aucune session réseau."), content);
    setTextColor(m_noSession, Theme::secondaryText());
    column->addWidget(m_noSession);
    auto *cards = new QVBoxLayout;
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(12);
    m_cards = std::make_unique<KeyedRows<RTPSessionCard>>(cards);
    column->addLayout(cards);

    column->addSpacing(8);
    auto *midi2Header = new QHBoxLayout;
    midi2Header->addWidget(
        new SectionLabel(QStringLiteral("05c"), QStringLiteral("Sessions MIDI 2.0 (UDP)"), content), 1);
    m_newMidi2 =
        makePlainButton(QStringLiteral("Nouvelle session MIDI 2.0"), QStringLiteral("plus"), content);
    midi2Header->addWidget(m_newMidi2, 0, Qt::AlignVCenter);
    column->addLayout(midi2Header);
    m_noMidi2 = new QLabel(QStringLiteral("Aucune session MIDI 2.0."), content);
    setTextColor(m_noMidi2, Theme::secondaryText());
    column->addWidget(m_noMidi2);
    auto *midi2Cards = new QVBoxLayout;
    midi2Cards->setContentsMargins(0, 0, 0, 0);
    midi2Cards->setSpacing(12);
    m_midi2Cards = std::make_unique<KeyedRows<NetworkMIDI2SessionCard>>(midi2Cards);
    column->addLayout(midi2Cards);

    m_logBlock = new QWidget(content);
    auto *logColumn = new QVBoxLayout(m_logBlock);
    logColumn->setContentsMargins(0, 8, 0, 0);
    logColumn->setSpacing(8);
    auto *divider = new QFrame(m_logBlock);
    divider->setFrameShape(QFrame::HLine);
    divider->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 30);"));
    auto *logTitle = new QLabel(QStringLiteral("Journal réseau"), m_logBlock);
    logTitle->setFont(Theme::font(Theme::TextStyle::headline));
    // One label for up to 200 lines: as many widgets would cost more than they show.
    m_log = new QLabel(m_logBlock);
    m_log->setFont(Theme::monoFont(Theme::TextStyle::caption2));
    setTextColor(m_log, Theme::secondaryText());
    m_log->setTextFormat(Qt::PlainText);
    m_log->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_log->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    logColumn->addWidget(divider);
    logColumn->addWidget(logTitle);
    logColumn->addWidget(m_log);
    column->addWidget(m_logBlock);
    column->addStretch(1);

    connect(m_newSession, &QPushButton::clicked, this, [this] {
        m_state.mutateProject([](TOVProject &p) { p.rtpSessions.push_back(RTPSessionConfig()); });
    });
    connect(m_apply, &QPushButton::clicked, this, [this] { m_state.applyNetwork(); });
    connect(m_newMidi2, &QPushButton::clicked, this, [this] {
        m_state.mutateProject([](TOVProject &p) {
            NetworkMIDI2SessionConfig config;
            config.name = AppState::uniqueSessionName(p, config.name);
            p.networkMidi2Sessions.push_back(std::move(config));
        });
    });

    const auto schedule = [this] { m_refresh.schedule(); };
    connect(&m_state, &AppState::projectChanged, this, schedule);
    connect(&m_state.rtp(), &RTPManager::peersBySessionChanged, this, schedule);
    connect(&m_state.rtp(), &RTPManager::statusBySessionChanged, this, schedule);
    connect(&m_state.rtp(), &RTPManager::logLinesChanged, this, schedule);
    connect(&m_state.networkMidi2(), &NetworkMIDI2Manager::statusBySessionChanged, this, schedule);
    connect(&m_state.networkMidi2(), &NetworkMIDI2Manager::logLinesChanged, this, schedule);
    connect(&m_state.discovery(), &RTPDiscovery::peersChanged, this, schedule);
    connect(&m_state.discovery(), &RTPDiscovery::advertisedNameChanged, this, schedule);
    refresh();
}

void NetworkPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void NetworkPage::refresh()
{
    m_discovery->refresh();

    const auto &sessions = m_state.project().rtpSessions;
    m_noSession->setVisible(sessions.empty());
    std::vector<QString> ids;
    for (const RTPSessionConfig &session : sessions)
        ids.push_back(toQString(session.id.toString()));
    m_cardOrder = m_cards->sync(ids, [this, &sessions](const QString &id) {
        const auto it = std::find_if(sessions.begin(), sessions.end(),
                                     [&](const auto &s) { return toQString(s.id.toString()) == id; });
        return new RTPSessionCard(m_state, it->id);
    });
    const std::vector<NetInterface> interfaces = NetworkInterfaces::ipv4();
    const auto &peers = m_state.rtp().peersBySession();
    const auto &statuses = m_state.rtp().statusBySession();
    // Entries sharing an id share the first one's card.
    std::set<RTPSessionCard *> filled;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        RTPSessionCard *card = m_cards->row(ids[i]);
        if (!filled.insert(card).second)
            continue;
        auto clashes = localPortClashes(sessions, i);
        for (auto &name : rtpClashesWithMidi2(m_state.project(), i))
            clashes.push_back(std::move(name));
        card->setSession(sessions[i], interfaces, clashes);
        markInvalid(card->nameField(), sessionNameTaken(m_state.project(), sessions[i].id, sessions[i].name)
                                           ? QStringLiteral("Nom déjà pris par une autre session")
                                           : QString());
        const auto peerList = peers.find(sessions[i].id);
        const auto status = statuses.find(sessions[i].id);
        card->setRunning(peerList == peers.end() ? std::vector<std::string>() : peerList->second,
                         status == statuses.end() ? nullptr : &status->second);
    }

    refreshMidi2();

    // RTP-MIDI lines, then Network MIDI 2.0 ones ("NM2 ..."), oldest first in each.
    QStringList text;
    for (const auto *lines : {&m_state.rtp().logLines(), &m_state.networkMidi2().logLines()})
        for (const std::string &line : *lines)
            text << toQString(line);
    const QString joined = text.join(QLatin1Char('\n'));
    if (m_log->text() != joined)
        m_log->setText(joined);
    m_logBlock->setVisible(!text.isEmpty());
}

void NetworkPage::refreshMidi2()
{
    const TOVProject &project = m_state.project();
    const auto &sessions = project.networkMidi2Sessions;
    m_noMidi2->setVisible(sessions.empty());
    std::vector<QString> ids;
    for (const NetworkMIDI2SessionConfig &session : sessions)
        ids.push_back(toQString(session.id.toString()));
    m_midi2Order = m_midi2Cards->sync(ids, [this](const QString &id) {
        return new NetworkMIDI2SessionCard(m_state, *Uuid::fromString(toStd(id)));
    });
    const auto &statuses = m_state.networkMidi2().statusBySession();
    std::set<NetworkMIDI2SessionCard *> filled;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        NetworkMIDI2SessionCard *card = m_midi2Cards->row(ids[i]);
        if (!filled.insert(card).second)
            continue;
        card->setSession(sessions[i], midi2PortClashes(project, i),
                         sessionNameTaken(project, sessions[i].id, sessions[i].name));
        const auto status = statuses.find(sessions[i].id);
        card->setRunning(status == statuses.end() ? nullptr : &status->second);
    }
}

} // namespace korvane
