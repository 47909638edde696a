#include "ui_fixture.h"

#include "ui/pages/device_rows.h"
#include "ui/pages/devices_page.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace korvane::test {
namespace {

class DevicesPageTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        showPage(SidebarItem::devices);
    }
    // Waits for the engine's lists, then for the page's queued refresh.
    void waitForEndpoints(std::size_t sources, std::size_t destinations)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return state->engine().sources().size() == sources &&
                   state->engine().destinations().size() == destinations;
        }));
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return page->inputRows().size() == sources && page->outputRows().size() == destinations;
        }));
    }
    static QStringList details(const std::vector<EndpointRow *> &rows)
    {
        QStringList out;
        for (auto *row : rows)
            out << row->detailLabel()->text() + (row->virtualBadge()->isVisible() ? " VIRTUEL" : "");
        return out;
    }

    DevicesPage *page = window->findChild<DevicesPage *>();
};

TEST_F(DevicesPageTest, ListsEndpointsWithStateAndUnsignedIdsAndAppliesVirtualPorts)
{
    EXPECT_FALSE(page->missingSection()->isVisible()) << "absent, not empty, while nothing is missing";
    midi->addSource("Keys", 5);
    midi->addSource("Old pads", 9, /*offline=*/true);
    midi->addDestination("Synth", -2147483647 - 1);
    waitForEndpoints(2, 1);
    EXPECT_EQ(page->inputsHeader()->text() + " " + page->outputsHeader()->text(), "Entrées (2) Sorties (1)");
    EXPECT_EQ(details(page->outputRows()), (QStringList{"Synth \u00B7 ID 2147483648"}));
    EXPECT_EQ(page->inputRows()[0]->onlineDot()->color(), Theme::ok());
    EXPECT_EQ(page->inputRows()[1]->onlineDot()->color(), Theme::systemGrey());
    EXPECT_FALSE(state->dirty()) << "showing the page changes nothing";

    QTest::mouseClick(page->addPortButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->portRows().size() == 1; }));
    VirtualPortRow *first = page->portRows()[0];
    EXPECT_EQ(midi->find("KORVANE Bus Out"), 0u) << "nothing on the platform before applying";

    // A second one with the same name: marked on both rows until it goes.
    QTest::mouseClick(page->addPortButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->portRows().size() == 2; }));
    EXPECT_TRUE(first->problemLabel()->isVisible() && page->portRows()[1]->problemLabel()->isVisible());
    QTest::mouseClick(page->portRows()[1]->deleteButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !first->problemLabel()->isVisible(); }));

    QTest::mouseClick(page->applyPortsButton(), Qt::LeftButton);
    EXPECT_TRUE(midi->find("KORVANE Bus Out") && midi->find("KORVANE Bus In"));
    waitForEndpoints(3, 2);
    EXPECT_EQ(details(page->outputRows()).filter(QRegularExpression(" VIRTUEL$")).size(), 1);

    // Unticking "In" reaches the project at once, the platform only when applied.
    QTest::mouseClick(first->inBox(), Qt::LeftButton);
    EXPECT_FALSE(state->project().virtualPorts[0].createsDestination);
    EXPECT_NE(midi->find("KORVANE Bus In"), 0u);
}

TEST_F(DevicesPageTest, NicknameFieldKeepsFocusCursorAndTextThroughAHotPlug)
{
    const auto alpha = midi->addSource("Alpha", 1);
    midi->addSource("Keys", 5);
    waitForEndpoints(2, 0);
    EndpointRow *keys = page->inputRows()[1];
    QLineEdit *field = keys->nicknameField();
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClicks(field, "Q");
    // The first character creates the entry with the endpoint's key and role.
    ASSERT_EQ(state->project().devices.size(), 1u);
    const DeviceRef &device = state->project().devices[0];
    EXPECT_EQ(device.key, EndpointKey(EndpointKind::physical, "Keys", 5));
    EXPECT_EQ(device.role, EndpointRole::source);
    QTest::keyClicks(field, "Lab");
    QTest::keyClick(field, Qt::Key_Left);
    QTest::keyClick(field, Qt::Key_Left);

    // Alpha leaves, Beta and an output arrive while the field is being typed in.
    midi->removeEndpoint(alpha);
    midi->addSource("Beta", 2);
    midi->addDestination("Lights", 3);
    waitForEndpoints(2, 1);
    QCoreApplication::processEvents();
    ASSERT_EQ(page->inputRows()[0], keys) << "the row itself is kept and moved up";
    EXPECT_EQ(QApplication::focusWidget(), field);
    EXPECT_EQ(field->text(), "QLab");
    EXPECT_EQ(field->cursorPosition(), 2);
    QTest::keyClicks(field, "-");
    EXPECT_EQ(state->project().devices[0].nickname, "QL-ab");
    EXPECT_TRUE(page->inputRows()[1]->nicknameField()->text().isEmpty());
}

} // namespace
} // namespace korvane::test
