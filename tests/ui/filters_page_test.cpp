#include "pages_fixture.h"

#include "ui/theme/toggle_switch.h"

#include <QLineEdit>
#include <QSlider>
#include <QSpinBox>

namespace korvane::test {
namespace {

class FiltersPageTest : public PagesTest {
protected:
    void SetUp() override
    {
        PagesTest::SetUp();
        // Tall enough that every step of a chain is on screen, where clicks land.
        window->resize(1180, 1500);
        showPage(SidebarItem::filters);
    }
    QStringList chainNames() const
    {
        QStringList names;
        for (const FilterChain &chain : state->project().filterChains)
            names << QString::fromStdString(chain.name);
        return names;
    }
    void selectOnly(int row)
    {
        filters()->chainList()->setCurrentRow(row);
        settle();
    }
    void pressDelete()
    {
        filters()->chainList()->setFocus();
        QTest::keyClick(filters()->chainList(), Qt::Key_Delete);
        settle();
    }
    const FilterStep &storedStep(int i) const { return state->project().filterChains.at(0).steps.at(i); }
    using Range = std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>;
    // A value typed into a stepper and committed, as a user does.
    static void enter(QSpinBox *box, int value)
    {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, QString::number(value));
        QTest::keyClick(box, Qt::Key_Return);
        settle();
    }
};

TEST_F(FiltersPageTest, ChainsAreNumberedSelectedAndDeletedWithAQuestionWhenUsed)
{
    for (int i = 0; i < 3; ++i)
        addChain();
    ASSERT_NE(filters()->editor(), nullptr);
    EXPECT_EQ(filters()->editor()->nameField()->text(), "Filtre 3") << "a new chain is selected";

    // An unused chain goes without a question.
    selectOnly(0);
    pressDelete();
    EXPECT_TRUE(prompts->deletionQuestions.empty());
    addChain();
    EXPECT_EQ(chainNames(), (QStringList{"Filtre 2", "Filtre 3", "Filtre 3"}));

    // A used chain asks; refused it stays, accepted it goes and routes keep its id.
    const Uuid used = state->project().filterChains[0].id;
    state->mutateProject([&](TOVProject &p) {
        for (int i = 0; i < 2; ++i) {
            p.routes.emplace_back(EndpointKey(EndpointKind::physical, "A", 101));
            p.routes.back().filterChainID = used;
        }
    });
    selectOnly(0);
    prompts->deletionAnswers = {false, true};
    pressDelete();
    EXPECT_EQ(chainNames().size(), 3);
    QTest::mouseClick(filters()->deleteChainButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(prompts->deletionQuestions.size(), 2u);
    EXPECT_EQ(chainNames(), (QStringList{"Filtre 3", "Filtre 3"}));
    EXPECT_EQ(state->project().routes[0].filterChainID, used);
    EXPECT_EQ(filters()->editor(), nullptr) << "the placeholder again";
}

TEST_F(FiltersPageTest, StepEditorsWriteOnlyWhatTheUserChanges)
{
    addChain();
    // Transpose: clamped to its range at both ends.
    StepEditor *transpose = addStep("Transpose");
    for (const auto &[typed, stored] : std::vector<std::pair<int, int>>{{48, 48}, {-48, -48}, {-49, -4}}) {
        enter(transpose->stepper(0), typed); // "-49" stops at "-4": the box refuses what it cannot hold
        EXPECT_EQ(storedStep(0).transpose, stored) << typed;
    }
    transpose->stepper(0)->setValue(48);
    transpose->stepper(0)->stepBy(1);
    settle();
    EXPECT_EQ(storedStep(0).transpose, 48);

    StepEditor *velocity = addStep("Vélocité");
    velocity->scaleSlider()->setValue(200);
    enter(velocity->stepper(0), -64);
    EXPECT_EQ(std::pair(storedStep(1).velocityScale, storedStep(1).velocityOffset),
              std::pair(std::optional(2.0), std::optional<std::int64_t>(-64)));

    // Ranges: 0 and 127 are the ends; low above high is accepted as entered.
    StepEditor *notes = addStep("Plage de notes");
    enter(notes->stepper(0), 127);
    enter(notes->stepper(1), 0);
    notes->stepper(0)->stepBy(1);
    notes->stepper(1)->stepBy(-1);
    EXPECT_EQ(Range(storedStep(2).noteLow, storedStep(2).noteHigh), Range(127, 0));

    // Message types: on then off leaves an empty list, not an absent one.
    StepEditor *types = addStep("Filtre par type");
    for (const auto &blocked : {std::vector{MIDIStatusType::sysex}, std::vector<MIDIStatusType>{}}) {
        QTest::mouseClick(types->typeSwitch(9), Qt::LeftButton, {},
                          types->typeSwitch(9)->trackRect().center());
        settle();
        EXPECT_EQ(storedStep(3).blockedTypes, blocked);
    }

    // Remap with no stored map: one edit stores all sixteen entries.
    StepEditor *remap = addStep("Remap canal");
    state->mutateProject([](TOVProject &p) { p.filterChains[0].steps[4].channelMap.reset(); });
    settle();
    enter(remap->stepper(15), 0);
    std::vector<int> expected{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};
    EXPECT_EQ(storedStep(4).channelMap, expected);
    enter(remap->stepper(0), 16);
    expected[0] = 16;
    EXPECT_EQ(storedStep(4).channelMap, expected);
}

TEST_F(FiltersPageTest, StoredValuesBeyondTheControlsStayUntilEdited)
{
    FilterChain chain("Fichier");
    FilterStep transpose(FilterStep::Kind::transpose);
    transpose.transpose = std::int64_t(1) << 40;
    FilterStep velocity(FilterStep::Kind::velocity);
    velocity.velocityScale = 3.5;
    velocity.velocityOffset = -100;
    FilterStep remap(FilterStep::Kind::channelRemap);
    remap.channelMap = std::vector<int>{3, 40};
    chain.steps = {transpose, velocity, remap};
    state->mutateProject([&](TOVProject &p) { p.filterChains = {chain}; });
    makeClean();
    selectOnly(0);
    const auto steps = filters()->editor()->steps();
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(std::pair(steps[2]->stepper(0)->value(), steps[2]->stepper(2)->value()), std::pair(3, 3));
    EXPECT_FALSE(state->dirty());
    EXPECT_EQ(state->project().filterChains[0], chain);

    // Editing the offset leaves the scale and the other steps as stored.
    enter(steps[1]->stepper(0), 10);
    EXPECT_EQ(std::pair(storedStep(1).velocityOffset, storedStep(1).velocityScale),
              std::pair(std::optional<std::int64_t>(10), std::optional(3.5)));
    EXPECT_EQ(storedStep(0), transpose);
    enter(steps[2]->stepper(1), 5);
    EXPECT_EQ(storedStep(2).channelMap,
              (std::vector<int>{3, 5, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

} // namespace
} // namespace korvane::test
