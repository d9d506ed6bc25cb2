#include "network/QCResponseCommon.h"

#include "common/Hash.h"
#include "support/TestData.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

QJsonObject Block(quint64 offset, quint64 size) {
    return QJsonObject{{QStringLiteral("boffset"), double(offset)},
                       {QStringLiteral("bsize"), double(size)},
                       {QStringLiteral("bhash"), QStringLiteral("h%1").arg(offset)}};
}

QJsonObject Meta(double fsize, const QJsonArray& blocks) {
    return QJsonObject{{QStringLiteral("fsize"), fsize}, {QStringLiteral("block_info"), blocks}};
}

std::vector<BLOCK_INFO> UploadBlocks(int count) {
    std::vector<BLOCK_INFO> blocks(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        blocks[size_t(i)].bidx = quint32(i + 1);
        blocks[size_t(i)].bhash = QStringLiteral("c%1").arg(i + 1);
    }
    return blocks;
}

class TransferRepliesTest : public ::testing::Test {
protected:
    QCResponseCommon parser;
};

TEST_F(TransferRepliesTest, DownloadInfoReadsTheFirstFileByName) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/download_info.json"));
    const auto ack = parser.parseDownloadInfo(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->file.path, QStringLiteral("/docs/报告.docx"));
    EXPECT_EQ(ack->file.name, QStringLiteral("报告.docx"));
    EXPECT_EQ(ack->file.size, 5368709120ULL);
    EXPECT_EQ(ack->file.version, 3u);
    EXPECT_EQ(ack->file.mtime, 1700000000u);
    EXPECT_EQ(ack->nid, QStringLiteral("123456789012345678"));
    EXPECT_EQ(ack->compress, 1u);
    EXPECT_EQ(ack->is_https, 1u);
    EXPECT_EQ(ack->addr_1.FormatStr(), QStringLiteral("198.51.100.1,x,i"));
    EXPECT_TRUE(ack->addr_2.address.isEmpty()); // two parts only
    EXPECT_EQ(ack->backup, QStringLiteral("198.51.100.3"));
}

// A negative size describes no file: marked, never read as an empty one.
TEST_F(TransferRepliesTest, DownloadInfoWithANegativeSizeIsBadData) {
    for (const QJsonValue& size : {QJsonValue(QStringLiteral("-5")), QJsonValue(-5.0), QJsonValue(5.0)}) {
        QJsonObject data{{QStringLiteral("file_info"),
                          QJsonObject{{QStringLiteral("f1"), QJsonObject{{QStringLiteral("fpath"), QStringLiteral("/a")},
                                                                          {QStringLiteral("fsize"), size}}}}}};
        const auto ack = parser.parseDownloadInfo(data);
        EXPECT_EQ(ack->bad_size, size != QJsonValue(5.0)) << qPrintable(size.toVariant().toString());
    }
}

TEST_F(TransferRepliesTest, DownloadInfoWithoutFileIsAllDefaults) {
    QJsonObject data{{QStringLiteral("is_https"), 1}, {QStringLiteral("file_info"), QJsonArray{1}}};
    const auto ack = parser.parseDownloadInfo(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->is_https, 0u);
    EXPECT_TRUE(ack->file.path.isEmpty());
}

TEST_F(TransferRepliesTest, ShortFirstAddressFallsBackToTheHost) {
    QJsonObject data{{QStringLiteral("http"), QStringLiteral("up.test")},
                     {QStringLiteral("addr_1"), QStringLiteral("1.2.3.4,x")}};
    const auto ack = parser.parseUploadInfo(data);
    EXPECT_EQ(ack->addr_1.address, QStringLiteral("up.test"));
    EXPECT_EQ(ack->addr_1.mode, QStringLiteral("d"));

    QJsonObject hostile{{QStringLiteral("http"), QStringLiteral("up.test/evil")}};
    EXPECT_TRUE(parser.parseUploadInfo(hostile)->http.isEmpty());
}

TEST_F(TransferRepliesTest, DownloadMetaBlocksTileTheFile) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/download_meta.json"));
    const auto ack = parser.parseDownloadMeta(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->fsize, 1048577u);
    ASSERT_EQ(ack->block_info.size(), 3u);
    EXPECT_EQ(ack->block_info[0].bidx, 1u);
    EXPECT_EQ(ack->block_info[0].dt, QStringLiteral("d1"));
    EXPECT_EQ(ack->block_info[1].bidx, 2u);
    EXPECT_EQ(ack->block_info[1].hash, QStringLiteral("h2"));
    EXPECT_EQ(ack->block_info[1].bhash, QStringLiteral("h2"));
    EXPECT_EQ(ack->block_info[2].bidx, 3u);
    EXPECT_EQ(ack->block_info[2].bsize, 1u);
    for (const BLOCK_INFO& block : ack->block_info)
        EXPECT_TRUE(block.found);
}

TEST_F(TransferRepliesTest, DownloadMetaProtocolErrors) {
    const quint64 B = CLOUD_BLOCK_SIZE;
    // A block larger than 512 KiB.
    QJsonObject big = Meta(double(B + 1), QJsonArray{Block(0, B + 1)});
    EXPECT_FALSE(parser.parseDownloadMeta(big));
    // Sizes that do not add up to the file.
    QJsonObject gap = Meta(double(B + 10), QJsonArray{Block(0, B), Block(B, 5)});
    EXPECT_FALSE(parser.parseDownloadMeta(gap));
    // An offset outside the file.
    QJsonObject outside = Meta(double(B), QJsonArray{Block(B, B)});
    EXPECT_FALSE(parser.parseDownloadMeta(outside));
    // Overlapping blocks.
    QJsonObject overlap = Meta(double(B + 1), QJsonArray{Block(0, B), Block(B - 1, 2)});
    EXPECT_FALSE(parser.parseDownloadMeta(overlap));
    // A huge size with one block: nothing may be sized by it.
    QJsonObject huge = Meta(1e18, QJsonArray{Block(0, 5)});
    EXPECT_FALSE(parser.parseDownloadMeta(huge));
    // A "block_info" that is not an array for a non-empty file.
    QJsonObject notArray{{QStringLiteral("fsize"), 10}, {QStringLiteral("block_info"), QStringLiteral("x")}};
    EXPECT_FALSE(parser.parseDownloadMeta(notArray));
    // An empty file with no blocks is fine; so is an empty reply.
    QJsonObject empty = Meta(0, QJsonArray{});
    ASSERT_TRUE(parser.parseDownloadMeta(empty));
    QJsonObject none;
    ASSERT_TRUE(parser.parseDownloadMeta(none));
}

TEST_F(TransferRepliesTest, DownloadMetaBlockNumberFromOffset) {
    const quint64 B = CLOUD_BLOCK_SIZE;
    QJsonObject data = Meta(double(2 * B), QJsonArray{Block(0, B), Block(B, B)});
    const auto ack = parser.parseDownloadMeta(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->block_info[0].bidx, 1u);
    EXPECT_EQ(ack->block_info[1].bidx, 2u);
}

TEST_F(TransferRepliesTest, UploadInfoAutoCommitReadsIdsFromTheDataObject) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/upload_info.json"));
    auto ack = parser.parseUploadInfo(data);
    EXPECT_EQ(ack->ver, 9u);
    EXPECT_EQ(ack->tk, QStringLiteral("up-token"));
    EXPECT_EQ(ack->autoCommit, 1u);
    EXPECT_EQ(ack->root_nid, QStringLiteral("77"));
    EXPECT_EQ(ack->nv, QStringLiteral("88"));
    EXPECT_EQ(ack->compress, 1u);
    EXPECT_EQ(ack->addr_1.FormatStr(), QStringLiteral("203.0.113.5,p1,p"));

    data.insert(QStringLiteral("autoCommit"), false);
    ack = parser.parseUploadInfo(data);
    EXPECT_TRUE(ack->root_nid.isEmpty());
    EXPECT_TRUE(ack->nv.isEmpty());
}

TEST_F(TransferRepliesTest, UploadMetaAttachesAnswersByBlockIndex) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/upload_meta.json"));
    const auto ack = parser.parseUploadMeta(data, UploadBlocks(3));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->tid, QStringLiteral("tid-1"));
    ASSERT_EQ(ack->block_info.size(), 3u);
    EXPECT_FALSE(ack->block_info[0].found);
    EXPECT_EQ(ack->block_info[0].bhash, QStringLiteral("c1"));
    EXPECT_FALSE(ack->block_info[1].found); // not answered
    EXPECT_EQ(ack->block_info[1].bidx, 2u);
    EXPECT_TRUE(ack->block_info[2].found); // answered first in the array, but it is block 3
    EXPECT_EQ(ack->block_info[2].bidx, 3u);
}

TEST_F(TransferRepliesTest, UploadMetaProtocolErrors) {
    auto reply = [](double btotal, QJsonArray list) {
        return QJsonObject{{QStringLiteral("btotal"), btotal}, {QStringLiteral("block_info"), list}};
    };
    auto answer = [](int bidx, const char* hash) {
        return QJsonObject{{QStringLiteral("bidx"), bidx},
                           {QStringLiteral("bhash"), QLatin1String(hash)},
                           {QStringLiteral("found"), 1}};
    };
    QJsonObject wrongCount = reply(5, QJsonArray{answer(1, "c1")});
    EXPECT_FALSE(parser.parseUploadMeta(wrongCount, UploadBlocks(3)));
    QJsonObject hugeCount = reply(4e9, QJsonArray{});
    EXPECT_FALSE(parser.parseUploadMeta(hugeCount, UploadBlocks(3)));
    QJsonObject outOfRange = reply(3, QJsonArray{answer(4, "c4")});
    EXPECT_FALSE(parser.parseUploadMeta(outOfRange, UploadBlocks(3)));
    QJsonObject zero = reply(3, QJsonArray{answer(0, "c1")});
    EXPECT_FALSE(parser.parseUploadMeta(zero, UploadBlocks(3)));
    QJsonObject twice = reply(3, QJsonArray{answer(2, "c2"), answer(2, "c2")});
    EXPECT_FALSE(parser.parseUploadMeta(twice, UploadBlocks(3)));
    QJsonObject wrongHash = reply(3, QJsonArray{answer(2, "c3")});
    EXPECT_FALSE(parser.parseUploadMeta(wrongHash, UploadBlocks(3)));
    // Our hashes are lower-case hex; an upper-case answer names the same block.
    QJsonObject fine = reply(3, QJsonArray{answer(2, "C2")});
    ASSERT_TRUE(parser.parseUploadMeta(fine, UploadBlocks(3)));
    EXPECT_TRUE(parser.parseUploadMeta(fine, UploadBlocks(3))->block_info[1].found);
}

TEST_F(TransferRepliesTest, CommitAndAdd) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/upload_commit.json"));
    const auto commit = parser.parseUploadCommit(data);
    EXPECT_EQ(commit->ver, 12u);
    EXPECT_EQ(commit->autoCommit, 1u);
    EXPECT_EQ(commit->tk, QStringLiteral("t"));
    EXPECT_EQ(commit->etk, QStringLiteral("e"));
    QJsonObject add{{QStringLiteral("ver"), 4294967297.0}};
    EXPECT_EQ(parser.parseUploadAdd(add)->ver, 1u); // the low 32 bits
    QJsonObject none;
    EXPECT_EQ(parser.parseUploadAdd(none)->ver, 0u);
}

} // namespace
