// The local change pipeline: what the intake makes of reports, how the scheduler orders and
// budgets the work, and what reaches the stand-in for changes of the mirror folder and for the
// facade's mirror commands.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/QCClock.h"
#include "common/QCEventBase.h"
#include "common/WorkPools.h"
#include "support/ByteNames.h"
#include "support/DebugCapture.h"
#include "support/Unprivileged.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <random>
#include <set>

namespace {

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string Bytes(size_t size, unsigned seed) {
    std::string out;
    while (out.size() < size)
        out += "line " + std::to_string(out.size()) + " seed " + std::to_string(seed) + "\n";
    out.resize(size);
    return out;
}

FILE_INFO Row(const QString& path, bool isDir, quint64 size = 0, quint32 mtime = 100) {
    FILE_INFO info;
    info.path = path;
    info.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    info.is_dir = isDir;
    info.size = size;
    info.mtime = mtime;
    info.version = 1;
    return info;
}

// --- Intake, fed as reports --------------------------------------------------------------------

struct Report {
    SYNC_CHANGE_TYPE type;
    const char* path;
    const char* old = "";
};

struct IntakeRow {
    const char* name;
    std::vector<const char*> synced; // journal rows and index entries ("/d/" a folder)
    std::vector<const char*> files;  // present on disk
    std::vector<Report> reports;
    std::vector<std::string> pending; // "type path" of the items left, oldest first
    const char* waiting = "";         // an index entry made waiting for upload, without an item
};

void PrintTo(const IntakeRow& row, std::ostream* out) {
    *out << row.name;
}

class IntakeTest : public EngineTest, public ::testing::WithParamInterface<IntakeRow> {};

TEST_P(IntakeTest, LeavesTheItems) {
    const IntakeRow& row = GetParam();
    MakeReady();
    g_LocalStoreMgr.Watcher().clearAll(); // only the reports of the row
    for (const char* path : row.synced) {
        QString cloud = QString::fromUtf8(path);
        const bool dir = cloud.endsWith(QLatin1Char('/'));
        if (dir)
            cloud.chop(1);
        ASSERT_TRUE(QCSyncDB::UpdateFileInfo(Row(cloud, dir)));
        g_LocalStoreMgr.Cache().Update(root + cloud, Row(cloud, dir), FILE_STATUS_SYNCED, false, false, true);
    }
    for (const char* path : row.files) {
        QFile file(root + QString::fromUtf8(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    if (*row.waiting) {
        const QString cloud = QString::fromUtf8(row.waiting);
        g_LocalStoreMgr.Cache().Update(root + cloud, Row(cloud, false), FILE_STATUS_WAIT_UP, false, false,
                                       true);
    }
    SetStatus(LOCAL_STATUS_OK);
    for (const Report& report : row.reports) {
        const QString old = *report.old ? root + QString::fromUtf8(report.old) : QString();
        g_LocalStoreMgr.NotifyFileChange(root + QString::fromUtf8(report.path), report.type, old, false);
    }
    Pass();
    std::vector<std::string> left;
    OnEngine([&] {
        for (const CHANGE_ITEM& item : g_LocalStoreMgr.PendingForTests())
            left.push_back(std::to_string(int(item.type)) + " " + item.local.path.toStdString());
    });
    EXPECT_EQ(left, row.pending);
    FileInfo entry;
    for (const char* skipped : {"/~$report.docx", "/Data.TMP"}) {
        if (g_LocalStoreMgr.Cache().GetBaseInfo(root + QString::fromUtf8(skipped), entry)) {
            EXPECT_EQ(entry.status, quint32(FILE_STATUS_IGNORE)) << skipped;
        }
    }
}

const SYNC_CHANGE_TYPE ADD = SYNC_CHANGE_ADD, MOD = SYNC_CHANGE_MOD, REN = SYNC_CHANGE_REN,
                       DEL = SYNC_CHANGE_DEL, GONE = SYNC_CHANGE_NOT_FOUND;

INSTANTIATE_TEST_SUITE_P(
    Rows, IntakeTest,
    ::testing::Values(IntakeRow{"AnAddIsAMod", {}, {"/a.txt"}, {{ADD, "/a.txt"}}, {"1 /a.txt"}},
                      IntakeRow{"AFolderModMakesNoItem", {"/d/"}, {}, {{MOD, "/d"}}, {}},
                      IntakeRow{"ARenameRingLeavesNothing",
                                {"/x.txt"},
                                {"/x.txt"},
                                {{REN, "/y.txt", "/x.txt"}, {REN, "/x.txt", "/y.txt"}},
                                {}},
                      IntakeRow{"ADrawingSaveLeavesNoRename",
                                {"/plan.dwg"},
                                {"/plan.bak"},
                                {{REN, "/plan.t1", "/plan.dwg"}, {REN, "/plan.bak", "/plan.t1"}},
                                {}},
                      IntakeRow{"ASecondModReplacesTheFirstInPlace",
                                {},
                                {"/a.txt", "/b.txt"},
                                {{MOD, "/a.txt"}, {MOD, "/b.txt"}, {MOD, "/a.txt"}},
                                {"1 /a.txt", "1 /b.txt"}},
                      IntakeRow{"AModAfterARenameIsAnItemOfItsOwn",
                                {"/x.txt"},
                                {"/a.txt", "/y.txt"},
                                {{MOD, "/a.txt"}, {REN, "/y.txt", "/x.txt"}, {MOD, "/a.txt"}},
                                {"1 /a.txt", "2 /y.txt", "1 /a.txt"}},
                      IntakeRow{"AFolderDeleteSwallowsTheWorkBelow",
                                {"/d/", "/d/x.txt"},
                                {"/y.txt"},
                                {{DEL, "/d/x.txt"}, {MOD, "/y.txt"}, {ADD, "/d/z.txt"}, {DEL, "/d"}},
                                {"1 /y.txt", "3 /d"}},
                      IntakeRow{"ADeleteOfANeverSentFileIsDropped", {}, {}, {{DEL, "/n.txt"}}, {}, "/n.txt"},
                      IntakeRow{"SkippedNamesMakeNoItem",
                                {},
                                {"/~$report.docx", "/Data.TMP"},
                                {{MOD, "/~$report.docx"}, {MOD, "/Data.TMP"}},
                                {}},
                      IntakeRow{"AnOfficeSaveIsOneMod",
                                {"/report.docx"},
                                {"/report.docx"},
                                {{REN, "/report.sav2", "/report.docx"},
                                 {REN, "/report.docx", "/report.sav1"},
                                 {MOD, "/report.docx"},
                                 {GONE, "/report.sav2"}},
                                {"1 /report.docx"}},
                      IntakeRow{"ASaveByRenameAndModIsTheMod",
                                {"/a.doc"},
                                {"/a.doc"},
                                {{REN, "/b.doc", "/a.doc"}, {MOD, "/a.doc"}, {GONE, "/b.doc"}},
                                {"1 /a.doc"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Scheduling ----------------------------------------------------------------------------------

TEST_F(EngineTest, TenThousandChangesScheduleWellUnderASecond) {
    MakeReady();
    g_LocalStoreMgr.Watcher().clearAll();
    SetStatus(LOCAL_STATUS_MONITOR);
    qint64 ms = -1;
    size_t chosen = 0;
    OnEngine([&] {
        PendingChanges& pending = g_LocalStoreMgr.PendingForTests();
        for (int i = 0; i < 10000; ++i) {
            CHANGE_ITEM item;
            item.path = root + QStringLiteral("/f%1").arg(i);
            item.local.path = QStringLiteral("/f%1").arg(i);
            item.local.size = 10;
            pending.Append(item);
        }
        QCClock::AdvanceForTests(5000);
        // The engine thread's own CPU time: what other processes take of the machine is not
        // the scheduler's.
        const auto cpuMs = [] {
            timespec now{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
            return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
        };
        const qint64 start = cpuMs();
        for (auto it = g_LocalStoreMgr.RefreshTodo(); it != pending.end();
             it = g_LocalStoreMgr.RefreshTodo()) {
            ++chosen;
            pending.Erase(it); // as if done at once
        }
        ms = cpuMs() - start;
    });
    EXPECT_EQ(chosen, 10000u);
    EXPECT_LT(ms, 1000);
}

// Which waiting items the scheduler starts at once: each chosen item is marked running and the
// scheduler asked again, until it chooses nothing more.
struct OrderItem {
    char kind; // 'c' create folder, 'u' upload, 'r' rename, 'd' delete
    const char* path;
    const char* old = "";
    bool running = false;
};

struct OrderRow {
    const char* name;
    std::vector<OrderItem> items;
    std::vector<const char*> chosen;   // in the order chosen
    std::vector<const char*> onDisk{}; // folders made in the mirror first
};

void PrintTo(const OrderRow& row, std::ostream* out) {
    *out << row.name;
}

// Puts `items` on the pending list below `base` and asks the scheduler until it chooses nothing
// more, marking each chosen item running: the paths chosen, in order. Engine thread.
std::vector<std::string> ChooseAll(const QString& base, const std::vector<OrderItem>& items) {
    PendingChanges& pending = g_LocalStoreMgr.PendingForTests();
    quint32 id = 1000;
    for (const OrderItem& order : items) {
        CHANGE_ITEM item;
        item.path = base + QLatin1String(order.path);
        item.local.path = QLatin1String(order.path);
        item.local.is_dir = order.kind == 'c';
        item.local.size = 10;
        item.type = order.kind == 'r' ? SYNC_CHANGE_REN : order.kind == 'd' ? SYNC_CHANGE_DEL : SYNC_CHANGE_MOD;
        item.old_path = QLatin1String(order.old);
        item.sync_id = order.running ? ++id : 0;
        pending.Append(item);
    }
    QCClock::AdvanceForTests(5000);
    std::vector<std::string> chosen;
    for (;;) {
        const size_t before = pending.size();
        const PendingChanges::iterator it = g_LocalStoreMgr.RefreshTodo();
        if (it == pending.end()) {
            if (pending.size() == before)
                break;
            continue; // a missing parent's creation went ahead
        }
        chosen.push_back(it->local.path.toStdString());
        it->sync_id = ++id;
        pending.Touch(it);
    }
    pending.Clear();
    return chosen;
}

class OrderTest : public EngineTest, public ::testing::WithParamInterface<OrderRow> {};

TEST_P(OrderTest, StartsTheseItems) {
    const OrderRow& row = GetParam();
    MakeReady();
    g_LocalStoreMgr.Watcher().clearAll();
    SetStatus(LOCAL_STATUS_MONITOR);
    const QString base = g_LocalStoreMgr.GetRootPath();
    for (const char* folder : row.onDisk)
        ASSERT_TRUE(QDir().mkpath(base + QLatin1String(folder)));
    std::vector<std::string> chosen;
    OnEngine([&] { chosen = ChooseAll(base, row.items); });
    std::vector<std::string> expected(row.chosen.begin(), row.chosen.end());
    EXPECT_EQ(chosen, expected);
}

// The scheduler looks only at the items that nothing ahead holds back: over random lists of
// creations, uploads, renames and deletes in a small tree, some running, some folders on disk but
// not in the cloud, it chooses what a look at every item in list order chooses.
TEST_F(EngineTest, TheFreeItemsGiveTheChoicesOfEveryItem) {
    MakeReady();
    g_LocalStoreMgr.Watcher().clearAll();
    SetStatus(LOCAL_STATUS_MONITOR);
    const QString base = g_LocalStoreMgr.GetRootPath();
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/a/s")));
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/b/c")));
    static const char* const kPaths[] = {"/a", "/a/f", "/a/s", "/a/s/h", "/A/S/h", "/b",
                                         "/b/c", "/b/c/k", "/d", "/d/e", "/d/e/m"};
    const size_t paths = sizeof kPaths / sizeof kPaths[0];
    int compared = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        std::vector<OrderItem> items(2 + random() % 12);
        for (OrderItem& item : items) {
            const unsigned kind = random() % 10;
            item.kind = kind < 3 ? 'c' : kind < 8 ? 'u' : kind < 9 ? 'r' : 'd';
            item.path = kPaths[random() % paths];
            item.old = item.kind == 'r' ? kPaths[random() % paths] : "";
            item.running = random() % 5 == 0;
        }
        std::vector<std::string> chosen[2];
        OnEngine([&] {
            for (const bool every : {true, false}) {
                g_LocalStoreMgr.SetTodoEveryItemForTests(every);
                chosen[every ? 0 : 1] = ChooseAll(base, items);
            }
            g_LocalStoreMgr.SetTodoEveryItemForTests(false);
        });
        ASSERT_EQ(chosen[1], chosen[0]) << "seed " << seed;
        compared += chosen[0].empty() ? 0 : 1;
    }
    EXPECT_GT(compared, 200); // most lists start something
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OrderTest,
    ::testing::Values(
        OrderRow{"IndependentFoldersAreCreatedSideBySide",
                 {{'c', "/a"}, {'c', "/b"}, {'c', "/c"}},
                 {"/a", "/b", "/c"}},
        OrderRow{"AFolderWaitsForItsParentsCreationOnly",
                 {{'c', "/a"}, {'c', "/a/b"}, {'c', "/c"}, {'c', "/a/b/d"}},
                 {"/a", "/c"}},
        OrderRow{"UploadsWaitForTheirFolderOnly",
                 {{'c', "/a"}, {'u', "/a/f"}, {'u', "/b/g"}, {'c', "/c"}},
                 {"/a", "/b/g", "/c"}},
        OrderRow{"ARunningCreationHoldsBackWhatGoesInto",
                 {{'c', "/a", "", true}, {'u', "/a/f"}, {'c', "/a/s"}, {'u', "/b/f"}},
                 {"/b/f"}},
        OrderRow{"ARenameWaitsForTheItemsAheadAndHoldsBackItsNames",
                 {{'u', "/f"}, {'r', "/y", "/x"}, {'u', "/g"}, {'u', "/y/h"}, {'u', "/x"}},
                 {"/f", "/g"}},
        OrderRow{"ADeleteComesAfterTheWorkBelowIt",
                 {{'u', "/a/f"}, {'d', "/a"}, {'u', "/a/g"}, {'u', "/b"}},
                 {"/a/f", "/b"}},
        OrderRow{"DeletesAtTheHeadGoTogether",
                 {{'d', "/p"}, {'d', "/q"}, {'u', "/r"}},
                 {"/p", "/q", "/r"}},
        OrderRow{"AnUploadGoesAfterItsFoldersCreationFurtherOn",
                 {{'u', "/n/f"}, {'c', "/n"}, {'u', "/m"}},
                 {"/n", "/m"},
                 {"/n"}},
        OrderRow{"AMissingParentIsCreatedFirst",
                 {{'u', "/n/f"}, {'u', "/m"}},
                 {"/n", "/m"},
                 {"/n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Against the stand-in ------------------------------------------------------------------------

class PipelineTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        LogInAndSettle();
        root = g_LocalStoreMgr.GetRootPath(); // the enterprise's folder in the mirror
        receiver.Pump();
        receiver.Take();
    }
    void TearDown() override {
        if (HasFailure() || qEnvironmentVariableIsSet("PIPELINE_TEST_LOG"))
            std::cerr << debugLines->lines(QString()).join(QLatin1Char('\n')).toStdString() << std::endl;
        {
            std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
            g_Config.speed_limit_up = 0;
        }
        api->uploads().releaseHeld();
        EngineTest::TearDown();
    }
    QString Write(const QString& name, const std::string& bytes) {
        const QString path = root + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes.data(), qint64(bytes.size()));
        return path;
    }
    size_t Calls(const char* method) { return api->calls(method).size(); }
    // Runs the engine, a second of the core's clock per round, until `done` holds.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 30000, qint64 stepMs = 1000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QCClock::AdvanceForTests(stepMs);
            Pass();
            standIn.waitForRequests(standIn.requestCount() + 1, 20);
        }
        return true;
    }
    // The work the test caused is taken in (something waits or runs), then done: nothing waits
    // or runs, the engine is idle, and it has fetched the cloud's version that its own work made.
    // Without that fetch the next version poll starts one, and a change made in the mirror
    // meanwhile reaches the engine through the fetch's offline comparison (a rename as a new file)
    // instead of the watcher.
    bool Settle(int timeoutMs = 30000, qint64 stepMs = 1000, size_t expect = 1) {
        QElapsedTimer timer;
        timer.start();
        for (size_t pending = 0; expect != 0 && pending < expect && g_LocalStoreMgr.UploadCount() == 0;) {
            if (timer.elapsed() > 10000)
                return false;
            Pass();
            g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        }
        return RunUntil(
            [this] {
                size_t pending = 1;
                quint32 fetched = 0;
                g_LocalStoreMgr.CallForTests([&] {
                    pending = g_LocalStoreMgr.PendingForTests().size();
                    fetched = g_LocalStoreMgr.FetchedVersionForTests();
                });
                return pending == 0 && g_LocalStoreMgr.UploadCount() == 0 &&
                       g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK && fetched == api->tree().version();
            },
            timeoutMs, stepMs);
    }
    // Runs the engine, a half second of the core's clock per pass, until a rename is handed to the
    // pool (it runs, or has reached the stand-in already); from then on the clock stands, so that
    // the client's walk, which starts after that on its own thread, never sees its deadline pass.
    bool RunUntilRenameSent() {
        return WaitUntil(
            [this] {
                size_t running = 0;
                g_LocalStoreMgr.CallForTests([&] { running = g_LocalStoreMgr.PendingForTests().RunningCount(); });
                return running != 0 || Calls("File.rename") != 0;
            },
            500, 60000);
    }
    // Stop and start: the start's offline comparison runs again (its end is waited for).
    void RestartSync() {
        const QString finish = QStringLiteral("[CompareOffline] finish");
        const int done = debugLines->lines(finish).size();
        VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
        ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }));
        VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
        ASSERT_TRUE(RunUntil([&] { return debugLines->lines(finish).size() > done; }, 60000));
    }
    std::optional<StandInNode> Node(const char* path) { return api->tree().node(path); }
    size_t UploadCountOnEngine() {
        size_t count = 0;
        g_LocalStoreMgr.CallForTests([&] { count = g_LocalStoreMgr.UploadCount(); });
        return count;
    }
    std::unique_ptr<DebugCapture> debugLines = std::make_unique<DebugCapture>();
};

TEST_F(PipelineTest, ANewFolderTreeAndItsFileReachTheService) {
    QDir().mkpath(root + QStringLiteral("/docs/new"));
    const std::string bytes = Bytes(6 * 524288, 1);
    Write(QStringLiteral("docs/new/big.txt"), bytes);
    ASSERT_TRUE(Settle(30000, 1000, 3)); // both folders and the file taken in first
    const auto dirs = api->calls("File.createDir");
    ASSERT_EQ(dirs.size(), 2u);
    EXPECT_EQ(Trimmed(dirs[0].cookie("fname")), "/docs");
    EXPECT_EQ(Trimmed(dirs[1].cookie("fname")), "/docs/new");
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    EXPECT_EQ(Calls("Upload.request"), 1u);
    EXPECT_EQ(Calls("Upload.block"), 6u);
    EXPECT_EQ(Calls("Upload.commit"), 1u);
    ASSERT_TRUE(Node("/docs/new/big.txt"));
    EXPECT_TRUE(Node("/docs/new/big.txt")->bytes == bytes);
    receiver.Pump();
    // One for the work at least; the version polls of the moving clock can see the service's
    // newer version (the work's own) and start another cycle, which ends with its own.
    EXPECT_GE(receiver.Count(QCEventBase::SyncFinish), 1);
}

struct LocalOpRow {
    const char* name;
    std::function<void(const QString& root)> op;
    const char* method;  // the one folder operation expected, or ""
    size_t uploads;      // further uploads
    const char* present; // the cloud path that holds the file afterwards, or "" for none
};

void PrintTo(const LocalOpRow& row, std::ostream* out) {
    *out << row.name;
}

class LocalOpTest : public PipelineTest, public ::testing::WithParamInterface<LocalOpRow> {};

TEST_P(LocalOpTest, SendsOneOperation) {
    const LocalOpRow& row = GetParam();
    QDir().mkpath(root + QStringLiteral("/sub"));
    Write(QStringLiteral("a.txt"), Bytes(1000, 1));
    ASSERT_TRUE(Settle());
    const size_t before = Calls("Sync.getAddr");
    row.op(root);
    ASSERT_TRUE(Settle());
    for (const char* method : {"File.rename", "File.move", "File.recycle"})
        EXPECT_EQ(Calls(method), std::string(method) == row.method ? 1u : 0u) << method;
    EXPECT_EQ(Calls("Sync.getAddr") - before, row.uploads);
    if (*row.present) {
        EXPECT_TRUE(Node(row.present));
    }
    EXPECT_EQ(bool(Node("/a.txt")), std::string(row.present) == "/a.txt");
}

INSTANTIATE_TEST_SUITE_P(
    Ops, LocalOpTest,
    ::testing::Values(LocalOpRow{"RenameInPlace",
                                 [](const QString& r) {
                                     QFile::rename(r + QLatin1String("/a.txt"), r + QLatin1String("/b.txt"));
                                 },
                                 "File.rename", 0, "/b.txt"},
                      LocalOpRow{"MoveIntoAFolder",
                                 [](const QString& r) {
                                     QFile::rename(r + QLatin1String("/a.txt"),
                                                   r + QLatin1String("/sub/a.txt"));
                                 },
                                 "File.move", 0, "/sub/a.txt"},
                      LocalOpRow{"Remove",
                                 [](const QString& r) { QFile::remove(r + QLatin1String("/a.txt")); },
                                 "File.recycle", 0, ""},
                      LocalOpRow{"EditInPlace",
                                 [](const QString& r) {
                                     QFile file(r + QLatin1String("/a.txt"));
                                     file.open(QIODevice::Append);
                                     file.write("more");
                                 },
                                 "", 1, "/a.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BudgetRow {
    const char* name;
    int speedLimit;
    size_t most;
};

void PrintTo(const BudgetRow& row, std::ostream* out) {
    *out << row.name;
}

class BudgetTest : public PipelineTest, public ::testing::WithParamInterface<BudgetRow> {};

// 20 files of 3 MiB at once, each weighing a whole unit of the budget: the tuning's 10, or 3 under
// a speed limit. The stand-in holds each upload at its first exchange, so none ends meanwhile.
TEST_P(BudgetTest, KeepsTheUploadsWithinTheBudget) {
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.speed_limit_up = GetParam().speedLimit;
    }
    ASSERT_EQ(g_Config.max_upload_req, 10);
    constexpr size_t kFiles = 20;
    api->uploads().hold("Sync.getAddr", int(kFiles));
    for (size_t i = 0; i < kFiles; ++i)
        Write(QStringLiteral("f%1.bin").arg(i), Bytes(6 * 524288, unsigned(i)));
    // The exchanges run on the thread pool: no more reach the stand-in at once than it has threads.
    const int atOnce = std::min(int(GetParam().most), WorkPools::Transfers().maxThreadCount());
    size_t most = 0;
    ASSERT_TRUE(RunUntil([&] {
        most = std::max(most, g_LocalStoreMgr.UploadCount());
        return most >= GetParam().most && api->uploads().waitForHeld(atOnce, 1);
    }));
    for (int round = 0; round < 5; ++round) { // further passes: no further upload starts
        QCClock::AdvanceForTests(1000);
        Pass();
        most = std::max(most, g_LocalStoreMgr.UploadCount());
    }
    EXPECT_EQ(most, GetParam().most);
    EXPECT_FALSE(api->uploads().waitForHeld(int(GetParam().most) + 1, 1));
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.speed_limit_up = 0; // the limit slows the uploads themselves too
    }
    // Released as they come, the uploads run on; never more than the tuning's 10.
    most = 0;
    ASSERT_TRUE(RunUntil(
        [&] {
            api->uploads().releaseHeld();
            most = std::max(most, g_LocalStoreMgr.UploadCount());
            return api->tree().byPath().size() == kFiles;
        },
        120000));
    EXPECT_LE(most, 10u);
    ASSERT_TRUE(Settle(60000, 1000, 0));
}

INSTANTIATE_TEST_SUITE_P(Budgets, BudgetTest,
                         ::testing::Values(BudgetRow{"Automatic", 0, 10}, BudgetRow{"SpeedLimit", 50, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The facade's mirror commands --------------------------------------------------------------

TEST_F(PipelineTest, MirrorCommandsActOnTheMirrorAndTheService) {
    VUZeroz& core = *VUZeroz::GetInstance();
    QDir().mkpath(root + QStringLiteral("/sub"));
    QDir().mkpath(root + QStringLiteral("/other"));
    const std::string bytes = Bytes(2000, 7);
    Write(QStringLiteral("sub/a.txt"), bytes);
    Write(QStringLiteral("b.txt"), Bytes(100, 8));
    ASSERT_TRUE(Settle());

    EXPECT_EQ(core.Rename(QStringLiteral("/sub/a.txt"), QStringLiteral("/sub/c.txt")), 0);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Calls("File.rename"), 1u);
    EXPECT_TRUE(Node("/sub/c.txt"));

    EXPECT_EQ(core.Move(QStringLiteral("/sub/c.txt"), QStringLiteral("/other")), 0);
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/other/c.txt"))); // moved on disk at once
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Calls("File.move"), 1u);
    EXPECT_TRUE(Node("/other/c.txt"));

    // Refused: back at its source, as it was.
    api->fileOps().fail("File.move", 1, ApiAnswer::Error(kStandInNoTarget, "no"));
    EXPECT_EQ(core.Move(QStringLiteral("/other/c.txt"), QStringLiteral("/sub")), 0);
    ASSERT_TRUE(Settle());
    QFile back(root + QStringLiteral("/other/c.txt"));
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_TRUE(back.readAll().toStdString() == bytes);
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/sub/c.txt")));

    // The copy's old target stays until the service has made the copy; then it is in the trash.
    // (Another client recycled the cloud's b.txt meanwhile: the service copies only onto a free
    // name.)
    ASSERT_TRUE(api->tree().remove("/b.txt"));
    EXPECT_EQ(core.CloudCopyTo(QStringLiteral("/other/c.txt"), QStringLiteral("/b.txt")), 0);
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/b.txt")));
    ASSERT_TRUE(WaitCalls("File.copyFile", 1));
    ASSERT_TRUE(RunUntil([&] { return !QFile::exists(root + QStringLiteral("/b.txt")); }));
    QStringList trashed;
    for (QDirIterator it(g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash"), QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        trashed << QFileInfo(it.next()).fileName();
    EXPECT_TRUE(trashed.contains(QStringLiteral("b.txt"))) << trashed.join(QLatin1Char(',')).toStdString();

    EXPECT_EQ(core.Recycle(QStringLiteral("/other/c.txt")), 0);
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/other/c.txt")));
    QDirIterator recycled(g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash"),
                          {QStringLiteral("c.txt")}, QDir::Files, QDirIterator::Subdirectories);
    ASSERT_TRUE(recycled.hasNext());
    QFile kept(recycled.next());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll().toStdString() == bytes);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Calls("File.recycle"), 1u);
    EXPECT_FALSE(Node("/other/c.txt"));
}

TEST_F(PipelineTest, AFileThatIsUploadingIsNotMoved) {
    api->uploads().hold("Sync.getAddr");
    Write(QStringLiteral("u.txt"), Bytes(5000, 3));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(1, 1); }));
    EXPECT_EQ(VUZeroz::GetInstance()->Move(QStringLiteral("/u.txt"), QStringLiteral("/")), 2);
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/u.txt")));
    api->uploads().releaseHeld();
    ASSERT_TRUE(Settle());
}

struct RetryRow {
    const char* name;
    std::function<void(StandInFileOps&)> fault;
    bool done; // false: refused, dropped with an error
    size_t walkCalls; // the calls of the client's first walk
};

void PrintTo(const RetryRow& row, std::ostream* out) {
    *out << row.name;
}

class RenameRetryTest : public PipelineTest, public ::testing::WithParamInterface<RetryRow> {};

TEST_P(RenameRetryTest, IsSentAgainOrDropped) {
    Write(QStringLiteral("a.txt"), Bytes(100, 1));
    ASSERT_TRUE(Settle());
    receiver.Pump();
    receiver.Take();
    GetParam().fault(api->fileOps());
    QFile::rename(root + QStringLiteral("/a.txt"), root + QStringLiteral("/b.txt"));
    ASSERT_TRUE(RunUntilRenameSent());
    ASSERT_TRUE(WaitUntil([&] { return Calls("File.rename") >= GetParam().walkCalls; }, 0, 60000));
    ASSERT_TRUE(Settle(60000, 5000, 0));
    receiver.Pump();
    if (GetParam().done) {
        EXPECT_GE(Calls("File.rename"), 2u); // again after the pause
        EXPECT_TRUE(Node("/b.txt"));
        EXPECT_FALSE(Node("/a.txt"));
    } else {
        EXPECT_EQ(Calls("File.rename"), 1u);
        EXPECT_FALSE(Node("/b.txt"));
        FileInfo entry;
        ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(root + QStringLiteral("/b.txt"), entry));
        EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
        EXPECT_EQ(receiver.Count(QCEventBase::GlobalError), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RenameRetryTest,
    ::testing::Values(
        // The client's walk has no cap for this method: it retries the resets itself.
        RetryRow{"NoReply", [](StandInFileOps& ops) { ops.reset("File.rename", 6); }, true, 7},
        RetryRow{"Gateway", [](StandInFileOps& ops) { ops.failStatus("File.rename", 2, 502); }, true, 1},
        RetryRow{
            "Refused",
            [](StandInFileOps& ops) { ops.fail("File.rename", 1, ApiAnswer::Error(kStandInNoNode, "gone")); },
            false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Every attempt of the client's walk fails: it retries three resets itself, and the walk ends
// at a gateway's page instead of the service's answer. The engine sends the rename again once its
// pause has passed on the core's clock, not before.
TEST_F(PipelineTest, ARenameWhoseWholeWalkFailedIsSentAgainAfterThePause) {
    Write(QStringLiteral("a.txt"), Bytes(100, 1));
    ASSERT_TRUE(Settle());
    api->fileOps().reset("File.rename", 3);
    api->fileOps().failStatus("File.rename", 4, 502);
    QFile::rename(root + QStringLiteral("/a.txt"), root + QStringLiteral("/b.txt"));
    ASSERT_TRUE(RunUntilRenameSent());
    int tries = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            g_LocalStoreMgr.CallForTests([&] {
                PendingChanges& pending = g_LocalStoreMgr.PendingForTests();
                tries = pending.empty() ? 0 : pending.begin()->tries;
            });
            return tries != 0;
        },
        0, 60000));
    EXPECT_EQ(tries, 1);
    EXPECT_EQ(Calls("File.rename"), 4u);
    for (int second = 0; second < 13; ++second) {
        QCClock::AdvanceForTests(1000);
        Pass();
    }
    EXPECT_EQ(Calls("File.rename"), 4u); // the first pause is 15 s
    ASSERT_TRUE(Settle(60000, 1000, 0));
    EXPECT_EQ(Calls("File.rename"), 5u);
    EXPECT_TRUE(Node("/b.txt"));
    EXPECT_FALSE(Node("/a.txt"));
}

// Events lost (the watcher stopped while 50 files were made, then an overflow): the rescan of the
// mirror against the index and the journal reports them, and they are uploaded.
TEST_F(PipelineTest, AnOverflowRescanReportsTheFilesMadeMeanwhile) {
    QCFileSystemWatcher& watcher = g_LocalStoreMgr.Watcher();
    const QString watched = watcher.Root();
    watcher.clearAll();
    for (int i = 0; i < 50; ++i)
        Write(QStringLiteral("f%1.txt").arg(i), Bytes(50, unsigned(i)));
    ASSERT_TRUE(watcher.addWatchPath(watched));
    ASSERT_TRUE(watcher.WaitWatching(10000));
    Pass();
    size_t pending = 0;
    g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
    EXPECT_EQ(pending, 0u); // watching again reports nothing by itself
    watcher.SimulateOverflowForTests();
    ASSERT_TRUE(debugLines->waitFor(QStringLiteral("[monitor] rescan of "), 30000));
    EXPECT_TRUE(debugLines->lines(QStringLiteral("[monitor] rescan of "))
                    .first()
                    .endsWith(QStringLiteral(": 50 differences")));
    ASSERT_TRUE(Settle(60000, 1000, 50));
    EXPECT_EQ(Calls("Sync.getAddr"), 50u);
    EXPECT_EQ(api->tree().byPath().size(), 50u);
}

TEST_F(PipelineTest, AFileThatCannotBeReadStaysGivenUpUntilItChanges) {
    RUN_UNPRIVILEGED_IF_ROOT(); // root reads it anyway
    const QString locked = Write(QStringLiteral("locked.txt"), Bytes(100, 1));
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::Permissions()));
    ASSERT_TRUE(Settle(60000, 20000)); // 15 + 30 + 60 + 120 + 240 s of pauses
    FileInfo entry;
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(locked, entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(g_LocalStoreMgr.FailedList().Size(), 1u);

    // The full comparison of a new start leaves it as it is: nothing waits, nothing is retried.
    RestartSync();
    size_t pending = 1;
    g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
    EXPECT_EQ(pending, 0u);
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(locked, entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(Calls("Sync.getAddr"), 0u);

    // Readable again (its stat changed): the next comparison uploads it.
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    RestartSync();
    ASSERT_TRUE(Settle(60000, 1000, 0));
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    EXPECT_TRUE(Node("/locked.txt"));
}

// A folder the engine may not list: an error item with its reason, never "synced" over contents it
// cannot see, and its synced files keep their rows until it can be read again.
TEST_F(PipelineTest, AFolderThatCannotBeReadIsAnErrorNotAnEmptyFolder) {
    RUN_UNPRIVILEGED_IF_ROOT(); // root reads it anyway
    for (int i = 0; i < 2; ++i)
        Write(QStringLiteral("p/s/f%1.txt").arg(i), Bytes(10, unsigned(i)));
    ASSERT_TRUE(Settle(30000, 1000, 4));
    const QString synced = root + QStringLiteral("/p/s");
    // Made outside and filled, then moved in and locked.
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("locked"));
    for (int i = 0; i < 3; ++i) {
        QDir().mkpath(outside);
        QFile file(outside + QStringLiteral("/g%1.txt").arg(i));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    const QString locked = root + QStringLiteral("/p/locked");
    struct Unlock { // the sandbox can remove them afterwards
        QStringList folders;
        void Now() {
            for (const QString& folder : folders)
                QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner);
        }
        ~Unlock() { Now(); }
    } unlock{{outside, locked, synced}};
    const size_t dirs = Calls("File.createDir");
    ASSERT_TRUE(QDir().rename(outside, locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::Permissions()));
    ASSERT_TRUE(
        RunUntil([&] { return !debugLines->lines(QStringLiteral("[Todo] cannot be read: ")).isEmpty(); }));
    ASSERT_TRUE(Settle(30000, 1000, 0));
    EXPECT_EQ(Calls("File.createDir"), dirs);
    FileInfo entry;
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(locked, entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(entry.error_type, SYNC_ERROR::NoPerm);
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetFileInfoProgress(root + QStringLiteral("/p"), entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR)); // the parent is not shown synced

    // A synced folder made unreadable: the full comparison keeps its files' rows and fetches nothing.
    ASSERT_TRUE(QFile::setPermissions(synced, QFileDevice::Permissions()));
    const size_t downloads = Calls("Sync.getDownloadInfo");
    RestartSync();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/p/s/f0.txt"), row));
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(synced + QStringLiteral("/f0.txt"), entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(Calls("Sync.getDownloadInfo"), downloads);
    EXPECT_EQ(Calls("File.recycle"), 0u);

    // Readable again: synced as before, nothing sent either way.
    unlock.Now();
    const size_t uploads = Calls("Sync.getAddr");
    RestartSync();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(synced + QStringLiteral("/f0.txt"), entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_SYNCED));
    EXPECT_EQ(Calls("Sync.getAddr"), uploads + 3); // the three files of the folder moved in
    EXPECT_EQ(Calls("Sync.getDownloadInfo"), downloads);
    EXPECT_EQ(Calls("File.recycle"), 0u);
    EXPECT_TRUE(Node("/p/locked/g2.txt"));
}

// Two names that are not UTF-8 and differ in one byte: two error items, neither sent, neither
// dropped, after the watcher's reports and after a full comparison alike.
TEST_F(PipelineTest, NamesThatAreNotTextAreErrorItemsEachOfTheirOwn) {
    const QByteArray folder = QFile::encodeName(root);
    ByteNames made;
    for (const char* name : {"/caf\xe9.txt", "/caf\xe8.txt"}) {
        const int fd = ::open(made.Add(folder + name).constData(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    }
    Write(QStringLiteral("after.txt"), Bytes(10, 1)); // reported after them
    const auto check = [&] {
        for (const char* name : {"/caf\xe9.txt", "/caf\xe8.txt"}) {
            FileInfo entry;
            ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(SafePath::DecodeName(folder + name), entry))
                << name;
            EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
            EXPECT_EQ(entry.error_type, SYNC_ERROR::BadName);
        }
        EXPECT_EQ(Calls("Sync.getAddr"), 1u);
        EXPECT_EQ(api->tree().byPath().size(), 1u);
    };
    ASSERT_TRUE(Settle());
    check();
    RestartSync();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    check();
}

// A pipe, a socket and (as root) a device made while the engine runs are left out as links are:
// nothing waits for them and the engine gets back to "ok".
TEST_F(PipelineTest, PipesSocketsAndDevicesAreNeverSynced) {
    const size_t failed = g_LocalStoreMgr.FailedList().Size();
    const QByteArray folder = QFile::encodeName(root);
    ASSERT_EQ(::mkfifo((folder + "/pipe").constData(), 0600), 0) << strerror(errno);
    // Bound through the folder's descriptor: the mirror's path may be longer than a socket's.
    const int dir = ::open(folder.constData(), O_PATH | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/socket", dir);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << strerror(errno);
    ::close(sock);
    ::close(dir);
    QStringList specials{QStringLiteral("pipe"), QStringLiteral("socket")};
    if (::mknod((folder + "/null").constData(), S_IFCHR | 0600, makedev(1, 3)) == 0)
        specials << QStringLiteral("null");
    Write(QStringLiteral("after.txt"), Bytes(10, 1)); // reported after them
    ASSERT_TRUE(Settle());
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    for (const QString& name : specials) {
        FileInfo entry;
        EXPECT_FALSE(g_LocalStoreMgr.Cache().GetBaseInfo(root + QLatin1Char('/') + name, entry))
            << qPrintable(name);
    }
    EXPECT_EQ(g_LocalStoreMgr.FailedList().Size(), failed);
}

TEST_F(PipelineTest, ManyDeletesWaitForTheUser) {
    for (int i = 0; i < 200; ++i)
        Write(QStringLiteral("m/f%1.txt").arg(i), Bytes(10, unsigned(i)));
    ASSERT_TRUE(Settle(60000));
    receiver.Pump();
    receiver.Take();
    for (int i = 0; i < 120; ++i)
        QFile::remove(root + QStringLiteral("/m/f%1.txt").arg(i));
    // Every delete taken in before the clock moves on; then the first to settle counts them all.
    QElapsedTimer timer;
    timer.start();
    size_t deletes = 0;
    while (deletes < 120 && timer.elapsed() < 20000) {
        Pass();
        g_LocalStoreMgr.CallForTests([&] { deletes = g_LocalStoreMgr.PendingForTests().size(); });
    }
    ASSERT_EQ(deletes, 120u);
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }));
    EXPECT_EQ(Calls("File.recycle"), 0u);
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::GlobalError), 1);
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(RunUntil([&] { return Calls("File.recycle") >= 120; }, 30000));
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK; }));
    EXPECT_EQ(Calls("File.recycle"), 120u);
}

// The user's retry on the hold logs in again: the hold is shown again with the same choice, the
// deletes wait for it, and everything else goes on meanwhile.
TEST_F(PipelineTest, ARetryOnTheDeleteHoldShowsItAgainWhileTheRestSyncs) {
    for (int i = 0; i < 120; ++i)
        Write(QStringLiteral("m/f%1.txt").arg(i), Bytes(10, unsigned(i)));
    ASSERT_TRUE(Settle(60000));
    for (int i = 0; i < 110; ++i)
        QFile::remove(root + QStringLiteral("/m/f%1.txt").arg(i));
    QElapsedTimer timer; // every delete taken in before the clock moves on
    timer.start();
    for (size_t deletes = 0; deletes < 110 && timer.elapsed() < 20000;) {
        Pass();
        g_LocalStoreMgr.CallForTests([&] { deletes = g_LocalStoreMgr.PendingForTests().size(); });
    }
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }, 60000));
    receiver.Pump();
    receiver.Take();
    VUZeroz::GetInstance()->Retry();
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_MONITOR; }, 60000));
    Write(QStringLiteral("after.txt"), "made after the retry");
    ASSERT_TRUE(RunUntil([&] { return api->tree().node("/after.txt").has_value(); }, 60000));
    EXPECT_EQ(Calls("File.recycle"), 0u);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().error_type, SYNC_ERROR::MassDelete);
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::GlobalError), 1);
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK; }, 60000));
    EXPECT_EQ(Calls("File.recycle"), 110u);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().error_type, 0);
}

// An error about an item stays while the item is in error, and goes once it is synced, or gone.
TEST_F(PipelineTest, AnItemsErrorGoesOnceTheItemIsSyncedOrGone) {
    const auto shown = [] { return VUZeroz::GetInstance()->Status().error_type; };
    const QString kept = Write(QStringLiteral("kept.txt"), "first");
    ASSERT_TRUE(Settle());
    OnEngine([&] {
        g_LocalStoreMgr.Cache().ChangeFileStatus(kept, FILE_STATUS_ERR, true);
        g_LocalStoreMgr.OnError(SYNC_ERROR::FileUsing, 0, kept, nullptr);
    });
    Pass();
    Pass();
    EXPECT_EQ(shown(), SYNC_ERROR::FileUsing);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().status, UI_STATUS_ERROR);
    Write(QStringLiteral("kept.txt"), "second");
    ASSERT_TRUE(Settle());
    EXPECT_EQ(shown(), 0);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().status, UI_STATUS_SYNCED);

    receiver.Pump();
    receiver.Take();
    OnEngine([&] { g_LocalStoreMgr.OnError(SYNC_ERROR::FileUsing, 0, root + QStringLiteral("/gone.txt"), nullptr); });
    Pass();
    EXPECT_EQ(shown(), 0);
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::GlobalError), 1); // it was shown
}

} // namespace

namespace {

TEST_F(PipelineTest, AVanishedSyncFolderDeletesNothing) {
    for (int i = 0; i < 3; ++i)
        Write(QStringLiteral("v/f%1.txt").arg(i), Bytes(10, unsigned(i)));
    ASSERT_TRUE(Settle(30000, 1000, 4));
    receiver.Pump();
    receiver.Take();
    ASSERT_TRUE(QDir().rename(root, root + QStringLiteral(".away")));
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }));
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::GlobalError), 1);
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(RunUntil([] {
        size_t pending = 1;
        g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        return pending == 0;
    }));
    EXPECT_EQ(Calls("File.recycle"), 0u);
    EXPECT_EQ(api->tree().byPath().size(), 4u);
}

// Another folder in the sync folder's place, as an unmounted disk leaves its empty mount point:
// the deletes that an empty folder suggests are held, and once the folder is back none is sent.
TEST_F(PipelineTest, DeletesWhileAnotherFolderStandsInTheSyncFoldersPlaceAreNeverSent) {
    for (int i = 0; i < 3; ++i)
        Write(QStringLiteral("w/f%1.txt").arg(i), Bytes(10, unsigned(i)));
    ASSERT_TRUE(Settle(30000, 1000, 4));
    const QString other = root + QStringLiteral(".other");
    ASSERT_TRUE(QDir().mkpath(other));
    const auto swap = [&] {
        return ::renameat2(AT_FDCWD, qPrintable(root), AT_FDCWD, qPrintable(other), RENAME_EXCHANGE) == 0;
    };
    ASSERT_TRUE(swap()) << strerror(errno);
    for (int i = 0; i < 3; ++i)
        g_LocalStoreMgr.NotifyFileChange(root + QStringLiteral("/w/f%1.txt").arg(i), SYNC_CHANGE_DEL, QString(), false);
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_STOP; }));
    EXPECT_EQ(Calls("File.recycle"), 0u);
    ASSERT_TRUE(swap()) << strerror(errno);
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(RunUntil([] {
        size_t pending = 1;
        g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        return pending == 0 && g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK;
    }));
    EXPECT_EQ(Calls("File.recycle"), 0u);
    EXPECT_EQ(api->tree().byPath().size(), 4u);
}

TEST_F(PipelineTest, AFolderMovedInIsCreatedAndItsFilesUploaded) {
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("outside"));
    QDir().mkpath(outside);
    for (int i = 0; i < 300; ++i) {
        QFile file(outside + QStringLiteral("/f%1.txt").arg(i));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Bytes(20, unsigned(i)).c_str());
    }
    ASSERT_TRUE(QDir().rename(outside, root + QStringLiteral("/in")));
    ASSERT_TRUE(Settle(60000));
    EXPECT_EQ(Calls("File.createDir"), 1u);
    EXPECT_EQ(Calls("Sync.getAddr"), 300u);
    EXPECT_EQ(api->tree().byPath().size(), 301u);
}

TEST_F(PipelineTest, ATooBigFileIsShownAndTheEngineGoesOn) {
    StandInUser user;
    user.qid = "u1";
    user.q = "a";
    user.t = "b";
    user.name = "User One";
    user.maxFileSize = 1000;
    api->accounts().add(user);
    SetStatus(LOCAL_STATUS_MONITOR); // idle: back to 7, which asks for the user details again
    // The reply is handled some turns after the stand-in saw the request.
    ASSERT_TRUE(RunUntil([] { return g_LocalStoreMgr.MaxFileSizeForTests() == 1000; }, 30000, 0));
    const QString big = Write(QStringLiteral("big.bin"), Bytes(5000, 1));
    ASSERT_TRUE(Settle());
    receiver.Pump();
    EXPECT_TRUE(receiver.WaitFor(
        QCEventBase::GlobalError, [](const RecordedEvent& e) { return e.kind == SYNC_ERROR::CloudBigFile; },
        60000));
    FileInfo entry;
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(big, entry));
    EXPECT_EQ(entry.status, quint32(FILE_STATUS_ERR));
    EXPECT_EQ(Calls("Sync.getAddr"), 0u);
    // A newer cloud version is fetched within one polling interval.
    const size_t fetches = Calls("Incr.getIncrGlobal");
    api->tree().addFolder("/elsewhere");
    ASSERT_TRUE(RunUntil([&] { return Calls("Incr.getIncrGlobal") > fetches; }, 30000, 2000));
}

TEST_F(PipelineTest, ANewerVersionSeenWhileUploadingIsFetchedAfterTheUpload) {
    api->uploads().hold("Sync.getAddr");
    Write(QStringLiteral("u.txt"), Bytes(5000, 3));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(1, 1); }));
    const size_t fetches = Calls("Incr.getIncrGlobal");
    const quint32 version = g_LocalStoreMgr.UserVersionForTests();
    api->tree().addFolder("/elsewhere");
    // Polled in 6, and the reply handled: the engine knows of the newer version.
    ASSERT_TRUE(RunUntil([&] { return g_LocalStoreMgr.UserVersionForTests() > version; }, 30000, 2000));
    for (int round = 0; round < 5; ++round) {
        QCClock::AdvanceForTests(2000);
        Pass();
    }
    EXPECT_EQ(Calls("Incr.getIncrGlobal"), fetches); // not while the upload runs
    receiver.Pump();
    receiver.Take();
    api->uploads().releaseHeld();
    // The fetch comes before the pass ends: the end of a pass records the version as fetched.
    // The clock stands still, so that no poll of its own starts a fetch.
    ASSERT_TRUE(RunUntil(
        [&] {
            receiver.Pump();
            return receiver.Count(QCEventBase::SyncFinish) != 0;
        },
        30000, 0));
    EXPECT_GT(Calls("Incr.getIncrGlobal"), fetches);
    EXPECT_TRUE(Node("/u.txt"));
}

// A newer version seen while an upload runs, and a rename and a delete waiting behind it: both
// reach the service before the fetch, whose comparison would otherwise take the renamed and the
// deleted file for files whose local copies are gone (and the rename would go up as a new file).
TEST_F(PipelineTest, RenamesAndDeletesWaitingBehindAnUploadGoBeforeTheFetchOfANewerVersion) {
    // The service tells of no newer version until the end: the uploads of a.txt and d.txt stay
    // among the changes the next fetch compares.
    api->setAnswer("User.getVersion", ApiAnswer::Data("{\"ver\":\"0\",\"server_time\":\"0\"}"));
    Write(QStringLiteral("a.txt"), Bytes(100, 1));
    Write(QStringLiteral("d.txt"), Bytes(100, 2));
    ASSERT_TRUE(RunUntil([&] {
        size_t pending = 1;
        g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        return pending == 0 && Node("/a.txt") && Node("/d.txt");
    }));
    api->uploads().hold("Sync.getAddr");
    Write(QStringLiteral("u.txt"), Bytes(5000, 3));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(1, 1); }));
    ASSERT_TRUE(QFile::rename(root + QStringLiteral("/a.txt"), root + QStringLiteral("/b.txt")));
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/d.txt")));
    ASSERT_TRUE(RunUntil([&] {
        size_t pending = 0;
        g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        return pending == 3;
    }));
    const size_t fetches = Calls("Incr.getIncrGlobal");
    const quint32 version = g_LocalStoreMgr.UserVersionForTests();
    api->clearScript("User.getVersion");
    ASSERT_TRUE(RunUntil([&] { return g_LocalStoreMgr.UserVersionForTests() > version; }, 30000, 2000));
    EXPECT_EQ(Calls("File.rename"), 0u); // behind the upload
    api->uploads().releaseHeld();
    ASSERT_TRUE(Settle(60000, 1000, 0));
    EXPECT_GT(Calls("Incr.getIncrGlobal"), fetches);
    EXPECT_EQ(Calls("File.rename"), 1u);
    EXPECT_TRUE(Node("/b.txt"));
    EXPECT_FALSE(Node("/a.txt"));
    EXPECT_FALSE(Node("/d.txt"));
    EXPECT_TRUE(Node("/u.txt"));
}

// A file deleted while its upload waits for the service's upload address: the upload is
// cancelled and the delete goes on; the address that comes back afterwards starts nothing, so the
// file never reaches the service after its delete.
TEST_F(PipelineTest, AFileDeletedWhileItsUploadAsksForAnAddressNeverReachesTheService) {
    api->uploads().hold("Sync.getAddr");
    Write(QStringLiteral("a.txt"), Bytes(1000, 1));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(1, 1); }));
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/a.txt")));
    ASSERT_TRUE(RunUntil([&] { return UploadCountOnEngine() == 0; }));
    api->uploads().releaseHeld();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    EXPECT_EQ(Calls("Upload.uploadFile"), 0u);
    EXPECT_FALSE(Node("/a.txt"));
}

// A file deleted while its one-request upload is under way: that upload cannot be called back, so
// the delete waits for it and then recycles what it made.
TEST_F(PipelineTest, AFileDeletedWhileItsUploadCommitsIsRecycledAfterTheCommit) {
    api->uploads().hold("Upload.uploadFile");
    Write(QStringLiteral("a.txt"), Bytes(1000, 1));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(1, 1); }));
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/a.txt")));
    for (int round = 0; round < 40; ++round) { // well past the settle delay of the delete
        QCClock::AdvanceForTests(1000);
        Pass();
    }
    EXPECT_EQ(Calls("File.recycle"), 0u); // not before the upload's end
    api->uploads().releaseHeld();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    EXPECT_EQ(Calls("File.recycle"), 1u);
    EXPECT_FALSE(Node("/a.txt"));
}

TEST_F(PipelineTest, UploadsRenamesAndDeletesInterleavedEndInStep) {
    constexpr int kFiles = 200;
    for (int i = 0; i < kFiles; ++i)
        Write(QStringLiteral("t/f%1.txt").arg(i), Bytes(100, unsigned(i)));
    // While they are taken in and uploaded: every fifth renamed, every fifth deleted.
    for (int i = 0; i < kFiles; i += 5) {
        QFile::rename(root + QStringLiteral("/t/f%1.txt").arg(i), root + QStringLiteral("/t/r%1.txt").arg(i));
        QFile::remove(root + QStringLiteral("/t/f%1.txt").arg(i + 1));
        QCClock::AdvanceForTests(500);
        Pass();
    }
    ASSERT_TRUE(Settle(120000));
    std::set<std::string> cloud, local;
    for (const auto& node : api->tree().byPath())
        cloud.insert(node.first);
    for (QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next().mid(root.size());
        if (!path.startsWith(QStringLiteral("/.Nimbocache")))
            local.insert(path.toStdString());
    }
    std::vector<std::string> cloudOnly, localOnly;
    std::set_difference(cloud.begin(), cloud.end(), local.begin(), local.end(), std::back_inserter(cloudOnly));
    std::set_difference(local.begin(), local.end(), cloud.begin(), cloud.end(), std::back_inserter(localOnly));
    EXPECT_EQ(cloudOnly, std::vector<std::string>{});
    EXPECT_EQ(localOnly, std::vector<std::string>{});
    EXPECT_EQ(cloud.size(), size_t(1 + kFiles * 4 / 5)); // the folder, the files less those deleted
}

// --- Scheduling and pools against the stand-in ---------------------------------------------------

// The stand-in holds every folder creation: those of independent folders reach it together, a
// sub-folder's only after its parent's was answered, and a file into a folder the service holds
// goes up meanwhile.
TEST_F(PipelineTest, IndependentFoldersAreCreatedSideBySide) {
    QDir().mkpath(root + QStringLiteral("/old"));
    ASSERT_TRUE(Settle());
    const size_t before = Calls("File.createDir");
    standIn.addFault(FaultRule{"/intf.php", "File.createDir", true, Listener::Primary, 1, -1,
                               Fault{FaultKind::Hold}});
    for (const char* folder : {"/a/sub", "/b", "/c"})
        ASSERT_TRUE(QDir().mkpath(root + QLatin1String(folder)));
    Write(QStringLiteral("old/f.txt"), Bytes(100, 1));
    ASSERT_TRUE(RunUntil([&] { return standIn.heldCount() >= 3 && Node("/old/f.txt"); }));
    std::set<std::string> held;
    const auto calls = api->calls("File.createDir");
    for (size_t i = before; i < calls.size(); ++i)
        held.insert(Trimmed(calls[i].cookie("fname")));
    EXPECT_EQ(held, (std::set<std::string>{"/a", "/b", "/c"}));
    standIn.clearFaults();
    standIn.releaseHeld();
    ASSERT_TRUE(Settle(30000, 1000, 0));
    const auto dirs = api->calls("File.createDir");
    ASSERT_EQ(dirs.size(), before + 4);
    EXPECT_EQ(Trimmed(dirs.back().cookie("fname")), "/a/sub");
    for (const char* path : {"/a/sub", "/b", "/c", "/old/f.txt"})
        EXPECT_TRUE(Node(path)) << path;
}

// Every upload is held by the stand-in, more than the transfer pool has threads and enough to spend
// the upload budget: a folder creation and the user details, control requests on a pool of their
// own, still go through, the creation within room the budget keeps for it. (A small budget keeps
// the pool below the stand-in's workers, which the held requests take too.)
TEST_F(PipelineTest, HeldUploadsHoldUpNoControlRequest) {
    struct Budget {
        Budget() { Set(2, 1); }
        ~Budget() { Set(0, 0); }
        static void Set(int up, int down) {
            std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
            g_Config.tasks_up = up;
            g_Config.tasks_down = down;
        }
    } budget;
    Pass(); // the pool takes the budget's size
    const int threads = WorkPools::Transfers().maxThreadCount();
    ASSERT_EQ(threads, WorkPools::TransferThreadsFor(2, 1));
    api->uploads().hold("Sync.getAddr", 100000);
    // Small files weigh 0.1 each: 24 of them weigh more than the upload budget of 2.
    for (int i = 0; i < std::max(threads + 4, 24); ++i)
        Write(QStringLiteral("f%1.txt").arg(i), Bytes(100, unsigned(i)));
    ASSERT_TRUE(RunUntil([&] { return api->uploads().waitForHeld(threads, 1); }))
        << standIn.heldCount() << " held, " << g_LocalStoreMgr.UploadCount() << " uploads of " << threads;
    const size_t details = Calls("User.getUserDetail");
    QDir().mkpath(root + QStringLiteral("/late"));
    // The clock passes the interval of the user details, which the busy engine asks for then.
    ASSERT_TRUE(RunUntil([&] { return Node("/late") && Calls("User.getUserDetail") > details; }, 30000, 5000))
        << bool(Node("/late")) << " " << Calls("User.getUserDetail") << " " << details;
    FileInfo entry;
    ASSERT_TRUE(RunUntil([&] {
        return g_LocalStoreMgr.Cache().GetBaseInfo(root + QStringLiteral("/late"), entry) &&
               entry.status == quint32(FILE_STATUS_SYNCED);
    }));
    EXPECT_EQ(standIn.heldCount(), threads); // the uploads are still held
}

} // namespace
