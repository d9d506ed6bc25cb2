#include "common/QCLockList.h"
#include "common/QCLockMap.h"
#include "common/QCStringFlag.h"
#include "common/SharedTypes.h"

#include <QElapsedTimer>
#include <QString>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

// Generous bounds: far below the waits they are measured against, far above any scheduling delay.
constexpr qint64 kPromptMs = 20000;
constexpr unsigned long kLongWaitMs = 60000;

// QCLockList -------------------------------------------------------------------------------------

struct Item {
    int producer = -1;
    int sequence = -1;
};

TEST(QCLockListTest, FourProducersOneConsumerKeepEveryItemAndEachProducersOrder) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 10000;
    QCLockList<Item> list;
    std::vector<std::vector<int>> received(kProducers);

    std::thread consumer([&] {
        QElapsedTimer deadline;
        deadline.start();
        int total = 0;
        while (total < kProducers * kPerProducer && deadline.elapsed() < 60000) {
            Item item;
            if (list.FetchWait(item, 1000)) {
                received[size_t(item.producer)].push_back(item.sequence);
                ++total;
            }
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&list, p] {
            for (int i = 0; i < kPerProducer; ++i)
                list.Add(Item{p, i});
        });
    }
    for (std::thread& producer : producers)
        producer.join();
    consumer.join();

    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(received[size_t(p)].size(), size_t(kPerProducer)) << "producer " << p;
        for (int i = 0; i < kPerProducer; ++i)
            ASSERT_EQ(received[size_t(p)][size_t(i)], i) << "producer " << p << " out of order";
    }
    EXPECT_EQ(list.Count(), 0);
}

TEST(QCLockListTest, AddFrontGoesBeforeEverythingQueued) {
    QCLockList<int> list;
    list.Add(1);
    list.Add(2);
    list.AddFront(3);
    int value = 0;
    std::vector<int> order;
    while (list.Fetch(value))
        order.push_back(value);
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
}

TEST(QCLockListTest, FetchWaitTakesABacklogAtOnce) {
    // A consumer that was busy while work arrived must not wait once per queued element.
    QCLockList<int> list;
    for (int i = 0; i < 5; ++i)
        list.Add(i);
    QElapsedTimer timer;
    timer.start();
    int value = -1;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(list.FetchWait(value, 10000));
        EXPECT_EQ(value, i);
    }
    EXPECT_LT(timer.elapsed(), kPromptMs);
}

TEST(QCLockListTest, FetchWaitOnAnEmptyListTimesOutAndLeavesTheArgument) {
    QCLockList<int> list;
    int value = 77;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(list.FetchWait(value, 50));
    EXPECT_GE(timer.elapsed(), 40);
    EXPECT_EQ(value, 77);
    EXPECT_FALSE(list.Fetch(value));
    EXPECT_EQ(value, 77);
}

TEST(QCLockListTest, AddWakesAWaitingFetchWaitPromptly) {
    QCLockList<int> list;
    QElapsedTimer timer;
    timer.start();
    auto result = std::async(std::launch::async, [&] {
        int value = 0;
        return list.FetchWait(value, kLongWaitMs) ? value : -1;
    });
    // Whether the consumer is already asleep or not, the element is taken at once.
    list.AddFront(9);
    EXPECT_EQ(result.get(), 9);
    EXPECT_LT(timer.elapsed(), kPromptMs);
}

TEST(QCLockListTest, StopWakesAWaitingFetchWaitPromptly) {
    QCLockList<int> list;
    std::promise<void> entering;
    QElapsedTimer timer;
    auto result = std::async(std::launch::async, [&] {
        entering.set_value();
        int value = -5;
        const bool got = list.FetchWait(value, kLongWaitMs);
        return got ? value : -5;
    });
    entering.get_future().wait();
    timer.start();
    // A wake reaches only a thread that already waits: repeat Stop until the consumer is out.
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        list.Stop();
    EXPECT_EQ(result.get(), -5) << "nothing was queued";
    EXPECT_LT(timer.elapsed(), kPromptMs);
}

TEST(QCLockListTest, StopEmptiesButTheListStaysUsable) {
    QCLockList<QString> list;
    list.Add(S("a"));
    list.Add(S("b"));
    EXPECT_EQ(list.Count(), 2);
    list.Stop();
    EXPECT_EQ(list.Count(), 0);
    list.Add(S("c"));
    QString value;
    ASSERT_TRUE(list.Fetch(value));
    EXPECT_EQ(value, S("c"));
}

TEST(QCLockListTest, ExistsUsesTheElementsEquality) {
    QCLockList<DOWNLOAD_REQUEST> list;
    DOWNLOAD_REQUEST request;
    request.path = S("/Docs/Report.txt");
    list.Add(request);
    DOWNLOAD_REQUEST asked;
    asked.path = S("/docs/report.TXT");
    EXPECT_TRUE(list.Exists(asked));
    asked.path = S("/docs/other.txt");
    EXPECT_FALSE(list.Exists(asked));
}

// QCLockMap -------------------------------------------------------------------------------------

TEST(QCLockMapTest, FindIsExactAndCaseSensitive) {
    QCLockMap<int> map;
    EXPECT_FALSE(map.Find(S("/a")));
    map.Add(S("/a"), 1);
    EXPECT_TRUE(map.Find(S("/a")));
    EXPECT_FALSE(map.Find(S("/A")));
    map.Add(S("/a"), 2);
    EXPECT_EQ(map.GetAll(), (std::map<QString, int>{{S("/a"), 2}}));
}

TEST(QCLockMapTest, DeleteOneKey) {
    QCLockMap<int> map;
    map.Add(S("/a"), 1);
    map.Add(S("/a/b"), 2);
    EXPECT_FALSE(map.Delete(S("/x"), false));
    EXPECT_FALSE(map.Delete(S("/A"), false));
    EXPECT_TRUE(map.Delete(S("/a"), false));
    EXPECT_EQ(map.GetAll(), (std::map<QString, int>{{S("/a/b"), 2}}));
}

TEST(QCLockMapTest, DeleteSubtreeIgnoresCaseButNotPrefixes) {
    QCLockMap<int> map;
    for (const char* key : {"/a", "/a/", "/a/b", "/A/c", "/ab", "/b"})
        map.Add(S(key), 0);
    EXPECT_TRUE(map.Delete(S("/a"), true));
    std::vector<QString> left;
    for (const auto& entry : map.GetAll())
        left.push_back(entry.first);
    EXPECT_EQ(left, (std::vector<QString>{S("/ab"), S("/b")}));

    EXPECT_FALSE(map.Delete(S("/zzz"), true));
    EXPECT_EQ(map.GetAll().size(), 2u);

    map.Add(S("relative"), 0);
    EXPECT_TRUE(map.Delete(S("/"), true));
    EXPECT_EQ(map.GetAll(), (std::map<QString, int>{{S("relative"), 0}}));
    map.Clear();
    EXPECT_TRUE(map.GetAll().empty());
}

// Both containers from four threads at once: each thread fills its own subtree and removes it
// again while the others do the same (under ThreadSanitizer a missing lock is reported here).
TEST(QCLockMapTest, FourThreadsFillAndDeleteTheirOwnSubtreesAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    QCLockMap<int> map;
    QCStringFlag flag;
    std::vector<std::future<bool>> results;
    for (int t = 0; t < kThreads; ++t) {
        results.push_back(std::async(std::launch::async, [&map, &flag, t] {
            const QString root = QStringLiteral("/t%1").arg(t);
            bool ok = true;
            for (int i = 0; i < kPerThread; ++i) {
                const QString path = root + QStringLiteral("/%1").arg(i);
                map.Add(path, i);
                flag.Set(path, true);
                ok = ok && map.Find(path) && flag.IsSub(path + QStringLiteral("/below"));
                if (i % 20 == 0)
                    ok = ok && !map.GetAll().empty();
            }
            return ok && map.Delete(root, true) && !map.Find(root + QStringLiteral("/0"));
        }));
    }
    for (auto& result : results)
        EXPECT_TRUE(result.get());
    EXPECT_TRUE(map.GetAll().empty());
    std::set<QString> paths;
    flag.FetchAll(paths);
    EXPECT_EQ(paths.size(), size_t(kThreads * kPerThread));
}

// QCStringFlag ----------------------------------------------------------------------------------

TEST(QCStringFlagTest, SetAndFetchAll) {
    QCStringFlag flag;
    flag.Set(S("/a"), true);
    flag.Set(S("/a"), true);
    flag.Set(S("/b"), false); // absent: nothing changes
    std::set<QString> out{S("stale")};
    flag.FetchAll(out);
    EXPECT_EQ(out, (std::set<QString>{S("/a")}));
    flag.FetchAll(out);
    EXPECT_TRUE(out.empty()) << "the first FetchAll emptied the flag";

    flag.Set(S("/x"), true);
    flag.Set(S("/x"), false);
    flag.Set(S("/y"), true);
    flag.Clear();
    EXPECT_FALSE(flag.IsSub(S("/y")));
}

TEST(QCStringFlagTest, IsSub) {
    QCStringFlag flag;
    EXPECT_FALSE(flag.IsSub(S("/a")));
    flag.Set(S("/A"), true);
    EXPECT_TRUE(flag.IsSub(S("/a/b")));
    EXPECT_TRUE(flag.IsSub(S("/a")));
    EXPECT_TRUE(flag.IsSub(S("/a/")));
    EXPECT_FALSE(flag.IsSub(S("/ab")));
    EXPECT_FALSE(flag.IsSub(S("/")));
}

} // namespace
