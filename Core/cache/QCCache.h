#pragma once
// The index of the synchronised tree: one record per file or folder that the engine has seen,
// keyed by its cloud path without regard to case. A folder's status and percent are rolled up
// on demand from the records below it. The design note at the top of QCCache.cpp gives the
// invariants and the locking rule.
//
// Paths: every operation takes a disk path inside the sync folder or a cloud path; both map to
// one key (MakePathIndex). Records handed out are copies whose `path` is the item's disk path.
//
// Threads: any thread. Each operation holds the index lock for its work on the index and calls
// the host (notices, path mapping, settings) only after releasing it.

#include "cache/QCCacheHost.h"
#include "cache/QCCacheRecord.h"
#include "cache/QCCacheSearchMatch.h"
#include "common/FileInfo.h"
#include "common/SharedTypes.h"

#include <QString>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

// PathIndex's order (case-insensitive), faster for keys that share a long exact prefix, as
// siblings do: only the text from the first difference on is compared ignoring case.
struct QCCacheKeyOrder {
    bool operator()(const PathIndex& a, const PathIndex& b) const;
};

class QCCache {
public:
    // `host` must outlive the index.
    explicit QCCache(QCCacheHost& host);
    virtual ~QCCache();
    QCCache(const QCCache&) = delete;
    QCCache& operator=(const QCCache&) = delete;

    // --- Keys and reads ---

    // The key of a path: its cloud path without trailing "/"; the sync root is the empty key.
    QString MakePathIndex(const QString& path) const;
    // "", "/" and "\" name the sync root.
    static bool IsRootPath(const QString& key);
    // True when no sync folder is configured; the path is not looked at.
    bool UnknownFile(const QString& path) const;
    QString GetRootDiskPath() const;
    // `record` with its path set to the disk path of `path`'s key.
    FileInfo MakeFileInfo(const QString& path, FileInfo record) const;
    // The stored record, without roll-up; false when absent.
    bool GetBaseInfo(const QString& path, FileInfo& out);
    // The record with its progress and, for a folder, the roll-up of its subtree (status,
    // percent, newest mtime, total size, file and folder counts), written back into the folder's
    // stored record. False without a sync folder or when absent (the root never is absent);
    // true without touching `out` for the program's private paths.
    bool GetFileInfoProgress(const QString& path, FileInfo& out);
    // The same for a key already made; works without a sync folder.
    bool GetFileInfoProgressByPathKey(const QString& key, FileInfo& out);
    // The record with a quick folder status, for listings.
    bool GetFileinfo(const QString& path, FileInfo& out);
    // Stores missing ancestor folders of `path` with status 9 (wait up), as Update does.
    void FixParentDir(const QString& path);
    bool CheckPathExists(const QString& path);
    bool IsInCache(const QString& path, const FILE_INFO& record);

    // --- Changes ---

    // Stores `info` as the record of `path` with `status`; the result tells whether the key was
    // there before. Sends an update notice unless the status and middle flag are unchanged,
    // kind 3 to the transfer lists for a new file checked or waiting to upload, and a
    // failed-task entry for status 4 unless unchanged. A status-4 record takes its error
    // (`errorCode`, `errorType`) in the same step, so that no reader or notice sees the one
    // without the other.
    bool Update(const QString& path, const FILE_INFO& info, FILE_STATUS status, bool notify, bool clearBatch,
                bool insert, int errorCode = 0, int errorType = 0);
    // Sets the status of the item and, for a folder unless `selfOnly`, of every item below it
    // that is not ignored; one update notice for the item. False when absent.
    bool ChangeFileStatus(const QString& path, FILE_STATUS status, bool selfOnly);
    // Moves the records below a folder to the new path (a file's record is dropped, the next
    // Update stores it). An entry already at a moved record's new key stays and the moved record
    // is dropped; the result is the number of such collisions.
    int Rename(const QString& oldPath, const QString& newPath);
    // Removes the item and its subtree: 0 when absent, else 1 plus the removed items below it
    // that have a version. Delete notices for the item (with `notify`) and for each item below.
    int Delete(const QString& path, bool notify);
    void UpdateProgress(const FILE_INFO& info, quint64 doneSize, FILE_STATUS status);
    void SetError(const QString& path, int errorCode, int errorType);
    void ClearAllCache();

    // --- Local names the service cannot hold ---
    // A local item whose name differs only in letter case from the item the index holds under the
    // same key (or that lies below such a folder) takes no part in the sync. It is kept here by its
    // exact path, shown by the reads and listings with status 4 and `errorType`, and survives
    // ClearAllCache: the disk made it, not the cloud.
    void SetCaseTwin(const QString& path, const FILE_INFO& info, int errorType);
    // Forgets the twin at exactly `path` and every twin below it; true when one was held.
    bool ClearCaseTwins(const QString& path);
    // The twin at exactly `path`, or the twin folder that holds it.
    bool IsCaseTwin(const QString& path);
    // The exact paths of the twins held under `path`'s key, whatever their case.
    std::vector<QString> CaseTwinsOf(const QString& path);

    // --- Listings ---

    // Direct children of a folder (the root's top-level items), ignored ones left out, folders
    // with their quick status. False for an empty path or without a sync folder.
    bool Query(const QString& path, std::vector<FileInfo>& out);
    // Direct children, or every item below with `all`: the number listed, 0 when absent, -1 for
    // an empty path or without a sync folder.
    int QueryExt(const QString& path, bool all, std::vector<FileInfo>& out);
    // Every item below a folder or the root in key order, or the file itself.
    bool ListAll(const QString& path, std::vector<FileInfo>& out);
    // Appends the records whose path matches `query`, in key order. The user's settings
    // "searchpath" and "SearchType" limit the hits. Copies candidates in chunks under the lock
    // and matches them with it released.
    bool Search(std::vector<FileInfo>& out, const QCCacheSearchMatch& query);
    // The first record in key order whose node id is `nidText` (decimal).
    bool GetFileinfoByNid(const QString& nidText, FileInfo& out);
    bool UpdateLink(const QString& path, bool value);
    bool UpdateSync(const QString& path, bool value);
    // For the root only: every top-level folder as "/name|" appended to `out`.
    bool ListOwnRootPath(const QString& path, QString& out);

    // --- The table of search views ---

    // Stores the record as Update would build it, unless the key is there already.
    bool SwitchToViewtable(const QString& path, const FILE_INFO& info, FILE_STATUS status, bool clearBatch);
    void CleanSearchViewTable();

    // --- Test hooks ---

    std::recursive_mutex& IndexLockForTests() { return m_indexLock; }
    size_t CountForTests();

    // Keys visited per hold of the lock by Search.
    static constexpr int kSearchChunk = 4096;
    // Hits after which a one-character search stops.
    static constexpr int kOneCharHits = 1000;

private:
    using Index = std::map<PathIndex, QCCacheRecord, QCCacheKeyOrder>;
    using Entry = std::pair<QString, QCCacheRecord>; // a key and a copy of its record
    struct Notice {
        QString key;
        QCCacheRecord record;
        bool deleted;
    };

    // The prefix that every key below `key` begins with (ignoring case).
    static QString SubtreePrefix(const QString& key);
    static bool InSubtree(const QString& key, const QString& prefix);
    // The first entry that may lie below `prefix`; the run ends at the first that does not.
    Index::iterator SubtreeBeginLocked(const QString& prefix);
    // The roll-up on a key, in key space: `out.path` is the key. `rootFolder` is the diskPath of
    // a root request (the sync folder).
    bool RollUpLocked(const QString& key, FileInfo& out, const QString& rootFolder);
    // The quick folder status of an entry.
    quint32 QuickStatusLocked(Index::iterator it);
    // Entries of a listing, made into records with disk paths after the lock is released.
    std::vector<FileInfo> MakeFileInfos(const std::vector<Entry>& entries) const;
    FileInfo MakeFileInfo(const Entry& entry) const;
    // The twins directly below (or, with `all`, anywhere below) `prefix`, letter case kept.
    void AppendTwinsLocked(const QString& prefix, bool all, std::vector<Entry>& out) const;
    bool TwinLocked(const QString& key, Entry& out) const;
    // Sends collected notices; lock released.
    void Send(const std::vector<Notice>& notices);
    bool SetFlag(const QString& path, bool linkFlag, bool value);

    QCCacheHost& m_host; // set once

    // Guarded by m_indexLock. Recursive: the roll-up of a folder rolls up uploading sub-folders.
    std::recursive_mutex m_indexLock;
    Index m_index;
    std::map<QString, QCCacheRecord> m_twins; // exact key -> record with status 4
    QCCacheTextPool m_texts;

    // Guarded by m_viewTableLock; never held together with m_indexLock.
    std::mutex m_viewTableLock;
    Index m_viewTable;
};

// The status an item gives its folder: 3 uploading (3, 8, 9), 5 downloading (5, 10), 4 error,
// 11 not down, otherwise 2 synced.
FILE_STATUS GetDirStatusFormFileStatus(quint32 status);
