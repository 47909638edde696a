#include "ui/pages/session_card.h"

#include "app/app_state.h"
#include "model/text.h"
#include "net/rtp_session_core.h"
#include "ui/pages/page_controls.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"
#include "ui/theme/widgets.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>

#include <algorithm>

namespace korvane {

namespace {

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    setTextColor(label, Theme::textPrimary());
    return label;
}

// The running session's state in a word or two, with its colour; nothing while it just starts.
std::pair<QString, QColor> stateText(RTPSessionState state)
{
    switch (state) {
    case RTPSessionState::listening:
        return {QStringLiteral("écoute"), Theme::ok()};
    case RTPSessionState::portBusy:
        return {QStringLiteral("port occupé"), Theme::systemRed()};
    case RTPSessionState::addressUnavailable:
        return {QStringLiteral("adresse indisponible"), Theme::systemRed()};
    case RTPSessionState::hostNotFound:
        return {QStringLiteral("hôte introuvable"), Theme::systemRed()};
    case RTPSessionState::invalidPort:
        return {QStringLiteral("port invalide"), Theme::systemRed()};
    case RTPSessionState::starting:
    case RTPSessionState::stopped:
        break;
    }
    return {};
}

QString roundTripText(const RTPPeerStatus &peer)
{
    if (!peer.roundTripMs)
        return toQString(peer.label);
    return QStringLiteral("%1 (%2 ms)")
        .arg(toQString(peer.label), QLocale().toString(*peer.roundTripMs, 'f', 1));
}

} // namespace

RTPSessionCard::RTPSessionCard(AppState &state, Uuid id, QWidget *parent)
    : TOVCard(14, 10, parent), m_state(state), m_id(id)
{
    m_enabled = new ToggleSwitch({}, this);
    // No label: just the track, flush with the card's left edge.
    m_enabled->setFixedSize(m_enabled->trackRect().width() + 2, m_enabled->sizeHint().height());
    m_enabled->setAccessibleName(QStringLiteral("Activée"));
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("Nom de session"));
    m_name->setMinimumWidth(220);
    m_stateLabel = makeCaption({}, this, false);
    m_badge = new QWidget(this);
    m_peersDot = new StatusDot(8, m_badge);
    m_peersLabel = makeCaption({}, m_badge, false);
    auto *badgeRow = new QHBoxLayout(m_badge);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    badgeRow->setSpacing(6);
    badgeRow->addWidget(m_peersDot);
    badgeRow->addWidget(m_peersLabel);
    m_delete = makeTrashButton(QStringLiteral("Supprimer cette session"), this);
    auto *first = new QHBoxLayout;
    first->setSpacing(10);
    first->addWidget(m_enabled);
    first->addWidget(m_name);
    first->addStretch(1);
    first->addWidget(m_stateLabel);
    first->addSpacing(6);
    first->addWidget(m_badge);
    first->addWidget(m_delete);
    contentLayout()->addLayout(first);

    m_role = new QComboBox(this);
    m_role->addItem(QStringLiteral("Écoute (responder)"), static_cast<int>(RTPRole::listener));
    m_role->addItem(QStringLiteral("Initiateur"), static_cast<int>(RTPRole::initiator));
    m_role->setFixedWidth(180);
    m_localPort = new PortField(this);
    m_localPort->setAccessibleName(QStringLiteral("Port local"));
    auto *second = new QHBoxLayout;
    second->setSpacing(16);
    auto *rolePicker = new QHBoxLayout;
    rolePicker->setSpacing(8);
    rolePicker->addWidget(plainLabel(QStringLiteral("Rôle"), this));
    rolePicker->addWidget(m_role);
    second->addLayout(rolePicker);
    auto *portPicker = new QHBoxLayout;
    portPicker->setSpacing(8);
    portPicker->addWidget(plainLabel(QStringLiteral("Port local"), this));
    portPicker->addWidget(m_localPort);
    second->addLayout(portPicker);
    second->addStretch(1);
    contentLayout()->addLayout(second);

    m_interface = new QComboBox(this);
    m_interface->setFixedWidth(300);
    m_interface->setAccessibleName(QStringLiteral("Interface"));
    auto *third = new QHBoxLayout;
    third->setSpacing(8);
    third->addWidget(plainLabel(QStringLiteral("Interface"), this));
    third->addWidget(m_interface);
    third->addStretch(1);
    contentLayout()->addLayout(third);

    m_addresses = makeCaption({}, this, false);
    m_addresses->setTextInteractionFlags(Qt::TextSelectableByMouse);
    contentLayout()->addWidget(m_addresses);

    m_remoteRow = new QWidget(this);
    m_remoteHost = new QLineEdit(m_remoteRow);
    m_remoteHost->setPlaceholderText(QStringLiteral("192.168.1.20"));
    m_remoteHost->setFixedWidth(180);
    m_remotePort = new PortField(m_remoteRow);
    m_remotePort->setAccessibleName(QStringLiteral("Port"));
    auto *fourth = new QHBoxLayout(m_remoteRow);
    fourth->setContentsMargins(0, 0, 0, 0);
    fourth->setSpacing(8);
    fourth->addWidget(plainLabel(QStringLiteral("Hôte distant"), m_remoteRow));
    fourth->addWidget(m_remoteHost);
    fourth->addSpacing(8);
    fourth->addWidget(plainLabel(QStringLiteral("Port"), m_remoteRow));
    fourth->addWidget(m_remotePort);
    fourth->addStretch(1);
    contentLayout()->addWidget(m_remoteRow);

    m_journal = new ToggleSwitch(QStringLiteral("Journal de récupération"), this);
    m_journal->setToolTip(QStringLiteral("Répare les notes et pédales perdues sur le réseau (RFC 6295)"));
    m_access = new QComboBox(this);
    m_access->addItem(QStringLiteral("Tout le monde"), false);
    m_access->addItem(QStringLiteral("Seulement ces hôtes"), true);
    m_access->setAccessibleName(QStringLiteral("Qui peut se connecter"));
    m_hosts = new QLineEdit(this);
    m_hosts->setPlaceholderText(QStringLiteral("192.168.1.20, 10.0.0.0/24"));
    m_hosts->setAccessibleName(QStringLiteral("Hôtes autorisés"));
    m_hosts->setMinimumWidth(240);
    auto *fifth = new QHBoxLayout;
    fifth->setSpacing(8);
    fifth->addWidget(m_journal);
    fifth->addSpacing(16);
    fifth->addWidget(plainLabel(QStringLiteral("Qui peut se connecter"), this));
    fifth->addWidget(m_access);
    fifth->addWidget(m_hosts, 1);
    contentLayout()->addLayout(fifth);
    m_hostsError = makeCaption({}, this, false);
    setTextColor(m_hostsError, Theme::systemRed());
    m_hostsError->hide();
    contentLayout()->addWidget(m_hostsError);

    m_clash = makeCaption({}, this, false);
    setTextColor(m_clash, Theme::systemRed());
    m_clash->setWordWrap(true);
    m_clash->hide();
    contentLayout()->addWidget(m_clash);

    connect(m_enabled, &QAbstractButton::toggled, this,
            [this](bool on) { edit([on](RTPSessionConfig &s) { s.enabled = on; }); });
    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        edit([&](RTPSessionConfig &s) { s.name = name; });
    });
    connect(m_role, &QComboBox::activated, this, [this](int index) {
        const auto role = static_cast<RTPRole>(m_role->itemData(index).toInt());
        m_remoteRow->setVisible(role == RTPRole::initiator);
        edit([role](RTPSessionConfig &s) { s.role = role; });
    });
    connect(m_localPort, &PortField::portEdited, this,
            [this](int port) { edit([port](RTPSessionConfig &s) { s.localPort = port; }); });
    connect(m_interface, &QComboBox::activated, this, [this](int index) {
        const std::string address = toStd(m_interface->itemData(index).toString());
        edit([&](RTPSessionConfig &s) { s.bindAddress = address; });
    });
    connect(m_remoteHost, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string host = toStd(text);
        edit([&](RTPSessionConfig &s) { s.remoteHost = host; });
    });
    connect(m_remotePort, &PortField::portEdited, this,
            [this](int port) { edit([port](RTPSessionConfig &s) { s.remotePort = port; }); });
    connect(m_journal, &QAbstractButton::toggled, this,
            [this](bool on) { edit([on](RTPSessionConfig &s) { s.recoveryJournal = on; }); });
    connect(m_access, &QComboBox::activated, this, [this](int index) {
        const bool only = m_access->itemData(index).toBool();
        m_hosts->setVisible(only);
        edit([only](RTPSessionConfig &s) { s.onlyAllowedHosts = only; });
    });
    connect(m_hosts, &QLineEdit::textEdited, this, [this](const QString &text) {
        // Entries as typed; the ones that are no address or subnet are named
        // below the field and let nobody in.
        std::vector<std::string> hosts;
        for (const QString &part :
             text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts))
            hosts.push_back(toStd(part));
        edit([&](RTPSessionConfig &s) { s.allowedHosts = hosts; });
    });
    connect(m_delete, &QPushButton::clicked, this, [this] {
        const Uuid id = m_id;
        m_state.mutateProject([id](TOVProject &p) {
            std::erase_if(p.rtpSessions, [&](const RTPSessionConfig &s) { return s.id == id; });
        });
    });
}

void RTPSessionCard::edit(const std::function<void(RTPSessionConfig &)> &change)
{
    const auto &sessions = m_state.project().rtpSessions;
    const auto it =
        std::find_if(sessions.begin(), sessions.end(), [&](const auto &s) { return s.id == m_id; });
    if (it == sessions.end())
        return;
    RTPSessionConfig changed = *it;
    change(changed);
    if (changed == *it)
        return;
    const Uuid id = m_id;
    m_state.mutateProject([&](TOVProject &p) {
        for (auto &s : p.rtpSessions)
            if (s.id == id)
                s = changed;
    });
}

void RTPSessionCard::setSession(const RTPSessionConfig &session, const std::vector<NetInterface> &interfaces,
                                const std::vector<std::string> &clashes)
{
    if (m_enabled->isChecked() != session.enabled) {
        const QSignalBlocker block(m_enabled);
        m_enabled->setChecked(session.enabled);
        m_enabled->update();
    }
    syncText(m_name, toQString(session.name));
    const int roleIndex = m_role->findData(static_cast<int>(session.role));
    if (m_role->currentIndex() != roleIndex) {
        const QSignalBlocker block(m_role);
        m_role->setCurrentIndex(roleIndex);
    }

    if (interfaces != m_interfaces || m_interface->count() == 0) {
        m_interfaces = interfaces;
        const QSignalBlocker block(m_interface);
        m_interface->clear();
        m_interface->addItem(QStringLiteral("Toutes les interfaces"), QString());
        for (const NetInterface &netInterface : interfaces)
            m_interface->addItem(toQString(netInterface.label()), toQString(netInterface.ip));
    }
    // An address no interface has any more stays stored, shown greyed, unselected.
    const int addressIndex = m_interface->findData(toQString(session.bindAddress));
    const QString stored = addressIndex < 0 ? toQString(session.bindAddress) : QString();
    if (m_interface->currentIndex() != addressIndex || m_interface->placeholderText() != stored) {
        const QSignalBlocker block(m_interface);
        m_interface->setPlaceholderText(stored);
        m_interface->setCurrentIndex(addressIndex);
    }

    // A session bound to one address is reachable there only.
    QStringList ips;
    if (!session.bindAddress.empty())
        ips << toQString(session.bindAddress);
    else
        for (const NetInterface &netInterface : interfaces)
            ips << toQString(netInterface.ip);
    m_addresses->setText(QStringLiteral("Adresse(s) locale(s) à donner au pair distant : ") +
                         ips.join(QStringLiteral(", ")));
    m_addresses->setVisible(!ips.empty());

    m_remoteRow->setVisible(session.role == RTPRole::initiator);
    syncText(m_remoteHost, toQString(session.remoteHost));
    m_remotePort->setStoredPort(session.remotePort);

    if (m_journal->isChecked() != session.recoveryJournal) {
        const QSignalBlocker block(m_journal);
        m_journal->setChecked(session.recoveryJournal);
        m_journal->update();
    }
    const int accessIndex = m_access->findData(session.onlyAllowedHosts);
    if (m_access->currentIndex() != accessIndex) {
        const QSignalBlocker block(m_access);
        m_access->setCurrentIndex(accessIndex);
    }
    m_hosts->setVisible(session.onlyAllowedHosts);
    QStringList hosts, invalid;
    for (const std::string &host : session.allowedHosts) {
        hosts << toQString(host);
        if (!RTPSessionCore::parseSubnet(host))
            invalid << QStringLiteral("« %1 »").arg(toQString(host));
    }
    if (!m_hosts->hasFocus())
        syncText(m_hosts, hosts.join(QStringLiteral(", ")));
    const QString hostsError =
        !session.onlyAllowedHosts ? QString()
        : !invalid.isEmpty()
            ? QStringLiteral("Ni adresse IPv4 ni sous-réseau : ") + invalid.join(QStringLiteral(", "))
        : hosts.isEmpty() ? QStringLiteral("Aucun hôte autorisé : toute invitation est refusée")
                          : QString();
    m_hostsError->setText(hostsError);
    m_hostsError->setVisible(!hostsError.isEmpty());

    QStringList others;
    for (const std::string &name : clashes)
        others << QStringLiteral("« %1 »").arg(toQString(name));
    const QString clash =
        clashes.empty() ? QString()
                        : QStringLiteral("Port local déjà pris par ") + others.join(QStringLiteral(", "));
    m_clash->setText(clash);
    m_clash->setVisible(!clash.isEmpty());
    m_localPort->setStoredPort(session.localPort, clash);
}

void RTPSessionCard::setRunning(const std::vector<std::string> &peers, const RTPSessionStatus *status)
{
    m_peersDot->setColor(peers.empty() ? Theme::systemGrey() : Theme::ok());
    m_peersLabel->setText(peers.empty() ? QStringLiteral("Aucun pair")
                                        : QStringLiteral("%1 pair(s)").arg(peers.size()));
    // Labels with their round trip where the session has measured one.
    QStringList tips;
    for (const std::string &label : peers) {
        QString tip = toQString(label);
        if (status) {
            for (const RTPPeerStatus &peer : status->peers)
                if (peer.label == label)
                    tip = roundTripText(peer);
        }
        tips << tip;
    }
    m_badge->setToolTip(tips.join(QStringLiteral(", ")));

    const auto [text, color] = status ? stateText(status->state) : std::pair<QString, QColor>{};
    m_stateLabel->setText(text);
    setTextColor(m_stateLabel, color);
    m_stateLabel->setVisible(!text.isEmpty());
}

} // namespace korvane
