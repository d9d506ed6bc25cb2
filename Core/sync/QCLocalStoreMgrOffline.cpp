// The offline comparison: once per start of sync, after the cloud check (status 5), the mirror
// folder is compared with the journal to find what the user changed while the core was not
// running, and that work goes on the pending list as the intake's items do.
//
// Only the local side is looked at: a journal row without a local item is the cloud comparison's
// business. The journal is read once, whole, before the walk; the walk's entries are settled in a
// first pass (skipped, given up, too big, unchanged, a folder the index knows) and removed, so the
// second pass touches only entries that lead to work: conflict copies, then items for new and
// changed entries. A stop of the engine ends either pass between two entries; what was queued stays.
//
// Never: a path outside the sync folder touched; a conflict copy made over an existing name
// (MakeConflict renames without replacing); the journal written here.
//
// Threads: the engine thread only.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/LocalScan.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <set>

namespace {

// The offline marks of FILE_INFO::compare_result.
enum OfflineMark : quint32 { kSame = 0, kClash = 1, kNew = 2, kSize = 3, kTime = 4 };

const char* Reason(quint32 mark) {
    return mark == kNew ? "new" : mark == kSize ? "size" : "time";
}

// `path` lies strictly below `folder` (cloud paths), letter case ignored.
bool Below(const QString& path, const QString& folder) {
    return path.size() > folder.size() && path.at(folder.size()) == QLatin1Char('/') &&
           path.startsWith(folder, Qt::CaseInsensitive);
}

} // namespace

void QCLocalStoreMgr::CompareOffline() {
    m_offlineDue = false;
    QString root = GetRootPath();
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1); // the walk cuts the root's length off: the paths keep their leading "/"
    if (root.isEmpty())
        return;
    CoreDebug("[CompareOffline] start");
    std::list<FILE_INFO> list;
    QStringList unreadable;
    BuildLocalFileList(list, root, root, &unreadable);
    CoreDebug("[CompareOffline] local files %d", int(list.size()));
    CoreDebug("[CompareOffline] compare");
    CompareOfflineByList(list, unreadable);
    CoreDebug("[CompareOffline] finish");
}

void QCLocalStoreMgr::CompareOfflineByList(std::list<FILE_INFO>& list, const QStringList& unreadable) {
    quint64 largest = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        largest = m_userDetail.max_file_size;
    }
    // Without the journal every file would look new: nothing is queued (the watcher goes on).
    std::map<QString, FILE_INFO> journal;
    if (!QCSyncDB::GetAll(journal)) {
        CoreDebug("[CompareOffline] the journal cannot be read: nothing compared");
        return;
    }

    std::set<QString> unlisted;
    for (const QString& folder : unreadable)
        unlisted.insert(folder.toLower());
    // Names that differ only in letter case share one item of the service.
    std::map<QString, int> spellings;
    for (const FILE_INFO& entry : list)
        ++spellings[entry.path.toLower()];

    for (auto it = list.begin(); it != list.end();) {
        if (stoped())
            return;
        FILE_INFO& entry = *it;
        const QString disk = GetDiskPath(entry.path);
        bool settled = false;
        if (!IsSyncPath(disk)) {
            settled = true;
        } else if (SafePath::IsUndecodable(entry.path)) {
            MarkBadName(disk);
            settled = true;
        } else if (unlisted.count(entry.path.toLower()) != 0) {
            MarkUnreadable(disk, entry); // its contents unknown: neither created nor deleted
            settled = true;
        } else if (m_cache.IsCaseTwin(disk) ||
                   (spellings[entry.path.toLower()] > 1 && IsLocalCaseTwin(disk, true))) {
            CoreDebug("[CompareOffline] another name of the same letters is synced: %s", qUtf8Printable(entry.path));
            m_cache.SetCaseTwin(disk, entry, SYNC_ERROR::SameNameNode);
            settled = true;
        } else if (!entry.is_dir && NeedSkipSync(entry.path, false)) {
            CoreDebug("[CompareOffline] skip file: %s", qUtf8Printable(entry.path));
            m_cache.Update(disk, entry, FILE_STATUS_IGNORE, true, false, true);
            settled = true;
        } else if (GivenUpUnchanged(disk)) {
            CoreDebug("[CompareOffline] given up until it changes: %s", qUtf8Printable(entry.path));
            m_cache.Update(disk, entry, FILE_STATUS_ERR, true, false, true);
            settled = true;
        } else if (largest != 0 && entry.size >= largest) {
            // 0: the limit is not known, nothing is refused for it.
            CoreDebug("[CompareOffline] ignore big file: %s", qUtf8Printable(entry.path));
            m_cache.Update(disk, entry, FILE_STATUS_ERR, true, false, true);
            OnError(SYNC_ERROR::CloudBigFile, 0, disk, nullptr);
            settled = true;
        } else {
            const auto row = journal.find(entry.path.toLower());
            if (row != journal.end()) {
                const FILE_INFO& was = row->second;
                if (was.is_dir != entry.is_dir) {
                    entry.compare_result = kClash;
                    CoreDebug("[CompareOffline] conflict=dir-file: %s, type:%s", qUtf8Printable(entry.path),
                              was.is_dir ? "dir" : "file");
                } else if (entry.is_dir) {
                    settled = true;
                } else if (was.size != entry.size) {
                    entry.compare_result = kSize;
                    CoreDebug("[CompareOffline] modify filesize: %s", qUtf8Printable(entry.path));
                } else if (was.mtime != entry.mtime) {
                    entry.compare_result = kTime;
                    CoreDebug("[CompareOffline] modify time: %s[%u/%u]", qUtf8Printable(entry.path),
                              entry.mtime, was.mtime);
                } else {
                    settled = true;
                }
            } else if (entry.is_dir) {
                FileInfo known;
                if (m_cache.GetFileinfo(disk, known) &&
                    (known.status == FILE_STATUS_NOT_DOWN || known.status == FILE_STATUS_SYNCED ||
                     known.status == FILE_STATUS_DOWNING)) {
                    m_cache.ChangeFileStatus(disk, FILE_STATUS_SYNCED, true);
                    settled = true;
                } else {
                    entry.compare_result = kNew;
                }
            } else {
                entry.compare_result = kNew;
            }
        }
        it = settled ? list.erase(it) : std::next(it);
    }

    for (auto it = list.begin(); it != list.end(); ++it) {
        if (stoped())
            return;
        FILE_INFO& entry = *it;
        QString disk = GetDiskPath(entry.path);
        if (m_pending.FindPath(entry.path) != m_pending.end()) {
            // Work for it waits or runs already (kept over a stop, or an upload just started): it
            // reads the file as it is when it runs.
            CoreDebug("[CompareOffline] pending already: %s", qUtf8Printable(entry.path));
            continue;
        }
        if (entry.compare_result == kClash) {
            CoreDebug("CompareOfflineByList()-->conflict:  %s", qUtf8Printable(entry.path));
            QString copy;
            const QString old = entry.path;
            if (!MakeConflict(disk, &copy) || copy.isEmpty()) {
                // It stays in place and nothing is sent for it, nor for what a folder holds (the
                // cloud has a file at its path).
                entry.compare_result = kSame;
                while (std::next(it) != list.end() && Below(std::next(it)->path, old))
                    list.erase(std::next(it));
                continue;
            }
            // What is uploaded is the copy, under its own name; a folder's entries follow it.
            entry.path = GetVirtualPath(copy);
            entry.name = GetOnlyFilename(copy);
            entry.compare_result = kNew;
            disk = copy;
            for (auto below = std::next(it); below != list.end() && Below(below->path, old); ++below)
                below->path = entry.path + below->path.mid(old.size());
        }
        if (entry.compare_result == kSame)
            continue;
        CHANGE_ITEM item;
        RefreshMakeDataItem(entry, item);
        SaveUploadRollbackInfo(item);
        m_cache.Update(disk, entry, entry.is_dir ? FILE_STATUS_CHECKING : FILE_STATUS_WAIT_UP, true, false,
                       true);
        ++m_acceptedChanges;
        m_pending.Append(std::move(item));
        CoreDebug("[CompareOffline] [Queue:%u] [%s] %s", unsigned(m_pending.size()),
                  Reason(entry.compare_result), qUtf8Printable(entry.path));
    }
}
