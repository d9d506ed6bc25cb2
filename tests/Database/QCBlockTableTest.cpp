// The block table: which blocks are recorded, which location is given back, and calls from many
// download threads at once.
#include "Database/QCBlockTable.h"

#include "common/Hash.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr unsigned long long kBlock = CLOUD_BLOCK_SIZE;
const QString kHash = QStringLiteral("0a1b2c3d4e5f60718293a4b5c6d7e8f901234567");

class QCBlockTableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()) << m_dir.errorString().toStdString(); }
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QString Touch(const QString& name) const {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << file.errorString().toStdString();
        return file.fileName();
    }

    QTemporaryDir m_dir;
    QCBlockTable m_table;
};

class BlockSizeTest : public QCBlockTableTest, public ::testing::WithParamInterface<unsigned long long> {};

TEST_P(BlockSizeTest, OnlyFullBlocksAreRecorded) {
    const QString file = Touch(QStringLiteral("f"));
    m_table.SetBlock(kHash, GetParam(), 0, file, QString());
    QString path = QStringLiteral("untouched");
    unsigned long long offset = 99;
    EXPECT_FALSE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, QStringLiteral("untouched"));
    EXPECT_EQ(offset, 99u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSizeTest,
                         ::testing::Values(0ull, 1ull, kBlock - 1, kBlock + 1, 2 * kBlock),
                         [](const ::testing::TestParamInfo<unsigned long long>& info) {
                             return "Size" + std::to_string(info.param);
                         });

TEST_F(QCBlockTableTest, GivesTheFileAndOffsetOfARecordedBlock) {
    const QString file = Touch(QStringLiteral("f"));
    m_table.SetBlock(kHash, kBlock, 3 * kBlock, file, Path(QStringLiteral("f.td")));
    QString path;
    unsigned long long offset = 0;
    ASSERT_TRUE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, file);
    EXPECT_EQ(offset, 3 * kBlock);
}

TEST_F(QCBlockTableTest, FallsBackToTheTemporaryFile) {
    const QString temp = Touch(QStringLiteral("f.td"));
    m_table.SetBlock(kHash, kBlock, kBlock, Path(QStringLiteral("f")), temp);
    QString path;
    unsigned long long offset = 0;
    ASSERT_TRUE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, temp);
    EXPECT_EQ(offset, kBlock);
}

TEST_F(QCBlockTableTest, GoneFilesGiveFalseButTheOffset) {
    m_table.SetBlock(kHash, kBlock, 7 * kBlock, Path(QStringLiteral("f")), Path(QStringLiteral("f.td")));
    QString path = QStringLiteral("untouched");
    unsigned long long offset = 0;
    EXPECT_FALSE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, QStringLiteral("untouched"));
    EXPECT_EQ(offset, 7 * kBlock);
}

TEST_F(QCBlockTableTest, UnknownHashesAreNotFound) {
    m_table.SetBlock(kHash, kBlock, 0, Touch(QStringLiteral("f")), QString());
    QString path = QStringLiteral("untouched");
    unsigned long long offset = 5;
    EXPECT_FALSE(m_table.CheckBlockData(QStringLiteral("ffff"), path, offset));
    EXPECT_FALSE(m_table.CheckBlockData(kHash.toUpper(), path, offset))
        << "hashes are compared case-sensitively";
    EXPECT_EQ(path, QStringLiteral("untouched"));
    EXPECT_EQ(offset, 5u);
}

TEST_F(QCBlockTableTest, TheFirstUsableLocationIsKept) {
    const QString first = Touch(QStringLiteral("first"));
    const QString second = Touch(QStringLiteral("second"));
    m_table.SetBlock(kHash, kBlock, kBlock, first, QString());
    m_table.SetBlock(kHash, kBlock, 2 * kBlock, second, QString());
    QString path;
    unsigned long long offset = 0;
    ASSERT_TRUE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, first);
    EXPECT_EQ(offset, kBlock);
}

TEST_F(QCBlockTableTest, AStaleLocationIsReplacedByALaterOne) {
    m_table.SetBlock(kHash, kBlock, kBlock, Path(QStringLiteral("deleted")),
                     Path(QStringLiteral("deleted.td")));
    const QString later = Touch(QStringLiteral("later"));
    m_table.SetBlock(kHash, kBlock, 4 * kBlock, later, QString());
    QString path;
    unsigned long long offset = 0;
    ASSERT_TRUE(m_table.CheckBlockData(kHash, path, offset));
    EXPECT_EQ(path, later);
    EXPECT_EQ(offset, 4 * kBlock);
}

TEST_F(QCBlockTableTest, ClearForgetsEverything) {
    m_table.SetBlock(kHash, kBlock, 0, Touch(QStringLiteral("f")), QString());
    EXPECT_TRUE(m_table.Clear());
    QString path;
    unsigned long long offset = 0;
    EXPECT_FALSE(m_table.CheckBlockData(kHash, path, offset));
}

TEST_F(QCBlockTableTest, ManyThreadsRecordAndAskAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kHashes = 400;
    std::vector<QString> files;
    for (int t = 0; t < kThreads; ++t)
        files.push_back(Touch(QStringLiteral("f%1").arg(t)));
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Every thread records the same hashes: one location per hash must win, whole.
            for (int i = 0; i < kHashes; ++i) {
                const QString hash = QString::number(i);
                m_table.SetBlock(hash, kBlock, quint64(t) * kBlock, files[size_t(t)], QString());
                QString path;
                unsigned long long offset = 0;
                if (m_table.CheckBlockData(hash, path, offset) && path == files[offset / kBlock])
                    ++hits;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(hits.load(), kThreads * kHashes) << "a lookup saw a location mixed from two calls";
}

} // namespace
