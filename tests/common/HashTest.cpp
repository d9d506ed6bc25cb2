#include "common/Hash.h"

#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

namespace {

QByteArray Bytes(qint64 size, unsigned seed) {
    QByteArray bytes(int(size), Qt::Uninitialized);
    std::mt19937 random(seed);
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

void WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly))
        << path.toStdString() << ": " << file.errorString().toStdString();
    ASSERT_EQ(file.write(content), content.size()) << file.errorString().toStdString();
}

TEST(HashTest, KnownDigests) {
    EXPECT_EQ(HashBuffer("", 0, HASH_MD5), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(HashBuffer("", 0, HASH_SHA1), QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    EXPECT_EQ(HashBuffer("abc", 3, HASH_SHA1), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(HashBuffer("abc", 3, HASH_MD5), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(core::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(core::crc32("", 0), 0u);
    // Every type but MD5 is SHA-1.
    EXPECT_EQ(HashBuffer("abc", 3, HASH_TYPE(7)), HashBuffer("abc", 3, HASH_SHA1));
}

TEST(HashTest, PiecesGiveTheDigestOfTheirConcatenation) {
    CHash whole(HASH_SHA1);
    whole.AddData(reinterpret_cast<const unsigned char*>("abc"), 3);
    CHash pieces(HASH_SHA1);
    for (const char* piece : {"a", "b", "c"})
        pieces.AddData(reinterpret_cast<const unsigned char*>(piece), 1);
    EXPECT_EQ(whole.Final(), pieces.Final());
    const unsigned char bytes[] = {0, 171};
    EXPECT_EQ(Digest2String(bytes, 2), QByteArray("00ab"));
    EXPECT_TRUE(Digest2String(bytes, 0).isEmpty());
}

TEST(HashTest, FinalTwiceGivesTheSameTextAndLaterDataIsIgnored) {
    CHash hash(HASH_MD5);
    hash.AddData(reinterpret_cast<const unsigned char*>("abc"), 3);
    const QByteArray first = hash.Final();
    hash.AddData(reinterpret_cast<const unsigned char*>("x"), 1);
    EXPECT_EQ(hash.Final(), first);
    hash.AddData(nullptr, 5); // a null buffer is no data
}

TEST(HashTest, Crc32MatchesTheZlibValueOfLongerData) {
    // zlib's crc32 of "The quick brown fox jumps over the lazy dog".
    const char text[] = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(core::crc32(text, sizeof text - 1), 0x414FA339u);
}

TEST(HashTest, Crc32EqualsZlibForEveryLengthAndAlignment) {
    std::vector<unsigned char> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 131 + 7);
    for (unsigned offset = 0; offset < 8; ++offset) {
        for (unsigned length = 0; length + offset <= 200; ++length) {
            const auto expected = quint32(::crc32(0L, data.data() + offset, length));
            ASSERT_EQ(core::crc32(data.data() + offset, length), expected) << offset << "+" << length;
        }
    }
}

// CloudHashFile against an independent computation ------------------------------------------------

struct CloudSizeCase {
    const char* label;
    qint64 size;
};

void PrintTo(const CloudSizeCase& c, std::ostream* os) {
    *os << c.label;
}

// The content hash computed by coreutils: split into 512 KiB blocks, sha1sum each, hex digests
// concatenated and hashed again. The file name reaches the shell as "$1", never as command text.
QByteArray ShellCloudHash(const QString& folder, const QString& file, QString& error) {
    static const char script[] =
        "cd \"$1\" || exit 1\n"
        "split -b 524288 -a 4 -d -- \"$2\" blk. || exit 1\n"
        "for p in blk.*; do [ -e \"$p\" ] || continue; sha1sum < \"$p\" | cut -c1-40 "
        "| tr -d '\\n'; done | sha1sum | cut -c1-40\n";
    QProcess shell;
    shell.start(QStringLiteral("sh"),
                {QStringLiteral("-c"), QLatin1String(script), QStringLiteral("sh"), folder, file});
    if (!shell.waitForFinished(60000) || shell.exitCode() != 0) {
        error = QString::fromLocal8Bit(shell.readAllStandardError()) + shell.errorString();
        return QByteArray();
    }
    return shell.readAllStandardOutput().trimmed();
}

class CloudHashSizeTest : public ::testing::TestWithParam<CloudSizeCase> {};

TEST_P(CloudHashSizeTest, MatchesSplitAndSha1sum) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("content.bin"));
    WriteFile(path, Bytes(GetParam().size, 7));
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    QString error;
    const QByteArray expected = ShellCloudHash(work.path(), path, error);
    if (expected.isEmpty())
        GTEST_SKIP() << "coreutils pipeline could not run: " << error.toStdString();
    ASSERT_EQ(expected.size(), 40);
    EXPECT_EQ(CloudHashFile(path), expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CloudHashSizeTest,
                         ::testing::Values(CloudSizeCase{"Empty", 0}, CloudSizeCase{"OneByte", 1},
                                           CloudSizeCase{"OneFullBlock", 524288},
                                           CloudSizeCase{"OneBlockAndOneByte", 524289},
                                           CloudSizeCase{"FiveMiBAndOneByte", 5 * 1024 * 1024 + 1}),
                         [](const ::testing::TestParamInfo<CloudSizeCase>& info) {
                             return std::string(info.param.label);
                         });

TEST(CloudHashTest, ShapeOfTheContentHash) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString empty = dir.filePath(QStringLiteral("empty"));
    WriteFile(empty, QByteArray());
    EXPECT_EQ(CloudHashFile(empty), HashBuffer("", 0, HASH_SHA1));

    // A file of one block hashes to the SHA-1 of its own SHA-1's hex text, never to its SHA-1.
    const QByteArray content("hello");
    const QString small = dir.filePath(QStringLiteral("small"));
    WriteFile(small, content);
    const QByteArray inner = HashBuffer(content.constData(), content.size(), HASH_SHA1);
    EXPECT_EQ(CloudHashFile(small), HashBuffer(inner.constData(), inner.size(), HASH_SHA1));
}

TEST(CloudHashTest, UnreadablePathsGiveEmpty) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_TRUE(CloudHashFile(dir.filePath(QStringLiteral("missing"))).isEmpty());
    EXPECT_TRUE(CloudHashFile(dir.path()).isEmpty());
    EXPECT_TRUE(HashFile(dir.filePath(QStringLiteral("missing")), HASH_MD5).isEmpty());
    EXPECT_TRUE(HashFile(dir.path(), HASH_MD5).isEmpty());
}

TEST(CloudHashTest, ReadOnlyFileStillHashes) {
    RUN_UNPRIVILEGED_IF_ROOT();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("readonly.bin"));
    const QByteArray content = Bytes(600000, 3);
    WriteFile(path, content);
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QFile probe(path);
    ASSERT_FALSE(probe.open(QIODevice::ReadWrite)) << "the file is still writable: the case shows nothing";

    const QByteArray first = HashBuffer(content.constData(), int(CLOUD_BLOCK_SIZE), HASH_SHA1);
    const QByteArray second =
        HashBuffer(content.constData() + CLOUD_BLOCK_SIZE, content.size() - int(CLOUD_BLOCK_SIZE), HASH_SHA1);
    const QByteArray both = first + second;
    EXPECT_EQ(CloudHashFile(path), HashBuffer(both.constData(), both.size(), HASH_SHA1));
    EXPECT_EQ(HashFile(path, HASH_MD5), HashBuffer(content.constData(), content.size(), HASH_MD5));
}

TEST(CloudHashTest, HashFileMatchesHashBuffer) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("data"));
    const QByteArray content = Bytes(10000, 11); // more than two 4096-byte pieces
    WriteFile(path, content);
    EXPECT_EQ(HashFile(path, HASH_MD5), HashBuffer(content.constData(), content.size(), HASH_MD5));
    EXPECT_EQ(HashFile(path, HASH_SHA1), HashBuffer(content.constData(), content.size(), HASH_SHA1));
}

// A device that hands out its bytes in short, uneven pieces, as a network file system may.
class ShortReadDevice : public QIODevice {
public:
    explicit ShortReadDevice(const QByteArray& bytes) : m_bytes(bytes) {}
    int reads = 0;

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 piece = 1000 + (reads++ % 7) * 4093; // never a divisor of the block size
        const qint64 n = qMin(qMin(maxSize, piece), qint64(m_bytes.size()) - m_position);
        memcpy(data, m_bytes.constData() + m_position, size_t(n));
        m_position += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_position = 0;
};

TEST(CloudHashTest, ShortReadsDoNotMoveBlockBoundaries) {
    const QByteArray content = Bytes(3 * CLOUD_BLOCK_SIZE + 12345, 5);
    QByteArray digests;
    for (qint64 at = 0; at < content.size(); at += CLOUD_BLOCK_SIZE) {
        const int n = int(qMin(CLOUD_BLOCK_SIZE, content.size() - at));
        digests += HashBuffer(content.constData() + at, n, HASH_SHA1);
    }
    const QByteArray expected = HashBuffer(digests.constData(), digests.size(), HASH_SHA1);

    ShortReadDevice device(content);
    ASSERT_TRUE(device.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    qint64 total = 0;
    EXPECT_EQ(CloudHashDevice(device, total), expected);
    EXPECT_EQ(total, content.size());
    EXPECT_GT(device.reads, 4) << "the device must have delivered short reads";
}

} // namespace
