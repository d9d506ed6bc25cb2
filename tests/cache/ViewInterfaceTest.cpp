// The view thread over a real index and a fake engine that records the events it posts.
#include "CacheTestSupport.h"

#include "support/FakeViewHost.h"

#include "cache/QCViewInterface.h"
#include "common/QCClock.h"
#include "common/TsanAnnotations.h"

#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

class ViewTest : public ::testing::Test {
public:
    void SetUp() override {
        QCClock::UseManualForTests();
        // /f: 250 files; /s: 1,000 names, 80 of them with "Report"; a Chinese name; /g/sub/deep.txt
        // downloading.
        Put(QStringLiteral("/f"), true, 0, 2);
        for (int i = 0; i < 250; ++i)
            Put(QString::asprintf("/f/a%03d.txt", i), false, 100, 2);
        Put(QStringLiteral("/s"), true, 0, 2);
        for (int i = 0; i < 1000; ++i)
            Put(i < 80 ? QString::asprintf("/s/Q%d Report.doc", i) : QString::asprintf("/s/note%03d.txt", i),
                false, 10, 2);
        Put(QString::fromUtf8("/c/中国人.txt"), false, 10, 2);
        Put(QStringLiteral("/g"), true, 0, 2);
        Put(QStringLiteral("/g/sub"), true, 0, 2);
        Put(QStringLiteral("/g/sub/deep.txt"), false, 1000, FILE_STATUS_DOWNING, 100);
        FileInfo rolled; // the folders' stored records take their roll-up
        cache.GetFileInfoProgress(QStringLiteral("/sync/g/sub"), rolled);
        cache.GetFileInfoProgress(QStringLiteral("/sync/g"), rolled);
        host.view = &view;
        view.Start();
    }
    void TearDown() override {
        view.stop();
        view.Wait(-1);
        QCClock::UseSystemForTests();
    }

    void Put(const QString& path, bool dir, quint64 size, int status, quint64 done = 0) {
        FILE_INFO f = Record(path, dir, size);
        f.done_size = done;
        cache.Update(path, f, FILE_STATUS(status), false, false, true);
    }
    // The index's record of a disk path, handed to the view thread as an update notice.
    void Notice(const char* path) {
        FileInfo record;
        ASSERT_TRUE(cache.GetBaseInfo(QString::fromUtf8(path), record)) << path;
        view.NotifyUpdate(record, false);
    }
    void Progress(const char* cloudPath, quint64 size, quint64 done) {
        cache.UpdateProgress(Record(QString::fromUtf8(cloudPath), false, size), done, FILE_STATUS_DOWNING);
    }
    // "type path files/total", then the search flag and marks, then "name:status:percent" of events
    // with at most two entries; events separated by " | ".
    QString Dump() const {
        QStringList out;
        for (const ViewEvent& e : host.Events()) {
            QString line = QStringLiteral("%1 %2 %3/%4")
                               .arg(e.type)
                               .arg(e.data.path)
                               .arg(e.data.files.size())
                               .arg(e.data.total);
            if (e.data.search)
                line += QStringLiteral(" search marks=") + e.data.marks;
            if (e.data.files.size() <= 2) {
                for (const FileInfo& f : e.data.files)
                    line +=
                        QStringLiteral(" %1:%2:%3").arg(GetOnlyFilename(f.path)).arg(f.status).arg(f.percent);
            }
            out << line;
        }
        return out.join(QStringLiteral(" | "));
    }
    bool WaitForEntry(const char* name, quint32 percent) {
        return host.WaitFor(
            [&](const ViewEvent& e) {
                return e.data.files.size() == 1 &&
                       GetOnlyFilename(e.data.files[0].path) == QLatin1String(name) &&
                       e.data.files[0].percent == percent;
            },
            10000);
    }

    FakeViewHost host;
    QCCache cache{host};
    QCViewInterface view{cache, host, host}; // last: it ends before the index goes
};

struct ViewCase {
    const char* name;
    int uiStatus; // 2: still logging in, 4: cloud check
    std::function<void(ViewTest&)> act;
    const char* events;
};

class ViewCaseTest : public ViewTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(ViewCaseTest, Events) {
    host.uiStatus = GetParam().uiStatus;
    GetParam().act(*this);
    if (view.running()) {
        ASSERT_TRUE(view.SettleForTests(10000));
    }
    EXPECT_EQ(Dump().toStdString(), GetParam().events);
}

const ViewCase kViewCases[] = {
    {"OutsideSyncFolderRefused", 4,
     [](ViewTest& t) {
         EXPECT_FALSE(t.view.RefreshList(QStringLiteral("/elsewhere/f"), 0));
         EXPECT_FALSE(t.view.RefreshList(QStringLiteral("/sync2/f"), 0)); // a prefix, not a folder of it
     },
     ""},
    {"PagesOf100", 4, [](ViewTest& t) { EXPECT_TRUE(t.view.RefreshList(QStringLiteral("/sync/f/"), 100)); },
     "2201 /sync/f 100/250 | 2201 /sync/f 100/150 | 2201 /sync/f 50/50"},
    {"Count0OnePage", 4, [](ViewTest& t) { t.view.RefreshList(QStringLiteral("/sync/f"), 0); },
     "2201 /sync/f 250/250"},
    {"SearchSendsFirstPage", 4,
     [](ViewTest& t) { EXPECT_TRUE(t.view.RefreshSearch(QStringLiteral("report"), 50)); },
     "2201 report 50/80 search marks=report"},
    {"SearchByPinyin", 4, [](ViewTest& t) { t.view.RefreshSearch(QStringLiteral("zgr"), 0); },
     "2201 zgr 1/1 search marks=中国人 中国人.txt:2:100"},
    {"LoggingInNoEventYetViewKnown", 2,
     [](ViewTest& t) {
         t.view.RefreshSearch(QStringLiteral("report"), 50);
         t.view.RefreshList(QStringLiteral("/sync/f"), 100);
         t.Notice("/sync/f/a007.txt");
     },
     "2201 /sync/f 1/1 a007.txt:2:100"},
    {"OtherFolderSkipped", 2,
     [](ViewTest& t) {
         t.view.RefreshList(QStringLiteral("/sync/f"), 0);
         t.Notice("/sync/s/note100.txt");
         t.Notice("/sync/f/a007.txt");
     },
     "2201 /sync/f 1/1 a007.txt:2:100"},
    {"RequestedDownloadShown", 2,
     [](ViewTest& t) {
         t.host.requested.insert(QStringLiteral("/sync/s/note100.txt"));
         t.view.RefreshList(QStringLiteral("/sync/f"), 0);
         t.Notice("/sync/s/note100.txt");
     },
     "2201 /sync/f 1/1 note100.txt:2:100"},
    {"CustomViewEntryShownOthersSkipped", 4,
     [](ViewTest& t) {
         t.view.RefreshCustomDir(QStringLiteral("/sync/S"), 1);
         t.Notice("/sync/s/note100.txt");
         t.Notice("/sync/f/a007.txt");
     },
     "2201 /sync/S 1/1000 note080.txt:2:100 | 2201 /sync/S 1/1 note100.txt:2:100"},
    {"ProgressOfShownEntry", 2,
     [](ViewTest& t) {
         t.view.RefreshList(QStringLiteral("/sync/f"), 0);
         t.Progress("/f/a007.txt", 100, 50);
     },
     "2201 /sync/f 1/1 a007.txt:5:50"},
    {"DeletedEntryOfShownFolder", 2,
     [](ViewTest& t) {
         t.view.RefreshList(QStringLiteral("/sync/f"), 0);
         t.cache.Delete(QStringLiteral("/f/a007.txt"), true);
     },
     "2202 /sync/f 1/1 a007.txt:2:0"},
    {"FinishedFileUpdatesItsFolderOnlyOnChange", 2,
     [](ViewTest& t) {
         t.view.RefreshList(QStringLiteral("/sync/g"), 0);
         FILE_INFO done = Record(QStringLiteral("/g/sub/deep.txt"), false, 1000);
         t.cache.Update(done.path, done, FILE_STATUS_SYNCED, true, false, true);
         ASSERT_TRUE(t.view.SettleForTests(10000));
         QCClock::AdvanceForTests(QCViewInterface::kDelayCheckMs); // the folder waits for the check
         ASSERT_TRUE(t.WaitForEntry("sub", 100));
         t.Notice("/sync/g/sub/deep.txt"); // settled again: the folder's roll-up did not change
         ASSERT_TRUE(t.view.SettleForTests(10000));
         QCClock::AdvanceForTests(QCViewInterface::kDelayCheckMs);
         ASSERT_TRUE(t.view.SettleForTests(10000)); // the check runs after the job that woke it
     },
     "2201 /sync/g 1/1 sub:2:100"},
    {"SettledFilesRollTheirFolderUpOncePerCheck", 2,
     [](ViewTest& t) {
         for (int i = 0; i < 50; ++i)
             t.Put(QString::asprintf("/g/sub/n%02d.txt", i), false, 100, FILE_STATUS_DOWNING, 10);
         t.view.RefreshList(QStringLiteral("/sync/g"), 0);
         // Each settled file changes the folder's percent: one roll-up per file would show each.
         for (int i = 0; i < 50; ++i) {
             FILE_INFO done = Record(QString::asprintf("/g/sub/n%02d.txt", i), false, 100);
             t.cache.Update(done.path, done, FILE_STATUS_SYNCED, true, false, true);
         }
         ASSERT_TRUE(t.view.SettleForTests(10000));
         EXPECT_EQ(t.Dump().toStdString(), "");
         QCClock::AdvanceForTests(QCViewInterface::kDelayCheckMs);
         ASSERT_TRUE(t.WaitForEntry("sub", 85)); // deep.txt still has 100 of its 1000 bytes
         ASSERT_TRUE(t.view.SettleForTests(10000));
     },
     "2201 /sync/g 1/1 sub:5:85"},
    {"DeepProgressRolledUpOnItsOwnTimer", 2,
     [](ViewTest& t) {
         t.view.RefreshList(QStringLiteral("/sync/g"), 0);
         t.Progress("/g/sub/deep.txt", 1000, 300);
         t.Progress("/g/sub/deep.txt", 1000, 400);
         ASSERT_TRUE(t.view.SettleForTests(10000));
         EXPECT_EQ(t.Dump().toStdString(), ""); // not due yet
         QCClock::AdvanceForTests(QCViewInterface::kDelayCheckMs);
         ASSERT_TRUE(t.WaitForEntry("sub", 40)); // no job follows: the thread's own timer
         t.Progress("/g/sub/deep.txt", 1000, 500);
         ASSERT_TRUE(t.view.SettleForTests(10000));
         EXPECT_EQ(t.host.Events().size(), 1u); // at most one per 500 ms
         QCClock::AdvanceForTests(QCViewInterface::kDelayCheckMs);
         ASSERT_TRUE(t.WaitForEntry("sub", 50));
     },
     "2201 /sync/g 1/1 sub:5:40 | 2201 /sync/g 1/1 sub:5:50"},
    {"StoppedThreadEndsAndRefuses", 4,
     [](ViewTest& t) {
         t.view.stop();
         // That it ends, not how soon a loaded machine runs it: a thread the stop did not wake
         // would sleep for good.
         EXPECT_TRUE(t.view.Wait(30000));
         EXPECT_FALSE(t.view.NotifyUpdate(FileInfo(), false));
         EXPECT_FALSE(t.view.RefreshList(QStringLiteral("/sync/f"), 0));
     },
     ""},
};

INSTANTIATE_TEST_SUITE_P(View, ViewCaseTest, ::testing::ValuesIn(kViewCases),
                         [](const ::testing::TestParamInfo<ViewCase>& info) { return info.param.name; });

// The search copies the index in chunks under its lock and matches outside it: while it matches
// (the first chunk and the later ones), another thread can take the index lock at once. A search
// under the lock throughout would keep every reader waiting for its whole run.
TEST_F(ViewTest, SearchMatchesOutsideTheIndexLock) {
    for (int i = 0; i < 3 * QCCache::kSearchChunk; ++i)
        Put(QString::asprintf("/big/n%06d.txt", i), false, 10, 2);
    int calls = 0, checks = 0, free = 0;
    QCCacheSearchMatch query;
    query.matches = [&](const QString&) {
        if (calls++ % QCCache::kSearchChunk == 0) {
            ++checks;
            // try_lock, never lock: a lock held here would make a waiting reader a deadlock
            const bool taken = std::async(std::launch::async, [this] {
                                   std::recursive_mutex& lock = cache.IndexLockForTests();
                                   if (!lock.try_lock())
                                       return false;
                                   lock.unlock();
                                   return true;
                               }).get();
            free += taken ? 1 : 0;
        }
        return false;
    };
    std::vector<FileInfo> out;
    ASSERT_TRUE(cache.Search(out, query));
    EXPECT_GE(checks, 3);
    EXPECT_EQ(free, checks);
}

} // namespace
