#pragma once

#include "app/app_state.h"
#include "app/fake_prompts.h"
#include "midi/midi_engine.h"
#include "midi/service/loopback/loopback_midi_service.h"
#include "ui/shell/main_window.h"
#include "ui/shell/window_prompts.h"

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

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
};

inline bool waitFor(const std::function<bool()> &pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    return QTest::qWaitFor(pred, static_cast<int>(timeout.count()));
}

// Types text key by key, accented letters included (QTest::keyClicks only
// knows ASCII).
inline void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// The colour at the centre of a widget as it is drawn.
inline QColor colorAtCentre(QWidget *widget)
{
    const QImage image = widget->grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

// Close enough to `expected` (antialiasing and blending aside).
inline bool near(const QColor &actual, const QColor &expected, int tolerance = 12)
{
    return std::abs(actual.red() - expected.red()) <= tolerance &&
           std::abs(actual.green() - expected.green()) <= tolerance &&
           std::abs(actual.blue() - expected.blue()) <= tolerance;
}

// The main window on the loopback service with scripted answers, shown and
// active so application shortcuts reach it.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        midi = std::make_shared<LoopbackMidiService>();
        prompts = std::make_shared<FakeWindowPrompts>();
        state = std::make_unique<AppState>(midi, prompts);
        window = std::make_unique<MainWindow>(*state, prompts);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == window.get(); }));
        QTest::qWait(20);
    }
    void TearDown() override
    {
        window.reset();
        state.reset();
    }

    void press(int key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier)
    {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window.get(),
                        static_cast<Qt::Key>(key), modifiers);
    }
    void showPage(SidebarItem item)
    {
        window->sidebar()->setCurrentRow(static_cast<int>(item));
        QTest::qWait(20);
    }
    // Saved under the build folder, "@2x" when drawn at scale factor 2.
    void screenshot(const QString &name)
    {
        QTest::qWait(50);
        const QString dir = QStringLiteral(KORVANE_SCREENSHOT_DIR);
        QDir().mkpath(dir);
        const qreal ratio = window->devicePixelRatioF();
        const QString suffix = ratio > 1.5 ? QStringLiteral("@2x") : QString();
        EXPECT_TRUE(window->grab().save(dir + QLatin1Char('/') + name + suffix + QStringLiteral(".png")));
    }
    void setDirty()
    {
        state->mutateProject([](TOVProject &p) { p.notes = "changé"; });
        ASSERT_TRUE(state->dirty());
    }

    std::shared_ptr<LoopbackMidiService> midi;
    std::shared_ptr<FakeWindowPrompts> prompts;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;
};

} // namespace korvane::test
