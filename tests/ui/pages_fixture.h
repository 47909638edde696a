#pragma once

#include "ui_fixture.h"

#include "net/rtp_manager.h"
#include "support/udp_loopback.h"
#include "ui/pages/chain_editor.h"
#include "ui/pages/filters_page.h"
#include "ui/pages/routing_page.h"
#include "ui/pages/step_editor.h"

#include <QComboBox>
#include <QMenu>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolButton>

namespace korvane::test {

using Deliveries = std::vector<LoopbackMidiService::Delivery>;

// Loopback endpoints A, B (sources) and X, Y (destinations), and the two
// editing pages of the window.
class PagesTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        addEndpoints();
    }
    void TearDown() override { state->rtp().stopAll(); }

    void addEndpoints()
    {
        a = midi->addSource("A", 101);
        b = midi->addSource("B", 102);
        x = midi->addDestination("X", 201);
        y = midi->addDestination("Y", 202);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return state->engine().sources().size() == 2 && state->engine().destinations().size() == 2;
        }));
    }

    RoutingPage *routing() const
    {
        return qobject_cast<RoutingPage *>(window->pages()->widget(static_cast<int>(SidebarItem::routing)));
    }
    FiltersPage *filters() const
    {
        return qobject_cast<FiltersPage *>(window->pages()->widget(static_cast<int>(SidebarItem::filters)));
    }
    void addChain()
    {
        QTest::mouseClick(filters()->addChainButton(), Qt::LeftButton);
        settle();
    }
    // A step of the selected chain, by its entry in the add menu.
    StepEditor *addStep(const QString &label)
    {
        for (QAction *action : filters()->editor()->addStepButton()->menu()->actions())
            if (action->text() == label)
                action->trigger();
        settle();
        return filters()->editor()->steps().constLast();
    }
    static EndpointKey key(const char *name, std::int32_t uid) { return {EndpointKind::physical, name, uid}; }

    // A listener session on loopback; its key joins both axes of the matrix.
    void startListener(const std::string &name)
    {
        state->mutateProject([&](TOVProject &p) {
            p.rtpSessions.push_back(
                {.name = name, .localPort = freePortPair(), .bindAddress = "127.0.0.1", .remoteHost = {}});
        });
        state->applyNetwork();
    }
    // The next event-loop pass: queued refreshes run and the router has the project.
    static void settle()
    {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void makeClean()
    {
        ASSERT_TRUE(m_dir.isValid());
        prompts->saveAnswers.push_back(std::filesystem::path(m_dir.path().toStdString()) / "show.tovprjct");
        state->saveAs();
        settle();
        ASSERT_FALSE(state->dirty());
    }
    // Bytes injected at a source, and what reached the destinations.
    Deliveries playAt(MidiService::Handle source, std::vector<std::uint8_t> bytes)
    {
        midi->clearDeliveries();
        midi->inject(source, std::move(bytes));
        return midi->deliveries();
    }
    static void choose(QComboBox *combo, const QString &text)
    {
        const int index = combo->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    MidiService::Handle a = 0, b = 0, x = 0, y = 0;

private:
    QTemporaryDir m_dir;
};

} // namespace korvane::test
