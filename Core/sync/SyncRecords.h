#pragma once
// Records of the sync engine that the lock-guarded lists carry between threads. Plain values:
// copying copies every field and nothing else.

#include "common/SharedTypes.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

// An upload of a file from outside the mirror folder.
struct OUT_UPLOAD_FILE {
    QString source;     // local path of the outside file
    QString cloud_path; // target in the cloud tree, "/" separated
    quint64 size = 0;   // bytes of the mirror copy as the index knew it when queued, 0 unknown
    quint32 mtime = 0;  // its modification time, Unix seconds
};

// One change of the mirror folder reported by the folder watcher or the facade.
struct SYNC_CHANGE_INFO {
    QString path;     // disk path as it is now; for a rename the new path
    QString old_path; // for a rename, the path before it
    QString src_path; // an outside file whose content is uploaded under `path`
    SYNC_CHANGE_TYPE type = SYNC_CHANGE_ADD;
    qint32 user_op = 0; // 1: made by a command of the user, 0: seen by the watcher
};

// A batch of changes; the engine keeps a list of these that nothing fills yet.
struct SYNC_BATCH_CHANGE_INFO {
    QStringList paths;
    QString path;
};

// One pending piece of local work made from a change report. The change pipeline keeps these on
// its pending list (PendingChanges) on the engine thread.
struct CHANGE_ITEM {
    QString path;                            // disk path
    QString src_path;                        // an outside file whose content is uploaded under `path`
    QString old_path;                        // for a rename, the cloud path of the old name
    SYNC_CHANGE_TYPE type = SYNC_CHANGE_MOD; // never add: an add is taken in as a mod
    qint64 tick = 0;              // core clock (ms): made or last refreshed; delays and retries move it
    int exec_type = 0;            // 1 create folder, 2 rename or move, 3 delete, 4 upload; 0 until chosen
    FILE_INFO local;              // the item's record; local.path is its cloud path
    quint32 sync_id = 0;          // 0 waiting; else the request or upload task id of its running work
    bool had_index_entry = false; // a delete: the index held the path when it was taken in
    FILE_INFO rollback;           // the index record an upload replaces; version 0: none saved
    bool fast = false;
    bool user_op = false;
    int tries = 0; // runs that failed and were put off (the backoff counts them)
    bool cloud_checked = false; // a folder's delete: what the cloud holds below it was looked at
    int error = 0; // the SYNC_ERROR kind a failed run found, shown with the item when it is dropped
};
