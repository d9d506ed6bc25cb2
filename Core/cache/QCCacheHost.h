#pragma once
// What the index of the synchronised tree needs of the sync engine. The engine implements it and
// hands itself to the index it owns; the index never links the engine. Tests use a fake.
//
// Threads: any thread that uses the index may call these. The index calls PassCounter and
// UiStatus while it holds its lock, so they must only read atomics; it calls every other
// operation with its lock released (a notice may take the view thread's or a transfer list's
// lock, a settings read touches a file).

#include "common/FileInfo.h"

#include <QString>
#include <QtGlobal>

class QCCacheHost {
public:
    virtual ~QCCacheHost() = default;

    // The engine's pass counter: 1 after it initialises, one more each time a sync pass ends.
    virtual qint32 PassCounter() const = 0;
    // The engine's status as the user interface sees it (0..7).
    virtual int QueryStatus() const = 0;

    // The configured sync folder; empty when none is set.
    virtual QString SyncFolderPath() const = 0;
    // The cloud path of a local path inside the sync folder; any other text unchanged.
    virtual QString GetVirtualPath(QString localPath) const = 0;
    // The local path of a cloud path.
    virtual QString GetDiskPath(const QString& cloudPath) const = 0;
    // A key of the user's settings, or `def`.
    virtual QString ReadUserProfile(const QString& key, const QString& def) const = 0;

    // Hands a changed (deleted false) or removed (deleted true) record to the view thread.
    virtual bool UIEventSendMsg(const FileInfo& record, bool deleted) = 0;
    // Tells the transfer lists that an entry changed; the index sends only kind 3 (an upload
    // entry was updated).
    virtual void NotifyUIEvent(const FILE_INFO& record, int kind) = 0;
    // Adds the record to the list of failed transfers.
    virtual void AddToFailedTask(const FILE_INFO& record) = 0;
};
