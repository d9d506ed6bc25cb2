// The local change pipeline, intake and scheduling: reports of the mirror folder (the watcher's,
// the facade's, the out-uploads') become CHANGE_ITEMs on the pending list, and the scheduler picks
// the items that may run now.
//
// Intake (RefreshEventCheck, RefreshEvent; every status): a report is dropped when it lies
// outside the mirror, is an echo (a change the facade made and reported itself, a file that is
// still what the journal or its running upload holds), or the status forbids it; otherwise the
// index shows its provisional state and it is folded into the items waiting: same-path merges,
// rename chains, the office and drawing-program save patterns, deletes that swallow the work
// below them.
//
// Scheduling (RefreshCheck, RefreshTodo; statuses 5 to 7): an item runs once it has settled (a
// short delay that lets bursts merge), within the upload budget (weighted by size; a running
// upload counts once, from the task list), with folder operations strictly one at a time at the
// head of the list, and after its parent folder exists in the cloud. A run that cannot go on now
// is put off 15, 30, 60, 120 and 240 s, then given up: status 4 in the index and a failed-list
// entry. The engine is busy (status 6) while items wait or transfers run, idle (7) otherwise;
// a stored error does not keep it busy.
//
// Held deletes: more than 100 waiting deletes that exceed "max_del_count" or "max_del_share" % of
// the journal's files, or any delete while the sync folder itself is gone, stop the engine
// (status 8, one error of kind 48) without sending one; the user's start sends them, unless the
// sync folder is still gone: then they are dropped and the cloud keeps the items.
//
// Threads: everything here runs on the engine thread, except ExpectEcho and HasWorkBelow (any).
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
#include "common/SafePath.h"
#include "common/SkipRules.h"
#include "common/WorkPools.h"
#include "network/QCRequestCommon.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr int kIntakePerPass = 501;
// A running folder operation weighs in the upload budget like the smallest file.
constexpr double kFolderOpWeight = 0.1;
// Folder operations at once: the control pool keeps threads for the other control requests.
constexpr size_t kMaxFolderOps = size_t(WorkPools::kControlThreads - 2);
constexpr size_t kMassDeleteFloor = 100;

bool SamePath(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// `path` is `folder` or lies below it, letter case ignored; without allocating.
bool AtOrBelow(const QString& folder, const QString& path) {
    if (!path.startsWith(folder, Qt::CaseInsensitive))
        return false;
    return path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/') ||
           folder.endsWith(QLatin1Char('/'));
}

bool Running(const CHANGE_ITEM& item) {
    return item.sync_id != 0;
}

QString EchoKey(SYNC_CHANGE_TYPE type, const QString& path) {
    return QString::number(int(type)) + QLatin1Char('|') + path.toLower();
}

void CopyStat(const FILE_INFO& from, FILE_INFO& to) {
    to.size = from.size;
    to.mtime = from.mtime;
    to.ctime = from.ctime;
    to.is_dir = from.is_dir;
    to.attrs = from.attrs;
}

} // namespace

// --- Echoes of the facade's own changes ----------------------------------------------------------

void QCLocalStoreMgr::ExpectEcho(SYNC_CHANGE_TYPE type, const QString& path) {
    std::lock_guard<std::mutex> lock(m_echoLock);
    m_echoes.emplace(EchoKey(type, path), QCClock::NowMs() + kEchoMs);
}

void QCLocalStoreMgr::ExpectMoveAside(const QString& path) {
    std::lock_guard<std::mutex> lock(m_echoLock);
    m_echoes.emplace(QStringLiteral("aside|") + path.toLower(), QCClock::NowMs() + kEchoMs);
}

bool QCLocalStoreMgr::IsEcho(const SYNC_CHANGE_INFO& info) {
    const qint64 now = QCClock::NowMs();
    std::lock_guard<std::mutex> lock(m_echoLock);
    for (auto it = m_echoes.begin(); it != m_echoes.end();)
        it = it->second < now ? m_echoes.erase(it) : std::next(it);
    // A move the watcher saw as a delete and an add (one half outside its sight) matches too.
    const auto found =
        m_echoes.find(EchoKey(info.type == SYNC_CHANGE_ADD ? SYNC_CHANGE_MOD : info.type, info.path));
    if (found == m_echoes.end())
        return false;
    m_echoes.erase(found);
    return true;
}

bool QCLocalStoreMgr::IsUnchangedFile(const CHANGE_ITEM& item) {
    if (item.local.is_dir || !item.src_path.isEmpty())
        return false;
    FileInfo entry;
    FILE_INFO row;
    if (m_cache.GetBaseInfo(item.path, entry) && entry.status == FILE_STATUS_SYNCED &&
        JournalRow(item.local.path, row) && !row.is_dir && row.size == item.local.size &&
        row.mtime == item.local.mtime)
        return true; // a download put it in place, or a late report of a synced file
    const TaskPtr running = FindUploading(item.local.path);
    if (!running)
        return false;
    const FILE_INFO uploading = running->GetFileInfo();
    return uploading.size == item.local.size && uploading.mtime == item.local.mtime;
}

// --- Names that differ only in letter case ----------------------------------------------------------

namespace {

// The names in `folder` (of the sync folder `root`) equal to `name` ignoring case: files and
// folders only, no link.
QStringList NamesIgnoringCase(const QString& root, const QString& folder, const QString& name) {
    QStringList names;
    const int fd = SafePath::OpenFolder(root, folder);
    if (fd < 0)
        return names;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return names;
    }
    while (const dirent* d = readdir(dir)) {
        const QString found = SafePath::DecodeName(d->d_name);
        struct stat st {};
        if (found.compare(name, Qt::CaseInsensitive) == 0 && IsSyncedName(found) &&
            fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
            names << found;
    }
    closedir(dir);
    return names;
}

} // namespace

bool QCLocalStoreMgr::IsLocalCaseTwin(const QString& diskPath, bool collides) {
    if (m_cache.IsCaseTwin(diskPath))
        return true;
    const QString root = GetRootPath();
    const QStringList parts = GetVirtualPath(diskPath).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString folder = root;
    QString current;
    for (int i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        current += QLatin1Char('/') + part;
        const QString disk = GetDiskPath(current);
        const bool last = i == parts.size() - 1;
        FileInfo held;
        const QString indexName = m_cache.GetBaseInfo(disk, held) ? GetOnlyFilename(held.path) : QString();
        // A folder above that the index does not know is new: its own report settled it.
        FILE_INFO row;
        const QString journalName =
            (last || !indexName.isEmpty()) && (indexName != part || collides) && JournalRow(current, row)
                ? GetOnlyFilename(row.path)
                : QString();
        if ((collides && last) || (!journalName.isEmpty() && journalName != part) ||
            (!indexName.isEmpty() && indexName != part)) {
            const QStringList names = NamesIgnoringCase(root, folder, part);
            if (names.size() > 1) {
                QString owner = names.contains(journalName)  ? journalName
                                : names.contains(indexName) ? indexName
                                                            : *std::min_element(names.begin(), names.end());
                if (owner != part)
                    return true;
            }
        }
        folder = disk;
    }
    return false;
}

void QCLocalStoreMgr::ReleaseCaseTwins(const QString& diskPath) {
    for (const QString& twin : m_cache.CaseTwinsOf(diskPath)) {
        if (twin == diskPath)
            continue;
        m_cache.ClearCaseTwins(twin);
        NotifyFileChange(twin, SYNC_CHANGE_ADD, QString(), false);
    }
}

bool QCLocalStoreMgr::TakeCaseTwin(SYNC_CHANGE_INFO& info, CHANGE_ITEM& item) {
    const bool gone = info.type == SYNC_CHANGE_DEL || info.type == SYNC_CHANGE_NOT_FOUND;
    if (info.type == SYNC_CHANGE_REN && m_cache.IsCaseTwin(info.old_path)) {
        // It never was the service's: new under its new name, if that name can be.
        m_cache.ClearCaseTwins(info.old_path);
        info.type = SYNC_CHANGE_ADD;
        info.old_path.clear();
        item.type = SYNC_CHANGE_MOD;
        item.old_path.clear();
    } else if (gone && m_cache.IsCaseTwin(info.path)) {
        m_cache.ClearCaseTwins(info.path);
        return true;
    } else if (gone) {
        ReleaseCaseTwins(info.path);
        return false;
    } else if (info.type == SYNC_CHANGE_REN) {
        ReleaseCaseTwins(info.old_path);
    }
    if (!info.src_path.isEmpty() || !IsLocalCaseTwin(info.path))
        return false;
    CoreDebug("[operate] another name of the same letters is synced, held back: %s", qUtf8Printable(info.path));
    m_cache.SetCaseTwin(info.path, item.local, SYNC_ERROR::SameNameNode);
    if (info.type == SYNC_CHANGE_REN) // the cloud keeps the item under its old name
        m_cache.ChangeFileStatus(info.old_path, FILE_STATUS_NOT_DOWN, false);
    return true;
}

// --- Intake ------------------------------------------------------------------------------------

void QCLocalStoreMgr::RefreshEventCheck() {
    std::vector<SYNC_CHANGE_INFO> infos;
    SYNC_CHANGE_INFO info;
    while (infos.size() < size_t(kIntakePerPass) && m_changes.Fetch(info))
        infos.push_back(std::move(info));
    if (infos.size() > 1) {
        // The journal rows of their paths in one read: a burst of new files must not cost a read
        // of the journal each.
        std::vector<QString> paths;
        for (const SYNC_CHANGE_INFO& change : infos) {
            for (const QString* path : {&change.path, &change.old_path}) {
                if (!path->isEmpty() && IsSyncPath(*path))
                    paths.push_back(GetVirtualPath(*path));
            }
        }
        if (QCSyncDB::GetFileInfos(paths, m_intakeRows)) {
            for (const QString& path : paths)
                m_intakeAsked.insert(path.toLower());
        }
    }
    for (SYNC_CHANGE_INFO& change : infos)
        RefreshEvent(change);
    m_intakeRows.clear();
    m_intakeAsked.clear();
}

bool QCLocalStoreMgr::JournalRow(const QString& path, FILE_INFO& row) {
    if (!m_intakeAsked.empty()) {
        const QString key = path.toLower();
        if (m_intakeAsked.count(key) != 0) {
            const auto found = m_intakeRows.find(key);
            if (found == m_intakeRows.end())
                return false;
            row = found->second;
            return true;
        }
    }
    return QCSyncDB::GetFileInfo(path, row);
}

void QCLocalStoreMgr::RefreshMakeDataItem(const FILE_INFO& record, CHANGE_ITEM& item) {
    item.type = SYNC_CHANGE_MOD;
    item.path = GetDiskPath(record.path);
    item.tick = QCClock::NowMs();
    item.local = record;
}

void QCLocalStoreMgr::RefreshMakeItem(const SYNC_CHANGE_INFO& info, CHANGE_ITEM& item) {
    if (!info.old_path.isEmpty())
        item.old_path = GetVirtualPath(info.old_path);
    item.type = info.type == SYNC_CHANGE_ADD ? SYNC_CHANGE_MOD : info.type;
    item.user_op = info.user_op != 0;
    item.src_path = info.src_path;
    item.path = info.path;
    item.tick = QCClock::NowMs();
    const QString examined = info.src_path.isEmpty() ? info.path : info.src_path;
    item.local.path = GetVirtualPath(info.path);
    item.local.name = GetOnlyFilename(info.path);
    FILE_INFO disk;
    // A mirror path is resolved from the sync folder: a link there describes nothing.
    const bool found = info.src_path.isEmpty() ? GetLocalBaseFileInfo(GetRootPath(), examined, &disk)
                                               : GetLocalBaseFileInfo(examined, &disk);
    if (found) {
        CopyStat(disk, item.local);
        if (disk.is_dir) {
            item.local.size = 0;
            item.local.attrs = 16;
        }
        if (item.local.attrs == 0)
            item.local.attrs = 128;
        return;
    }
    FileInfo entry;
    if (m_cache.GetBaseInfo(item.path, entry)) {
        item.local.is_dir = entry.is_dir;
        item.local.size = entry.size;
        item.local.mtime = quint32(entry.mtime);
        item.local.ctime = quint32(entry.ctime);
    }
}

void QCLocalStoreMgr::SaveUploadRollbackInfo(CHANGE_ITEM& item) {
    FileInfo entry;
    if (!m_cache.GetBaseInfo(item.path, entry) || entry.is_dir || entry.status == FILE_STATUS_WAIT_UP ||
        entry.status == FILE_STATUS_IGNORE)
        return;
    item.rollback = ui2base(entry);
    item.rollback.path = item.local.path;
    if (item.rollback.version == 0)
        item.rollback.version = 1;
}

void QCLocalStoreMgr::RefreshEvent(SYNC_CHANGE_INFO& info) {
    if (IsSyncPath(info.path) != 1) {
        if (info.type == SYNC_CHANGE_REN && IsSyncPath(info.old_path)) {
            info.path = info.old_path; // moved out of the mirror: gone from it
            info.type = SYNC_CHANGE_DEL;
            info.old_path.clear();
        } else {
            CoreDebug("[operate]: not in root, skip %d(%s)", int(info.type), qUtf8Printable(info.path));
            return;
        }
    }
    if (info.type == SYNC_CHANGE_REN && !IsSyncPath(info.old_path)) {
        info.type = SYNC_CHANGE_ADD; // moved in from outside: new here
        info.old_path.clear();
    }
    if (info.type == SYNC_CHANGE_REN && info.user_op == 0) {
        std::lock_guard<std::mutex> lock(m_echoLock);
        const auto aside = m_echoes.find(QStringLiteral("aside|") + info.old_path.toLower());
        if (aside != m_echoes.end()) {
            m_echoes.erase(aside);
            info.type = SYNC_CHANGE_ADD; // a copy the engine set aside: a new file
            info.old_path.clear();
        }
    }
    if (TakeBadName(info))
        return;
    if (info.user_op == 0 && IsEcho(info)) {
        CoreDebug("[operate] echo of our own change, skip %s", qUtf8Printable(info.path));
        return;
    }
    CHANGE_ITEM item;
    RefreshMakeItem(info, item);
    if (TakeCaseTwin(info, item))
        return;
    const LOCAL_STATUS status = m_status.load();

    if (info.type == SYNC_CHANGE_NOT_FOUND) {
        FileInfo entry;
        if (m_cache.GetBaseInfo(item.path, entry)) {
            FILE_INFO row;
            if (entry.status == FILE_STATUS_SYNCED)
                m_cache.ChangeFileStatus(item.path, FILE_STATUS_NOT_DOWN, true);
            if (item.local.is_dir && JournalRow(item.local.path, row))
                m_cache.ChangeFileStatus(item.path, FILE_STATUS_NOT_DOWN, false);
            if (status == LOCAL_STATUS_STOP &&
                (entry.status == FILE_STATUS_WAIT_UP || entry.status == FILE_STATUS_UPING)) {
                if (entry.base_status != FILE_STATUS_SYNCED && entry.base_status != FILE_STATUS_NOT_DOWN)
                    m_cache.Delete(item.path, true);
                else
                    m_cache.ChangeFileStatus(item.path, FILE_STATUS_NOT_DOWN, false);
            }
        }
        if (!OfficeMergeEvent(item))
            OfficeMergeEvent2(item);
        return;
    }
    if (info.src_path.isEmpty() && (info.type == SYNC_CHANGE_ADD || info.type == SYNC_CHANGE_MOD)) {
        const LocalStat here = StampOf(info.path);
        if (Unreadable(info.path)) {
            MarkUnreadable(item.path, item.local);
            return;
        }
        if (info.type == SYNC_CHANGE_ADD && !here.exists)
            return; // gone again before its turn (moved aside, say), or behind a link
        if (here.exists && !here.Synced())
            return; // links, pipes, sockets and devices are never synced
    }
    if (item.local.is_dir && info.type == SYNC_CHANGE_ADD) {
        FileInfo entry;
        if (m_cache.GetFileinfo(item.path, entry) &&
            (entry.status == FILE_STATUS_NOT_DOWN || entry.status == FILE_STATUS_SYNCED)) {
            item.local.ctime = quint32(entry.ctime);
            item.local.mtime = quint32(entry.mtime);
            item.local.version = entry.version;
            m_cache.Update(item.path, item.local, FILE_STATUS_SYNCED, true, false, true);
            return;
        }
    }
    if (item.local.is_dir && info.type == SYNC_CHANGE_MOD)
        return; // a folder's own changes are never synchronised

    switch (status) {
    case LOCAL_STATUS_WAIT_LOGIN:
    case LOCAL_STATUS_STOP:
        if (item.type == SYNC_CHANGE_MOD && !NeedSkipSync(item.path, item.user_op))
            m_cache.Update(item.path, item.local,
                           item.local.is_dir ? FILE_STATUS_CHECKING : FILE_STATUS_WAIT_UP, true, false, true);
        return;
    case LOCAL_STATUS_MONITOR:
    case LOCAL_STATUS_OK:
        break;
    default:
        // Adds and edits seen while the cloud is checked are found by the offline comparison of
        // the next status-5 step, which therefore runs again.
        if (info.type == SYNC_CHANGE_ADD) {
            FileInfo entry;
            if (!NeedSkipSync(item.path, false) && !m_cache.GetBaseInfo(item.path, entry))
                m_cache.Update(item.path, item.local, FILE_STATUS_WAIT_UP, true, false, true);
            m_offlineDue = true;
            return;
        }
        if (item.type != SYNC_CHANGE_DEL) {
            m_offlineDue = true;
            return;
        }
        if (status == LOCAL_STATUS_CHECK_CLOUD)
            RefreshCancelPreviousDownload(item.path);
        break;
    }

    if (item.type == SYNC_CHANGE_MOD) {
        if (IsUnchangedFile(item))
            return;
        SaveUploadRollbackInfo(item);
        const QString name = item.local.name;
        if (item.local.is_dir)
            m_cache.Update(item.path, item.local, FILE_STATUS_CHECKING, true, false, true);
        else if (!name.startsWith(QLatin1String("~$")) &&
                 !name.endsWith(QLatin1String(".tmp"), Qt::CaseInsensitive) &&
                 !NeedSkipSync(item.path, item.user_op))
            m_cache.Update(item.path, item.local, FILE_STATUS_WAIT_UP, true, false, true);
    } else if (item.type == SYNC_CHANGE_DEL) {
        FileInfo entry;
        const bool had = m_cache.GetBaseInfo(item.path, entry);
        if (had) {
            item.local.is_dir = entry.is_dir;
            item.local.size = entry.size;
            item.local.mtime = quint32(entry.mtime);
            item.local.ctime = quint32(entry.ctime);
            item.local.version = 1;
            m_cache.Delete(item.path, true);
        }
        item.had_index_entry = had;
        bool committing = false;
        const bool cancelled = RefreshCancelPreviousUploadByDelete(item, &committing);
        const bool small = item.local.size <= quint64(std::max(0, g_Config.fast_up_filesize));
        const auto local = [](quint32 s) { return s == FILE_STATUS_WAIT_UP || s == FILE_STATUS_UPING; };
        FILE_INFO row;
        if (!(cancelled && small) && !committing && had && local(entry.base_status) && local(entry.status) &&
            !JournalRow(item.local.path, row))
            return; // it never reached the service
    }

    if (item.type != SYNC_CHANGE_DEL && NeedSkipSync(item.path, item.user_op) && !item.local.is_dir) {
        FILE_INFO row;
        if (item.type == SYNC_CHANGE_MOD && !(JournalRow(item.local.path, row) && row.is_dir))
            m_cache.Update(item.path, item.local, FILE_STATUS_IGNORE, true, false, true);
        return;
    }

    if (item.type == SYNC_CHANGE_REN) {
        const QString oldDisk = GetDiskPath(item.old_path);
        FILE_INFO oldRow;
        const bool oldInJournal = JournalRow(item.old_path, oldRow);
        FILE_INFO newRow;
        // Unless a rename still waiting takes the journal's item away from the new name (a swap
        // through a temporary name).
        bool vacated = false;
        for (const CHANGE_ITEM& waiting : m_pending)
            vacated = vacated || (waiting.type == SYNC_CHANGE_REN && SamePath(waiting.old_path, item.local.path));
        if (!item.user_op && !oldInJournal && !vacated && JournalRow(item.local.path, newRow) &&
            newRow.is_dir == item.local.is_dir &&
            (newRow.is_dir || (newRow.size == item.local.size && newRow.mtime == item.local.mtime)))
            return; // the journal has it at its new name already: the engine's own move
        FileInfo entry;
        const bool known = m_cache.GetBaseInfo(oldDisk, entry);
        if (known && (entry.status == FILE_STATUS_NOT_DOWN || entry.status == FILE_STATUS_SYNCED)) {
            const FILE_INFO own = item.local;
            item.local = ui2base(entry);
            item.local.path = own.path;
            item.local.name = own.name; // the synced record: a content change shows after the rename
        } else {
            m_cache.Rename(oldDisk, item.path);
            m_cache.Update(item.path, item.local, FILE_STATUS_CHECKING, true, false, true);
            if (oldInJournal) {
                const FILE_INFO own = item.local;
                item.local = oldRow;
                item.local.path = own.path;
                item.local.name = own.name;
            } else {
                // A chain: the old name is the new name of a rename still waiting. Folded into
                // it unless the service still holds the new name at that rename's turn (a swap
                // through a temporary name): then the renames go one by one, as the user made them.
                FILE_INFO held;
                const bool targetHeld = JournalRow(item.local.path, held);
                for (const PendingChanges::iterator p : m_pending.ItemsOfPath(item.old_path)) {
                    if (Running(*p) || p->type != SYNC_CHANGE_REN || p->local.is_dir != item.local.is_dir)
                        continue;
                    if (targetHeld && !SamePath(p->old_path, item.local.path))
                        break;
                    p->local.path = item.local.path;
                    p->local.name = item.local.name;
                    p->path = item.path;
                    p->tick = QCClock::NowMs();
                    m_pending.Touch(p);
                    // Back to the old name exactly: nothing to send. A change of letter case
                    // alone is still a rename for the service.
                    const bool ring = p->local.path == p->old_path;
                    const bool drawing = p->old_path.endsWith(QLatin1String(".dwg"), Qt::CaseInsensitive) &&
                                         p->local.path.endsWith(QLatin1String(".bak"), Qt::CaseInsensitive);
                    if (ring || drawing) {
                        m_cache.Update(p->path, p->local, FILE_STATUS_SYNCED, true, false, true);
                        m_pending.Erase(p);
                    }
                    return;
                }
            }
        }
    }

    if (!m_pending.empty()) {
        CHANGE_ITEM& last = *std::prev(m_pending.end());
        if (!Running(last) && last.type == item.type && last.local.is_dir == item.local.is_dir &&
            SamePath(last.local.path, item.local.path) && last.old_path == item.old_path) {
            last.tick = QCClock::NowMs();
            m_pending.Touch(std::prev(m_pending.end()));
            return;
        }
    }
    ++m_acceptedChanges;

    if (item.type == SYNC_CHANGE_DEL) {
        while (!m_pending.empty()) {
            const auto last = std::prev(m_pending.end());
            if (last->type != SYNC_CHANGE_DEL || Running(*last) ||
                !AtOrBelow(item.local.path, last->local.path))
                break;
            m_pending.Erase(last);
        }
    } else if (item.type == SYNC_CHANGE_MOD) {
        // The newest waiting mod of the same path, unless a rename or delete came after it (found
        // through the path index: a burst of new files must not walk the list once per file).
        const std::vector<PendingChanges::iterator> same = m_pending.ItemsOfPath(item.local.path);
        for (auto at = same.rbegin(); at != same.rend(); ++at) {
            const PendingChanges::iterator it = *at;
            if (Running(*it) || it->type != SYNC_CHANGE_MOD || it->local.path != item.local.path)
                continue;
            if (m_pending.RenameOrDeleteAfter(it))
                break;
            item.tries = 0;
            *it = item;
            m_pending.Touch(it);
            return;
        }
    }
    m_pending.Append(std::move(item));
}

bool QCLocalStoreMgr::OfficeMergeEvent(const CHANGE_ITEM& notFound) {
    // From the tail: an optional mod M1, a rename R1, an optional mod M2, a rename R2.
    std::vector<PendingChanges::iterator> tail;
    for (auto it = m_pending.end(); it != m_pending.begin() && tail.size() < 4;)
        tail.push_back(--it);
    size_t at = 0;
    const auto take = [&](SYNC_CHANGE_TYPE type) {
        return at < tail.size() && tail[at]->type == type ? tail[at++] : m_pending.end();
    };
    const PendingChanges::iterator m1 = take(SYNC_CHANGE_MOD);
    const PendingChanges::iterator r1 = take(SYNC_CHANGE_REN);
    if (r1 == m_pending.end())
        return false;
    const PendingChanges::iterator m2 = take(SYNC_CHANGE_MOD);
    const PendingChanges::iterator r2 = take(SYNC_CHANGE_REN);
    if (r2 == m_pending.end())
        return false;
    CHANGE_ITEM made;
    if (m1 == m_pending.end()) {
        SYNC_CHANGE_INFO info;
        info.path = r1->path;
        info.type = SYNC_CHANGE_MOD;
        RefreshMakeItem(info, made);
    } else {
        made = *m1;
    }
    FILE_INFO row;
    if ((m2 != m_pending.end() && m2->local.path != r2->local.path) ||
        notFound.local.path != r2->local.path || made.local.path != r1->local.path ||
        made.local.path != r2->old_path || Running(*r1) || Running(*r2) ||
        StampOf(GetDiskPath(r1->old_path)).exists || StampOf(notFound.path).exists ||
        JournalRow(r1->old_path, row) || JournalRow(notFound.local.path, row))
        return false;
    m_cache.Delete(GetDiskPath(r1->old_path), true);
    m_cache.Delete(notFound.path, true);
    for (size_t i = 0; i < at; ++i)
        m_pending.Erase(tail[i]);
    made.tick = QCClock::NowMs();
    m_pending.Append(std::move(made));
    return true;
}

bool QCLocalStoreMgr::OfficeMergeEvent2(const CHANGE_ITEM& notFound) {
    if (m_pending.size() < 2)
        return false;
    const auto m = std::prev(m_pending.end());
    const auto r = std::prev(m);
    if (r->type != SYNC_CHANGE_REN || m->type != SYNC_CHANGE_MOD || m->local.path != r->old_path ||
        r->local.path != notFound.local.path || Running(*r) || Running(*m))
        return false;
    m_pending.Erase(r);
    return true;
}

// --- Cancels -------------------------------------------------------------------------------------

bool QCLocalStoreMgr::RefreshIsPathRenaming(const QString& cloudPath) {
    for (const CHANGE_ITEM& item : m_pending) {
        if (item.type == SYNC_CHANGE_REN &&
            (SamePath(item.local.path, cloudPath) || SamePath(item.old_path, cloudPath)))
            return true;
    }
    return false;
}

bool QCLocalStoreMgr::RefreshSupportCancelUpload(const QString& cloudPath) {
    const auto upload = std::dynamic_pointer_cast<QCUploadFile>(FindUploading(cloudPath));
    return !upload || upload->SupportCancel();
}

void QCLocalStoreMgr::RefreshCancelUpload(quint32 id) {
    if (id == 0)
        return;
    std::vector<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        for (const TaskPtr& task : m_upQueue) {
            if (task->GetSyncID() == id)
                tasks.push_back(task);
        }
    }
    for (const TaskPtr& task : tasks) {
        if (RemoveTask(task)) {
            task->ClearAll();
            task->End();
        }
    }
}

bool QCLocalStoreMgr::RefreshCancelPreviousUploadByChange(PendingChanges::iterator earlier) {
    const QString path = earlier->local.path;
    if (!RefreshSupportCancelUpload(path) || RefreshIsPathRenaming(path))
        return false;
    RefreshCancelUpload(earlier->sync_id);
    m_pending.Erase(earlier);
    return true;
}

bool QCLocalStoreMgr::RefreshCancelPreviousUploadByDelete(const CHANGE_ITEM& del, bool* committing) {
    if (RefreshIsPathRenaming(del.local.path))
        return false;
    std::vector<PendingChanges::iterator> below;
    if (del.local.is_dir) {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (AtOrBelow(del.local.path, it->local.path))
                below.push_back(it);
        }
    } else {
        below = m_pending.ItemsOfPath(del.local.path);
    }
    bool erased = false;
    for (const PendingChanges::iterator p : below) {
        if ((Running(*p) && p->local.is_dir) ||
            (p->type == SYNC_CHANGE_DEL && SamePath(p->local.path, del.local.path)))
            continue;
        if (Running(*p) && !RefreshSupportCancelUpload(p->local.path)) {
            // Its content reaches the service whatever the client does now: cancelled, the
            // commit could land after the delete.
            if (committing)
                *committing = true;
            continue;
        }
        FileInfo entry;
        if (m_cache.GetBaseInfo(p->path, entry)) {
            if (entry.status != FILE_STATUS_SYNCED && entry.status != FILE_STATUS_NOT_DOWN &&
                entry.status != FILE_STATUS_CHECKING)
                m_cache.Delete(p->path, true);
            else if (p->rollback.version != 0)
                m_cache.Update(p->path, p->rollback, FILE_STATUS_NOT_DOWN, true, false, true);
            else
                m_cache.ChangeFileStatus(p->path, FILE_STATUS_NOT_DOWN, true);
        }
        NotifyUIEvent(p->local, 4);
        RefreshCancelUpload(p->sync_id);
        m_pending.Erase(p);
        erased = true;
    }
    return erased;
}

void QCLocalStoreMgr::RefreshCancelPreviousDownload(const QString& diskPath) {
    std::vector<TaskPtr> doomed;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        for (const TaskPtr& task : m_downQueue) {
            if (AtOrBelow(diskPath, GetDiskPath(task->GetSvrPath())))
                doomed.push_back(task);
        }
    }
    for (const TaskPtr& task : doomed) {
        if (RemoveTask(task)) {
            task->ClearAll();
            task->End();
        }
    }
    ExecDownloadTask();
}

bool QCLocalStoreMgr::HasWorkBelow(const QString& localPath) {
    const QString cloud = GetVirtualPath(localPath);
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        for (const TaskPtr& task : m_upQueue) {
            if (AtOrBelow(cloud, task->GetSvrPath()))
                return true;
        }
    }
    std::vector<FileInfo> entries;
    FileInfo self;
    if (m_cache.GetBaseInfo(localPath, self))
        entries.push_back(self);
    if (self.is_dir)
        m_cache.QueryExt(localPath, true, entries);
    for (const FileInfo& entry : entries) {
        if (entry.status == FILE_STATUS_WAIT_UP || entry.status == FILE_STATUS_UPING ||
            entry.status == FILE_STATUS_CHECKING)
            return true;
    }
    return false;
}

// --- Scheduling ----------------------------------------------------------------------------------

void QCLocalStoreMgr::PutOff(PendingChanges::iterator item) {
    if (item->tries >= int(ArraySize(kBackoffMs))) {
        GiveUp(item);
        return;
    }
    const qint64 pause = kBackoffMs[item->tries++];
    CoreDebug("[Todo] %s put off %lld s", qUtf8Printable(item->local.path),
              static_cast<long long>(pause / 1000));
    item->sync_id = 0;
    item->tick = QCClock::NowMs() + pause;
    m_pending.Touch(item);
}

void QCLocalStoreMgr::GiveUp(PendingChanges::iterator item) {
    CoreDebug("[Todo] %s given up after %d tries", qUtf8Printable(item->local.path), item->tries);
    m_cache.Update(item->path, item->local, FILE_STATUS_ERR, true, true, true);
    if (item->src_path.isEmpty() && !item->local.is_dir) {
        // Trying it again at the next comparison would fail the same way until the user lets the
        // engine read it: that changes its stat.
        const int fd = SafePath::Open(GetRootPath(), item->path, O_RDONLY);
        if (fd >= 0)
            close(fd);
        else if (errno == EACCES)
            m_givenUp[item->path] = StampOf(item->path);
    }
    m_pending.Erase(item);
}

void QCLocalStoreMgr::MarkUnreadable(const QString& diskPath, const FILE_INFO& record) {
    CoreDebug("[Todo] cannot be read: %s", qUtf8Printable(diskPath));
    m_cache.Update(diskPath, record, FILE_STATUS_ERR, true, true, true, 0, SYNC_ERROR::NoPerm);
    OnError(SYNC_ERROR::NoPerm, 0, diskPath, nullptr);
}

bool QCLocalStoreMgr::Unreadable(const QString& diskPath) const {
    const LocalStat here = StampOf(diskPath);
    return here.denied || (here.is_dir && !SafePath::CanList(GetRootPath(), diskPath));
}

void QCLocalStoreMgr::MarkBadName(const QString& diskPath) {
    CoreDebug("[Todo] the name is not valid text: %s", qUtf8Printable(diskPath));
    ShowFailed(diskPath, StampOf(diskPath).is_dir, SYNC_ERROR::BadName);
    OnError(SYNC_ERROR::BadName, 0, diskPath, nullptr);
}

void QCLocalStoreMgr::ShowFailed(const QString& diskPath, bool isDir, int errorType) {
    FILE_INFO record;
    record.path = GetVirtualPath(diskPath);
    record.name = GetOnlyFilename(diskPath);
    record.is_dir = isDir;
    m_cache.Update(diskPath, record, FILE_STATUS_ERR, true, true, true, 0, errorType);
}

void QCLocalStoreMgr::ShowLocalFailures(const std::map<QString, FILE_INFO>& local,
                                        const QStringList& unreadable) {
    for (const auto& entry : local) {
        if (SafePath::IsUndecodable(entry.second.path))
            ShowFailed(GetDiskPath(entry.second.path), entry.second.is_dir, SYNC_ERROR::BadName);
    }
    for (const QString& folder : unreadable)
        ShowFailed(GetDiskPath(folder), true, SYNC_ERROR::NoPerm);
    std::vector<QString> givenUp;
    for (const auto& entry : m_givenUp)
        givenUp.push_back(entry.first);
    for (const QString& path : givenUp) {
        if (GivenUpUnchanged(path))
            ShowFailed(path, false, 0);
    }
}

bool QCLocalStoreMgr::TakeBadName(SYNC_CHANGE_INFO& info) {
    const bool badNew = SafePath::IsUndecodable(info.path);
    const bool badOld = info.type == SYNC_CHANGE_REN && SafePath::IsUndecodable(info.old_path);
    if (!badNew && !badOld)
        return false;
    const bool gone = info.type == SYNC_CHANGE_DEL || info.type == SYNC_CHANGE_NOT_FOUND;
    if (badOld)
        m_cache.Delete(info.old_path, true);
    if (badNew && gone)
        m_cache.Delete(info.path, true);
    else if (badNew)
        MarkBadName(info.path);
    if (info.type != SYNC_CHANGE_REN || badNew == badOld)
        return true;
    if (badOld) {
        info.type = SYNC_CHANGE_ADD; // a valid name now: new here
    } else {
        info.path = info.old_path; // the valid name is gone
        info.type = SYNC_CHANGE_DEL;
    }
    info.old_path.clear();
    return false;
}

bool QCLocalStoreMgr::GivenUpUnchanged(const QString& diskPath) {
    const auto it = m_givenUp.find(diskPath);
    if (it == m_givenUp.end())
        return false;
    if (it->second == StampOf(diskPath))
        return true;
    m_givenUp.erase(it);
    return false;
}

void QCLocalStoreMgr::DropItem(PendingChanges::iterator item, int result) {
    FileInfo entry;
    switch (result) {
    case 2:
        m_cache.Update(item->path, item->local, FILE_STATUS_ERR, true, true, true, 0, item->error);
        break;
    case 3:
        if (m_cache.GetBaseInfo(item->path, entry) && entry.version == 0 &&
            entry.status != FILE_STATUS_NOT_DOWN && entry.status != FILE_STATUS_SYNCED)
            m_cache.Delete(item->path, true);
        break;
    case 5: {
        FILE_INFO row;
        if (QCSyncDB::GetFileInfo(item->local.path, row) && row.is_dir)
            m_cache.ChangeFileStatus(item->path, FILE_STATUS_NOT_DOWN, false);
        else
            m_cache.Delete(item->path, true);
        break;
    }
    default:
        break;
    }
    m_pending.Erase(item);
}

void QCLocalStoreMgr::DropDeletesOfItemsBack() {
    if (!m_syncFolderWasGone || SyncFolderGone())
        return;
    // The sync folder is back (remounted, say): what its absence made look deleted is there.
    m_syncFolderWasGone = false;
    CoreDebug("[Todo] the sync folder is back: deletes of items it holds are dropped");
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = it->type == SYNC_CHANGE_DEL && !Running(*it) && StampOf(it->path).exists ? m_pending.Erase(it)
                                                                                       : std::next(it);
}

bool QCLocalStoreMgr::DeleteGuardHolds() {
    const bool rootGone = SyncFolderGone();
    m_syncFolderWasGone = m_syncFolderWasGone || rootGone;
    size_t deletes = 0;
    for (const CHANGE_ITEM& item : m_pending) {
        if (item.type == SYNC_CHANGE_DEL && !Running(item))
            ++deletes;
    }
    if (deletes == 0) {
        m_deleteConfirmed = false;
        return false;
    }
    if (m_deleteConfirmed) {
        if (!rootGone)
            return false;
        // The sync folder is still gone: nothing is deleted in the cloud for it.
        CoreDebug("[Todo] the sync folder is gone: %lu deletes dropped", static_cast<unsigned long>(deletes));
        for (auto it = m_pending.begin(); it != m_pending.end();)
            it = it->type == SYNC_CHANGE_DEL && !Running(*it) ? m_pending.Erase(it) : std::next(it);
        m_deleteConfirmed = false;
        return true;
    }
    bool mass = rootGone;
    if (!mass && deletes > kMassDeleteFloor) {
        std::vector<QString> paths;
        QCSyncDB::GetAllPath(paths, QString());
        quint32 maxCount = 0;
        {
            std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
            maxCount = m_userDetail.max_del_count;
        }
        const size_t share = size_t(std::clamp(g_Config.max_del_share, 0, 100));
        mass = (maxCount > 0 && deletes > maxCount) || deletes * 100 > share * paths.size();
    }
    if (!mass)
        return false;
    CoreDebug("[Todo] %lu deletes held until the user confirms", static_cast<unsigned long>(deletes));
    m_deleteHold = true;
    ChangeStatus(LOCAL_STATUS_STOP, true);
    ShowDeleteHold();
    return true;
}

void QCLocalStoreMgr::ShowDeleteHold() {
    quint32 shown = 0;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        shown = m_syncError.GetType();
    }
    if (shown != quint32(SYNC_ERROR::MassDelete))
        ErrorOnThread(SYNC_ERROR::MassDelete, 0, QString(), nullptr);
}

void QCLocalStoreMgr::RefreshCheck() {
    LOCAL_STATUS status = m_status.load();
    if (status == LOCAL_STATUS_CHECK_OFFLINE) {
        if (m_cloudCheckDirty && QCClock::NowMs() - m_downPhaseEndMs.load() < 2200)
            return;
        m_cloudCheckDirty = false;
        if (m_offlineDue) { // every cloud cycle passes status 5; these belong to the start
            CompareOffline();
            OutUploadAfterOfflineCompare();
        }
        ChangeStatus(LOCAL_STATUS_MONITOR, true);
    }
    OutUploadCheck();
    status = m_status.load();
    if ((status != LOCAL_STATUS_MONITOR && status != LOCAL_STATUS_OK) || GetRootPath().isEmpty())
        return;
    const bool busy = !m_pending.empty() || DownloadRunning() || UploadCount() != 0;
    if (!busy && !m_versionHold) {
        FinishPass();
        return;
    }
    if (busy)
        ChangeStatus(LOCAL_STATUS_MONITOR, true);
    // The user details are asked for once every interval while the engine is busy, counted from
    // the first busy pass (a timer never armed would never run out).
    if (!m_spaceTimer.IsArmed())
        m_spaceTimer.Start();
    else if (m_spaceTimer.Check()) {
        m_spaceTimer.Start();
        RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(true, false); });
    }
    if (m_versionHold) {
        // A newer cloud version waits: once nothing runs, the fetch takes it; waiting items stay.
        // Never a pass's end instead: status 7 would record the version as fetched.
        if (m_pending.RunningCount() != 0 || DownloadCount() != 0 || UploadCount() != 0)
            return;
        // But no local rename or delete may wait: the fetch's comparison would take the file it
        // renamed or deleted for one whose local copy is gone, and drop its journal row, so the
        // rename would go up as a new file beside the old name. Those go first.
        if (!m_pending.HasRenameOrDelete()) {
            m_versionHold = false;
            ChangeStatus(LOCAL_STATUS_LOGIN_OK, false);
            RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(false, false); });
            return;
        }
    }
    m_scanResumable = true;
    m_scan.valid = false;
    struct EndScan {
        QCLocalStoreMgr& engine;
        ~EndScan() { engine.m_scanResumable = false; }
    } endScan{*this};
    DropDeletesOfItemsBack();
    for (;;) {
        const qint64 cpuBefore = m_clockTodo.load() ? ThreadCpuNs() : 0;
        const PendingChanges::iterator item = RefreshTodo();
        if (m_clockTodo.load())
            m_todoCpuNs += ThreadCpuNs() - cpuBefore;
        if (item == m_pending.end())
            return;
        if (m_changes.Count() != 0) {
            CoreDebug("[TODO] monitor have data, skip todo");
            return;
        }
        // Deletes are counted once the first of them has settled, so a burst is counted whole.
        if (item->exec_type == 3 && DeleteGuardHolds())
            return;
        const int result = RefreshExec(item);
        if (result == 1)
            PutOff(item);
        else if (result != 0)
            DropItem(item, result);
        if (m_status.load() != LOCAL_STATUS_MONITOR)
            return;
    }
}

void QCLocalStoreMgr::FinishPass() {
    QCSyncDB::Flush(); // in step: the journal holds every row of the pass
    const LOCAL_STATUS last = m_status.load();
    ChangeStatus(LOCAL_STATUS_OK, true);
    if (last == LOCAL_STATUS_OK)
        return;
    m_acceptedChanges = 0;
    m_view.CleanData(false);
    m_downList.Clear();
    m_upList.Clear();
    m_cancelMarks.Clear();
    // Every out-upload has ended, unless the facade queued one since the pass last looked.
    if (m_outUploads.ClearIfIdle())
        m_outUploads.Save(true);
    g_Config.CallOuter(new QCSyncFinishEvent());
}

double QCLocalStoreMgr::UploadBudget() const {
    std::shared_lock<std::shared_mutex> lock(g_Config.settingsLock);
    const int tasksUp = g_Config.tasks_up;
    const int limit = g_Config.speed_limit_up;
    return tasksUp == 0 && limit >= 1 && limit <= 100 ? 3.0
           : tasksUp != 0                             ? double(tasksUp)
                                                      : double(g_Config.max_upload_req);
}

PendingChanges::iterator QCLocalStoreMgr::RefreshTodo() {
    int tasksUp = 0;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.settingsLock);
        tasksUp = g_Config.tasks_up;
    }
    const double budget = UploadBudget() + GetUpPauseTaskCount();
    double weight = 0;
    quint64 bytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        for (const TaskPtr& task : m_upQueue) {
            weight += task->Weight();
            bytes += task->GetFileSize();
        }
    }
    m_upWeight = weight;
    weight += kFolderOpWeight * double(m_folderOps.size());
    const quint64 ceiling = quint64(std::max<qint64>(0, g_Config.max_upload_io_mb)) * quint64(MB);
    const qint64 now = QCClock::NowMs();
    const qint64 delay = m_acceptedChanges <= g_Config.change_execute_delay_mincount
                             ? g_Config.change_execute_delay_min
                             : g_Config.change_execute_delay;
    if (m_pending.EarliestWaitingTick() > now - delay)
        return m_pending.end(); // nothing has settled yet
    quint32 errorKind = 0;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        errorKind = m_syncError.GetType();
    }
    const bool lenient =
        errorKind == quint32(SYNC_ERROR::Maintain) || errorKind == quint32(SYNC_ERROR::Restricted);
    // Nothing changed since a scan that started nothing: none to make again.
    const bool resuming = m_scanResumable && m_scan.valid;
    IdleScan& idle = m_idleScan;
    if (!resuming && idle.valid && idle.version == m_pending.Version() && idle.weight == weight &&
        idle.budget == budget && idle.bytes == bytes && idle.delay == delay && idle.tasksUp == tasksUp &&
        idle.folderOps == m_folderOps.size() && idle.errorKind == errorKind && now < idle.settleMs)
        return m_pending.end();
    idle.valid = false;
    qint64 settleMs = INT64_MAX;
    // Within one loop of RefreshCheck the scan goes on after the item it chose last, which has
    // started or was put off or dropped meanwhile: the items before it are as they were.
    TodoScan& scan = m_scan;
    // The items looked at, in list order: each one while only deletes have been seen (the head,
    // where a rename or delete may start) or while fast items wait (the first item that is not fast
    // ends the scan), then only the free ones. An item that is not free waits for a folder above
    // it, and would only be passed; a rename or delete after the head is passed too. What an item
    // passed holds back, the list's indexes tell (WaitsAhead, EarlierSamePath).
    const bool everyItem = m_pending.FastCount() != 0 || m_todoEveryItemForTests;
    bool& fastSeen = scan.fastSeen;
    bool& onlyDeletes = scan.onlyDeletes;
    // A rename, move or delete at the head waits for the running folder operations; no new one
    // starts before it.
    bool& folderOpsHeld = scan.folderOpsHeld;
    const auto foldersMayStart = [&] { return !folderOpsHeld && m_folderOps.size() < kMaxFolderOps; };
    // The budget keeps room for the folder operations that may still start: they carry no data,
    // and the uploads into new folders wait for them. Uploads stop that much earlier.
    const double reserve =
        kFolderOpWeight * double(kMaxFolderOps - std::min(kMaxFolderOps, m_folderOps.size()));
    const bool uploadsFull = weight + reserve >= budget || (!lenient && tasksUp == 0 && bytes > ceiling);
    const auto nextOf = [&](PendingChanges::iterator at) {
        return everyItem || onlyDeletes
                   ? std::next(at)
                   : m_pending.NextFree(m_pending.Seq(at), foldersMayStart(), !uploadsFull);
    };
    PendingChanges::iterator it = m_pending.begin();
    if (resuming) {
        it = scan.listOrder ? scan.next
                            : m_pending.NextFree(scan.chosenSeq, foldersMayStart(), !uploadsFull);
    } else {
        fastSeen = false;
        onlyDeletes = true;
        folderOpsHeld = false;
    }
    scan.valid = false;
    const auto choose = [&](PendingChanges::iterator at) {
        scan.valid = true;
        scan.listOrder = everyItem || onlyDeletes;
        scan.next = std::next(at);
        scan.chosenSeq = m_pending.Seq(at);
        return at;
    };
    for (; it != m_pending.end(); it = nextOf(it)) {
        if (weight >= budget)
            break;
        if (it->fast)
            fastSeen = true;
        else if (fastSeen)
            break;
        if (it->type == SYNC_CHANGE_MOD)
            it->exec_type = it->local.is_dir ? 1 : 4;
        else if (it->type == SYNC_CHANGE_REN)
            it->exec_type = 2;
        else if (it->type == SYNC_CHANGE_DEL)
            it->exec_type = 3;
        else {
            CoreDebug("[Todo] unknown type %d", int(it->type));
            break;
        }
        if (it->exec_type != 3)
            onlyDeletes = false;
        if (Running(*it))
            continue; // a running upload counts from the task list already
        if (it->exec_type == 3 && m_deleteHold) {
            // Held for the user since before a restart: shown again, and the rest goes on.
            ShowDeleteHold();
            continue;
        }
        if (it->exec_type == 4 && uploadsFull)
            continue;
        if (it->exec_type == 2 || it->exec_type == 3) {
            // Renames, moves and deletes keep their place: each waits for everything ahead of it
            // (consecutive deletes at the head excepted) and runs alone among folder operations.
            if (it != m_pending.begin() && !(it->exec_type == 3 && onlyDeletes))
                continue;
            if (!m_folderOps.empty()) {
                folderOpsHeld = true;
                continue;
            }
        } else if (it->exec_type == 1 && !foldersMayStart()) {
            continue;
        }
        if (it->tick + delay > now) {
            settleMs = std::min(settleMs, it->tick + delay);
            continue;
        }
        if (it->exec_type == 2) {
            const bool move = !SamePath(GetParentPath(it->old_path), GetParentPath(it->local.path));
            FileInfo entry;
            const bool known = m_cache.GetBaseInfo(GetDiskPath(it->old_path), entry);
            if ((known && entry.status == FILE_STATUS_NOT_DOWN) || move) {
                FileInfo self;
                if (m_cache.GetBaseInfo(it->path, self))
                    it->local.is_dir = self.is_dir;
            } else {
                FILE_INFO row;
                bool have = QCSyncDB::GetFileInfo(it->old_path, row);
                if (!have && known && entry.status == FILE_STATUS_SYNCED) {
                    row = ui2base(entry);
                    row.path = it->old_path;
                    have = true;
                }
                if (have) {
                    const FILE_INFO own = it->local;
                    it->local = row;
                    it->local.path = own.path;
                    it->local.name = own.name;
                } else {
                    CoreDebug("[operate] rename file. db no record(%s), change to add(%s).",
                              qUtf8Printable(it->old_path), qUtf8Printable(it->local.path));
                    m_cache.Delete(GetDiskPath(it->old_path), true);
                    it->type = SYNC_CHANGE_MOD;
                    it->exec_type = it->local.is_dir ? 1 : 4;
                    m_pending.Touch(it);
                    FILE_INFO disk = GetDiskFileInfo(it->path);
                    if (!disk.path.isEmpty())
                        CopyStat(disk, it->local);
                    const auto next = std::next(it);
                    if (next != m_pending.end() && next->type == it->type &&
                        next->local.is_dir == it->local.is_dir && next->path == it->path) {
                        CoreDebug("[operate] combine next mod %s", qUtf8Printable(it->path));
                        m_pending.Erase(it);
                        return m_pending.end();
                    }
                }
            }
        }
        // Only an item with an earlier one at its path's key can have an earlier one of its path.
        const PendingChanges::iterator first =
            m_pending.EarlierSamePath(it) ? m_pending.FindPath(it->local.path) : it;
        if (first != it) {
            // A folder's delete stands for the deletes of all it held: a later change of its path
            // (the folder made again) waits for it rather than cancelling it.
            const bool folderDelete = first->type == SYNC_CHANGE_DEL && first->local.is_dir;
            if (!folderDelete && RefreshCancelPreviousUploadByChange(first)) {
                it->tick += 2500;
                m_pending.Touch(it);
                return m_pending.end();
            }
            CoreDebug("[Todo] same path event running, %s, wait...", qUtf8Printable(it->local.path));
            it->tick = now + 10000;
            m_pending.Touch(it);
            continue;
        }
        if (it->exec_type == 2 || it->exec_type == 3)
            return choose(it);
        if (m_pending.WaitsAhead(it))
            continue;
        // A creation or upload needs its parent folder in the cloud (unless it is the top).
        const QString parent = GetParentPath(it->local.path);
        if (parent.isEmpty() || parent == QLatin1String("/"))
            return choose(it);
        const QString parentDisk = GetDiskPath(parent);
        FileInfo entry;
        const bool known = m_cache.GetBaseInfo(parentDisk, entry) && entry.is_dir && entry.version != 0;
        const bool present = it->src_path.isEmpty() ? StampOf(parentDisk).is_dir
                                                    : SafePath::MakeFolders(GetRootPath(), parentDisk);
        if (known || !present)
            return choose(it);
        const PendingChanges::iterator creation = m_pending.FindPath(parent);
        if (creation != m_pending.end()) {
            // The parent's creation waits further on: this goes after it, unless a rename or
            // delete ahead of that creation could be waiting for this item in turn.
            if (creation->type == SYNC_CHANGE_MOD && !m_pending.RenameOrDeleteBefore(creation))
                continue;
            return choose(it);
        }
        CHANGE_ITEM folder;
        FILE_INFO record = GetDiskFileInfo(parentDisk);
        record.is_dir = true;
        RefreshMakeDataItem(record, folder);
        folder.tick = 0; // settled
        m_cache.Update(parentDisk, record, FILE_STATUS_WAIT_UP, true, false, true);
        CoreDebug("[Todo] add CreateDir for %s", qUtf8Printable(parentDisk));
        m_pending.PushFront(std::move(folder));
        return m_pending.end();
    }
    if (!resuming && it == m_pending.end()) {
        // A whole scan that chose nothing (one that ended at the budget is not whole).
        idle.valid = true;
        idle.version = m_pending.Version();
        idle.weight = weight;
        idle.budget = budget;
        idle.bytes = bytes;
        idle.delay = delay;
        idle.tasksUp = tasksUp;
        idle.folderOps = m_folderOps.size();
        idle.errorKind = errorKind;
        idle.settleMs = settleMs;
    }
    return m_pending.end();
}

void QCLocalStoreMgr::ExecUploadTask() {
    std::vector<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        tasks.assign(m_upQueue.begin(), m_upQueue.end());
    }
    const bool anyFast =
        std::any_of(tasks.begin(), tasks.end(), [](const TaskPtr& t) { return t->IsFast(); });
    for (const TaskPtr& task : tasks) {
        const auto upload = std::dynamic_pointer_cast<QCUploadFile>(task);
        if (!upload)
            continue;
        if (upload->IsDirtyTask()) {
            // A local problem (changed, unreadable, refused as changed): dropped without a
            // result; its item runs again later and hashes the file as it is then.
            CoreDebug("[upload][%u] Del DirtyTask", task->GetSyncID());
            if (!RemoveTask(task))
                continue;
            const PendingChanges::iterator item = m_pending.FindId(task->GetSyncID());
            if (item != m_pending.end() && item->exec_type == 4) {
                if (StampOf(task->GetDiskName()).exists)
                    PutOff(item);
                else
                    DropItem(item, 3);
            }
            task->End();
        } else if (upload->IsNew()) {
            // New, or resumed after a pause (whose blocks, hosts and counters must not carry over).
            if (upload->IsPause() || (anyFast && !task->IsFast()))
                continue;
            m_cache.Update(task->GetDiskName(), task->GetFileInfo(), FILE_STATUS_UPING, true, false, true);
            upload->Restart();
        } else {
            upload->CheckRetry();
        }
    }
}

void QCLocalStoreMgr::ChangeUploadEnded(const TaskPtr& task, int type, unsigned code, bool& handled) {
    handled = false;
    const PendingChanges::iterator item = m_pending.FindId(task->GetSyncID());
    if (item == m_pending.end())
        return;
    if (type == 0) {
        m_pending.Erase(item);
        return;
    }
    const bool lasting = type == SYNC_ERROR::NoPerm || type == SYNC_ERROR::CloudBigFile ||
                         type == SYNC_ERROR::CloudFull || type == SYNC_ERROR::DiskCancel;
    if (lasting || item->tries >= int(ArraySize(kBackoffMs))) {
        m_pending.Erase(item); // the result's handling marks it failed
        return;
    }
    CoreDebug("[upload] %s failed (%d, %u): tried again later", qUtf8Printable(item->local.path), type, code);
    PutOff(item);
    m_cache.Update(task->GetDiskName(), task->GetFileInfo(), FILE_STATUS_WAIT_UP, true, false, true);
    handled = true;
}

void QCLocalStoreMgr::ResetRunningChanges(bool uploadsOnly) {
    // The work of running items has ended with the transfers: they run again later. Folder
    // operations whose requests still run are left to their replies when only uploads ended.
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->sync_id != 0 && (!uploadsOnly || it->exec_type == 4)) {
            it->sync_id = 0;
            m_pending.Touch(it);
        }
    }
    if (!uploadsOnly)
        m_folderOps.clear();
}

bool QCLocalStoreMgr::UploadMirrorFile(const QString& localPath) {
    if (!IsSyncPath(localPath) || !StampOf(localPath).is_file)
        return false;
    const QString cloud = GetVirtualPath(localPath);
    PendingChanges::iterator item = m_pending.end();
    for (const PendingChanges::iterator it : m_pending.ItemsOfPath(cloud)) {
        if (it->type != SYNC_CHANGE_MOD)
            continue;
        if (Running(*it))
            return false;
        item = it;
    }
    if (const TaskPtr running = FindUploading(cloud)) {
        const auto upload = std::dynamic_pointer_cast<QCUploadFile>(running);
        if (!upload || !upload->IsDirtyTask())
            return false;
        if (RemoveTask(running)) // a dirty one goes: the new task hashes the file anew
            running->End();
    }
    CHANGE_ITEM made;
    SYNC_CHANGE_INFO change;
    change.path = localPath;
    change.type = SYNC_CHANGE_MOD;
    change.user_op = 1;
    RefreshMakeItem(change, made);
    made.exec_type = 4;
    if (item == m_pending.end())
        item = m_pending.Append(std::move(made));
    else {
        *item = made;
        m_pending.Touch(item);
    }
    const int result = RefreshExec(item);
    if (result != 0) {
        DropItem(item, result == 1 ? 2 : result);
        return false;
    }
    return true;
}
