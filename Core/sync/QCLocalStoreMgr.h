#pragma once
// The sync engine: the one object g_LocalStoreMgr, its own thread, its event queue and its status
// machine. The design note at the top of QCLocalStoreMgr.cpp says which thread owns what.
//
// Threads: operations marked "engine thread" run only there (the queue's handlers, the check loop,
// the status machine); the others may be called from any thread and either read state that is
// safe to read (the status is atomic, the error records and the root path have small locks) or
// post their work to the engine's queue.

#include "Database/QCBlockTable.h"
#include "Transfer/QCDownloadHost.h"
#include "Transfer/QCSyncFile.h"
#include "Transfer/QCUploadHost.h"
#include "cache/QCCache.h"
#include "cache/QCCacheHost.h"
#include "cache/QCCopySourceCache.h"
#include "cache/QCFileInfoCache.h"
#include "cache/QCFileSystemWatcher.h"
#include "cache/QCViewHost.h"
#include "cache/QCViewInterface.h"
#include "cache/QCWatcherHost.h"
#include "common/EventRecords.h"
#include "common/QCEventBase.h"
#include "common/QCLockList.h"
#include "common/QCLockMap.h"
#include "common/QCStringFlag.h"
#include "common/SafePath.h"
#include "common/SharedTypes.h"
#include "network/AccountRecords.h"
#include "network/NodeRecords.h"
#include "network/QCResponseHandler.h"
#include "sync/CSyncError.h"
#include "sync/PendingChanges.h"
#include "sync/QCOutUploadList.h"
#include "sync/QCTimer.h"
#include "sync/SyncRecords.h"

#include <QSharedPointer>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

class NetworkClient;

class QCLocalStoreMgr : public QCResponseHandler,
                        public QCCacheHost,
                        public QCViewHost,
                        public QCDownloadHost,
                        public QCUploadHost,
                        public QCWatcherHost {
public:
    QCLocalStoreMgr();
    // Stops the engine thread and waits for it, when it still runs.
    ~QCLocalStoreMgr() override;
    QCLocalStoreMgr(const QCLocalStoreMgr&) = delete;
    QCLocalStoreMgr& operator=(const QCLocalStoreMgr&) = delete;

    // --- Life (the facade's thread) ---

    // Resets the per-login state, fills the device information, registers the engine with the
    // API client and starts the engine thread (after joining one that has ended).
    void init();
    // Starts the engine thread and the view thread again when they have ended (after a logout);
    // no-op while the engine runs.
    void Start();
    // Whether the engine loop is to run.
    bool running() const { return m_running.load(); }
    bool stoped() const { return !running(); }
    // Asks the engine to end: the loop ends at once, stopping every request and transfer on its
    // way out and closing the journal; the folder watcher ends here (its thread wakes at once).
    // Does not wait for the engine thread. Any thread.
    void stop();
    // Waits up to `ms` for the engine thread and then the view thread to end and joins them; true
    // when both have ended (or were never started). Not on the engine thread.
    bool Wait(int ms);

    // --- The queue (any thread) ---

    // Appends at the tail / inserts at the head of the queue and wakes the engine.
    void AddCoreEvent(std::shared_ptr<QCEventBase> event);
    void AddCoreCritalEvent(std::shared_ptr<QCEventBase> event);
    // One extra pass of the check loop at once (an event 2101 at the head).
    void TriggerTimerEvent();
    // Runs `work` on the engine thread, in queue order (at the head when `urgent`).
    void Post(std::function<void()> work, bool urgent);
    // The same at the tail, for work that nothing outside the engine waits on (a transfer's
    // result, a folder operation's reply): journal rows the engine wrote later may wait past it.
    void PostQuiet(std::function<void()> work);
    // A change of the mirror folder, as it is now (for a rename the new path, the old one third).
    void NotifyFileChange(const QString& path, SYNC_CHANGE_TYPE type, const QString& oldPath,
                          bool userOp) override;

    // --- Status ---

    LOCAL_STATUS LocalStatus() const { return m_status.load(); }
    LOCAL_STATUS LastStatus() const { return m_lastStatus.load(); }
    // The status shown to the user interface (0..7); any thread.
    int QueryStatus() const override;
    // A status snapshot; any thread.
    bool QueryStatusDetail(SYNC_INFO& info);
    // A user request at the head of the queue; any thread.
    void Request(REQUEST_TYPE type);
    // Stop and start again; any thread (posts the restart).
    void RestartSync();
    // The sync folder changed under a login whose files are set up: transfers stop, the journal is
    // committed and closed, the per-login state is cleared and the login starts again from the
    // configuration request, on the same thread. Any thread (posts the work).
    void ChangeSyncPath();
    // Engine thread: the only way into statuses 2 to 8; `notify` sends a status event.
    void ChangeStatus(LOCAL_STATUS status, bool notify);
    // Engine thread: posts a status event (2205) to the user interface.
    void SendUserStatusChangeEvent();

    // --- Paths (any thread) ---

    // The sync folder in effect for this login; empty until its files are set up.
    QString GetRootPath() const;
    // The sync folder in effect is gone: missing, or no longer the folder it was when it came
    // into effect (another device or inode: unmounted, or replaced). What it held then is not
    // deleted by the user, whatever the disk shows.
    bool SyncFolderGone() const;
    // The configured sync folder + "/.Nimbocache".
    QString GetPrivateRoot() const;
    QString GetBlockPath() const;
    QString GetDropPath() const override;
    // Whether `path` lies in the sync folder in effect (the folder itself or below it) and not in
    // the private folder; false while no sync folder is in effect.
    bool IsSyncPath(const QString& path) const override;
    // The cloud path of a local path in the configured sync folder ("" for the folder itself);
    // any other path unchanged.
    QString GetVirtualPath(QString localPath) const override;
    // The local path of a cloud path: joined to the sync folder in effect (or the configured one).
    QString GetDiskPath(const QString& cloudPath) const override;

    // --- The folder watcher (any thread but the watcher's own) ---

    // Watches the configured sync folder, unless that watch is in place already.
    void WatchSyncFolder();
    QCFileSystemWatcher& Watcher() { return m_watcher; }
    // QCWatcherHost: the journal's rows below `folder` and the index's local items that the
    // journal does not hold yet (waiting for upload or checked), with disk paths. False while no
    // sync folder is in effect or the journal cannot be read. Any thread (the watcher's).
    bool KnownBelow(const QString& folder, std::map<QString, FILE_INFO>& out) override;

    // --- The index of the synchronised tree (any thread) ---

    QCCache& Cache() { return m_cache; }
    // The pass counter: 1 after init, one more at each end of a sync pass.
    qint32 PassCounter() const override { return m_finishCount.load(); }
    QString SyncFolderPath() const override;
    QString ReadUserProfile(const QString& key, const QString& def) const override;
    // Queues the notice on the view thread; false while it does not run.
    bool UIEventSendMsg(const FileInfo& record, bool deleted) override;
    // A change of a transfer list entry (kinds: see QCTransferHost); any thread.
    void NotifyUIEvent(const FILE_INFO& record, int kind) override;
    void AddToFailedTask(const FILE_INFO& record) override;

    // --- Transfers (QCLocalStoreMgrTransfer.cpp, QCLocalStoreMgrResult.cpp) ---

    using TaskPtr = std::shared_ptr<QCSyncFile>;
    // Makes the download task of a cloud file (its local path in the record). Tests put doubles
    // in; null gives back the block download (QCDownloadFile).
    using DownloadFactory = std::function<TaskPtr(const FILE_INFO& record)>;
    void SetDownloadFactory(DownloadFactory factory); // engine thread
    // Queues a download (new, at the tail, once per cloud path); false when none was made.
    // Engine thread.
    bool AddDownloadTask(const FILE_INFO& record);
    // Queues a running upload task; engine thread.
    void AddUploadTask(const TaskPtr& task);
    // One pass of the download queue; engine thread.
    void ExecDownloadTask();
    // The pause, resume and priority requests act on uploads in statuses 5 and 6, else on
    // downloads. Engine thread.
    void ProcPauseTask(const QString& cloudPath);
    void ProcResumeTask(const QString& cloudPath);
    void UpdateTaskStatus(const QString& cloudPath, FILE_STATUS status, bool upload);
    void ProcFastTransfer(const QString& localPath);
    void SetFastDownload(const QString& localPath);
    void SetFastUpload(const QString& localPath);
    // Ends every download: its row goes, it shows as not down. Engine thread.
    void CancelAllTask();
    // Marks the upload of `localPath` cancelled for the change pipeline; any thread.
    void CancelUpload(const QString& localPath);
    // Any thread.
    bool IsFileDownloading(const QString& cloudPath) const;
    bool IsFileUploading(const QString& cloudPath) const;
    TaskPtr FindDownloading(const QString& cloudPath) const;
    TaskPtr FindUploading(const QString& cloudPath) const;
    TaskPtr FindTask(const QString& cloudPath, bool& upload) const;
    quint64 GetUpListAverSize() const;
    quint64 GetDownListAverSize() const;
    double GetDownPauseTaskCount() const;
    double GetUpPauseTaskCount() const;
    size_t DownloadCount() const;
    size_t UploadCount() const;
    // The request ids that pending change items carry (filled by the change pipeline); any thread.
    void SetChangeRequestId(unsigned id, bool on);
    // QCTransferHost; any thread.
    void PauseTaskCountAdd(bool isDownload, double weight) override;
    void PauseTaskCountRelease(bool isDownload, double weight) override;
    void PostSyncFileResult(TaskPtr task, int type, unsigned code, QString msg) override;
    // QCUploadHost (QCLocalStoreMgrUpload.cpp); any thread.
    void RunUploadWork(std::function<void()> work) override;
    bool UploadCancelled(const QString& cloudPath) const override;
    double UploadWeight() const override;
    // Starts the upload of the mirror file `localPath` at once through the change pipeline (its
    // pending item is made or taken and run); false when it is no file of the mirror folder or
    // its upload runs already. Engine thread.
    bool UploadMirrorFile(const QString& localPath);
    // Where a task ends (posted by PostSyncFileResult). Engine thread.
    void ProcSyncFileResult(const TaskPtr& task, int type, unsigned code, const QString& msg);
    // Any thread: the history is saved a few seconds later (CheckHistorySave).
    void AddToFinishTask(const FILE_INFO& record);
    // The finished-task history (QCLocalStoreMgrHistory.cpp). Save replaces "history.dat"
    // atomically and then saves the counters; false (file and counters unchanged, the failure
    // reported as DiskFull or DiskWrite) when the file could not be written. Engine thread, except
    // GetTaskDetail (any thread: each list is read under its own lock).
    bool SaveFinishTaskList();
    void LoadFinishTaskList();
    void DeleteFinishTask();
    void GetTaskDetail(TASK_LIST_TYPE type, TASKLIST_NOTIFY& out) const;
    QCFileInfoCache& DownList() { return m_downList; }
    QCFileInfoCache& UpList() { return m_upList; }
    QCFileInfoCache& FailedList() { return m_failedList; }
    QCFileInfoCache& FinishedList() { return m_finishedList; }
    // Local files known to hold a cloud file's content ("cpsrc.dat"); any thread.
    QCCopySourceCache& CopySources() { return m_copySources; }

    // --- Uploads from outside the mirror folder (QCLocalStoreMgrOutUpload.cpp) ---

    // The facade's Upload and UploadCancel (`path`: a cloud path or its mirror path): both write
    // "out.dat" before they return (false when it could not be written; the request still goes
    // on). Any thread.
    bool QueueOutUpload(const QString& path, const QString& localFile);
    // False when the mirror copy made from the source could not be moved aside.
    bool CancelOutUpload(const QString& path);
    QCOutUploadList& OutUploads() { return m_outUploads; }
    // Engine thread: each pass of the change scheduling, once after the offline comparison, each
    // pass while stopped, and when an out-upload finished.
    void OutUploadCheck();
    void OutUploadAfterOfflineCompare();
    void OutUploadCheckPauseDelete();
    void OutUploadFinished(const QString& cloudPath);
    // Writes the user's list and forgets it with what still waits: the next user's are its own.
    void OutUploadLogout();

    // --- The local change pipeline (QCLocalStoreMgrChange.cpp, QCLocalStoreMgrExec.cpp) ---

    // A change the facade makes on disk itself and reports itself: the watcher's report of it is
    // dropped once when it comes within kEchoMs of the core's clock. Any thread.
    void ExpectEcho(SYNC_CHANGE_TYPE type, const QString& path);
    static constexpr qint64 kEchoMs = 10000;
    // The engine renames `path` aside (a conflict copy): the watcher's rename away from it is a new
    // file, not a rename to send. Any thread.
    void ExpectMoveAside(const QString& path);
    // Whether work for `localPath` or anything below it waits or runs (pending items, uploads):
    // the facade refuses to move it meanwhile. Any thread (reads the index and the upload queue).
    bool HasWorkBelow(const QString& localPath);
    // Engine thread.
    void RefreshEventCheck();
    void RefreshEvent(SYNC_CHANGE_INFO& info);
    void RefreshMakeItem(const SYNC_CHANGE_INFO& info, CHANGE_ITEM& item);
    void RefreshMakeDataItem(const FILE_INFO& record, CHANGE_ITEM& item);
    void RefreshCheck();
    PendingChanges::iterator RefreshTodo();
    int RefreshExec(PendingChanges::iterator item);
    void ExecUploadTask();
    bool OfficeMergeEvent(const CHANGE_ITEM& notFound);
    bool OfficeMergeEvent2(const CHANGE_ITEM& notFound);
    void DBConsistRenameDir(const QString& oldDir, const QString& newDir);
    void DBConsistDeleteDir(const QString& dir);
    FILE_INFO GetDiskFileInfo(const QString& diskPath) const;
    // Files in `dir` (a virtual path) that neither the journal nor a waiting item knows become
    // changes: the folder was created or renamed in the cloud, and what was put into it meanwhile
    // must follow. The listing and the journal's read run on the pool; the findings come back.
    void RefreshEnumDir(const QString& dir);
    // The same for the folders created since the last pass, with one read of the journal.
    void RefreshEnumDirs();
    // The files of such a listing that the journal does not know, under the sync folder `root`.
    void QueueUnknownFiles(const QString& root, const std::vector<QString>& paths);
    PendingChanges& PendingForTests() { return m_pending; }
    // The scheduler looks at every item in list order, not only at the free ones: the choices must
    // be the same (a test compares them).
    void SetTodoEveryItemForTests(bool on) { m_todoEveryItemForTests = on; }

    // --- The offline comparison (QCLocalStoreMgrOffline.cpp); engine thread ---
    // The mirror folder against the journal: new and changed entries become pending items, once
    // per start of sync (the status-5 step of RefreshCheck runs it while m_offlineDue is set).
    void CompareOffline();
    // The comparison of a walk's entries (cloud paths); the list is consumed.
    // `unreadable`: the listed folders whose entries could not be read (LocalScan).
    void CompareOfflineByList(std::list<FILE_INFO>& list, const QStringList& unreadable = {});
    // The retry pauses of a failing item, in order; after the last one it is given up.
    static constexpr qint64 kBackoffMs[] = {15000, 30000, 60000, 120000, 240000};
    // The bench's clock of the scheduler: once on, the thread CPU time RefreshTodo takes adds up
    // (ns). Any thread.
    void ClockTodoForTests() { m_clockTodo = true; }
    qint64 TodoCpuNsForTests() const { return m_todoCpuNs.load(); }

    // --- Manual downloads (QCLocalStoreMgrManual.cpp) ---

    // The facade's requests (path: the item's mirror path; see DOWNLOAD_REQUEST); any thread.
    // They are taken in on the engine thread.
    void QueueDownloadRequest(const DOWNLOAD_REQUEST& request);
    void QueueDownloadCancel(const DOWNLOAD_REQUEST& request);
    // Engine thread: takes in the queued requests and cancels (check loop), and the same at the
    // end of a cloud comparison without running the download queue (the argument is not used).
    void CheckManualDownRequest();
    void CompareCloudDeleteLocal(std::map<QString, FILE_INFO>& orphans);
    // Engine thread: expands the requests into download tasks and runs the download queue.
    void ExecManualDownload(std::vector<DOWNLOAD_REQUEST>& requests);
    // Engine thread: what a requested file (cloud record, local_path its target) needs: 10 to
    // download, 2 synced, 8 local changes to upload, 4 a conflict copy could not be made.
    FILE_STATUS CompareCloudFileManual(FILE_INFO& file, QString& reason);
    // Requested downloads wait in status 6 while a rename, move or delete is pending; a test may
    // put its own check in place of the pending list's (null: the pending list's). Engine thread.
    void SetStructuralChangeCheck(std::function<bool()> check);

    // --- Cache clean and temporary files (QCLocalStoreMgrClean.cpp) ---

    // Engine thread: removes the mirror copies that are in step with the journal and that no work
    // concerns (shown as not down afterwards), the folders they leave empty, the temporary files
    // and the private trash; posts one 2207 with what was removed.
    void CacheClean();
    // The clean is the engine thread's last work once its transfers ended (the facade's Uninit
    // asks for it before it stops the engine). Any thread.
    void RequestCleanOnExit();
    // Deletes every file below the block folder. Engine thread.
    void CleanTempBlocks();
    // Whether the file exists and is readable; any thread.
    bool FileCanUpload(const QString& path) const;
    // Drops the failed-task entry of a cloud or mirror path the index knows; false when it does
    // not know it. Any thread.
    bool RemoveFailedTask(const QString& path);
    // The index's listing of a folder; any thread.
    bool ViewDirList(const QString& path, std::vector<FileInfo>& out);

private:
    void CleanMirror(const QString& root, CACHE_CLEAN_NOTIFY& sums);
    std::atomic<bool> m_cleanOnExit{false};

public:
    // --- Replacing the user's files (any thread) ---

    // What the disk says of a local path now, resolved from the sync folder without following a
    // link (a path outside it, or behind a link, does not exist).
    LocalStat StampOf(const QString& path) const;
    enum class ReplaceResult { Done, Conflict, Failed };
    // The one way the engine puts something in place of a user's file: `newFile` renamed over
    // `userFile` (a download), or, with `newFile` empty, `userFile` moved to `trashPath` (never
    // over what is there). `userFile` is stat-ed right before the rename; when it differs in
    // anything from `seen` (the whole stat the caller's decision was made on: size, times to the
    // nanosecond, inode), it is kept as a conflict copy: a download then goes in place beside it
    // (Conflict), a trash move does not happen (Conflict). A download's file is synced to disk
    // before the rename and its folder after it. Failed: nothing was put in place (a link is
    // never replaced nor moved). Every path is resolved from the sync folder (SafePath).
    ReplaceResult ReplaceUserFile(const QString& userFile, const LocalStat& seen, const QString& newFile,
                                  const QString& trashPath = QString());
    // Whether the local file at `localPath` may be replaced or removed by the cloud's `cloud`:
    // nothing there, unchanged since the last sync, already the cloud's content, or moved aside
    // into a conflict copy. False when a copy was needed and could not be made. `seen` gets
    // what the check saw of the path last.
    bool ResolveDownloadConflict(const QString& localPath, const FILE_INFO& cloud, LocalStat* seen = nullptr);
    // A finished download's temporary file put in place of `localPath` (check, then replace); 0,
    // or the SYNC_ERROR kind of the failure.
    int InstallDownload(const QString& tempFile, const QString& localPath, const FILE_INFO& cloud) override;
    // Copies `file` to a new file in `folder` (both in the sync folder) under a name the sync leaves
    // out, with the cloud's time; its path, or empty (nothing left behind) on failure.
    QString CopyBeside(const QString& file, const QString& folder, const FILE_INFO& cloud);
    QCBlockTable& BlockTable() override { return m_blockTable; }
    double RunningDownloadWeight() const override { return m_downWeight; } // engine thread
    QString FindSameHash(const FILE_INFO& record) override;
    QString MatchCopySource(const FILE_INFO& record) override;
    void SetCopySource(const FILE_INFO& record, const QString& localPath) override;
    // Deletes the files of the drop folder that no queued download owns, so a running or resumable
    // download keeps its temporary file. Engine thread.
    void CleanTempFiles();
    // Test hooks: runs between a check and the rename of ReplaceUserFile (or the removal of the
    // cache clean); counts the hashes the conflict check made.
    void SetBeforeReplaceHookForTests(std::function<void(const QString&)> hook);
    int ConflictHashesForTests() const { return m_conflictHashes.load(); }
    static constexpr int kTraceVersionCheck = -3;
    // The cloud version the user details hold; any thread.
    quint32 UserVersionForTests() const {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        return m_userDetail.version;
    }
    // The largest file the service takes, as the user details said; any thread.
    quint64 MaxFileSizeForTests() const {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        return m_userDetail.max_file_size;
    }

    // --- The view thread (any thread) ---

    QCViewInterface& View() { return m_view; }
    // QCViewHost: events go to the receiver given to the configuration.
    bool PostToUi(QCEventBase* event) override;
    // Whether the user asked for the download of `path` (a mirror path) and did not cancel it.
    bool IsDownloadRequested(const QString& path) const override;

    // --- QCResponseHandler (any thread; the work is done on the engine thread) ---

    void SendCoreProcEvent(int command, unsigned int id) override;
    bool IsOrphanTask(unsigned int id) override;
    void OnError(int kind, int serviceErrno, QString text, CMD_STAT_DEBUG* stat) override;
    void ReLogin() override;
    void OnRequestFailed(int command, unsigned int id, int kind, int code) override;
    void AckGetConfig(QJsonValue& data) override;
    void AckLogin(QJsonValue& data, bool noEnterpriseYet) override;
    void AckGetUserDetail(QJsonValue& data, bool typeWasOne) override;
    void AckGetUserSpace(QJsonValue& data) override;
    void AckGetVersion(QJsonValue& data, bool typeWasOne) override;
    void AckGetBgsp(QJsonValue& data) override;
    void AckGetGlobalNodes(QJsonValue& data, unsigned int count, bool fromComet) override;
    void AckGetIncrGlobal(QJsonValue& data, unsigned int count, bool fromComet) override;
    void AckGetEnterpriseList(QJsonValue& data) override;
    void AckGetJumpUrl(QJsonObject& reply) override;
    void ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind, int serviceErrno,
                               QString errmsg) override;
    void ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) override;
    void ProcUploadFile(int command, unsigned int id, QJsonObject& reply) override;

    // --- Test hooks ---

    // Runs `work` on the engine thread (at the head of the queue when `urgent`, else at its tail)
    // and waits at most `timeoutMs` for it to start; false when it did not start in time, and then
    // it never runs. Work that has started is waited for to its end.
    bool CallForTests(std::function<void()> work, int timeoutMs = 5000, bool urgent = true);
    // The types of the events dispatched since the last call, oldest first.
    std::vector<int> TakeTraceForTests();
    // Whether the calling thread is the engine thread.
    bool IsEngineThread() const;
    // Marks in the trace: a fetch of the whole cloud tree, and of its changes (ReqGetAllNodes).
    static constexpr int kTraceFetchAll = -1;
    static constexpr int kTraceFetchChanges = -2;
    // Makes the engine believe that a download runs (engine thread).
    void SetDownloadBusyForTests(bool busy) { m_downloadBusyForTests = busy; }

private:
    // Engine thread.
    void run();
    void OnCheckLoop();
    void ProcOperation(const std::shared_ptr<QCEventBase>& event);
    // Resets the per-login state; `endLoop` also clears the running flag (a logout).
    void InitAll(bool endLoop = true);
    void ClearAll(bool all);
    void DBCommitCheck();
    // Reports a journal write that failed since the last look (DiskFull, DiskWrite): the status
    // shows the error, never "in step", while rows are missing. Engine thread.
    void CheckJournalWrites();
    // Saves the history once kHistorySaveSeconds have passed since a task finished unsaved, so
    // that a process ended by a signal or a crash keeps what finished before. Any status.
    void CheckHistorySave();
    static constexpr int kHistorySaveSeconds = 3;
    void CheckVersion();
    void CheckUiSpeed();
    void CheckConfigReady();
    void InitDevInfo();
    void ProcUserEvent(REQUEST_TYPE request);
    void ProcUserLogin();
    void ProcUserLogout();
    void ProcStartSync();
    void ProcStopSync();
    void ProcReLogin();
    void ReLoginNow();
    void RestartSyncNow();
    void ProcSyncPathChange();
    void CloseJournal();
    void SetRootPath(const QString& root);
    void DropSettledError();
    void ErrorOnThread(int kind, int code, const QString& item, const CMD_STAT_DEBUG* context);
    // The login chain (QCLocalStoreMgrLogin.cpp): a failed step is sent again after a pause that
    // doubles from 1 s to 60 s; a success resets the pause; a refusal the user must act on ends it.
    void ChainSucceeded();
    void ChainFailed(int command, int kind, int code);
    void ResetChain();
    void CheckChainRetry();
    // The node fetch timer: in status 2 or 4 the fetch starts when it is due and no download runs.
    void CheckNodeFetch();
    // The cloud fetch (QCLocalStoreMgrFetch.cpp): one cycle at a time; its steps run on the pool.
    void ReqGetAllNodes(bool fromComet);
    bool CheckGlobalNodesCache();
    void DoIncrGlobalFinish();
    void SendFetchStep(int command, std::function<void()> step);
    void FetchFailed(int command, int kind, int code);
    void FetchStepSucceeded();
    void CheckFetchRetry();
    void ResetFetch();
    void ClearNodeTree();
    // Ends every transfer task as leaving its queue ends it (requests cancelled, list entries
    // removed, paused weights released). Engine thread.
    void EndAllTransfers();
    // Takes `task` out of its queue; false when it is not there. Any thread.
    bool RemoveTask(const TaskPtr& task);
    // A finished download: the row and "synced" in the mirror, "not down" beside a copy elsewhere.
    void RecordFinishedDownload(const FILE_INFO& record, const QString& diskPath, const QString& localPath);
    // Stores the journal row of each of these cloud folders that is on disk and has none, taken
    // from its index entry.
    void RecordFolderRows(const std::vector<QString>& folders);
    // The record of an index entry, under its cloud path and the given local path.
    static FILE_INFO RecordOfEntry(const FileInfo& entry, const QString& cloudPath, const QString& localPath);
    void ProcDownloadResult(const TaskPtr& task, int type, unsigned code);
    void ProcUploadResult(const TaskPtr& task, int type, unsigned code);
    // The change pipeline's private steps (engine thread).
    // Whether the local item at `diskPath`, or a folder above it, shares its name up to letter
    // case with another item of its folder that is the service's: the one the journal holds, else
    // the one the index holds, else the first in byte order. With `collides` the item's own folder
    // is listed even when neither holds another case (both names new, as a scan finds them).
    bool IsLocalCaseTwin(const QString& diskPath, bool collides = false);
    // Keeps a case twin's report out of the sync (shown held, status 4 with SameNameNode): true
    // when the report is settled here. A twin's rename is a new item under its new name; the
    // delete or rename of the item it stood beside lets it be reported again.
    bool TakeCaseTwin(SYNC_CHANGE_INFO& info, CHANGE_ITEM& item);
    void ReleaseCaseTwins(const QString& diskPath);
    bool IsEcho(const SYNC_CHANGE_INFO& info);
    // The journal row of `path`, from the rows the intake read at once for its reports when it
    // asked for that path, else from the journal.
    bool JournalRow(const QString& path, FILE_INFO& row);
    bool IsUnchangedFile(const CHANGE_ITEM& item);
    bool RefreshIsPathRenaming(const QString& cloudPath);
    bool RefreshSupportCancelUpload(const QString& cloudPath);
    void RefreshCancelUpload(quint32 id);
    bool RefreshCancelPreviousUploadByChange(PendingChanges::iterator earlier);
    // Cancels and drops the waiting and running items at or below the deleted path, except an
    // upload that is committing: that one cannot be called back, so it stays, the delete waits
    // for it, and `*committing` (when given) is set.
    bool RefreshCancelPreviousUploadByDelete(const CHANGE_ITEM& del, bool* committing = nullptr);
    void RefreshCancelPreviousDownload(const QString& diskPath);
    void SaveUploadRollbackInfo(CHANGE_ITEM& item);
    void PutOff(PendingChanges::iterator item);
    void GiveUp(PendingChanges::iterator item);
    // A mirror file whose upload was given up because it cannot be read, and which is still as it
    // was then: it stays given up (its entry is dropped once it changed).
    bool GivenUpUnchanged(const QString& diskPath);
    // An item of the mirror that the engine may not read (EACCES), or that lies in a folder it may
    // not list: shown as an error with its reason. What it holds is unknown, not absent, so its
    // journal rows stay and nothing is sent or fetched for it.
    void MarkUnreadable(const QString& diskPath, const FILE_INFO& record);
    // `diskPath` cannot be looked at, or is a folder that cannot be listed.
    bool Unreadable(const QString& diskPath) const;
    // A mirror item whose name is not valid text (SafePath::IsUndecodable): shown as an error,
    // never sent, never merged with another item.
    void MarkBadName(const QString& diskPath);
    // Shows a mirror item as failed with `errorType`, in the index only.
    void ShowFailed(const QString& diskPath, bool isDir, int errorType);
    // After the whole index was cleared: what the mirror holds that cannot be synced is shown
    // failed again (names that are not text, unreadable folders, given-up files); `local` is the
    // scan's records left after the comparison, `unreadable` its unreadable folders.
    void ShowLocalFailures(const std::map<QString, FILE_INFO>& local, const QStringList& unreadable);
    // A report that names such an item: its error shown (or its entry gone with it). True when
    // nothing is left of the report; a rename between such a name and a valid one goes on as the
    // valid side's add or delete.
    bool TakeBadName(SYNC_CHANGE_INFO& info);
    void DropItem(PendingChanges::iterator item, int result);
    bool DeleteGuardHolds();
    void ShowDeleteHold();
    // Once the sync folder the guard saw gone is back, the waiting deletes of items it holds again
    // are dropped: they were never the user's.
    void DropDeletesOfItemsBack();
    // A cancelled out-upload: its entry, its waiting or running upload and its cancel mark go,
    // and its mirror path shows what the journal says of it again.
    void EndOutUpload(const QString& cloud);
    void RestoreFromJournal(const QString& mirror, const QString& cloud);
    void FinishPass();
    void RunFolderOperation(PendingChanges::iterator item, int command);
    void FolderOperationDone(quint32 token, int command, unsigned int requestId);
    // A folder's delete first fetches the cloud's changes since the tree (QCLocalStoreMgrFolderCheck.cpp):
    // what another device put below the folder meanwhile stays, and everything else is recycled.
    void CheckFolderBeforeDelete(PendingChanges::iterator item);
    void FolderCheckDone(quint32 token, bool fetched, const NodeMap& changed);
    // The node-list page size asked of the service.
    static int NodePageSize();
    void ProcCloudCopy(const QString& source, const QString& target);
    void CloudCopyDone(const QString& source, const QString& target, int kind, int serviceErrno,
                       const QString& errmsg);
    void ChangeUploadEnded(const TaskPtr& task, int type, unsigned code, bool& handled);
    void ResetRunningChanges(bool uploadsOnly = false);
    // A version request (at most one every two seconds); engine thread.
    void RequestVersionCheck();
    // The cloud comparison (QCLocalStoreMgrCompare.cpp). `oldPaths`: node id -> cloud path before
    // this cycle, for nodes the cycle changed (local copies follow a move; deleted ones included).
    // With `changed` only those nodes, the subtrees whose path changed and the rows of deleted
    // nodes are compared; without it the whole tree is, and the index is rebuilt.
    class JournalBatch;
    void CompareCloud(NodeMap& nodes, const std::map<QString, QString>& oldPaths, const NodeMap* changed);
    // Sets every node's cloud path; a node in a parent cycle, below a missing parent or with a
    // name that cannot be a file name gets an empty one, as does its subtree. Returns their count.
    static size_t CalcServerPaths(NodeMap& nodes);
    // Clears the path of every node whose path another node has in another letter case, and of
    // everything below it; the count.
    static size_t LeaveOutCaseTwins(NodeMap& nodes);
    // The cloud path of one node, or "" as above.
    static QString NodePath(const NodeMap& nodes, const QString& nid);
    FILE_STATUS CompareCloudFile(FILE_INFO& cloud, const QString& localPath, QString& reason,
                                 std::map<QString, FILE_INFO>& local, std::map<QString, FILE_INFO>& db,
                                 JournalBatch& journal);
    FILE_STATUS CompareCloudDir(FILE_INFO& cloud, const QString& localPath,
                                std::map<QString, FILE_INFO>& local, std::map<QString, FILE_INFO>& db,
                                JournalBatch& journal);
    void ApplyCloudMoves(NodeMap& nodes, const std::map<QString, QString>& oldPaths);
    // Renames the local entry of `cloud` (found in `local` by its lower-cased path) to the
    // cloud's letter case, a folder with its contents and journal rows.
    void FollowCloudCase(const FILE_INFO& cloud, const QString& localPath,
                         std::map<QString, FILE_INFO>& local);
    // Journal rows without a cloud node: unchanged local files go to the trash. False when too
    // many would go and the user has not confirmed (nothing is removed then).
    bool ApplyCloudDeletions(const std::map<QString, FILE_INFO>& orphans, size_t journalFiles);
    // The local path of a cloud path, false unless it lies below the sync folder and every name of
    // it takes part in the sync (IsSyncedPath).
    bool SafeDiskPath(const QString& cloudPath, QString& localPath) const;
    // The content hash of the local file at `path`, read without following a link; empty when it
    // cannot be read.
    QString HashLocalFile(const QString& path) const;
    // A cloud file whose local copy the cloud has overtaken.
    void QueueCloudDownload(const FILE_INFO& node, const QString& localPath);

public:
    // Renames the local file or folder at `localPath` aside to a conflict copy beside it, never
    // over an existing name; true also when nothing is there. `copyPath`, when given, receives the
    // copy's path (left empty when nothing was renamed). Any thread.
    bool MakeConflict(const QString& localPath, QString* copyPath = nullptr);
    // Starts a cloud fetch cycle (as the user details do).
    void FetchForTests() {
        Post([this] { ReqGetAllNodes(false); }, false);
    }
    // The cloud version the fetch reached. Engine thread.
    quint32 FetchedVersionForTests() const { return m_incrVersion; }
    // Compares the whole tree the engine holds, as the first cycle after a start does.
    bool CompareAllForTests() {
        return CallForTests([this] { CompareCloud(m_globalAck.nodes, {}, nullptr); }, 60000, false);
    }
    // Runs the cloud comparison of `nodes` (keyed by node id) on the engine thread.
    // With `oldPaths` (node id -> cloud path before) local copies follow the moves; with
    // `changedOnly` only `nodes` are compared, as after a cycle of changes.
    bool CompareForTests(NodeMap nodes, std::map<QString, QString> oldPaths = {}, bool changedOnly = false);
    // The records of the queued downloads, which are ended and dropped (engine thread).
    std::vector<FILE_INFO> TakeCloudDownloadsForTests();
    // The trash folder of this moment: ".Nimbocache/trash/<yyyyMMdd-HHmmss>".
    QString TrashFolder() const;
    // Moves `localPath` to <trashFolder><cloudPath> by a rename, unless it differs from `seen`
    // (then it is kept as a conflict copy); false when it was not moved to the trash.
    bool MoveToTrash(const QString& localPath, const QString& cloudPath, const QString& trashFolder);
    bool MoveToTrash(const QString& localPath, const QString& cloudPath, const QString& trashFolder,
                     const LocalStat& seen);

private:
    // Manual downloads (QCLocalStoreMgrManual.cpp); engine thread.
    void TakeManualRequests(bool compareEnd);
    void ProcDownloadCancels();
    size_t EndDownloadsBelow(const QString& cloud, bool removeTemp);
    void KeepCopyRequest(const QCSyncFile& task);
    bool StructuralChangePending() const;

    bool DownloadRunning() const;
    void UpdateUserInfo(USER_DETAIL_ACK reply);
    static ENTERPRISE_ITEM GetEnterpriseItem(const QJsonValue& value, ENTERPRISE_TYPE type);
    static void FillEnterpriseList(const QJsonObject& data, std::vector<ENTERPRISE_ITEM>& items,
                                   const QString& key, ENTERPRISE_TYPE type);
    // Runs `work` on the control pool (or on `pool`), unless the engine stops or clears its work
    // before the task starts.
    void RunOnPool(std::function<void()> work);
    void RunOnPool(QThreadPool& pool, std::function<void()> work);
    // Stops the requests of the engine's pool tasks until none is left, at most until `deadline`
    // (steady clock); true when none is left.
    bool EndPoolTasks(std::chrono::steady_clock::time_point deadline);
    // The budgets of running uploads and downloads (weights; paused tasks not counted), and the
    // transfer pool sized for them. Any thread / engine thread.
    double UploadBudget() const;
    double DownloadBudget() const;
    void SizeTransferPool();
    // How long the loop may wait for the next event: at most 100 ms, less when a timer is due.
    unsigned long WaitMs() const;

    // Set once.
    std::shared_ptr<QCEventBase> m_stopWake; // queued by stop() to wake the loop

    // Any thread.
    QCLockList<std::shared_ptr<QCEventBase>> m_events; // commands for the engine
    QCLockList<SYNC_CHANGE_INFO> m_changes;            // local changes (consumed by the intake)
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false}; // stop() was called since the last init()
    std::atomic<LOCAL_STATUS> m_status{LOCAL_STATUS_WAIT_LOGIN};
    std::atomic<LOCAL_STATUS> m_lastStatus{LOCAL_STATUS_WAIT_LOGIN};
    std::atomic<qint32> m_lastPassCount{0}; // files handled in the last pass (status detail)
    std::atomic<qint32> m_finishCount{0};   // the pass counter (written on the engine thread)
    std::atomic<qint32> m_detailCounter1{0};
    std::atomic<quint64> m_fetchedNodes{0}; // nodes of the cloud tree fetched so far
    std::atomic<qint32> m_detailCounter2{0};
    std::atomic<bool> m_profileFiguresRead{false}; // the saved space figures were looked at
    std::atomic<bool> m_cloudCompared{false};      // the last cloud comparison ran to its end
    // Bumped by ClearAll and stop: pool tasks queued before it do not start.
    std::atomic<quint64> m_workGeneration{0};
    // Pool tasks queued and not yet ended; guarded by m_poolLock.
    std::mutex m_poolLock;
    std::condition_variable m_poolDone;
    int m_poolTasks = 0;

    // The thread; guarded by m_threadLock.
    mutable std::mutex m_threadLock;
    std::condition_variable m_threadEnded;
    std::thread m_thread;
    bool m_threadRunning = false;
    std::atomic<std::thread::id> m_engineThreadId{std::thread::id()};

    // Guarded by m_rootLock.
    mutable std::mutex m_rootLock;
    QString m_rootPath;
    bool m_rootKnown = false; // the identity below was taken when the folder came into effect
    quint64 m_rootDevice = 0;
    quint64 m_rootInode = 0;

    // Written on the engine thread, read by the status detail; guarded by m_errorLock.
    mutable std::mutex m_errorLock;
    CSyncError m_syncError;    // the error shown to the user
    CSyncError m_networkError; // the last transport or HTTP failure

    // Guarded by m_userDetailLock (written by the reply handlers and InitAll on the engine thread).
    mutable std::shared_mutex m_userDetailLock;
    USER_DETAIL_ACK m_userDetail;

    // Engine thread only.
    bool m_restarting = false;
    std::atomic<int> m_runningPassCount{0}; // set by NotifyUIEvent on any thread
    std::atomic<bool> m_historyUnsaved{false}; // set by AddToFinishTask on any thread
    int m_changeCount = 0;
    int m_protectCount = 0;      // re-logins within this login
    qint64 m_reloginAtMs = -1;   // a re-login held back by the protection pause, -1: none
    qint64 m_lastRefreshMs = -1; // the last accepted refresh request
    qint64 m_lastCommitMs = -1;  // the last timed commit of the journal
    quint32 m_incrVersion = 0;   // the cloud version the incremental fetch reached
    QCTimer m_versionTimer;
    QCTimer m_speedTimer;
    QCTimer m_spaceTimer;
    QCTimer m_nodeTimer;               // a cloud fetch that could not start when it was due
    QCTimer m_historyTimer;            // the save of tasks finished since the last one
    GLOBAL_NODES_ACK m_globalAck;      // its nodes: the cloud tree, keyed by node id
    NodeMap m_previousNodes;           // the tree a whole listing replaces, until it is compared
    INCR_GLOBAL_ACK m_incrAck;         // the changes of the running cycle
    QString m_gsp;                     // the sync point the tree reflects; empty: fetch it whole
    bool m_treeLoaded = false;         // the tree in memory is that of m_gsp
    bool m_needCompare = true;         // compare at the end of the next cycle even without changes
    bool m_fetchActive = false;        // a cycle runs
    int m_fetchCommand = 0;            // the step whose reply is awaited
    std::function<void()> m_fetchStep; // sends that step again
    qint64 m_fetchRetryAtMs = -1;
    qint64 m_fetchPauseMs = 1000;
    bool m_comparedOnce = false;        // a comparison ended since the tree was loaded
    bool m_cloudCheckDirty = false;     // some node waits for the download queue
    bool m_offlineDue = true;           // the offline comparison of this start has not run yet
    bool m_massDeletePending = false;   // cloud deletions wait for the user's start
    bool m_massDeleteConfirmed = false; // the user started the sync over them
    bool m_versionFlag = false;         // the last version reply was not older than the known version
    int m_chainCommand = 0;             // the login step to send again, 0: none
    qint64 m_chainRetryAtMs = -1;       // when to send it
    qint64 m_chainPauseMs = 1000;       // the pause before the next retry
    qint64 m_lastShownErrorMs = 0;
    bool m_downloadBusyForTests = false;

    // The change pipeline (engine thread only).
    PendingChanges m_pending;
    std::map<QString, LocalStat> m_givenUp; // disk paths of unreadable files given up, as they were
    int m_acceptedChanges = 0;     // items that reached the merge step since the last status 7
    double m_upWeight = 0;         // weight of the uploads the last scheduling counted
    std::set<quint32> m_folderOps; // the item ids of the running folder operations
    // The scheduler's scan, resumed by the next RefreshTodo of the same loop of RefreshCheck
    // (m_scanResumable): the items before the one chosen were looked at already.
    struct TodoScan {
        bool valid = false;
        bool listOrder = false;        // resumed at `next`, else at the free item after chosenSeq
        PendingChanges::iterator next; // the item after the one chosen
        quint64 chosenSeq = 0;
        bool fastSeen = false;
        bool onlyDeletes = true;
        bool folderOpsHeld = false;
    };
    TodoScan m_scan;
    bool m_scanResumable = false;
    bool m_todoEveryItemForTests = false;
    // Exchanges whose replies the engine read this turn, ended on the pool after it.
    std::vector<QSharedPointer<NetworkClient>> m_spentClients;
    // What the last whole scan that started nothing saw: while none of it changes and no waiting
    // item it passed has settled, another scan would start nothing either.
    struct IdleScan {
        bool valid = false;
        quint64 version = 0;
        double weight = 0;
        double budget = 0;
        quint64 bytes = 0;
        qint64 delay = 0;
        int tasksUp = 0;
        size_t folderOps = 0;
        quint32 errorKind = 0;
        qint64 settleMs = 0; // when the first waiting item it passed settles
    };
    IdleScan m_idleScan;
    std::vector<QString> m_enumDirs; // folders created, to be looked into for new files
    quint64 m_enumRunning = 0;       // 1 + the work generation of the listing under way, 0: none
    // The journal rows of the reports the intake takes in at once (lower-cased paths), and the
    // paths it asked for; empty outside the intake.
    std::map<QString, FILE_INFO> m_intakeRows;
    std::set<QString> m_intakeAsked;
    bool m_versionHold = false;           // a newer cloud version waits: no new item starts
    bool m_deleteHold = false;            // waiting deletes are held for the user (status 8, kind 48)
    bool m_deleteConfirmed = false;       // the user's start sends them
    bool m_syncFolderWasGone = false;     // the delete guard saw the sync folder gone
    std::atomic<bool> m_clockTodo{false}; // the bench's clock of RefreshTodo (any thread)
    std::atomic<qint64> m_todoCpuNs{0};
    // Reports the facade made itself, by "type|lower-cased path" -> when they stop counting;
    // guarded by m_echoLock.
    std::mutex m_echoLock;
    std::multimap<QString, qint64> m_echoes;

    // Transfer queues. A queue mutex guards its queue and path map (and m_downSizes) for
    // lookups, insertions and removals only: no task is called while it is held, except the
    // short lookups of a task's request ids.
    mutable std::mutex m_downLock;
    std::list<TaskPtr> m_downQueue;
    std::map<PathIndex, int> m_downPaths;
    std::map<QString, quint64> m_downSizes; // local path -> size of downloads started
    mutable std::mutex m_upLock;
    std::list<TaskPtr> m_upQueue;
    std::map<PathIndex, int> m_upPaths;
    // Paused weights, each under its own mutex.
    mutable std::mutex m_downPauseLock;
    double m_downPaused = 0;
    mutable std::mutex m_upPauseLock;
    double m_upPaused = 0;
    // Request ids of pending change items; guarded by m_changeIdLock.
    mutable std::mutex m_changeIdLock;
    std::set<unsigned> m_changeIds;
    // The four transfer lists; each has its own lock.
    QCFileInfoCache m_downList;
    QCFileInfoCache m_upList;
    QCFileInfoCache m_failedList;
    QCFileInfoCache m_finishedList;
    QCCopySourceCache m_copySources;
    QCOutUploadList m_outUploads;       // its own locks; "out.dat" of the user's folder
    QCLockList<QString> m_upCancelList; // cloud paths, consumed by the change pipeline
    // Manual downloads: filled by the facade, emptied on the engine thread; the map (mirror path
    // -> request) keeps what the user asked into the mirror until it is cancelled.
    QCLockList<DOWNLOAD_REQUEST> m_downRequests;
    QCLockList<DOWNLOAD_REQUEST> m_downCancels;
    QCLockMap<DOWNLOAD_REQUEST> m_requestedDowns;
    // Files of copies outside that another transfer of the same cloud file held up, one request
    // each, asked again once that transfer has ended. Engine thread.
    std::vector<DOWNLOAD_REQUEST> m_deferredCopies;
    std::function<bool()> m_structuralChangePending; // engine thread
    QCStringFlag m_cancelMarks;
    std::atomic<qint64> m_downPhaseEndMs{0};
    std::atomic<qint64> m_recheck{0};
    std::atomic<int> m_conflictHashes{0};
    // Engine thread only.
    DownloadFactory m_downloadFactory;
    double m_downWeight = 0;   // weight of the downloads the last pass counted
    QCBlockTable m_blockTable; // where full blocks of finished and running downloads lie
    // Guarded by m_hookLock.
    std::mutex m_hookLock;
    std::function<void(const QString&)> m_beforeReplaceHook;

    // Test hook; guarded by m_traceLock.
    std::mutex m_traceLock;
    std::vector<int> m_trace;

    // The index; its own lock guards it. Declared last, so it goes first: it calls back into the
    // engine while it lives.
    QCCache m_cache{*this};
    // The view thread reads the index: declared after it, so it ends before the index goes.
    QCViewInterface m_view{m_cache, *this, *this};
    // Reports into the change queue and reads the index: declared last, so it ends first.
    QCFileSystemWatcher m_watcher{*this};
};

// The one engine object.
extern QCLocalStoreMgr g_LocalStoreMgr;
