#include "pages_fixture.h"

#include "ui/pages/channel_mask_view.h"
#include "ui/pages/patch_matrix_model.h"
#include "ui/pages/patch_matrix_view.h"
#include "ui/pages/route_card.h"

#include <QPointer>
#include <QPushButton>

namespace korvane::test {
namespace {

class RoutingPageTest : public PagesTest {
protected:
    PatchMatrixView *matrix() const { return routing()->matrix(); }
    void clickCell(int row, int column)
    {
        const QModelIndex cell = matrix()->model()->index(row, column);
        QTest::mouseClick(matrix()->viewport(), Qt::LeftButton, {}, matrix()->visualRect(cell).center());
        settle();
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

TEST_F(RoutingPageTest, MatrixTogglesLiveRoutesByClickAndKeyboard)
{
    // No endpoints at all: the matrix gives way to its empty text.
    state->stopEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->availableSourceKeys().empty(); }));
    settle();
    EXPECT_TRUE(routing()->matrixEmptyText()->isVisible());
    EXPECT_FALSE(matrix()->isVisible());

    state->startEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->engine().destinations().size() == 2; }));
    startListener("Salle");
    // The session joins both axes.
    ASSERT_TRUE(QTest::qWaitFor([&] { return matrix()->model()->rowCount() == 3; }));
    ASSERT_EQ(matrix()->model()->columnCount(), 3);
    EXPECT_FALSE(matrix()->model()->flags(matrix()->model()->index(2, 2)) & Qt::ItemIsEnabled);
    clickCell(2, 2);
    EXPECT_TRUE(state->project().routes.empty()) << "the loop cell does nothing";

    // A click creates the direct route, live after one pass.
    clickCell(0, 0);
    ASSERT_EQ(state->project().routes.size(), 1u);
    const Route &made = state->project().routes[0];
    EXPECT_EQ(std::tuple(made.destinations, made.channelMask, made.filterChainID),
              std::tuple(std::vector{key("X", 201)}, std::uint16_t(0xFFFF), std::optional<Uuid>()));
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
    EXPECT_EQ(playAt(b, {0x80, 0, 0}), (Deliveries{{y, false, {0x80, 0, 0}}}));
}

TEST_F(RoutingPageTest, CardEditsReachTheProjectAndLiveTrafficAndAbsentPartsAreKept)
{
    state->toggleMatrix(key("A", 101), key("X", 201));
    settle();
    ASSERT_EQ(routing()->cards().size(), 1);
    RouteCard *card = routing()->cards().constFirst();
    ChannelMaskView *mask = card->channelMask();

    // First and last channel, masked and let through again, live.
    const std::tuple<int, std::uint16_t, std::uint8_t, std::uint8_t> channels[] = {{1, 0xFFFE, 0x90, 0x9F},
                                                                                   {16, 0x7FFF, 0x9F, 0x90}};
    for (const auto &[channel, expected, blocked, passing] : channels) {
        QTest::mouseClick(mask->channelButton(channel), Qt::LeftButton);
        settle();
        EXPECT_EQ(state->project().routes[0].channelMask, expected);
        EXPECT_TRUE(playAt(a, {blocked, 127, 127}).empty()) << channel;
        EXPECT_EQ(playAt(a, {passing, 0, 0}).size(), 1u) << channel;
        QTest::mouseClick(mask->channelButton(channel), Qt::LeftButton);
        settle();
    }
    EXPECT_EQ(state->project().routes[0].channelMask, 0xFFFF);
    QTest::mouseClick(mask->allOrNoneButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes[0].channelMask, 0);
    EXPECT_TRUE(playAt(a, {0x90, 60, 1}).empty());

    // Destinations: the same endpoint once, chips removable by index.
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

    // Its source unplugged and its chain deleted (as the filters page does):
    // both shown empty, both kept as stored.
    choose(card->filterPicker(), "Octave");
    const Uuid chain = state->project().filterChains[0].id;
    makeClean();
    midi->removeEndpoint(a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->engine().sources().size() == 1; }));
    state->mutateProject([](TOVProject &p) { p.filterChains.clear(); });
    settle();
    const Route &route = state->project().routes[0];
    EXPECT_EQ(std::pair(route.source, route.filterChainID), std::pair(key("A", 101), std::optional(chain)));
    EXPECT_EQ(std::tuple(card->sourcePicker()->currentIndex(), card->sourcePicker()->placeholderText(),
                         card->filterPicker()->currentIndex()),
              std::tuple(-1, QString("A"), -1));
    // A stays in the matrix, marked absent, with its route; its empty cells take no click.
    auto *model = matrix()->model();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_TRUE(model->headerData(1, Qt::Vertical, PatchMatrixModel::AbsentRole).toBool());
    EXPECT_TRUE(model->index(1, 1).data(PatchMatrixModel::ConnectedRole).toBool());
    clickCell(1, 0);
    EXPECT_EQ(state->project().routes.size(), 1u);
    // Showing the page again writes nothing.
    makeClean();
    showPage(SidebarItem::filters);
    showPage(SidebarItem::routing);
    EXPECT_FALSE(state->dirty());

    // Deleting from the card's own button: the card goes on a later pass;
    // "Annuler" brings the route back as it was.
    const std::vector<Route> before = state->project().routes;
    QPointer<RouteCard> guard(card);
    QTest::mouseClick(card->deleteButton(), Qt::LeftButton);
    settle();
    EXPECT_TRUE(state->project().routes.empty());
    EXPECT_TRUE(guard.isNull());
    QTest::mouseClick(routing()->undoButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(state->project().routes, before);
    EXPECT_FALSE(routing()->undoBar()->isVisible());
    state->mutateProject([](TOVProject &p) { p.routes.clear(); });

    // The add menu appends a route for the chosen input.
    pick(routing()->addRouteButton(), "B");
    ASSERT_EQ(state->project().routes.size(), 1u);
    EXPECT_EQ(state->project().routes[0].source, key("B", 102));
}

} // namespace
} // namespace korvane::test
