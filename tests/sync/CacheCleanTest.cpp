// The cache clean against the stand-in: /proj is downloaded into the mirror, then the user's clean
// (request 5) or the clean of Uninit(true) removes what is in step with the cloud and keeps what
// work concerns.
#include "support/EngineTestSupport.h"

#include "support/DebugCapture.h"
#include "support/StandInDownloads.h"

#include "Database/QCSyncDB.h"
#include "common/QCEventBase.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <map>

namespace {

constexpr int kLongMs = 120000;

const std::map<std::string, std::string>& Cloud() {
    static const std::map<std::string, std::string> files = {
        {"/proj/a.txt", "content of a"},
        {"/proj/m.txt", "content of m"},
        {"/proj/sub/b.bin", std::string(600 * 1024, 'b')},
        {"/proj/sub/c.txt", "content of c"},
        {"/proj/d.bin", BigBytes('d')},
    };
    return files;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int FilesBelow(const QString& folder) {
    int count = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();
         it.next())
        ++count;
    return count;
}

class CacheCleanTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
        api->tree().addFolder("/proj");
        api->tree().addFolder("/proj/sub");
        for (const auto& file : Cloud())
            api->tree().addFileBytes(file.first, file.second);
        LogIn();
        ASSERT_TRUE(WaitStatus(5, kLongMs));
        mirror = g_LocalStoreMgr.GetRootPath();
        SetStatus(LOCAL_STATUS_OK);
        ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(QStringLiteral("/proj"), QString()));
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& file : Cloud())
                if (Status(file.first) != FILE_STATUS_SYNCED)
                    return false;
            return g_LocalStoreMgr.DownloadCount() == 0;
        }));
        SetStatus(LOCAL_STATUS_OK);
        receiver.Take();
    }
    void TearDown() override {
        standIn.clearFaults();
        standIn.releaseHeld();
        EngineTest::TearDown();
    }
    quint32 Status(const std::string& cloud) {
        FileInfo info;
        return g_LocalStoreMgr.Cache().GetBaseInfo(mirror + Q(cloud), info) ? info.status : 0;
    }
    bool Gone(const std::string& cloud) {
        FILE_INFO row;
        return !QFile::exists(mirror + Q(cloud)) && !QCSyncDB::GetFileInfo(Q(cloud), row) &&
               Status(cloud) == FILE_STATUS_NOT_DOWN;
    }
    CACHE_CLEAN_NOTIFY WaitClean() {
        EXPECT_TRUE(receiver.WaitFor(QCEventBase::CacheClean, kLongMs));
        CACHE_CLEAN_NOTIFY clean;
        for (const RecordedEvent& e : receiver.Take())
            clean = e.type == QCEventBase::CacheClean ? e.clean : clean;
        return clean;
    }
    void Hold(const char* method) {
        FaultRule hold;
        hold.path = "/intf.php";
        hold.apiMethod = method;
        hold.fault.kind = FaultKind::Hold;
        standIn.addFault(hold);
    }
    // The upload of a new file, held by the stand-in at its first step.
    void HoldAnUpload() {
        Hold("Sync.getAddr");
        ASSERT_TRUE(Write(mirror + QStringLiteral("/proj/sub/u.txt"), "made here"));
        ASSERT_TRUE(WaitUntil([&] { return standIn.heldCount() >= 1; }, 1000));
    }
    // A new version of d.bin on its way in, its blocks held.
    void HoldADownload() {
        Hold(StandInDownloads::kBlockMethod);
        const std::string bytes = BigBytes('e');
        ASSERT_TRUE(api->tree().editFileBytes("/proj/d.bin", bytes, kStandInTime + 10));
        FILE_INFO record;
        record.path = QStringLiteral("/proj/d.bin");
        record.size = bytes.size();
        record.file_hash = QString::fromStdString(StandInTree::ContentHash(bytes));
        record.mtime = kStandInTime + 10;
        record.local_path = mirror + record.path;
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
            ASSERT_TRUE(g_LocalStoreMgr.AddDownloadTask(record));
            g_LocalStoreMgr.ExecDownloadTask();
        });
        ASSERT_TRUE(WaitUntil([&] { return FilesBelow(g_LocalStoreMgr.GetDropPath()) == 1; }));
    }

    QString mirror;
};

TEST_F(CacheCleanTest, EveryFileInStepGoesAndTheFoldersAboveStay) {
    const QString priv = g_LocalStoreMgr.GetPrivateRoot();
    ASSERT_TRUE(QDir().mkpath(priv + QStringLiteral("/trash/20260101-000000/proj")));
    ASSERT_TRUE(Write(priv + QStringLiteral("/trash/20260101-000000/proj/old.txt"), "recycled"));
    ASSERT_TRUE(QDir().mkpath(g_LocalStoreMgr.GetBlockPath()));
    ASSERT_TRUE(Write(g_LocalStoreMgr.GetBlockPath() + QStringLiteral("/blk"), "block"));
    ASSERT_TRUE(Write(g_LocalStoreMgr.GetDropPath() + QStringLiteral("/left_1.tmp"), "stale"));

    ASSERT_TRUE(VUZeroz::GetInstance()->Request(REQUEST_CACHE_CLEAN));
    const CACHE_CLEAN_NOTIFY clean = WaitClean();
    quint64 bytes = 0;
    for (const auto& file : Cloud()) {
        bytes += file.second.size();
        EXPECT_TRUE(Gone(file.first)) << file.first;
    }
    EXPECT_EQ(clean.cleaned_files, Cloud().size());
    EXPECT_EQ(clean.cleaned_bytes, bytes);
    EXPECT_EQ(clean.kept_files, 0u);
    EXPECT_FALSE(QFileInfo::exists(mirror + QStringLiteral("/proj")));
    EXPECT_TRUE(QFileInfo(mirror).isDir());
    EXPECT_TRUE(QFileInfo(priv).isDir());
    EXPECT_TRUE(QFileInfo(QFileInfo(mirror).path()).isDir());
    EXPECT_EQ(FilesBelow(priv), 0);

    // The removals are the engine's own: none reaches the service. A file made afterwards is
    // reported after them.
    ASSERT_TRUE(Write(mirror + QStringLiteral("/after.txt"), "new"));
    ASSERT_TRUE(WaitUntil([&] { return Status("/after.txt") != 0; }));
    Pass();
    EXPECT_EQ(Status("/proj/a.txt"), quint32(FILE_STATUS_NOT_DOWN));
    EXPECT_TRUE(api->calls("File.recycle").empty());
    for (const auto& file : Cloud())
        EXPECT_TRUE(api->tree().node(file.first, false)) << file.first;
}

TEST_F(CacheCleanTest, WorkInProgressAndFilesChangedAtTheLastMomentStay) {
    HoldAnUpload();
    ASSERT_TRUE(Write(mirror + QStringLiteral("/proj/m.txt"), "edited here"));
    HoldADownload();
    const QString temp = QDir(g_LocalStoreMgr.GetDropPath()).entryList(QDir::Files).value(0);
    const QString late = mirror + QStringLiteral("/proj/sub/c.txt");
    g_LocalStoreMgr.SetBeforeReplaceHookForTests([&](const QString& path) {
        if (path == late)
            Write(late, "changed at the last moment");
    });

    ASSERT_TRUE(VUZeroz::GetInstance()->Request(REQUEST_CACHE_CLEAN));
    const CACHE_CLEAN_NOTIFY clean = WaitClean();
    g_LocalStoreMgr.SetBeforeReplaceHookForTests(nullptr);
    EXPECT_EQ(clean.cleaned_files, 2u);
    EXPECT_EQ(clean.cleaned_bytes, Cloud().at("/proj/a.txt").size() + Cloud().at("/proj/sub/b.bin").size());
    EXPECT_TRUE(Gone("/proj/a.txt"));
    EXPECT_TRUE(Gone("/proj/sub/b.bin"));
    for (const char* kept : {"/proj/m.txt", "/proj/sub/u.txt", "/proj/sub/c.txt", "/proj/d.bin"})
        EXPECT_TRUE(QFile::exists(mirror + QString::fromUtf8(kept))) << kept;
    EXPECT_TRUE(QFile::exists(g_LocalStoreMgr.GetDropPath() + QLatin1Char('/') + temp));
    EXPECT_TRUE(g_LocalStoreMgr.IsFileDownloading(QStringLiteral("/proj/d.bin")));
}

// Uninit(true) while an upload and a download run: the clean is the engine thread's last work,
// after the transfers ended, so the download's temporary file goes too.
TEST_F(CacheCleanTest, UninitCleansOnTheEngineThreadAfterTheTransfersEnded) {
    HoldAnUpload();
    HoldADownload();
    const QString priv = g_LocalStoreMgr.GetPrivateRoot();
    DebugCapture debug;
    ASSERT_TRUE(VUZeroz::GetInstance()->Uninit(true));
    const CACHE_CLEAN_NOTIFY clean = WaitClean();
    EXPECT_GE(clean.cleaned_files, 4u);
    for (const char* gone : {"/proj/a.txt", "/proj/m.txt", "/proj/sub/b.bin", "/proj/sub/c.txt"})
        EXPECT_FALSE(QFile::exists(mirror + QString::fromUtf8(gone))) << gone;
    EXPECT_TRUE(QFile::exists(mirror + QStringLiteral("/proj/sub/u.txt")));
    EXPECT_EQ(FilesBelow(priv), 0);
    const QStringList lines = debug.lines(QStringLiteral("[CacheClean] total"));
    EXPECT_EQ(lines.size(), 1);
}

} // namespace
