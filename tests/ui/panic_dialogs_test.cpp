#include "ui_fixture.h"

#include "ui/theme/panic_guard.h"

#include <QDialog>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

namespace korvane::test {
namespace {

// Each dialog the window opens, opened for real: Ctrl+. and the dialog's own
// Panic button reach the destination while it is open. Under Xvfb (CTest
// runs it there too) key and click go through the X server.
TEST_F(WindowTest, PanicUnderDialogsReachesTheDestination)
{
    const bool x11 = QGuiApplication::platformName() == QStringLiteral("xcb");
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
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            QPushButton *button = dialog ? PanicGuard::buttonIn(dialog) : nullptr;
            if (!button)
                return ADD_FAILURE() << "no dialog with a Panic button";
            const auto arrived = [&] {
                panics += QTest::qWaitFor([&] { return midi->deliveries() == panicTo(synth); });
                midi->clearDeliveries();
            };
            midi->clearDeliveries();
            if (x11) {
                dialog->activateWindow();
                EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; }));
                EXPECT_EQ(QProcess::execute("xdotool", {"key", "ctrl+period"}), 0);
                arrived();
                const QPoint at = button->mapToGlobal(button->rect().center());
                QProcess::execute(
                    "xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
            } else {
                for (const Qt::KeyboardModifiers modifiers :
                     {Qt::ControlModifier | Qt::NoModifier, Qt::ControlModifier | Qt::KeypadModifier}) {
                    QWidget *focus = QApplication::focusWidget();
                    QTest::keyClick(focus ? focus : dialog, Qt::Key_Period, modifiers);
                    arrived();
                }
                if (std::string_view(name) == "save as")
                    saveScreenshot(dialog, "dialog-save");
                QTest::mouseClick(button, Qt::LeftButton);
            }
            arrived();
            EXPECT_TRUE(dialog->isVisible()) << "the panic closed the dialog";
            dialog->reject();
        });
        open();
        EXPECT_EQ(panics, x11 ? 2 : 3) << name;
        EXPECT_EQ(state->statusMessage(), "Panic envoyé (All Notes/Sound Off)");
    }
}

} // namespace
} // namespace korvane::test
