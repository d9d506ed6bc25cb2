// The block download through the engine against the stand-in: a synced file changed in the cloud
// is fetched in blocks (plain, or encrypted and compressed), checked, and put in place with the
// cloud's time; a block that fails its check leaves the old file and its row, and the next cycle
// fetches it again.
#include "support/EngineTestSupport.h"

#include "support/StandInDownloads.h"
#include "support/Unprivileged.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "Transfer/QCDownloadFile.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

#include <utime.h>

namespace {

constexpr int kLongMs = 180000;
constexpr unsigned kNewTime = kStandInTime + 500;

// Three full blocks and a tail, the first two alike, so that replies are matched to their offset.
std::string Bytes(char seed) {
    std::string bytes;
    for (int block = 0; block < 3; ++block)
        for (int i = 0; i < int(CLOUD_BLOCK_SIZE); ++i)
            bytes += char((block == 1 ? 0 : block) * 7 + seed + i % 251);
    return bytes + std::string(17, seed);
}


std::string Param(const RecordedRequest& request, const char* name) {
    for (const auto& pair : request.queryArgs)
        if (pair.first == name)
            return pair.second;
    return request.cookie(name);
}

struct Case {
    const char* name;
    bool encrypt;
    bool compress;
};

class DownloadFixture : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
    }
    void Encrypt(bool on) {
        std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
        g_Config.trans_encrypt = on ? 1 : 0;
    }
    void TearDown() override {
        {
            std::unique_lock<std::shared_mutex> lock(g_Config.settingsLock);
            g_Config.trans_encrypt = 0;
        }
        EngineTest::TearDown();
    }

    // /big.bin synced with `oldBytes`, then changed in the cloud to `newBytes`.
    void SyncedThenChanged(const std::string& oldBytes, const std::string& newBytes, bool compress = false) {
        api->downloads().setCompress(compress);
        api->tree().addFileBytes("/big.bin", oldBytes, kStandInTime);
        const QString path = root + QStringLiteral("/E1/big.bin");
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(oldBytes.data(), qint64(oldBytes.size()));
        file.close();
        utimbuf times{time_t(kStandInTime), time_t(kStandInTime)};
        ASSERT_EQ(::utime(QFile::encodeName(path).constData(), &times), 0);
        LogIn();
        ASSERT_TRUE(WaitStatus(4, kLongMs));
        target = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/big.bin");
        ASSERT_EQ(target, path);
        ASSERT_TRUE(api->tree().editFileBytes("/big.bin", newBytes, kNewTime));
    }
    // A refresh, and the end of the download phase it leads to.
    void Cycle() {
        SetStatus(LOCAL_STATUS_OK);
        receiver.Take();
        VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
        ASSERT_TRUE(WaitStatus(4, kLongMs));
        Pass();
        ASSERT_TRUE(WaitStatus(5, kLongMs));
    }
    // Waits, a turn of the engine per look, until the index shows the file in `status`.
    // `stepMs` moves the core's clock on at each look, for retry pauses.
    bool WaitIndexed(FILE_STATUS status, qint64 stepMs = 0) {
        return WaitUntil([&] { return Indexed() == quint32(status); }, stepMs);
    }
    FileInfo IndexEntry() {
        FileInfo info;
        EXPECT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(target, info));
        return info;
    }
    size_t BlockCalls(const std::string& hash = std::string()) const {
        size_t count = 0;
        for (const RecordedRequest& block : api->calls(StandInDownloads::kBlockMethod))
            count += hash.empty() || Param(block, "bhash") == hash ? 1 : 0;
        return count;
    }
    QByteArray Local() const {
        QFile file(target);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    FILE_INFO Row() const {
        FILE_INFO row;
        EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/big.bin"), row));
        return row;
    }
    quint32 Indexed() {
        FileInfo info;
        EXPECT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(target, info));
        return info.status;
    }

    QString target;
};

class DownloadTest : public DownloadFixture, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        Encrypt(GetParam().encrypt);
    }
};

TEST_P(DownloadTest, AChangedFileArrivesWholeWithTheCloudsTime) {
    const std::string before = Bytes('a');
    const std::string after = Bytes('b');
    SyncedThenChanged(before, after, GetParam().compress);
    Cycle();

    EXPECT_TRUE(Local() == QByteArray::fromStdString(after));
    EXPECT_EQ(QFileInfo(target).lastModified().toSecsSinceEpoch(), qint64(kNewTime));
    EXPECT_EQ(Indexed(), quint32(FILE_STATUS_SYNCED));
    const FILE_INFO row = Row();
    EXPECT_EQ(row.mtime, kNewTime);
    EXPECT_EQ(row.file_hash.toStdString(), StandInTree::ContentHash(after));
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 1u);
    EXPECT_EQ(api->calls("Download.getMetaInfo").size(), 1u);
    const auto blocks = api->calls(StandInDownloads::kBlockMethod);
    // The second block equals the first: it travels too unless the first was in by the time it
    // was due, when it is copied from the temporary file.
    ASSERT_TRUE(blocks.size() == 3u || blocks.size() == 4u) << blocks.size();
    for (const RecordedRequest& block : blocks) {
        EXPECT_EQ(Param(block, "encrypt"), GetParam().encrypt ? "2" : "");
        const bool tail = Param(block, "bhash") == api->downloads().blockHashes("/big.bin").back();
        EXPECT_EQ(Param(block, "compress"), GetParam().compress && !tail ? "1" : "");
    }
    EXPECT_TRUE(QDir(g_LocalStoreMgr.GetDropPath()).entryList(QDir::Files).isEmpty());
}

TEST_P(DownloadTest, AFlippedBlockLeavesTheOldFileAndIsFetchedAgain) {
    const std::string before = Bytes('c');
    const std::string after = Bytes('d');
    SyncedThenChanged(before, after, GetParam().compress);
    ASSERT_TRUE(api->downloads().flipByte("/big.bin", 3, 1));
    const FILE_INFO old = Row();
    SetStatus(LOCAL_STATUS_OK);
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(WaitIndexed(FILE_STATUS_ERR));
    EXPECT_TRUE(Local() == QByteArray::fromStdString(before));
    EXPECT_EQ(Row().file_hash, old.file_hash);

    // The cloud has not changed since: only a whole comparison asks for the file again.
    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    ASSERT_TRUE(g_LocalStoreMgr.CompareAllForTests());
    ASSERT_TRUE(WaitIndexed(FILE_STATUS_SYNCED));
    EXPECT_TRUE(Local() == QByteArray::fromStdString(after));
    EXPECT_EQ(Indexed(), quint32(FILE_STATUS_SYNCED));
    const std::string third = api->downloads().blockHashes("/big.bin")[2];
    size_t fetched = 0;
    for (const RecordedRequest& block : api->calls(StandInDownloads::kBlockMethod))
        fetched += Param(block, "bhash") == third ? 1 : 0;
    EXPECT_EQ(fetched, 2u);
}

INSTANTIATE_TEST_SUITE_P(Encodings, DownloadTest,
                         ::testing::Values(Case{"Plain", false, false},
                                           Case{"EncryptedCompressed", true, true}),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// Faults of the service while /big.bin downloads: the old file and its row stay unless the
// download could complete.
const std::string kBig = "/big.bin";

struct ServiceFault {
    const char* name;
    std::function<void(StandInDownloads&)> inject;
    int type;           // 0: completes
    int code;           // -1: whatever the transport said
    qint64 clockStepMs; // retries pause on the core's clock
    bool readOnlyDrop;
    size_t metaCalls;
    size_t secondBlockCalls; // at least
};

void PrintTo(const ServiceFault& fault, std::ostream* os) {
    *os << fault.name;
}

class DownloadFaultTest : public DownloadFixture, public ::testing::WithParamInterface<ServiceFault> {};

TEST_P(DownloadFaultTest, EndsWithItsKindAndKeepsTheOldFile) {
    if (GetParam().readOnlyDrop) {
        RUN_UNPRIVILEGED_IF_ROOT();
    }
    const std::string before = BigBytes('e');
    const std::string after = BigBytes('f');
    SyncedThenChanged(before, after);
    GetParam().inject(api->downloads());
    const QString drop = g_LocalStoreMgr.GetDropPath();
    if (GetParam().readOnlyDrop) {
        ASSERT_TRUE(QDir().mkpath(drop));
        ASSERT_TRUE(QFile::setPermissions(drop, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    const FILE_INFO old = Row();
    SetStatus(LOCAL_STATUS_OK);
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    const bool completes = GetParam().type == 0;
    const QString fresh = QString::fromStdString(StandInTree::ContentHash(after));
    ASSERT_TRUE(completes ? WaitUntil([&] { return Row().file_hash == fresh; }, GetParam().clockStepMs)
                          : WaitIndexed(FILE_STATUS_ERR, GetParam().clockStepMs));
    QFile::setPermissions(drop, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    EXPECT_TRUE(Local() == QByteArray::fromStdString(completes ? after : before));
    EXPECT_EQ(Row().file_hash, completes ? fresh : old.file_hash);
    const FileInfo entry = IndexEntry();
    EXPECT_EQ(entry.error_type, GetParam().type);
    if (GetParam().code >= 0) {
        EXPECT_EQ(entry.error_code, GetParam().code);
    }
    EXPECT_EQ(api->calls("Download.getMetaInfo").size(), GetParam().metaCalls);
    const std::vector<std::string> hashes = api->downloads().blockHashes(kBig);
    EXPECT_GE(BlockCalls(hashes.size() > 1 ? hashes[1] : std::string()), GetParam().secondBlockCalls);
    EXPECT_EQ(g_LocalStoreMgr.DownloadCount(), 0u); // nothing left running
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFaultTest,
    ::testing::Values(ServiceFault{"FlippedByte", [](StandInDownloads& d) { d.flipByte(kBig, 3); },
                                   SYNC_ERROR::ServerData, 0, 0, false, 1, 0},
                      ServiceFault{"Refused",
                                   [](StandInDownloads& d) { d.refuseBlock(kBig, 2, 3008, "no block"); },
                                   SYNC_ERROR::Logic, 3008, 0, false, 1, 1},
                      ServiceFault{"ResetTwice", [](StandInDownloads& d) { d.resetBlock(kBig, 2, 2); }, 0, 0,
                                   500, false, 1, 3},
                      ServiceFault{"AlwaysReset", [](StandInDownloads& d) { d.resetBlock(kBig, 2); },
                                   SYNC_ERROR::Network, -1, 500, false, 1, 4},
                      ServiceFault{"EmptyBlockList", [](StandInDownloads& d) { d.emptyBlockList(3); },
                                   SYNC_ERROR::ServerProtocol, 0, 0, false, 3, 0},
                      // Each listed block matches its hash, but together they are other content.
                      ServiceFault{"SwappedBlockList", [](StandInDownloads& d) { d.swapListedBlocks(1); },
                                   SYNC_ERROR::ServerData, 0, 0, false, 1, 0},
                      ServiceFault{"ReadOnlyDrop", [](StandInDownloads&) {}, SYNC_ERROR::DiskWrite,
                                   int(QFileDevice::OpenError), 0, true, 0, 0}),
    [](const ::testing::TestParamInfo<ServiceFault>& info) { return info.param.name; });

// Downloads queued directly to a target (the manual download's way in), into the mirror or out.
class DownloadPlaceTest : public DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        api->tree().addFileBytes("/big.bin", BigBytes('g'), kStandInTime);
    }
    void Start() {
        LogIn();
        ASSERT_TRUE(WaitStatus(4, kLongMs));
        target = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/big.bin");
    }
    // Queues `cloudPath` (holding `bytes`) for `localPath` and waits until the queue is empty.
    void Fetch(const std::string& cloudPath, const std::string& bytes, const QString& localPath) {
        FILE_INFO record;
        record.path = QString::fromStdString(cloudPath);
        record.size = bytes.size();
        record.file_hash = QString::fromStdString(StandInTree::ContentHash(bytes));
        record.mtime = kStandInTime;
        record.local_path = localPath;
        bool added = false;
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
            added = g_LocalStoreMgr.AddDownloadTask(record);
        });
        ASSERT_TRUE(added);
        ASSERT_TRUE(WaitUntil([] { return g_LocalStoreMgr.DownloadCount() == 0; }));
    }
    static QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static void Write(const QString& path, const std::string& bytes) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
        file.write(bytes.data(), qint64(bytes.size()));
    }
};

TEST_F(DownloadPlaceTest, EncryptedBlocksThenACopyTakesTheSharedBlocksFromDisk) {
    Encrypt(true);
    const std::string big = BigBytes('g');
    Start();
    Fetch("/big.bin", big, target);
    EXPECT_TRUE(Read(target) == QByteArray::fromStdString(big));
    EXPECT_EQ(QFileInfo(target).lastModified().toSecsSinceEpoch(), qint64(kStandInTime));
    EXPECT_EQ(api->calls("Sync.getDownloadInfo").size(), 1u);
    EXPECT_EQ(api->calls("Download.getMetaInfo").size(), 1u);
    const auto blocks = api->calls(StandInDownloads::kBlockMethod);
    ASSERT_EQ(blocks.size(), 7u);
    for (const RecordedRequest& block : blocks) {
        EXPECT_EQ(Param(block, "encrypt"), "2");
        const bool tail = Param(block, "bhash") == api->downloads().blockHashes(kBig).back();
        EXPECT_EQ(Param(block, "compress"), tail ? "" : "1");
    }
    EXPECT_TRUE(QDir(g_LocalStoreMgr.GetDropPath()).entryList(QDir::Files).isEmpty());

    // Four full blocks of /big.bin, then two of its own and a tail: only those three travel.
    const std::string copy =
        big.substr(0, 4 * CLOUD_BLOCK_SIZE) + BigBytes('h').substr(0, 2 * CLOUD_BLOCK_SIZE + 5);
    api->tree().addFileBytes("/copy.bin", copy, kStandInTime);
    const QString copyTarget = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/copy.bin");
    Fetch("/copy.bin", copy, copyTarget);
    EXPECT_TRUE(Read(copyTarget) == QByteArray::fromStdString(copy));
    EXPECT_EQ(BlockCalls(), 10u);

    // Four identical full blocks and a tail: each offset gets its bytes.
    const std::string same = big.substr(0, CLOUD_BLOCK_SIZE);
    const std::string repeated = same + same + same + same + "tail";
    api->tree().addFileBytes("/same.bin", repeated, kStandInTime);
    const QString sameTarget = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/same.bin");
    Fetch("/same.bin", repeated, sameTarget);
    EXPECT_TRUE(Read(sameTarget) == QByteArray::fromStdString(repeated));
}

// A file of the mirror with the same content is copied instead of fetched; when it no longer
// holds that content (same size and time), the download goes on, and only the block that
// differs and the tail (never taken from disk) travel.
class DownloadLocalCopyTest : public DownloadPlaceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DownloadLocalCopyTest, ASameContentFileIsCopiedWhileItHoldsIt) {
    const bool tampered = GetParam();
    const std::string big = BigBytes('g');
    Start();
    Fetch("/big.bin", big, target);
    const size_t metaBefore = api->calls("Download.getMetaInfo").size();
    const size_t blocksBefore = BlockCalls();
    if (tampered) {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(CLOUD_BLOCK_SIZE + 5);
        file.write("#");
        file.close();
        ASSERT_TRUE(MyChangeFileTime(target, kStandInTime, kStandInTime));
    }
    api->tree().addFileBytes("/twin.bin", big, kNewTime);
    const QString twin = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/twin.bin");
    Fetch("/twin.bin", big, twin);
    EXPECT_TRUE(Read(twin) == QByteArray::fromStdString(big));
    EXPECT_EQ(QFileInfo(twin).lastModified().toSecsSinceEpoch(), qint64(kNewTime));
    EXPECT_EQ(api->calls("Download.getMetaInfo").size() - metaBefore, tampered ? 1u : 0u);
    EXPECT_EQ(BlockCalls() - blocksBefore, tampered ? 2u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Source, DownloadLocalCopyTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ChangedSinceItsSync" : "Unchanged";
                         });

// A download to a folder of the user's choice records the file as its cloud path's source: a
// second download of the path elsewhere copies it; once its bytes changed (size and time kept),
// the copy fails its check, the entry goes, and only the changed block and the tail travel.
TEST_P(DownloadLocalCopyTest, AnOutsideDownloadIsTheNextOnesSource) {
    const bool tampered = GetParam();
    Start();
    const std::string far = BigBytes('r');
    api->tree().addFileBytes("/far.bin", far, kStandInTime);
    const QString first = QDir(sandbox.home.path()).filePath(QStringLiteral("one/far.bin"));
    const QString second = QDir(sandbox.home.path()).filePath(QStringLiteral("two/far.bin"));
    Fetch("/far.bin", far, first);
    ASSERT_TRUE(Read(first) == QByteArray::fromStdString(far));
    const size_t blocksBefore = BlockCalls();
    if (tampered) {
        QFile file(first);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(CLOUD_BLOCK_SIZE + 5);
        file.write("#");
        file.close();
        ASSERT_TRUE(MyChangeFileTime(first, kStandInTime, kStandInTime));
    }
    Fetch("/far.bin", far, second);
    EXPECT_TRUE(Read(second) == QByteArray::fromStdString(far));
    EXPECT_EQ(BlockCalls() - blocksBefore, tampered ? 2u : 0u);
    EXPECT_EQ(
        g_LocalStoreMgr.CopySources().MatchSource(QStringLiteral("/FAR.bin"), kStandInTime, 0, far.size()),
        tampered ? second : first);
}

TEST_F(DownloadPlaceTest, AnOutsideTargetHoldingTheContentStaysWithoutATransfer) {
    Start();
    const std::string held = BigBytes('s');
    api->tree().addFileBytes("/held.bin", held, kStandInTime);
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("keep/held.bin"));
    Write(outside, held);
    const size_t blocksBefore = BlockCalls();
    Fetch("/held.bin", held, outside);
    EXPECT_EQ(BlockCalls(), blocksBefore);
    EXPECT_EQ(QFileInfo(outside).lastModified().toSecsSinceEpoch(), qint64(kStandInTime));
    EXPECT_EQ(QDir(QFileInfo(outside).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    EXPECT_EQ(
        g_LocalStoreMgr.CopySources().MatchSource(QStringLiteral("/held.bin"), kStandInTime, 0, held.size()),
        outside);
}

TEST_F(DownloadPlaceTest, OutsideTargetWithOtherContentStaysAndTheFileLandsBeside) {
    Start();
    const QString outside = QDir(sandbox.home.path()).filePath(QStringLiteral("out/x.ext"));
    Write(outside, "mine");
    Fetch("/big.bin", BigBytes('g'), outside);
    EXPECT_EQ(Read(outside), QByteArray("mine"));
    const QString beside = QDir(sandbox.home.path()).filePath(QStringLiteral("out/x (1).ext"));
    EXPECT_TRUE(Read(beside) == QByteArray::fromStdString(BigBytes('g')));
    EXPECT_FALSE(QFileInfo::exists(outside + QStringLiteral(".draveltmp")));
}

// Local content the journal does not know is kept as a conflict copy before an empty version
// takes its place.
TEST_F(DownloadPlaceTest, AnEmptyVersionKeepsOtherLocalContentAsAConflictCopy) {
    api->tree().addFileBytes("/empty.bin", std::string(), kStandInTime);
    Start();
    const QString local = g_LocalStoreMgr.GetRootPath() + QStringLiteral("/empty.bin");
    Write(local, "mine");
    Fetch("/empty.bin", std::string(), local);
    EXPECT_TRUE(QFileInfo(local).isFile());
    EXPECT_EQ(QFileInfo(local).size(), 0);
    EXPECT_TRUE(api->calls("Sync.getDownloadInfo").empty());
    const QStringList kept =
        QDir(QFileInfo(local).absolutePath()).entryList({QStringLiteral("empty*冲突*")}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(Read(QFileInfo(local).absolutePath() + QLatin1Char('/') + kept.front()), QByteArray("mine"));
}

TEST_F(DownloadPlaceTest, SevenNestedLongNamesDownload) {
    std::string cloud;
    for (int level = 0; level < 7; ++level) {
        if (level > 0)
            api->tree().addFolder(cloud);
        cloud += "/" + std::string(240, char('a' + level));
    }
    const std::string bytes = BigBytes('k').substr(0, CLOUD_BLOCK_SIZE + 99);
    ASSERT_FALSE(api->tree().addFileBytes(cloud, bytes, kStandInTime).empty());
    Start();
    const QString local = g_LocalStoreMgr.GetRootPath() + QString::fromStdString(cloud);
    Fetch(cloud, bytes, local);
    EXPECT_TRUE(Read(local) == QByteArray::fromStdString(bytes));
}

TEST_F(DownloadPlaceTest, CleanTempFilesKeepsARunningDownloadsFile) {
    Start();
    standIn.addFault(FaultRule{"/intf.php", StandInDownloads::kBlockMethod, true, Listener::Primary, 3, -1,
                               Fault{FaultKind::Hold}});
    FILE_INFO record;
    record.path = QStringLiteral("/big.bin");
    record.size = BigBytes('g').size();
    record.file_hash = QString::fromStdString(StandInTree::ContentHash(BigBytes('g')));
    record.local_path = target;
    OnEngine([&] {
        g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, false);
        g_LocalStoreMgr.AddDownloadTask(record);
    });
    ASSERT_TRUE(WaitUntil([&] { return standIn.heldCount() > 0; }));
    const QString drop = g_LocalStoreMgr.GetDropPath();
    const QStringList running = QDir(drop).entryList(QDir::Files);
    ASSERT_EQ(running.size(), 1);
    const QString stray = drop + QStringLiteral("/stray.tmp");
    Write(stray, "left over");
    OnEngine([] { g_LocalStoreMgr.CleanTempFiles(); });
    EXPECT_FALSE(QFileInfo::exists(stray));
    EXPECT_TRUE(QFileInfo::exists(drop + QLatin1Char('/') + running.front()));
    standIn.clearFaults();
    standIn.releaseHeld();
    ASSERT_TRUE(WaitUntil([] { return g_LocalStoreMgr.DownloadCount() == 0; }));
    EXPECT_TRUE(Read(target) == QByteArray::fromStdString(BigBytes('g')));
}

// An empty cloud version: an unchanged local file becomes empty without any request.
TEST_F(DownloadFixture, AnEmptyVersionEmptiesAnUnchangedFileWithoutARequest) {
    SyncedThenChanged(Bytes('m'), std::string());
    Cycle();
    EXPECT_TRUE(QFileInfo(target).isFile());
    EXPECT_EQ(QFileInfo(target).size(), 0);
    EXPECT_TRUE(api->calls("Sync.getDownloadInfo").empty());
    EXPECT_TRUE(
        QDir(QFileInfo(target).absolutePath()).entryList({QStringLiteral("*冲突*")}, QDir::Files).isEmpty());
}

// The pieces of a block's road that a loopback run cannot steer.
TEST(DownloadBlockTest, DecodesAndNamesTheTemporaryFile) {
    QByteArray data("abc");
    EXPECT_TRUE(QCDownloadFile::DecodeBlock(data, false, true, 2, AES_KEY_PAIR{}));
    EXPECT_EQ(data, QByteArray("ab")); // not inflatable: the raw data, cut to the block size
    QByteArray encrypted("0123456789abcdef");
    EXPECT_FALSE(QCDownloadFile::DecodeBlock(encrypted, true, false, 16, AES_KEY_PAIR{}));

    const QString deep = QStringLiteral("/") + QString(240, QLatin1Char('n')) + QStringLiteral("/") +
                         QString(240, QLatin1Char('m'));
    const QString name = QCDownloadFile::TempNameFor(QStringLiteral("/drop"), deep, QStringLiteral("h1"),
                                                     QStringLiteral("/x"), true);
    EXPECT_LT(QFileInfo(name).fileName().size(), 255);
    EXPECT_EQ(name, QCDownloadFile::TempNameFor(QStringLiteral("/drop"), deep, QStringLiteral("h1"),
                                                QStringLiteral("/y"), true));
    EXPECT_EQ(QCDownloadFile::TempNameFor(QStringLiteral("/drop"), deep, QStringLiteral("h1"),
                                          QStringLiteral("/home/u/b.txt"), false),
              QStringLiteral("/home/u/b.txt.draveltmp"));
}

} // namespace
