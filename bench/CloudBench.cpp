// The cloud fetch and comparison at scale, against the stand-in of the service: 100,000 nodes in
// pages of 2,000, a fifth of the files with synced local copies. Figures: wall times of the fetch
// and of the comparison, requests, peak RSS, journal rows per second beside raw sqlite3 inserts of
// the same rows in the same run, and an incremental cycle of 100 changes.
//
// A GoogleTest binary, as it drives the engine through the engine tests' fixture; run it by hand:
//   build/bench/bench_cloud
#include "support/EngineTestSupport.h"

#include "support/DebugCapture.h"

#include "Database/QCSyncDB.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sqlite3.h>
#include <sys/resource.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 999; // 100 + 99,900 = 100,000 nodes
constexpr int kLocalFolders = 20;    // folders whose files have synced local copies

long PeakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// The milliseconds a "[compare] ... in N ms" line reports.
long CompareMs(const DebugCapture& debug, const QString& prefix) {
    const QStringList lines = debug.lines(prefix);
    if (lines.isEmpty())
        return -1;
    const auto match = QRegularExpression(QStringLiteral(" in (\\d+) ms")).match(lines.last());
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}

// The same rows through prepared inserts in one transaction, into a table of the journal's shape.
double RawInsertsPerSecond(const std::map<QString, FILE_INFO>& rows) {
    QTemporaryDir dir;
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(dir.filePath(QStringLiteral("raw.db"))).constData(), &db) != SQLITE_OK)
        return 0;
    sqlite3_exec(db,
                 "create table file_journal(id INTEGER PRIMARY KEY AUTOINCREMENT,server_path TEXT NOT NULL,"
                 "path_hash TEXT UNIQUE NOT NULL,name TEXT NOT NULL,local_ver INTEGER,local_fj_hash TEXT,"
                 "local_size INTEGER,local_mtime INTEGER,local_ctime INTEGER,local_attrs INTEGER,local_dir "
                 "INTEGER,local_path TEXT,is_download INTEGER);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(
        db,
        "insert or replace into file_journal(server_path,path_hash,name,local_ver,local_fj_hash,"
        "local_size,local_mtime,local_ctime,local_attrs,local_dir,local_path,is_download) "
        "values(?,?,?,?,?,?,?,?,?,?,?,0)",
        -1, &insert, nullptr);
    QElapsedTimer timer;
    timer.start();
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    for (const auto& row : rows) {
        const QByteArray path = row.second.path.toUtf8();
        const QByteArray key = row.first.toUtf8();
        const QByteArray name = row.second.name.toUtf8();
        const QByteArray hash = row.second.file_hash.toUtf8();
        const QByteArray local = row.second.local_path.toUtf8();
        sqlite3_bind_text(insert, 1, path.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, key.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, name.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 4, row.second.version);
        sqlite3_bind_text(insert, 5, hash.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 6, sqlite3_int64(row.second.size));
        sqlite3_bind_int64(insert, 7, row.second.mtime);
        sqlite3_bind_int64(insert, 8, row.second.ctime);
        sqlite3_bind_int64(insert, 9, row.second.attrs);
        sqlite3_bind_int(insert, 10, row.second.is_dir ? 1 : 0);
        sqlite3_bind_text(insert, 11, local.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return double(rows.size()) / seconds;
}

class CloudBench : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
    }
};

TEST_F(CloudBench, HundredThousandNodes) {
    StandInTree& tree = api->tree();
    const QString folder = root + QStringLiteral("/E1");
    for (int f = 0; f < kFolders; ++f) {
        const std::string dir = "/d" + std::to_string(f);
        tree.addFolder(dir);
        QDir().mkpath(folder + QString::fromStdString(dir));
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const std::string path = dir + "/file " + std::to_string(i) + ".txt";
            if (f >= kLocalFolders) {
                tree.addFile(path, 100, std::string(40, 'e'));
                continue;
            }
            tree.addFileBytes(path, path);
            const QString local = folder + QString::fromStdString(path);
            QFile file(local);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(path.data(), qint64(path.size()));
            file.close();
            utimbuf times{time_t(kStandInTime), time_t(kStandInTime)};
            ::utime(QFile::encodeName(local).constData(), &times);
        }
    }
    ASSERT_EQ(tree.nodeCount(), unsigned(kFolders * (kFilesPerFolder + 1)));
    const long rssBefore = PeakRssMb();

    DebugCapture debug;
    QElapsedTimer timer;
    timer.start();
    LogIn();
    ASSERT_TRUE(WaitStatus(4, 600000));
    const qint64 totalMs = timer.elapsed();
    const long compareMs = CompareMs(debug, QStringLiteral("[compare] whole tree"));
    const size_t requests = standIn.requestCount();
    std::map<QString, FILE_INFO> journal;
    ASSERT_TRUE(QCSyncDB::GetAll(journal));
    // The comparison's own account of its journal batches: "[compare] journal: N rows in M ms".
    const auto batches = QRegularExpression(QStringLiteral("(\\d+) rows in (\\d+) ms"))
                             .match(debug.lines(QStringLiteral("[compare] journal")).value(0));
    const double journalMs = std::max(1.0, batches.captured(2).toDouble());
    const double rowsPerSecond = batches.captured(1).toDouble() * 1000.0 / journalMs;
    const double rawPerSecond = RawInsertsPerSecond(journal);

    std::printf("nodes %u, page %d, requests %zu\n", tree.nodeCount(), 2000, requests);
    std::printf("fetch %lld ms, comparison %ld ms (login to status 4: %lld ms)\n",
                static_cast<long long>(totalMs - compareMs), compareMs, static_cast<long long>(totalMs));
    std::printf("peak RSS %ld MB (%ld MB before the login, the stand-in's tree included)\n", PeakRssMb(),
                rssBefore);
    std::printf("journal rows %zu: %.0f rows/s in the comparison's batches, raw sqlite3 inserts %.0f rows/s "
                "(ratio %.2f)\n",
                journal.size(), rowsPerSecond, rawPerSecond,
                rawPerSecond > 0 ? rowsPerSecond / rawPerSecond : 0);

    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(tree.editFile("/d" + std::to_string(50 + i % 50) + "/file " + std::to_string(i) + ".txt",
                                  200, std::string(40, 'f'), kStandInTime + 10));
    receiver.Take();
    timer.restart();
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(WaitStatus(4, 600000));
    std::printf("incremental cycle of 100 changes: %lld ms from the refresh, comparison %ld ms, "
                "beside %ld ms for the whole tree\n",
                static_cast<long long>(timer.elapsed()),
                CompareMs(debug, QStringLiteral("[compare] changes")), compareMs);
}

} // namespace
