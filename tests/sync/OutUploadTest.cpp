// Uploads of files from outside the mirror folder through the facade: a read-only source goes up
// and later serves a download as a local copy; a cancel keeps a synced mirror file; and, with the
// core in its own process (coredrv), SIGKILL in the middle of an upload or right after a cancel.
#include "support/DriverTestSupport.h"
#include "support/EngineTestSupport.h"

#include "support/CoreDriverProcess.h"
#include "support/DebugCapture.h"
#include "support/StandInDownloads.h"
#include "support/Unprivileged.h"

#include "common/Hash.h"
#include "common/PathUtils.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/QCOutUploadList.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

constexpr int kLongMs = 120000;
constexpr unsigned kSourceTime = kStandInTime + 300;
const QString kCloud = QStringLiteral("/x/big.iso");

// Ten full blocks (5 MiB), each its own.
std::string FiveMiB(char seed) {
    std::string bytes;
    for (int block = 0; block < 10; ++block)
        for (int i = 0; i < int(CLOUD_BLOCK_SIZE); ++i)
            bytes += char(block * 11 + seed + i % 239);
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `bytes` to `path` (made writable first) with the modification time `mtime`.
void WriteFile(const QString& path, const std::string& bytes, unsigned mtime) {
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(file.errorString());
    file.write(bytes.data(), qint64(bytes.size()));
    file.close();
    ASSERT_TRUE(MyChangeFileTime(path, mtime, mtime));
}

// The entries "out.dat" in `folder` holds now.
size_t SavedEntries(const QString& folder) {
    QCOutUploadList saved;
    saved.Load(QDir(folder).filePath(QStringLiteral("out.dat")));
    return saved.Pending().size();
}

bool Holds(StandInApi& api, const QString& path, const std::string& bytes) {
    const auto node = api.tree().node(path.toStdString());
    return node && node->hasBytes && node->bytes == bytes;
}

class OutUploadTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(outside.isValid());
        AddAccount();
        ServeTree();
        api->tree().addFolder("/x");
    }
    void TearDown() override {
        api->uploads().releaseHeld();
        EngineTest::TearDown();
    }
    // Logs in and runs the engine until its first pass over the tree has ended.
    void Ready() {
        LogIn();
        ASSERT_TRUE(WaitStatus(4, kLongMs));
        ASSERT_TRUE(
            WaitUntil([] { return g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK; }, 1000, kLongMs));
        mirror = g_LocalStoreMgr.GetRootPath();
    }
    bool CloudHolds(const QString& path, const std::string& bytes) { return Holds(*api, path, bytes); }
    quint32 Indexed(const QString& path) {
        FileInfo info;
        return g_LocalStoreMgr.Cache().GetBaseInfo(path, info) ? info.status : 0;
    }
    size_t Calls(const char* method) { return api->calls(method).size(); }

    QTemporaryDir outside;
    QString mirror;
};

TEST_F(OutUploadTest, AReadOnlySourceGoesUpAndThenServesALocalCopy) {
    RUN_UNPRIVILEGED_IF_ROOT();
    const std::string bytes = FiveMiB('a');
    const QString folder = outside.filePath(QStringLiteral("src"));
    const QString source = folder + QStringLiteral("/big.iso");
    ASSERT_TRUE(QDir().mkpath(folder));
    WriteFile(source, bytes, kSourceTime);
    ASSERT_TRUE(QFile::setPermissions(source, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ReadOther));
    const auto readOnlyFolder = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(folder, readOnlyFolder));
    Ready();

    ASSERT_TRUE(VUZeroz::GetInstance()->Upload(kCloud, source));
    EXPECT_EQ(SavedEntries(UserFolder()), 1u); // on disk when Upload returned
    ASSERT_TRUE(WaitUntil([&] { return CloudHolds(kCloud, bytes); }, 1000, kLongMs));
    ASSERT_TRUE(WaitUntil([] { return g_LocalStoreMgr.OutUploads().Pending().empty(); }, 1000, kLongMs));
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("big.iso")});
    EXPECT_TRUE(ReadAll(source) == QByteArray::fromStdString(bytes));
    EXPECT_EQ(QFileInfo(source).lastModified().toSecsSinceEpoch(), qint64(kSourceTime));
    EXPECT_FALSE(QFileInfo::exists(mirror + kCloud));
    EXPECT_EQ(Indexed(mirror + kCloud), quint32(FILE_STATUS_NOT_DOWN));

    // The download to a folder of the user's choice copies the source: no block is fetched.
    const struct {
        const char* folder;
        bool sourceChanged;
    } cases[] = {{"dl", false}, {"dl2", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        DebugCapture debug;
        if (c.sourceChanged) { // other bytes, the same size and time: the hash check catches it
            ASSERT_TRUE(QFile::setPermissions(folder, readOnlyFolder | QFileDevice::WriteOwner));
            WriteFile(source, FiveMiB('b'), kSourceTime);
        }
        const QString target = outside.filePath(QString::fromLatin1(c.folder));
        ASSERT_TRUE(QDir().mkpath(target));
        const size_t info = Calls("Sync.getDownloadInfo");
        const size_t meta = Calls("Download.getMetaInfo");
        const size_t blocks = Calls(StandInDownloads::kBlockMethod);
        ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(kCloud, target));
        const QString copy = target + QStringLiteral("/big.iso");
        ASSERT_TRUE(
            WaitUntil([&] { return ReadAll(copy) == QByteArray::fromStdString(bytes); }, 1000, kLongMs))
            << qPrintable(debug.lines(QString()).join(QLatin1Char('\n')));
        EXPECT_EQ(Calls("Sync.getDownloadInfo") - info, 1u);
        EXPECT_EQ(Calls("Download.getMetaInfo") - meta, c.sourceChanged ? 1u : 0u);
        EXPECT_EQ(Calls(StandInDownloads::kBlockMethod) - blocks, c.sourceChanged ? 10u : 0u);
        if (HasFailure())
            std::fprintf(stderr, "%s\n", qPrintable(debug.lines(QString()).join(QLatin1Char('\n'))));
        // The task records its copy as a source before it ends: the next case changes the source
        // only after that.
        ASSERT_TRUE(WaitUntil([] { return !g_LocalStoreMgr.IsFileDownloading(kCloud); }, 1000, kLongMs));
    }
}

TEST_F(OutUploadTest, ACancelOntoASyncedFileKeepsItSynced) {
    const std::string old = FiveMiB('c');
    api->tree().addFileBytes("/x/y.bin", old, kStandInTime);
    const QString file = root + QStringLiteral("/E1/x/y.bin");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    WriteFile(file, old, kStandInTime);
    Ready();
    ASSERT_EQ(Indexed(file), quint32(FILE_STATUS_SYNCED));
    const QString source = outside.filePath(QStringLiteral("y.bin"));
    WriteFile(source, FiveMiB('d'), kSourceTime);

    api->uploads().hold("Upload.block", -1);
    ASSERT_TRUE(VUZeroz::GetInstance()->Upload(QStringLiteral("/x/y.bin"), source));
    ASSERT_TRUE(WaitUntil([&] { return api->uploads().waitForHeld(1, 20); }, 1000, kLongMs));
    ASSERT_TRUE(VUZeroz::GetInstance()->UploadCancel(QStringLiteral("/x/y.bin")));
    EXPECT_EQ(SavedEntries(UserFolder()), 0u);
    ASSERT_TRUE(
        WaitUntil([&] { return g_LocalStoreMgr.UploadCount() == 0 && Indexed(file) == FILE_STATUS_SYNCED; },
                  1000, kLongMs));
    EXPECT_TRUE(ReadAll(file) == QByteArray::fromStdString(old));
    EXPECT_EQ(QFileInfo(file).lastModified().toSecsSinceEpoch(), qint64(kStandInTime));
    EXPECT_TRUE(CloudHolds(QStringLiteral("/x/y.bin"), old));
    EXPECT_TRUE(g_LocalStoreMgr.OutUploads().Pending().empty());
}

TEST_F(OutUploadTest, ACancelMovesOnlyTheCopyOfAnExistingSourceAside) {
    Ready();
    const QString source = outside.filePath(QStringLiteral("z.bin"));
    WriteFile(source, FiveMiB('e'), kSourceTime);
    const QString copy = mirror + QStringLiteral("/x/z.bin");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(copy).absolutePath()));
    WriteFile(copy, FiveMiB('e'), kSourceTime); // as a local copy of the source leaves it
    api->uploads().hold("Upload.block", -1);
    ASSERT_TRUE(VUZeroz::GetInstance()->Upload(QStringLiteral("/x/z.bin"), source));
    ASSERT_TRUE(WaitUntil([&] { return api->uploads().waitForHeld(1, 20); }, 1000, kLongMs));
    ASSERT_TRUE(VUZeroz::GetInstance()->UploadCancel(QStringLiteral("/x/z.bin")));
    EXPECT_FALSE(QFileInfo::exists(copy));
    QDirIterator trash(g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash"), {QStringLiteral("z.bin")},
                       QDir::Files, QDirIterator::Subdirectories);
    ASSERT_TRUE(trash.hasNext());
    EXPECT_TRUE(ReadAll(trash.next()) == QByteArray::fromStdString(FiveMiB('e')));
    ASSERT_TRUE(
        WaitUntil([&] { return g_LocalStoreMgr.UploadCount() == 0 && Indexed(copy) == 0; }, 1000, kLongMs));
    EXPECT_FALSE(api->tree().node("/x/z.bin"));
}

// --- SIGKILL of the core (coredrv) ------------------------------------------------------------

enum class Kill { AfterFourthBlock, RightAfterUpload, AfterCancel };

struct KillCase {
    const char* name;
    Kill kill;
};

class OutUploadKillTest : public DriverTest, public ::testing::WithParamInterface<KillCase> {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        api.tree().addFolder("/x");
        source = QDir(work.path()).filePath(QStringLiteral("big.iso"));
        WriteFile(source, bytes, kSourceTime);
    }
    // The result of the driver's next reply to `name` (events may follow it at once).
    static QJsonValue Result(CoreDriverProcess& driver, const char* name) {
        const QJsonObject line = WaitForResult(driver, name);
        EXPECT_FALSE(line.isEmpty()) << name << qPrintable(driver.Output());
        return line.value(QStringLiteral("result"));
    }
    // Logs in with the mirror and waits for the check of the cloud (as DownloadKillTest does).
    void LogIn(CoreDriverProcess& driver) {
        LogInDriver(driver, home.path(), work.path(), mirror, 4);
    }
    bool WaitFor(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            standIn.waitForRequests(standIn.requestCount() + 1, 50);
        }
        return true;
    }

    const std::string bytes = FiveMiB('k');
    QString source;
};

TEST_P(OutUploadKillTest, ARestartFinishesWhatWasAskedAndNothingElse) {
    const Kill kill = GetParam().kill;
    if (kill == Kill::AfterFourthBlock) // four blocks go, the fifth waits until the kill
        standIn.addFault(
            FaultRule{"/intf.php", "Upload.block", true, Listener::Primary, 5, -1, Fault{FaultKind::Hold}});
    if (kill == Kill::AfterCancel)
        api.uploads().hold("Upload.block", -1);
    {
        CoreDriverProcess first;
        LogIn(first);
        first.Send(QStringLiteral("OutUpload ") + kCloud + QLatin1Char(' ') + source);
        ASSERT_TRUE(Result(first, "OutUpload").toBool());
        if (kill == Kill::AfterFourthBlock) {
            ASSERT_TRUE(WaitFor([&] {
                const auto session = api.uploads().latestSession(kCloud.toStdString());
                return session && session->received == 4 && standIn.heldCount() >= 1;
            })) << qPrintable(first.Output());
        } else if (kill == Kill::AfterCancel) {
            ASSERT_TRUE(WaitFor([&] { return standIn.heldCount() >= 1; })) << qPrintable(first.Output());
            first.Send(QStringLiteral("UploadCancel ") + kCloud);
            ASSERT_TRUE(Result(first, "UploadCancel").toBool());
        }
        first.Kill();
    }
    standIn.clearFaults();
    standIn.releaseHeld();
    const size_t addresses = api.calls("Sync.getAddr").size();

    CoreDriverProcess second;
    LogIn(second);
    if (kill == Kill::AfterCancel) {
        second.Send(QStringLiteral("wait 2205 status=6 60000")); // the pass over the tree ended
        ASSERT_EQ(Result(second, "wait").toString(), QStringLiteral("ok")) << qPrintable(second.Output());
        EXPECT_EQ(api.calls("Sync.getAddr").size(), addresses);
        EXPECT_FALSE(api.tree().node(kCloud.toStdString()));
    } else {
        ASSERT_TRUE(WaitFor([&] { return Holds(api, kCloud, bytes); })) << qPrintable(second.Output());
    }
    EXPECT_FALSE(QFileInfo::exists(QDir(mirror).filePath(QStringLiteral("E1/x/big.iso"))));
    second.Send(QStringLiteral("Uninit 0"));
    EXPECT_TRUE(second.WaitForExit(kLongMs)) << qPrintable(second.Output());
}

INSTANTIATE_TEST_SUITE_P(, OutUploadKillTest,
                         ::testing::Values(KillCase{"AfterTheFourthBlock", Kill::AfterFourthBlock},
                                           KillCase{"RightAfterUploadReturns", Kill::RightAfterUpload},
                                           KillCase{"AfterACancel", Kill::AfterCancel}),
                         [](const ::testing::TestParamInfo<KillCase>& info) { return info.param.name; });

} // namespace
