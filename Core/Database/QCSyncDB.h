#pragma once
// The sync database: the SQLite file journal "filecache.db" of one account in one enterprise (one
// row per synchronised item in "file_journal", the last applied cloud version in "global"). A
// static facade with process-wide state; every operation may be called from any thread and is
// carried out on the database's own thread (see the design note in QCSyncDB.cpp). Failures come
// back as results and debug lines ("[db] ..."), never as exceptions.

#include "Database/QCMutiThreadDB.h"
#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <map>
#include <memory>
#include <vector>

enum DB_TABLE_INDEX : qint32 {
    DB_TABLE_GLOBAL = 0,
    DB_TABLE_FILE_JOURNAL = 1,
};

class QCSyncDB {
public:
    QCSyncDB() = delete;

    // Opens the file named by g_Config.db_path (the file is created when missing, its folder is
    // not), creates the missing tables and indexes and reads the stored version. False when it was
    // open already (nothing changes then), when db_path is empty, or when the file cannot be opened,
    // read or prepared; the database is closed again in those cases. Begins no transaction.
    static bool Init();
    // Commits an open transaction, forgets version and transaction and closes the database. False
    // when an open transaction could not be committed even on a second try: it is then rolled back
    // and its journal writes are lost (a debug line says so). True when already closed.
    static bool Close();
    // The connection manager; empty while closed. Statements made through it run on the caller's
    // own connection, outside the journal's transaction.
    static std::shared_ptr<QCMutiThreadDB::Control> getDB();

    // The last cloud version known; 0 until Init reads it back or SetLastVer sets it.
    static quint32 GetLastVer();
    // Sets the version at once (also when the store fails), then stores it; whether it was stored.
    static bool SetLastVer(quint32 ver);

    // Whether the database holds an open transaction.
    static bool IsTransacting();
    // Opens the one transaction; every later write, from any thread, is part of it until it ends.
    // True when a transaction is open afterwards (also when one was open already). While one is
    // open it is committed and begun again every g_Config.auto_save_db seconds (0: never).
    static bool BeginTransaction();
    // Commits the transaction and logs its duration. True when committed or none was open. False
    // when the commit failed: when SQLite kept the transaction it stays open with every write in
    // it, and the next Commit (the timed one, or Close) tries again; IsTransacting tells which.
    static bool Commit();
    // Rolls the transaction back; true when none remains open.
    static bool Rollback();

    // Fill the journalled fields of `info` (path, name, version, file_hash, size, mtime, ctime,
    // attrs, is_dir, local_path, is_download) from the row of `path` (letter case ignored) or, by
    // content hash, from the row with the earliest ctime; other fields and a record without a row
    // stay as they were. True when a row was read.
    static bool GetFileInfo(const QString& path, FILE_INFO& info);
    static bool GetFileInfoByHash(const QString& hash, FILE_INFO& info);
    // Writes the row of info.path in one statement: updated when present, inserted otherwise.
    // Whether it was written.
    static bool UpdateFileInfo(const FILE_INFO& info);
    // Deletes the row of `path`; true when the statement ran, whether or not a row matched.
    static bool DeleteByPath(const QString& path);
    // Appends, in storage order, every stored path below `folder` (compared without regard to
    // case; the folder itself is not listed), or every stored path when `folder` is empty. The list
    // is never emptied here. False when the table could not be read (the list is then unchanged).
    static bool GetAllPath(std::vector<QString>& list, QString folder);
    // Empties `map`, then enters every row under its lower-cased path; the fields that are not
    // journalled hold FILE_INFO's defaults. False when the table could not be read.
    static bool GetAll(std::map<QString, FILE_INFO>& map);
    // Sum of the stored sizes; 0 on failure.
    static quint64 GetUsedSpace();

    // The row key of a path: lower-case hex MD5 of its lower-cased UTF-8 text.
    static QString GetPathHash(const QString& path);

    // Test hook: the next n storage steps (statements, begins, commits, rollbacks) fail as if
    // SQLite had refused them, without reaching the database; 0 turns it off. Any thread.
    static void FailStepForTests(int n);

private:
    // Steps of Init, on the database thread.
    static bool BuildTable(DB_TABLE_INDEX which);
    static bool ReadGlobal();
};
