#include "ui/pages/route_card.h"

#include "app/app_state.h"
#include "midi/midi_router.h"
#include "model/text.h"
#include "ui/pages/binding.h"
#include "ui/pages/channel_mask_view.h"
#include "ui/pages/flow_layout.h"
#include "ui/pages/page_controls.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>

namespace korvane {

namespace {

QColor idleLight()
{
    QColor c = Theme::textPrimary();
    c.setAlphaF(0.15f);
    return c;
}

// Items replaced only when the offered texts change, so an open popup or
// the current index is not disturbed by an unrelated refresh.
void setItems(QComboBox *combo, const QStringList &texts)
{
    QStringList current;
    for (int i = 0; i < combo->count(); ++i)
        current << combo->itemText(i);
    if (current == texts)
        return;
    const QSignalBlocker block(combo);
    combo->clear();
    combo->addItems(texts);
}

void select(QComboBox *combo, int index, const QString &placeholder)
{
    const QSignalBlocker block(combo);
    if (combo->placeholderText() != placeholder)
        combo->setPlaceholderText(placeholder);
    if (combo->currentIndex() != index)
        combo->setCurrentIndex(index);
}

} // namespace

FlowChips::FlowChips(QWidget *parent) : QWidget(parent)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    auto *row = new FlowLayout(this, 6);
    m_empty = new QLabel(QStringLiteral("Aucune destination"), this);
    m_empty->setFont(Theme::font(Theme::TextStyle::caption));
    QPalette p = m_empty->palette();
    p.setColor(QPalette::WindowText, Theme::tertiaryText());
    m_empty->setPalette(p);
    row->addWidget(m_empty);
}

void FlowChips::setItems(const QStringList &items)
{
    if (items == m_items && !m_chips.empty() == !items.isEmpty())
        return;
    m_items = items;
    for (QWidget *chip : m_chips) {
        layout()->removeWidget(chip);
        chip->hide();
        chip->deleteLater();
    }
    m_chips.clear();
    m_empty->setVisible(items.isEmpty());
    QColor tint = Theme::accent();
    tint.setAlphaF(0.18f);
    for (int i = 0; i < items.size(); ++i) {
        auto *chip = new QFrame(this);
        chip->setObjectName(QStringLiteral("chip"));
        chip->setStyleSheet(
            QStringLiteral("QFrame#chip { background: rgba(%1, %2, %3, %4); border-radius: 9px; }")
                .arg(tint.red())
                .arg(tint.green())
                .arg(tint.blue())
                .arg(tint.alpha()));
        auto *chipRow = new QHBoxLayout(chip);
        chipRow->setContentsMargins(8, 2, 4, 2);
        chipRow->setSpacing(4);
        auto *text = new QLabel(items[i], chip);
        text->setFont(Theme::font(Theme::TextStyle::caption));
        auto *remove = new QToolButton(chip);
        remove->setObjectName(QStringLiteral("remove"));
        remove->setIcon(Theme::icon(QStringLiteral("circle-x"), Theme::secondaryText(), 14));
        remove->setIconSize(QSize(14, 14));
        remove->setAutoRaise(true);
        remove->setCursor(Qt::PointingHandCursor);
        remove->setAccessibleName(QStringLiteral("Retirer %1").arg(items[i]));
        connect(remove, &QToolButton::clicked, this, [this, i] {
            // Indexes hold until the project's new list is shown: one removal per showing.
            for (QWidget *other : m_chips)
                if (auto *button = other->findChild<QToolButton *>(QStringLiteral("remove")))
                    button->setEnabled(false);
            emit removeRequested(i);
        });
        chipRow->addWidget(text);
        chipRow->addWidget(remove);
        layout()->addWidget(chip);
        m_chips.push_back(chip);
    }
}

QToolButton *FlowChips::removeButton(int index) const
{
    if (index < 0 || index >= static_cast<int>(m_chips.size()))
        return nullptr;
    return m_chips[index]->findChild<QToolButton *>(QStringLiteral("remove"));
}

RouteCard::RouteCard(AppState &state, const Uuid &routeID, QWidget *parent)
    : TOVCard(parent), m_state(state), m_id(routeID)
{
    m_light = new StatusDot(10, this);
    m_light->setColor(idleLight());
    m_light->setToolTip(QStringLiteral("Activité"));
    m_enabled = new ToggleSwitch(QString(), this);
    m_enabled->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_enabled->setAccessibleName(QStringLiteral("Route active"));
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("Nom de la route"));
    m_delete = new QToolButton(this);
    m_delete->setIcon(Theme::icon(QStringLiteral("trash-2"), Theme::systemRed(), 16));
    m_delete->setAutoRaise(true);
    m_delete->setCursor(Qt::PointingHandCursor);
    m_delete->setAccessibleName(QStringLiteral("Supprimer la route"));
    auto *top = new QHBoxLayout;
    top->setSpacing(10);
    top->addWidget(m_light);
    top->addWidget(m_enabled);
    top->addWidget(m_name, 1);
    top->addWidget(m_delete);
    contentLayout()->addLayout(top);

    m_source = new QComboBox(this);
    m_filter = new QComboBox(this);
    for (QComboBox *combo : {m_source, m_filter}) {
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        combo->setMinimumContentsLength(14);
    }
    m_chips = new FlowChips(this);
    m_addDestination = new QToolButton(this);
    m_addDestination->setText(QStringLiteral("Ajouter une destination"));
    m_addDestination->setIcon(Theme::icon(QStringLiteral("circle-plus"), Theme::accent(), 14));
    m_addDestination->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_addDestination->setPopupMode(QToolButton::InstantPopup);
    m_addDestination->setAutoRaise(true);
    m_addDestination->setCursor(Qt::PointingHandCursor);
    m_addDestination->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    auto *menu = new QMenu(m_addDestination);
    m_addDestination->setMenu(menu);
    connect(menu, &QMenu::aboutToShow, this, [this] { fillDestinationMenu(); });
    auto *destinations = new QHBoxLayout;
    destinations->setSpacing(8);
    destinations->addWidget(m_chips, 1);
    destinations->addWidget(m_addDestination);
    m_mask = new ChannelMaskView(
        [this](std::uint16_t mask) { edit([mask](Route &r) { r.channelMask = mask; }); }, this);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    grid->addWidget(makeCaption(QStringLiteral("Source"), this, false), 0, 0);
    grid->addWidget(m_source, 0, 1);
    grid->addWidget(makeCaption(QStringLiteral("Filtre"), this, false), 0, 2);
    grid->addWidget(m_filter, 0, 3);
    grid->addWidget(makeCaption(QStringLiteral("Destinations"), this, false), 1, 0);
    grid->addLayout(destinations, 1, 1, 1, 3);
    grid->addWidget(makeCaption(QStringLiteral("Canaux"), this, false), 2, 0);
    grid->addWidget(m_mask, 2, 1, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    contentLayout()->addLayout(grid);

    connect(m_enabled, &QAbstractButton::toggled, this,
            [this](bool on) { edit([on](Route &r) { r.enabled = on; }); });
    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        edit([&name](Route &r) { r.name = name; });
    });
    connect(m_delete, &QToolButton::clicked, this, [this] {
        const auto &routes = m_state.project().routes;
        const auto it =
            std::find_if(routes.begin(), routes.end(), [this](const Route &r) { return r.id == m_id; });
        if (it == routes.end())
            return;
        const Route removed = *it;
        const int index = static_cast<int>(it - routes.begin());
        const Uuid id = m_id;
        m_state.mutateProject(
            [id](TOVProject &p) { std::erase_if(p.routes, [&](const Route &r) { return r.id == id; }); });
        emit deleted(removed, index);
    });
    connect(m_source, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= static_cast<int>(m_inputs.size()))
            return;
        const EndpointKey key = m_inputs[index];
        edit([&key](Route &r) { r.source = key; });
    });
    connect(m_filter, &QComboBox::activated, this, [this](int index) {
        // Item data holds the chain id; "Aucun" holds none and stores none.
        const auto id = Uuid::fromString(toStd(m_filter->itemData(index).toString()));
        edit([&id](Route &r) { r.filterChainID = id; });
    });
    connect(m_chips, &FlowChips::removeRequested, this, [this](int index) {
        edit([index](Route &r) {
            if (index >= 0 && index < static_cast<int>(r.destinations.size()))
                r.destinations.erase(r.destinations.begin() + index);
        });
    });
}

const Route *RouteCard::route() const
{
    for (const Route &r : m_state.project().routes)
        if (r.id == m_id)
            return &r;
    return nullptr;
}

void RouteCard::edit(const std::function<void(Route &)> &change)
{
    const Route *current = route();
    if (!current)
        return;
    Route changed = *current;
    change(changed);
    if (changed == *current)
        return;
    m_state.mutateProject([&](TOVProject &p) {
        for (Route &r : p.routes)
            if (r.id == m_id)
                r = changed;
    });
}

void RouteCard::refresh(const std::vector<EndpointKey> &inputs, const std::vector<EndpointKey> &outputs)
{
    const Route *r = route();
    if (!r)
        return;
    m_inputs = inputs;
    m_outputs = outputs;
    binding::setChecked(m_enabled, r->enabled);
    binding::setText(m_name, toQString(r->name));
    fillSource(*r);
    fillFilter(*r);
    QStringList names;
    for (const EndpointKey &key : r->destinations)
        names << toQString(m_state.displayName(key));
    m_chips->setItems(names);
    m_mask->setMask(r->channelMask);
}

void RouteCard::fillSource(const Route &r)
{
    QStringList texts;
    int selected = -1;
    for (std::size_t i = 0; i < m_inputs.size(); ++i) {
        texts << toQString(m_state.displayName(m_inputs[i]));
        if (selected < 0 && MIDIRouter::keysMatch(m_inputs[i], r.source))
            selected = static_cast<int>(i);
    }
    setItems(m_source, texts);
    // An absent source is kept as stored and only named, greyed.
    select(m_source, selected, selected < 0 ? toQString(m_state.displayName(r.source)) : QString());
}

void RouteCard::fillFilter(const Route &r)
{
    const auto &chains = m_state.project().filterChains;
    QStringList texts{QStringLiteral("Aucun")};
    for (const FilterChain &chain : chains)
        texts << toQString(chain.name);
    setItems(m_filter, texts);
    m_filter->setItemData(0, QString());
    int selected = -1;
    for (std::size_t i = 0; i < chains.size(); ++i) {
        m_filter->setItemData(static_cast<int>(i) + 1, toQString(chains[i].id.toString()));
        if (selected < 0 && r.filterChainID == chains[i].id)
            selected = static_cast<int>(i) + 1;
    }
    // The all-zero id names no chain: it reads as "Aucun" like an absent one.
    if (!r.filterChainID || r.filterChainID->isNull())
        selected = 0;
    select(m_filter, selected, QString());
}

void RouteCard::fillDestinationMenu()
{
    QMenu *menu = m_addDestination->menu();
    menu->clear();
    for (const EndpointKey &key : m_outputs) {
        QAction *action = menu->addAction(toQString(m_state.displayName(key)));
        connect(action, &QAction::triggered, this, [this, key] {
            edit([&key](Route &r) {
                for (const EndpointKey &d : r.destinations)
                    if (MIDIRouter::keysMatch(d, key))
                        return;
                r.destinations.push_back(key);
            });
        });
    }
}

void RouteCard::setActive(bool active)
{
    m_light->setColor(active ? Theme::ok() : idleLight());
}

} // namespace korvane
