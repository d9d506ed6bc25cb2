#include "TaskListModel.h"
#include "cache/QCFileInfoCache.h"
#include "common/QCClock.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

struct FileInfoCacheProbe {
    static quint64 Total(const QCFileInfoCache& list) {
        std::lock_guard<std::recursive_mutex> lock(list.m_mutex);
        return list.m_total;
    }
    static quint64 Finished(const QCFileInfoCache& list) {
        std::lock_guard<std::recursive_mutex> lock(list.m_mutex);
        return list.m_finished;
    }
};

namespace {

using Listing = std::vector<std::shared_ptr<TransferInfo>>;

FILE_INFO Rec(const QString& path, quint64 size, quint64 done = 0, quint32 percent = 0) {
    FILE_INFO r;
    r.path = path;
    r.size = size;
    r.done_size = done;
    r.percent = percent;
    return r;
}
FILE_INFO Rec(const char* path, quint64 size, quint64 done = 0, quint32 percent = 0) {
    return Rec(QString::fromUtf8(path), size, done, percent);
}

// "path:status" of each entry of `out`, in order.
std::string Describe(const Listing& out) {
    std::string text;
    for (const auto& info : out)
        text += " " + (info ? info->path.toStdString() + ":" + std::to_string(info->status) : "null");
    return text;
}

// Entries, percent and total of the list, then what Get(out, 5, max) returns and leaves in `out`.
std::string Summary(QCFileInfoCache& list, Listing& out, int max) {
    std::string text = std::to_string(list.Size()) + " at " + std::to_string(list.GetPercent()) + "% of " +
                       std::to_string(FileInfoCacheProbe::Total(list));
    text += ", Get " + std::to_string(list.Get(out, FILE_STATUS_DOWNING, max)) + ":";
    return text + Describe(out);
}

void FillFinished(QCFileInfoCache& list, int n) {
    for (int i = 0; i < n; ++i)
        list.UpdateToEnd(Rec(QStringLiteral("/f%1").arg(i), 10, 10, 100));
}

struct EdgeCase {
    const char* name;
    std::function<void(QCFileInfoCache&, Listing&)> steps;
    int max; // of the closing Get
    const char* expected;
};

void PrintTo(const EdgeCase& c, std::ostream* os) {
    *os << c.name;
}

class EdgeCaseTest : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(EdgeCaseTest, ListEndsAsExpected) {
    QCFileInfoCache list;
    Listing out;
    GetParam().steps(list, out);
    EXPECT_EQ(Summary(list, out, GetParam().max), GetParam().expected);
}

const EdgeCase kEdgeCases[] = {
    {"ZeroByteEntryAddsOneToTotal", [](QCFileInfoCache& l, Listing&) { l.Add(Rec("/empty", 0)); }, 9,
     "1 at 0% of 1, Get 1: /empty:5"},
    {"NewTaskOnHalfDoneListHalvesThePercent",
     [](QCFileInfoCache& l, Listing&) {
         l.Add(Rec("/a", 100));
         l.Update(Rec("/a", 100, 50, 50));
         ASSERT_EQ(l.GetPercent(), 50u);
         l.Add(Rec("/b", 100));
     },
     9, "2 at 25% of 200, Get 2: /a:5 /b:5"},
    {"LastRunningEntryRemovedLeavesHundred",
     [](QCFileInfoCache& l, Listing&) {
         l.Add(Rec("/a", 100, 40, 40));
         l.Del(Rec("/a", 100, 40, 40));
     },
     9, "0 at 100% of 100, Get 0:"},
    {"FullFinishedListDropsOldestFirst",
     [](QCFileInfoCache& l, Listing&) {
         FillFinished(l, 0x169);
         l.UpdateToEnd(Rec("/new", 10, 10, 100));
         EXPECT_FALSE(l.Find(QStringLiteral("/f0")));
         EXPECT_TRUE(l.Find(QStringLiteral("/f1")) && l.Find(QStringLiteral("/new")));
     },
     0, "361 at 0% of 3620, Get 0:"},
    {"ListedPathMovesToEndWithoutGrowing",
     [](QCFileInfoCache& l, Listing&) {
         FillFinished(l, 3);
         l.UpdateToEnd(Rec("/F0", 10, 10, 100));
     },
     9, "3 at 0% of 40, Get 3: /f1:5 /f2:5 /F0:5"},
    {"GetOfNothingStillSortsOut",
     [](QCFileInfoCache& l, Listing& out) {
         l.Add(Rec("/a", 1));
         out = {nullptr, std::make_shared<TransferInfo>(FileInfo{}),
                std::make_shared<TransferInfo>(FileInfo{})};
         out[1]->path = QStringLiteral("/late");
         out[1]->sequence = 7;
         out[2]->path = QStringLiteral("/urgent");
         out[2]->priority = 1;
     },
     0, "1 at 0% of 1, Get 0: /urgent:0 /late:0 null"},
    {"PausedEntryKeepsItsStatus",
     [](QCFileInfoCache& l, Listing&) {
         l.Add(Rec("/a", 1));
         l.Add(Rec("/b", 1));
         l.UpdateStatus(QStringLiteral("/B"), FILE_STATUS_PAUSE);
     },
     9, "2 at 0% of 2, Get 2: /a:5 /b:6"},
    // A second entry of one path would stay listed after its Del.
    {"AddOfListedPathKeepsOneEntry",
     [](QCFileInfoCache& l, Listing&) {
         l.Add(Rec("/a", 100));
         l.Add(Rec("/A", 100, 30));
         l.Del(Rec("/a", 100, 30));
     },
     9, "0 at 100% of 100, Get 0:"},
    {"ProgressKeepsTheAddTime",
     [](QCFileInfoCache& l, Listing&) {
         l.Add(Rec("/a", 100));
         l.Update(Rec("/a", 100, 10, 10));
         FILE_INFO entry;
         EXPECT_TRUE(l.Find(QStringLiteral("/a"), &entry));
         EXPECT_NE(entry.finish_time, 0u);
     },
     9, "1 at 10% of 100, Get 1: /a:5"},
};

INSTANTIATE_TEST_SUITE_P(TransferList, EdgeCaseTest, ::testing::ValuesIn(kEdgeCases),
                         [](const ::testing::TestParamInfo<EdgeCase>& info) { return info.param.name; });

TEST(FileInfoCacheTest, UsedTimeCountsFromTheFirstEntry) {
    QCClock::UseManualForTests();
    QCFileInfoCache list;
    EXPECT_EQ(list.GetUsedTime(), 0u);
    list.Add(Rec("/a", 1));
    QCClock::AdvanceForTests(2500);
    EXPECT_EQ(list.GetUsedTime(), 2u);
    list.Del(Rec("/a", 1));
    list.Add(Rec("/b", 1)); // a first entry again starts the count again
    QCClock::AdvanceForTests(1000);
    EXPECT_EQ(list.GetUsedTime(), 1u);
    QCClock::UseSystemForTests();
}

TEST(FileInfoCacheTest, RandomCallsMatchThePlainModel) {
    constexpr int kCalls = 20000, kPaths = 420; // enough paths to reach the finished list's cap
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    QCFileInfoCache list;
    TaskListModel model;
    for (int call = 0; call < kCalls; ++call) {
        const int i = pick(kPaths);
        FILE_INFO r = Rec(QStringLiteral("/Docs %1/File %2.bin").arg(i % 9).arg(i), 0);
        if (pick(3) == 0)
            r.path = r.path.toUpper();
        r.size = pick(10) == 0 ? 0 : quint64(pick(5000000));
        r.percent = pick(3) == 0 ? 100 : quint32(pick(100));
        r.done_size = pick(3) == 0 ? 0 : r.size >> pick(24); // down to a few bytes: the 1 % floor
        r.priority = pick(10) == 0;
        r.sequence = quint32(pick(4));
        r.finish_time = 1700000000;
        const int op = pick(20);
        if (op < 3 && model.Find(r.path) == model.entries.end()) { // the model would list a path twice
            list.Add(r);
            model.Add(r);
        } else if (op < 9) {
            list.Update(r);
            model.Update(r);
        } else if (op < 12) {
            list.UpdateToEnd(r);
            model.UpdateToEnd(r);
        } else if (op < 16) {
            list.Del(r);
            model.Del(r);
        } else if (op < 18) {
            const quint32 status = pick(2) ? FILE_STATUS_PAUSE : FILE_STATUS_DOWNING;
            list.UpdateStatus(r.path, status);
            model.UpdateStatus(r.path, status);
        } else if (op < 19) {
            model.update = !model.update;
            list.SetUpdatePrecent(model.update);
        } else {
            list.UpdatePrecent();
            model.Recompute();
        }
        ASSERT_EQ(list.Size(), quint32(model.entries.size())) << "call " << call;
        ASSERT_EQ(list.GetPercent(), model.percent) << "call " << call;
        ASSERT_EQ(FileInfoCacheProbe::Total(list), model.total) << "call " << call;
        ASSERT_EQ(FileInfoCacheProbe::Finished(list), model.finished) << "call " << call;
        ASSERT_EQ(list.GetLeftFileSize(), (100 - model.percent) * (model.total + model.finished) / 100);
        // The whole listing costs most of the run: compared every 16th call and at the end, a
        // wrong order still shows within a few calls of its cause.
        if (call % 16 == 0 || call == kCalls - 1) {
            Listing out;
            list.Get(out, FILE_STATUS_DOWNING, kPaths);
            ASSERT_EQ(Describe(out), model.Get()) << "call " << call;
        }
    }
}

} // namespace
