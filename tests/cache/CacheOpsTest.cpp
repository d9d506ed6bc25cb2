// The operations that change and list the index: results, what is left, and the notices sent.
#include "CacheTestSupport.h"

#include <functional>

namespace {

class OpsFixture : public CacheFixture {
public:
    bool Change(const char* path, int status, bool notify, bool insert, bool mid = false) {
        FILE_INFO f = Record(QString::fromUtf8(path), false);
        f.spare_flag = mid;
        return cache.Update(f.path, f, FILE_STATUS(status), notify, false, insert);
    }
    int Listed(bool ok, const std::vector<FileInfo>& out) {
        listed = Names(out);
        return ok ? int(out.size()) : -1;
    }
    QString listed;
};

struct OpsCase {
    const char* name;
    std::vector<Item> items;
    std::function<int(OpsFixture&)> act;
    int result;
    const char* after; // Dump() afterwards
    int updates = 0;   // update notices
    int deletes = 0;   // delete notices
    int kind3 = 0;     // upload entries reported to the transfer lists
    int failed = 0;    // failed-task entries
    const char* listed = "";
};

void PrintTo(const OpsCase& c, std::ostream* os) {
    *os << c.name;
}

class OpsTest : public OpsFixture, public ::testing::TestWithParam<OpsCase> {};

TEST_P(OpsTest, ResultStateAndNotices) {
    const OpsCase& c = GetParam();
    Put(c.items);
    EXPECT_EQ(c.act(*this), c.result);
    EXPECT_EQ(Dump(), QString::fromUtf8(c.after));
    EXPECT_EQ(host.Updates(), c.updates);
    EXPECT_EQ(host.Deletes(), c.deletes);
    EXPECT_EQ(int(host.Kind3().size()), c.kind3);
    EXPECT_EQ(int(host.Failed().size()), c.failed);
    EXPECT_EQ(listed, QString::fromUtf8(c.listed));
}

std::vector<FileInfo> g_out; // scratch of the listing rows; each row clears it first

const OpsCase kOps[] = {
    {"UpdateUnchangedSendsNothing",
     {{"/f", 9}},
     [](OpsFixture& t) { return int(t.Change("/f", 9, true, true)); },
     1,
     "/f=9"},
    {"UpdateNewWaitingFileWithoutInsert",
     {},
     [](OpsFixture& t) { return int(t.Change("/n", 9, true, false)); },
     0,
     "",
     1,
     0,
     1},
    {"UpdateOfficeTempSendsNoUpdate",
     {},
     [](OpsFixture& t) { return int(t.Change("/A1B2C3D4", 9, true, true)); },
     0,
     "/A1B2C3D4=9",
     0,
     0,
     1},
    {"UpdateErrorWithoutNotify",
     {{"/f", 2}},
     [](OpsFixture& t) { return int(t.Change("/f", 4, false, true)); },
     1,
     "/f=4",
     0,
     0,
     0,
     1},
    {"UpdateErrorTwiceFailsOnce",
     {},
     [](OpsFixture& t) { return int(t.Change("/f", 4, true, true)) + int(t.Change("/f", 4, true, true)); },
     1,
     "/f=4",
     1,
     0,
     0,
     1},
    {"UpdateErrorWithOtherMidFlagFailsAgain",
     {{"/f", 4}},
     [](OpsFixture& t) { return int(t.Change("/f", 4, true, true, true)); },
     1,
     "/f=4",
     1,
     0,
     0,
     1},
    {"ChangeStatusOfFolderToSynced",
     {{"/d", 5, true}, {"/d/a", 5, false, 10, 3}, {"/d/i", 1}, {"/e", 5}},
     [](OpsFixture& t) {
         const bool ok = t.cache.ChangeFileStatus(QStringLiteral("/d"), FILE_STATUS_SYNCED, false);
         const FileInfo a = t.Base("/d/a");
         return int(ok) + (a.percent == 100 && a.done_size == 10 ? 10 : 0);
     },
     11,
     "/d=2 /d/a=2 /d/i=1 /e=5",
     1},
    {"ChangeStatusSelfOnly",
     {{"/d", 5, true}, {"/d/a", 5}},
     [](OpsFixture& t) {
         return int(t.cache.ChangeFileStatus(QStringLiteral("/d"), FILE_STATUS_SYNCED, true));
     },
     1,
     "/d=2 /d/a=5",
     1},
    {"RenameMovesTheSubtree",
     {{"/a", 2, true}, {"/a/x", 2}, {"/a/e", 2, true}, {"/a/e/y", 3}, {"/f", 3}},
     [](OpsFixture& t) {
         return t.cache.Rename(QStringLiteral("/a"), QStringLiteral("/b")) +
                t.cache.Rename(QStringLiteral("/f"), QStringLiteral("/g"));
     },
     0,
     "/b/e=2 /b/e/y=3 /b/x=2",
     0,
     2},
    {"RenameKeepsWhatStandsAtTheNewPath",
     {{"/a", 2, true}, {"/a/x", 2}, {"/a/y", 3}, {"/b", 2, true}, {"/b/x", 11}},
     [](OpsFixture& t) { return t.cache.Rename(QStringLiteral("/a"), QStringLiteral("/b")); },
     1,
     "/b=2 /b/x=11 /b/y=3",
     0,
     1},
    {"RenameIntoItself",
     {{"/a", 2, true}, {"/a/x", 2}},
     [](OpsFixture& t) { return t.cache.Rename(QStringLiteral("/a"), QStringLiteral("/a/in")); },
     0,
     "/a/in/x=2",
     0,
     1},
    {"DeleteAbsentStillNotifies",
     {{"/a", 2}},
     [](OpsFixture& t) { return t.cache.Delete(QStringLiteral("/z"), true); },
     0,
     "/a=2",
     0,
     1},
    {"DeleteCountsVersionedItems",
     {{"/d", 2, true}, {"/d/a", 2, false, 0, 0, 3}, {"/d/b", 2}, {"/d x", 2}},
     [](OpsFixture& t) { return t.cache.Delete(QStringLiteral("/sync/d"), false); },
     2,
     "/d x=2",
     0,
     2},
    {"DeleteOtherCaseFolder",
     {{"/Docs", 2, true}, {"/docs x", 2}, {"/docs/a", 4}},
     [](OpsFixture& t) { return t.cache.Delete(QStringLiteral("/Docs"), true); },
     1,
     "/docs x=2",
     0,
     2},
    {"QueryOfTheRootListsTopLevel",
     {{"/a", 2, true}, {"/a/x", 3}, {"/a x", 2}, {"/b", 11}, {"/i", 1}},
     [](OpsFixture& t) { return t.Listed(t.cache.Query(QStringLiteral("/sync"), g_out = {}), g_out); },
     3,
     "/a=2 /a x=2 /a/x=3 /b=11 /i=1",
     0,
     0,
     0,
     0,
     "/a /a x /b"},
    {"QueryOfOtherCaseFolder",
     {{"/Docs", 2, true}, {"/docs x", 2}, {"/docs/a", 4}, {"/docs/e", 2, true}, {"/docs/e/f", 2}},
     [](OpsFixture& t) { return t.Listed(t.cache.Query(QStringLiteral("/Docs"), g_out = {}), g_out); },
     2,
     "/Docs=2 /docs x=2 /docs/a=4 /docs/e=2 /docs/e/f=2",
     0,
     0,
     0,
     0,
     "/docs/a /docs/e"},
    {"QueryOfEmptyPathFails",
     {{"/a", 2}},
     [](OpsFixture& t) { return t.Listed(t.cache.Query(QString(), g_out = {}), g_out); },
     -1,
     "/a=2"},
    {"QueryExtOfAbsentFolder",
     {{"/a", 2}},
     [](OpsFixture& t) {
         g_out = {FileInfo()};
         const int n = t.cache.QueryExt(QStringLiteral("/z"), false, g_out);
         return n * 10 + int(g_out.size());
     },
     0,
     "/a=2"},
    {"QueryExtOfEmptyPath",
     {{"/a", 2}},
     [](OpsFixture& t) { return t.cache.QueryExt(QString(), true, g_out); },
     -1,
     "/a=2"},
    {"QueryExtAllListsTheSubtree",
     {{"/d", 2, true}, {"/d/e", 2, true}, {"/d/e/f", 1}, {"/d/g", 4}},
     [](OpsFixture& t) {
         const int n = t.cache.QueryExt(QStringLiteral("/d"), true, g_out);
         t.listed = t.Names(g_out);
         return n;
     },
     3,
     "/d=2 /d/e=2 /d/e/f=1 /d/g=4",
     0,
     0,
     0,
     0,
     "/d/e /d/e/f /d/g"},
    {"ListOwnRootPathListsTopFolders",
     {{"/a", 2, true}, {"/a/x", 2, true}, {"/b", 2, true}, {"/c", 2}},
     [](OpsFixture& t) {
         QString out;
         const bool ok = t.cache.ListOwnRootPath(QStringLiteral("/"), out);
         t.listed = out;
         return int(ok) + int(t.cache.ListOwnRootPath(QStringLiteral("/a"), out));
     },
     1,
     "/a=2 /a/x=2 /b=2 /c=2",
     0,
     0,
     0,
     0,
     "/a|/b|"},
};

INSTANTIATE_TEST_SUITE_P(Cache, OpsTest, ::testing::ValuesIn(kOps),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

class SearchTest : public CacheFixture, public ::testing::Test {
public:
    // Files /s/f0000../s/fNNNN and one folder /s/fold, which every query below matches.
    void Fill(int files) {
        Put({"/s", 2, true});
        Put({"/s/fold", 2, true});
        for (int i = 0; i < files; ++i)
            Put({qPrintable(QStringLiteral("/s/f%1").arg(i, 5, 10, QLatin1Char('0'))), 2});
    }
    static QCCacheSearchMatch Containing(const char* text, bool keywords, bool oneChar) {
        const QString needle = QString::fromUtf8(text);
        return {[needle](const QString& path) { return GetOnlyFilename(path).contains(needle); }, keywords,
                oneChar};
    }
};

TEST_F(SearchTest, OneCharacterSearchStopsAtTheThousandthHitAcrossChunks) {
    Fill(QCCache::kSearchChunk + 100);
    std::vector<FileInfo> out;
    ASSERT_TRUE(cache.Search(out, Containing("f", true, true)));
    ASSERT_EQ(out.size(), size_t(QCCache::kOneCharHits));
    EXPECT_EQ(out.back().path, QStringLiteral("/sync/s/f00999")); // key order: /s/f00000.. before /s/fold
    out.clear();
    ASSERT_TRUE(cache.Search(out, Containing("f", true, false)));
    EXPECT_EQ(out.size(), size_t(QCCache::kSearchChunk + 100 + 1)); // every file and the folder
}

TEST_F(SearchTest, ExtensionSearchListsNoFoldersAndNoSharedRecords) {
    Fill(3);
    Put({"/s/.Nimboshare", 2, true});
    Put({"/s/.Nimboshare/f9", 2});
    std::vector<FileInfo> out;
    ASSERT_TRUE(cache.Search(out, Containing("f", false, false)));
    EXPECT_EQ(Names(out), QStringLiteral("/s/f00000 /s/f00001 /s/f00002"));
}

TEST_F(SearchTest, SearchPathLimitsHitsUnlessSearchingEverywhere) {
    Put({{"/a", 2, true}, {"/a/fx", 2}, {"/b", 2, true}, {"/b/fy", 2}});
    host.settings[QStringLiteral("searchpath")] = QStringLiteral("/sync/b");
    host.settings[QStringLiteral("SearchType")] = QStringLiteral("search_in");
    std::vector<FileInfo> out;
    cache.Search(out, Containing("f", false, false));
    EXPECT_EQ(Names(out), QStringLiteral("/b/fy"));
    host.settings[QStringLiteral("SearchType")] = QStringLiteral("search_al");
    out.clear();
    cache.Search(out, Containing("f", false, false));
    EXPECT_EQ(Names(out), QStringLiteral("/a/fx /b/fy"));
}

} // namespace
