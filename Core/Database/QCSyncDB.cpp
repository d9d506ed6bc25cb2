// The sync database: the file journal "filecache.db" of one account and enterprise.
//
// Invariants
// 1. While the database is open, one SQLite connection exists and only the database thread (a
//    QCDbThread that Init starts and Close ends) uses it. Every operation, whatever thread calls
//    it, is handed to that thread and its caller waits for the result. So the connection never
//    leaves the thread that made it (Qt's rule), this process has a single writer (SQLite's rule:
//    no write of ours can meet another of ours holding the lock), and every read sees every
//    earlier write, committed or not.
// 2. There is at most one transaction, and it lives on that connection whichever thread began it.
//    Writes from any thread made while it is open are part of it; a Commit from any thread ends
//    that same transaction, so none is ever left open while the state says none.
// 3. trans_open says whether the connection is inside a transaction. After a failed begin, commit
//    or rollback it is read back from the connection itself (sqlite3_get_autocommit), never
//    assumed: a commit that failed with the transaction kept (a busy file) leaves it open with all
//    its writes, and the next Commit, the timed commit or Close tries again. Close rolls back only
//    after a second failed commit, and says so in its result.
// 4. A journal write is one statement (UpdateFileInfo is an upsert on path_hash): no caller can
//    slip in between a look-up and a write. Every value is a bound parameter.
// 5. A batch is one job under one query handle, so the manager's spacing is paid once per batch.
//    It writes all its rows or none: it runs inside a savepoint ("journal_batch"), which inside
//    the long transaction is nested in it and outside is a transaction of its own; a failed step
//    rolls back to the savepoint and releases it, and trans_open is then read back from the
//    connection as in 3.
// 6. The manager never leaves this file: a statement on another thread would open a second
//    connection, outside the transaction and colliding with its write lock.
// 7. Close returns only once the database thread has ended completely (QCDbThread::Stop joins
//    it), so a process that exits right after Close never tears down OpenSSL or the heap under a
//    thread that is still ending.
//
// States: closed (no thread, no manager) --Init--> open --BeginTransaction--> in transaction
// --Commit/Rollback--> open --Close--> closed (Close commits first). A failed Init leaves it closed.
// While in transaction the database thread's tick commits and begins again every
// g_Config.auto_save_db seconds (0: never), counted from the begin.
//
// Locks: g_life is held shared by every operation for its whole call and exclusively by Init and
// Close, so the thread and the manager never change under a running operation; operations that
// arrive while Close waits for it fail at once instead of queueing before Close. The transaction
// fields belong to the database thread alone; g_transOpen mirrors trans_open for IsTransacting on
// other threads, and stays set across the timed commit and its new begin. The timed commit counts
// on the core's clock (QCClock), so that a test advances it instead of waiting.
#include "Database/QCSyncDB.h"

#include "Database/QCDbThread.h"
#include "Database/QCGlobalConfig.h"
#include "Database/QCMutiThreadDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/QCClock.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

using QCMutiThreadDB::ConnectNode;
using QCMutiThreadDB::Control;
using QCMutiThreadDB::Query;

namespace {

const QString kCreateGlobal = QStringLiteral("create table global(name TEXT, value TEXT);");
const QString kCreateJournal = QStringLiteral(
    "create table file_journal(id INTEGER PRIMARY KEY AUTOINCREMENT,server_path TEXT NOT NULL,path_hash "
    "TEXT UNIQUE NOT NULL,name TEXT NOT NULL,local_ver INTEGER,local_fj_hash TEXT,local_size "
    "INTEGER,local_mtime INTEGER,local_ctime INTEGER,local_attrs INTEGER,local_dir INTEGER,local_path "
    "TEXT,is_download INTEGER);");
const QString kCreateIndexPath = QStringLiteral("CREATE INDEX idx_path ON file_journal (path_hash);");
const QString kCreateIndexHash = QStringLiteral("CREATE INDEX idx_hash ON file_journal (local_fj_hash);");

const QString kSelectByPath = QStringLiteral("select * from file_journal where path_hash = :hash;");
const QString kSelectByHash = QStringLiteral(
    "select * from file_journal where local_fj_hash = :fhash ORDER BY local_ctime ASC LIMIT 1;");
const QString kDeleteByPath = QStringLiteral("delete from file_journal where path_hash = :path;");
// The insert of a new row that turns into the update of the existing one when the path hash is
// taken: one statement, so two writers of one path cannot both insert. id and path_hash stay.
const QString kUpsert = QStringLiteral(
    "insert into file_journal(name,server_path,path_hash,local_ver,local_fj_hash,local_size,local_mtime,"
    "local_ctime,local_attrs,local_dir,local_path,is_download) values "
    "(:name,:spath,:phash,:ver,:fhash,:fsize,:mtime,:ctime,:attrs,:dir,:lpath,:down) "
    "on conflict(path_hash) do update set name = excluded.name,server_path = excluded.server_path,"
    "local_size = excluded.local_size,local_ver = excluded.local_ver,local_ctime = excluded.local_ctime,"
    "local_mtime = excluded.local_mtime,local_attrs = excluded.local_attrs,local_fj_hash = "
    "excluded.local_fj_hash,local_dir = excluded.local_dir,local_path = excluded.local_path,is_download = "
    "excluded.is_download;");
const QString kSelectAllPaths = QStringLiteral("select server_path from file_journal;");
const QString kSelectAll = QStringLiteral("select * from file_journal;");
const QString kSumSizes = QStringLiteral("select sum(local_size) as all_size from file_journal;");

// Batches (see the header): a savepoint, inside the long transaction or as a transaction of its own.
const QString kBatchBegin = QStringLiteral("savepoint journal_batch;");
const QString kBatchEnd = QStringLiteral("release journal_batch;");
const QString kBatchUndo = QStringLiteral("rollback to journal_batch;");
const QString kSelectRows = QStringLiteral("select id,server_path,name,local_path from file_journal;");
const QString kDeleteById = QStringLiteral("delete from file_journal where id = :id;");
const QString kMoveRow = QStringLiteral(
    "update file_journal set server_path = :spath,path_hash = :phash,name = :name,local_path = :lpath "
    "where id = :id;");

const QString kSelectGlobal = QStringLiteral("select * from global;");
const QString kSelectVersionRow = QStringLiteral("select * from global where name = 'ver';");
const QString kInsertVersion = QStringLiteral("insert into global values('ver', :ver);");
const QString kUpdateVersion = QStringLiteral("update global set value = :ver where name = 'ver';");

// A statement that always fails in SQLite itself, run in place of the real one when a test
// injects a failure, so the failure takes the same road (and leaves the same kind of error).
const QString kInjectedFailure = QStringLiteral("select * from injected_failure_for_tests;");

// --- Lifetime (see the design note) ---
std::shared_mutex g_life;
std::unique_ptr<QCDbThread> g_thread; // guarded by g_life; set while open
std::shared_ptr<Control> spSyncDB;    // database thread; replaced only while g_life is held exclusively
std::atomic<quint32> version{0};      // any thread
std::atomic<bool> g_transOpen{false}; // any thread; mirror of trans_open
// Test hook: steps to let pass, then steps to fail.
std::mutex g_failMutex;
int g_failAfter = 0; // guarded by g_failMutex
int g_failCount = 0; // guarded by g_failMutex
// The SYNC_ERROR kind of the first write that failed since the engine last took it; 0: none.
std::atomic<int> g_writeFailure{0};
// Set while Close waits for g_life: operations then stay away from the lock (and fail as on a
// closed database), so a stream of them cannot keep Close waiting for ever.
std::atomic<bool> g_closing{false};

// --- Database thread only ---
bool trans_open = false;   // the connection holds a transaction
qint64 trans_begin = 0;    // ms on the core's clock when the open transaction began
qint64 auto_save_from = 0; // ms on the core's clock from which the next timed commit is counted

bool mirror_held = false;  // set while the timed commit ends and begins again

void SetTransOpen(bool open) {
    trans_open = open;
    if (!mirror_held)
        g_transOpen.store(open);
}

bool TakeInjectedFailure() {
    std::lock_guard<std::mutex> lock(g_failMutex);
    if (g_failCount <= 0)
        return false;
    if (g_failAfter > 0) {
        --g_failAfter;
        return false;
    }
    --g_failCount;
    return true;
}

QSqlError InjectedError() {
    return QSqlError(QStringLiteral("injected failure"), QStringLiteral("injected failure"),
                     QSqlError::TransactionError, QStringLiteral("-1"));
}

QByteArray Utf8(const QString& text) {
    return text.toUtf8();
}

// A write that did not reach the journal: a full disk is DiskFull, any other failure DiskWrite.
void NoteWriteFailure(const QSqlError& error) {
    const int code = error.nativeErrorCode().toInt() & 0xff; // the primary result code
    int none = 0;
    g_writeFailure.compare_exchange_strong(none, code == SQLITE_FULL ? SYNC_ERROR::DiskFull : SYNC_ERROR::DiskWrite);
}

// "<type>, err:<native code>, text:<text>" lines of a failed statement.
void ErrorLine(const char* format, const QSqlError& error) {
    CoreDebug(format, static_cast<int>(error.type()), Utf8(error.nativeErrorCode()).constData(),
              Utf8(error.text()).constData());
}

// "<type>, num:<native number>, db:<driver text>, text:<text>" lines of a failed transaction step.
void TransactionErrorLine(const char* format, const QSqlError& error) {
    CoreDebug(format, static_cast<int>(error.type()), error.nativeErrorCode().toInt(),
              Utf8(error.databaseText()).constData(), Utf8(error.text()).constData());
}

using Binds = std::initializer_list<std::pair<const char*, QVariant>>;

// Prepares `sql`, binds `binds` and runs it; false when any step failed (the query's lastError
// says why).
bool RunStatement(Query& query, const QString& sql, Binds binds = {}) {
    if (TakeInjectedFailure()) {
        query->exec(kInjectedFailure);
        return false;
    }
    if (!query->prepare(sql))
        return false;
    for (const auto& bind : binds)
        query->bindValue(QString::fromLatin1(bind.first), bind.second);
    return query->exec();
}

// Runs the statement prepared on `query` with the values bound to it: one step of a batch.
bool ExecStep(Query& query) {
    if (TakeInjectedFailure()) {
        query->exec(kInjectedFailure);
        return false;
    }
    return query->exec();
}

// Text for a NOT NULL column: Qt binds a null QString as NULL, which would refuse the whole row
// for a record whose name or path was never set. No characters are changed.
QString NotNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

// Whether SQLite has the connection inside a transaction.
bool ConnectionInTransaction(ConnectNode* node) {
    QSqlDriver* driver = node ? node->driver() : nullptr;
    if (!driver)
        return false;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3* db = *static_cast<sqlite3* const*>(handle.constData());
    return db && sqlite3_get_autocommit(db) == 0;
}

// Binds the upsert's parameters for `info`, whose row key is `hash`.
void BindRecord(QSqlQuery& query, const FILE_INFO& info, const QString& hash) {
    static const QString name = QStringLiteral(":name"), spath = QStringLiteral(":spath"),
                         phash = QStringLiteral(":phash"), ver = QStringLiteral(":ver"),
                         fhash = QStringLiteral(":fhash"), fsize = QStringLiteral(":fsize"),
                         mtime = QStringLiteral(":mtime"), ctime = QStringLiteral(":ctime"),
                         attrs = QStringLiteral(":attrs"), dir = QStringLiteral(":dir"),
                         lpath = QStringLiteral(":lpath"), down = QStringLiteral(":down");
    query.bindValue(name, NotNull(info.name));
    query.bindValue(spath, NotNull(info.path));
    query.bindValue(phash, hash);
    query.bindValue(ver, qlonglong(info.version));
    query.bindValue(fhash, info.file_hash);
    query.bindValue(fsize, static_cast<qlonglong>(info.size));
    query.bindValue(mtime, qlonglong(info.mtime));
    query.bindValue(ctime, qlonglong(info.ctime));
    query.bindValue(attrs, qlonglong(info.attrs));
    query.bindValue(dir, info.is_dir ? 1 : 0);
    query.bindValue(lpath, info.local_path);
    query.bindValue(down, info.is_download ? 1 : 0);
}

void ReadRecord(const QSqlQuery& query, FILE_INFO& info) {
    info.path = query.value(QStringLiteral("server_path")).toString();
    info.name = query.value(QStringLiteral("name")).toString();
    info.version = static_cast<quint32>(query.value(QStringLiteral("local_ver")).toULongLong());
    info.file_hash = query.value(QStringLiteral("local_fj_hash")).toString();
    info.size = query.value(QStringLiteral("local_size")).toULongLong();
    info.mtime = static_cast<quint32>(query.value(QStringLiteral("local_mtime")).toULongLong());
    info.ctime = static_cast<quint32>(query.value(QStringLiteral("local_ctime")).toULongLong());
    info.attrs = static_cast<quint32>(query.value(QStringLiteral("local_attrs")).toULongLong());
    info.is_dir = query.value(QStringLiteral("local_dir")).toLongLong() != 0;
    info.local_path = query.value(QStringLiteral("local_path")).toString();
    info.is_download = query.value(QStringLiteral("is_download")).toLongLong() != 0;
}

// --- Transaction steps (database thread) ---

bool BeginOnThread() {
    if (trans_open) {
        CoreDebug("[db] Transaction Begin (already!)\n");
        return true;
    }
    ConnectNode* node = spSyncDB->node();
    if (!node || !node->open()) {
        CoreDebug("[db] Transaction Begin failed : node is not valid\n");
        return false;
    }
    const bool injected = TakeInjectedFailure();
    if (injected || !node->transaction()) {
        TransactionErrorLine("[db] Transaction Begin failed : %d, num:%d, db:%s, text:%s",
                             injected ? InjectedError() : node->lastError());
        SetTransOpen(ConnectionInTransaction(node));
        return trans_open;
    }
    CoreDebug("[db] Transaction Begin\n");
    trans_begin = QCClock::NowMs();
    auto_save_from = trans_begin;
    SetTransOpen(true);
    return true;
}

bool CommitOnThread() {
    if (!trans_open)
        return true;
    const double seconds = static_cast<double>(QCClock::NowMs() - trans_begin) / 1000.0;
    ConnectNode* node = spSyncDB->node();
    const bool injected = TakeInjectedFailure();
    if (injected || !node->commit()) {
        TransactionErrorLine("[db] Transaction commit failed : %d, num:%d, db:%s, text:%s",
                             injected ? InjectedError() : node->lastError());
        SetTransOpen(ConnectionInTransaction(node));
        if (trans_open) {
            CoreDebug("[db] Transaction kept open with its writes, the commit will be retried\n");
        } else {
            CoreDebug("[db] Transaction ended by the failed commit, its writes are lost\n");
            NoteWriteFailure(injected ? InjectedError() : node->lastError());
        }
        return false;
    }
    CoreDebug("[db] Transaction Commit. commit-begin = %.1f s\n", seconds);
    SetTransOpen(false);
    return true;
}

bool RollbackOnThread() {
    if (!trans_open)
        return true;
    ConnectNode* node = spSyncDB->node();
    const bool injected = TakeInjectedFailure();
    if (injected || !node->rollback()) {
        TransactionErrorLine("[db] Transaction Rollback failed : %d, num:%d, db:%s, text:%s",
                             injected ? InjectedError() : node->lastError());
        SetTransOpen(ConnectionInTransaction(node));
        return !trans_open;
    }
    CoreDebug("[db] Transaction Rollback. \n");
    SetTransOpen(false);
    return true;
}

// The database thread's tick: the timed commit of the long transaction.
qint64 Tick() {
    if (!spSyncDB || !trans_open)
        return -1;
    const qint64 interval = static_cast<qint64>(g_Config.auto_save_db) * 1000;
    if (interval <= 0)
        return -1;
    const qint64 left = auto_save_from + interval - QCClock::NowMs();
    if (left > 0)
        return left;
    // Other threads see the commit and the new begin as one step: the mirror is not cleared
    // between them, only reconciled once both are done.
    mirror_held = true;
    if (CommitOnThread())
        BeginOnThread();
    mirror_held = false;
    g_transOpen.store(trans_open);
    // After a failed commit the next try comes a full interval later.
    auto_save_from = QCClock::NowMs();
    return trans_open ? interval : -1;
}

// Drops the connection and the manager; the transaction, if any, is gone with the connection.
void DropManagerOnThread() {
    if (spSyncDB) {
        spSyncDB->removeAll();
        spSyncDB.reset();
    }
    SetTransOpen(false);
    trans_begin = 0;
}

// --- Batches (database thread) ---

// Ends a failed batch: its rows are undone, the savepoint released. Reconciles trans_open with the
// connection, for SQLite ends the whole transaction itself on some failures (a full disk, an I/O
// error), and a batch outside the long transaction whose commit was refused is still open.
void UndoBatch(ConnectNode* node, Query& query, const char* operation) {
    const bool undone = query->exec(kBatchUndo) && query->exec(kBatchEnd);
    const bool inTransaction = ConnectionInTransaction(node);
    if (trans_open && !inTransaction) {
        CoreDebug("[db] Transaction ended by the failed %s, its writes are lost\n", operation);
        SetTransOpen(false);
    } else if (!trans_open && inTransaction) {
        node->rollback(); // the batch's own transaction, whose commit was refused
    } else if (!undone) {
        CoreDebug("[db] %s : the failed batch could not be undone", operation);
    } else {
        CoreDebug("[db] %s : batch failed, nothing written", operation);
    }
}

// Runs `rows(query)` (which writes the batch's rows on one query handle and returns false at the
// first failure, after its own error line) as one all-or-nothing batch. Whether it was written.
template <typename Rows>
bool RunBatch(const char* operation, Rows&& rows) {
    // The node before the handle: the manager's map lock is taken before a node's lock, never
    // while a handle holds it.
    ConnectNode* node = spSyncDB->node();
    Query query = spSyncDB->query();
    query->setForwardOnly(true); // rows are read once, in order: Qt keeps no copy of them
    if (!RunStatement(query, kBatchBegin)) {
        ErrorLine("[db] Batch begin failed : %d, err:%s, text:%s", query->lastError());
        NoteWriteFailure(query->lastError());
        return false;
    }
    if (rows(query)) {
        if (RunStatement(query, kBatchEnd))
            return true;
        ErrorLine("[db] Batch end failed : %d, err:%s, text:%s", query->lastError());
    }
    NoteWriteFailure(query->lastError());
    UndoBatch(node, query, operation);
    return false;
}

// A folder path without its trailing slashes; "" stands for the root.
QString FolderKey(QString folder) {
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

// Whether `path` is `folder` (a FolderKey) or lies below it, letter case ignored.
bool AtOrBelow(const QString& path, const QString& folder) {
    return path.startsWith(folder, Qt::CaseInsensitive) &&
           (path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/'));
}

struct JournalRow {
    qlonglong id = 0;
    QString path;
    QString name;
    QString localPath; // null when the column is NULL
};

// Every row's id, path, name and local path, in storage order; one step.
bool ReadRows(Query& query, std::vector<JournalRow>& rows) {
    if (!RunStatement(query, kSelectRows))
        return false;
    while (query->next()) {
        rows.push_back({query->value(0).toLongLong(), query->value(1).toString(), query->value(2).toString(),
                        query->value(3).toString()});
    }
    query->finish();
    return true;
}

// Deletes the rows of `ids`, one step each.
bool DeleteIds(Query& query, const std::vector<qlonglong>& ids) {
    if (ids.empty())
        return true;
    if (!query->prepare(kDeleteById))
        return false;
    static const QString id = QStringLiteral(":id");
    for (const qlonglong row : ids) {
        query->bindValue(id, row);
        if (!ExecStep(query))
            return false;
    }
    return true;
}

// Rows the calling thread wrote with UpdateFileInfoLater, not yet written (see the header).
thread_local std::vector<FILE_INFO> t_later;
// Rows that Flush handed on, of any thread, and the one queued job that writes them all: rows
// handed on while it waits join it, so a stream of flushes costs one job (and one spacing) per
// batch, not one per flush.
std::mutex g_handedLock;
std::vector<FILE_INFO> g_handed; // guarded by g_handedLock
bool g_handedQueued = false;     // guarded by g_handedLock

// The upserts of `infos` as one batch (database thread).
bool WriteRowsOnThread(const std::vector<FILE_INFO>& infos) {
    const bool written = RunBatch("UpdateFileInfos", [&](Query& query) {
        if (!query->prepare(kUpsert)) {
            ErrorLine("[db] Update fileinfos ExeSql Error : %d, err:%s, text:%s", query->lastError());
            return false;
        }
        for (const FILE_INFO& info : infos) {
            BindRecord(*query.operator->(), info, QCSyncDB::GetPathHash(info.path));
            if (!ExecStep(query)) {
                ErrorLine("[db] Update fileinfos ExeSql Error : %d, err:%s, text:%s", query->lastError());
                return false;
            }
        }
        return true;
    });
    if (written)
        CoreDebug("[db] Update fileinfos Success : %d rows", static_cast<int>(infos.size()));
    return written;
}

// The rows handed on so far, taken out; the next Flush queues a job again.
std::vector<FILE_INFO> TakeHandedRows() {
    std::vector<FILE_INFO> rows;
    std::lock_guard<std::mutex> handed(g_handedLock);
    rows.swap(g_handed);
    g_handedQueued = false;
    return rows;
}

// Writes the rows handed on (database thread).
void WriteHandedRows() {
    const std::vector<FILE_INFO> rows = TakeHandedRows();
    if (!rows.empty() && spSyncDB)
        WriteRowsOnThread(rows);
}

// g_life held shared while the database is open and not closing; a lock that holds nothing
// otherwise (then the caller fails at once, see the design note).
std::shared_lock<std::shared_mutex> LockOpen() {
    std::shared_lock<std::shared_mutex> lock(g_life, std::defer_lock);
    if (!g_closing)
        lock.lock();
    if (lock.owns_lock() && (!g_thread || g_closing))
        lock.unlock();
    return lock;
}

// Runs `work` on the database thread, after the rows the calling thread wrote later (in the same
// job, so that nothing of another thread comes between); false (with a debug line) when the
// database is closed, and then the rows written later are dropped with it.
template <typename Work>
bool OnDbThread(const char* operation, Work&& work) {
    std::vector<FILE_INFO> later;
    later.swap(t_later);
    const std::shared_lock<std::shared_mutex> lock = LockOpen();
    if (!lock.owns_lock()) {
        CoreDebug("[db] %s : database is not open", operation);
        if (!later.empty())
            CoreDebug("[db] %d rows written later are dropped", static_cast<int>(later.size()));
        return false;
    }
    if (later.empty())
        return g_thread->Call(std::forward<Work>(work));
    return g_thread->Call([&] {
        WriteRowsOnThread(later);
        work();
    });
}

} // namespace

// --- Open and close ---

bool QCSyncDB::Init() {
    std::unique_lock<std::shared_mutex> lock(g_life);
    if (g_thread)
        return false;
    t_later.clear(); // rows of a journal that was closed without them
    TakeHandedRows();
    version = 0;
    const QString path = g_Config.db_path;
    if (path.isEmpty()) {
        CoreDebug("[db] open database failed : no database path");
        return false;
    }
    auto thread = std::make_unique<QCDbThread>(&Tick);
    thread->Start();
    bool ok = false;
    thread->Call([&ok, &path] {
        spSyncDB = std::make_shared<Control>(
            QCMutiThreadDB::DatabaseSettings(QStringLiteral("QSQLITE"), QStringLiteral("SyncDB"), path),
            QCMutiThreadDB::ConnectSettings(0, QCMutiThreadDB::QueryMultiMode, 10));
        SetTransOpen(false);
        trans_begin = 0;
        ConnectNode* node = spSyncDB->node();
        if (!node->open()) {
            ErrorLine("[db] open database failed : %d, err:%s, text:%s", node->lastError());
        } else if (node->hasTable(QStringLiteral("global")) ? ReadGlobal() : BuildTable(DB_TABLE_GLOBAL)) {
            ok = node->hasTable(QStringLiteral("file_journal")) || BuildTable(DB_TABLE_FILE_JOURNAL);
        }
        if (!ok)
            DropManagerOnThread();
    });
    if (!ok) {
        thread->Stop();
        version = 0;
        return false;
    }
    g_thread = std::move(thread);
    return true;
}

bool QCSyncDB::Close() {
    Flush();
    g_closing = true;
    std::unique_lock<std::shared_mutex> lock(g_life);
    g_closing = false;
    version = 0;
    if (!g_thread)
        return true;
    bool ok = true;
    g_thread->Call([&ok] {
        // A busy file may refuse one commit; the second try comes after SQLite's own busy wait.
        for (int attempt = 0; attempt < 2 && trans_open; ++attempt)
            ok = CommitOnThread();
        if (trans_open) {
            RollbackOnThread();
            CoreDebug("[db] Transaction rolled back at close, its journal writes are lost\n");
            ok = false;
        }
        DropManagerOnThread();
    });
    // Returns once the thread has ended completely (see QCDbThread).
    g_thread->Stop();
    g_thread.reset();
    return ok;
}

// --- Version ---

quint32 QCSyncDB::GetLastVer() {
    return version.load();
}

bool QCSyncDB::SetLastVer(quint32 ver) {
    version = ver;
    bool stored = false;
    OnDbThread("SetLastVer", [ver, &stored] {
        bool found = false;
        {
            Query query = spSyncDB->query();
            if (!RunStatement(query, kSelectVersionRow)) {
                // Without knowing whether the row exists, an insert could add a second one.
                ErrorLine("[db] Check version Failed : %d, err:%s, text:%s", query->lastError());
                return;
            }
            found = query->next();
        }
        Query query = spSyncDB->query();
        if (!RunStatement(query, found ? kUpdateVersion : kInsertVersion, {{":ver", qlonglong(ver)}})) {
            ErrorLine("[db] Set version ExeSql Error : %d, err:%s, text:%s", query->lastError());
            NoteWriteFailure(query->lastError());
            return;
        }
        CoreDebug("[db] Set version Success : %u", ver);
        stored = true;
    });
    return stored;
}

bool QCSyncDB::ReadGlobal() {
    Query query = spSyncDB->query();
    if (!RunStatement(query, kSelectGlobal)) {
        ErrorLine("[db] read table global failed : %d, err:%s, text:%s", query->lastError());
        return false;
    }
    if (!query->next()) {
        CoreDebug("[db] query global not record");
        return true;
    }
    const QVariant value = query->value(QStringLiteral("value"));
    query->clear();
    bool converts = false;
    const quint32 stored = value.toUInt(&converts);
    if (!converts) {
        ErrorLine("[db] read table global failed : %d, err:%s, text:%s", query->lastError());
        return true;
    }
    version = stored;
    CoreDebug("[db] read table global success : ver=%u", stored);
    return true;
}

bool QCSyncDB::BuildTable(DB_TABLE_INDEX which) {
    const bool journal = which == DB_TABLE_FILE_JOURNAL;
    CoreDebug(journal ? "[db] build table files" : "[db] build table global");
    ConnectNode* node = spSyncDB->node();
    // The table and its indexes come into being together or not at all.
    const bool own_transaction = journal && !trans_open && node->transaction();
    const QString statements[] = {journal ? kCreateJournal : kCreateGlobal, kCreateIndexPath,
                                  kCreateIndexHash};
    const int count = journal ? 3 : 1;
    for (int i = 0; i < count; ++i) {
        Query query = spSyncDB->query();
        if (!RunStatement(query, statements[i])) {
            ErrorLine("[db] build table failed : %d, err:%s, text:%s", query->lastError());
            if (own_transaction)
                node->rollback();
            return false;
        }
    }
    if (own_transaction && !node->commit()) {
        ErrorLine("[db] build table failed : %d, err:%s, text:%s", node->lastError());
        node->rollback();
        return false;
    }
    return true;
}

QString QCSyncDB::GetPathHash(const QString& path) {
    const QByteArray bytes = path.toLower().toUtf8();
    return QString::fromLatin1(HashBuffer(bytes.constData(), bytes.size(), HASH_MD5));
}

// --- Transactions ---

bool QCSyncDB::IsTransacting() {
    return g_transOpen.load();
}

bool QCSyncDB::BeginTransaction() {
    bool open = false;
    OnDbThread("BeginTransaction", [&open] { open = BeginOnThread(); });
    return open;
}

bool QCSyncDB::Commit() {
    if (!g_transOpen.load())
        return true;
    bool committed = false;
    OnDbThread("Commit", [&committed] { committed = CommitOnThread(); });
    return committed;
}

bool QCSyncDB::Rollback() {
    if (!g_transOpen.load())
        return true;
    bool ended = false;
    OnDbThread("Rollback", [&ended] { ended = RollbackOnThread(); });
    return ended;
}

// --- Records ---

bool QCSyncDB::GetFileInfo(const QString& path, FILE_INFO& info) {
    bool found = false;
    OnDbThread("GetFileInfo", [&] {
        const QString hash = GetPathHash(path);
        Query query = spSyncDB->query();
        if (!RunStatement(query, kSelectByPath, {{":hash", hash}})) {
            ErrorLine("[db] Get fileinfo by path_hash ExeSql Error : %d, err:%s, text:%s",
                      query->lastError());
            return;
        }
        if (!query->next()) {
            CoreDebug("[db] query file info by path_hash not record : %s, path:%s", Utf8(hash).constData(),
                      Utf8(path).constData());
            return;
        }
        ReadRecord(*query.operator->(), info);
        query->clear();
        CoreDebug("[db] Get fileinfo by path success");
        found = true;
    });
    return found;
}

bool QCSyncDB::GetFileInfoByHash(const QString& hash, FILE_INFO& info) {
    bool found = false;
    OnDbThread("GetFileInfoByHash", [&] {
        Query query = spSyncDB->query();
        if (!RunStatement(query, kSelectByHash, {{":fhash", hash}})) {
            ErrorLine("[db] Get fileinfo by hash ExeSql Error : %d, err:%s, text:%s", query->lastError());
            return;
        }
        if (!query->next()) {
            CoreDebug("[db] query fileinfo by file_hash not record : %s", Utf8(hash).constData());
            return;
        }
        ReadRecord(*query.operator->(), info);
        query->clear();
        CoreDebug("[db] Get fileinfo by hash success");
        found = true;
    });
    return found;
}

bool QCSyncDB::UpdateFileInfo(const FILE_INFO& info) {
    bool written = false;
    OnDbThread("UpdateFileInfo", [&] {
        const QString hash = GetPathHash(info.path);
        Query query = spSyncDB->query();
        bool ok = query->prepare(kUpsert);
        if (ok) {
            BindRecord(*query.operator->(), info, hash);
            ok = ExecStep(query);
        }
        if (!ok) {
            ErrorLine("[db] Update fileinfo ExeSql Error : %d, err:%s, text:%s", query->lastError());
            NoteWriteFailure(query->lastError());
            return;
        }
        CoreDebug("[db] Update fileinfo Success : %s\npath:%s", Utf8(hash).constData(),
                  Utf8(info.path).constData());
        written = true;
    });
    return written;
}

bool QCSyncDB::DeleteByPath(const QString& path) {
    bool ran = false;
    OnDbThread("DeleteByPath", [&] {
        const QString hash = GetPathHash(path);
        Query query = spSyncDB->query();
        if (!RunStatement(query, kDeleteByPath, {{":path", hash}})) {
            ErrorLine("[db]  Delete By Path ExeSql Error : %d, err:%s, text:%s", query->lastError());
            NoteWriteFailure(query->lastError());
            return;
        }
        CoreDebug("[db] Delete By path_hash Success : %s\npath:%s", Utf8(hash).constData(),
                  Utf8(path).constData());
        ran = true;
    });
    return ran;
}

bool QCSyncDB::GetAllPath(std::vector<QString>& list, QString folder) {
    bool read = false;
    OnDbThread("GetAllPath", [&] {
        Query query = spSyncDB->query();
        if (!RunStatement(query, kSelectAllPaths)) {
            ErrorLine("[db] Get all path list failed : %d, err:%s, text:%s", query->lastError());
            return;
        }
        // Only what lies below the folder: "/A/" keeps "/AB/x" and "/A" itself out.
        if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        while (query->next()) {
            const QString path = query->value(0).toString();
            if (folder.isEmpty() || path.startsWith(folder, Qt::CaseInsensitive))
                list.push_back(path);
        }
        query->clear();
        read = true;
    });
    return read;
}

bool QCSyncDB::GetAll(std::map<QString, FILE_INFO>& map) {
    map.clear();
    bool read = false;
    OnDbThread("GetAll", [&] {
        Query query = spSyncDB->query();
        if (!RunStatement(query, kSelectAll)) {
            ErrorLine("[db] Get all file map failed : %d, err:%s, text:%s", query->lastError());
            return;
        }
        while (query->next()) {
            FILE_INFO info;
            ReadRecord(*query.operator->(), info);
            const QString key = info.path.toLower();
            map[key] = std::move(info);
        }
        query->clear();
        CoreDebug("[db] Get all file map success : %d", static_cast<int>(map.size()));
        read = true;
    });
    return read;
}

quint64 QCSyncDB::GetUsedSpace() {
    quint64 used = 0;
    OnDbThread("GetUsedSpace", [&used] {
        Query query = spSyncDB->query();
        if (!RunStatement(query, kSumSizes) || !query->next()) {
            ErrorLine("[db] Get user space failed : %d, err:%s, text:%s", query->lastError());
            return;
        }
        // The sum of an empty table is NULL, read as 0.
        used = query->value(QStringLiteral("all_size")).toULongLong();
        query->clear();
    });
    return used;
}

// --- Batches ---

bool QCSyncDB::UpdateFileInfos(const std::vector<FILE_INFO>& infos) {
    bool written = false;
    OnDbThread("UpdateFileInfos", [&] { written = infos.empty() || WriteRowsOnThread(infos); });
    return written;
}

void QCSyncDB::UpdateFileInfoLater(const FILE_INFO& info) {
    t_later.push_back(info);
}

size_t QCSyncDB::LaterCount() {
    return t_later.size();
}

bool QCSyncDB::Flush() {
    if (t_later.empty())
        return true;
    const std::shared_lock<std::shared_mutex> lock = LockOpen();
    if (!lock.owns_lock()) {
        CoreDebug("[db] %d rows written later are dropped: database is not open",
                  static_cast<int>(t_later.size()));
        t_later.clear();
        return false;
    }
    bool post = false;
    {
        std::lock_guard<std::mutex> handed(g_handedLock);
        g_handed.insert(g_handed.end(), std::make_move_iterator(t_later.begin()),
                        std::make_move_iterator(t_later.end()));
        post = !g_handedQueued;
        g_handedQueued = true;
    }
    t_later.clear();
    // The caller does not wait: a job of any thread handed in later runs after this one, so every
    // read still sees these rows, and the engine thread never waits for the journal's spacing.
    if (post && !g_thread->Post(&WriteHandedRows)) {
        CoreDebug("[db] %d rows written later are dropped: database is closing",
                  static_cast<int>(TakeHandedRows().size()));
        return false;
    }
    return true;
}

bool QCSyncDB::DeleteByPaths(const std::vector<QString>& paths) {
    bool deleted = false;
    OnDbThread("DeleteByPaths", [&] {
        if (paths.empty()) {
            deleted = true;
            return;
        }
        deleted = RunBatch("DeleteByPaths", [&](Query& query) {
            static const QString key = QStringLiteral(":path");
            if (query->prepare(kDeleteByPath)) {
                bool ok = true;
                for (auto it = paths.begin(); ok && it != paths.end(); ++it) {
                    query->bindValue(key, GetPathHash(*it));
                    ok = ExecStep(query);
                }
                if (ok)
                    return true;
            }
            ErrorLine("[db] Delete by paths ExeSql Error : %d, err:%s, text:%s", query->lastError());
            return false;
        });
        if (deleted)
            CoreDebug("[db] Delete by paths Success : %d paths", static_cast<int>(paths.size()));
    });
    return deleted;
}

bool QCSyncDB::DeleteFolder(const QString& folder) {
    if (folder.isEmpty()) {
        CoreDebug("[db] DeleteFolder : no folder given");
        return false;
    }
    const QString key = FolderKey(folder);
    bool deleted = false;
    OnDbThread("DeleteFolder", [&] {
        deleted = RunBatch("DeleteFolder", [&](Query& query) {
            std::vector<JournalRow> rows;
            std::vector<qlonglong> ids;
            const bool ok = ReadRows(query, rows);
            for (const JournalRow& row : rows) {
                if (AtOrBelow(row.path, key))
                    ids.push_back(row.id);
            }
            if (ok && DeleteIds(query, ids))
                return true;
            ErrorLine("[db] Delete folder ExeSql Error : %d, err:%s, text:%s", query->lastError());
            return false;
        });
        if (deleted)
            CoreDebug("[db] Delete folder Success : %s", Utf8(folder).constData());
    });
    return deleted;
}

bool QCSyncDB::RenameFolder(const QString& oldFolder, const QString& newFolder, const QString& oldLocalFolder,
                            const QString& newLocalFolder) {
    const QString from = FolderKey(oldFolder);
    const QString to = FolderKey(newFolder);
    const QString fromLocal = FolderKey(oldLocalFolder);
    const QString toLocal = FolderKey(newLocalFolder);
    const bool caseOnly = from.compare(to, Qt::CaseInsensitive) == 0;
    // A folder cannot move into itself, nor onto a folder that holds it.
    const bool nested = !caseOnly && (AtOrBelow(to, from) || AtOrBelow(from, to));
    if (from.isEmpty() || to.isEmpty() || nested || fromLocal.isEmpty() != toLocal.isEmpty()) {
        CoreDebug("[db] RenameFolder : refused %s -> %s", Utf8(oldFolder).constData(),
                  Utf8(newFolder).constData());
        return false;
    }
    const QString folderName = to.mid(to.lastIndexOf(QLatin1Char('/')) + 1);
    bool moved = false;
    OnDbThread("RenameFolder", [&] {
        moved = RunBatch("RenameFolder", [&](Query& query) {
            std::vector<JournalRow> rows;
            std::vector<qlonglong> replaced;
            std::vector<JournalRow> moving;
            bool ok = ReadRows(query, rows);
            for (JournalRow& row : rows) {
                if (AtOrBelow(row.path, from))
                    moving.push_back(std::move(row));
                else if (AtOrBelow(row.path, to))
                    replaced.push_back(row.id);
            }
            ok = ok && DeleteIds(query, replaced) && query->prepare(kMoveRow);
            static const QString spath = QStringLiteral(":spath"), phash = QStringLiteral(":phash"),
                                 name = QStringLiteral(":name"), lpath = QStringLiteral(":lpath"),
                                 id = QStringLiteral(":id");
            for (auto it = moving.begin(); ok && it != moving.end(); ++it) {
                const QString path = to + it->path.mid(from.size());
                QString localPath = it->localPath;
                if (!fromLocal.isEmpty() && localPath.startsWith(fromLocal) &&
                    (localPath.size() == fromLocal.size() ||
                     localPath.at(fromLocal.size()) == QLatin1Char('/')))
                    localPath = toLocal + localPath.mid(fromLocal.size());
                query->bindValue(spath, path);
                query->bindValue(phash, GetPathHash(path));
                query->bindValue(name, it->path.size() == from.size() ? folderName : it->name);
                query->bindValue(lpath, localPath);
                query->bindValue(id, it->id);
                ok = ExecStep(query);
            }
            if (!ok)
                ErrorLine("[db] Rename folder ExeSql Error : %d, err:%s, text:%s", query->lastError());
            return ok;
        });
        if (moved)
            CoreDebug("[db] Rename folder Success : %s -> %s", Utf8(oldFolder).constData(),
                      Utf8(newFolder).constData());
    });
    return moved;
}

bool QCSyncDB::GetFileInfos(const std::vector<QString>& paths, std::map<QString, FILE_INFO>& map) {
    map.clear();
    bool read = false;
    OnDbThread("GetFileInfos", [&] {
        Query query = spSyncDB->query();
        query->setForwardOnly(true);
        static const QString key = QStringLiteral(":hash");
        bool ok = query->prepare(kSelectByPath);
        for (auto it = paths.begin(); ok && it != paths.end(); ++it) {
            query->bindValue(key, GetPathHash(*it));
            ok = ExecStep(query);
            if (ok && query->next()) {
                FILE_INFO info;
                ReadRecord(*query.operator->(), info);
                map[info.path.toLower()] = std::move(info);
            }
        }
        if (!ok) {
            ErrorLine("[db] Get fileinfos ExeSql Error : %d, err:%s, text:%s", query->lastError());
            map.clear();
            return;
        }
        query->finish();
        read = true;
    });
    return read;
}

bool QCSyncDB::Settle() {
    // A job runs after every job handed in before it, the posted writes of handed rows included.
    return OnDbThread("Settle", [] {});
}

int QCSyncDB::TakeWriteFailure() {
    return g_writeFailure.exchange(0);
}

void QCSyncDB::FailStepForTests(int n, int after) {
    std::lock_guard<std::mutex> lock(g_failMutex);
    g_failCount = n > 0 ? n : 0;
    g_failAfter = after > 0 ? after : 0;
}
