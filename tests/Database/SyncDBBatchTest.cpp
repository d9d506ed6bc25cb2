// The sync database's batches: folder prefixes and letter case, what a folder rename carries along,
// many rows in one batch, and failures that leave nothing written, inside the long transaction or
// outside it.
#include "SyncDBTestEnv.h"

#include "Database/QCSyncDB.h"

#include <QElapsedTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace {

std::vector<FILE_INFO> Records(const QStringList& paths) {
    std::vector<FILE_INFO> records;
    for (const QString& path : paths)
        records.push_back(MakeRecord(path, static_cast<quint32>(records.size() + 1)));
    return records;
}

// Every stored path, sorted; each must also be found by its own path (the row key follows it).
QString StoredPaths() {
    std::vector<QString> paths;
    if (!QCSyncDB::GetAllPath(paths, QString()))
        return QStringLiteral("<unreadable>");
    std::sort(paths.begin(), paths.end());
    QStringList out;
    for (const QString& path : paths) {
        FILE_INFO info;
        out << (QCSyncDB::GetFileInfo(path, info) ? path : path + QStringLiteral(" <key lost>"));
    }
    return out.join(QLatin1Char(' '));
}

// Every row, field by field, as QCSyncDB reads it (so also inside an uncommitted transaction).
std::string Dump() {
    std::map<QString, FILE_INFO> map;
    if (!QCSyncDB::GetAll(map))
        return "<unreadable>";
    std::string out;
    for (const auto& entry : map)
        out += Journalled(entry.second) + "\n--\n";
    return out;
}

// --- Folder prefixes, letter case and apostrophes ---

struct FolderCase {
    const char* label;
    std::function<bool()> run;
    bool ok;
    const char* after; // the stored paths afterwards, sorted
};

void PrintTo(const FolderCase& c, std::ostream* os) {
    *os << c.label;
}

const QStringList kTree = {QStringLiteral("/A"),
                           QStringLiteral("/A/x"),
                           QStringLiteral("/a/B/y"),
                           QStringLiteral("/AB"),
                           QStringLiteral("/AB/x"),
                           QStringLiteral("/b/A/z"),
                           QStringLiteral("/Team's/it's.txt")};
const char* const kWholeTree = "/A /A/x /AB /AB/x /Team's/it's.txt /a/B/y /b/A/z";

bool Rename(const char* from, const char* to) {
    return QCSyncDB::RenameFolder(QString::fromUtf8(from), QString::fromUtf8(to), QString(), QString());
}

class SyncDBFolderBatch : public SyncDBTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(SyncDBFolderBatch, TouchesExactlyTheFolderAndWhatLiesBelow) {
    Open();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfos(Records(kTree)));
    EXPECT_EQ(GetParam().run(), GetParam().ok);
    EXPECT_EQ(StoredPaths().toStdString(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Prefixes, SyncDBFolderBatch,
    ::testing::Values(
        FolderCase{"delete_folder_and_below", [] { return QCSyncDB::DeleteFolder(QStringLiteral("/A")); },
                   true, "/AB /AB/x /Team's/it's.txt /b/A/z"},
        FolderCase{"delete_other_case_trailing_slash",
                   [] { return QCSyncDB::DeleteFolder(QStringLiteral("/a/")); }, true,
                   "/AB /AB/x /Team's/it's.txt /b/A/z"},
        FolderCase{"delete_apostrophe", [] { return QCSyncDB::DeleteFolder(QStringLiteral("/team'S")); },
                   true, "/A /A/x /AB /AB/x /a/B/y /b/A/z"},
        FolderCase{"delete_missing_folder", [] { return QCSyncDB::DeleteFolder(QStringLiteral("/none")); },
                   true, kWholeTree},
        FolderCase{"delete_empty_refused", [] { return QCSyncDB::DeleteFolder(QString()); }, false,
                   kWholeTree},
        FolderCase{"delete_root_empties", [] { return QCSyncDB::DeleteFolder(QStringLiteral("/")); }, true,
                   ""},
        FolderCase{"rename_other_case", [] { return Rename("/a", "/C"); }, true,
                   "/AB /AB/x /C /C/B/y /C/x /Team's/it's.txt /b/A/z"},
        FolderCase{"rename_case_only", [] { return Rename("/A", "/a"); }, true,
                   "/AB /AB/x /Team's/it's.txt /a /a/B/y /a/x /b/A/z"},
        FolderCase{"rename_apostrophes", [] { return Rename("/Team's", "/O'Brien's"); }, true,
                   "/A /A/x /AB /AB/x /O'Brien's/it's.txt /a/B/y /b/A/z"},
        FolderCase{"rename_replaces_rows_at_target", [] { return Rename("/AB", "/b/A"); }, true,
                   "/A /A/x /Team's/it's.txt /a/B/y /b/A /b/A/x"},
        FolderCase{"rename_into_itself_refused", [] { return Rename("/A", "/a/B/new"); }, false, kWholeTree},
        FolderCase{"rename_onto_its_parent_refused", [] { return Rename("/a/B", "/A"); }, false, kWholeTree},
        FolderCase{"rename_root_refused", [] { return Rename("/", "/X"); }, false, kWholeTree},
        FolderCase{"rename_one_local_folder_refused",
                   [] {
                       return QCSyncDB::RenameFolder(QStringLiteral("/A"), QStringLiteral("/C"),
                                                     QStringLiteral("/home/user/Sync/A"), QString());
                   },
                   false, kWholeTree}),
    [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.label); });

// --- What a rename carries along ---

TEST_F(SyncDBTest, RenamedFolderKeepsContentAndMovesNameAndLocalPaths) {
    Open();
    std::vector<FILE_INFO> before =
        Records({QStringLiteral("/Docs"), QStringLiteral("/Docs/a.txt"), QStringLiteral("/Docs/Sub/b"),
                 QStringLiteral("/Docs/out.txt"), QStringLiteral("/Docsx/c")});
    before[0].is_dir = true;
    before[3].local_path = QStringLiteral("/tmp/out.txt"); // uploaded from outside the mirror folder
    ASSERT_TRUE(QCSyncDB::UpdateFileInfos(before));

    ASSERT_TRUE(QCSyncDB::RenameFolder(QStringLiteral("/docs"), QStringLiteral("/Papers"),
                                       QStringLiteral("/home/user/Sync/Docs"),
                                       QStringLiteral("/home/user/Sync/Papers/")));

    std::vector<FILE_INFO> expected = before;
    for (FILE_INFO& info : expected) {
        if (!info.path.startsWith(QLatin1String("/Docs/")) && info.path != QLatin1String("/Docs"))
            continue;
        info.path.replace(0, 5, QStringLiteral("/Papers"));
        if (info.local_path.startsWith(QLatin1String("/home/user/Sync/Docs")))
            info.local_path.replace(0, 20, QStringLiteral("/home/user/Sync/Papers"));
    }
    expected[0].name = QStringLiteral("Papers");
    std::vector<QString> paths;
    for (const FILE_INFO& info : expected)
        paths.push_back(info.path);
    std::map<QString, FILE_INFO> read;
    ASSERT_TRUE(QCSyncDB::GetFileInfos(paths, read));
    ASSERT_EQ(read.size(), expected.size());
    for (const FILE_INFO& info : expected)
        EXPECT_EQ(Journalled(read[info.path.toLower()]), Journalled(info));
    ASSERT_TRUE(QCSyncDB::GetFileInfos({QStringLiteral("/Docs"), QStringLiteral("/Docs/a.txt")}, read));
    EXPECT_TRUE(read.empty()) << "the old paths are gone";
}

// --- Many rows in one batch ---

TEST_F(SyncDBTest, ThousandsOfRowsWriteReadAndDeleteInOneBatchEach) {
    constexpr int kRows = 2000;
    Open();
    std::vector<FILE_INFO> records;
    std::vector<QString> upperPaths;
    for (int i = 0; i < kRows; ++i) {
        records.push_back(MakeRecord(QStringLiteral("/bulk/o'file %1").arg(i), i + 1));
        upperPaths.push_back(records.back().path.toUpper());
    }
    records.push_back(MakeRecord(QStringLiteral("/BULK/O'FILE 0"), 9999)); // a later record of one path wins
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfos(records));
    // Spaced per row, the batch would take at least 20 s.
    EXPECT_LT(timer.elapsed(), 10000) << "the spacing between queries was paid per row";
    EXPECT_EQ(JournalRows(), kRows);

    std::map<QString, FILE_INFO> read;
    upperPaths.push_back(QStringLiteral("/not/stored"));
    ASSERT_TRUE(QCSyncDB::GetFileInfos(upperPaths, read));
    ASSERT_EQ(read.size(), size_t(kRows));
    EXPECT_EQ(Journalled(read[QStringLiteral("/bulk/o'file 0")]), Journalled(records.back()));
    EXPECT_EQ(Journalled(read[QStringLiteral("/bulk/o'file 7")]), Journalled(records[7]));

    upperPaths.resize(kRows / 2);
    upperPaths.push_back(QStringLiteral("/not/stored"));
    ASSERT_TRUE(QCSyncDB::DeleteByPaths(upperPaths));
    EXPECT_EQ(JournalRows(), kRows / 2);
    ASSERT_TRUE(QCSyncDB::GetFileInfos(upperPaths, read));
    EXPECT_TRUE(read.empty());
    EXPECT_TRUE(QCSyncDB::UpdateFileInfos({}));
}

// --- Failures: all or nothing ---

struct FailingBatch {
    const char* label;
    std::function<bool()> run;
    bool inTransaction = false;
};

void PrintTo(const FailingBatch& c, std::ostream* os) {
    *os << c.label;
}

class SyncDBFailingBatch : public SyncDBTest, public ::testing::WithParamInterface<FailingBatch> {};

// Fails each step of the batch in turn (its begin, every row, its end) until the batch runs past the
// failure; every failed attempt must leave every row as it was.
TEST_P(SyncDBFailingBatch, FailureAtAnyStepLeavesNothingWritten) {
    Open();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfos(Records(
        {QStringLiteral("/f"), QStringLiteral("/f/1"), QStringLiteral("/f/2"), QStringLiteral("/keep")})));
    if (GetParam().inTransaction) {
        ASSERT_TRUE(QCSyncDB::BeginTransaction());
        ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/earlier"), 50)));
    }
    const std::string before = Dump();
    int failed = 0;
    for (; failed < 50; ++failed) {
        QCSyncDB::FailStepForTests(1, failed);
        if (GetParam().run())
            break;
        ASSERT_EQ(Dump(), before) << "failure at step " << failed;
        ASSERT_EQ(QCSyncDB::IsTransacting(), GetParam().inTransaction) << "failure at step " << failed;
    }
    QCSyncDB::FailStepForTests(0);
    EXPECT_GE(failed, 5) << "the begin, three rows and the end can each fail";
    EXPECT_NE(Dump(), before) << "the batch that ran past the failures was written";
    const std::string written = Dump();
    ASSERT_TRUE(QCSyncDB::Commit());
    ASSERT_TRUE(QCSyncDB::Close());
    Open();
    EXPECT_EQ(Dump(), written)
        << "what the batch wrote, and the transaction's earlier rows, reached the file";
}

std::vector<FailingBatch> FailingBatches() {
    const std::vector<FailingBatch> batches = {
        {"UpdateFileInfos",
         [] {
             return QCSyncDB::UpdateFileInfos(
                 Records({QStringLiteral("/n1"), QStringLiteral("/f/1"), QStringLiteral("/n2")}));
         }},
        {"DeleteByPaths",
         [] {
             return QCSyncDB::DeleteByPaths(
                 {QStringLiteral("/f/1"), QStringLiteral("/F/2"), QStringLiteral("/keep")});
         }},
        {"DeleteFolder", [] { return QCSyncDB::DeleteFolder(QStringLiteral("/F")); }},
        {"RenameFolder",
         [] {
             return QCSyncDB::RenameFolder(QStringLiteral("/f"), QStringLiteral("/g"),
                                           QStringLiteral("/home/user/Sync/f"),
                                           QStringLiteral("/home/user/Sync/g"));
         }},
    };
    std::vector<FailingBatch> cases;
    for (const FailingBatch& batch : batches) {
        cases.push_back({batch.label, batch.run, false});
        cases.push_back({batch.label, batch.run, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Batches, SyncDBFailingBatch, ::testing::ValuesIn(FailingBatches()),
                         [](const ::testing::TestParamInfo<FailingBatch>& info) {
                             return std::string(info.param.label) +
                                    (info.param.inTransaction ? "_InTransaction" : "_OnItsOwn");
                         });

} // namespace
