#pragma once
// The one entry of the user interface into the core. It holds no state and no logic of its own:
// each operation reads engine state, puts work on the engine's queue or lists, or reads the
// configuration, and returns at once (only Uninit waits, for the engine thread to end).
//
// Threads: the user interface's thread (the headless driver's main thread in tests).

#include "common/FileInfo.h"
#include "common/SharedTypes.h"

#include <QString>

#include <list>

class QObject;

class VUZeroz {
public:
    static VUZeroz* GetInstance();
    VUZeroz(const VUZeroz&) = delete;
    VUZeroz& operator=(const VUZeroz&) = delete;

    // Initialises the configuration for this device type with `receiver` as the receiver of core
    // events and starts the engine. True.
    bool Init(QObject* receiver);
    // Stops the engine and waits for its thread (at most 5 s after every request was stopped),
    // then forgets the user. With `cleanCache` the engine's last work, once its transfers ended,
    // is the cache clean. False, with a warning, when the engine did not end in time.
    bool Uninit(bool cleanCache);
    // Switches to the account `accountId` with the credential `password` ("Q=..; T=..;"); the
    // enterprise id to use: `enterpriseId`, or the configured one when it is empty. An empty
    // account id changes nothing and gives an empty text.
    QString SetUser(const QString& accountId, const QString& password, bool autoLogin,
                    const QString& enterpriseId);
    // The login request at the head of the engine's queue. True.
    bool Login();
    // Stop and start the sync again. True.
    bool Retry();
    // A user request (login, logout, start, stop, refresh, cache clean); login and start start the
    // engine thread again when it has ended. True.
    bool Request(REQUEST_TYPE type);
    // A status snapshot.
    SYNC_INFO Status() const;
    // Asks for the account's enterprises; the list comes back as event 2213. True.
    bool GetEnterpriseList();
    // Asks for the address of the service's page `key` (of the enterprise `argument` when it is
    // not empty); it comes back as event 2214.
    void GetJumpUrl(const QString& key, const QString& argument);
    // The same for a page about the item at `path` (a cloud or mirror path): named by its node id
    // when the index holds one, else by its cloud path. Nothing is asked for an empty path.
    void GetFileOperateJumpUrl(const QString& key, const QString& path);
    // Keys of the user's "config.ini".
    QString GetUserString(const QString& key, const QString& def);
    int GetUserInt(const QString& key, int def);
    // The application data folder ("" when it could not be made).
    QString GetAppdataPath() const;
    // The mirror copy of a cloud path; a path already inside the sync folder is returned as it is;
    // "" for an empty path or while no sync folder is configured.
    QString GetCachePath(const QString& path);
    // The index's record of `path` (a cloud or mirror path) with its progress; a folder's carries
    // the roll-up of its subtree (sizes, file and folder counts). False when the index does not
    // hold the path.
    bool GetFileInfo(const QString& path, FileInfo& info);
    // The index's entries below the folder `path`, only its direct children unless `recursive`,
    // in the index's order (paths compared without regard to case). False, with `entries`
    // unchanged, for an empty path or one the index does not hold; true for an empty folder.
    bool GetPathInfo(const QString& path, bool recursive, std::list<FileInfo>& entries);
    // Queue a listing of the folder `path` (entries in pages of `count`), a listing of everything
    // below `path`, or a search for `text` (first page of `count` hits) on the view thread; the
    // entries come back as events 2201. 0 or -1: no page limit. False when refused (the engine
    // does not run; for ViewList also a path outside the sync folder).
    bool ViewList(const QString& path, int count);
    bool ViewCustomDir(const QString& path, int count);
    bool ViewSearch(const QString& text, int count);
    // Maps `localFolder` to the cloud root (the cloud folder argument is not used). When another
    // folder is in effect for the running login, the engine logs in again for the new one; the
    // outcome comes as status events. Returns at once.
    void MapSyncPath(const QString& localFolder, const QString& cloudFolder);
    // Asks for the download of the cloud item `cloudPath` (a folder: everything below it) into the
    // mirror folder, or, with `targetFolder`, a copy of it into that folder outside the mirror.
    // Only queues: the engine takes the request on its thread. False while the engine is stopped
    // and for a target inside the sync folder; true (nothing queued) for a synced file whose
    // mirror copy is there.
    bool DownloadStart(const QString& cloudPath, const QString& targetFolder);
    // Cancels the downloads of `cloudPath` and everything below it; with `failed` also their
    // temporary files and failed-task entries go. Only queues. False.
    bool DownloadCancel(const QString& cloudPath, bool failed);
    // Fills `list` with the running or finished transfers (its type says which); true.
    bool GetTaskList(TASKLIST_NOTIFY& list);
    // Pause or resume the transfer of `path` (a cloud or mirror path): an event at the head of the
    // engine's queue. False for an empty path, else true.
    bool PauseTask(const QString& path);
    bool ResumeTask(const QString& path);
    // Cancels the transfers: while the uploads of a check run (status 5), every upload of a file
    // from outside the mirror folder, as UploadCancel does; otherwise every download (an event at
    // the head of the engine's queue). False.
    bool CancelAllTask();
    // Asks the engine to forget the finished transfers; it empties "history.dat" and the
    // counters and answers with event 2208.
    void DeleteHistoryTask();

    // The mirror commands act on the mirror copy and report the change to the engine, which
    // carries it to the service. Paths are cloud paths or mirror paths. Results: 0 done, 1 the
    // target exists, 2 the local operation failed or the item's state forbids it (work for it
    // waits or runs), 3 the source or the target folder is unknown, 5 the engine is stopped.
    int Rename(const QString& oldPath, const QString& newPath);
    // Moves the item into `targetFolder` on disk at once; a refusal of the service moves it back.
    int Move(const QString& sourcePath, const QString& targetFolder);
    // The mirror copy goes to the private trash, the cloud item to the recycle bin.
    int Recycle(const QString& path);
    // Asks the service for a copy; an old mirror copy of the target makes way only once the
    // service has made it (event 2215 tells the outcome). 0.
    int CloudCopyTo(const QString& sourcePath, const QString& targetPath);

    // Uploads the file `localFile` from outside the mirror folder to `cloudPath`; the mirror gains
    // no copy. The request is on disk when this returns (false when it could not be written; the
    // upload still goes on).
    bool Upload(const QString& cloudPath, const QString& localFile);
    // Cancels the out-upload to `cloudPath`. A mirror copy this system made from its source goes
    // to the private trash while that source is there; any other mirror file stays. False when
    // that copy could not be moved or the cancel could not be written.
    bool UploadCancel(const QString& cloudPath);

private:
    VUZeroz() = default;
};
