// The folder roll-up and the key rules: status, percent and counts of a folder from its subtree.
#include "CacheTestSupport.h"

#include <random>

namespace {

struct RollUpCase {
    const char* name;
    std::vector<Item> items;
    const char* key;
    quint32 status;
    quint32 percent;
    quint32 files = 0;
    quint32 dirs = 0;
    quint64 size = 0;
    int uiStatus = 5;     // the engine's status as the user interface sees it
    bool oldPass = false; // the items were stored in an earlier pass
};

void PrintTo(const RollUpCase& c, std::ostream* os) {
    *os << c.name;
}

class RollUpTest : public CacheFixture, public ::testing::TestWithParam<RollUpCase> {};

TEST_P(RollUpTest, FolderFromSubtree) {
    const RollUpCase& c = GetParam();
    Put(c.items);
    host.uiStatus = c.uiStatus;
    if (c.oldPass)
        host.pass = 2;
    FileInfo out;
    ASSERT_TRUE(cache.GetFileInfoProgressByPathKey(QString::fromUtf8(c.key), out));
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.percent, c.percent);
    if (out.is_dir) {
        EXPECT_EQ(out.file_count, c.files);
        EXPECT_EQ(out.dir_count, c.dirs);
        EXPECT_EQ(out.size, c.size);
        // Written back, so that plain reads and listings see it.
        const FileInfo stored = Base(c.key);
        EXPECT_EQ(stored.status, c.status);
        EXPECT_EQ(stored.percent, c.percent);
    }
}

const RollUpCase kRollUps[] = {
    {"EmptyFileHasNoPercent", {{"/f", 5, false, 0, 7}}, "/f", 5, 0},
    {"FilePercentFromBytesDone", {{"/f", 5, false, 200, 50}}, "/f", 5, 25},
    {"ErrorWinsOverUpload", {{"/d", 2, true}, {"/d/a", 4}, {"/d/b", 3}}, "/d", 4, 0, 2},
    {"LaterOfUpAndDownWins", {{"/d", 2, true}, {"/d/a", 3}, {"/d/b", 10}}, "/d", 5, 0, 2},
    {"LaterOfDownAndUpWins", {{"/d", 2, true}, {"/d/a", 10}, {"/d/b", 3}}, "/d", 3, 0, 2},
    {"NotDownWithSyncedFilesIsSynced", {{"/d", 11, true}, {"/d/a", 2, false, 4}}, "/d", 2, 100, 1, 0, 4},
    {"NotDownWithoutFilesStays", {{"/d", 11, true}, {"/d/e", 2, true}}, "/d", 11, 0, 0, 1},
    {"DownloadingWithoutDownloadsIsNotDown", {{"/d", 5, true}, {"/d/a", 11}}, "/d", 11, 0, 1},
    {"EmptyUploadingFolderWhileSyncing", {{"/d", 3, true}}, "/d", 3, 0, 0, 0, 0, 5},
    {"EmptyUploadingFolderWhenDone", {{"/d", 3, true}}, "/d", 2, 100, 0, 0, 0, 6},
    {"UploadingSubFolderKeepsParentUploading",
     {{"/d", 2, true}, {"/d/e", 3, true}, {"/d/e/f", 3, true}},
     "/d",
     3,
     0,
     0,
     2},
    {"UploadingSubFoldersEndWhenDone",
     {{"/d", 2, true}, {"/d/e", 3, true}, {"/d/e/f", 3, true}},
     "/d",
     2,
     100,
     0,
     2,
     0,
     6},
    {"SyncedSubFolderEndsParentUpload",
     {{"/d", 2, true}, {"/d/e", 3, true}, {"/d/e/x", 2}},
     "/d",
     2,
     100,
     1,
     1},
    {"SharedRecordsCountForStatusOnly",
     {{"/d", 2, true},
      {"/d/.Nimboshare", 2, true},
      {"/d/.Nimboshare/x", 4, false, 10},
      {"/d/y", 2, false, 5}},
     "/d",
     4,
     33,
     1,
     0,
     5},
    {"PercentOverCurrentPass",
     {{"/d", 2, true}, {"/d/a", 5, false, 100, 25}, {"/d/b", 2, false, 100}},
     "/d",
     5,
     62,
     2,
     0,
     200},
    {"OldPassSyncedShowsFull", {{"/d", 2, true}, {"/d/a", 2, false, 10}}, "/d", 2, 100, 1, 0, 10, 5, true},
    {"OldPassPendingShowsNothing", {{"/d", 2, true}, {"/d/a", 4, false, 10}}, "/d", 4, 0, 1, 0, 10, 5, true},
    {"BlankSiblingDoesNotEndTheWalk", {{"/a", 2, true}, {"/a b", 4}, {"/a/x", 3}}, "/a", 3, 0, 1},
    {"OtherCaseSiblingDoesNotEndTheWalk",
     {{"/Docs", 2, true}, {"/docs x", 2}, {"/docs/a", 4}},
     "/Docs",
     4,
     0,
     1},
};

INSTANTIATE_TEST_SUITE_P(Cache, RollUpTest, ::testing::ValuesIn(kRollUps),
                         [](const auto& info) { return std::string(info.param.name); });

class KeyTest : public CacheFixture, public ::testing::Test {};

TEST_F(KeyTest, TrailingSlashAndLetterCaseMakeOneKey) {
    Put({{"/a", 2, true}, {"/A/", 4, true}, {"/sync/a/x/", 2}});
    EXPECT_EQ(Dump(), QStringLiteral("/a=4 /a/x=2"));
    EXPECT_EQ(cache.MakePathIndex(QStringLiteral("/sync")), QString());
    EXPECT_TRUE(QCCache::IsRootPath(QStringLiteral("\\")));
}

TEST_F(KeyTest, RootOfAnEmptyIndexIsAnEmptyFolderAtTheSyncFolder) {
    FileInfo out;
    out.status = 9;
    ASSERT_TRUE(cache.GetFileInfoProgress(QStringLiteral("/sync"), out));
    EXPECT_EQ(out.path, QStringLiteral("/sync"));
    EXPECT_TRUE(out.is_dir);
    EXPECT_EQ(out.status, 0u);
    FileInfo file;
    EXPECT_FALSE(cache.GetFileInfoProgress(QStringLiteral("/missing"), file));
}

TEST_F(KeyTest, RootCountsTheWholeTree) {
    Put({{"/a", 2, true}, {"/a/x", 2, false, 3}, {"/b", 5, false, 4}});
    FileInfo out;
    ASSERT_TRUE(cache.GetFileInfoProgressByPathKey(QString(), out));
    EXPECT_EQ(out.path, QStringLiteral("/sync"));
    EXPECT_EQ(out.status, 5u);
    EXPECT_EQ(out.file_count, 2u);
    EXPECT_EQ(out.dir_count, 1u);
    EXPECT_EQ(out.size, 7u);
}

TEST_F(KeyTest, QuickFolderStatusIsTheFirstPendingOne) {
    Put({{"/d", 2, true}, {"/d/a", 11}, {"/d/b", 4}, {"/d/c", 3}, {"/n", 2, true}, {"/n/a", 11}});
    FileInfo out;
    ASSERT_TRUE(cache.GetFileinfo(QStringLiteral("/sync/d"), out));
    EXPECT_EQ(out.status, 4u);
    EXPECT_EQ(out.path, QStringLiteral("/sync/d"));
    ASSERT_TRUE(cache.GetFileinfo(QStringLiteral("/n"), out));
    EXPECT_EQ(out.status, 11u);
    ASSERT_TRUE(cache.GetFileinfo(QStringLiteral("/sync/.Nimbocache/x"), out));
    EXPECT_EQ(out.status, 1u);
}

TEST_F(KeyTest, RecordsReadBackWhole) {
    FILE_INFO f = Record(QStringLiteral("/f"), false, 9);
    f.file_hash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    f.qid = QStringLiteral("42");
    f.nid = QStringLiteral("77");
    f.is_sync = f.spare_flag = true;
    f.mtime = 1700000000;
    cache.Update(f.path, f, FILE_STATUS_ERR, false, false, true);
    cache.SetError(f.path, 5, 31);
    f.file_hash = QStringLiteral("ABC"); // not a SHA-1 text: kept as it is
    cache.Update(QStringLiteral("/g"), f, FILE_STATUS_ERR, false, false, true);

    const FileInfo a = Base("/f");
    EXPECT_EQ(a.file_hash, QByteArray("0123456789abcdef0123456789abcdef01234567"));
    EXPECT_EQ(a.qid, QByteArray("42"));
    EXPECT_EQ(a.nid, 77u);
    EXPECT_TRUE(a.is_sync && a.spare_flag);
    EXPECT_EQ(a.mtime, 1700000000u);
    EXPECT_EQ(a.error_code, 5);
    EXPECT_EQ(a.error_type, 31);
    EXPECT_EQ(a.base_status, 4u);
    EXPECT_EQ(Base("/g").file_hash, QByteArray("ABC"));
    // A failure stored with its error: the notice carries both, and a later failure's new error
    // is noticed too.
    host.ClearRecords();
    cache.Update(QStringLiteral("/h"), f, FILE_STATUS_ERR, true, false, true, 3008, 10);
    cache.Update(QStringLiteral("/h"), f, FILE_STATUS_ERR, true, false, true, 0, 23);
    const std::vector<FakeCacheHost::Notice> notices = host.Notices();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].record.error_code, 3008);
    EXPECT_EQ(notices[0].record.error_type, 10);
    EXPECT_EQ(notices[1].record.error_type, 23);
    FileInfo byNid;
    ASSERT_TRUE(cache.GetFileinfoByNid(QStringLiteral("77"), byNid));
    EXPECT_EQ(byNid.path, QStringLiteral("/sync/f"));
    EXPECT_FALSE(cache.GetFileinfoByNid(QStringLiteral("x"), byNid));
}

} // namespace

namespace {

// The index's faster order must be PathIndex's order exactly, also for letters whose folding is
// another letter (the Kelvin sign, the long s) and for surrogate pairs that fold as a whole.
TEST(KeyOrderTest, AgreesWithPathIndexOrder) {
    const QStringList tokens = {QStringLiteral("a"),
                                QStringLiteral("A"),
                                QStringLiteral("k"),
                                QStringLiteral("\u212A"),
                                QStringLiteral("s"),
                                QStringLiteral("\u017F"),
                                QStringLiteral("/"),
                                QStringLiteral(" "),
                                QString::fromUcs4(U"\U00010400"),
                                QString::fromUcs4(U"\U00010428")};
    std::mt19937 rng(7);
    QCCacheKeyOrder order;
    for (int i = 0; i < 20000; ++i) {
        QString x = QStringLiteral("/same/prefix/");
        QString y = x;
        for (QString* s : {&x, &y})
            for (int n = int(rng() % 4); n > 0; --n)
                *s += tokens[int(rng() % uint(tokens.size()))];
        ASSERT_EQ(order(x, y), PathIndex(x) < PathIndex(y)) << x.toStdString() << " | " << y.toStdString();
    }
}

} // namespace
