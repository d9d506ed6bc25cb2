// Manual downloads: the user asks for cloud items that the cloud comparison leaves not down (11),
// into the mirror folder or copied into a folder outside it, and cancels them.
//
// Threads: the facade only queues (QueueDownloadRequest, QueueDownloadCancel: any thread); the
// engine thread takes the requests in on its check loop (CheckManualDownRequest) and at the end
// of a cloud comparison (CompareCloudDeleteLocal), expands folders from the index, compares each
// file with its journal row and mirror copy and queues the download tasks.
//
// Statuses: a request is taken in 7 and 4 (and moves the engine to 4), and in 6 beside running
// uploads (the engine stays in 6 and its check loop runs the download queue) unless a rename,
// move or delete is pending, when requests and cancels wait. In 8 only cancels are taken.
//
// Requested downloads into the mirror stay in m_requestedDowns until cancelled: every cloud
// comparison puts them back on the request list, so requested items follow the cloud. A copy to a
// folder outside is made once: asked again after every comparison, it would bring back what the
// user has since deleted or edited there. Its files that another transfer of the same cloud file
// holds up wait in m_deferredCopies instead of being dropped.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCSyncDB.h"
#include "Transfer/QCDownloadFile.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

void QCLocalStoreMgr::QueueDownloadRequest(const DOWNLOAD_REQUEST& request) {
    m_downRequests.Add(request);
    TriggerTimerEvent();
}

void QCLocalStoreMgr::QueueDownloadCancel(const DOWNLOAD_REQUEST& request) {
    m_downCancels.Add(request);
    TriggerTimerEvent();
}

bool QCLocalStoreMgr::IsDownloadRequested(const QString& path) const {
    return m_requestedDowns.Find(path);
}

bool QCLocalStoreMgr::StructuralChangePending() const {
    if (m_structuralChangePending)
        return m_structuralChangePending();
    // Only asked while requests wait, so a walk over the pending changes is cheap enough.
    for (const CHANGE_ITEM& item : m_pending) {
        if (item.type == SYNC_CHANGE_REN || item.type == SYNC_CHANGE_DEL)
            return true;
    }
    return false;
}

void QCLocalStoreMgr::SetStructuralChangeCheck(std::function<bool()> check) {
    m_structuralChangePending = std::move(check);
}

void QCLocalStoreMgr::CheckManualDownRequest() {
    TakeManualRequests(false);
}

void QCLocalStoreMgr::CompareCloudDeleteLocal(std::map<QString, FILE_INFO>&) {
    TakeManualRequests(true);
}

void QCLocalStoreMgr::TakeManualRequests(bool compareEnd) {
    Q_ASSERT(IsEngineThread());
    for (auto it = m_deferredCopies.begin(); it != m_deferredCopies.end();) {
        const QString cloud = GetVirtualPath(it->path);
        FileInfo shown;
        const bool waitsForUpload = m_cache.GetBaseInfo(it->path, shown) &&
                                    (shown.status == FILE_STATUS_UPING || shown.status == FILE_STATUS_WAIT_UP);
        if (waitsForUpload || IsFileDownloading(cloud) || IsFileUploading(cloud)) {
            ++it;
            continue;
        }
        m_downRequests.Add(*it);
        it = m_deferredCopies.erase(it);
    }
    if (m_downRequests.Count() == 0 && m_downCancels.Count() == 0)
        return;
    const LOCAL_STATUS status = m_status.load();
    const bool monitor = status == LOCAL_STATUS_MONITOR;
    // Downloads run beside uploads; only a pending rename, move or delete makes them wait, as the
    // paths they name may be about to change.
    if (monitor && StructuralChangePending())
        return;
    const bool allowed = status == LOCAL_STATUS_OK || status == LOCAL_STATUS_CHECK_CLOUD ||
                         (!compareEnd && (monitor || status == LOCAL_STATUS_STOP));
    if (!allowed)
        return;

    if (status != LOCAL_STATUS_STOP) {
        std::vector<DOWNLOAD_REQUEST> taken;
        DOWNLOAD_REQUEST request;
        while (m_downRequests.Fetch(request)) {
            if (request.to_cache)
                m_requestedDowns.Add(request.path, request);
            taken.push_back(request);
        }
        if (!taken.empty()) {
            if (!monitor)
                ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, true);
            ExecManualDownload(taken);
        }
    }
    ProcDownloadCancels();
    if (!compareEnd && m_cloudCheckDirty)
        ExecDownloadTask();
}

// Ends every download of `cloud` and below it; a mirror copy's row goes, so the file shows not down.
size_t QCLocalStoreMgr::EndDownloadsBelow(const QString& cloud, bool removeTemp) {
    std::vector<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        for (auto it = m_downQueue.begin(); it != m_downQueue.end();) {
            if (IsSubPath(cloud, (*it)->GetSvrPath(), false)) {
                m_downPaths.erase(PathIndex((*it)->GetSvrPath()));
                tasks.push_back(*it);
                it = m_downQueue.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Every task ends first, before the slower clean-up of each, so that no reply arriving
    // meanwhile completes one and no block exchange begins after it; ClearAll then stops
    // those in flight.
    for (const TaskPtr& task : tasks) {
        if (const auto download = std::dynamic_pointer_cast<QCDownloadFile>(task))
            download->Cancel();
        else
            task->CompleteMe(SYNC_ERROR::DiskCancel, 0, QStringLiteral("cancelled"));
    }
    for (const TaskPtr& task : tasks) {
        const FILE_INFO record = task->GetFileInfo();
        const auto download = std::dynamic_pointer_cast<QCDownloadFile>(task);
        task->ClearAll();
        if (IsSyncPath(task->GetDiskName())) {
            QCSyncDB::DeleteByPath(record.path);
            m_cloudCheckDirty = true;
        }
        if (removeTemp && download)
            download->SetRemoveTemp();
        const QString mirror = GetDiskPath(record.path);
        FileInfo shown;
        if (IsSyncPath(task->GetDiskName()))
            m_cache.Update(mirror, record, FILE_STATUS_NOT_DOWN, false, true, true);
        else if (m_cache.GetBaseInfo(mirror, shown) && shown.status == FILE_STATUS_DOWNING)
            m_cache.ChangeFileStatus(mirror, FILE_STATUS_NOT_DOWN, true);
        task->End();
    }
    return tasks.size();
}

void QCLocalStoreMgr::ProcDownloadCancels() {
    std::vector<DOWNLOAD_REQUEST> cancels;
    DOWNLOAD_REQUEST cancel;
    while (m_downCancels.Fetch(cancel))
        cancels.push_back(cancel);
    if (cancels.empty())
        return;
    QCSyncDB::BeginTransaction();
    m_downList.SetUpdatePrecent(false);
    for (const DOWNLOAD_REQUEST& request : cancels) {
        const QString cloud = GetVirtualPath(request.path);
        CoreDebug("[DOWN] cancel %s", qUtf8Printable(cloud));
        EndDownloadsBelow(cloud, request.remove_task);
        if (request.remove_task)
            RemoveFailedTask(request.path);
        // A copy going outside leaves a synced mirror copy as it is.
        FileInfo entry;
        if (m_cache.GetBaseInfo(request.path, entry) &&
            !(entry.status == FILE_STATUS_SYNCED && QFileInfo::exists(request.path))) {
            m_cache.ChangeFileStatus(request.path, FILE_STATUS_NOT_DOWN, true);
            m_cache.GetBaseInfo(request.path, entry);
            m_view.NotifyUpdate(entry, false);
        }
        m_requestedDowns.Delete(request.path, true);
        m_deferredCopies.erase(std::remove_if(m_deferredCopies.begin(), m_deferredCopies.end(),
                                              [&](const DOWNLOAD_REQUEST& deferred) {
                                                  return IsSubPath(request.path, deferred.path);
                                              }),
                               m_deferredCopies.end());
    }
    m_downList.SetUpdatePrecent(true);
    m_downList.UpdatePrecent();
    QCSyncDB::Commit();
    QCSyncDB::BeginTransaction();
}

void QCLocalStoreMgr::ExecManualDownload(std::vector<DOWNLOAD_REQUEST>& requests) {
    m_cloudCheckDirty = false;
    QCSyncDB::BeginTransaction();
    std::vector<QString> madeFolders;
    for (const DOWNLOAD_REQUEST& request : requests) {
        std::vector<FileInfo> items;
        FileInfo self;
        const bool known = m_cache.GetBaseInfo(request.path, self);
        if (known && self.is_dir)
            items.push_back(self);
        m_cache.ListAll(request.path, items);
        QString base = GetParentPath(GetVirtualPath(request.path));
        if (base.isEmpty())
            base = QStringLiteral("/");
        const int cut = base == QLatin1String("/") ? 0 : base.size();
        for (const FileInfo& item : items) {
            const QString cloud = GetVirtualPath(item.path);
            const QString target =
                request.to_cache ? item.path : MyCombinePath(request.target, cloud.mid(cut));
            if (item.is_dir) {
                // In the mirror made from the sync folder without following a link.
                const bool made =
                    request.to_cache ? !StampOf(target).is_dir && SafePath::MakeFolders(GetRootPath(), target)
                                     : !QFileInfo(target).isDir() && QDir().mkpath(target);
                if (made && request.to_cache) {
                    m_cloudCheckDirty = true;
                    madeFolders.push_back(cloud);
                }
                continue;
            }
            if (NeedSkipSync(item.path, false) || IsIgnoreCacheFile(item.path))
                continue;
            if (item.status == FILE_STATUS_UPING || item.status == FILE_STATUS_WAIT_UP ||
                IsFileDownloading(cloud) || IsFileUploading(cloud)) {
                // Into the mirror the running transfer brings it; a copy outside is made after it.
                if (!request.to_cache) {
                    DOWNLOAD_REQUEST later;
                    later.path = item.path;
                    later.target = QFileInfo(target).path();
                    m_deferredCopies.push_back(later);
                }
                continue;
            }
            if (item.version == 0) {
                CoreDebug("[ManualDownload] ver:%-4d %s\nbad cache\n", int(item.version),
                          qUtf8Printable(item.path));
                continue;
            }
            FILE_INFO record = RecordOfEntry(item, cloud, target);
            record.is_download = true;
            FILE_STATUS status = FILE_STATUS_WAIT_DOWN;
            QString reason;
            if (request.to_cache)
                status = CompareCloudFileManual(record, reason);
            // A copy outside is made of whatever the mirror holds: the mirror copy is neither
            // compared nor touched for it.
            const bool task = status == FILE_STATUS_WAIT_DOWN;
            if (task && AddDownloadTask(record))
                status = FILE_STATUS_DOWNING;
            CoreDebug("[ManualDownload] %s -> %s: %d %s", qUtf8Printable(cloud), qUtf8Printable(target),
                      int(status), qUtf8Printable(reason));
            if (request.to_cache) {
                m_cache.Update(item.path, record, status, true, true, true);
                if (status != FILE_STATUS_SYNCED && status != FILE_STATUS_NOT_DOWN)
                    m_cloudCheckDirty = true;
            } else if (status == FILE_STATUS_DOWNING && item.status == FILE_STATUS_NOT_DOWN) {
                m_cache.ChangeFileStatus(item.path, FILE_STATUS_DOWNING, true);
            }
        }
        FileInfo entry;
        if (m_cache.GetBaseInfo(request.path, entry))
            UIEventSendMsg(entry, false);
    }
    RecordFolderRows(madeFolders);
    ExecDownloadTask();
}

FILE_INFO QCLocalStoreMgr::RecordOfEntry(const FileInfo& entry, const QString& cloudPath,
                                         const QString& localPath) {
    FILE_INFO record = ui2base(entry);
    record.nid = QString::number(entry.nid);
    record.path = cloudPath;
    record.name = GetOnlyFilename(cloudPath);
    record.local_path = localPath;
    return record;
}

FILE_STATUS QCLocalStoreMgr::CompareCloudFileManual(FILE_INFO& file, QString& reason) {
    const QString mirror = GetDiskPath(file.path);
    const LocalStat local = StampOf(mirror);
    if (!local.exists) {
        reason += QStringLiteral("down - no local");
        return FILE_STATUS_WAIT_DOWN;
    }
    const auto conflict = [&] { return MakeConflict(mirror) ? FILE_STATUS_WAIT_DOWN : FILE_STATUS_ERR; };
    const bool localIsCloud = file.mtime == local.Mtime() && file.size == local.size;
    FILE_INFO db;
    if (!QCSyncDB::GetFileInfo(file.path, db)) {
        if (localIsCloud && !local.is_dir) {
            reason += QStringLiteral("no db, file same");
            return FILE_STATUS_WAIT_DOWN;
        }
        reason += QStringLiteral("no db, file not same. conflict");
        return conflict();
    }
    if (localIsCloud && file.mtime == db.mtime && file.version == db.version && !local.is_dir)
        return FILE_STATUS_SYNCED;
    if (local.is_dir != db.is_dir) {
        const FILE_STATUS status = conflict();
        if (status == FILE_STATUS_WAIT_DOWN)
            reason += QStringLiteral("down - cloud is new");
        return status;
    }
    if (db.mtime == file.mtime && db.version == file.version &&
        db.file_hash.compare(file.file_hash, Qt::CaseInsensitive) == 0) {
        reason += QStringLiteral("will be uploaded in next CompareOffline");
        return FILE_STATUS_CHECKING;
    }
    if (db.mtime == local.Mtime() && db.size == local.size) {
        reason += QStringLiteral("down - cloud is new");
        return FILE_STATUS_WAIT_DOWN;
    }
    if (localIsCloud) {
        reason += QStringLiteral("same");
        return FILE_STATUS_SYNCED;
    }
    reason += QStringLiteral("conflict");
    return conflict();
}
