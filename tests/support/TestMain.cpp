// The main of the core's test executables: a QCoreApplication lives for the whole run, as the
// core's process-wide objects expect one.
#include "support/WorkingFolderGuard.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    InstallWorkingFolderGuard();
    return WorkingFolderExitCode(RUN_ALL_TESTS());
}
