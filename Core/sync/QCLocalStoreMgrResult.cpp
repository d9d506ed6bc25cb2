// Transfer results, download conflicts and the one way a user's file is replaced.
//
// A task's end is posted to the engine thread (PostSyncFileResult), where ProcSyncFileResult takes
// the task out of its queue, brings the index, the journal and the lists up to date and ends it;
// the memory goes with the last reference. A result whose task is no longer queued (cancelled
// meanwhile) is logged and released, nothing else.
//
// Replacing: a download's new content and a trash move both go through ReplaceUserFile, which
// stats the user's file right before the rename and keeps it as a conflict copy when it is no
// longer what the caller's check saw. A download whose cloud file is gone (3001) is never taken as
// a deletion: the file and its row stay, the index shows the error, and the cloud is asked again.
#include "sync/QCLocalStoreMgr.h"

#include "Transfer/QCUploadFile.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "network/QCRequestCommon.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr unsigned kCloudFileGone = 3001;

} // namespace

// --- Results -------------------------------------------------------------------------------------

void QCLocalStoreMgr::PostSyncFileResult(TaskPtr task, int type, unsigned code, QString msg) {
    Post([this, task = std::move(task), type, code, msg] { ProcSyncFileResult(task, type, code, msg); },
         false);
}

void QCLocalStoreMgr::ProcSyncFileResult(const TaskPtr& task, int type, unsigned code, const QString& msg) {
    Q_ASSERT(IsEngineThread());
    if (!RemoveTask(task)) {
        CoreDebug("[result] no longer queued: %s (%d, %u), released", qUtf8Printable(task->GetSvrPath()),
                  type, code);
        task->End();
        return;
    }
    CoreDebug("[result] %s %s: type %d code %u %s", task->IsDownload() ? "download" : "upload",
              qUtf8Printable(task->GetSvrPath()), type, code, qUtf8Printable(msg));
    if (task->IsDownload())
        ProcDownloadResult(task, type, code);
    else
        ProcUploadResult(task, type, code);
}

void QCLocalStoreMgr::RecordFinishedDownload(const FILE_INFO& record, const QString& diskPath,
                                             const QString& localPath) {
    if (IsSyncPath(localPath)) {
        QCSyncDB::UpdateFileInfo(record);
        m_cache.Update(diskPath, record, FILE_STATUS_SYNCED, true, true, true);
        return;
    }
    // A download into a folder outside the mirror leaves the mirror's copy not down, or synced
    // when it is what its journal row says.
    FILE_INFO row;
    const LocalStamp here = StampOf(diskPath);
    const bool synced = QCSyncDB::GetFileInfo(record.path, row) && here.exists && !here.is_dir &&
                        here.size == row.size && here.mtime == qint64(row.mtime);
    m_cache.Update(diskPath, synced ? row : record, synced ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN, true,
                   false, true);
    FileInfo shown = base2ui(diskPath, record);
    shown.status = synced ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN;
    shown.percent = 100;
    shown.spare_flag = true;
    UIEventSendMsg(shown, false);
}

void QCLocalStoreMgr::ProcDownloadResult(const TaskPtr& task, int type, unsigned code) {
    const FILE_INFO record = task->GetFileInfo();
    const QString diskPath = GetDiskPath(record.path);
    const QString localPath = task->GetDiskName();
    if (type == 0) {
        RecordFinishedDownload(record, diskPath, localPath);
    } else if (type == SYNC_ERROR::Logic && code == kCloudFileGone) {
        // The cloud file is gone as far as this download knows: no proof of a deletion. The file
        // and its row stay; the next version check settles it.
        m_cache.Update(diskPath, record, FILE_STATUS_ERR, true, true, true, int(code), type);
        RequestVersionCheck();
    } else if (type == SYNC_ERROR::DiskCancel) {
        m_cache.Update(diskPath, record, FILE_STATUS_NOT_DOWN, true, true, true);
    } else {
        m_cache.Update(diskPath, record, FILE_STATUS_ERR, true, true, true, int(code), type);
        OnError(type, int(code), localPath, nullptr);
    }
    task->End();
    TriggerTimerEvent();
}

void QCLocalStoreMgr::ProcUploadResult(const TaskPtr& task, int type, unsigned code) {
    FILE_INFO record = task->GetFileInfo();
    const QString path = task->GetDiskName();
    bool retried = false;
    ChangeUploadEnded(task, type, code, retried);
    if (retried) { // put off by the change pipeline: no failure yet
        task->End();
        return;
    }
    if (type != 0) {
        if (!record.is_dir && type == SYNC_ERROR::NoPerm && path.contains(QStringLiteral(".Nimboshare")) &&
            QFile::exists(path)) {
            // A file the share folder does not take: shown as the cloud has it, no message.
            CancelUpload(path);
            FILE_INFO row;
            if (QCSyncDB::GetFileInfo(record.path, row))
                m_cache.Update(path, row, FILE_STATUS_NOT_DOWN, true, true, true);
        } else {
            OnError(type, int(code), path, nullptr);
            m_cache.Update(path, record, FILE_STATUS_ERR, true, true, true, int(code), type);
            if (type == SYNC_ERROR::NoPerm)
                CancelUpload(path);
        }
    } else {
        // The file's row takes the version the service gave it; the account's version is the
        // cloud's, learnt from the service, never counted here.
        if (task->GetNewVersion() != 0)
            record.version = task->GetNewVersion();
        const auto upload = std::dynamic_pointer_cast<QCUploadFile>(task);
        if (upload && upload->FromOutside()) {
            // From outside the mirror: the cloud has it, the mirror has no copy of it.
            m_cache.UpdateProgress(record, record.size, FILE_STATUS_NOT_DOWN);
            OutUploadFinished(record.path);
        } else {
            m_cache.Update(path, record, FILE_STATUS_SYNCED, true, true, true);
            QCSyncDB::UpdateFileInfo(record);
        }
    }
    task->End();
}

void QCLocalStoreMgr::RequestVersionCheck() {
    const qint64 now = QCClock::NowMs();
    if (m_lastRefreshMs >= 0 && now - m_lastRefreshMs <= 2000)
        return; // at most one version request every two seconds
    m_lastRefreshMs = now;
    CoreDebug("ProcUserRequest Refresh");
    {
        std::lock_guard<std::mutex> lock(m_traceLock);
        m_trace.push_back(kTraceVersionCheck);
    }
    RunOnPool([] { QCRequestCommon::GetInstance()->DoGetVersion(true); });
}

// --- Replacing the user's files ------------------------------------------------------------------

QCLocalStoreMgr::LocalStamp QCLocalStoreMgr::StampOf(const QString& path) {
    LocalStamp stamp;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.is_dir = S_ISDIR(st.st_mode);
    stamp.size = stamp.is_dir ? 0 : quint64(st.st_size);
    stamp.mtime = qint64(st.st_mtime);
    return stamp;
}

void QCLocalStoreMgr::SetBeforeReplaceHookForTests(std::function<void(const QString&)> hook) {
    std::lock_guard<std::mutex> lock(m_hookLock);
    m_beforeReplaceHook = std::move(hook);
}

QCLocalStoreMgr::ReplaceResult QCLocalStoreMgr::ReplaceUserFile(const QString& userFile,
                                                                const LocalStamp& seen,
                                                                const QString& newFile,
                                                                const QString& trashPath) {
    std::function<void(const QString&)> hook;
    {
        std::lock_guard<std::mutex> lock(m_hookLock);
        hook = m_beforeReplaceHook;
    }
    if (hook)
        hook(userFile);
    const bool toTrash = newFile.isEmpty();
    ReplaceResult result = ReplaceResult::Done;
    const LocalStamp now = StampOf(userFile);
    if (!(now == seen) && now.exists) {
        CoreDebug("[replace] %s changed since the check: kept as a conflict copy", qUtf8Printable(userFile));
        if (!MakeConflict(userFile))
            return ReplaceResult::Failed;
        if (toTrash)
            return ReplaceResult::Conflict;
        result = ReplaceResult::Conflict;
    } else if (toTrash && !now.exists) {
        return ReplaceResult::Failed; // nothing to move
    }
    // The watcher's report of this rename is the engine's own change, not the user's.
    ExpectEcho(toTrash ? SYNC_CHANGE_DEL : SYNC_CHANGE_REN, userFile);
    const QByteArray from = QFile::encodeName(toTrash ? userFile : newFile);
    const QByteArray to = QFile::encodeName(toTrash ? trashPath : userFile);
    // A trash move never replaces what the trash holds; a download replaces the user's file.
    const int done = toTrash
                         ? ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE)
                         : ::rename(from.constData(), to.constData());
    if (done != 0) {
        CoreDebug("[replace] %s -> %s failed: %s", from.constData(), to.constData(), std::strerror(errno));
        return ReplaceResult::Failed;
    }
    return result;
}

bool QCLocalStoreMgr::ResolveDownloadConflict(const QString& localPath, const FILE_INFO& cloud,
                                              LocalStamp* seen) {
    const LocalStamp here = StampOf(localPath);
    const auto done = [&](bool ok) {
        if (seen)
            *seen = StampOf(localPath);
        return ok;
    };
    if (!here.exists)
        return done(true);
    if (here.is_dir) {
        CoreDebug("conflict()-->conflict:local.is_dir  %s", qUtf8Printable(localPath));
        return done(MakeConflict(localPath));
    }
    FILE_INFO row;
    if (QCSyncDB::GetFileInfo(cloud.path, row) && qint64(row.mtime) == here.mtime && row.size == here.size) {
        CoreDebug("[conflict] local_filesize:%llu db_mtime:%u local_mtime:%lld db_filesize:%llu",
                  static_cast<unsigned long long>(here.size), row.mtime, static_cast<long long>(here.mtime),
                  static_cast<unsigned long long>(row.size));
        if (seen)
            *seen = here;
        return true;
    }
    if (here.size == cloud.size) {
        CoreDebug("[conflict] hashing %s", qUtf8Printable(localPath));
        ++m_conflictHashes;
        if (QString::fromLatin1(CloudHashFile(localPath)).compare(cloud.file_hash, Qt::CaseInsensitive) ==
            0) {
            if (seen)
                *seen = here;
            return true;
        }
    }
    CoreDebug("conflict()-->conflict: %s", qUtf8Printable(localPath));
    return done(MakeConflict(localPath));
}

bool QCLocalStoreMgr::InstallDownload(const QString& tempFile, const QString& localPath,
                                      const FILE_INFO& cloud) {
    LocalStamp seen;
    if (!ResolveDownloadConflict(localPath, cloud, &seen))
        return false;
    return ReplaceUserFile(localPath, seen, tempFile) != ReplaceResult::Failed;
}
