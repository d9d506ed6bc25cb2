// Uploads of files from outside the mirror folder ("out-uploads"). The facade records each one in
// the out-upload list (written to "out.dat" before it returns) and in the copy-source cache (cloud
// path -> outside file); the engine turns it into an ordinary upload change of the mirror path
// whose item carries the outside file as `src_path`, so the mirror itself gains no file. After a
// restart the offline pass looks at every entry still pending and queues it again, unless its
// upload had finished or cannot be done any more.
//
// Invariants:
// - An Upload or UploadCancel is on disk when the facade's call returns; the engine's passes that
//   take requests or cancels write without delay too. Only removals of finished entries wait for
//   the throttled save: a restart before it finds them again and the offline pass drops them.
// - A cancel never removes the only copy of a user's file: the mirror file goes (to the private
//   trash) only when it is the copy this system made from the out-upload's source and that
//   source is still there; otherwise it stays and its index entry returns to the journal's.
//
// Threads: QueueOutUpload and CancelOutUpload run on the facade's thread; the rest on the engine
// thread. They meet only in the out-upload list's two lock-guarded lists and its guarded map.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCSyncDB.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <QFileInfo>

namespace {

bool SameStamp(const QFileInfo& a, const QFileInfo& b) {
    return a.size() == b.size() && a.lastModified().toSecsSinceEpoch() == b.lastModified().toSecsSinceEpoch();
}

} // namespace

bool QCLocalStoreMgr::QueueOutUpload(const QString& path, const QString& localFile) {
    OUT_UPLOAD_FILE item;
    item.source = localFile;
    item.cloud_path = GetVirtualPath(path);
    if (!item.cloud_path.startsWith(QLatin1Char('/')) || item.cloud_path == QLatin1String("/") ||
        localFile.isEmpty())
        return false;
    const QString mirror = GetDiskPath(item.cloud_path);
    FileInfo known;
    if (m_cache.GetBaseInfo(mirror, known)) {
        item.size = known.size;
        item.mtime = quint32(known.mtime);
    }
    m_copySources.SetSource(item.cloud_path, localFile);
    // While the request waits, the engine's end of a pass does not empty the list.
    m_outUploads.Request(item);
    const bool saved = m_outUploads.Save(false);
    TriggerTimerEvent();
    return saved;
}

bool QCLocalStoreMgr::CancelOutUpload(const QString& path) {
    const QString cloud = GetVirtualPath(path);
    if (!cloud.startsWith(QLatin1Char('/')))
        return false;
    const QString mirror = GetDiskPath(cloud);
    const QFileInfo here(mirror);
    if (here.isFile()) {
        for (const OUT_UPLOAD_FILE& pending : m_outUploads.Pending()) {
            if (pending.cloud_path.compare(cloud, Qt::CaseInsensitive) != 0)
                continue;
            const QFileInfo source(pending.source);
            // Only the copy made from a source that is still there goes, and to the trash.
            if (source.isFile() && SameStamp(here, source) && !MoveToTrash(mirror, cloud, TrashFolder()))
                return false;
        }
    }
    RemoveFailedTask(cloud);
    m_outUploads.Erase(cloud, false);
    const bool saved = m_outUploads.Save(false);
    m_outUploads.cancels.Add(cloud);
    m_cancelMarks.Set(cloud, true);
    TriggerTimerEvent();
    return saved;
}

void QCLocalStoreMgr::OutUploadCheck() {
    if (m_status.load() == LOCAL_STATUS_OK && m_outUploads.requests.Count() != 0)
        ChangeStatus(LOCAL_STATUS_MONITOR, true);
    const LOCAL_STATUS status = m_status.load();
    if (status != LOCAL_STATUS_MONITOR && status != LOCAL_STATUS_STOP) {
        m_outUploads.Save(true);
        return;
    }
    bool touched = false;
    OUT_UPLOAD_FILE request;
    while (m_outUploads.requests.Fetch(request)) {
        touched = true;
        SYNC_CHANGE_INFO change;
        change.path = GetDiskPath(request.cloud_path);
        change.src_path = request.source;
        change.type = SYNC_CHANGE_MOD;
        change.user_op = 1;
        CHANGE_ITEM item;
        RefreshMakeItem(change, item);
        if ((!item.local.is_dir && NeedSkipSync(item.path, false)) || !IsSyncPath(item.path)) {
            CoreDebug("[out_upload] skip temp: %s\n", qUtf8Printable(item.path));
            m_outUploads.Erase(request.cloud_path, false);
            continue;
        }
        FileInfo known;
        if (m_cache.GetBaseInfo(item.path, known)) {
            request.size = known.size;
            request.mtime = quint32(known.mtime);
            SaveUploadRollbackInfo(item);
        }
        m_outUploads.Add(request);
        m_cache.FixParentDir(item.path);
        m_cache.Update(item.path, item.local, FILE_STATUS_WAIT_UP, true, false, true);
        item.exec_type = 4;
        // A request queued again replaces the item that still waits for its turn.
        for (const PendingChanges::iterator old : m_pending.ItemsOfPath(item.local.path)) {
            if (!old->src_path.isEmpty() && old->sync_id == 0)
                m_pending.Erase(old);
        }
        m_pending.Append(std::move(item));
        CoreDebug("[out_upload] [Queue:%u] [new] %s\n", unsigned(m_pending.size()),
                  qUtf8Printable(change.path));
    }
    QString cloud;
    while (m_outUploads.requests.Count() == 0 && m_outUploads.cancels.Fetch(cloud)) {
        touched = true;
        EndOutUpload(cloud);
    }
    // What the user asked for is written at once; the rest may wait for the throttle.
    m_outUploads.Save(!touched);
}

void QCLocalStoreMgr::EndOutUpload(const QString& cloud) {
    // The facade has taken the entry out already; one the engine queued again goes here.
    const int removed = m_outUploads.Erase(cloud, false);
    CoreDebug("[out_upload] cancel %s %d items\n", qUtf8Printable(cloud), removed);
    CHANGE_ITEM del;
    del.type = SYNC_CHANGE_DEL;
    del.path = GetDiskPath(cloud);
    del.local.path = cloud;
    RefreshCancelPreviousUploadByDelete(del);
    RestoreFromJournal(del.path, cloud);
    m_cancelMarks.Set(cloud, false);
}

void QCLocalStoreMgr::RestoreFromJournal(const QString& mirror, const QString& cloud) {
    FILE_INFO row;
    const LocalStat here = StampOf(mirror);
    if (!QCSyncDB::GetFileInfo(cloud, row)) {
        if (!here.Synced())
            m_cache.Delete(mirror, true);
        else // a file of its own, never synced: it goes up as any new file does
            NotifyFileChange(mirror, SYNC_CHANGE_ADD, QString(), false);
        return;
    }
    if (row.is_dir)
        return;
    if (!here.Synced()) {
        m_cache.Update(mirror, row, FILE_STATUS_NOT_DOWN, true, false, true);
    } else if (here.is_file && here.size == row.size && here.Mtime() == row.mtime) {
        m_cache.Update(mirror, row, FILE_STATUS_SYNCED, true, false, true);
    } else {
        m_cache.Update(mirror, row, FILE_STATUS_NOT_DOWN, true, false, true);
        NotifyFileChange(mirror, SYNC_CHANGE_MOD, QString(), false);
    }
}

void QCLocalStoreMgr::OutUploadAfterOfflineCompare() {
    for (const OUT_UPLOAD_FILE& entry : m_outUploads.Pending()) {
        const QString mirror = GetDiskPath(entry.cloud_path);
        const QFileInfo source(entry.source);
        if (!IsSyncPath(mirror)) {
            CoreDebug("[out_upload] skip, ignore %s\n", qUtf8Printable(mirror));
            m_outUploads.Erase(entry.cloud_path, false);
            continue;
        }
        if (!source.isFile()) {
            CoreDebug("[out_upload] skip, local no file %s\n", qUtf8Printable(entry.source));
            m_outUploads.Erase(entry.cloud_path, false);
            continue;
        }
        FileInfo known;
        if (!m_cache.GetBaseInfo(mirror, known)) {
            CoreDebug("[out_upload] %s -> %s\n", qUtf8Printable(entry.source),
                      qUtf8Printable(entry.cloud_path));
            m_outUploads.requests.Add(entry);
            continue;
        }
        const quint64 size = quint64(source.size());
        const qint64 mtime = source.lastModified().toSecsSinceEpoch();
        if (size == known.size && mtime == qint64(known.mtime)) {
            if (known.status == FILE_STATUS_NOT_DOWN || known.status == FILE_STATUS_SYNCED) {
                CoreDebug("[out_upload] skip, file same %s\n", qUtf8Printable(entry.cloud_path));
                m_outUploads.Erase(entry.cloud_path, false);
            } else {
                m_outUploads.requests.Add(entry);
            }
            continue;
        }
        if (entry.size == known.size && qint64(entry.mtime) == qint64(known.mtime)) {
            CoreDebug("[out_upload] overwrite %s -> %s\n", qUtf8Printable(entry.source),
                      qUtf8Printable(entry.cloud_path));
            m_outUploads.requests.Add(entry);
            continue;
        }
        // The mirror's copy changed since the upload was queued: the upload goes beside it.
        QString user;
        {
            std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
            user = m_userDetail.name;
        }
        OUT_UPLOAD_FILE aside = entry;
        aside.cloud_path = GetNewFileName(entry.cloud_path, user, QStringLiteral("冲突"));
        CoreDebug("[out_upload] conflict %s -> %s\n", qUtf8Printable(entry.source),
                  qUtf8Printable(aside.cloud_path));
        m_outUploads.Erase(entry.cloud_path, false);
        m_outUploads.Add(aside);
        m_outUploads.requests.Add(aside);
    }
    m_outUploads.Save(false);
}

void QCLocalStoreMgr::OutUploadCheckPauseDelete() {
    QString cloud;
    while (m_outUploads.cancels.Fetch(cloud))
        EndOutUpload(cloud);
    m_outUploads.Save(false);
}

void QCLocalStoreMgr::OutUploadFinished(const QString& cloudPath) {
    m_outUploads.Erase(cloudPath, true);
}

void QCLocalStoreMgr::OutUploadLogout() {
    m_outUploads.Save(false); // requests not taken yet are in it: the next login takes them up
    m_outUploads.Load(QString());
    OUT_UPLOAD_FILE request;
    while (m_outUploads.requests.Fetch(request)) {
    }
    QString cancel;
    while (m_outUploads.cancels.Fetch(cancel)) {
    }
}
