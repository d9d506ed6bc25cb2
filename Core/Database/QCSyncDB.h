#pragma once
// The sync database: the SQLite file journal "filecache.db" of one account in one enterprise (one
// row per synchronised item in "file_journal", the last applied cloud version in "global"). A
// static facade with process-wide state; every operation may be called from any thread and is
// carried out on the database's own thread (see the design note in QCSyncDB.cpp). Failures come
// back as results and debug lines ("[db] ..."), never as exceptions.

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

#include <map>
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

    // The last cloud version known; 0 until Init reads it back or SetLastVer sets it.
    static quint32 GetLastVer();
    // Sets the version at once (also when the store fails), then stores it; whether it was stored.
    static bool SetLastVer(quint32 ver);

    // Whether the database holds an open transaction.
    static bool IsTransacting();
    // Opens the one transaction; every later write, from any thread, is part of it until it ends.
    // True when a transaction is open afterwards (also when one was open already). While one is
    // open it is committed and begun again every g_Config.auto_save_db seconds of the core's clock
    // (0: never).
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

    // Batches, for the engine's bulk paths. Each runs all its rows as one job on the database
    // thread under one query handle (so the spacing between queries applies once per batch, not
    // per row), with every statement prepared once and every value bound. A batch that writes is
    // all or nothing: inside the open transaction it is a savepoint of it (its rows become part of
    // the transaction; a failed batch leaves the transaction's earlier writes as they were),
    // otherwise a transaction of its own. Each returns whether the batch was written; false
    // (nothing written) when a step failed or the database is closed. An empty batch writes
    // nothing and returns true while the database is open.
    //
    // Writes every record as UpdateFileInfo does (a later record of the same path, letter case
    // ignored, wins).
    static bool UpdateFileInfos(const std::vector<FILE_INFO>& infos);
    // Writes the row of info.path as UpdateFileInfo does, later: the calling thread's next
    // operation (or Flush) writes every row it wrote later first, in order and as one batch, in
    // the same job as that operation. So the calling thread always reads what it wrote; other
    // threads see the rows once they are written. Rows still waiting when the database is closed
    // by another thread, or when a job fails, are lost like the writes of a rolled-back
    // transaction; Close on the writing thread writes them first.
    static void UpdateFileInfoLater(const FILE_INFO& info);
    // Hands the rows the calling thread wrote later to the database thread and returns without
    // waiting for them: they are written, as one batch with the rows other threads handed on
    // meanwhile, before any operation that any thread starts afterwards. False (the rows dropped)
    // when the database is closed or closing, true when there were none.
    static bool Flush();
    // The rows the calling thread wrote later that wait.
    static size_t LaterCount();
    // Deletes the row of every path (letter case ignored); paths without a row are no failure.
    static bool DeleteByPaths(const std::vector<QString>& paths);
    // Deletes the row of `folder` and every row below it, letter case ignored: "/A" takes "/a" and
    // "/A/x/y", not "/AB". A trailing "/" is ignored; "/" deletes every row. False for an empty
    // folder.
    static bool DeleteFolder(const QString& folder);
    // Moves the rows of a renamed or moved folder (`oldFolder` itself and every row below it,
    // letter case ignored as in DeleteFolder) to `newFolder`: the leading `oldFolder` part of
    // server_path becomes `newFolder`, the row key follows the new path, the folder's own row takes
    // the new folder's name (the rows below keep theirs), and local_path, when it is
    // `oldLocalFolder` or lies below it (letter case exact: the disk's), takes `newLocalFolder` in
    // place of that part; other local paths (a file uploaded from outside the mirror folder, an
    // empty one) stay as they are. Both local folders empty: no local path changes. Every other
    // column (content hash, size, times, version, flags) stays, so the moved items still count as
    // in step with the cloud. Rows already at or below `newFolder` describe items that the rename
    // replaced and are deleted first. A change of letter case only is a rename like any other.
    // False, nothing changed, when a folder is empty or "/", when one folder lies below the other,
    // or when exactly one local folder is given.
    static bool RenameFolder(const QString& oldFolder, const QString& newFolder,
                             const QString& oldLocalFolder, const QString& newLocalFolder);
    // Empties `map`, then enters the row of every path that has one under its lower-cased path,
    // with the fields that are not journalled at FILE_INFO's defaults; paths without a row are not
    // entered. Reads only. False (the map left empty) when a read failed.
    static bool GetFileInfos(const std::vector<QString>& paths, std::map<QString, FILE_INFO>& map);

    // The row key of a path: lower-case hex MD5 of its lower-cased UTF-8 text.
    static QString GetPathHash(const QString& path);

    // Returns once every row handed on by Flush so far has been written or has failed; false when
    // the journal is closed.
    static bool Settle();
    // The SYNC_ERROR kind of the first journal write that failed since the last call, taken out:
    // DiskFull when SQLite found the disk full, DiskWrite for any other failure (the rows of that
    // write, or of the whole transaction when it ended with it, are not in the journal); 0 when
    // none failed. Any thread.
    static int TakeWriteFailure();

    // Test hook: after the next `after` storage steps have run, the `n` that follow fail as if
    // SQLite had refused them, without reaching the database; n 0 turns it off. A step is a
    // statement, one row of a batch, a batch's begin or end, a begin, commit or rollback; undoing a
    // failed batch is not a step. Any thread.
    static void FailStepForTests(int n, int after = 0);

private:
    // Steps of Init, on the database thread.
    static bool BuildTable(DB_TABLE_INDEX which);
    static bool ReadGlobal();
};
