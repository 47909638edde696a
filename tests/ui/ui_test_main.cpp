#include "ui/shell/gui_main.h"

#include <QApplication>

#include <gtest/gtest.h>

// The window suite needs a QApplication with the program's style, palette
// and French Qt texts.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    korvane::prepareApplication(app);
    return RUN_ALL_TESTS();
}
