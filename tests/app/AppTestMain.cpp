// Test main for the window tests: GoogleTest inside a QApplication that serves Synchronize calls.
#include "app/Application.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Test discovery runs the executable outside CTest's environment: never look for a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Application::InstallMainThreadWake();
    const int result = RUN_ALL_TESTS();
    Application::RemoveMainThreadWake();
    return result;
}
