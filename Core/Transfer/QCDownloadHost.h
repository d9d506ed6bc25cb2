#pragma once
// What a download task needs of the sync engine beyond QCTransferHost: where its temporary file
// goes, how the finished file is put in place of the user's, and where full blocks of earlier
// downloads lie. The engine implements it; the transfer library never links the engine. Any
// thread may call every operation.

#include "Transfer/QCTransferHost.h"

#include <QString>

class QCBlockTable;

class QCDownloadHost : public QCTransferHost {
public:
    // The private drop folder of downloads into the sync folder; empty while none is set up.
    virtual QString GetDropPath() const = 0;
    // Whether `path` lies in the sync folder in effect.
    virtual bool IsSyncPath(const QString& path) const = 0;
    // Puts the finished `tempFile` in place of `localPath` (a path in the sync folder): its folder
    // made, the file synced to disk and renamed over the target after checking, right before the
    // rename, that the local file is still what the decision saw (else it is kept as a conflict
    // copy), and the folder synced. Never through a symbolic link. 0 when it is in place, else the
    // SYNC_ERROR kind of the failure: DiskDir, DiskWrite, DiskFull, NoPerm, FileUsing (the
    // temporary file stays for a later try), NameTooLong (the name can never be placed: the
    // temporary file is removed).
    virtual int InstallDownload(const QString& tempFile, const QString& localPath,
                                const FILE_INFO& cloud) = 0;
    // Where full blocks of this engine's downloads lie; lives as long as the host.
    virtual QCBlockTable& BlockTable() = 0;
    // The summed weight of the downloads running now; while it is small each may keep more block
    // requests in flight.
    virtual double RunningDownloadWeight() const = 0;
    // A local file known to hold `record`'s content (its journal row has that hash and the file is
    // unchanged since), or empty. Engine thread.
    virtual QString FindSameHash(const FILE_INFO& record) = 0;
    // The local file recorded as holding the content of `record`'s cloud path, while it keeps the
    // record's size and time; or empty. Any thread.
    virtual QString MatchCopySource(const FILE_INFO& record) = 0;
    // Records `localPath`, a finished download outside the sync folder, as holding `record`'s
    // content, unless a matching source is recorded already; forgets the cloud path's source when
    // `localPath` is empty. Any thread.
    virtual void SetCopySource(const FILE_INFO& record, const QString& localPath) = 0;
};
