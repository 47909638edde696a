#pragma once

#include "app/app_state.h"
#include "app/engine_supervisor.h"
#include "app/fake_prompts.h"
#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"
#include "ui/shell/main_window.h"
#include "ui/theme/window_prompts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace korvane::test {

class FakeWindowPrompts : public BasicFakePrompts<WindowPrompts> {
public:
    std::deque<UnsavedChoice> unsavedAnswers;
    std::vector<std::string> unsavedQuestions;

    UnsavedChoice askToSaveChanges(const std::string &projectName) override
    {
        unsavedQuestions.push_back(projectName);
        return next(unsavedAnswers, UnsavedChoice::cancel);
    }

    std::deque<bool> deletionAnswers;
    std::vector<std::string> deletionQuestions;

    bool confirmDeletion(const std::string &question) override
    {
        deletionQuestions.push_back(question);
        return next(deletionAnswers, false);
    }

    std::deque<bool> stopAnswers; // yes unless told
    int stopQuestions = 0;
    bool confirmEngineStop() override
    {
        ++stopQuestions;
        return next(stopAnswers, true);
    }
};

// What the panic sends to one destination: All Sound Off and All Notes Off
// on every channel.
inline std::vector<LoopbackMidiService::Delivery> panicTo(MidiService::Handle destination)
{
    std::vector<LoopbackMidiService::Delivery> out;
    for (std::uint8_t status = 0xB0; status <= 0xBF; ++status)
        for (std::uint8_t controller : {123, 120})
            out.push_back({destination, false, {status, controller, 0}});
    return out;
}

// Saved under the build folder, "@2x" when drawn at scale factor 2.
inline void saveScreenshot(QWidget *window, const QString &name)
{
    QCoreApplication::processEvents();
    const QString dir = QStringLiteral(KORVANE_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    const QString suffix = window->devicePixelRatioF() > 1.5 ? QStringLiteral("@2x") : QString();
    EXPECT_TRUE(window->grab().save(dir + '/' + name + suffix + ".png"));
}

// The main window on the loopback service with scripted answers, shown and
// active so application shortcuts reach it.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == window.get(); }));
    }

    void press(int key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier)
    {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : window.get(), static_cast<Qt::Key>(key), modifiers);
    }
    void showPage(SidebarItem item)
    {
        window->sidebar()->setCurrentRow(static_cast<int>(item));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->shownPage() == item; }));
        QCoreApplication::processEvents();
    }
    void screenshot(const QString &name) { saveScreenshot(window.get(), name); }
    void waitForDestinations(std::size_t count)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return state->engine().destinations().size() == count; }));
    }
    // New endpoints `from` (uid 11) and `to` (uid 12) and a route between them,
    // live from the router's next pass. Returns the source and the destination.
    std::pair<MidiService::Handle, MidiService::Handle> routeBetween(const std::string &from,
                                                                     const std::string &to)
    {
        const auto source = midi->addSource(from, 11), destination = midi->addDestination(to, 12);
        waitForDestinations(1);
        state->addRoute({EndpointKind::physical, from, 11}, {EndpointKind::physical, to, 12});
        QCoreApplication::processEvents();
        return {source, destination};
    }

    // Declared in building order: the window goes before the controller.
    std::shared_ptr<LoopbackMidiService> midi = std::make_shared<LoopbackMidiService>();
    std::shared_ptr<FakeWindowPrompts> prompts = std::make_shared<FakeWindowPrompts>();
    std::unique_ptr<AppState> state = std::make_unique<AppState>(midi, prompts);
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>(*state, prompts);
};

} // namespace korvane::test
