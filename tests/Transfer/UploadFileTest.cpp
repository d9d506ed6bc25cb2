// The upload task's own pieces: the block plan of a file, the compression decision, and the local
// problems that turn a task dirty before anything is sent.
#include "support/TransferDoubles.h"
#include "support/Unprivileged.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/QCUploadFile.h"
#include "Transfer/QCUploadHost.h"
#include "common/Hash.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

constexpr qint64 kBlock = 524288;

std::string Noise(size_t size, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = char(random());
    return out;
}

std::string Text(size_t size) {
    std::string out;
    while (out.size() < size)
        out += "line " + std::to_string(out.size()) + " of a text that zlib shrinks well\n";
    out.resize(size);
    return out;
}

QString Sha1(const std::string& bytes) {
    return QString::fromLatin1(HashBuffer(bytes.data(), int(bytes.size()), HASH_SHA1));
}

class UploadPieceTest : public ::testing::Test {
protected:
    QString Write(const std::string& bytes, const QString& name = QStringLiteral("f.bin")) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
        file.write(bytes.data(), qint64(bytes.size()));
        return path;
    }
    QTemporaryDir dir;
};

// --- The block plan ------------------------------------------------------------------------------

struct PlanRow {
    const char* name;
    qint64 size;
    qint64 keepUpTo; // fast_up_filesize
};

class MakeBlocksTest : public UploadPieceTest, public ::testing::WithParamInterface<PlanRow> {};

TEST_P(MakeBlocksTest, TilesTheFileAndChainsTheHashes) {
    const PlanRow& row = GetParam();
    const std::string bytes = Noise(size_t(row.size));
    QFile file(Write(bytes));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QCUploadFile::Plan plan;
    ASSERT_TRUE(QCUploadFile::MakeBlocks(file, row.keepUpTo, nullptr, plan));

    EXPECT_EQ(plan.size, quint64(row.size));
    ASSERT_EQ(qint64(plan.blocks.size()), (row.size + kBlock - 1) / kBlock);
    std::string joined;
    for (size_t i = 0; i < plan.blocks.size(); ++i) {
        const BLOCK_INFO& block = plan.blocks[i];
        const qint64 offset = qint64(i) * kBlock;
        EXPECT_EQ(block.bidx, i + 1);
        EXPECT_EQ(qint64(block.boffset), offset);
        EXPECT_EQ(qint64(block.bsize), std::min(kBlock, row.size - offset));
        const QString hash = Sha1(bytes.substr(size_t(offset), block.bsize));
        EXPECT_EQ(block.bhash, hash) << i;
        EXPECT_EQ(block.hash, hash) << i;
        joined += hash.toStdString();
    }
    EXPECT_EQ(plan.hash, Sha1(joined)); // for 0 bytes: the SHA-1 of the empty text
    const bool kept = row.size <= std::min(row.keepUpTo, kBlock);
    EXPECT_EQ(plan.content.size(), kept ? int(row.size) : 0);
    if (kept) {
        EXPECT_TRUE(plan.content.toStdString() == bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakeBlocksTest,
                         ::testing::Values(PlanRow{"Empty", 0, kBlock}, PlanRow{"OneByte", 1, kBlock},
                                           PlanRow{"ExactBlockKept", kBlock, kBlock},
                                           PlanRow{"ExactBlockAboveFastSize", kBlock, 1000},
                                           PlanRow{"BlockAndOneByte", kBlock + 1, kBlock},
                                           PlanRow{"TwoExactBlocks", 2 * kBlock, kBlock},
                                           PlanRow{"FiveBlocksAndTail", 5 * kBlock + 17, kBlock}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadPieceTest, MakeBlocksFailsWhenStoppedOrWhenTheFileShrinks) {
    const QString path = Write(Noise(3 * kBlock));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QCUploadFile::Plan plan;
    EXPECT_FALSE(QCUploadFile::MakeBlocks(
        file, kBlock, [] { return true; }, plan));
    int asked = 0;
    const auto shrink = [&] {
        if (++asked == 2) {
            EXPECT_TRUE(QFile::resize(path, kBlock + 10));
        }
        return false;
    };
    EXPECT_FALSE(QCUploadFile::MakeBlocks(file, kBlock, shrink, plan));
    EXPECT_TRUE(plan.hash.isEmpty());
}

// --- Compression ---------------------------------------------------------------------------------

struct ZipRow {
    const char* name;
    const char* file;
    int level; // zip_lv as the tuning file gives it
    std::string bytes;
    bool noZipBefore;
    bool compressed;
    bool noZipAfter;
};

// The tuning defaults, with a short black list (nothing else in this binary reads them).
class CheckZipTest : public ::testing::TestWithParam<ZipRow> {
protected:
    void SetUp() override {
        g_Config.zip_minrate = 85;
        g_Config.zip_minsize = 512;
        g_Config.zip_blacklist = QStringLiteral("|.mp4|.zip|");
    }
};

TEST_P(CheckZipTest, CompressesOnlyWhatPays) {
    const ZipRow& row = GetParam();
    g_Config.zip_lv = row.level;
    bool noZip = row.noZipBefore;
    QByteArray zipped;
    EXPECT_EQ(QCUploadFile::CheckZip(row.bytes.data(), int(row.bytes.size()), zipped,
                                     QString::fromLatin1(row.file), noZip),
              row.compressed);
    EXPECT_EQ(noZip, row.noZipAfter);
    EXPECT_EQ(g_Config.zip_lv, row.level); // the clamp is kept local
    if (!row.compressed)
        return;
    std::string back(row.bytes.size(), '\0');
    uLongf length = uLongf(back.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &length,
                         reinterpret_cast<const Bytef*>(zipped.constData()), uLong(zipped.size())),
              Z_OK);
    EXPECT_TRUE(back == row.bytes);
    if (row.level >= 9) { // zlib's header names the level: 0xDA is level 9
        EXPECT_EQ(uint8_t(zipped.at(1)), 0xDA);
    }
}

const std::string kText = Text(size_t(kBlock));
// About 90 % of its size once compressed: noise with a compressible tenth.
const std::string kNinety = Noise(size_t(kBlock) * 9 / 10) + Text(size_t(kBlock) - size_t(kBlock) * 9 / 10);

INSTANTIATE_TEST_SUITE_P(
    Rows, CheckZipTest,
    ::testing::Values(ZipRow{"Text", "/d/a.txt", 6, kText, false, true, false},
                      ZipRow{"LevelAboveNineIsNine", "/d/a.txt", 12, kText, false, true, false},
                      ZipRow{"CapitalExtensionBlackListed", "/d/clip.MP4", 6, kText, false, false, true},
                      ZipRow{"DotInAFolderIsNoExtension", "/d.mp4/clip", 6, kText, false, true, false},
                      ZipRow{"LevelZero", "/d/a.txt", 0, kText, false, false, false},
                      ZipRow{"NinetyPercentDoesNotPay", "/d/a.txt", 6, kNinety, false, false, true},
                      ZipRow{"AlreadyOff", "/d/a.txt", 6, kText, true, false, true},
                      ZipRow{"BelowTheMinimumSize", "/d/a.txt", 6, Text(100), false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Dirty before anything is sent ---------------------------------------------------------------

// Runs the task's work at once on the calling thread.
class InlineUploadHost : public QCUploadHost {
public:
    void RunUploadWork(std::function<void()> work) override { work(); }
    bool UploadCancelled(const QString&) const override { return cancelled; }
    double UploadWeight() const override { return 1.0; }
    bool cancelled = false;
};

struct DirtyRow {
    const char* name;
    bool exists;
    bool unreadable;
    bool cancelled;
};

class UploadDirtyTest : public UploadPieceTest, public ::testing::WithParamInterface<DirtyRow> {};

TEST_P(UploadDirtyTest, ALocalProblemTurnsTheTaskDirtyWithoutAResult) {
    const DirtyRow& row = GetParam();
    if (row.unreadable) {
        RUN_UNPRIVILEGED_IF_ROOT(); // root reads any file
    }
    const QString path = row.exists ? Write(Noise(100)) : dir.filePath(QStringLiteral("gone.bin"));
    if (row.unreadable) {
        ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions()));
    }
    FakeTransferHost host;
    InlineUploadHost upload;
    upload.cancelled = row.cancelled;
    FILE_INFO record = TaskRecord(QStringLiteral("/f.bin"), 100);
    record.local_path = path;
    const auto task = std::make_shared<QCUploadFile>(host, upload, record);
    EXPECT_TRUE(task->SupportCancel());
    EXPECT_FALSE(task->IsDirtyTask());
    EXPECT_EQ(task->DoSync(), 0);
    EXPECT_TRUE(task->IsDirtyTask());
    EXPECT_EQ(task->Step(), 0); // nothing was sent
    EXPECT_TRUE(host.TakeResults().empty());
}

INSTANTIATE_TEST_SUITE_P(Problems, UploadDirtyTest,
                         ::testing::Values(DirtyRow{"Missing", false, false, false},
                                           DirtyRow{"Unreadable", true, true, false},
                                           DirtyRow{"CancelledWhileHashing", true, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs the task's work when the test says, as a busy pool does.
class QueuedUploadHost : public QCUploadHost {
public:
    void RunUploadWork(std::function<void()> work) override { queued.push_back(std::move(work)); }
    bool UploadCancelled(const QString&) const override { return false; }
    double UploadWeight() const override { return 1.0; }
    void RunQueued() {
        while (!queued.empty()) {
            const std::function<void()> work = std::move(queued.front());
            queued.erase(queued.begin());
            work();
        }
    }
    std::vector<std::function<void()>> queued;
};

// A task that left the queue (a delete cancelled its change) while its next step waited on the
// pool: the step sends nothing when it runs at last, so the file cannot reach the service after
// its delete.
TEST_F(UploadPieceTest, AStepOfAnEndedTaskSendsNothing) {
    FakeTransferHost host;
    QueuedUploadHost upload;
    FILE_INFO record = TaskRecord(QStringLiteral("/f.bin"), 100);
    record.local_path = Write(Noise(100));
    const auto task = std::make_shared<QCUploadFile>(host, upload, record);
    EXPECT_EQ(task->DoSync(), 0);
    ASSERT_EQ(upload.queued.size(), 1u);
    task->End();
    upload.RunQueued();
    EXPECT_EQ(task->Step(), 0); // no exchange was begun
    EXPECT_TRUE(host.TakeResults().empty());
}

} // namespace
