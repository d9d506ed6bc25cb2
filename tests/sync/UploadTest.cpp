// The block upload through the engine against the stand-in's upload service: the roads a file
// takes, blocks in flight, compression, blocks the service holds, files changed while uploading,
// failed exchanges and the cancel window.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/QCUploadFile.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "support/DebugCapture.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>
#include <random>

namespace {

constexpr int kBlock = 524288;

// `size` bytes: compressible text, or noise that zlib cannot shrink.
std::string Bytes(size_t size, bool compressible, unsigned seed = 1) {
    std::string out;
    out.reserve(size);
    std::mt19937 random(seed);
    while (out.size() < size) {
        if (compressible)
            out += "row " + std::to_string(out.size() / 64) + " of seed " + std::to_string(seed) + "\n";
        else
            out += char(random());
    }
    out.resize(size);
    return out;
}

std::string Text(const QString& s) {
    return s.toStdString();
}

class UploadTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
        LogIn();
        ASSERT_TRUE(WaitStatus(4, 30000));
        base = g_LocalStoreMgr.GetRootPath();
    }
    void TearDown() override {
        api->uploads().releaseHeld();
        g_Config.zip_lv = 6;
        EngineTest::TearDown();
    }
    QString Write(const QString& name, const std::string& bytes) {
        const QString path = base + QLatin1Char('/') + name;
        QFile file(path);
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << Text(file.errorString());
        file.write(bytes.data(), qint64(bytes.size()));
        return path;
    }
    // Starts the uploads of `names` in one turn of the engine, so that none is under way alone
    // before the others are queued.
    void Start(std::initializer_list<QString> names) {
        std::vector<bool> ok;
        OnEngine([&] {
            for (const QString& name : names)
                ok.push_back(g_LocalStoreMgr.UploadMirrorFile(base + QLatin1Char('/') + name));
        });
        size_t i = 0;
        for (const QString& name : names)
            ASSERT_TRUE(ok.at(i++)) << Text(name);
    }
    void Start(const QString& name) { Start({name}); }
    // Runs the engine until no upload is queued, a second of the core's clock per round so that
    // retries come due. The count is read on the engine thread: read from here, it could be zero
    // while the engine is still handling the last result.
    bool Drain(int timeoutMs = 30000) {
        return RunUntil(
            [this] {
                size_t count = 0;
                OnEngine([&] { count = g_LocalStoreMgr.UploadCount(); });
                return count == 0;
            },
            timeoutMs);
    }
    // The same until `done()` holds.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            QCClock::AdvanceForTests(1000);
            Pass();
            standIn.waitForRequests(standIn.requestCount() + 1, 50);
        }
        return true;
    }
    size_t Calls(const char* method) { return api->calls(method).size(); }
    std::optional<StandInNode> Node(const char* path) { return api->tree().node(path); }

    QString base;
};

TEST_F(UploadTest, ThreeMiBCompressibleGoesInSixCompressedBlocks) {
    const std::string bytes = Bytes(6 * kBlock, true);
    const QString path = Write(QStringLiteral("big.txt"), bytes);
    Start(QStringLiteral("big.txt"));
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    const auto requests = api->calls("Upload.request");
    ASSERT_EQ(requests.size(), 1u);
    const QJsonObject list =
        QJsonDocument::fromJson(QByteArray::fromStdString(requests[0].part("file")->content))
            .object()[QStringLiteral("request")]
            .toObject();
    EXPECT_EQ(list[QStringLiteral("totalblock")].toInt(), 6);
    const QJsonArray blocks = list[QStringLiteral("block_info")].toArray();
    ASSERT_EQ(blocks.size(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(blocks[i].toObject()[QStringLiteral("bidx")].toInt(), i + 1);
        EXPECT_EQ(blocks[i].toObject()[QStringLiteral("boffset")].toString(),
                  QString::number(qint64(i) * kBlock));
    }
    const auto sent = api->calls("Upload.block");
    ASSERT_EQ(sent.size(), 6u);
    for (const RecordedRequest& block : sent) {
        EXPECT_EQ(block.cookie("compress"), "1");
        EXPECT_LT(std::stoi(block.cookie("compress_size")), kBlock);
    }
    EXPECT_EQ(Calls("Upload.commit"), 1u);
    const auto session = api->uploads().latestSession("/big.txt");
    ASSERT_TRUE(session);
    EXPECT_LE(session->maxInFlight, 5);
    const auto node = Node("/big.txt");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->hash, CloudHashFile(path).toStdString());
    EXPECT_TRUE(node->bytes == bytes);
}

TEST_F(UploadTest, TwoFilesAtOnceKeepTwoBlocksInFlightEach) {
    api->uploads().setBlockDelayMs(50);
    // Both commits wait until every block of both files is in: a file whose upload had ended
    // would leave the other one alone, which may then keep more blocks in flight.
    api->uploads().hold("Upload.commit", 2);
    Write(QStringLiteral("a.txt"), Bytes(6 * kBlock, true, 1));
    Write(QStringLiteral("b.txt"), Bytes(6 * kBlock, true, 2));
    Start({QStringLiteral("a.txt"), QStringLiteral("b.txt")});
    ASSERT_TRUE(RunUntil([this] { return standIn.heldCount() == 2; }));
    api->uploads().releaseHeld();
    ASSERT_TRUE(Drain());
    for (const char* path : {"/a.txt", "/b.txt"}) {
        const auto session = api->uploads().latestSession(path);
        ASSERT_TRUE(session) << path;
        EXPECT_LE(session->maxInFlight, 2) << path;
        EXPECT_TRUE(session->committed) << path;
    }
}

struct RoadRow {
    const char* name;
    size_t size;
    bool seeded; // the service holds the content already
    size_t fast; // Upload.uploadFile calls
};

class UploadRoadTest : public UploadTest, public ::testing::WithParamInterface<RoadRow> {};

TEST_P(UploadRoadTest, TakesTheCheapestRoad) {
    const RoadRow& row = GetParam();
    const std::string bytes = Bytes(row.size, true);
    if (row.seeded)
        api->uploads().seedContent(bytes);
    Write(QStringLiteral("f.dat"), bytes);
    Start(QStringLiteral("f.dat"));
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    EXPECT_EQ(Calls("Upload.uploadFile"), row.fast);
    EXPECT_EQ(Calls("Upload.request") + Calls("Upload.block") + Calls("Upload.commit"), 0u);
    if (row.fast) {
        EXPECT_EQ(api->calls("Upload.uploadFile")[0].part("file")->content.empty(), row.size == 0);
    }
    const auto node = Node("/f.dat");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->size, row.size);
}

INSTANTIATE_TEST_SUITE_P(Roads, UploadRoadTest,
                         ::testing::Values(RoadRow{"KnownContent", 3 * kBlock, true, 0},
                                           RoadRow{"Small", 300 * 1024, false, 1},
                                           RoadRow{"Empty", 0, false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ZipRow {
    const char* name;
    const char* file;
    int level;
    bool noisyFirst; // the first block does not pay
};

class UploadZipTest : public UploadTest, public ::testing::WithParamInterface<ZipRow> {};

TEST_P(UploadZipTest, SendsEveryBlockPlain) {
    const ZipRow& row = GetParam();
    g_Config.zip_lv = row.level;
    std::string bytes = Bytes(3 * kBlock, true);
    if (row.noisyFirst) // about 90 %: noise with a compressible tenth
        bytes.replace(0, kBlock, Bytes(kBlock * 9 / 10, false) + Bytes(kBlock - kBlock * 9 / 10, true));
    Write(QString::fromLatin1(row.file), bytes);
    Start(QString::fromLatin1(row.file));
    ASSERT_TRUE(Drain());
    const auto sent = api->calls("Upload.block");
    EXPECT_EQ(sent.size(), 3u);
    for (const RecordedRequest& block : sent)
        EXPECT_EQ(block.cookie("compress"), "") << block.cookie("bidx");
    EXPECT_TRUE(Node((std::string("/") + row.file).c_str()));
}

INSTANTIATE_TEST_SUITE_P(Plain, UploadZipTest,
                         ::testing::Values(ZipRow{"BlackListedCapitals", "clip.MP4", 6, false},
                                           ZipRow{"LevelZero", "a.txt", 0, false},
                                           ZipRow{"FirstBlockDoesNotPay", "b.txt", 6, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadTest, BlocksTheServiceHoldsAreNotSent) {
    const std::string bytes = Bytes(5 * kBlock + 17, false);
    api->uploads().seedBlock(bytes.substr(0, kBlock));
    api->uploads().seedBlock(bytes.substr(kBlock, kBlock));
    api->uploads().seedBlock(bytes.substr(5 * kBlock));
    Write(QStringLiteral("held.bin"), bytes);
    api->uploads().hold("Upload.commit");
    Start(QStringLiteral("held.bin"));
    ASSERT_TRUE(api->uploads().waitForHeld(1, 20000));
    const auto task = g_LocalStoreMgr.FindUploading(QStringLiteral("/held.bin"));
    ASSERT_TRUE(task);
    EXPECT_EQ(task->GetServerHave(), 1048593u);
    api->uploads().releaseHeld();
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Upload.block"), 3u);
    EXPECT_TRUE(Node("/held.bin")->bytes == bytes);
}

TEST_F(UploadTest, AReadOnlyFileUploads) {
    const QString path = Write(QStringLiteral("ro.bin"), Bytes(2 * kBlock, false));
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    Start(QStringLiteral("ro.bin"));
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Upload.block"), 2u);
    EXPECT_TRUE(Node("/ro.bin"));
}

struct EditRow {
    const char* name;
    int block; // the block edited (from 1) while the block list is held
};

class UploadEditTest : public UploadTest, public ::testing::WithParamInterface<EditRow> {};

TEST_P(UploadEditTest, AChangedFileIsNeverCommitted) {
    std::string bytes = Bytes(6 * kBlock, false);
    api->uploads().seedBlock(bytes.substr(kBlock, kBlock));
    const QString path = Write(QStringLiteral("e.bin"), bytes);
    api->uploads().hold("Upload.request");
    Start(QStringLiteral("e.bin"));
    ASSERT_TRUE(api->uploads().waitForHeld(1, 20000));
    const size_t at = size_t(GetParam().block - 1) * kBlock + 100;
    bytes.replace(at, 5, "EDIT!");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(qint64(at));
        file.write("EDIT!", 5);
        file.setFileTime(QDateTime::currentDateTime().addSecs(10), QFileDevice::FileModificationTime);
    }
    api->uploads().releaseHeld();
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Upload.commit"), 0u);
    for (const RecordedRequest& block : api->calls("Upload.block"))
        EXPECT_LT(std::stoi(block.cookie("bidx")), GetParam().block < 4 ? 99 : 4);
    EXPECT_FALSE(Node("/e.bin"));
    // The next start sends the new content under its new hash.
    Start(QStringLiteral("e.bin"));
    ASSERT_TRUE(Drain());
    EXPECT_EQ(api->calls("Sync.getAddr").back().cookie("fhash"), CloudHashFile(path).toStdString());
    ASSERT_TRUE(Node("/e.bin"));
    EXPECT_TRUE(Node("/e.bin")->bytes == bytes);
}

INSTANTIATE_TEST_SUITE_P(Edits, UploadEditTest,
                         ::testing::Values(EditRow{"Block4", 4}, EditRow{"HeldBlock2", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FaultRow {
    const char* name;
    const char* method;
    size_t size;
    bool addFile; // the commit leaves the file to Sync.addFile
};

class UploadFaultTest : public UploadTest, public ::testing::WithParamInterface<FaultRow> {
protected:
    void Prepare() {
        api->uploads().setAutoCommit(!GetParam().addFile);
        Write(QStringLiteral("r.bin"), Bytes(GetParam().size, false));
    }
};

TEST_P(UploadFaultTest, AResetOnceIsRetried) {
    Prepare();
    api->uploads().reset(GetParam().method, 1);
    Start(QStringLiteral("r.bin"));
    ASSERT_TRUE(Drain());
    EXPECT_TRUE(Node("/r.bin"));
}

TEST_P(UploadFaultTest, ResetsEveryTimeEndWithNetwork) {
    Prepare();
    api->uploads().reset(GetParam().method, -1);
    DebugCapture debug;
    Start(QStringLiteral("r.bin"));
    ASSERT_TRUE(Drain(60000));
    EXPECT_FALSE(Node("/r.bin"));
    EXPECT_EQ(debug.lines(QStringLiteral("[result] upload /r.bin: type 20")).size(), 1)
        << qPrintable(debug.lines(QString()).join(QLatin1Char('\n')));
}

TEST_P(UploadFaultTest, SupportCancelEndsAtTheCommit) {
    Prepare();
    api->uploads().hold(GetParam().method);
    Start(QStringLiteral("r.bin"));
    ASSERT_TRUE(api->uploads().waitForHeld(1, 20000));
    const auto task =
        std::dynamic_pointer_cast<QCUploadFile>(g_LocalStoreMgr.FindUploading(QStringLiteral("/r.bin")));
    ASSERT_TRUE(task);
    const std::string method = GetParam().method;
    EXPECT_EQ(task->SupportCancel(),
              method != "Upload.commit" && method != "Sync.addFile" && method != "Upload.uploadFile");
    api->uploads().releaseHeld();
    ASSERT_TRUE(Drain());
}

INSTANTIATE_TEST_SUITE_P(Methods, UploadFaultTest,
                         ::testing::Values(FaultRow{"GetAddr", "Sync.getAddr", 2 * kBlock, false},
                                           FaultRow{"Request", "Upload.request", 2 * kBlock, false},
                                           FaultRow{"Block", "Upload.block", 2 * kBlock, false},
                                           FaultRow{"UploadFile", "Upload.uploadFile", 1000, false},
                                           FaultRow{"Commit", "Upload.commit", 2 * kBlock, false},
                                           FaultRow{"AddFile", "Sync.addFile", 2 * kBlock, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct CommitRow {
    const char* name;
    ApiAnswer answer;
    const char* line;
};

class UploadCommitTest : public UploadTest, public ::testing::WithParamInterface<CommitRow> {};

TEST_P(UploadCommitTest, ABadCommitReplyEndsTheTask) {
    api->uploads().fail("Upload.commit", 1, GetParam().answer);
    Write(QStringLiteral("c.bin"), Bytes(2 * kBlock, false));
    DebugCapture debug;
    Start(QStringLiteral("c.bin"));
    ASSERT_TRUE(Drain());
    EXPECT_EQ(debug.lines(QString::fromLatin1(GetParam().line)).size(), 1) << GetParam().line;
    EXPECT_FALSE(Node("/c.bin"));
}

ApiAnswer Unparsable() {
    ApiAnswer answer;
    answer.rawBody = true;
    answer.body = "<html>busy</html>";
    return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UploadCommitTest,
    ::testing::Values(CommitRow{"Unparsable", Unparsable(), "[result] upload /c.bin: type 22"},
                      CommitRow{"Refused4021", ApiAnswer::Error(4021, "changed"),
                                "[upload] /c.bin dirty: the service refused the commit"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadTest, TwentyAtOnceCompressAtLevelNine) {
    g_Config.zip_lv = 12;
    for (int i = 0; i < 20; ++i)
        Write(QStringLiteral("p%1.txt").arg(i), Bytes(kBlock + 1000, true, unsigned(i)));
    for (int i = 0; i < 20; ++i)
        Start(QStringLiteral("p%1.txt").arg(i));
    ASSERT_TRUE(Drain(60000));
    const auto sent = api->calls("Upload.block");
    ASSERT_EQ(sent.size(), 40u);
    for (const RecordedRequest& block : sent) {
        const std::string& data = block.part("file")->content;
        ASSERT_EQ(block.cookie("compress"), "1");
        EXPECT_EQ(uint8_t(data.at(1)), 0xDA); // zlib's header names the level: 0xDA is level 9
    }
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Node(qPrintable(QStringLiteral("/p%1.txt").arg(i)))) << i;
    EXPECT_EQ(g_Config.zip_lv, 12); // the clamp is the transfer's own
}

TEST_F(UploadTest, APausedUploadStartsOverWhenResumed) {
    const std::string bytes = Bytes(4 * kBlock, false);
    Write(QStringLiteral("p.bin"), bytes);
    api->uploads().hold("Upload.block");
    Start(QStringLiteral("p.bin"));
    ASSERT_TRUE(api->uploads().waitForHeld(1, 20000));
    const QString cloud = QStringLiteral("/p.bin");
    // Pause and resume act on uploads while the engine monitors.
    const auto monitoring = [&](void (QCLocalStoreMgr::*request)(const QString&)) {
        OnEngine([&] {
            g_LocalStoreMgr.ChangeStatus(LOCAL_STATUS_MONITOR, false);
            (g_LocalStoreMgr.*request)(cloud);
        });
    };
    monitoring(&QCLocalStoreMgr::ProcPauseTask);
    ASSERT_TRUE(g_LocalStoreMgr.FindUploading(cloud)->IsPause());
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetUpPauseTaskCount(), 1.0);
    api->uploads().releaseHeld();
    for (int i = 0; i < 5; ++i) { // a paused task neither retries nor goes on
        QCClock::AdvanceForTests(5000);
        Pass();
    }
    ASSERT_EQ(g_LocalStoreMgr.UploadCount(), 1u);
    EXPECT_EQ(Calls("Upload.commit"), 0u);
    EXPECT_EQ(Calls("Sync.getAddr"), 1u);
    monitoring(&QCLocalStoreMgr::ProcResumeTask);
    EXPECT_DOUBLE_EQ(g_LocalStoreMgr.GetUpPauseTaskCount(), 0.0);
    ASSERT_TRUE(Drain());
    EXPECT_EQ(Calls("Sync.getAddr"), 2u); // hashed and asked anew
    EXPECT_EQ(Calls("Upload.commit"), 1u);
    ASSERT_TRUE(Node("/p.bin"));
    EXPECT_TRUE(Node("/p.bin")->bytes == bytes);
}

} // namespace
