// The copy-source cache: matching by time and size, keys without case, the limits, and the file
// "cpsrc.dat" written and read back.

#include "cache/QCCopySourceCache.h"

#include "Database/EncryptArchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QVector>

#include <gtest/gtest.h>

namespace {

class CopySourceCacheTest : public ::testing::Test {
protected:
    // A local file of `size` bytes; its modification time and size as MatchSource takes them.
    QString Source(const QString& name, int size) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
        file.close();
        return path;
    }
    static unsigned MTime(const QString& path) {
        return unsigned(QFileInfo(path).lastModified().toSecsSinceEpoch());
    }
    // Saves `text` (UTF-32) as the archive at `file`.
    void WriteFile(const QString& text) {
        const QVector<uint> wide = text.toUcs4();
        ASSERT_TRUE(EncryptArchiveSave(file, wide.constData(), int(wide.size() * 4), 0, 0));
    }
    QTemporaryDir temp;
    QDir dir{temp.path()};
    QString file = dir.filePath(QStringLiteral("cpsrc.dat"));
    QCCopySourceCache cache;
};

TEST_F(CopySourceCacheTest, MatchesByTimeAndSizeWithoutCaseAndForgetsAChangedFile) {
    const QString local = Source(QStringLiteral("a.txt"), 10);
    cache.SetSource(QStringLiteral("/Docs/A.txt"), local);
    // The creation time takes no part.
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/docs/a.txt"), MTime(local), 12345, 10), local);
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/docs/b.txt"), MTime(local), 0, 10), QString());

    // A vanished file is only ignored; a changed one is forgotten.
    QFile::rename(local, local + QStringLiteral(".away"));
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/docs/a.txt"), MTime(local + QStringLiteral(".away")), 0, 10),
              QString());
    EXPECT_EQ(cache.Size(), 1);
    QFile::rename(local + QStringLiteral(".away"), local);
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/docs/a.txt"), MTime(local), 0, 11), QString());
    EXPECT_EQ(cache.Size(), 0);
    cache.SetSource(QStringLiteral("/docs/a.txt"), local);
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/docs/a.txt"), MTime(local) + 1, 0, 10), QString());
    EXPECT_EQ(cache.Size(), 0);
}

TEST_F(CopySourceCacheTest, MoreThanTheLimitEmptiesTheMapFirst) {
    for (int i = 0; i < QCCopySourceCache::kMaxEntries; ++i)
        cache.SetSource(QStringLiteral("/f%1").arg(i), QStringLiteral("/l"));
    cache.SetSource(QStringLiteral("/one-more"), QStringLiteral("/l"));
    EXPECT_EQ(cache.Size(), QCCopySourceCache::kMaxEntries + 1);
    cache.SetSource(QStringLiteral("/next"), QStringLiteral("/l"));
    EXPECT_EQ(cache.Size(), 1);
}

TEST_F(CopySourceCacheTest, SavesEveryEntryUpToTheLimitAndOnlyTheNewestBeyond) {
    for (const int count : {QCCopySourceCache::kSaveAll, QCCopySourceCache::kSaveAll + 1}) {
        QCCopySourceCache saved;
        saved.Load(file);
        for (int i = 0; i < count; ++i)
            saved.SetSource(QStringLiteral("/F%1").arg(i), QStringLiteral("/local/%1").arg(i));
        ASSERT_TRUE(saved.Save());
        const bool all = count <= QCCopySourceCache::kSaveAll;
        EXPECT_EQ(saved.Size(), all ? count : 0) << count;
        cache.Load(file);
        EXPECT_EQ(cache.Size(), all ? count : QCCopySourceCache::kSaveNewest) << count;
    }
}

TEST_F(CopySourceCacheTest, LoadSkipsMalformedLinesAndBringsFutureUsesToNow) {
    const QString local = Source(QStringLiteral("b.bin"), 3);
    const qint64 future = QDateTime::currentSecsSinceEpoch() + 86400;
    WriteFile(QStringLiteral("/X/B.bin\t") + local + QStringLiteral("\t100\n") +
              QStringLiteral("/two\tfields\n") + QStringLiteral("/empty\t\t100\n") +
              QStringLiteral("\n/later\t/l/later\t") + QString::number(future) + QStringLiteral("\n"));
    cache.Load(file);
    EXPECT_EQ(cache.Size(), 2);
    EXPECT_EQ(cache.MatchSource(QStringLiteral("/x/b.bin"), MTime(local), 0, 3), local);

    // The future use made the cache changed: a save rewrites it, with the time brought to now.
    ASSERT_TRUE(cache.Save());
    QCCopySourceCache again;
    again.Load(file);
    EXPECT_EQ(again.Size(), 2);
    void* block = EncryptArchiveLoad(file);
    ASSERT_NE(block, nullptr);
    const auto* header = static_cast<const ARCHIVE_HEADER*>(block);
    const QString text = QString::fromUcs4(
        reinterpret_cast<const uint*>(static_cast<const char*>(block) + ARCHIVE_HEADER_SIZE), int(header->length / 4));
    free(block);
    EXPECT_FALSE(text.contains(QString::number(future)));
}

TEST_F(CopySourceCacheTest, AnUnreadableFileLeavesTheCacheEmptyAndTheFileAlone) {
    cache.SetSource(QStringLiteral("/a"), QStringLiteral("/l/a"));
    QFile junk(file);
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not an archive at all, just text");
    junk.close();
    cache.Load(file);
    EXPECT_EQ(cache.Size(), 0);
    EXPECT_TRUE(cache.Save()); // nothing changed: nothing written
    EXPECT_EQ(QFileInfo(file).size(), qint64(32));
}

} // namespace
