// The index never calls out while it holds its lock: a host that probes the lock from another
// thread on every call (notices, path mapping, settings) never finds it held. And the index
// stays whole under several threads at once.
#include "CacheTestSupport.h"

#include <functional>
#include <thread>

namespace {

struct LockCase {
    const char* name;
    std::function<void(QCCache&)> act;
    const char* after;
    int notices; // notices, transfer-list reports and failed-task entries together
};

void PrintTo(const LockCase& c, std::ostream* os) {
    *os << c.name;
}

class NoticeLockTest : public CacheFixture, public ::testing::TestWithParam<LockCase> {};

TEST_P(NoticeLockTest, NoCallWhileTheLockIsHeld) {
    Put({{"/d", 5, true}, {"/d/a", 5}, {"/d/e", 9, true}, {"/d/e/b", 9}, {"/b", 2, true}, {"/b/a", 11}});
    host.ProbeLock(&cache.IndexLockForTests());
    GetParam().act(cache);
    EXPECT_EQ(host.HeldCount(), 0) << "of " << host.ProbeCount() << " calls";
    EXPECT_EQ(int(host.Notices().size() + host.Kind3().size() + host.Failed().size()), GetParam().notices);
    host.ProbeLock(nullptr);
    EXPECT_EQ(Dump(), QString::fromUtf8(GetParam().after));
}

const char* const kUnchanged = "/b=2 /b/a=11 /d=5 /d/a=5 /d/e=9 /d/e/b=9";

const LockCase kLockCases[] = {
    {"ChangeFileStatus",
     [](QCCache& c) { c.ChangeFileStatus(QStringLiteral("/d"), FILE_STATUS_SYNCED, false); },
     "/b=2 /b/a=11 /d=2 /d/a=2 /d/e=2 /d/e/b=2", 1},
    {"Rename", [](QCCache& c) { c.Rename(QStringLiteral("/d"), QStringLiteral("/b")); },
     "/b=2 /b/a=11 /b/e=9 /b/e/b=9", 1},
    {"Delete", [](QCCache& c) { c.Delete(QStringLiteral("/sync/d"), true); }, "/b=2 /b/a=11", 4},
    {"UpdateKind3",
     [](QCCache& c) {
         const FILE_INFO f = Record(QStringLiteral("/b/new"), false);
         c.Update(QStringLiteral("/sync/b/new"), f, FILE_STATUS_WAIT_UP, true, false, true);
     },
     "/b=2 /b/a=11 /b/new=9 /d=5 /d/a=5 /d/e=9 /d/e/b=9", 2},
    {"UpdateError",
     [](QCCache& c) {
         c.Update(QStringLiteral("/d/a"), Record(QStringLiteral("/d/a"), false), FILE_STATUS_ERR, false,
                  false, true);
     },
     "/b=2 /b/a=11 /d=5 /d/a=4 /d/e=9 /d/e/b=9", 1},
    {"FixParentDir", [](QCCache& c) { c.FixParentDir(QStringLiteral("/sync/b/x/y/z.txt")); },
     "/b=2 /b/a=11 /b/x=9 /b/x/y=9 /d=5 /d/a=5 /d/e=9 /d/e/b=9", 2},
    {"UpdateProgress",
     [](QCCache& c) { c.UpdateProgress(Record(QStringLiteral("/d/a"), false, 10), 5, FILE_STATUS_DOWNING); },
     kUnchanged, 1},
    {"UpdateSync", [](QCCache& c) { c.UpdateSync(QStringLiteral("/b/a"), true); }, kUnchanged, 1},
    {"RollUpAndListings",
     [](QCCache& c) {
         FileInfo out;
         std::vector<FileInfo> list;
         c.GetFileInfoProgress(QStringLiteral("/sync/d"), out);
         c.Query(QStringLiteral("/sync"), list);
         c.QueryExt(QStringLiteral("/d"), true, list);
         c.ListAll(QStringLiteral("/d"), list);
         c.Search(list, {[](const QString& path) { return path.endsWith(QLatin1Char('a')); }, true, false});
     },
     "/b=2 /b/a=11 /d=3 /d/a=5 /d/e=9 /d/e/b=9", 0}, // the roll-up writes /d back
};

INSTANTIATE_TEST_SUITE_P(Cache, NoticeLockTest, ::testing::ValuesIn(kLockCases),
                         [](const auto& info) { return std::string(info.param.name); });

class ThreadsTest : public CacheFixture, public ::testing::Test {};

// Writers on folders of their own, readers over the whole tree: each writer's folder ends as it
// left it.
TEST_F(ThreadsTest, WritersAndReadersTogether) {
    constexpr int kWriters = 3;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([this, w] {
            const QString folder = QStringLiteral("/w%1").arg(w);
            cache.Update(folder, Record(folder, true), FILE_STATUS_SYNCED, true, false, true);
            for (int i = 0; i < kRounds; ++i) {
                const QString file = folder + QStringLiteral("/f%1").arg(i % 20);
                if (i % 7 == 0)
                    cache.Delete(file, true);
                cache.Update(file, Record(file, false, 10), FILE_STATUS(2 + i % 4), true, false, true);
                if (i % 50 == 0)
                    cache.ChangeFileStatus(folder, FILE_STATUS_SYNCED, false);
            }
        });
    }
    threads.emplace_back([this] {
        for (int i = 0; i < kRounds; ++i) {
            FileInfo out;
            std::vector<FileInfo> list;
            cache.GetFileInfoProgress(QStringLiteral("/sync"), out);
            cache.Query(QStringLiteral("/"), list);
            cache.Search(list,
                         {[](const QString& path) { return path.contains(QLatin1Char('f')); }, false, false});
        }
    });
    for (std::thread& t : threads)
        t.join();
    for (int w = 0; w < kWriters; ++w) {
        std::vector<FileInfo> list;
        cache.ListAll(QStringLiteral("/w%1").arg(w), list);
        EXPECT_EQ(list.size(), 20u) << w; // every file was written again after its last delete
    }
}

} // namespace
