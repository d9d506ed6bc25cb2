#include "SyncDBTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"

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

std::string Journalled(const FILE_INFO& i) {
    const auto n = [](quint64 value) { return QString::number(value); };
    const QStringList fields = {
        QStringLiteral("path=") + i.path,
        QStringLiteral("name=") + i.name,
        QStringLiteral("file_hash=") + i.file_hash,
        QStringLiteral("local_path=") + i.local_path,
        QStringLiteral("size=") + n(i.size),
        QStringLiteral("mtime=") + n(i.mtime),
        QStringLiteral("ctime=") + n(i.ctime),
        QStringLiteral("attrs=") + n(i.attrs),
        QStringLiteral("version=") + n(i.version),
        QStringLiteral("is_dir=") + n(i.is_dir),
        QStringLiteral("is_download=") + n(i.is_download),
    };
    return fields.join(QLatin1Char('\n')).toStdString();
}
