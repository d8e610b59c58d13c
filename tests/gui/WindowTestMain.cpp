// The main of the window test programs: a QApplication with every picture format registered.
#include <gtest/gtest.h>

#include <QApplication>

#include "FileFormat/Graphic.h"

int main(int argc, char** argv) {
    // Without a display (as when CTest lists the tests) the window runs offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tilvo::RegisterAllFormats();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    tilvo::UnregisterAllFormats();
    return result;
}
