#include "ui_fixture.h"

#include "ui/theme/panic_guard.h"

#include <QDialog>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

namespace korvane::test {
namespace {

// Under Xvfb (platform xcb) keys and clicks go through the X server.
bool onX11()
{
    return QGuiApplication::platformName() == QStringLiteral("xcb");
}

void pressPanicKey(QWidget *dialog, Qt::KeyboardModifiers modifiers)
{
    if (!onX11()) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : dialog, Qt::Key_Period, modifiers);
        return;
    }
    dialog->activateWindow();
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; }));
    EXPECT_EQ(QProcess::execute("xdotool", {"key", "ctrl+period"}), 0);
}

void click(QAbstractButton *button)
{
    if (!onX11()) {
        QTest::mouseClick(button, Qt::LeftButton);
        return;
    }
    const QPoint at = button->mapToGlobal(button->rect().center());
    EXPECT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(at.x()),
                                            QString::number(at.y()), "click", "1"}),
              0);
}

TEST_F(WindowTest, PanicUnderDialogsReachesTheDestination)
{
    const auto synth = midi->addDestination("Synth", 7);
    waitForDestinations(1);
    DialogPrompts dialogs;
    dialogs.setParentWidget(window.get());
    const std::pair<const char *, std::function<void()>> opened[] = {
        {"open", [&] { dialogs.chooseProjectToOpen(); }},
        {"save as", [&] { dialogs.chooseSaveLocation("Concert.tovprjct"); }},
        {"save prompt", [&] { dialogs.askToSaveChanges("Concert"); }},
        {"error alert", [&] { dialogs.showAlert("KORVANE", "Le projet est illisible."); }},
    };
    for (const auto &[name, open] : opened) {
        int panics = 0;
        QTimer::singleShot(0, [&, name = name] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return ADD_FAILURE() << name << ": no dialog";
            const auto panicArrives = [&] {
                const bool arrived = QTest::qWaitFor([&] { return midi->deliveries() == panicTo(synth); });
                midi->clearDeliveries();
                return arrived;
            };
            midi->clearDeliveries();
            pressPanicKey(dialog, Qt::ControlModifier);
            panics += panicArrives();
            if (!onX11()) {
                pressPanicKey(dialog, Qt::ControlModifier | Qt::KeypadModifier);
                panics += panicArrives();
            }
            if (QPushButton *button = PanicGuard::buttonIn(dialog)) {
                if (std::string_view(name) == "save as")
                    saveScreenshot(dialog, "dialog-save");
                click(button);
                panics += panicArrives();
            }
            EXPECT_TRUE(dialog->isVisible()) << name << ": the panic closed the dialog";
            dialog->reject();
        });
        open();
        EXPECT_EQ(panics, onX11() ? 2 : 3) << name;
        EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    }
}

} // namespace
} // namespace korvane::test
