#pragma once
// What the mirror folder watcher needs of the sync engine. The engine implements it and hands
// itself to the watcher it owns; the watcher never links the engine. Tests use a fake.
//
// Threads: the watcher calls both operations on its own thread, with none of its locks held.

#include "common/FileInfo.h"
#include "common/SharedTypes.h"

#include <QString>

#include <map>

class QCWatcherHost {
public:
    virtual ~QCWatcherHost() = default;

    // One change of the mirror folder: absolute paths, the path as it is now (for a rename the new
    // path, the old one third). The watcher always passes `userOp` false.
    virtual void NotifyFileChange(const QString& path, SYNC_CHANGE_TYPE type, const QString& oldPath,
                                  bool userOp) = 0;
    // What the index and the journal say lies on disk strictly below `folder` (an absolute path):
    // records with absolute `path`, `is_dir`, `size` and `mtime`, keyed by the lower-cased path.
    // The watcher compares them with the disk after it may have missed changes. False when the
    // engine cannot tell now (no sync folder in effect, the journal closed): the watcher tries
    // again later.
    virtual bool KnownBelow(const QString& folder, std::map<QString, FILE_INFO>& out) = 0;
};
