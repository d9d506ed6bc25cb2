// The stand-in's upload side driven by the real API client: the requests go out through the
// request builders as the upload task fills them, the replies come back through the parsers, and
// the stand-in ends with the client's bytes.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <future>
#include <map>
#include <mutex>
#include <set>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

QString S(const std::string& text) {
    return QString::fromStdString(text);
}

constexpr int kBlock = 524288;

std::string Sha1(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha1)
        .toHex()
        .toStdString();
}

// A zlib stream of `bytes` (qCompress puts the length in front of it).
std::string Deflate(const std::string& bytes) {
    return qCompress(QByteArray::fromStdString(bytes), 9).mid(4).toStdString();
}

std::string Compressible(size_t size) {
    std::string bytes;
    for (int line = 0; bytes.size() < size; ++line)
        bytes += "line " + std::to_string(line) + " of a text that compresses well\n";
    bytes.resize(size);
    return bytes;
}

std::string Random(size_t size, unsigned seed) {
    return PatternBytes(int(size), seed).toStdString();
}

// What the client saw of one upload.
struct Outcome {
    int errnoValue = 0; // the first refusal, 0 when the file was placed
    bool autoCommit = false;
    bool compress = false;
    quint64 serverHave = 0; // bytes of the blocks the service had
};

class StandInUploadTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ASSERT_FALSE(LogInToStandIn().isEmpty());
        ASSERT_FALSE(api->tree().addFolder("/docs").empty());
    }

    StandInUploads& uploads() { return api->uploads(); }

    // The envelope of the finished request `id`; the request is released.
    static QJsonObject Reply(unsigned int id) {
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        Requests().CancelTask(id);
        return client ? QJsonDocument::fromJson(client->responseBody()).object() : QJsonObject();
    }
    static int Errno(const QJsonObject& reply) { return reply.value(QStringLiteral("errno")).toInt(-1); }

    static FILE_INFO File(const std::string& path, const std::string& bytes) {
        FILE_INFO file;
        file.path = S(path);
        file.size = bytes.size();
        file.ctime = 1700000000;
        file.mtime = 1700000100;
        file.attrs = 128;
        file.file_hash = S(StandInTree::ContentHash(bytes));
        return file;
    }

    // Sends a block list, as the upload task fills it, and parses the answer.
    std::shared_ptr<UP_EX_ACK> RequestBlocks(const FILE_INFO& file, const std::vector<BLOCK_INFO>& blocks,
                                             const QString& tk, int* errnoValue = nullptr) {
        UP_EX_REQ request{file, blocks, tk};
        const unsigned int id = Requests().DoUploadMeta(request, Host(), Addresses(), false);
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        EXPECT_TRUE(client);
        if (!client)
            return nullptr;
        QJsonArray list;
        for (const BLOCK_INFO& block : blocks)
            list.append(QJsonObject{{QStringLiteral("bidx"), double(block.bidx)},
                                    {QStringLiteral("bsize"), double(block.bsize)},
                                    {QStringLiteral("boffset"), QString::number(block.boffset)},
                                    {QStringLiteral("bhash"), block.bhash}});
        const QJsonObject body{
            {QStringLiteral("request"), QJsonObject{{QStringLiteral("totalblock"), double(blocks.size())},
                                                    {QStringLiteral("block_info"), list}}}};
        client->addQueryParam("fname", file.path.toStdString());
        client->addQueryParam("fsize", std::to_string(file.size));
        client->addQueryParam("fhash", file.file_hash.toStdString());
        client->addQueryParam("fctime", std::to_string(file.ctime));
        client->addQueryParam("fmtime", std::to_string(file.mtime));
        client->addQueryParam("fattr", std::to_string(file.attrs));
        client->addQueryParam("tk", tk.toStdString());
        const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
        client->addQueryParamFile("file", "file.dat", json.constData(), json.size(), std::string());
        EXPECT_TRUE(client->doUploadMultipartData());
        QJsonObject reply = Reply(id);
        if (errnoValue)
            *errnoValue = Errno(reply);
        QJsonObject data = reply.value(QStringLiteral("data")).toObject();
        return parser.parseUploadMeta(data, blocks);
    }

    // Sends one block of `bytes`, compressed when `compress` and it pays; the reply's errno.
    int SendBlock(const QString& tid, const BLOCK_INFO& block, const std::string& bytes, bool compress) {
        const std::string plain = bytes.substr(size_t(block.boffset), block.bsize);
        const std::string packed = compress ? Deflate(plain) : std::string();
        const bool compressed = compress && packed.size() * 100 / plain.size() <= 85;
        const std::string& sent = compressed ? packed : plain;
        UP_BLOCK_REQ request;
        request.tid = tid;
        request.bhash = block.bhash;
        request.bsize = block.bsize;
        request.bidx = block.bidx;
        request.boffset = block.boffset;
        request.data = sent.data();
        request.data_len = quint32(sent.size());
        request.compressed = compressed;
        unsigned int unused = 0;
        const unsigned int id = Requests().DoUploadBlock(request, Host(), Addresses(), unused, false);
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        if (!client || !client->doUploadMultipartData())
            return -1;
        return Errno(Reply(id));
    }

    // The whole road of one upload as the upload task takes it, `inFlight` blocks at a time.
    Outcome Upload(const std::string& path, const std::string& bytes, int inFlight = 1,
                   bool compress = true) {
        Outcome outcome;
        FILE_INFO file = File(path, bytes);
        QJsonObject reply = Reply(Requests().DoUploadInfo(file));
        QJsonObject data = reply.value(QStringLiteral("data")).toObject();
        const auto info = parser.parseUploadInfo(data);
        if ((outcome.errnoValue = Errno(reply)) != 0)
            return outcome;
        outcome.compress = info->compress;
        if ((outcome.autoCommit = info->autoCommit) != 0)
            return outcome;
        {
            std::lock_guard<std::mutex> lock(hostLock);
            host = info->http;
            addresses = info->addr_1.address;
        }
        compress = compress && info->compress;

        std::shared_ptr<UP_COMMIT_ACK> commit;
        if (bytes.size() <= size_t(kBlock)) {
            const std::string packed = compress && !bytes.empty() ? Deflate(bytes) : std::string();
            const bool compressed = !packed.empty() && packed.size() * 100 / bytes.size() <= 85;
            const std::string& sent = compressed ? packed : bytes;
            UP_FAST_REQ request{file, info->tk, sent.data(), quint32(sent.size()), compressed};
            const unsigned int id = Requests().DoFastUpload(request, Host(), Addresses(), false);
            EXPECT_TRUE(Requests().GetRequestByID(id)->doUploadMultipartData());
            reply = Reply(id);
        } else {
            std::vector<BLOCK_INFO> blocks;
            for (quint64 offset = 0; offset < bytes.size(); offset += kBlock) {
                BLOCK_INFO block;
                block.bidx = quint32(blocks.size() + 1);
                block.boffset = offset;
                block.bsize = quint32(std::min<quint64>(kBlock, bytes.size() - offset));
                block.bhash = S(Sha1(bytes.substr(offset, block.bsize)));
                blocks.push_back(block);
            }
            const auto meta = RequestBlocks(file, blocks, info->tk, &outcome.errnoValue);
            if (outcome.errnoValue != 0 || !meta)
                return outcome;
            std::vector<BLOCK_INFO> missing;
            for (const BLOCK_INFO& block : meta->block_info) {
                if (block.found)
                    outcome.serverHave += blocks[block.bidx - 1].bsize;
                else
                    missing.push_back(blocks[block.bidx - 1]);
            }
            // `inFlight` senders take the missing blocks in turn.
            std::atomic<size_t> next{0};
            std::vector<std::future<int>> senders;
            for (int i = 0; i < inFlight; ++i)
                senders.push_back(std::async(std::launch::async, [&] {
                    for (size_t at = next++; at < missing.size(); at = next++) {
                        if (const int e = SendBlock(meta->tid, missing[at], bytes, compress))
                            return e;
                    }
                    return 0;
                }));
            for (auto& sender : senders) {
                const int e = sender.get();
                outcome.errnoValue = outcome.errnoValue ? outcome.errnoValue : e;
            }
            if (outcome.errnoValue != 0)
                return outcome;
            UP_COMMIT_REQ request{meta->tid};
            const unsigned int id = Requests().DoUploadCommit(request, Host(), Addresses(), false);
            EXPECT_TRUE(Requests().GetRequestByID(id)->doGet(QString()));
            reply = Reply(id);
        }
        if ((outcome.errnoValue = Errno(reply)) != 0)
            return outcome;
        data = reply.value(QStringLiteral("data")).toObject();
        commit = parser.parseUploadCommit(data);
        if (!commit->autoCommit) {
            UP_ADD_REQ add{file, commit->tk, commit->etk, QString()};
            const unsigned int id = Requests().DoUploadAdd(add, false);
            EXPECT_TRUE(Requests().GetRequestByID(id)->doPost(QString()));
            outcome.errnoValue = Errno(Reply(id));
        }
        return outcome;
    }

    // How often each upload method reached the stand-in.
    std::vector<size_t> Counts() const {
        std::vector<size_t> counts;
        for (const char* method : {"Sync.getAddr", "Upload.request", "Upload.block", "Upload.commit",
                                   "Sync.addFile", "Upload.uploadFile"})
            counts.push_back(api->calls(method).size());
        return counts;
    }

    void ExpectPlaced(const std::string& path, const std::string& bytes) {
        const auto node = api->tree().node(path);
        ASSERT_TRUE(node) << path;
        EXPECT_EQ(node->hash, StandInTree::ContentHash(bytes));
        EXPECT_EQ(node->size, bytes.size());
        EXPECT_TRUE(node->bytes == bytes) << path;
    }

    QCResponseCommon parser;
    // The transfer host of the last upload info; uploads run side by side in one test.
    std::mutex hostLock;
    QString host;
    QString addresses;
    QString Host() {
        std::lock_guard<std::mutex> lock(hostLock);
        return host;
    }
    QString Addresses() {
        std::lock_guard<std::mutex> lock(hostLock);
        return addresses;
    }
};

struct RoadCase {
    const char* name;
    size_t size;
    bool compressible;
    std::vector<int> seededBlocks; // 0-based block numbers the store holds already
    bool seededContent;            // the whole content is known
    bool autoCommit;
    std::vector<size_t> counts; // getAddr, request, block, commit, addFile, uploadFile
    quint64 serverHave;
};

void PrintTo(const RoadCase& c, std::ostream* os) {
    *os << c.name;
}

class UploadRoadTest : public StandInUploadTest, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(UploadRoadTest, TheFileEndsInTheTreeWithTheClientsBytes) {
    const RoadCase& c = GetParam();
    const std::string bytes = c.compressible ? Compressible(c.size) : Random(c.size, 7);
    for (const int block : c.seededBlocks)
        uploads().seedBlock(bytes.substr(size_t(block) * kBlock, kBlock));
    if (c.seededContent)
        uploads().seedContent(bytes);
    uploads().setAutoCommit(c.autoCommit);

    const Outcome outcome = Upload("/docs/file.bin", bytes);
    EXPECT_EQ(outcome.errnoValue, 0);
    EXPECT_EQ(outcome.autoCommit, c.seededContent);
    EXPECT_EQ(outcome.serverHave, c.serverHave);
    EXPECT_EQ(Counts(), c.counts);
    ExpectPlaced("/docs/file.bin", bytes);
    EXPECT_TRUE(uploads().hasContent(StandInTree::ContentHash(bytes)));
    for (const RecordedRequest& block : api->calls("Upload.block")) {
        EXPECT_EQ(block.cookie("compress"), c.compressible ? "1" : "");
        if (c.compressible) {
            EXPECT_EQ(block.cookie("compress_size"), std::to_string(block.part("file")->content.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Roads, UploadRoadTest,
    ::testing::Values(
        RoadCase{"ThreeMiBCompressible", 6 * kBlock, true, {}, false, true, {1, 1, 6, 1, 0, 0}, 0},
        RoadCase{"KnownContentIsPlacedAtOnce", 6 * kBlock, true, {}, true, true, {1, 0, 0, 0, 0, 0}, 0},
        RoadCase{"FiveBlocksAndATailWithThreeSeeded",
                 5 * kBlock + 17,
                 false,
                 {0, 2, 5},
                 false,
                 true,
                 {1, 1, 3, 1, 0, 0},
                 2 * kBlock + 17},
        RoadCase{
            "CommitLeavesTheFileToTheAdd", 2 * kBlock + 1, false, {}, false, false, {1, 1, 3, 1, 1, 0}, 0},
        RoadCase{"SmallFileInOneRequest", 300 * 1024, true, {}, false, true, {1, 0, 0, 0, 0, 1}, 0},
        RoadCase{"EmptyFile", 0, false, {}, false, true, {1, 0, 0, 0, 0, 1}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInUploadTest, SameBytesAtASecondPathAreANewNodeWithoutTransfer) {
    const std::string bytes = Compressible(3 * kBlock);
    ASSERT_EQ(Upload("/docs/a.txt", bytes).errnoValue, 0);
    const Outcome second = Upload("/b.txt", bytes);
    EXPECT_TRUE(second.autoCommit);
    EXPECT_EQ(Counts(), (std::vector<size_t>{2, 1, 3, 1, 0, 0}));
    ExpectPlaced("/b.txt", bytes);

    // Again at the first path: a new version of the same node.
    const auto before = api->tree().node("/docs/a.txt");
    EXPECT_TRUE(Upload("/docs/a.txt", bytes).autoCommit);
    EXPECT_EQ(api->tree().node("/docs/a.txt")->version, before->version + 1);
    EXPECT_EQ(api->tree().node("/docs/a.txt")->nid, before->nid);
}

TEST_F(StandInUploadTest, BlocksInFlightMeetInTheStandIn) {
    // The first blocks of the four senders wait at the door until all four are there: each file
    // has its two in flight at once, however slowly the senders got going. Let go, each spends
    // 250 ms in the stand-in, where no file ever has more than its two. (Whether a file's two are
    // let in within those 250 ms of each other is up to the scheduler, not the client.)
    FaultRule hold;
    hold.path = "/intf.php";
    hold.apiMethod = "Upload.block";
    hold.times = 4;
    hold.fault.kind = FaultKind::Hold;
    standIn.addFault(hold);
    uploads().setBlockDelayMs(250);
    const std::string one = Compressible(6 * kBlock);
    const std::string two = Random(6 * kBlock, 3);
    auto first = std::async(std::launch::async, [&] { return Upload("/docs/one", one, 2).errnoValue; });
    auto second = std::async(std::launch::async, [&] { return Upload("/docs/two", two, 2).errnoValue; });
    EXPECT_TRUE(standIn.waitForHeld(4, 120000));
    std::map<std::string, int> atTheDoor; // the blocks sent so far, by upload session
    for (const RecordedRequest& block : api->calls("Upload.block"))
        ++atTheDoor[block.cookie("tid")];
    EXPECT_EQ(atTheDoor.size(), 2u);
    for (const auto& [tid, blocks] : atTheDoor)
        EXPECT_EQ(blocks, 2) << tid;
    standIn.releaseHeld();
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
    for (const char* path : {"/docs/one", "/docs/two"}) {
        const int most = uploads().latestSession(path)->maxInFlight;
        EXPECT_TRUE(most == 1 || most == 2) << path << ": " << most;
    }
    ExpectPlaced("/docs/one", one);
    ExpectPlaced("/docs/two", two);
}

TEST_F(StandInUploadTest, TheCompressKnobAndTheCommitRefusal) {
    uploads().setCompress(false);
    uploads().fail("Upload.commit", 1, ApiAnswer::Error(kStandInCommitConflict, "changed"));
    const std::string bytes = Compressible(2 * kBlock);
    const Outcome refused = Upload("/docs/c.txt", bytes);
    EXPECT_FALSE(refused.compress);
    EXPECT_EQ(refused.errnoValue, kStandInCommitConflict);
    EXPECT_FALSE(api->tree().node("/docs/c.txt"));
    for (const RecordedRequest& block : api->calls("Upload.block"))
        EXPECT_EQ(block.cookie("compress"), "");
    EXPECT_EQ(Upload("/docs/c.txt", bytes).errnoValue, 0); // the blocks are there now
    ExpectPlaced("/docs/c.txt", bytes);
}

TEST_F(StandInUploadTest, AResetOrAHeldReplyIsTheSameRequestOnceItGoesThrough) {
    uploads().reset("Sync.getAddr");
    uploads().hold("Upload.commit");
    const std::string bytes = Random(kBlock + 1, 5);
    auto upload = std::async(std::launch::async, [&] { return Upload("/docs/h.bin", bytes).errnoValue; });
    ASSERT_TRUE(uploads().waitForHeld(1, 30000));
    EXPECT_FALSE(api->tree().node("/docs/h.bin")) << "nothing is placed before the commit is answered";
    uploads().releaseHeld();
    EXPECT_EQ(upload.get(), 0);
    EXPECT_EQ(api->calls("Sync.getAddr").size(), 2u); // the client's retry after the reset
    ExpectPlaced("/docs/h.bin", bytes);
}

TEST_F(StandInUploadTest, WhatTheServiceWouldRefuse) {
    const std::string bytes = Random(2 * kBlock, 9);
    FILE_INFO file = File("/docs/r.bin", bytes);
    const QJsonObject info = Reply(Requests().DoUploadInfo(file)).value(QStringLiteral("data")).toObject();
    const QString tk = info.value(QStringLiteral("tk")).toString();
    host = info.value(QStringLiteral("http")).toString();
    std::vector<BLOCK_INFO> blocks(2);
    for (int i = 0; i < 2; ++i) {
        blocks[size_t(i)].bidx = quint32(i + 1);
        blocks[size_t(i)].boffset = quint64(i) * kBlock;
        blocks[size_t(i)].bsize = kBlock;
        blocks[size_t(i)].bhash = S(Sha1(bytes.substr(size_t(i) * kBlock, kBlock)));
    }
    int errnoValue = 0;
    std::vector<BLOCK_INFO> swapped = {blocks[1], blocks[0]};
    swapped[0].bidx = 1;
    swapped[1].bidx = 2;
    RequestBlocks(file, swapped, tk, &errnoValue);
    EXPECT_EQ(errnoValue, kStandInBadBlock) << "hashes that do not chain to fhash";
    RequestBlocks(file, blocks, S("no-such-tk"), &errnoValue);
    EXPECT_EQ(errnoValue, kStandInNoUpload);
    const auto meta = RequestBlocks(file, blocks, tk, &errnoValue);
    ASSERT_TRUE(meta);

    BLOCK_INFO wrong = blocks[1];
    wrong.bidx = 1; // block 2's bytes and hash named as block 1
    EXPECT_EQ(SendBlock(meta->tid, wrong, bytes, false), kStandInBadBlock);
    BLOCK_INFO lying = blocks[0];
    lying.bhash = blocks[1].bhash;
    EXPECT_EQ(SendBlock(meta->tid, lying, bytes, false), kStandInBadBlock);
    EXPECT_EQ(SendBlock(meta->tid, blocks[0], bytes, false), 0);
    UP_COMMIT_REQ commit{meta->tid};
    const unsigned int id = Requests().DoUploadCommit(commit, host, QString(), false);
    ASSERT_TRUE(Requests().GetRequestByID(id)->doGet(QString()));
    EXPECT_EQ(Errno(Reply(id)), kStandInBlocksMissing);

    Requests().SetParam(S(kStandInQid), S(kStandInEid), S("stale"));
    EXPECT_EQ(SendBlock(meta->tid, blocks[1], bytes, false), kStandInTokenExpired);
    EXPECT_FALSE(uploads().hasBlock(blocks[1].bhash.toStdString()));
}

} // namespace
