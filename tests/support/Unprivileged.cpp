#include "support/Unprivileged.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

bool RunningAsRoot() {
    return geteuid() == 0;
}

UnprivilegedRun RunCurrentTestUnprivileged() {
    UnprivilegedRun run;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty()) {
        run.output =
            QStringLiteral("running as root and setpriv is not installed: permissions cannot be observed");
        return run;
    }
    // The build tree may lie in a folder that "nobody" cannot enter: run a copy from a public one.
    QTemporaryDir dir(QStringLiteral("/tmp/unpriv-XXXXXX"));
    const QString copy = dir.path() + QStringLiteral("/test");
    if (!dir.isValid() || !QFile::copy(QCoreApplication::applicationFilePath(), copy) ||
        !QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ReadOther | QFile::ExeOther) ||
        !QFile::setPermissions(copy,
                               QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther)) {
        run.output = QStringLiteral("cannot place a copy of the test binary in /tmp");
        return run;
    }
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter =
        QStringLiteral("--gtest_filter=%1.%2")
            .arg(QString::fromUtf8(info->test_suite_name()), QString::fromUtf8(info->name()));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    env.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                          QStringLiteral("--clear-groups"), copy, filter});
    if (!child.waitForStarted(10000) || !child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        run.available = true;
        run.output =
            QStringLiteral("unprivileged child did not finish: ") + QString::fromLocal8Bit(child.readAll());
        return run;
    }
    run.available = true;
    run.output = QString::fromLocal8Bit(child.readAll());
    // The child must really have run and passed the one test, not skipped it.
    run.passed = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
                 run.output.contains(QLatin1String("[  PASSED  ] 1 test")) &&
                 !run.output.contains(QLatin1String("[  SKIPPED ]"));
    return run;
}
