// The finished-task history: "history.dat" written and read back, its escapes, the counters, the
// deletion through the facade and the transfer views' snapshots (saves cut short by SIGKILL: in
// SaveKillTest.cpp).

#include "support/EngineTestSupport.h"
#include "support/FileSizeLimit.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/QCEvents.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

FILE_INFO Finished(const QString& path, quint64 size, const QString& local, bool download) {
    FILE_INFO record;
    record.path = path;
    record.name = path.section(QLatin1Char('/'), -1);
    record.size = size;
    record.finish_time = 1700000000;
    record.local_path = local;
    record.is_download = download;
    record.percent = 100;
    return record;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

class HistoryTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        MakeReady("{\"name\":\"u1\"}");
        file = g_Config.history_path;
        ASSERT_FALSE(file.isEmpty());
        // The engine outlives a test; its finished list must not carry one test's entries on.
        OnEngine([] { g_LocalStoreMgr.FinishedList().Clear(); });
    }
    TASKLIST_NOTIFY List(TASK_LIST_TYPE type) {
        TASKLIST_NOTIFY list(type);
        EXPECT_TRUE(VUZeroz::GetInstance()->GetTaskList(list));
        return list;
    }
    // Empties the finished list in memory and reads the file again, as after a restart.
    void Reload() {
        OnEngine([] {
            g_LocalStoreMgr.FinishedList().Clear();
            g_LocalStoreMgr.LoadFinishTaskList();
        });
    }
    QString file;
};

TEST_F(HistoryTest, PathsWithSeparatorsAndLineFeedsComeBackWhole) {
    const std::vector<FILE_INFO> records{
        Finished(QStringLiteral("/plain/a.txt"), 12, root + QStringLiteral("/plain/a.txt"), true),
        Finished(QStringLiteral("/pipe/b|c.txt"), 34, QStringLiteral("/tmp/out/b|c.txt"), false),
        Finished(QStringLiteral("/feed/d\ne\\f.txt"), 0, root + QStringLiteral("/feed/d\ne\\f.txt"), true)};
    OnEngine([&] {
        for (const FILE_INFO& record : records)
            g_LocalStoreMgr.AddToFinishTask(record);
        EXPECT_TRUE(g_LocalStoreMgr.SaveFinishTaskList());
    });
    const QByteArray text = ReadAll(file);
    EXPECT_EQ(text.count('\n'), 3);
    // A plain path is written exactly as older files hold it.
    EXPECT_TRUE(text.contains(
        (QStringLiteral("/plain/a.txt|a.txt|12|1700000000|") + root + QStringLiteral("/plain/a.txt|1\n"))
            .toUtf8()));
    EXPECT_TRUE(text.contains("/pipe/b\\|c.txt|b\\|c.txt|34|1700000000|/tmp/out/b\\|c.txt|0\n"));

    Reload();
    const TASKLIST_NOTIFY list = List(TASK_LIST_FINISHED);
    ASSERT_EQ(list.tasks.size(), records.size());
    EXPECT_EQ(list.count, 3u);
    for (const FILE_INFO& record : records) {
        const auto found = std::find_if(list.tasks.begin(), list.tasks.end(),
                                        [&](const auto& entry) { return entry->path == record.path; });
        ASSERT_NE(found, list.tasks.end()) << qPrintable(record.path);
        EXPECT_EQ((*found)->size, record.size);
        EXPECT_EQ((*found)->local_path, record.local_path);
        EXPECT_EQ((*found)->is_download, record.is_download);
    }
}

TEST_F(HistoryTest, AnOlderFileLoadsAndIsWrittenBackTheSame) {
    const QByteArray older = "/x/one.bin|one.bin|1048576|1600000000|/home/u/one.bin|1\n"
                             "/x/two.txt|two.txt|5|1600000001|/home/u/two.txt|0\n";
    WriteAll(file, older + "/x/five|fields|1|2|3\n" + "\n");
    Reload();
    EXPECT_EQ(List(TASK_LIST_FINISHED).tasks.size(), 2u);
    OnEngine([] { EXPECT_TRUE(g_LocalStoreMgr.SaveFinishTaskList()); });
    EXPECT_EQ(ReadAll(file), older);
}

// (That a save cut short keeps the old file whole is shown by SaveKillTest.)
TEST_F(HistoryTest, AFailedSaveChangesNoCounter) {
    g_Config.SaveUserProfileInt(QStringLiteral("finish_task_count"), 7);
    g_Config.pending_bytes = 5000;
    // A path below a plain file cannot be written, whoever runs the test.
    WriteAll(file, "/old|old|1|2|/l/old|1\n");
    OnEngine([&] {
        g_Config.history_path = file + QStringLiteral("/history.dat");
        g_LocalStoreMgr.AddToFinishTask(Finished(QStringLiteral("/new"), 3, QStringLiteral("/l/new"), true));
        EXPECT_FALSE(g_LocalStoreMgr.SaveFinishTaskList());
        g_Config.history_path = file;
    });
    EXPECT_EQ(ReadAll(file), QByteArray("/old|old|1|2|/l/old|1\n"));
    EXPECT_EQ(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_count"), 0), 7);
    EXPECT_EQ(g_Config.pending_bytes.load(), 5000);
}

// A full disk: the old history stays whole, and the user is told.
TEST_F(HistoryTest, AFullDiskKeepsTheOldHistoryAndIsShown) {
    const QByteArray old = "/old|old|1|2|/l/old|1\n";
    WriteAll(file, old);
    bool saved = true;
    OnEngine([&] {
        for (int i = 0; i < 10; ++i)
            g_LocalStoreMgr.AddToFinishTask(Finished(QStringLiteral("/new%1").arg(i), 3, QStringLiteral("/l/n"), true));
        const FileSizeLimit limit(rlim_t(old.size()) + 5);
        saved = limit.ok() && g_LocalStoreMgr.SaveFinishTaskList();
    });
    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadAll(file), old);
    EXPECT_TRUE(receiver.WaitFor(
        QCEventBase::GlobalError, [](const RecordedEvent& e) { return e.kind == SYNC_ERROR::DiskFull; }, 20000));
}

// What finished is on disk within seconds, not only at the engine's stop: a process that is
// killed keeps it.
TEST_F(HistoryTest, AFinishedTaskIsSavedSoonWithoutAStop) {
    OnEngine([] {
        g_LocalStoreMgr.AddToFinishTask(Finished(QStringLiteral("/soon.txt"), 5, QStringLiteral("/l/soon.txt"), false));
    });
    EXPECT_TRUE(WaitUntil([this] { return ReadAll(file).contains("/soon.txt|soon.txt|5|"); }, 1000, 20000));
}

TEST_F(HistoryTest, DeletingTheHistoryEmptiesFileListAndCounters) {
    g_Config.finish_task_have_count = 4;
    g_Config.finish_task_have_size = 4096;
    g_Config.finish_task_last_uspeed = 900;
    OnEngine([] {
        g_LocalStoreMgr.AddToFinishTask(Finished(QStringLiteral("/a"), 1, QStringLiteral("/l/a"), true));
        EXPECT_TRUE(g_LocalStoreMgr.SaveFinishTaskList());
    });
    VUZeroz::GetInstance()->DeleteHistoryTask();
    ASSERT_TRUE(receiver.WaitFor(2208, 20000));
    const TASKLIST_NOTIFY list = List(TASK_LIST_FINISHED);
    EXPECT_EQ(list.list_size, 0u);
    EXPECT_TRUE(list.tasks.empty());
    EXPECT_EQ(ReadAll(file), QByteArray());
    for (const char* key : {"finish_task_count", "finish_task_have_count", "finish_task_save_time"})
        EXPECT_EQ(g_Config.ReadUserProfileInt(QLatin1String(key), -1), 0) << key;
    EXPECT_EQ(g_Config.ReadUserProfileInt64(QStringLiteral("finish_task_have_size"), -1), 0);
    EXPECT_EQ(g_Config.ReadUserProfileInt(QStringLiteral("finish_task_last_uspeed"), -1), 200);
}

TEST_F(HistoryTest, TheRunningSnapshotCapsEachListButCountsThemWhole) {
    OnEngine([] {
        for (int i = 0; i < 400; ++i)
            g_LocalStoreMgr.FailedList().Add(Finished(QStringLiteral("/f%1").arg(i), 1, QString(), false));
        g_LocalStoreMgr.UpList().Add(Finished(QStringLiteral("/up"), 1, QString(), false));
        g_LocalStoreMgr.AddToFinishTask(Finished(QStringLiteral("/done"), 1, QString(), true));
    });
    const TASKLIST_NOTIFY running = List(TASK_LIST_RUNNING);
    EXPECT_EQ(running.list_size, 401u);
    EXPECT_EQ(running.tasks.size(), size_t(0x168 + 1));
    EXPECT_EQ(running.running_count, quint32(0x168 + 1));
    EXPECT_EQ(running.finished_count, 1u);
    const TASKLIST_NOTIFY finished = List(TASK_LIST_FINISHED);
    EXPECT_EQ(finished.running_count, quint32(0x168 + 1));
    EXPECT_EQ(finished.finished_count, 1u);
    OnEngine([] {
        g_LocalStoreMgr.FailedList().Clear();
        g_LocalStoreMgr.UpList().Clear();
    });
}
