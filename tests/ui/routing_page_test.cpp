#include "pages_fixture.h"

#include "ui/pages/channel_mask_view.h"
#include "ui/pages/patch_matrix_model.h"
#include "ui/pages/patch_matrix_view.h"
#include "ui/pages/route_card.h"
#include "ui/theme/focus_ring.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>

namespace korvane::test {
namespace {

class RoutingPageTest : public PagesTest {
protected:
    PatchMatrixView *matrix() const { return routing()->matrix(); }
    QStringList headers(Qt::Orientation orientation) const
    {
        QStringList names;
        const int count =
            orientation == Qt::Horizontal ? matrix()->model()->columnCount() : matrix()->model()->rowCount();
        for (int i = 0; i < count; ++i)
            names << matrix()->model()->headerData(i, orientation, Qt::DisplayRole).toString();
        return names;
    }
    void clickCell(int row, int column)
    {
        const QModelIndex cell = matrix()->model()->index(row, column);
        QTest::mouseClick(matrix()->viewport(), Qt::LeftButton, {}, matrix()->visualRect(cell).center());
        settle();
    }
    RouteCard *onlyCard()
    {
        settle();
        const auto cards = routing()->cards();
        EXPECT_EQ(cards.size(), 1);
        return cards.isEmpty() ? nullptr : cards.constFirst();
    }
    static void pick(QToolButton *menuButton, const QString &text)
    {
        QMenu *menu = menuButton->menu();
        emit menu->aboutToShow();
        for (QAction *action : menu->actions())
            if (action->text() == text)
                return action->trigger();
        ADD_FAILURE() << "no menu entry " << text.toStdString();
    }
};

TEST_F(RoutingPageTest, EmptyStateThenMatrixTogglesLiveRoutesByClickAndKeyboard)
{
    // No endpoints at all: the texts say what to do; the add menu is empty.
    state->stopEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->availableSourceKeys().empty(); }));
    settle();
    EXPECT_TRUE(routing()->matrixEmptyText()->isVisible());
    EXPECT_FALSE(matrix()->isVisible());
    EXPECT_EQ(routing()->routesTitle()->text(), "Routes (0)");
    emit routing()->addRouteButton()->menu()->aboutToShow();
    EXPECT_TRUE(routing()->addRouteButton()->menu()->actions().isEmpty());

    state->startEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->engine().destinations().size() == 2; }));
    startListener("Salle");
    ASSERT_TRUE(QTest::qWaitFor([&] { return matrix()->model()->rowCount() == 3; }));
    EXPECT_FALSE(routing()->matrixEmptyText()->isVisible());
    EXPECT_EQ(headers(Qt::Vertical), (QStringList{"A", "B", "Salle"}));
    EXPECT_EQ(headers(Qt::Horizontal), (QStringList{"X", "Y", "Salle"}));
    const auto tip = [&](int r, int c) {
        return matrix()->model()->index(r, c).data(Qt::ToolTipRole).toString();
    };
    EXPECT_EQ(QStringList({tip(0, 0), tip(1, 2), tip(2, 0), tip(2, 2)}),
              (QStringList{"A \u2192 X", "B \u2192 Salle", "Salle \u2192 X", "Boucle interdite"}));
    EXPECT_FALSE(matrix()->model()->flags(matrix()->model()->index(2, 2)) & Qt::ItemIsEnabled);
    clickCell(2, 2);
    EXPECT_TRUE(state->project().routes.empty()) << "the loop cell does nothing";

    // A click creates the direct route, live after one pass.
    clickCell(0, 0);
    ASSERT_EQ(state->project().routes.size(), 1u);
    const Route &made = state->project().routes[0];
    EXPECT_EQ(
        std::tuple(made.name, made.destinations, made.channelMask, made.filterChainID),
        std::tuple("A \u2192 X", std::vector{key("X", 201)}, std::uint16_t(0xFFFF), std::optional<Uuid>()));
    EXPECT_TRUE(matrix()->model()->index(0, 0).data(PatchMatrixModel::ConnectedRole).toBool());
    EXPECT_EQ(playAt(a, {0x90, 60, 100}), (Deliveries{{x, false, {0x90, 60, 100}}}));
    clickCell(0, 0);
    EXPECT_TRUE(state->project().routes.empty());
    EXPECT_TRUE(playAt(a, {0x90, 60, 100}).empty());

    // Keyboard: arrows move, Space toggles the focused cell.
    matrix()->setFocus();
    matrix()->setCurrentIndex(matrix()->model()->index(0, 0));
    QTest::keyClick(matrix(), Qt::Key_Down);
    QTest::keyClick(matrix(), Qt::Key_Right);
    QTest::keyClick(matrix(), Qt::Key_Space);
    settle();
    ASSERT_EQ(state->project().routes.size(), 1u);
    EXPECT_EQ(state->project().routes[0].name, "B \u2192 Y");
    EXPECT_EQ(playAt(b, {0x80, 0, 0}), (Deliveries{{y, false, {0x80, 0, 0}}}));
    QTest::keyClick(matrix(), Qt::Key_Space);
    settle();
    EXPECT_TRUE(state->project().routes.empty());
}

TEST_F(RoutingPageTest, CardEditsReachTheProjectAndLiveTraffic)
{
    state->toggleMatrix(key("A", 101), key("X", 201));
    RouteCard *card = onlyCard();
    ASSERT_TRUE(card);
    ChannelMaskView *mask = card->channelMask();

    // First and last channel, masked and let through again, live.
    const std::tuple<int, std::uint16_t, std::uint8_t, std::uint8_t> channels[] = {{1, 0xFFFE, 0x90, 0x9F},
                                                                                   {16, 0x7FFF, 0x9F, 0x90}};
    for (const auto &[channel, expected, blocked, passing] : channels) {
        QTest::mouseClick(mask->channelButton(channel), Qt::LeftButton);
        settle();
        EXPECT_EQ(state->project().routes[0].channelMask, expected);
        EXPECT_FALSE(mask->channelButton(channel)->isChecked());
        EXPECT_EQ(mask->allOrNoneButton()->text(), "Tous");
        EXPECT_TRUE(playAt(a, {blocked, 127, 127}).empty()) << channel;
        EXPECT_EQ(playAt(a, {passing, 0, 0}).size(), 1u) << channel;
        QTest::mouseClick(mask->channelButton(channel), Qt::LeftButton);
        settle();
    }
    EXPECT_EQ(state->project().routes[0].channelMask, 0xFFFF);
    QTest::mouseClick(mask->allOrNoneButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes[0].channelMask, 0);
    EXPECT_EQ(mask->allOrNoneButton()->text(), "Tous");
    EXPECT_TRUE(playAt(a, {0x90, 60, 1}).empty());
    EXPECT_EQ(playAt(a, {0xF8}).size(), 1u) << "a message without channel passes any mask";
    QTest::mouseClick(mask->allOrNoneButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes[0].channelMask, 0xFFFF);
    EXPECT_EQ(mask->allOrNoneButton()->text(), "Aucun");

    // Destinations: the same endpoint once, chips removable by index.
    EXPECT_EQ(card->destinationChips()->items(), QStringList{"X"});
    pick(card->addDestinationButton(), "X");
    pick(card->addDestinationButton(), "Y");
    pick(card->addDestinationButton(), "Y");
    settle();
    EXPECT_EQ(card->destinationChips()->items(), (QStringList{"X", "Y"}));
    QTest::mouseClick(card->destinationChips()->removeButton(0), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes[0].destinations, std::vector<EndpointKey>{key("Y", 202)});

    // Filter: a chain by id, "Aucun" as no id at all.
    state->mutateProject([](TOVProject &p) { p.filterChains.push_back(FilterChain("Octave")); });
    settle();
    choose(card->filterPicker(), "Octave");
    EXPECT_EQ(state->project().routes[0].filterChainID, state->project().filterChains[0].id);
    choose(card->filterPicker(), "Aucun");
    EXPECT_EQ(state->project().routes[0].filterChainID, std::nullopt);

    // Name, switch and source.
    card->nameField()->setFocus();
    card->nameField()->selectAll();
    QTest::keyClicks(card->nameField(), "Pads");
    QTest::mouseClick(card->enabledSwitch(), Qt::LeftButton, {}, card->enabledSwitch()->trackRect().center());
    choose(card->sourcePicker(), "B");
    settle();
    const Route &route = state->project().routes[0];
    EXPECT_EQ(std::tuple(route.name, route.enabled, route.source), std::tuple("Pads", false, key("B", 102)));
    EXPECT_EQ(card->nameField()->text(), "Pads");

    // Deleting from the card's own button: the card goes on a later pass.
    QPointer<RouteCard> guard(card);
    QTest::mouseClick(card->deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_TRUE(state->project().routes.empty());
    EXPECT_TRUE(guard.isNull());
    EXPECT_EQ(routing()->routesTitle()->text(), "Routes (0)");

    // The add menu appends a fresh route for the chosen input.
    pick(routing()->addRouteButton(), "A");
    ASSERT_EQ(state->project().routes.size(), 1u);
    const Route &added = state->project().routes[0];
    EXPECT_EQ(std::tuple(added.name, added.source, added.destinations.size(), added.channelMask),
              std::tuple("Nouvelle route", key("A", 101), 0u, std::uint16_t(0xFFFF)));
    EXPECT_EQ(onlyCard()->destinationChips()->items(), QStringList());
}

TEST_F(RoutingPageTest, TabGoesFromTheSidebarThroughTheMatrixToTheCardsWithAVisibleRing)
{
    state->toggleMatrix(key("A", 101), key("X", 201));
    RouteCard *card = onlyCard();
    ASSERT_TRUE(card && QTest::qWaitFor([&] { return card->isVisible(); }));
    window->sidebar()->setFocus(Qt::TabFocusReason);
    QWidgetList visited{QApplication::focusWidget()};
    while (visited.size() < 40 && !card->isAncestorOf(visited.last())) {
        press(Qt::Key_Tab, Qt::NoModifier);
        visited << QApplication::focusWidget();
        if (visited.last() == matrix()) {
            // The arrows move inside the matrix.
            press(Qt::Key_Down, Qt::NoModifier);
            press(Qt::Key_Right, Qt::NoModifier);
            EXPECT_EQ(matrix()->currentIndex(), matrix()->model()->index(1, 1));
        }
    }
    ASSERT_TRUE(card->isAncestorOf(visited.last()));
    EXPECT_EQ(visited.count(matrix()), 1);
    ASSERT_NE(FocusRing::shown(), nullptr);
    EXPECT_EQ(FocusRing::shown()->target(), visited.last());
    EXPECT_TRUE(FocusRing::shown()->geometry().contains(visited.last()->geometry()));
}

TEST_F(RoutingPageTest, ADeletedRouteComesBackInItsPlaceWithAnnuler)
{
    state->toggleMatrix(key("A", 101), key("X", 201));
    state->toggleMatrix(key("B", 102), key("Y", 202));
    settle();
    const std::vector<Route> before = state->project().routes;
    QTest::mouseClick(routing()->cards()[0]->deleteButton(), Qt::LeftButton);
    settle();
    ASSERT_EQ(state->project().routes.size(), 1u);
    EXPECT_TRUE(routing()->undoBar()->isVisible());
    EXPECT_EQ(routing()->undoText()->text(), "Route « A \u2192 X » supprimée.");
    QTest::mouseClick(routing()->undoButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes, before);
    EXPECT_FALSE(routing()->undoBar()->isVisible());
}

TEST_F(RoutingPageTest, AbsentSourcesAndChainsAreShownEmptyAndKeptAsStored)
{
    const FilterChain chain("Octave");
    state->toggleMatrix(key("A", 101), key("X", 201));
    state->mutateProject([&](TOVProject &p) {
        p.filterChains.push_back(chain);
        p.routes[0].filterChainID = chain.id;
    });
    makeClean();
    RouteCard *card = onlyCard();
    ASSERT_TRUE(card);

    midi->removeEndpoint(a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->engine().sources().size() == 1; }));
    state->mutateProject([](TOVProject &p) { p.filterChains.clear(); }); // as the filters page does
    for (int i = 0; i < 3; ++i) {
        state->mutateProject([](TOVProject &p) { p.notes += "."; });
        settle();
    }
    const Route &route = state->project().routes[0];
    EXPECT_EQ(std::pair(route.source, route.filterChainID),
              std::pair(key("A", 101), std::optional(chain.id)));
    EXPECT_EQ(std::tuple(card->sourcePicker()->currentIndex(), card->sourcePicker()->placeholderText(),
                         card->filterPicker()->currentIndex()),
              std::tuple(-1, QString("A"), -1));
    // A stays in the matrix, marked absent, with its route; its empty cells take no click.
    auto *model = matrix()->model();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_TRUE(model->headerData(1, Qt::Vertical, PatchMatrixModel::AbsentRole).toBool());
    EXPECT_TRUE(model->index(1, 0).data(PatchMatrixModel::ConnectedRole).toBool());
    QTest::mouseClick(matrix()->viewport(), Qt::LeftButton, {},
                      matrix()->visualRect(model->index(1, 1)).center());
    EXPECT_EQ(state->project().routes.size(), 1u);

    // Browsing the pages writes nothing.
    makeClean();
    for (SidebarItem page : {SidebarItem::filters, SidebarItem::devices, SidebarItem::routing,
                             SidebarItem::settings, SidebarItem::routing})
        showPage(page);
    EXPECT_FALSE(state->dirty());
}

TEST_F(RoutingPageTest, ActivityLightsFlashForRoutedMessagesOnly)
{
    state->toggleMatrix(key("A", 101), key("X", 201));
    state->toggleMatrix(key("B", 102), key("Y", 202));
    settle();
    const auto cards = routing()->cards();
    ASSERT_EQ(cards.size(), 2);
    const auto cardLit = [&](int i) { return near(centreColour(cards[i]->activityLight()), Theme::ok()); };
    const auto cellLit = [&](int i) {
        const QModelIndex cell = matrix()->model()->index(i, i);
        return near(centreColour(matrix()->viewport(), matrix()->visualRect(cell).center()), Theme::ok());
    };
    const auto lit = [&](int i) { return cardLit(i) && cellLit(i); };
    const auto dark = [&](int i) { return !cardLit(i) && !cellLit(i); };
    EXPECT_TRUE(dark(0));

    midi->inject(a, {0x90, 60, 100});
    ASSERT_TRUE(QTest::qWaitFor([&] { return cardLit(0); }, 1000));
    EXPECT_TRUE(lit(0));
    EXPECT_TRUE(dark(1)) << "only the route that carried it";
    EXPECT_TRUE(QTest::qWaitFor([&] { return dark(0); }, 1000)) << "the flash ends by itself";

    // A message the mask stops lights nothing.
    state->mutateProject([](TOVProject &p) { p.routes[0].channelMask = 0; });
    settle();
    midi->inject(a, {0x90, 60, 100});
    QTest::qWait(250);
    EXPECT_TRUE(dark(0));
}

} // namespace
} // namespace korvane::test
