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
