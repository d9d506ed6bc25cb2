// The out-upload list: keys, erasing by subtree, the throttled save, and the pages of "out.dat"
// with their generations.

#include "sync/QCOutUploadList.h"

#include "Database/EncryptArchive.h"
#include "common/QCClock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QVector>

#include <gtest/gtest.h>

namespace {

OUT_UPLOAD_FILE Item(const QString& cloudPath, quint64 size = 1,
                     const QString& source = QStringLiteral("/src/f")) {
    return OUT_UPLOAD_FILE{source, cloudPath, size, 1700000000u};
}

QStringList CloudPaths(const QCOutUploadList& list) {
    QStringList paths;
    for (const OUT_UPLOAD_FILE& item : list.Pending())
        paths << item.cloud_path;
    return paths;
}

class OutUploadListTest : public ::testing::Test {
protected:
    void SetUp() override {
        QCClock::UseManualForTests();
        list.Load(file);
    }
    void TearDown() override { QCClock::UseSystemForTests(); }
    // The text of a page file, and its archive values.
    QString Page(const QString& path, qint64* generation = nullptr, qint64* pages = nullptr) {
        void* block = EncryptArchiveLoad(path);
        if (!block)
            return QStringLiteral("<none>");
        const auto* header = static_cast<const ARCHIVE_HEADER*>(block);
        const QString text = QString::fromUcs4(
            reinterpret_cast<const uint*>(static_cast<const char*>(block) + ARCHIVE_HEADER_SIZE),
            int(header->length / 4));
        if (generation)
            *generation = header->value1;
        if (pages)
            *pages = header->value2;
        free(block);
        return text;
    }
    // Enough entries with long sources to fill `pages` pages.
    void Fill(int pages) {
        const QString longSource = QString(1000, QLatin1Char('s'));
        for (int i = 0; i < pages * QCOutUploadList::kPageChars / 1000; ++i)
            list.Add(Item(QStringLiteral("/bulk/%1").arg(i, 6, 10, QLatin1Char('0')), 1, longSource));
    }
    // The page files beside page 0.
    QStringList PageFiles() const {
        return QDir(temp.path()).entryList({QStringLiteral("out.dat.*")}, QDir::Files);
    }
    QTemporaryDir temp;
    QString file = QDir(temp.path()).filePath(QStringLiteral("out.dat"));
    QCOutUploadList list;
};

TEST_F(OutUploadListTest, KeysIgnoreCaseAndEraseTakesASubtree) {
    list.Add(Item(QStringLiteral("/A/x.txt")));
    list.Add(Item(QStringLiteral("/a/X.TXT"), 2));
    list.Add(Item(QStringLiteral("/a")));
    list.Add(Item(QStringLiteral("/ab")));
    EXPECT_EQ(CloudPaths(list),
              (QStringList{QStringLiteral("/a"), QStringLiteral("/a/X.TXT"), QStringLiteral("/ab")}));
    EXPECT_EQ(list.Erase(QStringLiteral("/a")), 2);
    EXPECT_EQ(CloudPaths(list), QStringList{QStringLiteral("/ab")});
    EXPECT_EQ(list.Erase(QString()), 1);
    EXPECT_TRUE(list.Pending().empty());
}

// The engine ends a pass by clearing the list; a request the facade queued meanwhile survives it.
TEST_F(OutUploadListTest, AWaitingRequestKeepsTheListThroughTheEndOfAPass) {
    list.Add(Item(QStringLiteral("/done.txt")));
    list.Request(Item(QStringLiteral("/new.txt")));
    EXPECT_FALSE(list.ClearIfIdle());
    EXPECT_EQ(CloudPaths(list), (QStringList{QStringLiteral("/done.txt"), QStringLiteral("/new.txt")}));
    OUT_UPLOAD_FILE taken;
    ASSERT_TRUE(list.requests.Fetch(taken));
    EXPECT_TRUE(list.ClearIfIdle());
    EXPECT_TRUE(list.Pending().empty());
}

TEST_F(OutUploadListTest, AThrottledSaveWritesOnceInTenSeconds) {
    list.Add(Item(QStringLiteral("/one")));
    ASSERT_TRUE(list.Save(true));
    EXPECT_EQ(Page(file), QStringLiteral("/src/f\t/one\t1\t1700000000\n\n"));
    list.Add(Item(QStringLiteral("/two")));
    ASSERT_TRUE(list.Save(true));
    EXPECT_TRUE(list.IsDirty());
    EXPECT_FALSE(Page(file).contains(QStringLiteral("/two")));
    QCClock::AdvanceForTests(QCOutUploadList::kSaveIntervalMs);
    ASSERT_TRUE(list.Save(true));
    EXPECT_FALSE(list.IsDirty());
    EXPECT_TRUE(Page(file).contains(QStringLiteral("/two")));

    // An empty list still writes one page with a line feed.
    list.Erase(QString());
    ASSERT_TRUE(list.Save(false));
    EXPECT_EQ(Page(file), QStringLiteral("\n"));
}

TEST_F(OutUploadListTest, AShorterSaveLeavesNoStalePageBehind) {
    Fill(3);
    ASSERT_TRUE(list.Save(false));
    qint64 generation = 0, pages = 0;
    Page(file, &generation, &pages);
    ASSERT_GE(pages, 3);
    ASSERT_EQ(PageFiles().size(), pages - 1);
    const size_t all = list.Pending().size();
    QCOutUploadList again;
    again.Load(file);
    EXPECT_EQ(again.Pending().size(), all);

    // Cancelling the bulk: one page remains and the cancelled entries do not come back.
    list.Erase(QStringLiteral("/bulk"));
    list.Add(Item(QStringLiteral("/kept")));
    ASSERT_TRUE(list.Save(false));
    EXPECT_EQ(PageFiles(), QStringList());
    again.Load(file);
    EXPECT_EQ(CloudPaths(again), QStringList{QStringLiteral("/kept")});
}

TEST_F(OutUploadListTest, PagesOfAnotherGenerationAreNotRead) {
    Fill(2);
    ASSERT_TRUE(list.Save(false));
    // A page 1 left by another save (its generation differs from page 0's) is not read.
    ASSERT_TRUE(PageFiles().contains(QStringLiteral("out.dat.1.1")));
    const QVector<uint> stray = QStringLiteral("/s\t/stray\t1\t1\n\n").toUcs4();
    ASSERT_TRUE(
        EncryptArchiveSave(file + QStringLiteral(".1.1"), stray.constData(), int(stray.size() * 4), 99, 2));
    QCOutUploadList again;
    again.Load(file);
    EXPECT_FALSE(CloudPaths(again).contains(QStringLiteral("/stray")));
    EXPECT_FALSE(again.Pending().empty());

    // Files of the older form (values 0) are read page after page as before.
    const QVector<uint> first = QStringLiteral("/s\t/p0\t1\t1\n\n").toUcs4();
    const QVector<uint> second = QStringLiteral("/s\t/p1\t2\t2\n\n").toUcs4();
    ASSERT_TRUE(EncryptArchiveSave(file, first.constData(), int(first.size() * 4), 0, 0));
    ASSERT_TRUE(
        EncryptArchiveSave(file + QStringLiteral(".1"), second.constData(), int(second.size() * 4), 0, 0));
    again.Load(file);
    EXPECT_EQ(CloudPaths(again), (QStringList{QStringLiteral("/p0"), QStringLiteral("/p1")}));
    // Their first save writes pages of its own name and then removes the older form's.
    again.Add(Item(QStringLiteral("/p2")));
    ASSERT_TRUE(again.Save(false));
    EXPECT_EQ(PageFiles(), QStringList());
    again.Load(file);
    EXPECT_EQ(CloudPaths(again),
              (QStringList{QStringLiteral("/p0"), QStringLiteral("/p1"), QStringLiteral("/p2")}));
}

} // namespace
