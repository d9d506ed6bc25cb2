#pragma once
// The surroundings of the sync database tests: a temporary folder holding "filecache.db" named by
// g_Config.db_path, the database opened before each test and closed after it, and an independent
// reader of the file through the SQLite C API (so what is on disk is checked without the code
// under test).

#include "common/FileInfo.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

struct sqlite3;

// A plain SQLite connection of the test's own.
class RawDb {
public:
    explicit RawDb(const QString& path);
    ~RawDb();
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    bool ok() const { return m_db != nullptr; }
    QString error() const { return m_error; }
    // Runs statements without results; false (error() says why) when one fails.
    bool Exec(const QString& sql);
    // The first column of every row as text, "<null>" for NULL.
    QStringList Column(const QString& sql);
    // The first column of the first row as a number; -1 when there is no row or the query fails.
    qint64 Number(const QString& sql);

private:
    sqlite3* m_db = nullptr;
    QString m_error;
};

class SyncDBTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the database at DbPath(); fails the test when Init fails.
    void Open();
    QString DbPath() const;
    qint64 JournalRows();

    QTemporaryDir m_dir;

private:
    QString m_oldDbPath;
    int m_oldAutoSave = 0;
};

// A record with every journalled field set from `path` (name, hash, sizes, times and flags).
FILE_INFO MakeRecord(const QString& path, quint32 seed = 1);
// The eleven journalled fields of a record, one "name=value" per line, for comparisons whose
// failure shows the field that differs.
std::string Journalled(const FILE_INFO& info);
