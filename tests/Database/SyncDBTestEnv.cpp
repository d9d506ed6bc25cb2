#include "SyncDBTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CoreLog.h"

#include <sqlite3.h>

RawDb::RawDb(const QString& path) {
    const QByteArray file = path.toUtf8();
    if (sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

RawDb::~RawDb() {
    sqlite3_close(m_db);
}

bool RawDb::Exec(const QString& sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    m_error = QString::fromUtf8(message);
    sqlite3_free(message);
    return false;
}

QStringList RawDb::Column(const QString& sql) {
    QStringList values;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return values;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        values << (text ? QString::fromUtf8(text) : QStringLiteral("<null>"));
    }
    sqlite3_finalize(statement);
    return values;
}

qint64 RawDb::Number(const QString& sql) {
    qint64 value = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return value;
    }
    if (sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

void SyncDBTest::SetUp() {
    ASSERT_TRUE(m_dir.isValid()) << m_dir.errorString().toStdString();
    m_oldDbPath = g_Config.db_path;
    m_oldAutoSave = g_Config.auto_save_db;
    g_Config.db_path = DbPath();
    g_Config.auto_save_db = 0;
}

void SyncDBTest::TearDown() {
    QCSyncDB::FailStepForTests(0);
    QCSyncDB::Close();
    g_Config.db_path = m_oldDbPath;
    g_Config.auto_save_db = m_oldAutoSave;
}

void SyncDBTest::Open() {
    ASSERT_TRUE(QCSyncDB::Init()) << "cannot open " << DbPath().toStdString();
}

QString SyncDBTest::DbPath() const {
    return m_dir.filePath(QStringLiteral("filecache.db"));
}

qint64 SyncDBTest::JournalRows() {
    RawDb raw(DbPath());
    return raw.Number(QStringLiteral("select count(*) from file_journal"));
}

FILE_INFO MakeRecord(const QString& path, quint32 seed) {
    FILE_INFO info;
    info.path = path;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    info.name = path.mid(slash + 1);
    info.size = 1000ULL * seed + 7;
    info.mtime = 1600000000U + seed;
    info.ctime = 1500000000U + seed;
    info.attrs = FILE_ATTR_NORMAL;
    info.version = seed;
    info.file_hash = QStringLiteral("%1").arg(seed, 40, 16, QLatin1Char('0'));
    info.local_path = QStringLiteral("/home/user/Sync") + path;
    info.is_download = (seed % 2) == 0;
    return info;
}

::testing::AssertionResult JournalledEqual(const FILE_INFO& e, const FILE_INFO& a) {
    const auto text = [](const char* field, const QString& want, const QString& got) {
        return ::testing::AssertionFailure()
               << field << ": want \"" << want.toStdString() << "\", got \"" << got.toStdString() << "\"";
    };
    const auto number = [](const char* field, quint64 want, quint64 got) {
        return ::testing::AssertionFailure() << field << ": want " << want << ", got " << got;
    };
    if (e.path != a.path)
        return text("path", e.path, a.path);
    if (e.name != a.name)
        return text("name", e.name, a.name);
    if (e.file_hash != a.file_hash)
        return text("file_hash", e.file_hash, a.file_hash);
    if (e.local_path != a.local_path)
        return text("local_path", e.local_path, a.local_path);
    if (e.size != a.size)
        return number("size", e.size, a.size);
    if (e.mtime != a.mtime)
        return number("mtime", e.mtime, a.mtime);
    if (e.ctime != a.ctime)
        return number("ctime", e.ctime, a.ctime);
    if (e.attrs != a.attrs)
        return number("attrs", e.attrs, a.attrs);
    if (e.version != a.version)
        return number("version", e.version, a.version);
    if (e.is_dir != a.is_dir)
        return number("is_dir", e.is_dir, a.is_dir);
    if (e.is_download != a.is_download)
        return number("is_download", e.is_download, a.is_download);
    return ::testing::AssertionSuccess();
}

std::mutex DebugLines::s_mutex;
QStringList DebugLines::s_lines;

DebugLines::DebugLines() : m_wasEnabled(CoreLog::Enabled()) {
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
    }
    m_previous = qInstallMessageHandler(&DebugLines::Handler);
    CoreLog::SetEnabled(true);
}

DebugLines::~DebugLines() {
    CoreLog::SetEnabled(m_wasEnabled);
    qInstallMessageHandler(m_previous);
}

QStringList DebugLines::Take() {
    std::lock_guard<std::mutex> lock(s_mutex);
    QStringList lines;
    lines.swap(s_lines);
    return lines;
}

bool DebugLines::Contains(const QString& text) {
    std::lock_guard<std::mutex> lock(s_mutex);
    for (const QString& line : s_lines) {
        if (line.contains(text))
            return true;
    }
    return false;
}

void DebugLines::Handler(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_lines << message;
}
