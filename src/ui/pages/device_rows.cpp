#include "ui/pages/device_rows.h"

#include "app/app_state.h"
#include "model/text.h"
#include "ui/pages/page_controls.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <cstdint>

#include <algorithm>

namespace korvane {

namespace {

void syncChecked(QCheckBox *box, bool checked)
{
    if (box->isChecked() == checked)
        return;
    const QSignalBlocker block(box);
    box->setChecked(checked);
}

} // namespace

EndpointRow::EndpointRow(AppState &state, QWidget *parent)
    : QWidget(parent), m_state(state), m_dot(new StatusDot(9, this)), m_nickname(new QLineEdit(this)),
      m_detail(makeCaption({}, this)), m_badge(new QLabel(QStringLiteral("VIRTUEL"), this))
{
    m_nickname->setPlaceholderText(QStringLiteral("Surnom (ex: QLab, GrandMA, Console)"));
    m_nickname->setMaximumWidth(300);
    m_detail->setTextInteractionFlags(Qt::TextSelectableByMouse);

    QFont badgeFont = Theme::font(Theme::TextStyle::caption2);
    badgeFont.setBold(true);
    m_badge->setFont(badgeFont);
    m_badge->setStyleSheet(QStringLiteral("QLabel { color: white; background: %1; border-radius: 7px; "
                                          "padding: 2px 6px; }")
                               .arg(colorFromHex(Theme::kit().accentSecondary).name()));

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(m_nickname);
    texts->addWidget(m_detail);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(10);
    row->addWidget(m_dot, 0, Qt::AlignVCenter);
    row->addLayout(texts, 1);
    row->addStretch(0);
    row->addWidget(m_badge, 0, Qt::AlignVCenter);

    connect(m_nickname, &QLineEdit::textEdited, this,
            [this](const QString &text) { m_state.setNickname(toStd(text), m_info.key(), m_info.role); });
}

void EndpointRow::setInfo(const MIDIEndpointInfo &info)
{
    m_info = info;
    m_dot->setColor(info.online ? Theme::ok() : Theme::systemGrey());
    syncText(m_nickname, toQString(m_state.nickname(info.key())));
    m_detail->setText(QStringLiteral("%1 \u00B7 ID %2")
                          .arg(toQString(info.name))
                          .arg(static_cast<std::uint32_t>(info.uniqueID)));
    m_badge->setVisible(info.isVirtual);
}

VirtualPortRow::VirtualPortRow(AppState &state, Uuid id, QWidget *parent)
    : QWidget(parent), m_state(state), m_id(id), m_name(new QLineEdit(this)),
      m_out(new QCheckBox(QStringLiteral("Out"), this)), m_in(new QCheckBox(QStringLiteral("In"), this)),
      m_problem(makeCaption({}, this, false)),
      m_delete(makeTrashButton(QStringLiteral("Supprimer ce port virtuel"), this))
{
    m_name->setPlaceholderText(QStringLiteral("Nom"));
    m_name->setAccessibleName(QStringLiteral("Nom"));
    m_name->setMinimumWidth(220);
    setTextColor(m_problem, Theme::systemRed());
    m_problem->hide();

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(12);
    row->addWidget(m_name);
    row->addWidget(m_out);
    row->addWidget(m_in);
    row->addWidget(m_problem);
    row->addStretch(1);
    row->addWidget(m_delete);

    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        edit([&](VirtualPortConfig &port) { port.name = name; });
    });
    connect(m_out, &QCheckBox::toggled, this,
            [this](bool on) { edit([on](VirtualPortConfig &port) { port.createsSource = on; }); });
    connect(m_in, &QCheckBox::toggled, this,
            [this](bool on) { edit([on](VirtualPortConfig &port) { port.createsDestination = on; }); });
    connect(m_delete, &QPushButton::clicked, this, [this] {
        const Uuid id = m_id;
        m_state.mutateProject([id](TOVProject &p) {
            std::erase_if(p.virtualPorts, [&](const VirtualPortConfig &port) { return port.id == id; });
        });
    });
}

void VirtualPortRow::edit(const std::function<void(VirtualPortConfig &)> &change)
{
    const auto &ports = m_state.project().virtualPorts;
    const auto it = std::find_if(ports.begin(), ports.end(), [&](const auto &p) { return p.id == m_id; });
    if (it == ports.end())
        return;
    VirtualPortConfig changed = *it;
    change(changed);
    if (changed == *it)
        return;
    const Uuid id = m_id;
    m_state.mutateProject([&](TOVProject &p) {
        for (auto &port : p.virtualPorts)
            if (port.id == id)
                port = changed;
    });
}

void VirtualPortRow::setPort(const VirtualPortConfig &port, PortNameProblem problem)
{
    syncText(m_name, toQString(port.name));
    syncChecked(m_out, port.createsSource);
    syncChecked(m_in, port.createsDestination);
    QString reason;
    if (problem == PortNameProblem::empty)
        reason = QStringLiteral("Nom requis");
    else if (problem == PortNameProblem::duplicate)
        reason = QStringLiteral("Nom déjà utilisé");
    markInvalid(m_name, reason);
    m_problem->setText(reason);
    m_problem->setVisible(!reason.isEmpty());
}

MissingDeviceRow::MissingDeviceRow(AppState &state, QWidget *parent)
    : QWidget(parent), m_state(state), m_name(new QLabel(this)),
      m_forget(makeTrashButton(QStringLiteral("Ne plus surveiller cet intervenant"), this))
{
    auto *icon = new QLabel(this);
    icon->setPixmap(Theme::iconPixmap(QStringLiteral("unplug"), Theme::systemRed(), 16, devicePixelRatioF()));
    auto *status = new QLabel(QStringLiteral("DÉCONNECTÉ"), this);
    QFont statusFont = Theme::font(Theme::TextStyle::caption2);
    statusFont.setBold(true);
    status->setFont(statusFont);
    setTextColor(status, Theme::systemRed());

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(10);
    row->addWidget(icon);
    row->addWidget(m_name);
    row->addStretch(1);
    row->addWidget(status);
    row->addWidget(m_forget);

    connect(m_forget, &QPushButton::clicked, this, [this] { m_state.removeDevice(m_key); });
}

void MissingDeviceRow::setKey(const EndpointKey &key)
{
    m_key = key;
    m_name->setText(toQString(m_state.displayName(key)));
}

} // namespace korvane
