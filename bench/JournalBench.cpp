// Journal writes per second (wall clock: the writes run on the database thread) inside the long
// transaction, one row per call (QCSyncDB::UpdateFileInfo) and in batches (QCSyncDB::UpdateFileInfos),
// beside raw sqlite3 prepared inserts of the same rows into the same table in one transaction.
// Run: build/bench/bench_journal
#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "RateReporter.h"
#include "common/FileInfo.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// UpdateFileInfo is paced by the connection manager's 10 ms spacing between queries, so a few
// hundred writes already give a steady rate. The batches and the raw inserts write the same rows.
constexpr int kJournalWrites = 300;
constexpr int kBatchRows = 1000;
constexpr int kBatches = 100;
constexpr int kRawInserts = kBatchRows * kBatches;

QString g_dir;

struct Row {
    FILE_INFO info;
    QString pathHash;
};

std::vector<Row> MakeRows(int count) {
    std::vector<Row> rows(count);
    for (int i = 0; i < count; ++i) {
        FILE_INFO& info = rows[i].info;
        info.name = QStringLiteral("file %1.txt").arg(i);
        info.path = QStringLiteral("/Bench/folder %1/").arg(i / 100) + info.name;
        info.size = 4096ULL * (i + 1);
        info.mtime = 1600000000U + i;
        info.ctime = 1500000000U + i;
        info.attrs = FILE_ATTR_NORMAL;
        info.version = i;
        info.file_hash = QStringLiteral("%1").arg(i, 40, 16, QLatin1Char('0'));
        info.local_path = QStringLiteral("/home/user/Sync") + info.path;
        rows[i].pathHash = QCSyncDB::GetPathHash(info.path);
    }
    return rows;
}

void BM_UpdateFileInfoInTransaction(benchmark::State& state) {
    const std::vector<Row> rows = MakeRows(kJournalWrites);
    g_Config.db_path = g_dir + QStringLiteral("/filecache.db");
    if (!QCSyncDB::Init() || !QCSyncDB::BeginTransaction()) {
        state.SkipWithError("cannot open the journal");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        if (!QCSyncDB::UpdateFileInfo(rows[i++ % rows.size()].info))
            state.SkipWithError("UpdateFileInfo failed");
    }
    QCSyncDB::Commit();
    QCSyncDB::Close();
    state.counters["writes_per_second"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_UpdateFileInfosInTransaction(benchmark::State& state) {
    std::vector<std::vector<FILE_INFO>> batches(kBatches);
    {
        const std::vector<Row> rows = MakeRows(kRawInserts);
        for (int i = 0; i < kRawInserts; ++i)
            batches[i / kBatchRows].push_back(rows[i].info);
    }
    g_Config.db_path = g_dir + QStringLiteral("/batches.db");
    if (!QCSyncDB::Init() || !QCSyncDB::BeginTransaction()) {
        state.SkipWithError("cannot open the journal");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        if (!QCSyncDB::UpdateFileInfos(batches[i++]))
            state.SkipWithError("UpdateFileInfos failed");
    }
    QCSyncDB::Commit();
    QCSyncDB::Close();
    state.counters["writes_per_second"] =
        benchmark::Counter(double(state.iterations()) * kBatchRows, benchmark::Counter::kIsRate);
}

void BindText(sqlite3_stmt* statement, int index, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(statement, index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
}

void BM_RawSqliteInsertsInTransaction(benchmark::State& state) {
    const std::vector<Row> rows = MakeRows(kRawInserts);
    const QByteArray file = (g_dir + QStringLiteral("/raw.db")).toUtf8();
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    const char* schema =
        "create table file_journal(id INTEGER PRIMARY KEY AUTOINCREMENT,server_path TEXT NOT NULL,path_hash "
        "TEXT UNIQUE NOT NULL,name TEXT NOT NULL,local_ver INTEGER,local_fj_hash TEXT,local_size "
        "INTEGER,local_mtime INTEGER,local_ctime INTEGER,local_attrs INTEGER,local_dir INTEGER,local_path "
        "TEXT,is_download INTEGER);"
        "CREATE INDEX idx_path ON file_journal (path_hash);"
        "CREATE INDEX idx_hash ON file_journal (local_fj_hash);";
    const char* sql =
        "insert into file_journal(name,server_path,path_hash,local_ver,local_fj_hash,local_size,"
        "local_mtime,local_ctime,local_attrs,local_dir,local_path,is_download) values "
        "(?,?,?,?,?,?,?,?,?,?,?,?);";
    if (sqlite3_open(file.constData(), &db) != SQLITE_OK ||
        sqlite3_exec(db, schema, nullptr, nullptr, nullptr) ||
        sqlite3_prepare_v2(db, sql, -1, &insert, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "begin;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_finalize(insert);
        sqlite3_close(db);
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        const Row& row = rows[i++];
        const FILE_INFO& info = row.info;
        BindText(insert, 1, info.name);
        BindText(insert, 2, info.path);
        BindText(insert, 3, row.pathHash);
        sqlite3_bind_int64(insert, 4, info.version);
        BindText(insert, 5, info.file_hash);
        sqlite3_bind_int64(insert, 6, static_cast<sqlite3_int64>(info.size));
        sqlite3_bind_int64(insert, 7, info.mtime);
        sqlite3_bind_int64(insert, 8, info.ctime);
        sqlite3_bind_int64(insert, 9, info.attrs);
        sqlite3_bind_int(insert, 10, info.is_dir ? 1 : 0);
        BindText(insert, 11, info.local_path);
        sqlite3_bind_int(insert, 12, info.is_download ? 1 : 0);
        if (sqlite3_step(insert) != SQLITE_DONE)
            state.SkipWithError(sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "commit;", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.counters["writes_per_second"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_UpdateFileInfoInTransaction)
    ->Iterations(kJournalWrites)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateFileInfosInTransaction)
    ->Iterations(kBatches)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteInsertsInTransaction)
    ->Iterations(kRawInserts)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void PrintRatio(const RateReporter& reporter) {
    const double single = reporter.Rate("BM_UpdateFileInfoInTransaction");
    const double batch = reporter.Rate("BM_UpdateFileInfosInTransaction");
    const double raw = reporter.Rate("BM_RawSqliteInsertsInTransaction");
    if (single <= 0 || batch <= 0 || raw <= 0)
        return;
    std::printf("raw sqlite3 inserts: %.0f writes/s\n", raw);
    std::printf("UpdateFileInfo, one row per call: %.0f writes/s, ratio %.4f\n", single, single / raw);
    std::printf("UpdateFileInfos, %d rows per batch: %.0f writes/s, ratio %.3f\n", kBatchRows, batch,
                batch / raw);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    g_dir = dir.path();
    RateReporter reporter("writes_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio(reporter);
    benchmark::Shutdown();
    return 0;
}
