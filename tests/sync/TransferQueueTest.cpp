// The engine's transfer queues and results, driven with task doubles: budgets, pause, replies on
// pool threads, results on the engine thread, download conflicts and the replace check.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/QCEventBase.h"
#include "common/SafePath.h"
#include "common/WorkPools.h"
#include "support/DebugCapture.h"
#include "support/TransferDoubles.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <cstdio>
#include <future>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace {

constexpr quint64 kMiB = 1024 * 1024;
using Task = std::weak_ptr<TaskDouble>;

// How often the task was started; -1 once it is gone.
int Syncs(const Task& task) {
    const auto held = task.lock();
    return held ? held->syncs.load() : -1;
}

void OnPool(std::function<void()> work) {
    WorkPools::Start(*QThreadPool::globalInstance(), std::move(work));
}

class TransferQueueTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        MakeReady("{\"name\":\"u1\"}");
        // The tests' own files are no user edits: a report of one taken in late (after the status
        // moved to waiting for a login, say) would mark it for upload under the test's feet.
        g_LocalStoreMgr.Watcher().clearAll();
        base = g_LocalStoreMgr.GetRootPath();
        TaskDouble::destroyed = 0;
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.tasks_down = 0;
        g_Config.max_download_req = 5;
    }
    void TearDown() override {
        OnEngine([] { g_LocalStoreMgr.SetDownloadFactory(nullptr); });
        g_LocalStoreMgr.SetBeforeReplaceHookForTests(nullptr);
        EngineTest::TearDown();
    }
    // A download double of `cloudPath` into `localPath` (the mirror's copy when empty).
    Task Download(const QString& cloudPath, quint64 size, std::function<int(TaskDouble&)> onSync = {},
                  QString localPath = QString()) {
        Task made;
        if (localPath.isEmpty())
            localPath = base + cloudPath;
        OnEngine([&] {
            g_LocalStoreMgr.SetDownloadFactory([&](const FILE_INFO& record) {
                auto task = std::make_shared<TaskDouble>(g_LocalStoreMgr, record, true);
                task->onSync = onSync;
                made = task;
                return task;
            });
            FILE_INFO record = TaskRecord(cloudPath, size);
            record.local_path = localPath;
            EXPECT_TRUE(g_LocalStoreMgr.AddDownloadTask(record));
        });
        return made;
    }
    void Exec() {
        OnEngine([] { g_LocalStoreMgr.ExecDownloadTask(); });
    }
    QString Write(const QString& name, const QByteArray& bytes) {
        const QString path = base + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    static QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    // A journal row equal to the local file at `name`.
    FILE_INFO RowOf(const QString& name) {
        FILE_INFO row = TaskRecord(name, quint64(QFileInfo(base + name).size()));
        row.mtime = quint32(QFileInfo(base + name).lastModified().toSecsSinceEpoch());
        row.local_path = base + name;
        EXPECT_TRUE(QCSyncDB::UpdateFileInfo(row));
        return row;
    }
    FileInfo Indexed(const QString& name) {
        FileInfo info;
        g_LocalStoreMgr.Cache().GetBaseInfo(base + name, info);
        return info;
    }
    QStringList Copies() const {
        return QDir(base).entryList({QStringLiteral("*冲突*")},
                                    QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }
    QString base;
};

TEST_F(TransferQueueTest, FiveStartInOnePassAndAPauseLetsTwoMoreStart) {
    std::vector<Task> tasks;
    for (int i = 0; i < 7; ++i)
        tasks.push_back(Download(QStringLiteral("/big%1.bin").arg(i), 3 * kMiB));
    Exec();
    int syncs = 0;
    for (const Task& task : tasks)
        syncs += Syncs(task);
    EXPECT_EQ(syncs, 5);
    EXPECT_EQ(Syncs(tasks[5]), 0);
    tasks[0].lock()->AddRequestId(100);
    OnEngine([] { g_LocalStoreMgr.ProcPauseTask(QStringLiteral("/big0.bin")); });
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetDownPauseTaskCount(), 1.0);
    Exec();
    EXPECT_EQ(Syncs(tasks[5]), 1);
    EXPECT_EQ(Syncs(tasks[6]), 1);
    EXPECT_EQ(Syncs(tasks[0]), 1); // paused: not started again
    // A reply carrying the paused task's id goes nowhere; its id is no longer the task's.
    tasks[1].lock()->AddRequestId(101);
    QJsonObject reply;
    g_LocalStoreMgr.ProcDownloadFile(31, 100, reply);
    g_LocalStoreMgr.ProcDownloadFile(31, 101, reply);
    EXPECT_EQ(tasks[0].lock()->replies, 0);
    EXPECT_EQ(tasks[1].lock()->replies, 1);
    OnEngine([] { g_LocalStoreMgr.ProcResumeTask(QStringLiteral("/big0.bin")); });
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetDownPauseTaskCount(), 0.0);
}

// A download fetched on request runs while the engine watches the mirror (an upload phase): its
// pause and resume still reach it.
TEST_F(TransferQueueTest, ADownloadRunningInTheWatchPhaseIsPausedAndResumed) {
    const auto task = Download(QStringLiteral("/asked.bin"), 3 * kMiB).lock();
    ASSERT_TRUE(task);
    Exec();
    ASSERT_EQ(task->syncs.load(), 1);
    OnEngine([] {
        g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_MONITOR, false);
        g_LocalStoreMgr.ProcPauseTask(QStringLiteral("/asked.bin"));
    });
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetDownPauseTaskCount(), 1.0);
    EXPECT_TRUE(task->IsPause());
    OnEngine([] { g_LocalStoreMgr.ProcResumeTask(QStringLiteral("/asked.bin")); });
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetDownPauseTaskCount(), 0.0);
    EXPECT_FALSE(task->IsPause());
}

// Five downloads whose start waits for a pool task and whose five blocks each answer on the pool,
// with the pool capped at two threads: the queue lock is never held while a task works.
TEST_F(TransferQueueTest, BlockRepliesOnATwoThreadPoolNeverStall) {
    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(2);
    OnEngine([] { QCSyncDB::BeginTransaction(); });
    for (int run = 0; run < 50; ++run) {
        for (int i = 0; i < 5; ++i) {
            const quint32 first = quint32(run * 100 + i * 10);
            Download(QStringLiteral("/r%1/f%2.bin").arg(run).arg(i), 5 * 512 * 1024,
                     [first](TaskDouble& task) {
                         std::vector<BLOCK_INFO> blocks(5);
                         for (quint32 j = 0; j < 5; ++j) {
                             blocks[j].bidx = j + 1;
                             blocks[j].bhash = QStringLiteral("b%1").arg(j);
                             blocks[j].bsize = 512 * 1024;
                         }
                         task.SetBlocks(blocks);
                         for (quint32 j = 0; j < 5; ++j) {
                             task.SetBlockTask(blocks[j].bhash, j + 1, first + j, 0);
                             task.AddRequestId(first + j);
                         }
                         task.onReply = [](TaskDouble& self, int, unsigned id, QJsonObject&) {
                             self.CompleteBlockTask(id);
                             if (self.IsAllComplete())
                                 self.CompleteMe(0, 0, QString());
                         };
                         std::promise<void> info;
                         OnPool([&info] { info.set_value(); });
                         info.get_future().wait();
                         for (quint32 j = 0; j < 5; ++j) {
                             OnPool([id = first + j] {
                                 QJsonObject reply;
                                 g_LocalStoreMgr.ProcDownloadFile(31, id, reply);
                             });
                         }
                         return 0;
                     });
        }
        Exec();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (g_LocalStoreMgr.DownloadCount() > 0 && std::chrono::steady_clock::now() < deadline)
            OnEngine([] {}, true);
        ASSERT_EQ(g_LocalStoreMgr.DownloadCount(), 0u) << "run " << run;
    }
    // A pool thread that handed on a task's last reply holds the task until it returns: the
    // engine may have handled the result and let its own reference go before that.
    pool->waitForDone();
    pool->setMaxThreadCount(threads);
    OnEngine([] {}, true); // the last result has written its row
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/r49/f4.bin"), row));
    EXPECT_EQ(TaskDouble::destroyed, 250);
}

TEST_F(TransferQueueTest, ConcurrentEndsAreHandledOnTheEngineThreadAndFreedOnce) {
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.tasks_down = 10;
    }
    std::vector<Task> tasks;
    for (int i = 0; i < 8; ++i)
        tasks.push_back(Download(QStringLiteral("/c%1.bin").arg(i), kMiB));
    Exec();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const Task& task : tasks) {
        threads.emplace_back([task = task.lock(), &go]() mutable {
            while (!go.load())
                std::this_thread::yield();
            task->CompleteMe(0, 0, QString());
            task.reset();
        });
    }
    // Read once before the ends: all eight may be handled before this thread looks again.
    quint64 average = g_LocalStoreMgr.GetDownListAverSize();
    go = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_LocalStoreMgr.DownloadCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        average = std::max(average, g_LocalStoreMgr.GetDownListAverSize());
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the user interface's reading pace
    }
    for (std::thread& thread : threads)
        thread.join();
    OnEngine([] {}, true);
    EXPECT_EQ(average, kMiB);
    EXPECT_EQ(TaskDouble::destroyed, 8);
    for (int i = 0; i < 8; ++i) {
        FILE_INFO row;
        EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/c%1.bin").arg(i), row)) << i;
    }
}

TEST_F(TransferQueueTest, AResultAfterCancelAllIsOnlyReleased) {
    const Task task = Download(QStringLiteral("/x.bin"), 10);
    Exec();
    std::shared_ptr<TaskDouble> held = task.lock(); // as a pool thread handling a reply would
    DebugCapture debug;
    OnEngine([] { g_LocalStoreMgr.CancelAllTask(); }); // ends the task with its cancel as its result
    EXPECT_EQ(Indexed(QStringLiteral("/x.bin")).status, quint32(FILE_STATUS_NOT_DOWN));
    held->CompleteMe(0, 0, QString()); // too late: the task has its result
    held.reset();
    OnEngine([] {}, true);
    EXPECT_EQ(debug.lines(QStringLiteral("[result] no longer queued")).size(), 1);
    EXPECT_EQ(TaskDouble::destroyed, 1);
    FILE_INFO row;
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/x.bin"), row));
    EXPECT_EQ(Indexed(QStringLiteral("/x.bin")).status, quint32(FILE_STATUS_NOT_DOWN));
}

TEST_F(TransferQueueTest, AGoneCloudFileIsNoDeletion) {
    DebugCapture debug; // printed on failure: what else touched the file's status
    Write(QStringLiteral("/g.txt"), "kept bytes");
    RowOf(QStringLiteral("/g.txt"));
    const Task task = Download(QStringLiteral("/g.txt"), 10);
    Exec();
    receiver.Take();
    TraceCount(QCLocalStoreMgr::kTraceVersionCheck);
    task.lock()->CompleteMe(SYNC_ERROR::Logic, 3001, QString());
    OnEngine([] {}, true);
    EXPECT_EQ(Read(base + QStringLiteral("/g.txt")), QByteArray("kept bytes"));
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/g.txt"), row));
    const FileInfo info = Indexed(QStringLiteral("/g.txt"));
    EXPECT_EQ(info.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(info.error_type, SYNC_ERROR::Logic);
    EXPECT_EQ(info.error_code, 3001);
    EXPECT_EQ(TraceCount(QCLocalStoreMgr::kTraceVersionCheck), 1);
    for (const RecordedEvent& e : receiver.Take())
        EXPECT_NE(e.type, QCEventBase::GlobalError);
    if (HasFailure())
        std::fprintf(stderr, "%s\n", qPrintable(debug.lines(QString()).join(QLatin1Char('\n'))));
}

TEST_F(TransferQueueTest, ASuccessfulDownloadIntoTheMirrorOrOutside) {
    const Task inside = Download(QStringLiteral("/in.txt"), 10);
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("out.txt"));
    const Task away = Download(QStringLiteral("/out.txt"), 10, {}, outside);
    Exec();
    inside.lock()->CompleteMe(0, 0, QString());
    away.lock()->CompleteMe(0, 0, QString());
    OnEngine([] {}, true);
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/in.txt"), row));
    EXPECT_EQ(Indexed(QStringLiteral("/in.txt")).status, quint32(FILE_STATUS_SYNCED));
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/out.txt"), row));
    EXPECT_EQ(Indexed(QStringLiteral("/out.txt")).status, quint32(FILE_STATUS_NOT_DOWN));
}

TEST_F(TransferQueueTest, AnUploadKeepsTheAccountsVersionAndStoresTheFilesOwn) {
    const quint32 before = g_LocalStoreMgr.UserVersionForTests();
    FILE_INFO record = TaskRecord(QStringLiteral("/up.txt"), 4);
    record.local_path = Write(QStringLiteral("/up.txt"), "data");
    auto task = std::make_shared<TaskDouble>(g_LocalStoreMgr, record, false);
    task->SetNewVersion(9);
    OnEngine([task] { g_LocalStoreMgr.AddUploadTask(task); });
    task->CompleteMe(0, 0, QString());
    task.reset();
    OnEngine([] {}, true);
    EXPECT_EQ(g_LocalStoreMgr.UserVersionForTests(), before);
    FILE_INFO row;
    ASSERT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/up.txt"), row));
    EXPECT_EQ(row.version, 9u);
    EXPECT_EQ(TaskDouble::destroyed, 1);
}

TEST_F(TransferQueueTest, TheDownloadPhaseEndsWithBothQueuesEmptyAndTheErrorStaysShown) {
    OnEngine([] { g_LocalStoreMgr.SetDownloadBusyForTests(false); });
    const Task task = Download(QStringLiteral("/e.txt"), 10);
    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    Pass();
    ASSERT_EQ(Syncs(task), 1);
    task.lock()->CompleteMe(SYNC_ERROR::DiskDir, 5, QString());
    OnEngine([] {}, true);
    Pass();
    EXPECT_GE(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_CHECK_OFFLINE); // the local work may follow at once
    EXPECT_EQ(VUZeroz::GetInstance()->Status().error_type, SYNC_ERROR::DiskDir);
}

TEST_F(TransferQueueTest, AStartEndsTheRunningTransfers) {
    std::vector<Task> tasks;
    for (int i = 0; i < 3; ++i)
        tasks.push_back(Download(QStringLiteral("/s%1.bin").arg(i), 10));
    Exec();
    for (int i = 0; i < 3; ++i)
        tasks[size_t(i)].lock()->AddRequestId(quint32(700 + i));
    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    DebugCapture debug;
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    OnEngine([] {}, true);
    EXPECT_EQ(TaskDouble::destroyed, 3);
    const QString cancelled = debug.lines(QStringLiteral("[tasks]")).join(QLatin1Char('\n'));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(cancelled.contains(QStringLiteral("%1 ").arg(700 + i))) << qPrintable(cancelled);
    EXPECT_EQ(g_LocalStoreMgr.DownloadCount(), 0u);
}

TEST_F(TransferQueueTest, OrphanMeansNoTaskAndNoChangeItemOwnsTheId) {
    auto upload =
        std::make_shared<TaskDouble>(g_LocalStoreMgr, TaskRecord(QStringLiteral("/u.bin"), 1), false);
    upload->AddRequestId(41);
    OnEngine([upload] { g_LocalStoreMgr.AddUploadTask(upload); });
    g_LocalStoreMgr.SetChangeRequestId(42, true);
    EXPECT_FALSE(g_LocalStoreMgr.IsOrphanTask(41)); // a running upload's
    EXPECT_FALSE(g_LocalStoreMgr.IsOrphanTask(42)); // a change item's
    EXPECT_TRUE(g_LocalStoreMgr.IsOrphanTask(43));  // nobody's
    g_LocalStoreMgr.SetChangeRequestId(42, false);
    OnEngine([] { g_LocalStoreMgr.CancelAllTask(); }); // leaves uploads alone
    EXPECT_EQ(g_LocalStoreMgr.UploadCount(), 1u);
}

// --- Download conflicts ----------------------------------------------------------------------------

struct ConflictRow {
    const char* name;
    const char* local; // nullptr: a folder
    bool rowMatches;   // the journal row equals the local file
    const char* cloud;
    bool copy;  // a conflict copy is left
    int hashes; // contents hashed
};

class ConflictRuleTest : public TransferQueueTest, public ::testing::WithParamInterface<ConflictRow> {};

TEST_P(ConflictRuleTest, DecidesWhetherTheLocalFileMayGo) {
    const ConflictRow& rule = GetParam();
    const QString path = base + QStringLiteral("/f.txt");
    if (rule.local)
        Write(QStringLiteral("/f.txt"), rule.local);
    else
        ASSERT_TRUE(QDir().mkpath(path));
    FILE_INFO cloud = TaskRecord(QStringLiteral("/f.txt"), quint64(qstrlen(rule.cloud)));
    QByteArray content(rule.cloud);
    QBuffer buffer(&content);
    buffer.open(QIODevice::ReadOnly);
    qint64 total = 0;
    cloud.file_hash = QString::fromLatin1(CloudHashDevice(buffer, total)).toUpper(); // any letter case
    if (rule.rowMatches)
        RowOf(QStringLiteral("/f.txt"));
    const int hashes = g_LocalStoreMgr.ConflictHashesForTests();
    EXPECT_TRUE(g_LocalStoreMgr.ResolveDownloadConflict(path, cloud));
    EXPECT_EQ(g_LocalStoreMgr.ConflictHashesForTests() - hashes, rule.hashes);
    const QStringList copies = Copies();
    ASSERT_EQ(copies.size(), rule.copy ? 1 : 0);
    if (rule.copy && rule.local) {
        EXPECT_EQ(Read(base + QLatin1Char('/') + copies[0]), QByteArray(rule.local));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConflictRuleTest,
    ::testing::Values(ConflictRow{"Unchanged", "old", true, "newer", false, 0},
                      ConflictRow{"AlreadyTheCloudsContent", "same", false, "same", false, 1},
                      ConflictRow{"ChangedHere", "mine!!", false, "theirs", true, 1},
                      ConflictRow{"AFolderWhereTheCloudHasAFile", nullptr, false, "x", true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The replace check and the durable replace ----------------------------------------------------

// The user's save between the decision and the rename, as editors make it.
struct LateEdit {
    const char* name;
    void (*edit)(const QString& path);
    const char* kept; // what the conflict copy holds
};

// Rewrites `path` in place with `bytes`, or beside it and renamed over it, keeping its size and its
// modification time to the nanosecond: only the change time (after the coarse clock that stamps
// it has moved on) or the inode tells.
void SaveKeepingTimes(const QString& path, const QByteArray& bytes, bool byRename) {
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    timespec now{};
    do {
        std::this_thread::yield();
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
    } while (now.tv_sec < before.st_ctim.tv_sec ||
             (now.tv_sec == before.st_ctim.tv_sec && now.tv_nsec <= before.st_ctim.tv_nsec));
    const QString written = byRename ? path + QStringLiteral(".new") : path;
    QFile file(written);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(written).constData(), times, 0), 0);
    if (byRename) {
        ASSERT_EQ(::rename(QFile::encodeName(written).constData(), QFile::encodeName(path).constData()), 0);
    }
}

class LateEditTest : public TransferQueueTest, public ::testing::WithParamInterface<LateEdit> {};

TEST_P(LateEditTest, SurvivesAsAConflictCopyAndTheNewFileIsDurable) {
    Write(QStringLiteral("/h.txt"), "as synced");
    const FILE_INFO row = RowOf(QStringLiteral("/h.txt"));
    const QString temp = Write(QStringLiteral("/h.txt.tmp"), "cloud version");
    const QString target = base + QStringLiteral("/h.txt");
    g_LocalStoreMgr.SetBeforeReplaceHookForTests([](const QString& path) { GetParam().edit(path); });
    // Each sync with what the target held then: the file before the rename, the folder after it.
    std::vector<std::tuple<QString, bool, QByteArray>> synced;
    SafePath::SetSyncHookForTests(
        [&](const QString& path, bool folder) { synced.emplace_back(path, folder, Read(target)); });
    EXPECT_EQ(g_LocalStoreMgr.InstallDownload(temp, target, row), 0);
    SafePath::SetSyncHookForTests(nullptr);
    EXPECT_EQ(Read(target), QByteArray("cloud version"));
    const QStringList copies = Copies();
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(Read(base + QLatin1Char('/') + copies[0]), QByteArray(GetParam().kept));
    ASSERT_EQ(synced.size(), 2u);
    EXPECT_EQ(synced[0], std::make_tuple(temp, false, QByteArray("as synced")));
    EXPECT_EQ(synced[1], std::make_tuple(base, true, QByteArray("cloud version")));
}

INSTANTIATE_TEST_SUITE_P(
    Saves, LateEditTest,
    ::testing::Values(LateEdit{"Appended",
                               [](const QString& path) {
                                   QFile file(path);
                                   ASSERT_TRUE(file.open(QIODevice::Append));
                                   file.write(" + late edit");
                               },
                               "as synced + late edit"},
                      LateEdit{"SameSizeSameTimeInPlace",
                               [](const QString& path) { SaveKeepingTimes(path, "AS SYNCED", false); },
                               "AS SYNCED"},
                      LateEdit{"SameSizeSameTimeByRename",
                               [](const QString& path) { SaveKeepingTimes(path, "as-synced", true); },
                               "as-synced"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
