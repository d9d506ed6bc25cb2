// The sync database on one thread: schema, records, paths, version, transactions and failures.
#include "SyncDBTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/QCClock.h"

#include <QDir>
#include <QFile>

#include <map>
#include <vector>

namespace {

// --- Opening ---

TEST_F(SyncDBTest, FreshFileHoldsExactlyTheTwoTablesAndTwoIndexes) {
    Open();
    EXPECT_EQ(QCSyncDB::GetLastVer(), 0u);
    EXPECT_FALSE(QCSyncDB::IsTransacting());

    RawDb raw(DbPath());
    ASSERT_TRUE(raw.ok()) << raw.error().toStdString();
    // SQLite keeps the AUTOINCREMENT counter in its own sqlite_sequence table; that one is not ours.
    const QStringList schema =
        raw.Column(QStringLiteral("select type || ' ' || name || ': ' || sql from sqlite_master where name "
                                  "not like 'sqlite_%' order by rowid"));
    const QStringList expected = {
        QStringLiteral("table global: CREATE TABLE global(name TEXT, value TEXT)"),
        QStringLiteral("table file_journal: CREATE TABLE file_journal(id INTEGER PRIMARY KEY "
                       "AUTOINCREMENT,server_path TEXT NOT NULL,path_hash TEXT UNIQUE NOT NULL,name TEXT NOT "
                       "NULL,local_ver INTEGER,local_fj_hash TEXT,local_size INTEGER,local_mtime "
                       "INTEGER,local_ctime INTEGER,local_attrs INTEGER,local_dir INTEGER,local_path "
                       "TEXT,is_download INTEGER)"),
        QStringLiteral("index idx_path: CREATE INDEX idx_path ON file_journal (path_hash)"),
        QStringLiteral("index idx_hash: CREATE INDEX idx_hash ON file_journal (local_fj_hash)"),
    };
    // SQLite keeps each statement as given, apart from the upper-cased "CREATE TABLE".
    EXPECT_EQ(schema.join(QLatin1Char('\n')).toStdString(), expected.join(QLatin1Char('\n')).toStdString());
}

TEST_F(SyncDBTest, ExistingGlobalWithoutJournalGetsTheJournalAndKeepsTheVersion) {
    {
        RawDb raw(DbPath());
        ASSERT_TRUE(raw.Exec(QStringLiteral("create table global(name TEXT, value TEXT);"
                                            "insert into global values('ver', '42');")))
            << raw.error().toStdString();
    }
    Open();
    EXPECT_EQ(QCSyncDB::GetLastVer(), 42u);
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Number(QStringLiteral("select count(*) from sqlite_master where name in "
                                        "('file_journal','idx_path','idx_hash')")),
              3);
}

TEST_F(SyncDBTest, GlobalTableWithoutRowLeavesVersionZero) {
    {
        RawDb raw(DbPath());
        ASSERT_TRUE(raw.Exec(QStringLiteral("create table global(name TEXT, value TEXT);")))
            << raw.error().toStdString();
    }
    Open();
    EXPECT_EQ(QCSyncDB::GetLastVer(), 0u);
}

TEST_F(SyncDBTest, SecondInitFailsAndChangesNothing) {
    Open();
    ASSERT_TRUE(QCSyncDB::SetLastVer(9));
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    EXPECT_FALSE(QCSyncDB::Init());
    EXPECT_EQ(QCSyncDB::GetLastVer(), 9u);
    EXPECT_TRUE(QCSyncDB::IsTransacting());
    EXPECT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/still/works"))));
}

TEST_F(SyncDBTest, InitFailsTruthfullyAndLeavesTheDatabaseClosed) {
    struct Case {
        const char* label;
        QString path;
    };
    QFile garbage(m_dir.filePath(QStringLiteral("garbage.db")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly)) << garbage.errorString().toStdString();
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    const Case cases[] = {
        {"missing folder", m_dir.filePath(QStringLiteral("no/such/folder/filecache.db"))},
        {"not a database", garbage.fileName()},
        {"empty path", QString()},
    };
    for (const Case& c : cases) {
        g_Config.db_path = c.path;
        EXPECT_FALSE(QCSyncDB::Init()) << c.label;
        EXPECT_FALSE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/x")))) << c.label;
    }
    // The failed attempts left nothing behind that would stop a good one.
    g_Config.db_path = DbPath();
    Open();
    EXPECT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/x"))));
}

TEST_F(SyncDBTest, TablesThatCannotBeCreatedFailInit) {
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::Init());
    QCSyncDB::FailStepForTests(0);
    Open();
    // The retry built everything: table and indexes were not left half made.
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Number(QStringLiteral("select count(*) from sqlite_master where name not like 'sqlite_%'")),
              4);
}

TEST_F(SyncDBTest, OperationsOnAClosedDatabaseFailWithoutEffect) {
    FILE_INFO info = MakeRecord(QStringLiteral("/a"));
    std::vector<QString> paths;
    std::map<QString, FILE_INFO> map{{QStringLiteral("/old"), info}};
    EXPECT_FALSE(QCSyncDB::UpdateFileInfo(info));
    EXPECT_FALSE(QCSyncDB::GetFileInfo(info.path, info));
    EXPECT_FALSE(QCSyncDB::DeleteByPath(info.path));
    EXPECT_FALSE(QCSyncDB::GetAllPath(paths, QString()));
    EXPECT_FALSE(QCSyncDB::GetAll(map));
    EXPECT_TRUE(map.empty());
    map[QStringLiteral("/old")] = info;
    EXPECT_FALSE(QCSyncDB::GetFileInfos({info.path}, map));
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(QCSyncDB::UpdateFileInfos({}));
    EXPECT_FALSE(QCSyncDB::DeleteFolder(info.path));
    EXPECT_EQ(QCSyncDB::GetUsedSpace(), 0u);
    EXPECT_FALSE(QCSyncDB::BeginTransaction());
    EXPECT_TRUE(QCSyncDB::Commit());
    EXPECT_TRUE(QCSyncDB::Close());
}

// --- Records ---

struct RoundTripCase {
    const char* label;
    FILE_INFO record;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) {
    *os << c.label;
}

RoundTripCase ExtremeRecord() {
    FILE_INFO info = MakeRecord(QStringLiteral("/Team's files/it's \"quoted\"; drop table x;--.txt"), 3);
    info.size = 5ULL << 30;
    info.mtime = 0xFFFFFFF0U;
    info.ctime = 0xFFFFFFFFU;
    info.version = 0xFFFFFFFFU;
    info.attrs = 0xFFFFFFFFU;
    info.local_path = QStringLiteral("/home/o'brien/Sync/Team's files");
    info.is_dir = false;
    info.is_download = true;
    return {"apostrophes_5GiB_mtime_0xFFFFFFF0", info};
}

RoundTripCase UnicodeFolder() {
    FILE_INFO info = MakeRecord(QStringLiteral("/文档/报告 2024"), 4);
    info.is_dir = true;
    info.attrs = FILE_ATTR_DIRECTORY;
    info.size = 0;
    return {"unicode_folder", info};
}

RoundTripCase BareRecord() {
    // Only the path is set: name, hash and local path were never assigned (null texts).
    FILE_INFO info;
    info.path = QStringLiteral("/bare");
    return {"only_path_set", info};
}

class SyncDBRoundTrip : public SyncDBTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(SyncDBRoundTrip, RecordSurvivesWriteCloseAndRead) {
    Open();
    const FILE_INFO& written = GetParam().record;
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(written));
    ASSERT_TRUE(QCSyncDB::Close());
    Open();

    FILE_INFO read;
    read.nid = QStringLiteral("12345");
    read.percent = 77;
    ASSERT_TRUE(QCSyncDB::GetFileInfo(written.path, read));
    EXPECT_EQ(Journalled(written), Journalled(read));
    // Fields that are not journalled keep what the caller had.
    EXPECT_EQ(read.nid, QStringLiteral("12345"));
    EXPECT_EQ(read.percent, 77u);
}

INSTANTIATE_TEST_SUITE_P(Records, SyncDBRoundTrip,
                         ::testing::Values(ExtremeRecord(), UnicodeFolder(), BareRecord()),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(SyncDBTest, PathsDifferingOnlyInCaseShareOneRow) {
    Open();
    FILE_INFO first = MakeRecord(QStringLiteral("/Docs/Report.TXT"), 1);
    FILE_INFO second = MakeRecord(QStringLiteral("/docs/report.txt"), 2);
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(first));
    RawDb raw(DbPath());
    const qint64 id = raw.Number(QStringLiteral("select id from file_journal"));
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(second));

    EXPECT_EQ(JournalRows(), 1);
    EXPECT_EQ(raw.Number(QStringLiteral("select id from file_journal")), id)
        << "the update kept the row's id";
    FILE_INFO read;
    ASSERT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/DOCS/REPORT.txt"), read));
    EXPECT_EQ(Journalled(second), Journalled(read)) << "the row holds the last write, in its letter case";
}

TEST_F(SyncDBTest, MissingRowsAndDeletes) {
    Open();
    FILE_INFO untouched = MakeRecord(QStringLiteral("/keep"), 5);
    const FILE_INFO before = untouched;
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/nothing/here"), untouched));
    EXPECT_EQ(Journalled(before), Journalled(untouched));
    EXPECT_TRUE(QCSyncDB::DeleteByPath(QStringLiteral("/nothing/here")));

    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/gone"))));
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/stays"))));
    EXPECT_TRUE(QCSyncDB::DeleteByPath(QStringLiteral("/GONE")));
    FILE_INFO read;
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/gone"), read));
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/stays"), read));
}

TEST_F(SyncDBTest, ContentHashFindsTheEarliestCreatedRowAndIsCaseExact) {
    Open();
    FILE_INFO late = MakeRecord(QStringLiteral("/late"), 1);
    FILE_INFO early = MakeRecord(QStringLiteral("/early"), 2);
    late.file_hash = early.file_hash = QStringLiteral("abcdef0123");
    late.ctime = 2000;
    early.ctime = 1000;
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(late));
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(early));

    FILE_INFO read;
    ASSERT_TRUE(QCSyncDB::GetFileInfoByHash(QStringLiteral("abcdef0123"), read));
    EXPECT_EQ(read.path, QStringLiteral("/early"));
    EXPECT_FALSE(QCSyncDB::GetFileInfoByHash(QStringLiteral("ABCDEF0123"), read));
}

TEST_F(SyncDBTest, GetAllPathListsOnlyWhatLiesBelowTheFolder) {
    Open();
    for (const char* path : {"/a/x", "/A/B/y", "/A", "/AB/x", "/b/z"})
        ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QString::fromLatin1(path))));

    std::vector<QString> below;
    ASSERT_TRUE(QCSyncDB::GetAllPath(below, QStringLiteral("/A")));
    EXPECT_EQ(below, (std::vector<QString>{QStringLiteral("/a/x"), QStringLiteral("/A/B/y")}));

    std::vector<QString> withSlash;
    ASSERT_TRUE(QCSyncDB::GetAllPath(withSlash, QStringLiteral("/A/")));
    EXPECT_EQ(withSlash, below);

    std::vector<QString> all;
    ASSERT_TRUE(QCSyncDB::GetAllPath(all, QString()));
    ASSERT_TRUE(QCSyncDB::GetAllPath(all, QString()));
    EXPECT_EQ(all.size(), 10u) << "the list is appended to, never emptied";
}

TEST_F(SyncDBTest, GetAllKeysByLowerCasePathWithDefaultsElsewhere) {
    Open();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/Music/Song.MP3"), 2)));
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/notes"), 3)));
    std::map<QString, FILE_INFO> map{{QStringLiteral("/stale"), FILE_INFO()}};
    ASSERT_TRUE(QCSyncDB::GetAll(map));
    ASSERT_EQ(map.size(), 2u);
    ASSERT_EQ(map.count(QStringLiteral("/music/song.mp3")), 1u);
    const FILE_INFO& song = map[QStringLiteral("/music/song.mp3")];
    EXPECT_EQ(Journalled(MakeRecord(QStringLiteral("/Music/Song.MP3"), 2)), Journalled(song));
    EXPECT_TRUE(song.nid.isNull());
    EXPECT_EQ(song.file_status, 0u);
}

TEST_F(SyncDBTest, UsedSpaceSumsSizesBeyondFourGiB) {
    Open();
    EXPECT_EQ(QCSyncDB::GetUsedSpace(), 0u) << "empty table";
    FILE_INFO big = MakeRecord(QStringLiteral("/big"));
    big.size = 5ULL << 30;
    FILE_INFO small = MakeRecord(QStringLiteral("/small"));
    small.size = 3;
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(big));
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(small));
    EXPECT_EQ(QCSyncDB::GetUsedSpace(), (5ULL << 30) + 3);
}

// --- Version ---

TEST_F(SyncDBTest, LastVersionPersistsInOneRow) {
    Open();
    ASSERT_TRUE(QCSyncDB::SetLastVer(3));
    ASSERT_TRUE(QCSyncDB::SetLastVer(7));
    EXPECT_EQ(QCSyncDB::GetLastVer(), 7u);
    ASSERT_TRUE(QCSyncDB::Close());
    EXPECT_EQ(QCSyncDB::GetLastVer(), 0u);
    Open();
    EXPECT_EQ(QCSyncDB::GetLastVer(), 7u);
    RawDb raw(DbPath());
    EXPECT_EQ(raw.Column(QStringLiteral("select name || '=' || value from global")),
              QStringList{QStringLiteral("ver=7")});
}

TEST_F(SyncDBTest, FailedVersionStoreStillSetsTheVersionInMemory) {
    Open();
    ASSERT_TRUE(QCSyncDB::SetLastVer(5));
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::SetLastVer(6));
    EXPECT_EQ(QCSyncDB::GetLastVer(), 6u);
    ASSERT_TRUE(QCSyncDB::Close());
    Open();
    EXPECT_EQ(QCSyncDB::GetLastVer(), 5u);
}

// --- Failures reach the caller ---

TEST_F(SyncDBTest, FailedWritesAndReadsAreReported) {
    Open();
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/lost"))));
    EXPECT_EQ(JournalRows(), 0);
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/kept"))));

    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::DeleteByPath(QStringLiteral("/kept")));
    EXPECT_EQ(JournalRows(), 1);

    std::map<QString, FILE_INFO> map{{QStringLiteral("/old"), FILE_INFO()}};
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::GetAll(map));
    EXPECT_TRUE(map.empty()) << "the map is emptied even when the select fails";

    std::vector<QString> list{QStringLiteral("/x")};
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::GetAllPath(list, QString()));
    EXPECT_EQ(list.size(), 1u);
}

// --- Transactions ---

TEST_F(SyncDBTest, WritesOutsideATransactionAreStoredAtOnce) {
    Open();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/now"))));
    EXPECT_EQ(JournalRows(), 1);
}

TEST_F(SyncDBTest, TransactionHoldsWritesUntilCommit) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    EXPECT_TRUE(QCSyncDB::IsTransacting());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/batched"))));
    EXPECT_EQ(JournalRows(), 0) << "not yet committed";
    FILE_INFO read;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/batched"), read)) << "our own reads see it";
    ASSERT_TRUE(QCSyncDB::Commit());
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    EXPECT_EQ(JournalRows(), 1);
}

TEST_F(SyncDBTest, RollbackDropsTheTransactionsWrites) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/undone"))));
    EXPECT_TRUE(QCSyncDB::Rollback());
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    FILE_INFO read;
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/undone"), read));
}

TEST_F(SyncDBTest, CloseCommitsTheOpenTransaction) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/at/close"))));
    EXPECT_TRUE(QCSyncDB::Close());
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    EXPECT_EQ(JournalRows(), 1);
}

TEST_F(SyncDBTest, FailedCommitKeepsTheTransactionAndItsWrites) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/f%1").arg(i))));
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::Commit());
    EXPECT_TRUE(QCSyncDB::IsTransacting()) << "the connection still holds the transaction";
    EXPECT_TRUE(QCSyncDB::Commit()) << "the retry commits it";
    ASSERT_TRUE(QCSyncDB::Close());
    Open();
    std::map<QString, FILE_INFO> map;
    ASSERT_TRUE(QCSyncDB::GetAll(map));
    EXPECT_EQ(map.size(), 3u);
}

TEST_F(SyncDBTest, CloseThatCannotCommitSaysSo) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/doomed"))));
    QCSyncDB::FailStepForTests(2);
    EXPECT_FALSE(QCSyncDB::Close());
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    EXPECT_EQ(JournalRows(), 0);
}

TEST_F(SyncDBTest, FailedBeginLeavesWritesStoredOneByOne) {
    Open();
    QCSyncDB::FailStepForTests(1);
    EXPECT_FALSE(QCSyncDB::BeginTransaction());
    EXPECT_FALSE(QCSyncDB::IsTransacting());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/alone"))));
    EXPECT_EQ(JournalRows(), 1);
    EXPECT_TRUE(QCSyncDB::BeginTransaction());
}

// A reader of our own holds the file's shared lock, so SQLite itself refuses the commit (after
// its busy wait of a few seconds).
TEST_F(SyncDBTest, CommitRefusedByABusyFileIsRetriedLater) {
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/busy"))));
    RawDb reader(DbPath());
    ASSERT_TRUE(reader.Exec(QStringLiteral("begin; select count(*) from file_journal;")))
        << reader.error().toStdString();

    EXPECT_FALSE(QCSyncDB::Commit());
    EXPECT_TRUE(QCSyncDB::IsTransacting());

    ASSERT_TRUE(reader.Exec(QStringLiteral("commit;"))) << reader.error().toStdString();
    EXPECT_TRUE(QCSyncDB::Commit());
    EXPECT_EQ(JournalRows(), 1);
}

// The timed commit counts on the core's clock. The database thread looks at it after each job: of
// two operations, the second runs after the look that followed the first.
TEST_F(SyncDBTest, OpenTransactionIsCommittedEveryAutoSaveInterval) {
    struct ManualClock {
        ManualClock() { QCClock::UseManualForTests(); }
        ~ManualClock() { QCClock::UseSystemForTests(); }
    } clock;
    const auto afterTheTick = [] {
        FILE_INFO read;
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/timed"), read));
    };
    g_Config.auto_save_db = 1;
    Open();
    ASSERT_TRUE(QCSyncDB::BeginTransaction());
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/timed"))));
    QCClock::AdvanceForTests(999);
    afterTheTick();
    EXPECT_EQ(JournalRows(), 0) << "committed before the interval";
    QCClock::AdvanceForTests(1);
    afterTheTick();
    EXPECT_EQ(JournalRows(), 1) << "not committed after the interval";
    EXPECT_TRUE(QCSyncDB::IsTransacting()) << "a new transaction was begun";
    // The next interval counts from the new begin.
    ASSERT_TRUE(QCSyncDB::UpdateFileInfo(MakeRecord(QStringLiteral("/later"))));
    QCClock::AdvanceForTests(999);
    afterTheTick();
    EXPECT_EQ(JournalRows(), 1);
    QCClock::AdvanceForTests(1);
    afterTheTick();
    EXPECT_EQ(JournalRows(), 2);
}

} // namespace
