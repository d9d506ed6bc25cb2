#include "sync/QCLocalStoreMgr.h"

#include "cache/ViewRefreshJob.h"
#include "common/QCEvents.h"
#include "sync/SyncRecords.h"

#include <QJsonObject>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class LocalStoreMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_LocalStoreMgr.EventQueue().Stop();
        g_LocalStoreMgr.TakeCalls();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(LocalStoreMgrTest, SendCoreProcEventQueuesAtTheTailInOrder) {
    g_LocalStoreMgr.EventQueue().Add(std::make_shared<QCCoreTimerEvent>());
    g_LocalStoreMgr.SendCoreProcEvent(42, 7);
    g_LocalStoreMgr.SendCoreProcEvent(43, 8);

    std::shared_ptr<QCEventBase> event;
    ASSERT_TRUE(g_LocalStoreMgr.EventQueue().Fetch(event));
    EXPECT_EQ(int(event->type()), int(QCEventBase::CoreTimer));
    for (const auto& expected : {std::make_pair(42, 7u), std::make_pair(43, 8u)}) {
        ASSERT_TRUE(g_LocalStoreMgr.EventQueue().Fetch(event));
        ASSERT_EQ(int(event->type()), int(QCEventBase::ProcResponse));
        const auto* response = static_cast<QCProcResponseEvent*>(event.get());
        EXPECT_EQ(response->command, expected.first);
        EXPECT_EQ(response->task_id, expected.second);
    }
    EXPECT_FALSE(g_LocalStoreMgr.EventQueue().Fetch(event));
    EXPECT_TRUE(g_LocalStoreMgr.TakeCalls().empty()) << "queuing is no handler call";
}

TEST_F(LocalStoreMgrTest, IsOrphanTaskHasNoSideEffect) {
    EXPECT_TRUE(g_LocalStoreMgr.IsOrphanTask(5));
    g_LocalStoreMgr.SetTaskOwned(5, true);
    EXPECT_FALSE(g_LocalStoreMgr.IsOrphanTask(5));
    EXPECT_FALSE(g_LocalStoreMgr.IsOrphanTask(5));
    EXPECT_TRUE(g_LocalStoreMgr.IsOrphanTask(6));
    g_LocalStoreMgr.SetTaskOwned(5, false);
    EXPECT_TRUE(g_LocalStoreMgr.IsOrphanTask(5));
    EXPECT_TRUE(g_LocalStoreMgr.TakeCalls().empty());
    EXPECT_EQ(g_LocalStoreMgr.EventQueue().Count(), 0);
}

TEST_F(LocalStoreMgrTest, HandlersRecordTheirCallsInOrder) {
    QJsonValue data(QJsonObject{{QStringLiteral("qid"), QStringLiteral("1")}});
    QJsonObject reply{{QStringLiteral("errno"), 0}};
    CMD_STAT_DEBUG stat;
    g_LocalStoreMgr.OnError(42, 0, QString(), nullptr);
    g_LocalStoreMgr.OnError(14, 2008, QStringLiteral("text"), &stat);
    g_LocalStoreMgr.ReLogin();
    g_LocalStoreMgr.AckLogin(data, true);
    g_LocalStoreMgr.AckGetGlobalNodes(data, 500, true);
    g_LocalStoreMgr.ProcServerFileOperate(21, 9, data, 0, 0, QStringLiteral("msg"));
    g_LocalStoreMgr.ProcUploadFile(41, 11, reply);

    const std::vector<QCLocalStoreMgr::RecordedCall> calls = g_LocalStoreMgr.TakeCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].name, QStringLiteral("OnError"));
    EXPECT_EQ(calls[0].kind, 42);
    EXPECT_FALSE(calls[0].hasStat);
    EXPECT_EQ(calls[1].serviceErrno, 2008);
    EXPECT_EQ(calls[1].text, QStringLiteral("text"));
    EXPECT_TRUE(calls[1].hasStat);
    EXPECT_EQ(calls[2].name, QStringLiteral("ReLogin"));
    EXPECT_EQ(calls[3].name, QStringLiteral("AckLogin"));
    EXPECT_TRUE(calls[3].flag);
    EXPECT_EQ(calls[3].data, data);
    EXPECT_EQ(calls[4].count, 500u);
    EXPECT_EQ(calls[5].name, QStringLiteral("ProcServerFileOperate"));
    EXPECT_EQ(calls[5].command, 21);
    EXPECT_EQ(calls[5].id, 9u);
    EXPECT_EQ(calls[5].text, QStringLiteral("msg"));
    EXPECT_EQ(calls[6].name, QStringLiteral("ProcUploadFile"));
    EXPECT_EQ(calls[6].data.toObject(), reply);
    EXPECT_TRUE(g_LocalStoreMgr.TakeCalls().empty()) << "TakeCalls empties the log";
}

TEST_F(LocalStoreMgrTest, CallsFromManyThreadsAreAllRecorded) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                g_LocalStoreMgr.OnError(t, i, QString(), nullptr);
                g_LocalStoreMgr.SendCoreProcEvent(t, unsigned(i));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(g_LocalStoreMgr.TakeCalls().size(), 2000u);
    EXPECT_EQ(g_LocalStoreMgr.EventQueue().Count(), 2000);
}

TEST(SyncRecordsTest, ListsCarryTheEngineRecords) {
    QCLockList<SYNC_CHANGE_INFO> changes;
    SYNC_CHANGE_INFO change;
    change.path = QStringLiteral("/mirror/new");
    change.old_path = QStringLiteral("/mirror/old");
    change.type = SYNC_CHANGE_REN;
    change.user_op = 1;
    changes.Add(change);
    SYNC_CHANGE_INFO out;
    ASSERT_TRUE(changes.Fetch(out));
    EXPECT_EQ(out.path, change.path);
    EXPECT_EQ(out.old_path, change.old_path);
    EXPECT_EQ(out.type, SYNC_CHANGE_REN);
    EXPECT_EQ(out.user_op, 1);

    QCLockList<OUT_UPLOAD_FILE> uploads;
    uploads.Add(OUT_UPLOAD_FILE{QStringLiteral("/home/u/a.txt"), QStringLiteral("/docs/a.txt"), 12, 34});
    OUT_UPLOAD_FILE upload;
    ASSERT_TRUE(uploads.Fetch(upload));
    EXPECT_EQ(upload.cloud_path, QStringLiteral("/docs/a.txt"));
    EXPECT_EQ(upload.size, 12u);
    EXPECT_EQ(upload.mtime, 34u);

    QCLockList<SYNC_BATCH_CHANGE_INFO> batches; // constructed and destroyed, never filled
    EXPECT_EQ(batches.Count(), 0);

    QCLockList<VIEW_REFRESH_JOB> jobs;
    VIEW_REFRESH_JOB job;
    EXPECT_EQ(job.type, 0);
    EXPECT_EQ(job.count, 9999);
    job.type = 2;
    job.file.path = QStringLiteral("/docs/a.txt");
    job.file.size = 99;
    jobs.Add(job);
    VIEW_REFRESH_JOB taken;
    ASSERT_TRUE(jobs.FetchWait(taken, 1000));
    EXPECT_EQ(taken.type, 2);
    EXPECT_EQ(taken.file.path, job.file.path);
    EXPECT_EQ(taken.file.size, 99u);
}

} // namespace
