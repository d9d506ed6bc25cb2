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

#include <mutex>

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
// Whether the eleven journalled fields of two records are equal; the message names the first
// field that differs.
::testing::AssertionResult JournalledEqual(const FILE_INFO& expected, const FILE_INFO& actual);

// Collects the core's debug lines while it lives (and turns the debug switch on).
class DebugLines {
public:
    DebugLines();
    ~DebugLines();
    QStringList Take();
    bool Contains(const QString& text);

private:
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    static std::mutex s_mutex;
    static QStringList s_lines;
    QtMessageHandler m_previous;
    bool m_wasEnabled;
};
