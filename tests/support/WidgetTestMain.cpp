// The main of the widget tests: a QApplication lives for the whole run, on the offscreen platform
// unless QT_QPA_PLATFORM names another, so that the tests need no display.
#include "support/WorkingFolderGuard.h"

#include <QApplication>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
#if defined(__SANITIZE_ADDRESS__)
    // Qt 5.15's offscreen platform never frees the screen it sets up here; the leak checker is to
    // report the tests' leaks, not that one.
    __lsan_disable();
#endif
    QApplication app(argc, argv);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    InstallWorkingFolderGuard();
    return WorkingFolderExitCode(RUN_ALL_TESTS());
}
