// The stand-in's download side driven by the real API client: the information and the block list
// go out through the request builders and come back through the parsers, the blocks are fetched as
// the transfer task fetches them and decoded with the login's key, and the file they make up is
// the stand-in's file, byte for byte.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}


// A block as the transfer task turns the reply back into data: decrypted, then inflated when
// that works.
QByteArray Decode(QByteArray body, bool encrypted, bool compressed, const QByteArray& key,
                  const QByteArray& iv) {
    if (encrypted) {
        QByteArray plain(body.size() + 32, '\0');
        int length = 0;
        int last = 0;
        EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
        const bool ok =
            EVP_DecryptInit_ex(context, EVP_aes_256_cbc(), nullptr,
                               reinterpret_cast<const uchar*>(key.data()),
                               reinterpret_cast<const uchar*>(iv.data())) == 1 &&
            EVP_DecryptUpdate(context, reinterpret_cast<uchar*>(plain.data()), &length,
                              reinterpret_cast<const uchar*>(body.data()), body.size()) == 1 &&
            EVP_DecryptFinal_ex(context, reinterpret_cast<uchar*>(plain.data()) + length, &last) == 1;
        EVP_CIPHER_CTX_free(context);
        body = ok ? plain.left(length + last) : QByteArray();
    }
    if (compressed) {
        QByteArray inflated(int(CLOUD_BLOCK_SIZE) + 128, '\0');
        uLongf length = uLongf(inflated.size());
        if (uncompress(reinterpret_cast<Bytef*>(inflated.data()), &length,
                       reinterpret_cast<const Bytef*>(body.constData()), uLong(body.size())) == Z_OK)
            body = inflated.left(int(length));
    }
    return body;
}

QByteArray Sha1(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
}

struct Fetched {
    long status = 0;
    QByteArray data; // decoded
    QString errnoHeader, errmsgHeader;
};

class StandInDownloadTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        savedEncrypt = g_Config.trans_encrypt;
        QJsonObject login = LogInToStandIn();
        const auto ack = parser.parseLogin(login);
        ASSERT_TRUE(ack);
        key = ack->key.toUtf8();
        iv = ack->iv.toUtf8();
    }
    void TearDown() override {
        g_Config.trans_encrypt = savedEncrypt;
        ApiTest::TearDown();
    }

    StandInDownloads& downloads() { return api->downloads(); }

    // The reply of `id` as the engine's handler gets it: the whole envelope for transfer commands,
    // the data for the others.
    QJsonObject Take(int command, unsigned int id, bool announced = false) {
        EXPECT_NE(id, 0u);
        if (announced)
            engine.TakeProcEvents();
        QCRequestCommon::ParseResponse(command, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        const auto calls = engine.TakeCalls();
        EXPECT_EQ(calls.size(), 1u) << (calls.empty() ? "" : calls.front().name.toStdString());
        return calls.empty() ? QJsonObject() : calls.back().data.toObject();
    }
    QJsonObject InfoReply(const std::string& path) {
        DL_INFO_REQ request{QString::fromStdString(path), QString(), QString()};
        return Take(CMD::DownloadInfo, Requests().DoDownloadInfo(request));
    }
    // The information of `path`; its host and addresses are kept for the block requests.
    DL_INFO_ACK Info(const std::string& path) {
        QJsonObject data = InfoReply(path).value(QLatin1String("data")).toObject();
        const DL_INFO_ACK ack = *parser.parseDownloadInfo(data);
        host = ack.http;
        addresses =
            ack.addr_1.address + QLatin1Char(',') + ack.addr_2.address + QLatin1Char(',') + ack.backup;
        return ack;
    }
    QJsonObject MetaReply(const QString& fhash, const QString& dt) {
        DL_META_REQ request{fhash, QString(), dt};
        return Take(CMD::DownloadMeta, Requests().DoDownloadMeta(request, host, addresses, false));
    }
    std::shared_ptr<DL_META_ACK> Meta(const DL_INFO_ACK& info) {
        QJsonObject data = MetaReply(info.file.file_hash, info.dt).value(QLatin1String("data")).toObject();
        return parser.parseDownloadMeta(data);
    }
    Fetched Fetch(const BLOCK_INFO& block, bool compress) {
        DL_DATA_REQ request;
        request.bhash = block.bhash;
        request.dt = block.dt;
        request.block_size = block.bsize;
        request.app_id = QStringLiteral("cloud");
        unsigned int unused = 0;
        const unsigned int id = Requests().DoDownloadBlock(request, host, addresses, compress, unused, false);
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        Fetched result;
        if (!client || !client->doGet(QString()))
            return result;
        Requests().CancelTask(id);
        result.status = client->responseCode();
        result.errnoHeader = client->responseHeaderByName(QStringLiteral("errno"));
        result.errmsgHeader = client->responseHeaderByName(QStringLiteral("errmsg"));
        if (result.status == 200)
            result.data = Decode(client->responseBody(),
                                 client->GetParam(QStringLiteral("encrypt")) == QLatin1String("2"),
                                 client->GetParam(QStringLiteral("compress")) == QLatin1String("1"), key, iv);
        return result;
    }
    // The whole file as the transfer task assembles it.
    QByteArray Download(const std::string& path) {
        const DL_INFO_ACK info = Info(path);
        const auto meta = Meta(info);
        QByteArray file;
        for (const BLOCK_INFO& block : meta ? meta->block_info : std::vector<BLOCK_INFO>()) {
            const Fetched fetched = Fetch(block, info.compress != 0);
            EXPECT_EQ(fetched.status, 200);
            EXPECT_EQ(Sha1(fetched.data), block.bhash.toUtf8()) << block.bidx;
            file += fetched.data;
        }
        return file;
    }

    QCResponseCommon parser;
    QByteArray key;
    QByteArray iv;
    QString host;
    QString addresses;
    int savedEncrypt = 0;
};

struct RoadCase {
    const char* name;
    int size;
    bool encrypt;
    bool compress;
};

class DownloadRoadTest : public StandInDownloadTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(DownloadRoadTest, TheBlocksMakeUpTheStandInsFile) {
    const RoadCase& c = GetParam();
    g_Config.trans_encrypt = c.encrypt ? 1 : 0;
    downloads().setCompress(c.compress);
    const QByteArray bytes = PatternBytes(c.size, 3);
    ASSERT_FALSE(api->tree().addFileBytes("/big.bin", bytes.toStdString(), kStandInTime + 5).empty());

    const DL_INFO_ACK info = Info("/big.bin");
    EXPECT_EQ(info.file.size, quint64(c.size));
    EXPECT_EQ(info.file.mtime, kStandInTime + 5);
    EXPECT_EQ(info.file.file_hash.toStdString(), StandInTree::ContentHash(bytes.toStdString()));
    EXPECT_EQ(info.compress, quint32(c.compress));
    EXPECT_EQ(host, QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary)));
    EXPECT_EQ(info.addr_1.address, QStringLiteral("127.0.0.2:%1").arg(standIn.port(Listener::Secondary)));
    const auto meta = Meta(info);
    ASSERT_TRUE(meta) << "the block list tiles the file";
    EXPECT_EQ(meta->block_info.size(), size_t((c.size + CLOUD_BLOCK_SIZE - 1) / CLOUD_BLOCK_SIZE));

    EXPECT_EQ(Download("/big.bin"), bytes);
    const auto calls = api->calls("Download.downloadBlock");
    ASSERT_EQ(calls.size(), meta->block_info.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        const bool small = meta->block_info[i].bsize <= 1024;
        EXPECT_EQ(calls[i].cookie("encrypt"), c.encrypt ? "2" : "");
        EXPECT_EQ(calls[i].cookie("compress"), c.compress && !small ? "1" : "") << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, DownloadRoadTest,
    ::testing::Values(RoadCase{"EncryptedAndCompressed3MiBPlus17", 3 * 1048576 + 17, true, true},
                      RoadCase{"PlainTwoBlocks", int(CLOUD_BLOCK_SIZE) + 1, false, false},
                      RoadCase{"SmallBlockNeverCompressed", 1024, true, true},
                      RoadCase{"Empty", 0, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInDownloadTest, EveryVersionStaysFetchableAndEqualBlocksAreKeptOnce) {
    const std::string block(CLOUD_BLOCK_SIZE, 'a');
    const std::string first = block + block + block + block + "tail";
    ASSERT_FALSE(api->tree().addFileBytes("/copy.bin", first).empty());
    EXPECT_EQ(downloads().blockCount(), 2u);
    EXPECT_EQ(downloads().blockHashes("/copy.bin").size(), 5u);

    const DL_INFO_ACK old = Info("/copy.bin");
    ASSERT_TRUE(api->tree().editFileBytes("/copy.bin", "new", kStandInTime + 1));
    const auto oldMeta = Meta(old); // the token names the content it was handed out for
    ASSERT_TRUE(oldMeta);
    EXPECT_EQ(oldMeta->fsize, first.size());
    EXPECT_EQ(Fetch(oldMeta->block_info.back(), true).data, QByteArray("tail"));
    EXPECT_EQ(Download("/copy.bin"), QByteArray("new"));
}

// The demo service's store: every block a file of its own in the folder, read back for the
// download and for the tree's copies, and one file per distinct block.
TEST_F(StandInDownloadTest, ABlockFolderHoldsEachBlockOnceOnDisk) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::string blocks = folder.filePath(QStringLiteral("blocks")).toStdString();
    ASSERT_TRUE(api->tree().blocks().setFolder(blocks));
    const std::string block(CLOUD_BLOCK_SIZE, 'b');
    const QByteArray bytes = QByteArray::fromStdString(block + block + "end");
    ASSERT_FALSE(api->tree().addFileBytes("/disk.bin", bytes.toStdString()).empty());

    const QStringList files = QDir(QString::fromStdString(blocks)).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 2) << files.join(QLatin1Char(' ')).toStdString();
    for (const std::string& hash : downloads().blockHashes("/disk.bin"))
        EXPECT_TRUE(files.contains(QString::fromStdString(hash))) << hash;
    EXPECT_EQ(Download("/disk.bin"), bytes);
    EXPECT_EQ(api->tree().node("/disk.bin")->bytes, bytes.toStdString());
}

TEST_F(StandInDownloadTest, RefusesWhatTheServiceWouldRefuse) {
    ASSERT_FALSE(api->tree().addFileBytes("/a.bin", "aaaa").empty());
    ASSERT_FALSE(api->tree().addFileBytes("/b.bin", "bbbb").empty());
    ASSERT_FALSE(api->tree().addFolder("/dir").empty());
    EXPECT_EQ(InfoReply("/missing.bin").value(QLatin1String("errno")).toInt(), kStandInNoFile);
    EXPECT_EQ(InfoReply("/dir").value(QLatin1String("errno")).toInt(), kStandInNoFile);

    const DL_INFO_ACK a = Info("/a.bin");
    const DL_INFO_ACK b = Info("/b.bin");
    EXPECT_EQ(MetaReply(a.file.file_hash, b.dt).value(QLatin1String("errno")).toInt(), kStandInBadParam);
    EXPECT_EQ(MetaReply(a.file.file_hash, QStringLiteral("forged")).value(QLatin1String("errno")).toInt(),
              kStandInBadParam);

    BLOCK_INFO blockOfB = Meta(b)->block_info.front();
    BLOCK_INFO foreign = blockOfB;
    foreign.dt = a.dt; // a block of another file than the token's
    const Fetched refused = Fetch(foreign, false);
    EXPECT_EQ(refused.status, 514);
    EXPECT_EQ(refused.errnoHeader, QString::number(kStandInNoBlock));
    foreign.dt = QStringLiteral("forged");
    EXPECT_EQ(Fetch(foreign, false).errnoHeader, QString::number(kStandInBadParam));
    api->accounts().expireToken(kStandInQid);
    EXPECT_EQ(Fetch(blockOfB, false).errnoHeader, QString::number(kStandInTokenExpired));
}

TEST_F(StandInDownloadTest, KnobsChangeOnlyWhatTheyName) {
    g_Config.trans_encrypt = 1;
    const QByteArray bytes = PatternBytes(int(CLOUD_BLOCK_SIZE) * 2 + 100, 5);
    ASSERT_FALSE(api->tree().addFileBytes("/k.bin", bytes.toStdString()).empty());
    const DL_INFO_ACK info = Info("/k.bin");
    const std::vector<BLOCK_INFO> blocks = Meta(info)->block_info;
    ASSERT_EQ(blocks.size(), 3u);
    const auto callsOf = [this](const BLOCK_INFO& block) {
        int count = 0;
        for (const RecordedRequest& call : api->calls("Download.downloadBlock"))
            count += call.cookie("bhash") == block.bhash.toStdString();
        return count;
    };

    // A flipped byte: the block still decodes, but its hash no longer matches; the others do.
    ASSERT_TRUE(downloads().flipByte("/k.bin", 2, 1));
    EXPECT_FALSE(downloads().flipByte("/k.bin", 4));
    EXPECT_NE(Sha1(Fetch(blocks[1], true).data), blocks[1].bhash.toUtf8());
    EXPECT_EQ(Sha1(Fetch(blocks[1], true).data), blocks[1].bhash.toUtf8()) << "once only";

    // Reset twice: the client's retry walk gets the block on the third request.
    ASSERT_TRUE(downloads().resetBlock("/k.bin", 1, 2));
    EXPECT_EQ(Sha1(Fetch(blocks[0], true).data), blocks[0].bhash.toUtf8());
    EXPECT_EQ(callsOf(blocks[0]), 3);

    // 514 with the service's error number, for every block.
    ASSERT_TRUE(downloads().refuseBlock("", 0, 3008, "source gone", 1));
    const Fetched refused = Fetch(blocks[2], true);
    EXPECT_EQ(refused.status, 514);
    EXPECT_EQ(refused.errnoHeader, QStringLiteral("3008"));
    EXPECT_EQ(refused.errmsgHeader, QStringLiteral("source gone"));

    // Empty block lists twice, then the list.
    downloads().emptyBlockList(2);
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(
            MetaReply(info.file.file_hash, info.dt).value(QLatin1String("data")).toObject().isEmpty());
    EXPECT_EQ(Meta(info)->block_info.size(), 3u);

    // Throttled to 1 MiB/s, a full block takes about half a second.
    downloads().throttle(1048576);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Sha1(Fetch(blocks[0], false).data), blocks[0].bhash.toUtf8());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    downloads().clearFaults();

    // Pre-encoded blocks decode like freshly encoded ones.
    EXPECT_FALSE(downloads().preEncode("no such account", true, true));
    ASSERT_TRUE(downloads().preEncode(kStandInQid, true, true));
    EXPECT_EQ(Download("/k.bin"), bytes);
}

// The hold of the restart tests: the first block is answered, later ones wait for the release.
TEST_F(StandInDownloadTest, BlocksAfterTheNthAreHeldUntilReleased) {
    ASSERT_FALSE(api->tree().addFileBytes("/h.bin", PatternBytes(3000, 9).toStdString()).empty());
    const BLOCK_INFO block = Meta(Info("/h.bin"))->block_info.front();
    FaultRule hold;
    hold.path = "/intf.php";
    hold.apiMethod = StandInDownloads::kBlockMethod;
    hold.first = 2;
    hold.fault.kind = FaultKind::Hold;
    standIn.addFault(hold);
    EXPECT_EQ(Fetch(block, false).status, 200);

    std::atomic<long> status{-1};
    std::thread fetcher([&] { status = Fetch(block, false).status; });
    ASSERT_TRUE(standIn.waitForHeld(1, 20000));
    EXPECT_EQ(status.load(), -1);
    standIn.clearFaults();
    standIn.releaseHeld();
    fetcher.join();
    EXPECT_EQ(status.load(), 200);
}

} // namespace
