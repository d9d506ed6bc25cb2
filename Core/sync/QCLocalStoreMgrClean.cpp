// The cache clean, the temporary files of transfers and four small services of the engine.
//
// The cache clean frees disk space: a mirror file that is in step with the cloud (its size and
// time are those of its journal row) and that no work concerns is removed, its row goes and the
// index shows it not down (11), so it is downloaded again on demand. Folders left empty go, one
// at a time. It runs on the engine thread only: for request 5, and as the engine's last work
// after its transfers ended when the facade's Uninit asks for it (RequestCleanOnExit).
//
// What must never happen: a file removed that the user changed (the whole stat taken when the
// decision was made is compared again right before each removal, so a same-size save within the
// same second is kept), that waits for upload or that a transfer uses; the sync folder, the
// private folder or anything above them removed; anything removed through a symbolic link or a
// link itself removed (the scan lists none, and every removal resolves its path from the sync
// folder without following one); the removal reported to the service (each removal is announced
// as the engine's own change before it is made).
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CoreLog.h"
#include "common/LocalScan.h"
#include "common/PathUtils.h"
#include "common/QCEvents.h"
#include "common/SafePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// `path` lies strictly below `folder`, letter case ignored.
bool StrictlyBelow(const QString& folder, const QString& path) {
    return path.size() > folder.size() + 1 && path.startsWith(folder, Qt::CaseInsensitive) &&
           path.at(folder.size()) == QLatin1Char('/');
}

void RemoveFilesBelow(const QString& root, const QString& folder) {
    if (root.isEmpty() || folder.isEmpty())
        return;
    QStringList files;
    SafePath::ListFiles(root, folder, files);
    for (const QString& file : files)
        SafePath::Remove(root, file);
}

} // namespace

void QCLocalStoreMgr::RequestCleanOnExit() {
    m_cleanOnExit = true;
}

void QCLocalStoreMgr::CacheClean() {
    Q_ASSERT(IsEngineThread());
    auto* event = new QCCacheCleanEvent();
    CACHE_CLEAN_NOTIFY& sums = event->data;
    QString root = GetRootPath();
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    if (!root.isEmpty() && root != QLatin1String("/"))
        CleanMirror(root, sums);
    CleanTempBlocks();
    CleanTempFiles();
    const QString trash = MyCombinePath(GetPrivateRoot(), QStringLiteral("trash"));
    if (!GetPrivateRoot().isEmpty() && StampOf(trash).is_dir && !SafePath::RemoveTree(GetRootPath(), trash))
        CoreDebug("[CacheClean] the trash could not be emptied");
    CoreDebug("[CacheClean] total %s", qUtf8Printable(GetNumDotString(sums.cleaned_bytes)));
    g_Config.CallOuter(event);
}

void QCLocalStoreMgr::CleanMirror(const QString& root, CACHE_CLEAN_NOTIFY& sums) {
    std::list<FILE_INFO> local;
    BuildLocalFileList(local, root, root);
    CoreDebug("[CacheClean] begin. local files list %d", int(local.size()));
    std::vector<QString> paths;
    paths.reserve(local.size());
    for (const FILE_INFO& entry : local)
        paths.push_back(entry.path);
    std::map<QString, FILE_INFO> rows;
    if (!QCSyncDB::GetFileInfos(paths, rows)) {
        CoreDebug("[CacheClean] the journal could not be read: nothing removed");
        return;
    }
    const QString privateRoot = QDir::cleanPath(GetPrivateRoot());
    // What no work concerns: no transfer, no pending change, and the index (when it knows the
    // item) shows it in step.
    const auto idle = [this](const QString& cloud, const QString& diskPath, bool inIndex,
                             const FileInfo& shown) {
        if (IsFileDownloading(cloud)) {
            CoreDebug("[CacheClean] skip(downing) %s", qUtf8Printable(diskPath));
            return false;
        }
        if (IsFileUploading(cloud)) {
            CoreDebug("[CacheClean] skip(uping) %s", qUtf8Printable(diskPath));
            return false;
        }
        if (m_pending.FindPath(cloud) != m_pending.end()) {
            CoreDebug("[CacheClean] skip(uping2) %s", qUtf8Printable(diskPath));
            return false;
        }
        return !inIndex || shown.status == FILE_STATUS_SYNCED || shown.status == FILE_STATUS_NOT_DOWN;
    };
    std::vector<QString> removedRows;
    // Entries below a folder come after it in the list: walked backwards, a folder's contents
    // have been dealt with when its turn comes.
    for (auto it = local.rbegin(); it != local.rend(); ++it) {
        const QString diskPath = GetDiskPath(it->path);
        if (!StrictlyBelow(root, diskPath) || diskPath.compare(privateRoot, Qt::CaseInsensitive) == 0 ||
            StrictlyBelow(privateRoot, diskPath))
            continue;
        const auto row = rows.find(it->path.toLower());
        // A name that differs from the journal's only in letter case is not the cloud's item.
        const bool inJournal = row != rows.end() && row->second.is_dir == it->is_dir && row->second.path == it->path;
        FileInfo shown;
        const bool inIndex = m_cache.GetBaseInfo(diskPath, shown);
        if (it->is_dir) {
            // A folder of the cloud's (the journal or the index knows it), only when empty now.
            if (!(inJournal || (inIndex && shown.is_dir)) || !idle(it->path, diskPath, inIndex, shown) ||
                !SafePath::IsEmptyFolder(root, diskPath))
                continue;
            ExpectEcho(SYNC_CHANGE_DEL, diskPath);
            if (SafePath::RemoveFolder(root, diskPath)) {
                m_cache.ChangeFileStatus(diskPath, FILE_STATUS_NOT_DOWN, true);
                m_requestedDowns.Delete(diskPath, true);
            }
            continue;
        }
        // Without a row nothing says the file is in the cloud: it stays.
        if (!inJournal)
            continue;
        if (row->second.size != it->size || row->second.mtime != it->mtime ||
            !idle(it->path, diskPath, inIndex, shown))
            continue;
        // The decision: the file as the disk describes it now is what its row says.
        const LocalStat seen = StampOf(diskPath);
        if (!seen.is_file || seen.size != row->second.size || seen.Mtime() != row->second.mtime)
            continue;
        // The user may have written to it since.
        std::function<void(const QString&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_hookLock);
            hook = m_beforeReplaceHook;
        }
        if (hook)
            hook(diskPath);
        if (StampOf(diskPath) != seen) {
            CoreDebug("[CacheClean] changed meanwhile, kept: %s", qUtf8Printable(diskPath));
            continue;
        }
        ExpectEcho(SYNC_CHANGE_DEL, diskPath);
        const bool removed = SafePath::Remove(root, diskPath);
        CoreDebug("[CacheClean] del_ok:%d %s", int(removed), qUtf8Printable(diskPath));
        if (!removed) {
            sums.kept_bytes += it->size;
            ++sums.kept_files;
            continue;
        }
        removedRows.push_back(row->second.path);
        // The index's own record keeps the cloud's fields the journal does not hold (the node id).
        FILE_INFO record = row->second;
        if (inIndex) {
            record = ui2base(shown);
            record.path = row->second.path;
            record.nid = QString::number(shown.nid);
        }
        m_cache.Update(diskPath, record, FILE_STATUS_NOT_DOWN, true, true, true);
        // A request of it (or of a folder above it) would bring it back at the next comparison.
        for (QString at = diskPath; StrictlyBelow(root, at); at = QFileInfo(at).path())
            m_requestedDowns.Delete(at, false);
        sums.cleaned_bytes += it->size;
        ++sums.cleaned_files;
    }
    // A row that stays behind a removed file is dropped by the next cloud comparison.
    if (!removedRows.empty() && !QCSyncDB::DeleteByPaths(removedRows))
        CoreDebug("[CacheClean] %d journal rows could not be deleted", int(removedRows.size()));
    QCSyncDB::Commit();
    QCSyncDB::BeginTransaction();
}

void QCLocalStoreMgr::CleanTempBlocks() {
    RemoveFilesBelow(GetRootPath(), GetBlockPath());
}

bool QCLocalStoreMgr::FileCanUpload(const QString& path) const {
    const QFileInfo file(path);
    return file.exists() && file.isReadable();
}

bool QCLocalStoreMgr::RemoveFailedTask(const QString& path) {
    const QString diskPath = IsSyncPath(path) ? path : GetDiskPath(path);
    FileInfo known;
    if (diskPath.isEmpty() || !m_cache.GetBaseInfo(diskPath, known))
        return false;
    FILE_INFO failed = ui2base(known);
    failed.path = GetVirtualPath(diskPath);
    m_failedList.Del(failed);
    return true;
}

bool QCLocalStoreMgr::ViewDirList(const QString& path, std::vector<FileInfo>& out) {
    return m_cache.Query(path, out);
}
