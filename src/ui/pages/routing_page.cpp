#include "ui/pages/routing_page.h"

#include "app/app_state.h"
#include "midi/midi_engine.h"
#include "midi/midi_router.h"
#include "model/text.h"
#include "net/rtp_manager.h"
#include "ui/pages/binding.h"
#include "ui/pages/page_controls.h"
#include "ui/pages/page_scaffold.h"
#include "ui/pages/patch_matrix_model.h"
#include "ui/pages/patch_matrix_view.h"
#include "ui/pages/route_activity.h"
#include "ui/pages/route_card.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane {

namespace {

QLabel *dimmedText(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setContentsMargins(0, 8, 0, 8);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Theme::tertiaryText());
    label->setPalette(p);
    return label;
}

} // namespace

RoutingPage::RoutingPage(AppState &state, QWidget *parent) : QWidget(parent), m_state(state)
{
    m_activity = new RouteActivity(m_state.router(), this);

    const PageScaffold frame(
        this, PageScaffold::Body::scrolled,
        {QStringLiteral("02"), QStringLiteral("Routage"), QStringLiteral("Routage MIDI"),
         QStringLiteral(
             "Matrice de patch (entrée → sortie). Clique une case pour créer/supprimer une liaison "
             "directe (tous canaux). Édite les détails ci-dessous.")},
        16);
    QWidget *content = frame.content();
    QVBoxLayout *column = frame.column();

    auto *matrixCard = new TOVCard(content);
    m_model = new PatchMatrixModel(
        m_state, [this](const Uuid &id) { return m_activity->isActive(id); }, this);
    m_matrix = new PatchMatrixView(m_model, matrixCard);
    m_matrixEmpty =
        dimmedText(QStringLiteral("Branche au moins une entrée et une sortie pour patcher."), matrixCard);
    matrixCard->contentLayout()->addWidget(m_matrix);
    matrixCard->contentLayout()->addWidget(m_matrixEmpty);
    column->addWidget(matrixCard);

    auto *titleRow = new QHBoxLayout;
    m_routesTitle = new QLabel(content);
    m_routesTitle->setFont(Theme::font(Theme::TextStyle::headline));
    m_addRoute = new QToolButton(content);
    m_addRoute->setText(QStringLiteral("Ajouter une route"));
    m_addRoute->setIcon(Theme::icon(QStringLiteral("plus"), Theme::textPrimary(), 16));
    m_addRoute->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_addRoute->setPopupMode(QToolButton::InstantPopup);
    m_addRoute->setCursor(Qt::PointingHandCursor);
    m_addRoute->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    auto *menu = new QMenu(m_addRoute);
    m_addRoute->setMenu(menu);
    connect(menu, &QMenu::aboutToShow, this, [this] { fillAddRouteMenu(); });
    titleRow->addWidget(m_routesTitle);
    titleRow->addStretch(1);
    titleRow->addWidget(m_addRoute);
    column->addLayout(titleRow);

    m_undoBar = new QFrame(content);
    m_undoBar->setObjectName(QStringLiteral("undoBar"));
    m_undoBar->setStyleSheet(QStringLiteral("QFrame#undoBar { background: %1; border: 1px solid %2; "
                                            "border-radius: 8px; }")
                                 .arg(Theme::surface().lighter(140).name(), Theme::accent().name()));
    m_undoText = new QLabel(m_undoBar);
    m_undoButton = makePlainButton(QStringLiteral("Annuler"), {}, m_undoBar);
    auto *undoRow = new QHBoxLayout(m_undoBar);
    undoRow->setContentsMargins(12, 6, 8, 6);
    undoRow->addWidget(m_undoText, 1);
    undoRow->addWidget(m_undoButton);
    m_undoBar->hide();
    column->addWidget(m_undoBar);
    m_undoExpiry = new QTimer(this);
    m_undoExpiry->setSingleShot(true);
    m_undoExpiry->setInterval(std::chrono::seconds(30));
    connect(m_undoExpiry, &QTimer::timeout, this, [this] {
        m_undoable.reset();
        m_undoBar->hide();
    });
    connect(m_undoButton, &QPushButton::clicked, this, [this] { undoDeletion(); });
    auto *undo = new QAction(this);
    undo->setShortcut(QKeySequence::Undo);
    undo->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(undo, &QAction::triggered, this, [this] { undoDeletion(); });
    addAction(undo);
    m_routesEmpty =
        dimmedText(QStringLiteral("Aucune route. Utilise la matrice ou « Ajouter une route »."), content);
    column->addWidget(m_routesEmpty);
    m_cardColumn = new QVBoxLayout;
    m_cardColumn->setSpacing(12);
    column->addLayout(m_cardColumn);
    column->addStretch(1);

    const auto schedule = [this] { m_refresh.schedule(); };
    connect(&m_state, &AppState::projectChanged, this, schedule);
    connect(&m_state.engine(), &MIDIEngine::sourcesChanged, this, schedule);
    connect(&m_state.engine(), &MIDIEngine::destinationsChanged, this, schedule);
    connect(&m_state.engine(), &MIDIEngine::runningChanged, this, schedule);
    // Sessions start and stop with these.
    connect(&m_state.rtp(), &RTPManager::statusBySessionChanged, this, schedule);
    connect(&m_state.rtp(), &RTPManager::peersBySessionChanged, this, schedule);
    connect(m_activity, &RouteActivity::activityChanged, this, [this] { refreshActivity(); });
    refresh();
}

void RoutingPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    m_activity->start();
}

void RoutingPage::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_activity->stop();
}

QList<RouteCard *> RoutingPage::cards() const
{
    QList<RouteCard *> ordered;
    for (const Route &route : m_state.project().routes)
        if (RouteCard *c = card(route.id); c && !ordered.contains(c))
            ordered << c;
    return ordered;
}

RouteCard *RoutingPage::card(const Uuid &routeID) const
{
    auto it = m_cards.find(routeID);
    return it == m_cards.end() ? nullptr : it->second;
}

void RoutingPage::refresh()
{
    m_model->refresh();
    const bool empty = m_model->rowCount() == 0 || m_model->columnCount() == 0;
    m_matrix->setVisible(!empty);
    m_matrixEmpty->setVisible(empty);
    m_matrix->fitHeight();

    const auto &routes = m_state.project().routes;
    binding::setText(m_routesTitle, QStringLiteral("Routes (%1)").arg(routes.size()));
    m_routesEmpty->setVisible(routes.empty());

    // Cards keyed by route id: kept and updated, created, or let go.
    std::map<Uuid, RouteCard *> kept;
    for (const Route &route : routes) {
        if (kept.count(route.id))
            continue; // a duplicated id edits the first route holding it
        auto it = m_cards.find(route.id);
        RouteCard *c = it != m_cards.end() ? it->second : nullptr;
        if (it != m_cards.end()) {
            m_cards.erase(it);
        } else {
            c = new RouteCard(m_state, route.id);
            connect(c, &RouteCard::deleted, this, &RoutingPage::offerUndo);
        }
        kept[route.id] = c;
    }
    for (auto &[id, stale] : m_cards) {
        m_cardColumn->removeWidget(stale);
        stale->hide();
        stale->deleteLater();
    }
    m_cards = std::move(kept);

    const auto inputs = m_model->presentInputs();
    const auto outputs = m_model->presentOutputs();
    int position = 0;
    for (RouteCard *c : cards()) {
        if (m_cardColumn->indexOf(c) != position) {
            m_cardColumn->removeWidget(c);
            m_cardColumn->insertWidget(position, c);
        }
        ++position;
        c->refresh(inputs, outputs);
        c->setActive(m_activity->isActive(c->routeID()));
    }
}

void RoutingPage::refreshActivity()
{
    m_model->refreshActivity();
    for (auto &[id, c] : m_cards)
        c->setActive(m_activity->isActive(id));
}

void RoutingPage::offerUndo(const Route &route, int index)
{
    m_undoable.emplace(route, index);
    m_undoText->setText(QStringLiteral("Route « %1 » supprimée.").arg(toQString(route.name)));
    m_undoBar->show();
    m_undoExpiry->start();
}

void RoutingPage::undoDeletion()
{
    if (!m_undoable)
        return;
    const auto [route, index] = std::move(*m_undoable);
    m_undoable.reset();
    m_undoExpiry->stop();
    m_undoBar->hide();
    m_state.mutateProject([&](TOVProject &p) {
        for (const Route &r : p.routes)
            if (r.id == route.id)
                return;
        p.routes.insert(p.routes.begin() + std::min<long>(index, static_cast<long>(p.routes.size())), route);
    });
}

void RoutingPage::fillAddRouteMenu()
{
    QMenu *menu = m_addRoute->menu();
    menu->clear();
    for (const EndpointKey &key : m_state.availableSourceKeys()) {
        QAction *action = menu->addAction(toQString(m_state.displayName(key)));
        connect(action, &QAction::triggered, this, [this, key] {
            m_state.mutateProject([&key](TOVProject &p) {
                Route route(key);
                route.name = "Nouvelle route";
                p.routes.push_back(std::move(route));
            });
        });
    }
}

} // namespace korvane
