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
//
// States: closed (no thread, no manager) --Init--> open --BeginTransaction--> in transaction
// --Commit/Rollback--> open --Close--> closed (Close commits first). A failed Init leaves it closed.
// While in transaction the database thread's tick commits and begins again every
// g_Config.auto_save_db seconds (0: never), counted from the begin.
//
// Locks: g_life is held shared by every operation for its whole call and exclusively by Init and
// Close, so the thread and the manager never change under a running operation; operations that
// arrive while Close waits for it fail at once instead of queueing before Close. The transaction
// fields and the clock belong to the database thread alone; g_transOpen mirrors trans_open for
// IsTransacting on other threads.
#include "Database/QCSyncDB.h"

#include "Database/QCDbThread.h"
#include "Database/QCGlobalConfig.h"
#include "common/CoreLog.h"
#include "common/Hash.h"

#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <initializer_list>
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

const QString kSelectGlobal = QStringLiteral("select * from global;");
const QString kSelectVersionRow = QStringLiteral("select * from global where name = 'ver';");
const QString kInsertVersion = QStringLiteral("insert into global values('ver', :ver);");
const QString kUpdateVersion = QStringLiteral("update global set value = :ver where name = 'ver';");

// A statement that always fails in SQLite itself, run in place of the real one when a test
// injects a failure, so the failure takes the same road (and leaves the same kind of error).
const QString kInjectedFailure = QStringLiteral("select * from injected_failure_for_tests;");

// --- Lifetime (see the design note) ---
std::shared_mutex g_life;
QCDbThread* g_thread = nullptr;       // guarded by g_life; set while open
std::shared_ptr<Control> spSyncDB;    // database thread; replaced only while g_life is held exclusively
std::atomic<quint32> version{0};      // any thread
std::atomic<bool> g_transOpen{false}; // any thread; mirror of trans_open
std::atomic<int> g_failCountdown{0};  // any thread; test hook
// Set while Close waits for g_life: operations then stay away from the lock (and fail as on a
// closed database), so a stream of them cannot keep Close waiting for ever.
std::atomic<bool> g_closing{false};

// --- Database thread only ---
QElapsedTimer db_clock;    // started by Init; marks and measures transactions
bool trans_open = false;   // the connection holds a transaction
qint64 trans_begin = 0;    // ms on db_clock when the open transaction began
qint64 auto_save_from = 0; // ms on db_clock from which the next timed commit is counted

void SetTransOpen(bool open) {
    trans_open = open;
    g_transOpen.store(open);
}

bool TakeInjectedFailure() {
    int left = g_failCountdown.load();
    while (left > 0) {
        if (g_failCountdown.compare_exchange_weak(left, left - 1))
            return true;
    }
    return false;
}

QSqlError InjectedError() {
    return QSqlError(QStringLiteral("injected failure"), QStringLiteral("injected failure"),
                     QSqlError::TransactionError, QStringLiteral("-1"));
}

QByteArray Utf8(const QString& text) {
    return text.toUtf8();
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
    trans_begin = db_clock.elapsed();
    auto_save_from = trans_begin;
    SetTransOpen(true);
    return true;
}

bool CommitOnThread() {
    if (!trans_open)
        return true;
    const double seconds = static_cast<double>(db_clock.elapsed() - trans_begin) / 1000.0;
    ConnectNode* node = spSyncDB->node();
    const bool injected = TakeInjectedFailure();
    if (injected || !node->commit()) {
        TransactionErrorLine("[db] Transaction commit failed : %d, num:%d, db:%s, text:%s",
                             injected ? InjectedError() : node->lastError());
        SetTransOpen(ConnectionInTransaction(node));
        if (trans_open)
            CoreDebug("[db] Transaction kept open with its writes, the commit will be retried\n");
        else
            CoreDebug("[db] Transaction ended by the failed commit, its writes are lost\n");
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
    const qint64 left = auto_save_from + interval - db_clock.elapsed();
    if (left > 0)
        return left;
    if (CommitOnThread())
        BeginOnThread();
    // After a failed commit the next try comes a full interval later.
    auto_save_from = db_clock.elapsed();
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

// Runs `work` on the database thread; false (with a debug line) when the database is closed.
template <typename Work>
bool OnDbThread(const char* operation, Work&& work) {
    std::shared_lock<std::shared_mutex> lock(g_life, std::defer_lock);
    if (!g_closing)
        lock.lock();
    if (!lock.owns_lock() || !g_thread || g_closing) {
        CoreDebug("[db] %s : database is not open", operation);
        return false;
    }
    return g_thread->Call(std::forward<Work>(work));
}

} // namespace

// --- Open and close ---

bool QCSyncDB::Init() {
    std::unique_lock<std::shared_mutex> lock(g_life);
    if (g_thread)
        return false;
    version = 0;
    const QString path = g_Config.db_path;
    if (path.isEmpty()) {
        CoreDebug("[db] open database failed : no database path");
        return false;
    }
    auto* thread = new QCDbThread(&Tick);
    thread->setObjectName(QStringLiteral("SyncDB"));
    thread->Start();
    bool ok = false;
    thread->Call([&ok, &path] {
        spSyncDB = std::make_shared<Control>(
            QCMutiThreadDB::DatabaseSettings(QStringLiteral("QSQLITE"), QStringLiteral("SyncDB"), path),
            QCMutiThreadDB::ConnectSettings(0, QCMutiThreadDB::QueryMultiMode, 10));
        db_clock.start();
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
        delete thread;
        version = 0;
        return false;
    }
    g_thread = thread;
    return true;
}

bool QCSyncDB::Close() {
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
    g_thread->Stop();
    delete g_thread;
    g_thread = nullptr;
    return ok;
}

std::shared_ptr<Control> QCSyncDB::getDB() {
    std::shared_lock<std::shared_mutex> lock(g_life);
    return g_thread ? spSyncDB : nullptr;
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
        const bool ok = RunStatement(query, kUpsert,
                                     {
                                         {":name", NotNull(info.name)},
                                         {":spath", NotNull(info.path)},
                                         {":phash", hash},
                                         {":ver", qlonglong(info.version)},
                                         {":fhash", info.file_hash},
                                         {":fsize", static_cast<qlonglong>(info.size)},
                                         {":mtime", qlonglong(info.mtime)},
                                         {":ctime", qlonglong(info.ctime)},
                                         {":attrs", qlonglong(info.attrs)},
                                         {":dir", info.is_dir ? 1 : 0},
                                         {":lpath", info.local_path},
                                         {":down", info.is_download ? 1 : 0},
                                     });
        if (!ok) {
            ErrorLine("[db] Update fileinfo ExeSql Error : %d, err:%s, text:%s", query->lastError());
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

void QCSyncDB::FailStepForTests(int n) {
    g_failCountdown.store(n > 0 ? n : 0);
}
