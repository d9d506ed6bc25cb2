// A process that opens and closes the journal and then exits at once. The database thread hashes
// paths with OpenSSL; if it were still ending while exit() runs OpenSSL's clean-up and frees the
// heap, the process would abort now and then. The race is rare, so many child processes run it.
#include "SyncDBTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace {

// Set in a child: the journal file it opens.
const char kChildDatabase[] = "NIMBO_JOURNAL_EXIT_CHILD_DB";

std::vector<QString> Paths() {
    std::vector<QString> paths;
    for (int i = 0; i < 20; ++i)
        paths.push_back(QStringLiteral("/exit/file %1").arg(i));
    return paths;
}

// The child's part: open the journal the parent wrote, read by path (the database thread hashes
// every path), close, exit. Reads only, so the children share one file without waiting for locks.
[[noreturn]] void RunChild(const QString& dbPath) {
    g_Config.db_path = dbPath;
    std::map<QString, FILE_INFO> read;
    const bool ok = QCSyncDB::Init() && QCSyncDB::GetFileInfos(Paths(), read) && QCSyncDB::Close() &&
                    read.size() == Paths().size();
    // Straight to exit(): nothing else stands between the end of the database thread and the
    // process's clean-up.
    std::exit(ok ? 0 : 3);
}

TEST(SyncDBExitTest, FiveHundredProcessesOpenCloseAndExitCleanly) {
    if (qEnvironmentVariableIsSet(kChildDatabase))
        RunChild(qEnvironmentVariable(kChildDatabase));

    constexpr int kChildren = 500;
    constexpr int kAtOnce = 8;
    // In memory where the system offers it: the children then wait for no disk.
    const QString shm = QStringLiteral("/dev/shm");
    QTemporaryDir dir(QFileInfo(shm).isWritable()
                          ? shm + QStringLiteral("/journal-exit-XXXXXX")
                          : QDir::tempPath() + QStringLiteral("/journal-exit-XXXXXX"));
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    const QString dbPath = dir.filePath(QStringLiteral("filecache.db"));
    const QString oldDbPath = g_Config.db_path;
    g_Config.db_path = dbPath;
    std::vector<FILE_INFO> rows;
    for (const QString& path : Paths())
        rows.push_back(MakeRecord(path, static_cast<quint32>(rows.size() + 1)));
    const bool written = QCSyncDB::Init() && QCSyncDB::UpdateFileInfos(rows) && QCSyncDB::Close();
    g_Config.db_path = oldDbPath;
    ASSERT_TRUE(written) << "cannot write " << dbPath.toStdString();

    std::deque<std::unique_ptr<QProcess>> running;
    int started = 0;
    int failed = 0;
    QString firstFailure;
    while (started < kChildren || !running.empty()) {
        while (started < kChildren && static_cast<int>(running.size()) < kAtOnce) {
            auto child = std::make_unique<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QString::fromLatin1(kChildDatabase), dbPath);
            child->setProcessEnvironment(env);
            child->setProcessChannelMode(QProcess::MergedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral(
                             "--gtest_filter=SyncDBExitTest.FiveHundredProcessesOpenCloseAndExitCleanly")});
            running.push_back(std::move(child));
            ++started;
        }
        QProcess& child = *running.front();
        const bool finished = child.waitForFinished(120000);
        if (!finished || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            if (++failed == 1)
                firstFailure = QStringLiteral("finished %1, exit status %2, code %3:\n%4")
                                   .arg(finished)
                                   .arg(child.exitStatus())
                                   .arg(child.exitCode())
                                   .arg(QString::fromLocal8Bit(child.readAll()));
            child.kill();
            child.waitForFinished();
        }
        running.pop_front();
    }
    EXPECT_EQ(failed, 0) << "of " << kChildren << " children; the first:\n" << firstFailure.toStdString();
}

} // namespace
