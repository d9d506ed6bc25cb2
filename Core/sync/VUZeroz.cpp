#include "sync/VUZeroz.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCEvents.h"
#include "common/SafePath.h"
#include "common/SkipRules.h"
#include "network/QCRequestCommon.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDir>
#include <QFileInfo>

namespace {

// How long Uninit waits for the engine thread once every request has been stopped.
constexpr int kEngineEndMs = 5000;

// `path` is `folder` itself or lies below it; letter case ignored.
bool InFolder(const QString& folder, const QString& path) {
    return !folder.isEmpty() && path.startsWith(folder, Qt::CaseInsensitive) &&
           (path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/'));
}

} // namespace

VUZeroz* VUZeroz::GetInstance() {
    static VUZeroz instance;
    return &instance;
}

bool VUZeroz::Init(QObject* receiver) {
    g_Config.Init(CLOUD_DEV_TYPE::Linux, receiver);
    g_LocalStoreMgr.init();
    return true;
}

bool VUZeroz::Uninit(bool cleanCache) {
    // The engine ends first: its way out (the clean, when asked for, once its transfers ended)
    // commits the journal, which needs the user's configuration still in place.
    if (cleanCache)
        g_LocalStoreMgr.RequestCleanOnExit();
    g_LocalStoreMgr.stop();
    const bool ended = g_LocalStoreMgr.Wait(kEngineEndMs);
    if (!ended)
        qWarning("[engine] the engine thread did not end within %d ms", kEngineEndMs);
    g_Config.Uninit();
    return ended;
}

QString VUZeroz::SetUser(const QString& accountId, const QString& password, bool autoLogin,
                         const QString& enterpriseId) {
    if (accountId.isEmpty())
        return QString();
    g_Config.ChangeUser(accountId, 1, enterpriseId);
    if (!password.isEmpty())
        g_Config.SetAutoLogin(autoLogin);
    g_Config.SetPwd(password);
    return enterpriseId.isEmpty() ? g_Config.Eid() : enterpriseId;
}

bool VUZeroz::Login() {
    g_LocalStoreMgr.Request(REQUEST_LOGIN);
    return true;
}

bool VUZeroz::Retry() {
    g_LocalStoreMgr.RestartSync();
    return true;
}

bool VUZeroz::Request(REQUEST_TYPE type) {
    if (type == REQUEST_LOGIN || type == REQUEST_START_SYNC)
        g_LocalStoreMgr.Start();
    g_LocalStoreMgr.Request(type);
    if (type == REQUEST_LOGOUT) {
        g_LocalStoreMgr.CopySources().Save();
        g_LocalStoreMgr.OutUploads().Save(false);
    }
    return true;
}

SYNC_INFO VUZeroz::Status() const {
    SYNC_INFO info;
    g_LocalStoreMgr.QueryStatusDetail(info);
    return info;
}

bool VUZeroz::GetEnterpriseList() {
    g_LocalStoreMgr.AddCoreEvent(std::make_shared<QCGetEnterpriseListEvent>());
    return true;
}

void VUZeroz::GetJumpUrl(const QString& key, const QString& argument) {
    g_LocalStoreMgr.AddCoreCritalEvent(std::make_shared<QCGetJumpUrlTicketEvent>(key, argument));
}

void VUZeroz::GetFileOperateJumpUrl(const QString& key, const QString& path) {
    if (path.isEmpty())
        return;
    const QString mirror = GetCachePath(path);
    FileInfo known;
    // An item not uploaded yet has no node id: its path names it.
    if (!mirror.isEmpty() && g_LocalStoreMgr.Cache().GetBaseInfo(mirror, known) && known.nid != 0) {
        g_LocalStoreMgr.AddCoreCritalEvent(std::make_shared<QCGetJumpUrlTicketEvent>(
            key, QString::number(known.nid), QString::fromUtf8(known.qid), true));
        return;
    }
    const QString cloud = g_LocalStoreMgr.GetVirtualPath(mirror.isEmpty() ? path : mirror);
    g_LocalStoreMgr.AddCoreCritalEvent(
        std::make_shared<QCGetJumpUrlTicketEvent>(key, cloud, QString(), false));
}

QString VUZeroz::GetUserString(const QString& key, const QString& def) {
    return g_Config.ReadUserProfile(key, def);
}

int VUZeroz::GetUserInt(const QString& key, int def) {
    return g_Config.ReadUserProfileInt(key, def);
}

QString VUZeroz::GetAppdataPath() const {
    std::shared_lock<std::shared_mutex> lock(g_Config.pathsLock);
    return g_Config.appdata_path;
}

QString VUZeroz::GetCachePath(const QString& path) {
    const QString sync = g_Config.GetSyncPath();
    if (path.isEmpty() || sync.isEmpty())
        return QString();
    if (InFolder(sync, path))
        return path;
    return MyCombinePath(sync, path);
}

bool VUZeroz::GetFileInfo(const QString& path, FileInfo& info) {
    // The private folder is no item of the index, whatever the index answers for it.
    if (path.isEmpty() || IsIgnoreCacheFile(path))
        return false;
    return g_LocalStoreMgr.Cache().GetFileInfoProgress(GetCachePath(path), info);
}

bool VUZeroz::GetPathInfo(const QString& path, bool recursive, std::list<FileInfo>& entries) {
    const QString mirror = GetCachePath(path);
    if (mirror.isEmpty())
        return false;
    QCCache& cache = g_LocalStoreMgr.Cache();
    // The index lists nothing below a path it does not hold, as below an empty folder.
    FileInfo self;
    if (!QCCache::IsRootPath(cache.MakePathIndex(mirror)) && !cache.GetBaseInfo(mirror, self))
        return false;
    std::vector<FileInfo> found;
    if (cache.QueryExt(mirror, recursive, found) < 0)
        return false;
    entries.assign(found.begin(), found.end());
    return true;
}

bool VUZeroz::ViewList(const QString& path, int count) {
    return g_LocalStoreMgr.View().RefreshList(path, count);
}

bool VUZeroz::ViewCustomDir(const QString& path, int count) {
    return g_LocalStoreMgr.View().RefreshCustomDir(path, count);
}

bool VUZeroz::ViewSearch(const QString& text, int count) {
    return g_LocalStoreMgr.View().RefreshSearch(text, count);
}

void VUZeroz::MapSyncPath(const QString& localFolder, const QString&) {
    CoreDebug("SetDiskRoot %s", qUtf8Printable(localFolder));
    if (!g_Config.SetSyncPath(localFolder)) {
        CoreDebug("[engine] sync folder %s refused", qUtf8Printable(localFolder));
        return;
    }
    g_LocalStoreMgr.WatchSyncFolder();
    // Only a login whose files belong to another folder starts again; one that has not set its
    // files up yet takes the new folder by itself.
    const QString root = g_LocalStoreMgr.GetRootPath();
    if (!root.isEmpty() && root.compare(g_Config.GetSyncPath(), Qt::CaseInsensitive) != 0)
        g_LocalStoreMgr.ChangeSyncPath();
}

// --- Mirror commands -----------------------------------------------------------------------------

namespace {

bool Stopped() {
    return g_LocalStoreMgr.QueryStatus() == UI_STATUS_STOPPED;
}

bool Known(const QString& mirror, FileInfo* out = nullptr) {
    FileInfo info;
    const bool known = g_LocalStoreMgr.Cache().GetBaseInfo(mirror, info);
    if (out)
        *out = info;
    return known;
}

} // namespace

int VUZeroz::Rename(const QString& oldPath, const QString& newPath) {
    if (Stopped())
        return 5;
    const QString oldMirror = GetCachePath(oldPath);
    const QString newMirror = GetCachePath(newPath);
    if (oldMirror.isEmpty() || newMirror.isEmpty())
        return 3;
    if (oldMirror.compare(newMirror, Qt::CaseInsensitive) != 0 &&
        (Known(newMirror) || QFileInfo::exists(newMirror)))
        return 1;
    if (QFileInfo::exists(oldMirror)) {
        g_LocalStoreMgr.ExpectEcho(SYNC_CHANGE_REN, newMirror);
        if (!SafePath::Rename(g_LocalStoreMgr.GetRootPath(), oldMirror, newMirror, false))
            return 2;
    }
    // Reported here, not left to the watcher, whose echo of it is dropped.
    g_LocalStoreMgr.NotifyFileChange(newMirror, SYNC_CHANGE_REN, oldMirror, true);
    return 0;
}

int VUZeroz::Move(const QString& sourcePath, const QString& targetFolder) {
    if (Stopped())
        return 5;
    const QString srcMirror = GetCachePath(sourcePath);
    QString dstFolder = GetCachePath(targetFolder);
    while (dstFolder.endsWith(QLatin1Char('/')))
        dstFolder.chop(1);
    const QString sync = g_Config.GetSyncPath();
    if (srcMirror.isEmpty() || dstFolder.isEmpty())
        return 3;
    FileInfo folder;
    if (dstFolder.compare(sync, Qt::CaseInsensitive) != 0 && !(Known(dstFolder, &folder) && folder.is_dir))
        return 3;
    FileInfo source;
    if (!Known(srcMirror, &source))
        return 3;
    if ((source.status != FILE_STATUS_SYNCED && source.status != FILE_STATUS_NOT_DOWN) ||
        g_LocalStoreMgr.HasWorkBelow(srcMirror))
        return 2;
    const QString dst = MyCombinePath(dstFolder, GetOnlyFilename(srcMirror));
    if (Known(dst) || QFileInfo::exists(dst))
        return 1;
    if (QFileInfo::exists(srcMirror)) {
        g_LocalStoreMgr.ExpectEcho(SYNC_CHANGE_REN, dst);
        const QString root = g_LocalStoreMgr.GetRootPath();
        if (!SafePath::MakeFolders(root, dstFolder) || !SafePath::Rename(root, srcMirror, dst, false))
            return 2;
    }
    g_LocalStoreMgr.NotifyFileChange(dst, SYNC_CHANGE_REN, srcMirror, true);
    return 0;
}

int VUZeroz::Recycle(const QString& path) {
    if (Stopped())
        return 5;
    const QString mirror = GetCachePath(path);
    if (mirror.isEmpty())
        return 3;
    if (QFileInfo::exists(mirror)) {
        if (!g_LocalStoreMgr.MoveToTrash(mirror, g_LocalStoreMgr.GetVirtualPath(mirror),
                                         g_LocalStoreMgr.TrashFolder()))
            return 2;
    }
    g_LocalStoreMgr.NotifyFileChange(mirror, SYNC_CHANGE_DEL, QString(), true);
    return 0;
}

int VUZeroz::CloudCopyTo(const QString& sourcePath, const QString& targetPath) {
    const QString dstMirror = GetCachePath(targetPath);
    g_LocalStoreMgr.AddCoreEvent(std::make_shared<VUZerozCopyToEvent>(
        g_LocalStoreMgr.GetVirtualPath(GetCachePath(sourcePath)), g_LocalStoreMgr.GetVirtualPath(dstMirror)));
    return 0;
}

bool VUZeroz::DownloadStart(const QString& cloudPath, const QString& targetFolder) {
    if (!g_LocalStoreMgr.running() || g_LocalStoreMgr.QueryStatus() == UI_STATUS_STOPPED)
        return false;
    DOWNLOAD_REQUEST request;
    request.path = GetCachePath(cloudPath);
    request.target = targetFolder;
    request.to_cache = targetFolder.isEmpty();
    if (request.to_cache)
        CoreDebug("[download] to_cache %s", qUtf8Printable(request.path));
    else
        CoreDebug("[download] to_out %s -> %s", qUtf8Printable(request.path), qUtf8Printable(targetFolder));
    if (request.path.isEmpty() || (!request.to_cache && (g_LocalStoreMgr.IsSyncPath(targetFolder) ||
                                                         InFolder(g_Config.GetSyncPath(), targetFolder))))
        return false;
    FileInfo known;
    if (request.to_cache && g_LocalStoreMgr.Cache().GetBaseInfo(request.path, known) &&
        known.status == FILE_STATUS_SYNCED && !known.is_dir && QFileInfo::exists(request.path)) {
        g_LocalStoreMgr.UIEventSendMsg(known, false);
        return true;
    }
    g_LocalStoreMgr.QueueDownloadRequest(request);
    return true;
}

bool VUZeroz::DownloadCancel(const QString& cloudPath, bool failed) {
    DOWNLOAD_REQUEST request;
    request.path = GetCachePath(cloudPath);
    CoreDebug("[UI] download cancel %s", qUtf8Printable(request.path));
    request.remove_task = failed;
    if (!request.path.isEmpty())
        g_LocalStoreMgr.QueueDownloadCancel(request);
    return false;
}

bool VUZeroz::GetTaskList(TASKLIST_NOTIFY& list) {
    g_LocalStoreMgr.GetTaskDetail(list.type, list);
    return true;
}

bool VUZeroz::PauseTask(const QString& path) {
    if (path.isEmpty())
        return false;
    g_LocalStoreMgr.AddCoreCritalEvent(
        std::make_shared<QCPauseTaskEvent>(g_LocalStoreMgr.GetVirtualPath(path)));
    return true;
}

bool VUZeroz::ResumeTask(const QString& path) {
    if (path.isEmpty())
        return false;
    g_LocalStoreMgr.AddCoreCritalEvent(
        std::make_shared<QCResumeTaskEvent>(g_LocalStoreMgr.GetVirtualPath(path)));
    return true;
}

bool VUZeroz::CancelAllTask() {
    // Everything the user asked for goes, whatever the engine is doing: the downloads on the
    // engine thread, and each out-upload as its own cancel would go (a copy the mirror got from
    // its source goes to the trash, the entry leaves "out.dat" and a running upload of it ends).
    g_LocalStoreMgr.AddCoreCritalEvent(std::make_shared<QCCancelAllTaskEvent>());
    for (const OUT_UPLOAD_FILE& pending : g_LocalStoreMgr.OutUploads().Pending())
        g_LocalStoreMgr.CancelOutUpload(pending.cloud_path);
    return false;
}

void VUZeroz::DeleteHistoryTask() {
    // The engine alone writes the history file: the request only queues.
    g_LocalStoreMgr.AddCoreEvent(std::make_shared<QCDeleteHistoryEvent>());
}

bool VUZeroz::Upload(const QString& cloudPath, const QString& localFile) {
    CoreDebug("Upload=%s", qUtf8Printable(cloudPath));
    return g_LocalStoreMgr.QueueOutUpload(cloudPath, localFile);
}

bool VUZeroz::UploadCancel(const QString& cloudPath) {
    return g_LocalStoreMgr.CancelOutUpload(cloudPath);
}
