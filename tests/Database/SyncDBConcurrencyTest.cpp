// The sync database under several threads: pool threads writing while the engine's transaction is
// open, reads of uncommitted writes across threads, and writes racing with Close.
#include "SyncDBTestEnv.h"

#include "Database/QCDbThread.h"
#include "Database/QCSyncDB.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct WriterResult {
    int failures = 0;
    qint64 longestWaitMs = 0;
};

// Writes `count` records named after `writer` on a pool thread.
void WriteRecords(int writer, int count, WriterResult& result) {
    for (int i = 0; i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/w%1/file %2").arg(writer).arg(i), i + 1)))
            ++result.failures;
        result.longestWaitMs = std::max(result.longestWaitMs, timer.elapsed());
    }
}

TEST_F(SyncDBTest, PoolThreadsWriteIntoTheEnginesOpenTransaction) {
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 50;
    Open();
    // This thread plays the engine: it begins the long transaction and later commits it.
    ASSERT_TRUE(QCSyncDB::BeginTransaction());

    // Plain threads stand in for the pool's: Qt's own pool is not instrumented for ThreadSanitizer.
    std::vector<WriterResult> results(kWriters);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([w, &results] { WriteRecords(w, kPerWriter, results[w]); });
    for (std::thread& writer : writers)
        writer.join();

    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(results[w].failures, 0) << "writer " << w;
        EXPECT_LT(results[w].longestWaitMs, 3000) << "writer " << w << " waited too long";
    }
    EXPECT_EQ(JournalRows(), 0) << "the pool's writes belong to the open transaction";

    ASSERT_TRUE(QCSyncDB::Commit());
    ASSERT_TRUE(QCSyncDB::Close());
    Open();
    std::map<QString, FILE_INFO> map;
    ASSERT_TRUE(QCSyncDB::GetAll(map));
    EXPECT_EQ(map.size(), size_t(kWriters * kPerWriter));
    EXPECT_EQ(JournalRows(), kWriters * kPerWriter);
}

TEST_F(SyncDBTest, EveryThreadSeesUncommittedWritesOfEveryOther) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    bool written = false;
    std::thread writer(
        [&written] { written = QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/shared"))); });
    writer.join();
    ASSERT_TRUE(written);
    FILE_INFO read;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/shared"), read));

    // A commit from another thread ends the one transaction, not a private one of that thread.
    bool committed = false;
    std::thread committer([&committed] { committed = QCSyncDB::Commit(); });
    committer.join();
    EXPECT_TRUE(committed);
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    EXPECT_EQ(JournalRows(), 1);
}

TEST_F(SyncDBTest, WritesRacingWithCloseAreStoredOrReportedFailed) {
    constexpr int kWriters = 3;
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    std::atomic<bool> stop{false};
    std::atomic<int> succeeded{0};
    std::atomic<int> attempts{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, &stop, &succeeded, &attempts] {
            for (int i = 0; !stop; ++i) {
                ++attempts;
                if (QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/race%1/%2").arg(w).arg(i))))
                    ++succeeded;
            }
        });
    }
    while (attempts < 20)
        std::this_thread::yield();
    EXPECT_TRUE(QCSyncDB::Close());
    stop = true;
    for (std::thread& t : writers)
        t.join();
    EXPECT_EQ(JournalRows(), succeeded.load()) << "every reported success is on disk, nothing else";
}

TEST_F(SyncDBTest, RowsHandedOnAreReadByEveryThreadAfterwardsInTheirOrder) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    // Two threads write the same path later and hand their rows on one after the other: the last
    // one handed on wins, and a third thread's read afterwards sees every row.
    for (const int version : {1, 2}) {
        std::thread writer([version] {
            for (int i = 0; i < 300; ++i)
                QCSyncDB::UpdateFileInfoLater(MakeRecord(QStringLiteral("/later/%1").arg(i), version));
            EXPECT_TRUE(QCSyncDB::Flush());
            EXPECT_EQ(QCSyncDB::LaterCount(), 0u);
        });
        writer.join();
    }
    std::vector<QString> paths;
    for (int i = 0; i < 300; ++i)
        paths.push_back(QStringLiteral("/later/%1").arg(i));
    std::map<QString, FILE_INFO> rows;
    std::thread reader([&] { EXPECT_TRUE(QCSyncDB::GetFileInfos(paths, rows)); });
    reader.join();
    ASSERT_EQ(rows.size(), paths.size());
    for (const auto& [path, row] : rows)
        EXPECT_EQ(row.version, 2u) << qPrintable(path);
    ASSERT_TRUE(QCSyncDB::Close());
    EXPECT_EQ(JournalRows(), 300);
}

// --- The database thread itself ---

TEST(DbThreadTest, RunsJobsInOrderAndInlineOnItself) {
    QCDbThread thread(nullptr);
    std::vector<int> order;
    EXPECT_FALSE(thread.Call([&order] { order.push_back(0); })) << "not started";
    thread.Start();
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(thread.Call([&order, i] { order.push_back(i); }));
    bool nested = false;
    EXPECT_TRUE(thread.Call([&thread, &nested] { thread.Call([&nested] { nested = true; }); }));
    EXPECT_TRUE(nested) << "a job handing in a job must not wait for itself";
    thread.Stop();
    EXPECT_FALSE(thread.Call([&order] { order.push_back(9); })) << "stopped";
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DbThreadTest, PostedJobsQueueInOrderWithoutWaitingAndRunBeforeTheStop) {
    QCDbThread thread(nullptr);
    EXPECT_FALSE(thread.Post([] {})) << "not started";
    thread.Start();
    std::mutex mutex;
    std::condition_variable released; // the job has begun, or may end
    bool release = false;
    std::vector<int> order; // guarded by mutex
    // A caller's job holds the thread: a post must return meanwhile.
    std::thread holder([&] {
        thread.Call([&] {
            std::unique_lock<std::mutex> lock(mutex);
            order.push_back(1);
            released.notify_all();
            released.wait(lock, [&] { return release; });
        });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return !order.empty(); });
    }
    EXPECT_TRUE(thread.Post([&] {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(2);
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(order, (std::vector<int>{1})) << "the post ran before the job ahead of it";
        release = true;
    }
    released.notify_all();
    holder.join();
    EXPECT_TRUE(thread.Call([&] { order.push_back(3); }));
    EXPECT_TRUE(thread.Post([&] { order.push_back(4); }));
    thread.Stop(); // runs what was handed in first
    EXPECT_FALSE(thread.Post([&] { order.push_back(5); })) << "stopped";
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(DbThreadTest, TickRunsWhenDueWithoutJobs) {
    std::mutex mutex;
    std::condition_variable ticked;
    int ticks = 0;
    QCDbThread thread([&]() -> qint64 {
        std::lock_guard<std::mutex> lock(mutex);
        ++ticks;
        ticked.notify_all();
        return ticks < 3 ? 10 : -1;
    });
    thread.Start();
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(ticked.wait_for(lock, std::chrono::seconds(5), [&ticks] { return ticks >= 3; }))
            << "ticks: " << ticks;
    }
    thread.Stop();
    EXPECT_EQ(ticks, 3) << "no tick after it asked for none";
}

} // namespace
