// The block download through the engine against the stand-in: a synced file changed in the cloud
// is fetched in blocks (plain, or encrypted and compressed), checked, and put in place with the
// cloud's time; a block that fails its check leaves the old file and its row, and the next cycle
// fetches it again.
#include "EngineTestSupport.h"

#include "support/StandInDownloads.h"
#include "support/Unprivileged.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "Transfer/QCDownloadFile.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// /big.bin: six distinct full blocks and a 17-byte tail.
std::string BigBytes(char seed) {
    std::string bytes;
    for (int block = 0; block < 6; ++block)
        for (int i = 0; i < int(CLOUD_BLOCK_SIZE); ++i)
            bytes += char(block * 13 + seed + i % 241);
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
    bool WaitUntil(const std::function<bool()>& done, qint64 stepMs = 0) {
        const QDeadlineTimer deadline(kLongMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCClock::AdvanceForTests(stepMs);
            Pass();
        }
        return true;
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
    ASSERT_EQ(blocks.size(), 4u);
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

struct Fault {
    const char* name;
    std::function<void(StandInDownloads&)> inject;
    int type;           // 0: completes
    int code;           // -1: whatever the transport said
    qint64 clockStepMs; // retries pause on the core's clock
    bool readOnlyDrop;
    size_t metaCalls;
    size_t secondBlockCalls; // at least
};

class DownloadFaultTest : public DownloadFixture, public ::testing::WithParamInterface<Fault> {};

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
    ::testing::Values(Fault{"FlippedByte", [](StandInDownloads& d) { d.flipByte(kBig, 3); },
                            SYNC_ERROR::ServerData, 0, 0, false, 1, 0},
                      Fault{"Refused", [](StandInDownloads& d) { d.refuseBlock(kBig, 2, 3008, "no block"); },
                            SYNC_ERROR::Logic, 3008, 0, false, 1, 1},
                      Fault{"ResetTwice", [](StandInDownloads& d) { d.resetBlock(kBig, 2, 2); }, 0, 0, 500,
                            false, 1, 3},
                      Fault{"AlwaysReset", [](StandInDownloads& d) { d.resetBlock(kBig, 2); },
                            SYNC_ERROR::Network, -1, 500, false, 1, 4},
                      Fault{"EmptyBlockList", [](StandInDownloads& d) { d.emptyBlockList(3); },
                            SYNC_ERROR::ServerProtocol, 0, 0, false, 3, 0},
                      Fault{"ReadOnlyDrop", [](StandInDownloads&) {}, SYNC_ERROR::DiskWrite,
                            int(QFileDevice::OpenError), 0, true, 0, 0}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

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
