// The engine thread, its queue, its status machine, its paths and the facade's life cycle.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "network/NetworkClient.h"
#include "support/DebugCapture.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/QCTimer.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

qint64 MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<int> Without(std::vector<int> trace, int type) {
    trace.erase(std::remove(trace.begin(), trace.end(), type), trace.end());
    return trace;
}

// Rows of the journal with that path, read through a connection of its own.
int JournalRows(const QString& db, const QString& path) {
    sqlite3* handle = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(db.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const QByteArray sql = "select count(*) from file_journal where server_path = ?;";
        if (sqlite3_prepare_v2(handle, sql.constData(), -1, &statement, nullptr) == SQLITE_OK) {
            const QByteArray text = path.toUtf8();
            sqlite3_bind_text(statement, 1, text.constData(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(statement) == SQLITE_ROW)
                rows = sqlite3_column_int(statement, 0);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return rows;
}

// --- The queue -------------------------------------------------------------------------------------

// Holds the engine thread in a handler until the returned promise is set.
std::promise<void> HoldEngineThread() {
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    g_LocalStoreMgr.Post(
        [&started, released] {
            started.set_value();
            released.wait();
        },
        false);
    started.get_future().wait();
    return release;
}

TEST_F(EngineTest, HeadEventsOvertakeTailEventsQueuedWhileAHandlerRuns) {
    std::promise<void> release = HoldEngineThread();
    g_LocalStoreMgr.AddCoreEvent(std::make_shared<QCDeleteHistoryEvent>());
    g_LocalStoreMgr.TriggerTimerEvent();
    release.set_value();
    OnEngine([] {}, true);
    EXPECT_EQ(Without(g_LocalStoreMgr.TakeTraceForTests(), QCEventBase::CoreProc),
              (std::vector<int>{QCEventBase::CoreTimer, QCEventBase::DeleteHistory}));
}

TEST_F(EngineTest, ABurstOfRepliesIsDispatchedAtOnce) {
    const auto start = Clock::now();
    for (unsigned int i = 0; i < 200; ++i)
        g_LocalStoreMgr.SendCoreProcEvent(CMD::GetVersion, 900000 + i); // never registered
    OnEngine([] {}, true);
    // One reply per turn, each turn waiting up to 100 ms, would take 20 s.
    EXPECT_LT(MsSince(start), 5000);
    const std::vector<int> trace = g_LocalStoreMgr.TakeTraceForTests();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), int(QCEventBase::ProcResponse)), 200);
}

TEST_F(EngineTest, WorkWhoseCallerGaveUpWaitingNeverRuns) {
    // The engine is held past the caller's wait; the work would otherwise write into the caller's
    // locals after they are gone.
    std::promise<void> release = HoldEngineThread();
    auto ran = std::make_shared<std::atomic<bool>>(false);
    EXPECT_FALSE(g_LocalStoreMgr.CallForTests([ran] { ran->store(true); }, 50, true));
    release.set_value();
    OnEngine([] {}, true);
    OnEngine([] {}, false);
    EXPECT_FALSE(ran->load());
    EXPECT_TRUE(g_LocalStoreMgr.CallForTests([ran] { ran->store(true); }, 5000, false));
    EXPECT_TRUE(ran->load());
}

// --- The polled timer ----------------------------------------------------------------------------

TEST(QCTimerTest, FiresOncePerStartAfterItsIntervalOfInjectedTime) {
    QCClock::UseManualForTests();
    std::srand(4242);
    const int expected = std::rand();
    std::srand(4242);

    QCTimer timer;
    timer.SetInterval(2);
    EXPECT_FALSE(timer.Check()); // not started
    timer.Start();
    QCClock::AdvanceForTests(2000);
    EXPECT_FALSE(timer.Check()); // due strictly after the interval
    QCClock::AdvanceForTests(1);
    EXPECT_TRUE(timer.Check());
    QCClock::AdvanceForTests(5000);
    EXPECT_FALSE(timer.Check()); // once per Start
    timer.Start();
    QCClock::AdvanceForTests(2001);
    EXPECT_TRUE(timer.Check());

    QCTimer never;
    never.Start();
    QCClock::AdvanceForTests(1000000);
    EXPECT_FALSE(never.Check());      // interval 0
    EXPECT_EQ(std::rand(), expected); // the timers leave the process's random numbers alone
    QCClock::UseSystemForTests();
}

// --- Status and requests ---------------------------------------------------------------------------

TEST_F(EngineTest, StopInStatusOkSendsOneStatusEvent) {
    SetStatus(LOCAL_STATUS_OK);
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitStatus(7));
    OnEngine([] {}, true);
    receiver.Pump();
    const auto events = receiver.Take();
    // Counted by their status: a late event of the start-up may still come in on a loaded machine.
    ASSERT_EQ(std::count_if(events.begin(), events.end(),
                            [](const RecordedEvent& e) {
                                return e.type == QCEventBase::StatusChanged && int(e.info.status) == 7;
                            }),
              1);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_STOP);
}

// The stop clears the error shown: its status event says so, for the user interface keeps what the
// last event said.
TEST_F(EngineTest, AStopAfterAnErrorShowsTheStopWithoutTheError) {
    SetStatus(LOCAL_STATUS_OK);
    g_LocalStoreMgr.OnError(SYNC_ERROR::DiskWrite, 7, QString(), nullptr);
    ASSERT_TRUE(WaitStatus(8));
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    OnEngine([] {}, true);
    std::vector<RecordedEvent> statuses;
    for (const RecordedEvent& e : receiver.Take()) {
        if (e.type == QCEventBase::StatusChanged)
            statuses.push_back(e);
    }
    // The reply to the space request that status 7 made may still bring its own event, with the
    // error, before the stop's; the stop's, the last, shows no error.
    ASSERT_FALSE(statuses.empty());
    EXPECT_LE(statuses.size(), 2u);
    EXPECT_EQ(int(statuses.back().info.status), 7);
    EXPECT_EQ(statuses.back().info.error_type, 0);
    EXPECT_EQ(int(VUZeroz::GetInstance()->Status().status), 7);
}

TEST_F(EngineTest, ChangingToTheSameStatusSendsNoEventButRecordsTheLastStatus) {
    SetStatus(LOCAL_STATUS_MONITOR);
    receiver.Take();
    OnEngine([] { g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_MONITOR, true); });
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::StatusChanged), 0);
    EXPECT_EQ(g_LocalStoreMgr.LastStatus(), LOCAL_STATUS_MONITOR);
}

// A login request while stopped is a start: after a successful login the user details are asked
// for again (status 2); without one the login starts over from the configuration request.
struct StoppedLoginRow {
    const char* label;
    LOCAL_STATUS before;
    LOCAL_STATUS after;
    const char* method;
};

void PrintTo(const StoppedLoginRow& row, std::ostream* os) {
    *os << row.label;
}

class StoppedLoginTest : public EngineTest, public ::testing::WithParamInterface<StoppedLoginRow> {};

TEST_P(StoppedLoginTest, IsAStart) {
    const StoppedLoginRow& row = GetParam();
    api->setAnswer(row.method, ApiAnswer::Data("{}"));
    SetStatus(row.before);
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitStatus(7));
    VUZeroz::GetInstance()->Request(REQUEST_LOGIN);
    OnEngine([] {}, true);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), row.after);
    EXPECT_TRUE(WaitCalls(row.method, 1));
}

INSTANTIATE_TEST_SUITE_P(Rows, StoppedLoginTest,
                         ::testing::Values(StoppedLoginRow{"AfterALogin", LOCAL_STATUS_MONITOR,
                                                           LOCAL_STATUS_LOGIN_OK, "User.getUserDetail"},
                                           StoppedLoginRow{"WithoutOne", LOCAL_STATUS_WAIT_LOGIN,
                                                           LOCAL_STATUS_WAIT_LOGIN, "User.getConfig"}),
                         [](const ::testing::TestParamInfo<StoppedLoginRow>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(EngineTest, RefreshesAreThrottledToOneEveryTwoSecondsOfInjectedTime) {
    api->setAnswer("User.getVersion", ApiAnswer::Data("{}"));
    DebugCapture debug;
    const auto refresh = [] {
        VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
        g_LocalStoreMgr.CallForTests([] {}, 5000, false);
    };
    refresh();
    QCClock::AdvanceForTests(1000);
    refresh(); // dropped
    QCClock::AdvanceForTests(2001);
    refresh();
    EXPECT_EQ(debug.lines(QStringLiteral("ProcUserRequest Refresh")).size(), 2);
    ASSERT_TRUE(standIn.waitForRequests(2, 10000));
    EXPECT_EQ(api->calls("User.getVersion").size(), 2u);
}

TEST_F(EngineTest, AnErrorShowsAsStatusEightWithItsTypeAndCode) {
    g_LocalStoreMgr.OnError(SYNC_ERROR::Network, 7, QString(), nullptr); // off the engine thread
    ASSERT_TRUE(WaitStatus(8));
    const SYNC_INFO info = VUZeroz::GetInstance()->Status();
    EXPECT_EQ(int(info.status), 8);
    EXPECT_EQ(info.error_type, SYNC_ERROR::Network);
    EXPECT_EQ(info.error_code, 7);
}

TEST_F(EngineTest, WithoutSpaceFiguresTheStatusShowsThoseSavedInTheProfile) {
    g_Config.SaveUserProfileInt64(QStringLiteral("total_size"), 1000);
    g_Config.SaveUserProfileInt64(QStringLiteral("used_size"), 250);
    g_Config.SaveUserProfileInt64(QStringLiteral("e_total_size"), 9000);
    g_Config.SaveUserProfileInt64(QStringLiteral("e_used_size"), 10);
    const SYNC_INFO info = VUZeroz::GetInstance()->Status();
    EXPECT_EQ(info.total_size, 1000u);
    EXPECT_EQ(info.used_size, 250u);
    EXPECT_EQ(info.free_size, 750u);
    EXPECT_FLOAT_EQ(info.used_percent, 25.0f);
    EXPECT_EQ(info.ent_total_size, 9000u);
    EXPECT_EQ(info.ent_used_size, 10u);
}

// The sixth re-login within a login waits a minute of the core's clock; the engine goes on.
TEST_F(EngineTest, TheSixthReLoginWaitsAMinute) {
    api->setAnswer("User.getConfig", ApiAnswer::Data(api->defaultConfigData()));
    for (int i = 1; i <= 6; ++i) {
        g_LocalStoreMgr.ReLogin();
        OnEngine([] {}, true);
        OnEngine([] {}, true); // the restart's start request, queued at the tail
        if (i < 6) {
            ASSERT_TRUE(WaitCalls("User.getConfig", size_t(i))) << i;
        }
    }
    EXPECT_EQ(api->calls("User.getConfig").size(), 5u);
    // Not held up by the pause: the clock stands still, so an engine waiting it out never answers.
    OnEngine([] {}, true);
    QCClock::AdvanceForTests(60000);
    EXPECT_TRUE(WaitCalls("User.getConfig", 6));
}

// --- Life cycle ------------------------------------------------------------------------------------

TEST_F(EngineTest, WithoutAServiceTheLoginWaitsAndTheStatusAnswersAtOnce) {
    NoService();
    VUZeroz::GetInstance()->Login();
    OnEngine([] {}, true);
    // The snapshot never waits for the engine: asked while the engine thread is held, it answers.
    // A watchdog lets the engine go after 20 s, so that a snapshot that waited fails, not hangs.
    std::promise<void> release = HoldEngineThread();
    std::atomic<bool> answered{false};
    std::atomic<bool> watchdogFired{false};
    std::mutex lock;
    std::condition_variable done;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!done.wait_for(guard, std::chrono::seconds(20), [&] { return answered.load(); }))
            watchdogFired = true;
        release.set_value();
    });
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(int(VUZeroz::GetInstance()->Status().status), 3);
    {
        std::lock_guard<std::mutex> guard(lock);
        answered = true;
    }
    done.notify_all();
    watchdog.join();
    EXPECT_FALSE(watchdogFired);
    OnEngine([] {}, true);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_WAIT_LOGIN);
}

class UninitTest : public EngineTest, public ::testing::WithParamInterface<LOCAL_STATUS> {};

TEST_P(UninitTest, EndsTheEngineWithoutWaitingForTheRetries) {
    // Pauses between attempts far longer than Uninit's own limit: an engine that waited for the
    // walk would not end in time, and Uninit would say so.
    NetworkClient::SetRetryBackoff(30000, 30000);
    NoService();
    VUZeroz::GetInstance()->Login(); // a configuration request walks its retries meanwhile
    SetStatus(GetParam());
    EXPECT_TRUE(VUZeroz::GetInstance()->Uninit(false));
    EXPECT_TRUE(g_LocalStoreMgr.Wait(0));
}

INSTANTIATE_TEST_SUITE_P(Statuses, UninitTest, ::testing::Values(LOCAL_STATUS_WAIT_LOGIN, LOCAL_STATUS_OK),
                         [](const ::testing::TestParamInfo<LOCAL_STATUS>& info) {
                             return info.param == LOCAL_STATUS_OK ? std::string("Ok")
                                                                  : std::string("WaitLogin");
                         });

// --- The journal at the ends of a login -------------------------------------------------------------

enum class Ending { Stop, Logout, Uninit };

class JournalEndTest : public EngineTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(JournalEndTest, RowsOfTheLongTransactionAreCommitted) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    MakeReady();
    SetStatus(LOCAL_STATUS_MONITOR); // begins the long transaction
    ASSERT_TRUE(QCSyncDB::IsTransacting());
    FILE_INFO file;
    file.path = QStringLiteral("/a.txt");
    file.name = QStringLiteral("a.txt");
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(file));
    const QString db = g_Config.db_path;
    EXPECT_EQ(JournalRows(db, file.path), 0); // not yet committed
    switch (GetParam()) {
    case Ending::Stop:
        VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
        ASSERT_TRUE(WaitStatus(7));
        break;
    case Ending::Logout:
        VUZeroz::GetInstance()->Request(REQUEST_LOGOUT);
        ASSERT_TRUE(WaitStatus(3));
        break;
    case Ending::Uninit:
        ASSERT_TRUE(VUZeroz::GetInstance()->Uninit(false));
        break;
    }
    EXPECT_EQ(JournalRows(db, file.path), 1);
}

std::string EndingName(const ::testing::TestParamInfo<Ending>& info) {
    static const char* const names[] = {"Stop", "Logout", "Uninit"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Endings, JournalEndTest,
                         ::testing::Values(Ending::Stop, Ending::Logout, Ending::Uninit), EndingName);

// A journal write that fails at the pass's end (a full disk) is shown: the status never says "in
// step" while rows are missing.
TEST_F(EngineTest, AFailedJournalWriteIsShownInsteadOfInStep) {
    MakeReady();
    SetStatus(LOCAL_STATUS_MONITOR);
    receiver.Pump();
    receiver.Take();
    FILE_INFO file;
    file.path = QStringLiteral("/a.txt");
    OnEngine([&] {
        QCSyncDB::UpdateFileInfoLater(file);
        QCSyncDB::FailStepForTests(1); // the batch that writes it
        g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_OK, true);
        QCSyncDB::FailStepForTests(0);
    });
    ASSERT_TRUE(receiver.WaitFor(
        QCEventBase::GlobalError, [](const RecordedEvent& e) { return e.kind == SYNC_ERROR::DiskWrite; }, 20000));
    for (const RecordedEvent& event : receiver.Take()) {
        if (event.type == QCEventBase::StatusChanged) {
            EXPECT_NE(int(event.info.status), 6);
        }
    }
    const SYNC_INFO info = VUZeroz::GetInstance()->Status();
    EXPECT_EQ(int(info.status), 8);
    EXPECT_EQ(info.error_type, SYNC_ERROR::DiskWrite);
}

// --- Configuration readiness and paths ---------------------------------------------------------------

TEST_F(EngineTest, ReadinessSetsTheLoginsFilesUpOnce) {
    FaultRule held; // the user details it asks for stay unanswered meanwhile
    held.path = "/intf.php";
    held.fault.kind = FaultKind::Delay;
    held.fault.delayMs = 60000;
    standIn.addFault(held);
    EXPECT_FALSE(g_LocalStoreMgr.IsSyncPath(root + QStringLiteral("/a"))); // nothing in effect yet
    SetStatus(LOCAL_STATUS_LOGIN_RETRY);
    ASSERT_TRUE(WaitStatus(1));
    OnEngine([] {}, true);
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::StatusChanged), 1);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_LOGIN_OK);
    EXPECT_TRUE(QFileInfo(QDir(UserFolder()).filePath(QStringLiteral("filecache.db"))).isFile());
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/.Nimbocache")).isDir());
    EXPECT_EQ(g_LocalStoreMgr.GetRootPath(), root);
    ASSERT_TRUE(standIn.waitForRequests(1, 10000));
    EXPECT_EQ(api->calls("User.getUserDetail").size(), 1u);
}

TEST_F(EngineTest, AJournalThatCannotBeOpenedFailsTheLogin) {
    ASSERT_TRUE(QDir().mkpath(QDir(UserFolder()).filePath(QStringLiteral("filecache.db"))));
    SetStatus(LOCAL_STATUS_LOGIN_RETRY);
    ASSERT_TRUE(WaitStatus(8));
    OnEngine([] {}, true);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().error_type, SYNC_ERROR::DBCurrupt);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_WAIT_LOGIN);
    EXPECT_TRUE(g_LocalStoreMgr.GetRootPath().isEmpty());
    EXPECT_EQ(standIn.requestCount(), 0); // no user-detail request
}

TEST_F(EngineTest, PathsMapBetweenTheMirrorAndTheCloud) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    MakeReady();
    const QCLocalStoreMgr& engine = g_LocalStoreMgr;
    VUZeroz& core = *VUZeroz::GetInstance();
    const QString R = root;
    struct Row {
        QString got;
        QString want;
    };
    const Row rows[] = {
        {engine.GetVirtualPath(R + QStringLiteral("/a/b.txt")), QStringLiteral("/a/b.txt")},
        {engine.GetVirtualPath(R), QString()},
        {engine.GetVirtualPath(R + QStringLiteral("-old/x")), R + QStringLiteral("-old/x")},
        {engine.GetDiskPath(QStringLiteral("/a")), R + QStringLiteral("/a")},
        {engine.GetDiskPath(R + QStringLiteral("/a")), MyCombinePath(R, R + QStringLiteral("/a"))},
        {core.GetCachePath(QStringLiteral("/a")), R + QStringLiteral("/a")},
        {core.GetCachePath(R + QStringLiteral("/a")), R + QStringLiteral("/a")},
        {core.GetCachePath(R + QStringLiteral("-old/x")), MyCombinePath(R, R + QStringLiteral("-old/x"))},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.got, row.want);
    EXPECT_TRUE(engine.IsSyncPath(R + QStringLiteral("/a")));
    EXPECT_TRUE(engine.IsSyncPath(R));
    EXPECT_FALSE(engine.IsSyncPath(R + QStringLiteral("-old/x")));
    EXPECT_FALSE(engine.IsSyncPath(R + QStringLiteral("/.Nimbocache/f")));
}

TEST_F(EngineTest, AnotherSyncFolderLogsInAgainOnTheSameThread) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    MakeReady();
    SetStatus(LOCAL_STATUS_OK);
    std::thread::id before;
    OnEngine([&before] { before = std::this_thread::get_id(); });
    NoService();
    receiver.Take();

    // The same folder in other letters is taken for the same folder: nothing starts again.
    VUZeroz::GetInstance()->MapSyncPath(root.toUpper(), QStringLiteral("/"));
    OnEngine([] {}, true);
    const auto events = receiver.Take();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const RecordedEvent& e) {
                                return e.type == QCEventBase::StatusChanged && int(e.info.status) == 3;
                            }),
              0);
    EXPECT_GE(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_MONITOR); // a download is made to run: busy

    const QString other = QDir(sandbox.home.path()).filePath(QStringLiteral("other"));
    // The new login's walk pauses 30 s between attempts: a call that waited for it would take
    // that long at least (it takes some 7 ms, most of it saving the user's files).
    NetworkClient::SetRetryBackoff(30000, 30000);
    const auto start = Clock::now();
    VUZeroz::GetInstance()->MapSyncPath(other, QStringLiteral("/"));
    EXPECT_LT(MsSince(start), 15000);
    ASSERT_TRUE(WaitStatus(3));
    OnEngine([] {}, true);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_WAIT_LOGIN);
    std::thread::id after;
    OnEngine([&after] { after = std::this_thread::get_id(); });
    EXPECT_EQ(before, after);
    FILE_INFO file;
    file.path = QStringLiteral("/x");
    EXPECT_FALSE(QCSyncDB::UpdateFileInfo(file)); // the old journal is closed
    EXPECT_TRUE(g_LocalStoreMgr.GetRootPath().isEmpty());
}

} // namespace

namespace {

TEST_F(EngineTest, TheDeviceIdIsMadeOnceAndKept) {
    // Made in this test's home folder, whatever an earlier test in this process made.
    ASSERT_TRUE(VUZeroz::GetInstance()->Uninit(false));
    g_Config.devid.clear();
    InitEngine();
    const QString id = g_Config.devid;
    EXPECT_EQ(QUuid(id).isNull(), false) << qPrintable(id);
    EXPECT_EQ(g_Config.ReadGlobalProfile(QStringLiteral("devid"), QString()), id);
    ASSERT_TRUE(VUZeroz::GetInstance()->Uninit(false));
    g_Config.devid.clear(); // as in a new process
    InitEngine();
    EXPECT_EQ(g_Config.devid, id);
}

} // namespace

// --- The view thread --------------------------------------------------------------------------------

// The facade's view requests and the index's notices reach the view thread, whose events go to the
// receiver; the engine's end stops it, and it refuses requests from then on.
TEST_F(EngineTest, ViewRequestsAndNoticesReachTheViewThreadUntilTheEngineEnds) {
    MakeReady();
    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    QCCache& cache = g_LocalStoreMgr.Cache();
    FILE_INFO d;
    d.path = QStringLiteral("/d");
    d.is_dir = true;
    cache.Update(d.path, d, FILE_STATUS_SYNCED, false, false, true);
    FILE_INFO a;
    a.path = QStringLiteral("/d/a.txt");
    a.name = QStringLiteral("a.txt");
    cache.Update(a.path, a, FILE_STATUS_SYNCED, false, false, true);
    VUZeroz& core = *VUZeroz::GetInstance();
    const QString folder = root + QStringLiteral("/d");
    const auto entries = [folder](int n) {
        return [folder, n](const RecordedEvent& e) {
            return e.update.path == folder && int(e.update.files.size()) == n;
        };
    };
    EXPECT_FALSE(core.ViewList(root + QStringLiteral("-old/d"), -1));
    ASSERT_TRUE(core.ViewList(folder, -1));
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::FileUpdate, entries(1), 5000));
    receiver.Take();
    FILE_INFO b = a;
    b.path = QStringLiteral("/d/b.txt");
    b.name = QStringLiteral("b.txt");
    cache.Update(b.path, b, FILE_STATUS_SYNCED, true, false, true); // a notice of the index
    ASSERT_TRUE(receiver.WaitFor(
        QCEventBase::FileUpdate,
        [&](const RecordedEvent& e) {
            return entries(1)(e) && e.update.files[0].path == folder + QStringLiteral("/b.txt");
        },
        5000));
    ASSERT_TRUE(core.Uninit(false));
    EXPECT_FALSE(g_LocalStoreMgr.View().running());
    EXPECT_FALSE(core.ViewSearch(QStringLiteral("a"), -1));
    EXPECT_FALSE(g_LocalStoreMgr.UIEventSendMsg(FileInfo(), false));
}
