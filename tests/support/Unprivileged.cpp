#include "support/Unprivileged.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <unistd.h>

bool RunningAsRoot() {
    return geteuid() == 0;
}

namespace {

// The sanitizer's suppression file named in `options` ("a=1:suppressions=/path:b=2"), copied into
// `dir` as "<name>.supp": the checkout may lie in a folder the child cannot enter, and a sanitizer
// that cannot read its suppressions ends the child at once. False when the copy failed.
bool PublicSuppressions(QString& options, const QString& dir, const QString& name) {
    QStringList parts = options.split(QLatin1Char(':'));
    for (QString& part : parts) {
        const QLatin1String key("suppressions=");
        if (!part.startsWith(key))
            continue;
        const QString source = part.mid(key.size());
        const QString copy = dir + QLatin1Char('/') + name + QStringLiteral(".supp");
        if (!QFile::copy(source, copy) ||
            !QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadOther))
            return false;
        part = key + copy;
    }
    options = parts.join(QLatin1Char(':'));
    return true;
}

} // namespace

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
    for (const QString& name : {QStringLiteral("ASAN_OPTIONS"), QStringLiteral("LSAN_OPTIONS"),
                                QStringLiteral("TSAN_OPTIONS"), QStringLiteral("UBSAN_OPTIONS")}) {
        QString options = env.value(name);
        if (!PublicSuppressions(options, dir.path(), name)) {
            run.output = QStringLiteral("cannot place a copy of the suppressions of %1 in /tmp").arg(name);
            return run;
        }
        if (!options.isEmpty())
            env.insert(name, options);
    }
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                          QStringLiteral("--clear-groups"), copy, filter});
    // A start ends in the exec or in an error, so it needs no deadline of its own: one could only
    // fail a slow fork of a test with many threads on a loaded machine.
    const bool started = child.waitForStarted(-1);
    if (!started || !child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        run.available = true;
        run.output = QStringLiteral("unprivileged child did not %1: ")
                         .arg(started ? QStringLiteral("finish") : child.errorString()) +
                     QString::fromLocal8Bit(child.readAll());
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
