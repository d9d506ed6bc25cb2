// Manual downloads through the facade against the stand-in: /proj (a.txt, sub/b.bin of 3 MiB,
// sub/c.txt) is in the cloud and not down; the user asks for it into the mirror or into a folder
// outside, and cancels running downloads of a file or of the whole folder.
#include "support/EngineTestSupport.h"

#include "support/StandInDownloads.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

#include <utime.h>

namespace {

constexpr int kLongMs = 120000;
const char* const kFiles[] = {"/proj/a.txt", "/proj/sub/b.bin", "/proj/sub/c.txt"};

std::string Content(const std::string& path) {
    if (path == "/proj/sub/b.bin") {
        std::string bytes(3 * 1024 * 1024, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 31 % 253);
        return bytes;
    }
    return "content of " + path;
}

QString Q(const char* text) {
    return QString::fromUtf8(text);
}

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes `bytes` at `path`, stamped `mtime` unless it is 0.
bool Write(const QString& path, const QByteArray& bytes, unsigned mtime = 0) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    const utimbuf times{time_t(mtime), time_t(mtime)};
    return mtime == 0 || ::utime(QFile::encodeName(path).constData(), &times) == 0;
}

class ManualDownloadTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
        api->tree().addFolder("/proj");
        api->tree().addFolder("/proj/sub");
        for (const char* file : kFiles)
            api->tree().addFileBytes(file, Content(file));
        LogIn();
        ASSERT_TRUE(WaitStatus(5, kLongMs)); // compared, nothing to download
        mirror = g_LocalStoreMgr.GetRootPath();
        for (const char* file : kFiles)
            ASSERT_EQ(Status(file), quint32(FILE_STATUS_NOT_DOWN)) << file;
        SetStatus(LOCAL_STATUS_OK);
    }
    quint32 Status(const char* cloud) {
        FileInfo info;
        return g_LocalStoreMgr.Cache().GetBaseInfo(mirror + Q(cloud), info) ? info.status : 0;
    }
    bool Idle() { return g_LocalStoreMgr.DownloadCount() == 0; }
    // The stand-in holds every block reply until releaseHeld().
    void HoldBlocks() {
        FaultRule hold;
        hold.path = "/intf.php";
        hold.apiMethod = StandInDownloads::kBlockMethod;
        hold.fault.kind = FaultKind::Hold;
        standIn.addFault(hold);
    }

    QString mirror;
};

TEST_F(ManualDownloadTest, AFolderArrivesInTheMirror) {
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q("/proj"), QString()));
    ASSERT_TRUE(WaitUntil([&] {
        return Status(kFiles[0]) == FILE_STATUS_SYNCED && Status(kFiles[1]) == FILE_STATUS_SYNCED &&
               Status(kFiles[2]) == FILE_STATUS_SYNCED;
    }));
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 3u);
    for (const char* file : kFiles) {
        EXPECT_EQ(Read(mirror + Q(file)), QByteArray::fromStdString(Content(file))) << file;
        FILE_INFO row;
        EXPECT_TRUE(QCSyncDB::GetFileInfo(Q(file), row)) << file;
    }
    // A synced file asked for again queues nothing.
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[0]), QString()));
    Pass();
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 3u);
}

TEST_F(ManualDownloadTest, ACopyOutsideLeavesTheMirrorAndKeepsOtherContent) {
    // c.txt is synced first: a copy outside is made of synced files too.
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[2]), QString()));
    ASSERT_TRUE(WaitUntil([&] { return Status(kFiles[2]) == FILE_STATUS_SYNCED; }));
    SetStatus(LOCAL_STATUS_OK);
    QTemporaryDir tmp;
    const QString out = tmp.path() + Q("/out");
    ASSERT_TRUE(QDir().mkpath(out + Q("/proj")));
    ASSERT_TRUE(Write(out + Q("/proj/a.txt"), "the user's own"));
    EXPECT_FALSE(VUZeroz::GetInstance()->DownloadStart(Q("/proj"), mirror + Q("/elsewhere")));
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q("/proj"), out));
    ASSERT_TRUE(WaitUntil([&] { return Idle() && QFile::exists(out + Q("/proj/sub/c.txt")); }));

    EXPECT_EQ(Read(out + Q("/proj/a.txt")), QByteArray("the user's own"));
    EXPECT_EQ(Read(out + Q("/proj/a (1).txt")), QByteArray::fromStdString(Content(kFiles[0])));
    EXPECT_EQ(Read(out + Q("/proj/sub/b.bin")), QByteArray::fromStdString(Content(kFiles[1])));
    EXPECT_EQ(Read(out + Q("/proj/sub/c.txt")), QByteArray::fromStdString(Content(kFiles[2])));
    for (const char* file : {kFiles[0], kFiles[1]}) {
        EXPECT_FALSE(QFile::exists(mirror + Q(file))) << file;
        EXPECT_EQ(Status(file), quint32(FILE_STATUS_NOT_DOWN)) << file;
    }
    EXPECT_EQ(Status(kFiles[2]), quint32(FILE_STATUS_SYNCED));
    EXPECT_FALSE(QDir(out).exists(Q("proj/elsewhere")));
}

// A copy outside is made once: a later cloud comparison brings back nothing the user deleted there.
// A copy asked while the same file downloads into the mirror follows that download.
TEST_F(ManualDownloadTest, ACopyOutsideIsMadeOnceAndWaitsForARunningDownloadOfItsFile) {
    HoldBlocks();
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[1]), QString()));
    ASSERT_TRUE(WaitUntil([&] { return standIn.heldCount() >= 5; }));
    QTemporaryDir tmp;
    const QString copy = tmp.path() + Q("/b.bin");
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[1]), tmp.path()));
    Pass();
    Pass();
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 1u);
    standIn.clearFaults();
    standIn.releaseHeld();
    const QByteArray bytes = QByteArray::fromStdString(Content(kFiles[1]));
    ASSERT_TRUE(WaitUntil(
        [&] { return Idle() && Status(kFiles[1]) == FILE_STATUS_SYNCED && Read(copy) == bytes; }, 1000));
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 2u);

    ASSERT_TRUE(QFile::remove(copy));
    api->tree().addFileBytes("/proj/new.txt", "new in the cloud");
    SetStatus(LOCAL_STATUS_OK);
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(WaitStatus(4, kLongMs));
    ASSERT_TRUE(WaitUntil([&] { return Status("/proj/new.txt") == FILE_STATUS_NOT_DOWN && Idle(); }));
    Pass();
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 2u);
}

// Monitoring (status 6): a request runs beside three uploads whose blocks the stand-in holds, and
// the engine stays in 6 until they end, each sent once; while a rename, move or delete is pending
// the request waits.
TEST_F(ManualDownloadTest, InMonitorARequestRunsBesideUploadsAndWaitsOnlyForAStructuralChange) {
    // Every upload sends its blocks (the next Init reads the setting again).
    OnEngine([] { g_Config.fast_up_filesize = -1; });
    api->uploads().hold("Upload.block", 3);
    const char* const ups[] = {"/up1.txt", "/up2.txt", "/up3.txt"};
    for (const char* up : ups)
        ASSERT_TRUE(Write(mirror + Q(up), QByteArray("made here ") + up));
    ASSERT_TRUE(WaitUntil([&] { return api->uploads().waitForHeld(3, 0); }, 1000));
    ASSERT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_MONITOR);

    std::atomic<bool> pending{true};
    OnEngine([&] { g_LocalStoreMgr.SetStructuralChangeCheck([&] { return pending.load(); }); });
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[0]), QString()));
    Pass();
    Pass();
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 0u);
    pending = false;
    ASSERT_TRUE(WaitUntil([&] { return Status(kFiles[0]) == FILE_STATUS_SYNCED; }));
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_MONITOR);
    EXPECT_EQ(g_LocalStoreMgr.UploadCount(), 3u);
    OnEngine([] { g_LocalStoreMgr.SetStructuralChangeCheck(nullptr); });

    api->uploads().releaseHeld();
    ASSERT_TRUE(WaitUntil([&] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK; }, 1000));
    for (const char* up : ups) {
        const auto sent = [&](const char* method) {
            size_t n = 0;
            for (const RecordedRequest& call : api->calls(method)) {
                const FormPart* name = call.part("fname");
                n += (name ? name->content : call.cookie("fname")) == up;
            }
            return n;
        };
        EXPECT_EQ(sent("Sync.getAddr"), 1u) << up;
        EXPECT_EQ(sent("Upload.request"), 1u) << up;
        EXPECT_TRUE(api->tree().node(up)) << up;
    }
}

struct CancelCase {
    const char* name;
    const char* path;
    bool removeTemp;
};

class ManualCancelTest : public ManualDownloadTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(ManualCancelTest, EndsEveryDownloadBelowWithNoFurtherBlock) {
    HoldBlocks();
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(GetParam().path), QString()));
    const QString drop = g_LocalStoreMgr.GetDropPath();
    const size_t tasks = std::string(GetParam().path) == "/proj" ? 3 : 1;
    // Nothing is answered: a flight of five blocks of b.bin (of six), and the one block of each
    // small file.
    const size_t flight = tasks == 3 ? 7 : 5;
    ASSERT_TRUE(WaitUntil([&] { return standIn.heldCount() >= int(flight); }));
    ASSERT_EQ(QDir(drop).entryList(QDir::Files).size(), int(tasks));

    EXPECT_FALSE(VUZeroz::GetInstance()->DownloadCancel(Q(GetParam().path), GetParam().removeTemp));
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    Pass(); // the cancel has been carried out
    standIn.clearFaults();
    standIn.releaseHeld();
    for (int i = 0; i < 5; ++i) { // past every retry pause
        QCClock::AdvanceForTests(5000);
        Pass();
    }
    EXPECT_EQ(api->calls(StandInDownloads::kBlockMethod).size(), flight);
    // A cancel with `failed` removes the temporary files itself; without it they stay until the
    // engine arrives in 7 with no download left, which empties the drop folder.
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_OK);
    EXPECT_EQ(QDir(drop).entryList(QDir::Files).size(), 0);
    EXPECT_FALSE(g_LocalStoreMgr.IsDownloadRequested(mirror + Q(GetParam().path)));
    for (const char* file : kFiles) {
        EXPECT_EQ(Status(file), quint32(FILE_STATUS_NOT_DOWN)) << file;
        EXPECT_FALSE(QFile::exists(mirror + Q(file))) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Cancels, ManualCancelTest,
                         ::testing::Values(CancelCase{"AFileWithItsTemporaryFile", "/proj/sub/b.bin", true},
                                           CancelCase{"AFolder", "/proj", false}),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

// A logout leaves nothing of the account in the transfer lists: the next account's are its own.
TEST_F(ManualDownloadTest, ALogoutEmptiesTheDownloadAndFailedLists) {
    FILE_INFO row;
    row.path = Q(kFiles[0]);
    row.name = Q("a.txt");
    OnEngine([&] {
        g_LocalStoreMgr.DownList().Update(row);
        g_LocalStoreMgr.AddToFailedTask(row);
    });
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_LOGOUT);
    ASSERT_TRUE(WaitStatus(3));
    EXPECT_EQ(g_LocalStoreMgr.DownList().Size(), 0u);
    EXPECT_EQ(g_LocalStoreMgr.FailedList().Size(), 0u);
}

// Pausing and resuming everything (stop and start of the sync) and cancelling everything, for a
// download into the mirror and for a copy into a folder outside it.
class EveryDownloadTest : public ManualDownloadTest, public ::testing::WithParamInterface<bool> {
protected:
    // b.bin asked for into the mirror, or into a folder outside; its blocks held.
    void StartHeld() {
        HoldBlocks();
        target = GetParam() ? tmp.path() : QString();
        ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q(kFiles[1]), target));
        ASSERT_TRUE(WaitUntil([&] { return standIn.heldCount() >= 5; }));
        ASSERT_EQ(Temporaries(), 1);
    }
    QString Arrived() const { return GetParam() ? tmp.path() + Q("/b.bin") : mirror + Q(kFiles[1]); }
    int Temporaries() const {
        return GetParam() ? int(QFile::exists(Arrived() + Q(".draveltmp")))
                          : QDir(g_LocalStoreMgr.GetDropPath()).entryList(QDir::Files).size();
    }

    QTemporaryDir tmp;
    QString target;
};

TEST_P(EveryDownloadTest, AStopPausesTheDownloadAndAStartResumesIt) {
    StartHeld();
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitStatus(7));
    Pass();
    EXPECT_EQ(Temporaries(), 1); // kept to go on from
    standIn.clearFaults();
    standIn.releaseHeld();
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    const QByteArray bytes = QByteArray::fromStdString(Content(kFiles[1]));
    ASSERT_TRUE(WaitUntil([&] { return Idle() && Read(Arrived()) == bytes; }, 1000));
    EXPECT_EQ(Temporaries(), 0);
}

TEST_P(EveryDownloadTest, CancelAllEndsTheDownloadWithItsTemporaryFileInEveryStatus) {
    StartHeld();
    SetStatus(LOCAL_STATUS_MONITOR); // the uploads' phase: a cancel of everything is not only theirs
    EXPECT_FALSE(VUZeroz::GetInstance()->CancelAllTask());
    ASSERT_TRUE(WaitUntil([&] { return Idle(); }));
    Pass();
    EXPECT_EQ(Temporaries(), 0);
    EXPECT_FALSE(QFile::exists(Arrived()));
    EXPECT_EQ(Status(kFiles[1]), quint32(FILE_STATUS_NOT_DOWN));
    EXPECT_FALSE(g_LocalStoreMgr.IsDownloadRequested(mirror + Q(kFiles[1])));
    // Nothing of it comes back later: neither a stop and start nor the next comparison asks again.
    standIn.clearFaults();
    standIn.releaseHeld();
    receiver.Take();
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
    ASSERT_TRUE(WaitStatus(7));
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(WaitStatus(5, kLongMs));
    Pass();
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 1u);
    EXPECT_FALSE(QFile::exists(Arrived()));
}

INSTANTIATE_TEST_SUITE_P(Targets, EveryDownloadTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Outside" : "IntoTheMirror";
                         });

// The comparison of a requested file with its journal row and its mirror copy.
constexpr unsigned kCloudTime = kStandInTime + 100;

// The cloud has r.txt at version 3: 10 bytes, kCloudTime, "h-cloud".
struct RuleCase {
    const char* name;
    int localSize; // -1: no local file
    unsigned localTime;
    quint32 rowVersion; // 0: no row
    quint64 rowSize;
    unsigned rowTime;
    const char* rowHash;
    FILE_STATUS expected;
    bool conflictCopy;
};

class ManualRuleTest : public ManualDownloadTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(ManualRuleTest, DecidesAndKeepsTheLocalVersion) {
    const RuleCase& rule = GetParam();
    const QString local = mirror + Q("/r.txt");
    if (rule.localSize >= 0) {
        ASSERT_TRUE(Write(local, QByteArray(rule.localSize, 'x'), rule.localTime));
    }
    FILE_INFO cloud;
    cloud.path = Q("/r.txt");
    cloud.name = Q("r.txt");
    cloud.size = 10;
    cloud.mtime = kCloudTime;
    cloud.version = 3;
    cloud.file_hash = Q("h-cloud");
    FILE_INFO row = cloud;
    row.size = rule.rowSize;
    row.mtime = rule.rowTime;
    row.version = rule.rowVersion;
    row.file_hash = Q(rule.rowHash);
    if (rule.rowVersion != 0)
        OnEngine([&] { EXPECT_TRUE(QCSyncDB::UpdateFileInfo(row)); });
    FILE_STATUS status = FILE_STATUS_UNKNOW;
    QString reason;
    OnEngine([&] { status = g_LocalStoreMgr.CompareCloudFileManual(cloud, reason); });
    EXPECT_EQ(status, rule.expected) << reason.toStdString();
    const QStringList others = QDir(mirror).entryList({Q("r*")}, QDir::Files);
    EXPECT_EQ(others.size(), rule.localSize >= 0 ? 1 : 0) << others.join(Q(",")).toStdString();
    EXPECT_EQ(QFile::exists(local), rule.localSize >= 0 && !rule.conflictCopy);
}

constexpr unsigned kOld = kCloudTime - 50;
constexpr unsigned kEdited = kCloudTime + 5;

INSTANTIATE_TEST_SUITE_P(
    Rules, ManualRuleTest,
    ::testing::Values(
        RuleCase{"NoLocalCopy", -1, 0, 0, 0, 0, "", FILE_STATUS_WAIT_DOWN, false},
        RuleCase{"NoRowSameFile", 10, kCloudTime, 0, 0, 0, "", FILE_STATUS_WAIT_DOWN, false},
        RuleCase{"NoRowOtherFile", 5, kOld, 0, 0, 0, "", FILE_STATUS_WAIT_DOWN, true},
        RuleCase{"Synced", 10, kCloudTime, 3, 10, kCloudTime, "h-cloud", FILE_STATUS_SYNCED, false},
        RuleCase{"ChangedLocally", 7, kEdited, 3, 10, kCloudTime, "h-cloud", FILE_STATUS_CHECKING, false},
        RuleCase{"CloudIsNewer", 8, kOld, 2, 8, kOld, "h-old", FILE_STATUS_WAIT_DOWN, false},
        RuleCase{"LocalIsTheCloudsVersion", 10, kCloudTime, 2, 8, kOld, "h-old", FILE_STATUS_SYNCED, false},
        RuleCase{"BothChanged", 7, kEdited, 2, 8, kOld, "h-old", FILE_STATUS_WAIT_DOWN, true}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

} // namespace
