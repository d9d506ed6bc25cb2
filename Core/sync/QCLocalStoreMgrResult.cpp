// Transfer results, download conflicts and the one way a user's file is replaced.
//
// A task's end is posted to the engine thread (PostSyncFileResult), where ProcSyncFileResult takes
// the task out of its queue, brings the index, the journal and the lists up to date and ends it;
// the memory goes with the last reference. A result whose task is no longer queued (cancelled
// meanwhile) is logged and released, nothing else.
//
// Replacing: a download's new content and a trash move both go through ReplaceUserFile, which
// stats the user's file right before the rename and keeps it as a conflict copy when it is no
// longer what the caller's check saw (the whole stat: a same-size save within the same second
// still differs in its times to the nanosecond or its inode). A download's file is synced to disk
// before the rename and its folder after it, so a power loss leaves the old file or the new one,
// never an empty one under a journal row that says synced. No path is ever resolved through a
// symbolic link below the sync folder (SafePath), and a link is never replaced or moved. A download whose
// cloud file is gone (3001) is never taken as a deletion: the file and its row stay, the index shows the
// error, and the cloud is asked again.
#include "sync/QCLocalStoreMgr.h"

#include "Transfer/QCUploadFile.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "network/QCRequestCommon.h"

#include "Database/QCGlobalConfig.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr unsigned kCloudFileGone = 3001;

} // namespace

// --- Results -------------------------------------------------------------------------------------

void QCLocalStoreMgr::PostSyncFileResult(TaskPtr task, int type, unsigned code, QString msg) {
    PostQuiet([this, task = std::move(task), type, code, msg] { ProcSyncFileResult(task, type, code, msg); });
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
        std::vector<QString> folders;
        for (QString up = GetParentPath(record.path); up.size() > 1; up = GetParentPath(up))
            folders.push_back(up);
        RecordFolderRows(folders);
        return;
    }
    // A download into a folder outside the mirror leaves the mirror's copy not down, or synced
    // when it is what its journal row says.
    FILE_INFO row;
    const LocalStat here = StampOf(diskPath);
    const bool synced = QCSyncDB::GetFileInfo(record.path, row) && here.is_file && here.size == row.size &&
                        here.Mtime() == row.mtime;
    m_cache.Update(diskPath, synced ? row : record, synced ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN, true,
                   false, true);
    FileInfo shown = base2ui(diskPath, record);
    shown.status = synced ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN;
    shown.percent = 100;
    shown.spare_flag = true;
    UIEventSendMsg(shown, false);
}

void QCLocalStoreMgr::RecordFolderRows(const std::vector<QString>& folders) {
    // A folder made for a download holds synced files now, or is itself what was asked for: with
    // its row a deletion in the cloud removes it once it is empty, and no comparison takes it for
    // a new local folder.
    std::map<QString, FILE_INFO> rows;
    if (folders.empty() || !QCSyncDB::GetFileInfos(folders, rows))
        return;
    for (const QString& folder : folders) {
        const QString disk = GetDiskPath(folder);
        FileInfo entry;
        if (rows.count(folder.toLower()) != 0 || !m_cache.GetBaseInfo(disk, entry) || !entry.is_dir ||
            entry.version == 0 || !StampOf(disk).is_dir)
            continue;
        FILE_INFO row = RecordOfEntry(entry, folder, disk);
        row.is_dir = true;
        QCSyncDB::UpdateFileInfo(row);
    }
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
            // Many small files end in a burst: their rows go to the journal in batches.
            QCSyncDB::UpdateFileInfoLater(record);
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

LocalStat QCLocalStoreMgr::StampOf(const QString& path) const {
    return SafePath::Stat(GetRootPath(), path);
}

void QCLocalStoreMgr::SetBeforeReplaceHookForTests(std::function<void(const QString&)> hook) {
    std::lock_guard<std::mutex> lock(m_hookLock);
    m_beforeReplaceHook = std::move(hook);
}

QCLocalStoreMgr::ReplaceResult QCLocalStoreMgr::ReplaceUserFile(const QString& userFile,
                                                                const LocalStat& seen, const QString& newFile,
                                                                const QString& trashPath) {
    const QString root = GetRootPath();
    const bool toTrash = newFile.isEmpty();
    // The new content reaches the disk before any name points at it.
    if (!toTrash && !SafePath::SyncFile(root, newFile)) {
        CoreDebug("[replace] %s cannot be synced to disk: %s", qUtf8Printable(newFile), std::strerror(errno));
        return ReplaceResult::Failed;
    }
    std::function<void(const QString&)> hook;
    {
        std::lock_guard<std::mutex> lock(m_hookLock);
        hook = m_beforeReplaceHook;
    }
    if (hook)
        hook(userFile);
    ReplaceResult result = ReplaceResult::Done;
    const LocalStat now = StampOf(userFile);
    if (now.is_link || (seen.exists && !seen.Synced())) {
        CoreDebug("[replace] %s is a link: left alone", qUtf8Printable(userFile));
        return ReplaceResult::Failed;
    }
    if (now != seen && now.exists) {
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
    const QString from = toTrash ? userFile : newFile;
    const QString to = toTrash ? trashPath : userFile;
    // A trash move never replaces what the trash holds; a download replaces the user's file.
    if (!SafePath::Rename(root, from, to, !toTrash)) {
        CoreDebug("[replace] %s -> %s failed: %s", qUtf8Printable(from), qUtf8Printable(to),
                  std::strerror(errno));
        return ReplaceResult::Failed;
    }
    if (!toTrash && !SafePath::SyncFolder(root, GetParentPath(userFile)))
        CoreDebug("[replace] the folder of %s cannot be synced to disk: %s", qUtf8Printable(userFile),
                  std::strerror(errno));
    return result;
}

bool QCLocalStoreMgr::ResolveDownloadConflict(const QString& localPath, const FILE_INFO& cloud,
                                              LocalStat* seen) {
    const LocalStat here = StampOf(localPath);
    const auto done = [&](bool ok) {
        if (seen)
            *seen = StampOf(localPath);
        return ok;
    };
    if (!here.exists)
        return done(true);
    if (!here.Synced()) {
        // A link (or a device) is not the user's file to replace or move: the item fails.
        CoreDebug("[conflict] %s is not a file or a folder: left alone", qUtf8Printable(localPath));
        return false;
    }
    if (here.is_dir) {
        CoreDebug("conflict()-->conflict:local.is_dir  %s", qUtf8Printable(localPath));
        return done(MakeConflict(localPath));
    }
    FILE_INFO row;
    if (QCSyncDB::GetFileInfo(cloud.path, row) && row.mtime == here.Mtime() && row.size == here.size) {
        CoreDebug("[conflict] local_filesize:%llu db_mtime:%u local_mtime:%u db_filesize:%llu",
                  static_cast<unsigned long long>(here.size), row.mtime, here.Mtime(),
                  static_cast<unsigned long long>(row.size));
        if (seen)
            *seen = here;
        return true;
    }
    if (here.size == cloud.size) {
        CoreDebug("[conflict] hashing %s", qUtf8Printable(localPath));
        ++m_conflictHashes;
        // Hashed through a descriptor opened without following a link, and compared with the stat
        // taken before: a file changed while it was read is not the cloud's content.
        const int fd = SafePath::Open(GetRootPath(), localPath, O_RDONLY);
        QFile file;
        QString hash;
        qint64 total = 0;
        if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            hash = QString::fromLatin1(CloudHashDevice(file, total));
        else if (fd >= 0)
            ::close(fd);
        if (!hash.isEmpty() && hash.compare(cloud.file_hash, Qt::CaseInsensitive) == 0 &&
            StampOf(localPath) == here) {
            if (seen)
                *seen = here;
            return true;
        }
    }
    CoreDebug("conflict()-->conflict: %s", qUtf8Printable(localPath));
    return done(MakeConflict(localPath));
}

int QCLocalStoreMgr::InstallDownload(const QString& tempFile, const QString& localPath,
                                     const FILE_INFO& cloud) {
    const QString root = GetRootPath();
    const QString folder = GetParentPath(localPath);
    if (!SafePath::MakeFolders(root, folder)) {
        const int error = errno;
        CoreDebug("[install] no folder for %s: %s", qUtf8Printable(localPath), std::strerror(error));
        if (error != ENAMETOOLONG)
            return SYNC_ERROR::DiskDir;
        SafePath::Remove(root, tempFile); // no later try can place it
        return SYNC_ERROR::NameTooLong;
    }
    // A rename cannot cross file systems (a mount inside the mirror): a copy beside the target,
    // synced to disk, is renamed instead.
    QString staged = tempFile;
    if (StampOf(tempFile).device != StampOf(folder).device) {
        staged = CopyBeside(tempFile, folder, cloud);
        if (staged.isEmpty())
            return SYNC_ERROR::DiskWrite;
    }
    LocalStat seen;
    errno = 0;
    const bool placed = ResolveDownloadConflict(localPath, cloud, &seen) &&
                        ReplaceUserFile(localPath, seen, staged) != ReplaceResult::Failed;
    const int error = errno;
    if (staged != tempFile) {
        SafePath::Remove(root, placed ? tempFile : staged);
    }
    if (placed)
        return 0;
    // What the file system refused is named as it is; anything else is the file in use.
    switch (error) {
    case ENAMETOOLONG:
        SafePath::Remove(root, tempFile); // the name can never be placed: no later try
        return SYNC_ERROR::NameTooLong;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
        return SyncErrorOfErrno(error); // the temporary file stays: the user may make room
    default:
        g_Config.CallOuter(new QCFileUsingEvent(localPath));
        return SYNC_ERROR::FileUsing; // the temporary file stays for a later attempt
    }
}

QString QCLocalStoreMgr::CopyBeside(const QString& file, const QString& folder, const FILE_INFO& cloud) {
    const QString root = GetRootPath();
    QFile source;
    const int in = SafePath::Open(root, file, O_RDONLY);
    if (in < 0 || !source.open(in, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (in >= 0)
            ::close(in);
        return QString();
    }
    // A name the sync leaves out, so that the watcher never reports the copy while it is made.
    const QString copy =
        MyCombinePath(folder, QStringLiteral(".%1.Nimbocache.part").arg(GetOnlyFilename(file)));
    const int out = SafePath::Open(root, copy, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QFile target;
    bool ok = out >= 0 && target.open(out, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    if (!ok && out >= 0)
        ::close(out);
    while (ok && !source.atEnd()) {
        const QByteArray chunk = source.read(CLOUD_BLOCK_SIZE);
        ok = !chunk.isEmpty() && target.write(chunk) == chunk.size();
    }
    ok = ok && target.flush();
    target.close();
    ok = ok && SafePath::SetTimes(root, copy, cloud.mtime, cloud.mtime);
    if (!ok) {
        SafePath::Remove(root, copy);
        return QString();
    }
    return copy;
}
