// The facade as the application calls it, against the stand-in: the index's listings and records,
// the transfer commands, the page of an item, the status snapshot, and a stop of the engine that
// leaves the exchanges of other owners alone.
#include "support/EngineTestSupport.h"

#include "common/PathUtils.h"
#include "common/QCEventBase.h"
#include "network/NetworkClient.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFile>

#include <thread>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

VUZeroz& Core() {
    return *VUZeroz::GetInstance();
}

// The last names of the entries' paths, in their order.
QStringList Names(const std::list<FileInfo>& entries, const QString& below) {
    QStringList names;
    for (const FileInfo& entry : entries)
        names << entry.path.mid(below.size() + 1);
    return names;
}

class FacadeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        api->tree().addFolder("/d");
        api->tree().addFileBytes("/d/a.txt", "abc");
        api->tree().addFileBytes("/d/B.txt", "xyz");
        api->tree().addFolder("/d/Sub");
        api->tree().addFileBytes("/d/Sub/b.txt", "hello");
        api->tree().addFolder("/e");
        LogInAndSettle();
        root = g_LocalStoreMgr.GetRootPath();
        g_LocalStoreMgr.TakeTraceForTests();
    }
    void TearDown() override {
        api->uploads().releaseHeld();
        EngineTest::TearDown();
    }

public:
    // The dispatched events of `type` since the last look, once the engine has handled what was
    // queued.
    int Dispatched(int type) {
        Pass();
        return TraceCount(type);
    }
    using EngineTest::api;
    using EngineTest::Pass;
    using EngineTest::receiver;
    using EngineTest::root;
    using EngineTest::sandbox;
    using EngineTest::SetStatus;
    using EngineTest::WaitCalls;
    using EngineTest::WaitUntil;
};

struct FacadeRow {
    const char* label;
    std::function<void(FacadeTest&)> check;
};

class FacadeCallTest : public FacadeTest, public ::testing::WithParamInterface<FacadeRow> {};

TEST_P(FacadeCallTest, Answers) {
    GetParam().check(*this);
}

const FacadeRow kCalls[] = {
    {"PathInfoListsTheChildrenInTheIndexsOrder",
     [](FacadeTest& t) {
         std::list<FileInfo> entries;
         ASSERT_TRUE(Core().GetPathInfo(S("/d"), false, entries));
         EXPECT_EQ(Names(entries, t.root + S("/d")), (QStringList{S("a.txt"), S("B.txt"), S("Sub")}));
         ASSERT_TRUE(Core().GetPathInfo(t.root + S("/d"), true, entries)); // a mirror path as well
         EXPECT_EQ(Names(entries, t.root + S("/d")),
                   (QStringList{S("a.txt"), S("B.txt"), S("Sub"), S("Sub/b.txt")}));
     }},
    {"PathInfoOfAnEmptyFolderIsTrue",
     [](FacadeTest&) {
         std::list<FileInfo> entries(1);
         EXPECT_TRUE(Core().GetPathInfo(S("/e"), false, entries));
         EXPECT_TRUE(entries.empty());
     }},
    {"PathInfoOfAnUnknownOrEmptyPathIsFalse",
     [](FacadeTest&) {
         std::list<FileInfo> entries(1);
         EXPECT_FALSE(Core().GetPathInfo(S("/nope"), false, entries));
         EXPECT_FALSE(Core().GetPathInfo(QString(), true, entries));
         EXPECT_EQ(entries.size(), 1u);
     }},
    {"FileInfoRollsUpAFolder",
     [](FacadeTest& t) {
         FileInfo info;
         ASSERT_TRUE(Core().GetFileInfo(S("/d"), info));
         EXPECT_TRUE(info.is_dir);
         EXPECT_EQ(info.path, t.root + S("/d"));
         EXPECT_EQ(info.size, 11u);
         EXPECT_EQ(info.file_count, 3u);
         EXPECT_EQ(info.dir_count, 1u);
         ASSERT_TRUE(Core().GetFileInfo(S("/d/Sub/b.txt"), info));
         EXPECT_FALSE(info.is_dir);
         EXPECT_EQ(info.size, 5u);
         EXPECT_FALSE(Core().GetFileInfo(S("/nope"), info));
         EXPECT_FALSE(Core().GetFileInfo(t.root + S("/.Nimbocache"), info));
     }},
    {"PauseAndResumeReachTheEngine",
     [](FacadeTest& t) {
         EXPECT_FALSE(Core().PauseTask(QString()));
         EXPECT_FALSE(Core().ResumeTask(QString()));
         EXPECT_TRUE(Core().PauseTask(S("/d/a.txt")));
         EXPECT_TRUE(Core().ResumeTask(t.root + S("/d/a.txt")));
         t.Pass();
         const std::vector<int> trace = g_LocalStoreMgr.TakeTraceForTests();
         EXPECT_EQ(std::count(trace.begin(), trace.end(), int(QCEventBase::PauseTask)), 1);
         EXPECT_EQ(std::count(trace.begin(), trace.end(), int(QCEventBase::ResumeTask)), 1);
     }},
    {"CancelAllTaskEndsTheDownloads",
     [](FacadeTest& t) {
         EXPECT_FALSE(Core().CancelAllTask());
         EXPECT_EQ(t.Dispatched(QCEventBase::CancelAllTask), 1);
     }},
    {"CancelAllTaskWhileUploadingEndsTheOutUploadsAndTheDownloads",
     [](FacadeTest& t) {
         t.api->uploads().hold("Sync.getAddr", -1); // the upload cannot end by itself
         const QString source = QDir(t.sandbox.work.path()).filePath(S("outside.txt"));
         QFile file(source);
         ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         file.write("outside");
         file.close();
         ASSERT_TRUE(Core().Upload(S("/d/outside.txt"), source));
         // Syncing because the upload runs (held), not because the test said so: a status set by
         // hand would give way to the engine's own at its next turn.
         ASSERT_TRUE(t.WaitUntil([&t] { return !t.api->calls("Sync.getAddr").empty(); }, 1000));
         ASSERT_EQ(g_LocalStoreMgr.QueryStatus(), int(UI_STATUS_SYNCING));
         ASSERT_EQ(g_LocalStoreMgr.OutUploads().Pending().size(), 1u);
         EXPECT_FALSE(Core().CancelAllTask());
         EXPECT_TRUE(g_LocalStoreMgr.OutUploads().Pending().empty());
         EXPECT_EQ(t.Dispatched(QCEventBase::CancelAllTask), 1); // and the downloads
     }},
    {"FileOperateJumpUrlNamesAKnownItemByItsNodeId",
     [](FacadeTest& t) {
         FileInfo known;
         ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(t.root + S("/d/a.txt"), known));
         ASSERT_NE(known.nid, 0u);
         Core().GetFileOperateJumpUrl(S("file_history"), S("/d/a.txt"));
         ASSERT_TRUE(t.WaitCalls("User.getJumpUrl", 1));
         const RecordedRequest request = t.api->calls("User.getJumpUrl").back();
         EXPECT_EQ(request.cookie("dest_addr"), "file_history");
         EXPECT_EQ(request.cookie("nid"), std::to_string(known.nid));
         EXPECT_EQ(request.cookie("owner_qid"), known.qid.toStdString());
         EXPECT_TRUE(request.cookie("path").empty());
         EXPECT_TRUE(t.receiver.WaitFor(QCEventBase::GetJumpUrl, 10000));
     }},
    {"FileOperateJumpUrlNamesAnUnknownItemByItsPath",
     [](FacadeTest& t) {
         Core().GetFileOperateJumpUrl(S("file_history"), QString()); // nothing to ask about
         EXPECT_EQ(t.Dispatched(QCEventBase::GetJumpUrlTicket), 0);
         Core().GetFileOperateJumpUrl(S("file_history"), t.root + S("/d/new.txt"));
         ASSERT_TRUE(t.WaitCalls("User.getJumpUrl", 1));
         const RecordedRequest request = t.api->calls("User.getJumpUrl").back();
         EXPECT_EQ(request.cookie("path"), "/d/new.txt");
         EXPECT_TRUE(request.cookie("nid").empty());
     }},
};

INSTANTIATE_TEST_SUITE_P(Calls, FacadeCallTest, ::testing::ValuesIn(kCalls),
                         [](const ::testing::TestParamInfo<FacadeRow>& info) { return info.param.label; });

// An exchange of another owner (the application's face picture, say) is not the engine's to stop.
TEST_F(FacadeTest, AnotherOwnersExchangeOutlivesAStopAndALogin) {
    standIn.route("GET", "/face.png", [](const RecordedRequest&) {
        StandInReply reply;
        reply.body = "face";
        reply.contentType = "image/png";
        return reply;
    });
    FaultRule hold;
    hold.path = "/face.png";
    hold.times = 1;
    hold.fault.kind = FaultKind::Hold;
    standIn.addFault(hold);
    NetworkClient face(0);
    bool done = false;
    const QString url = QString::fromStdString(standIn.url(Listener::Primary, "/face.png"));
    std::thread other([&] { done = face.doGet(url); });
    ASSERT_TRUE(standIn.waitForHeld(1, 10000));
    ASSERT_TRUE(Core().Uninit(false));
    InitEngine();
    Core().SetUser(S("u1"), S("Q=a; T=b;"), false, QString());
    Core().MapSyncPath(root, S("/"));
    LogIn();
    standIn.releaseHeld();
    other.join();
    EXPECT_TRUE(done) << face.errorString().toStdString();
    EXPECT_EQ(face.responseCode(), 200);
    EXPECT_EQ(face.responseBody(), QByteArray("face"));
}

// --- The status snapshot ---------------------------------------------------------------------------

struct SnapshotRow {
    const char* label;
    LOCAL_STATUS engine;
    bool compared; // the cloud comparison has run
    UI_STATUS shown;
    quint32 percent;
};

TEST_F(EngineTest, SnapshotCarriesTheProgressOfTheCheckAndTheServicePage) {
    MakeReady(R"({"online_service":"kf_7"})");
    EXPECT_EQ(Core().Status().online_service, S("kf_7"));
    // The uploads are at 25 %, the downloads at 50 %.
    const SnapshotRow rows[] = {
        {"CheckCloudBeforeItsComparison", LOCAL_STATUS_CHECK_CLOUD, false, UI_STATUS_CHECK_CLOUD, 0},
        {"CheckCloudAfterItsComparison", LOCAL_STATUS_CHECK_CLOUD, true, UI_STATUS_CHECK_CLOUD, 50},
        {"CheckOffline", LOCAL_STATUS_CHECK_OFFLINE, true, UI_STATUS_SYNCING, 25},
        {"Monitor", LOCAL_STATUS_MONITOR, true, UI_STATUS_SYNCING, 25},
        {"InStep", LOCAL_STATUS_OK, true, UI_STATUS_SYNCED, 0},
        {"LoggedIn", LOCAL_STATUS_LOGIN_OK, true, UI_STATUS_LOGIN_OK, 0},
    };
    bool compared = false;
    for (const SnapshotRow& row : rows) {
        if (row.compared && !compared) {
            ASSERT_TRUE(g_LocalStoreMgr.CompareForTests({})) << row.label;
            compared = true;
        }
        SYNC_INFO info;
        OnEngine([&] {
            FILE_INFO up;
            up.path = S("/up.bin");
            up.size = 200;
            FILE_INFO down = up;
            down.path = S("/down.bin");
            down.size = 100;
            g_LocalStoreMgr.UpList().Add(up);
            g_LocalStoreMgr.DownList().Add(down);
            up.done_size = 50;
            down.done_size = 50;
            g_LocalStoreMgr.UpList().Update(up);
            g_LocalStoreMgr.DownList().Update(down);
            g_LocalStoreMgr.ChangeStatus(row.engine, false);
            info = Core().Status();
            g_LocalStoreMgr.UpList().Clear();
            g_LocalStoreMgr.DownList().Clear();
        });
        EXPECT_EQ(info.status, row.shown) << row.label;
        EXPECT_EQ(info.percent, row.percent) << row.label;
    }
}

} // namespace
