// The local change pipeline, execution: one pending item chosen by the scheduler is run, either
// as a folder operation on the service (create folder, delete, rename, move) or as an upload
// task; the replies bring the index, the journal, the views and the pending list into line with
// what the service did. The cloud copy of the facade is sent and answered here too.
//
// Folder operations run one at a time on the pool: the item is marked running under a token of its
// own, the exchange runs on a pool thread and its outcome comes back to the engine thread as a
// posted call (FolderOperationDone), so the engine takes events meanwhile. A failed exchange (no
// reply) is put off and sent again later; a refusal of the service is reported, marked in the index
// (status 4) and dropped, and a refused move of the user's own is moved back on disk.
//
// Threads: the engine thread, except the pool tasks, which touch nothing of the engine but what
// they were given by value and the posted call.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "Transfer/QCUploadFile.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/LocalScan.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "common/SkipRules.h"
#include "network/CmdTable.h"
#include "network/NetworkClient.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"
#include "network/RequestRecords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int kDirExists = 3005;

bool SameText(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// How many listed items one journal look-up takes: what a listing holds at a time.
constexpr size_t kUnknownChunk = 512;

struct UnknownFiles {
    std::vector<QString> paths; // virtual paths the journal has no row of
    QStringList tooLong;        // disk paths past the system's limit, not walked
};

// The files and folders in `dirs` (disk paths below the sync folder `root`) that the journal has
// no row of; none when the journal cannot be read. Each tree is listed once, in chunks looked up
// as they come: folders created in one batch nest, and listing each one's tree whole would cost
// memory as the batch times the depth. Any thread.
UnknownFiles JournalUnknownFiles(const QString& root, const std::vector<QString>& dirs) {
    UnknownFiles out;
    bool read = true;
    ScanFolderTrees(
        dirs, root, kUnknownChunk,
        [&](std::vector<FILE_INFO>& found) {
            std::vector<QString> paths;
            paths.reserve(found.size());
            for (const FILE_INFO& entry : found) {
                if (SafePath::IsUndecodable(entry.path))
                    out.paths.push_back(entry.path); // no row can be its: reported, to be shown failed
                else
                    paths.push_back(entry.path);
            }
            std::map<QString, FILE_INFO> rows;
            read = read && QCSyncDB::GetFileInfos(paths, rows);
            for (size_t i = 0; read && i < paths.size(); ++i) {
                if (rows.count(paths[i].toLower()) == 0)
                    out.paths.push_back(paths[i]);
            }
        },
        &out.tooLong);
    if (!read)
        out.paths.clear();
    return out;
}

QString WithoutSlash(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

FILE_INFO QCLocalStoreMgr::GetDiskFileInfo(const QString& diskPath) const {
    FILE_INFO info;
    // A mirror path is resolved from the sync folder: a link there describes nothing.
    const bool found = IsSyncPath(diskPath) ? GetLocalBaseFileInfo(GetRootPath(), diskPath, &info)
                                            : GetLocalBaseFileInfo(diskPath, &info);
    if (!found)
        return FILE_INFO();
    if (info.is_dir) {
        info.size = 0;
        info.attrs = 16 | (info.attrs & 3);
    }
    if (info.attrs == 0)
        info.attrs = 128;
    info.path = GetVirtualPath(diskPath);
    info.name = GetOnlyFilename(diskPath);
    return info;
}

void QCLocalStoreMgr::RefreshEnumDir(const QString& dir) {
    m_enumDirs.push_back(dir);
    RefreshEnumDirs();
}

void QCLocalStoreMgr::RefreshEnumDirs() {
    // One listing at a time, taking every folder created meanwhile: each waits for the journal's
    // spacing, and listings side by side would take the control pool's threads from the folder
    // operations.
    const quint64 listing = m_workGeneration.load() + 1;
    if (m_enumDirs.empty() || m_enumRunning == listing)
        return;
    std::vector<QString> dirs;
    dirs.swap(m_enumDirs);
    const QString root = GetRootPath();
    if (root.isEmpty())
        return;
    for (QString& dir : dirs)
        dir = GetDiskPath(dir);
    QCSyncDB::Flush(); // the read below sees the rows written so far
    // The engine thread never waits for the journal's spacing here: a burst of folder creations
    // would stall every other reply behind it.
    m_enumRunning = listing;
    RunOnPool([this, listing, root, dirs = std::move(dirs)] {
        UnknownFiles unknown = JournalUnknownFiles(root, dirs);
        PostQuiet([this, listing, root, unknown = std::move(unknown)] {
            if (m_enumRunning == listing)
                m_enumRunning = 0; // (a listing of a later work generation may run meanwhile)
            QueueUnknownFiles(root, unknown.paths);
            if (!unknown.tooLong.isEmpty() && GetRootPath() == root) {
                // The first is shown; none of them can be synced, nor what lies below them.
                CoreDebug("[Todo] %d paths past the system's limit", int(unknown.tooLong.size()));
                ErrorOnThread(SYNC_ERROR::NameTooLong, 0, unknown.tooLong.first(), nullptr);
            }
            RefreshEnumDirs(); // the folders created meanwhile
        });
    });
}

void QCLocalStoreMgr::QueueUnknownFiles(const QString& root, const std::vector<QString>& paths) {
    if (GetRootPath() != root)
        return; // another sync folder meanwhile
    for (const QString& path : paths) {
        // What was synced after the journal's read (a folder created meanwhile) is known too.
        FileInfo entry;
        if (m_cache.GetBaseInfo(GetDiskPath(path), entry) && entry.status == FILE_STATUS_SYNCED)
            continue;
        bool waiting = false;
        for (const PendingChanges::iterator it : m_pending.ItemsOfPath(path))
            waiting = waiting || (it->type == SYNC_CHANGE_MOD && it->local.path == path);
        if (waiting)
            continue;
        CoreDebug("[Todo] dir change. detect new file, add a mod event: %s", qUtf8Printable(path));
        SYNC_CHANGE_INFO change;
        change.path = GetDiskPath(path);
        change.type = SYNC_CHANGE_ADD; // a folder found here is new too, not a folder's own change
        m_changes.Add(change);
    }
}

void QCLocalStoreMgr::DBConsistRenameDir(const QString& oldDir, const QString& newDir) {
    // One batch: the rows below the folder follow it (the folder's own row is written by the
    // caller), so a rename of a big folder costs one journal job, not one per row.
    CoreDebug("[DB_CONSIST] rename dir %s to %s", qUtf8Printable(oldDir), qUtf8Printable(newDir));
    FILE_INFO self;
    const bool hadSelf = QCSyncDB::GetFileInfo(newDir, self);
    if (!QCSyncDB::RenameFolder(oldDir, newDir, QString(), QString()))
        CoreDebug("[DB_CONSIST] rename dir failed");
    else if (hadSelf)
        QCSyncDB::UpdateFileInfo(self);
}

void QCLocalStoreMgr::DBConsistDeleteDir(const QString& dir) {
    CoreDebug("[DB_CONSIST] delete dir %s", qUtf8Printable(dir));
    if (WithoutSlash(dir).size() < 2 || !QCSyncDB::DeleteFolder(dir))
        CoreDebug("[DB_CONSIST] delete dir failed");
}

int QCLocalStoreMgr::RefreshExec(PendingChanges::iterator item) {
    switch (item->exec_type) {
    case 1: {
        if (!StampOf(item->path).is_dir) {
            CoreDebug("[req] skip create dir. local not found %s", qUtf8Printable(item->path));
            return 5;
        }
        if (Unreadable(item->path)) {
            // Made unreadable since it was taken in: never shown synced over contents unknown.
            MarkUnreadable(item->path, item->local);
            item->error = SYNC_ERROR::NoPerm;
            return 2;
        }
        const FILE_INFO disk = GetDiskFileInfo(item->path);
        item->local.mtime = disk.mtime;
        item->local.ctime = disk.ctime;
        item->local.attrs = disk.attrs;
        if (WithoutSlash(item->local.path).size() < 2)
            return 5;
        RunFolderOperation(item, CMD::CreateDir);
        return 0;
    }
    case 3: {
        if (WithoutSlash(item->local.path).size() < 2) {
            CoreDebug("[req] delete invalid dir[%s] skip it", qUtf8Printable(item->local.path));
            return 3;
        }
        FILE_INFO row;
        const bool hasRow = item->local.version == 0 && QCSyncDB::GetFileInfo(item->local.path, row);
        if (item->local.version == 0 && !hasRow) {
            CoreDebug("[req] skip delete no_db&no_cache record [%s]", qUtf8Printable(item->local.path));
            return 3;
        }
        // A folder's delete never goes on the local deletion alone: another device may have
        // added to it since this one last looked.
        if ((item->local.is_dir || (hasRow && row.is_dir)) && !item->cloud_checked)
            CheckFolderBeforeDelete(item);
        else
            RunFolderOperation(item, CMD::DeleteNode);
        return 0;
    }
    case 2:
        RunFolderOperation(item, SameText(GetParentPath(item->old_path), GetParentPath(item->local.path))
                                     ? CMD::Rename
                                     : CMD::Move);
        return 0;
    case 4:
        break;
    default:
        CoreDebug("[req] unknown exec type %d", item->exec_type);
        return 2;
    }
    if (NeedSkipSync(item->path, false)) {
        m_cache.Update(item->path, item->local, FILE_STATUS_IGNORE, true, false, true);
        return 3;
    }
    const QString file = item->src_path.isEmpty() ? item->path : item->src_path;
    const QFileInfo info(file);
    // A mirror file is looked at from the sync folder: a link there, or a file behind one, is not
    // synced (nothing it leads to is ever read), nor is a pipe, a socket or a device.
    const LocalStat mirror = item->src_path.isEmpty() ? StampOf(file) : LocalStat();
    if (mirror.denied) { // its folder was made unreadable since it was taken in
        MarkUnreadable(item->path, item->local);
        item->error = SYNC_ERROR::NoPerm;
        return 2;
    }
    if (item->src_path.isEmpty() && !mirror.Synced()) {
        CoreDebug("[req] upload, but not find %s, skip it", qUtf8Printable(file));
        return 3;
    }
    if (!info.exists()) {
        CoreDebug("[req] upload, but not find %s, skip it", qUtf8Printable(file));
        return 3;
    }
    if (!info.isFile() || !info.isReadable()) {
        CoreDebug("[COPY] get attr failed %s", qUtf8Printable(file));
        return 1;
    }
    quint64 largest = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        largest = m_userDetail.max_file_size;
    }
    if (largest != 0 && quint64(info.size()) > largest) {
        // It will not fit however often it is tried: shown and given up until the file changes.
        OnError(SYNC_ERROR::CloudBigFile, 0, file, nullptr);
        return 2;
    }
    const FILE_INFO disk = GetDiskFileInfo(file);
    item->local.size = disk.size;
    item->local.mtime = disk.mtime;
    item->local.ctime = disk.ctime;
    item->local.is_dir = false;
    item->local.attrs = disk.attrs;
    item->local.local_path = file;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.accountLock);
        item->local.qid = g_Config.qid;
    }
    auto task = std::make_shared<QCUploadFile>(*this, *this, item->local);
    task->SetDiskName(item->path);
    if (!item->src_path.isEmpty())
        task->SetSourcePath(item->src_path);
    else
        task->SetMirrorRoot(GetRootPath());
    const quint32 id = QCRequestCommon::GetInstance()->GetTaskID();
    item->sync_id = id;
    m_pending.Touch(item);
    task->SetSyncID(id);
    if (item->fast)
        task->SetFast();
    AddUploadTask(task);
    NotifyUIEvent(task->GetFileInfo(), 3);
    m_cache.Update(item->path, item->local, FILE_STATUS_UPING, true, false, true);
    task->SetNew(false);
    CoreDebug("[req] upload filesize=%llu, %s", static_cast<unsigned long long>(item->local.size),
              qUtf8Printable(item->local.path));
    task->DoSync();
    return 0;
}

void QCLocalStoreMgr::RunFolderOperation(PendingChanges::iterator item, int command) {
    const quint32 token = QCRequestCommon::GetInstance()->GetTaskID();
    item->sync_id = token;
    m_pending.Touch(item);
    m_folderOps.insert(token);
    const FILE_INFO record = item->local;
    const QString oldPath = item->old_path;
    RunOnPool([this, token, command, record, oldPath] {
        QCRequestCommon* requests = QCRequestCommon::GetInstance();
        unsigned int id = 0;
        if (command == CMD::CreateDir) {
            CREATEDIR_REQ request;
            request.path = record.path;
            request.mtime = record.mtime;
            request.ctime = record.ctime;
            request.attrs = record.attrs;
            id = requests->DoCreateDir(request);
        } else if (command == CMD::DeleteNode) {
            DELETE_REQ request;
            request.path = record.path;
            request.is_dir = record.is_dir;
            id = requests->DoDelete(request);
        } else {
            RENAME_REQ request;
            request.old_path = oldPath;
            request.is_dir = record.is_dir;
            if (command == CMD::Rename) {
                request.new_path = record.name;
                id = requests->DoRename(request);
            } else {
                const QString parent = GetParentPath(record.path);
                request.new_path = parent.isEmpty() ? QStringLiteral("/") : parent;
                id = requests->DoMove(request);
            }
        }
        PostQuiet([this, token, command, id] { FolderOperationDone(token, command, id); });
    });
}

void QCLocalStoreMgr::FolderOperationDone(quint32 token, int command, unsigned int requestId) {
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    const PendingChanges::iterator item = m_pending.FindId(token);
    if (m_folderOps.erase(token) == 0 || item == m_pending.end()) {
        requests->CancelTask(requestId); // the engine cleared its work meanwhile
        return;
    }
    const QSharedPointer<NetworkClient> client = requestId ? requests->GetRequestByID(requestId) : nullptr;
    if (!client) {
        // No reply: the exchange failed (the network, the service unavailable). Sent again later.
        CoreDebug("[req] %s %s: no reply, put off", qUtf8Printable(GetCmdString(command)),
                  qUtf8Printable(item->local.path));
        requests->CancelTask(requestId);
        PutOff(item);
        TriggerTimerEvent();
        return;
    }
    item->sync_id = requestId;
    m_pending.Touch(item);
    QCRequestCommon::ParseResponse(command, requestId, client);
    requests->CancelTask(requestId);
    const PendingChanges::iterator left = m_pending.FindId(requestId);
    if (left != m_pending.end())
        PutOff(left); // the reply reached no handler (the engine stopping): tried again later
    TriggerTimerEvent();
}

void QCLocalStoreMgr::ProcServerFileOperate(int command, unsigned int id, QJsonValue& data, int kind,
                                            int serviceErrno, QString errmsg) {
    if (command == CMD::Copy) {
        const QSharedPointer<NetworkClient> client = QCRequestCommon::GetInstance()->GetRequestByID(id);
        if (!client)
            return;
        const QString source = WithoutSlash(client->GetParam(QStringLiteral("src_name")));
        const QString target = MyCombinePath(WithoutSlash(client->GetParam(QStringLiteral("dest"))),
                                             client->GetParam(QStringLiteral("new_name")));
        CloudCopyDone(source, target.startsWith(QLatin1Char('/')) ? target : QLatin1Char('/') + target, kind,
                      serviceErrno, errmsg);
        return;
    }
    const PendingChanges::iterator item = m_pending.FindId(id);
    if (item == m_pending.end()) {
        CoreDebug("[resp] unknown id(%u), %d, %s", id, kind, qUtf8Printable(errmsg));
        return;
    }
    const QString oldDisk = item->old_path.isEmpty() ? QString() : GetDiskPath(item->old_path);
    const bool transient = kind == SYNC_ERROR::Network || kind == SYNC_ERROR::Server ||
                           kind == SYNC_ERROR::XmlCorrupt || kind == SYNC_ERROR::Maintain;
    if (transient && item->tries < int(ArraySize(kBackoffMs))) {
        // No answer of the service's own (a gateway's error page, a reply cut short): sent again
        // after a pause, reported only once the pauses are used up.
        CoreDebug("[resp] %s %s failed (%d): put off", qUtf8Printable(GetCmdString(command)),
                  qUtf8Printable(item->local.path), kind);
        PutOff(item);
        TriggerTimerEvent();
        return;
    }
    if (kind != 0) {
        CMD_STAT_DEBUG context;
        context.command = GetCmdString(command);
        OnError(kind, serviceErrno, item->path, &context);
        const bool moveBack =
            command == CMD::Move && item->user_op && StampOf(item->path).Synced() && !StampOf(oldDisk).exists;
        if (moveBack && SafePath::Rename(GetRootPath(), item->path, oldDisk, false)) {
            // The user's move is refused: the item goes back where the service still has it.
            ExpectEcho(SYNC_CHANGE_REN, oldDisk);
            m_cache.Delete(item->path, true);
            FILE_INFO back = item->local;
            back.path = item->old_path;
            back.name = GetOnlyFilename(item->old_path);
            m_cache.Update(oldDisk, back, FILE_STATUS_SYNCED, true, false, true);
        } else {
            m_cache.Update(item->path, item->local, FILE_STATUS_ERR, true, true, true);
            if (command == CMD::Rename && kind == SYNC_ERROR::NoPerm && StampOf(item->path).exists)
                m_cache.Delete(item->path, true);
        }
    } else {
        CoreDebug("[resp] success, type:%d(%s) %s", item->exec_type, qUtf8Printable(GetCmdString(command)),
                  qUtf8Printable(item->local.path));
        FILE_INFO& record = item->local;
        switch (item->exec_type) {
        case 1: {
            QJsonObject object = data.toObject();
            const std::shared_ptr<NODE_CHANGE_ACK> reply =
                object.isEmpty() ? nullptr : QCResponseCommon().parseCreateDir(object);
            if (reply) {
                record.version = reply->ver;
                record.nid = reply->nid;
                record.nv = reply->nv;
            }
            if (record.version == 0)
                record.version = 1;
            record.is_dir = true;
            // Many new folders are created side by side: their rows and the look for files
            // already inside them go to the journal in batches.
            QCSyncDB::UpdateFileInfoLater(record);
            m_cache.Update(item->path, record, FILE_STATUS_SYNCED, true, true, true);
            if (serviceErrno != kDirExists)
                ++m_changeCount;
            m_enumDirs.push_back(record.path);
            break;
        }
        case 2: {
            const QString oldName = GetOnlyFilename(item->old_path);
            if (command == CMD::Move && oldName != record.name) {
                // The service moved it under its old name; the new name follows as a rename from
                // there, so the item ends where the user put it.
                const QString parent = GetParentPath(record.path);
                const QString between =
                    MyCombinePath(parent.isEmpty() ? QStringLiteral("/") : parent, oldName);
                FILE_INFO row = record;
                row.path = between;
                row.name = oldName;
                ++row.version;
                QCSyncDB::DeleteByPath(item->old_path);
                QCSyncDB::UpdateFileInfo(row);
                if (record.is_dir)
                    DBConsistRenameDir(item->old_path, between);
                ++m_changeCount;
                CoreDebug("[resp] moved %s to %s; the rename to %s follows", qUtf8Printable(item->old_path),
                          qUtf8Printable(between), qUtf8Printable(record.name));
                item->old_path = between;
                item->sync_id = 0;
                item->exec_type = 0;
                item->tick = 0; // settled: next in line
                m_pending.Touch(item);
                TriggerTimerEvent();
                return;
            }
            FileInfo entry;
            if (m_cache.GetBaseInfo(oldDisk, entry)) {
                record.is_sync = entry.is_sync;
                record.spare_flag = entry.spare_flag;
                record.is_link = entry.is_link;
            }
            if (command == CMD::Move)
                record.is_link = false;
            m_cache.Rename(oldDisk, item->path);
            ++record.version;
            ++m_changeCount;
            const bool here = StampOf(item->path).Synced();
            m_cache.Update(item->path, record, here ? FILE_STATUS_SYNCED : FILE_STATUS_NOT_DOWN, true, true,
                           true);
            QCSyncDB::DeleteByPath(item->old_path);
            QCSyncDB::UpdateFileInfo(record);
            if (record.is_dir) {
                DBConsistRenameDir(item->old_path, record.path);
                RefreshEnumDir(record.path);
            } else if (here) {
                const FILE_INFO disk = GetDiskFileInfo(item->path);
                if (disk.size != record.size || disk.mtime != record.mtime) {
                    bool merged = false;
                    for (const PendingChanges::iterator it : m_pending.ItemsOfPath(record.path)) {
                        if (it->sync_id == 0 && it->type == SYNC_CHANGE_MOD) {
                            it->tick = QCClock::NowMs();
                            m_pending.Touch(it);
                            merged = true;
                            break;
                        }
                    }
                    if (!merged)
                        NotifyFileChange(item->path, SYNC_CHANGE_MOD, QString(), false);
                }
            }
            break;
        }
        case 3: {
            FileInfo entry;
            if (!(m_cache.GetBaseInfo(item->path, entry) && entry.status == FILE_STATUS_WAIT_UP))
                m_cache.Delete(item->path, true);
            QCSyncDB::DeleteByPath(record.path);
            if (serviceErrno == 0)
                ++m_changeCount;
            if (record.is_dir)
                DBConsistDeleteDir(record.path);
            break;
        }
        default:
            CoreDebug("[resp], unknow exec_type:%d", item->exec_type);
            break;
        }
    }
    if (command == CMD::Move) {
        auto* event = new QCFileCloudMoveEvent();
        event->data.error_type = kind;
        event->data.error_code = serviceErrno;
        event->data.message = errmsg;
        event->data.source = oldDisk;
        event->data.destination = item->path;
        g_Config.CallOuter(event);
    }
    m_pending.Erase(item);
    TriggerTimerEvent();
}

// --- Cloud copy ----------------------------------------------------------------------------------

void QCLocalStoreMgr::ProcCloudCopy(const QString& source, const QString& target) {
    FileInfo entry;
    const bool isDir = m_cache.GetBaseInfo(GetDiskPath(source), entry) && entry.is_dir;
    RunOnPool([this, source, target, isDir] {
        RENAME_REQ request;
        request.old_path = source;
        request.new_path = target;
        request.is_dir = isDir;
        if (QCRequestCommon::GetInstance()->DoCopy(request) == 0) {
            Post([this, source, target] { CloudCopyDone(source, target, SYNC_ERROR::Network, 0, QString()); },
                 false);
        }
    });
}

void QCLocalStoreMgr::CloudCopyDone(const QString& source, const QString& target, int kind, int serviceErrno,
                                    const QString& errmsg) {
    const QString sourceDisk = GetDiskPath(source);
    const QString targetDisk = GetDiskPath(target);
    if (kind == 0) {
        // Only now does an old mirror copy of the target make way: unchanged since its last sync
        // it goes to the private trash, changed it is kept as a conflict copy.
        const LocalStat here = StampOf(targetDisk);
        if (here.exists) {
            FILE_INFO row;
            const bool same = here.is_file && QCSyncDB::GetFileInfo(target, row) && row.size == here.size &&
                              row.mtime == here.Mtime();
            if (same)
                MoveToTrash(targetDisk, target, TrashFolder(), here);
            else
                MakeConflict(targetDisk);
        }
        ++m_changeCount;
        FileInfo entry;
        if (m_cache.GetBaseInfo(sourceDisk, entry)) {
            FILE_INFO copy = ui2base(entry);
            copy.is_share = false;
            copy.is_sync = false;
            copy.is_link = false;
            copy.path = target;
            copy.name = GetOnlyFilename(target);
            copy.version = 1;
            m_cache.Update(targetDisk, copy, FILE_STATUS_NOT_DOWN, true, true, true);
            m_view.NotifyUpdateCurrent(targetDisk);
        }
    }
    auto* event = new QCFileCloudCopyEvent();
    event->data.error_type = kind;
    event->data.error_code = serviceErrno;
    event->data.message = errmsg;
    event->data.source = sourceDisk;
    event->data.destination = targetDisk;
    g_Config.CallOuter(event);
}
