#include "ui/pages/network_midi2_session_card.h"

#include "app/app_state.h"
#include "model/text.h"
#include "net/network_midi2_session_core.h"
#include "ui/pages/page_controls.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

#include <algorithm>

namespace korvane {

namespace {

QLabel *fieldLabel(const QString &text, QWidget *parent)
{
    return makeLabel(text, Theme::font(Theme::TextStyle::body), Theme::textPrimary(), parent);
}

std::pair<QString, QColor> stateText(NetworkMIDI2State state)
{
    switch (state) {
    case NetworkMIDI2State::listening:
        return {QStringLiteral("écoute"), Theme::ok()};
    case NetworkMIDI2State::connected:
        return {QStringLiteral("connecté"), Theme::ok()};
    case NetworkMIDI2State::inviting:
        return {QStringLiteral("invitation en cours"), Theme::secondaryText()};
    case NetworkMIDI2State::refused:
        return {QStringLiteral("refusé par l'hôte"), Theme::systemRed()};
    case NetworkMIDI2State::hostNotFound:
        return {QStringLiteral("hôte introuvable"), Theme::systemRed()};
    case NetworkMIDI2State::portBusy:
        return {QStringLiteral("port occupé"), Theme::systemRed()};
    case NetworkMIDI2State::invalidPort:
        return {QStringLiteral("port invalide"), Theme::systemRed()};
    case NetworkMIDI2State::starting:
    case NetworkMIDI2State::stopped:
        break;
    }
    return {};
}

void addPair(QHBoxLayout *row, QWidget *label, QWidget *field)
{
    auto *pair = new QHBoxLayout;
    pair->setSpacing(8);
    pair->addWidget(label);
    pair->addWidget(field);
    row->addLayout(pair);
}

} // namespace

NetworkMIDI2SessionCard::NetworkMIDI2SessionCard(AppState &state, Uuid id, QWidget *parent)
    : TOVCard(14, 10, parent), m_state(state), m_id(id)
{
    m_enabled = new ToggleSwitch({}, this);
    m_enabled->setFixedSize(m_enabled->trackRect().width() + 2, m_enabled->sizeHint().height());
    m_enabled->setAccessibleName(QStringLiteral("Activée"));
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("Nom de session"));
    m_name->setMinimumWidth(220);
    m_kind = makeCaption(QStringLiteral("MIDI 2.0 (UDP)"), this, false);
    setTextColor(m_kind, Theme::accent());
    m_stateLabel = makeCaption({}, this, false);
    auto *badge = new QWidget(this);
    m_peersDot = new StatusDot(8, badge);
    m_peersLabel = makeCaption({}, badge, false);
    auto *badgeRow = new QHBoxLayout(badge);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    badgeRow->setSpacing(6);
    badgeRow->addWidget(m_peersDot);
    badgeRow->addWidget(m_peersLabel);
    m_delete = makeTrashButton(QStringLiteral("Supprimer cette session"), this);
    auto *first = new QHBoxLayout;
    first->setSpacing(10);
    first->addWidget(m_enabled);
    first->addWidget(m_name);
    first->addWidget(m_kind);
    first->addStretch(1);
    first->addWidget(m_stateLabel);
    first->addSpacing(6);
    first->addWidget(badge);
    first->addWidget(m_delete);
    contentLayout()->addLayout(first);

    m_role = new QComboBox(this);
    m_role->addItem(QStringLiteral("Hôte (accepte les invitations)"),
                    static_cast<int>(NetworkMIDI2Role::host));
    m_role->addItem(QStringLiteral("Client (invite un hôte)"), static_cast<int>(NetworkMIDI2Role::client));
    m_role->setFixedWidth(270);
    m_localPort = new PortField(this);
    m_localPort->setAccessibleName(QStringLiteral("Port local"));
    auto *second = new QHBoxLayout;
    second->setSpacing(16);
    addPair(second, fieldLabel(QStringLiteral("Rôle"), this), m_role);
    addPair(second, fieldLabel(QStringLiteral("Port local"), this), m_localPort);
    second->addStretch(1);
    contentLayout()->addLayout(second);

    m_remoteRow = new QWidget(this);
    m_remoteHost = new QLineEdit(m_remoteRow);
    m_remoteHost->setPlaceholderText(QStringLiteral("192.168.1.20"));
    m_remoteHost->setFixedWidth(180);
    m_remotePort = new PortField(m_remoteRow);
    m_remotePort->setAccessibleName(QStringLiteral("Port"));
    auto *remote = new QHBoxLayout(m_remoteRow);
    remote->setContentsMargins(0, 0, 0, 0);
    remote->setSpacing(16);
    addPair(remote, fieldLabel(QStringLiteral("Hôte distant"), m_remoteRow), m_remoteHost);
    addPair(remote, fieldLabel(QStringLiteral("Port"), m_remoteRow), m_remotePort);
    remote->addStretch(1);
    contentLayout()->addWidget(m_remoteRow);

    m_fec = numberBox(0, NetworkMIDI2SessionConfig::maxFecDepth, QStringLiteral("Répétitions (FEC)"),
                      [this](int v) { edit([v](NetworkMIDI2SessionConfig &s) { s.fecDepth = v; }); });
    m_retransmit = numberBox(
        0, NetworkMIDI2SessionConfig::maxRetransmitBufferSize, QStringLiteral("Tampon de retransmission"),
        [this](int v) { edit([v](NetworkMIDI2SessionConfig &s) { s.retransmitBufferSize = v; }); });
    // Groups are numbered 1 to 16 for people, 0 to 15 in the file.
    m_group = numberBox(1, 16, QStringLiteral("Groupe UMP"),
                        [this](int v) { edit([v](NetworkMIDI2SessionConfig &s) { s.group = v - 1; }); });
    auto *third = new QHBoxLayout;
    third->setSpacing(16);
    for (QSpinBox *box : {m_fec, m_retransmit, m_group})
        addPair(third, fieldLabel(box->accessibleName(), this), box);
    third->addStretch(1);
    contentLayout()->addLayout(third);

    m_peerList = makeCaption({}, this, false);
    m_peerList->setWordWrap(true);
    m_peerList->setTextInteractionFlags(Qt::TextSelectableByMouse);
    contentLayout()->addWidget(m_peerList);
    m_problem = makeCaption({}, this, false);
    setTextColor(m_problem, Theme::systemRed());
    m_problem->setWordWrap(true);
    contentLayout()->addWidget(m_problem);

    connect(m_enabled, &QAbstractButton::toggled, this,
            [this](bool on) { edit([on](NetworkMIDI2SessionConfig &s) { s.enabled = on; }); });
    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        edit([&](NetworkMIDI2SessionConfig &s) { s.name = name; });
    });
    connect(m_role, &QComboBox::activated, this, [this](int index) {
        const auto role = static_cast<NetworkMIDI2Role>(m_role->itemData(index).toInt());
        m_remoteRow->setVisible(role == NetworkMIDI2Role::client);
        edit([role](NetworkMIDI2SessionConfig &s) { s.role = role; });
    });
    connect(m_localPort, &PortField::portEdited, this,
            [this](int port) { edit([port](NetworkMIDI2SessionConfig &s) { s.localPort = port; }); });
    connect(m_remoteHost, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string host = toStd(text.trimmed());
        edit([&](NetworkMIDI2SessionConfig &s) { s.remoteHost = host; });
    });
    connect(m_remotePort, &PortField::portEdited, this,
            [this](int port) { edit([port](NetworkMIDI2SessionConfig &s) { s.remotePort = port; }); });
    connect(m_delete, &QPushButton::clicked, this, [this] {
        const Uuid gone = m_id;
        m_state.mutateProject([gone](TOVProject &p) {
            std::erase_if(p.networkMidi2Sessions,
                          [&](const NetworkMIDI2SessionConfig &s) { return s.id == gone; });
        });
    });
}

QSpinBox *NetworkMIDI2SessionCard::numberBox(int low, int high, const QString &name,
                                             const std::function<void(int)> &store)
{
    auto *box = new QSpinBox(this);
    box->setRange(low, high);
    box->setGroupSeparatorShown(false);
    box->setKeyboardTracking(false);
    box->setAccessibleName(name);
    box->setFixedWidth(70);
    connect(box, &QSpinBox::valueChanged, this, store);
    return box;
}

void NetworkMIDI2SessionCard::edit(const std::function<void(NetworkMIDI2SessionConfig &)> &change)
{
    const auto &sessions = m_state.project().networkMidi2Sessions;
    const auto it =
        std::find_if(sessions.begin(), sessions.end(), [&](const auto &s) { return s.id == m_id; });
    if (it == sessions.end())
        return;
    NetworkMIDI2SessionConfig changed = *it;
    change(changed);
    if (changed == *it)
        return;
    const Uuid id = m_id;
    m_state.mutateProject([&](TOVProject &p) {
        for (auto &s : p.networkMidi2Sessions)
            if (s.id == id)
                s = changed;
    });
}

void NetworkMIDI2SessionCard::setSession(const NetworkMIDI2SessionConfig &session,
                                         const std::vector<std::string> &clashes, bool nameTaken)
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
    m_remoteRow->setVisible(session.role == NetworkMIDI2Role::client);
    syncText(m_remoteHost, toQString(session.remoteHost));
    m_remotePort->setStoredPort(session.remotePort);
    for (const auto &[box, value] : {std::pair{m_fec, session.fecDepth},
                                     {m_retransmit, session.retransmitBufferSize},
                                     {m_group, session.group + 1}}) {
        if (box->value() != value) {
            const QSignalBlocker block(box);
            box->setValue(value);
        }
    }

    QStringList others;
    for (const std::string &name : clashes)
        others << QStringLiteral("« %1 »").arg(toQString(name));
    const QString clash =
        clashes.empty() ? QString()
                        : QStringLiteral("Port local déjà pris par ") + others.join(QStringLiteral(", "));
    const QString taken = nameTaken ? QStringLiteral("Nom déjà pris par une autre session") : QString();
    m_localPort->setStoredPort(session.localPort, clash);
    markInvalid(m_name, taken);
    QStringList problems;
    for (const QString &p : {clash, taken})
        if (!p.isEmpty())
            problems << p;
    const QString problem = problems.join(QLatin1Char('\n'));
    m_problem->setText(problem);
    m_problem->setVisible(!problem.isEmpty());
}

void NetworkMIDI2SessionCard::setRunning(const NetworkMIDI2Status *status)
{
    const std::size_t count = status ? status->peers.size() : 0;
    m_peersDot->setColor(count == 0 ? Theme::systemGrey() : Theme::ok());
    m_peersLabel->setText(count == 0 ? QStringLiteral("Aucun pair")
                                     : QStringLiteral("%1 pair(s)").arg(count));
    QStringList peers;
    if (status) {
        for (const NetworkMIDI2PeerStatus &peer : status->peers) {
            QString text = toQString(peer.label);
            if (peer.roundTripMs)
                text += QStringLiteral(" (%1 ms)")
                            .arg(QLocale(QLocale::French).toString(*peer.roundTripMs, 'f', 1));
            peers << text;
        }
    }
    m_peerList->setText(QStringLiteral("Pairs : ") + peers.join(QStringLiteral(", ")));
    m_peerList->setVisible(!peers.isEmpty());

    const auto [text, color] = status ? stateText(status->state) : std::pair<QString, QColor>{};
    m_stateLabel->setText(text);
    setTextColor(m_stateLabel, color);
    m_stateLabel->setVisible(!text.isEmpty());
}

} // namespace korvane
