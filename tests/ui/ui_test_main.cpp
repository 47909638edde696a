#include "ui/shell/gui_main.h"

#include <QApplication>

#include <gtest/gtest.h>

// The window suite needs a QApplication with the program's style, palette
// and French Qt texts.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // CTest sets it; run by hand, the suite still needs no display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    korvane::prepareApplication(app);
    return RUN_ALL_TESTS();
}
