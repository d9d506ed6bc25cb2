#pragma once
// Permission checks cannot be observed as root (root may write any file). A test that needs them
// runs its own body again, as the user "nobody", in a copy of the test binary.

#include <QString>

#include <gtest/gtest.h>

struct UnprivilegedRun {
    bool available = false; // false: no way to drop privileges here; `output` says why
    bool passed = false;
    QString output;
};

// Runs the current test in a child process as "nobody" and reports how it went.
UnprivilegedRun RunCurrentTestUnprivileged();

bool RunningAsRoot();

// At the top of a permission test: as root, hand the test to an unprivileged child and end here
// with its verdict; otherwise fall through and run the checks directly.
#define RUN_UNPRIVILEGED_IF_ROOT()                                                                           \
    do {                                                                                                     \
        if (RunningAsRoot()) {                                                                               \
            const UnprivilegedRun run = RunCurrentTestUnprivileged();                                        \
            if (!run.available)                                                                              \
                GTEST_SKIP() << run.output.toStdString();                                                    \
            ASSERT_TRUE(run.passed) << run.output.toStdString();                                             \
            return;                                                                                          \
        }                                                                                                    \
    } while (0)
