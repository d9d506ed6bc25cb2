// The cloud comparison: the fetched cloud tree against the journal and the mirror folder.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/LocalScan.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kBatchRows = 2000;
constexpr size_t kMassDeleteFloor = 100;

// A name the service may give that cannot be one component of a path on this disk.
bool UsableName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

bool IsRootId(const QString& id) {
    return id.isEmpty() || id == QLatin1String("0");
}

// Whether `path` lies strictly below `folder` (both without a trailing "/").
bool IsBelow(const QString& path, const QString& folder) {
    return path.size() > folder.size() + 1 && path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/');
}

bool SameJournalRow(const FILE_INFO& row, const FILE_INFO& cloud) {
    return row.path == cloud.path && row.size == cloud.size && row.mtime == cloud.mtime &&
           row.ctime == cloud.ctime && row.version == cloud.version && row.is_dir == cloud.is_dir &&
           row.file_hash.compare(cloud.file_hash, Qt::CaseInsensitive) == 0;
}

} // namespace

// Journal writes of one comparison, sent in batches.
class QCLocalStoreMgr::JournalBatch {
public:
    void Store(const FILE_INFO& row) {
        m_rows.push_back(row);
        FlushIfFull();
    }
    void Delete(const QString& path) {
        m_deletes.push_back(path);
        FlushIfFull();
    }
    void Flush() {
        QElapsedTimer timer;
        timer.start();
        m_written += m_rows.size() + m_deletes.size();
        if (!m_deletes.empty() && !QCSyncDB::DeleteByPaths(m_deletes))
            CoreDebug("[compare] %lu journal deletions failed", static_cast<unsigned long>(m_deletes.size()));
        if (!m_rows.empty() && !QCSyncDB::UpdateFileInfos(m_rows))
            CoreDebug("[compare] %lu journal writes failed", static_cast<unsigned long>(m_rows.size()));
        m_deletes.clear();
        m_rows.clear();
        m_ms += timer.elapsed();
    }
    size_t Written() const { return m_written; }
    qint64 Ms() const { return m_ms; }

private:
    void FlushIfFull() {
        if (m_rows.size() + m_deletes.size() >= kBatchRows)
            Flush();
    }
    std::vector<FILE_INFO> m_rows;
    std::vector<QString> m_deletes;
    size_t m_written = 0; // rows stored or deleted
    qint64 m_ms = 0;      // spent in the journal
};

size_t QCLocalStoreMgr::CalcServerPaths(NodeMap& nodes) {
    // 1: being walked, 2: done (its path set, empty when unusable).
    QHash<QString, char> state;
    state.reserve(int(nodes.size()));
    size_t skipped = 0;
    std::vector<NodeMap::iterator> chain;
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        chain.clear();
        QString base;
        bool usable = true;
        auto walk = it;
        while (true) {
            const char seen = state.value(walk->first, 0);
            if (seen == 2) {
                base = walk->second.path;
                usable = !base.isEmpty();
                break;
            }
            if (seen == 1) { // a parent cycle: everything on this walk hangs below it
                usable = false;
                break;
            }
            state.insert(walk->first, 1);
            chain.push_back(walk);
            if (IsRootId(walk->second.pid)) {
                base = QString();
                break;
            }
            const auto parent = nodes.find(walk->second.pid);
            if (parent == nodes.end()) {
                usable = false;
                break;
            }
            walk = parent;
        }
        for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
            FILE_INFO& node = (*link)->second;
            usable = usable && UsableName(node.name);
            node.path = usable ? base + QLatin1Char('/') + node.name : QString();
            if (!usable)
                ++skipped;
            base = node.path;
            state.insert((*link)->first, 2);
        }
    }
    return skipped + LeaveOutCaseTwins(nodes);
}

size_t QCLocalStoreMgr::LeaveOutCaseTwins(NodeMap& nodes) {
    // The service keeps one item per name in a folder whatever the case; a reply with two such
    // names would give two nodes one journal row and one local entry. The first node keeps the
    // name; the other is left out with everything below it.
    QHash<QString, QString> owners; // lower-cased path -> node id
    owners.reserve(int(nodes.size()));
    QHash<QString, bool> out;       // node id -> left out
    for (auto& [nid, node] : nodes) {
        if (node.path.isEmpty())
            continue;
        const QString key = node.path.toLower();
        const auto owner = owners.constFind(key);
        if (owner == owners.constEnd())
            owners.insert(key, nid);
        else
            out.insert(nid, true);
    }
    if (out.isEmpty())
        return 0;
    size_t skipped = 0;
    std::vector<QString> chain;
    for (auto& [nid, node] : nodes) {
        if (node.path.isEmpty())
            continue;
        // Whether the node or an ancestor was left out, remembered along the walk.
        chain.clear();
        bool leftOut = false;
        for (QString id = nid; !IsRootId(id) && chain.size() <= nodes.size();) {
            const auto known = out.constFind(id);
            if (known != out.constEnd()) {
                leftOut = known.value();
                break;
            }
            chain.push_back(id);
            const auto it = nodes.find(id);
            if (it == nodes.end())
                break;
            id = it->second.pid;
        }
        for (const QString& id : chain)
            out.insert(id, leftOut);
        if (leftOut) {
            CoreDebug("[compare] %s left out: another node has its name in another letter case",
                      qUtf8Printable(node.path));
            node.path.clear();
            ++skipped;
        }
    }
    return skipped;
}

QString QCLocalStoreMgr::NodePath(const NodeMap& nodes, const QString& nid) {
    QString path;
    QSet<QString> seen;
    QString id = nid;
    while (!IsRootId(id)) {
        const auto it = nodes.find(id);
        if (it == nodes.end() || seen.contains(id) || !UsableName(it->second.name))
            return QString();
        seen.insert(id);
        path = QLatin1Char('/') + it->second.name + path;
        id = it->second.pid;
    }
    return path;
}

bool QCLocalStoreMgr::SafeDiskPath(const QString& cloudPath, QString& localPath) const {
    localPath = GetDiskPath(cloudPath);
    const QString root = GetRootPath();
    // A cloud name the local side leaves out (the private folder's, say) has no local copy.
    return !root.isEmpty() && IsSyncedPath(cloudPath) &&
           IsBelow(QDir::cleanPath(localPath), QDir::cleanPath(root));
}

QString QCLocalStoreMgr::HashLocalFile(const QString& path) const {
    const int fd = SafePath::Open(GetRootPath(), path, O_RDONLY);
    if (fd < 0)
        return QString();
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QString();
    }
    qint64 total = 0;
    return QString::fromLatin1(CloudHashDevice(file, total));
}

void QCLocalStoreMgr::QueueCloudDownload(const FILE_INFO& node, const QString& localPath) {
    FILE_INFO task = node;
    task.local_path = localPath;
    task.is_download = true;
    if (!AddDownloadTask(task))
        CoreDebug("[compare] %s waits: no download task", qUtf8Printable(node.path));
}

bool QCLocalStoreMgr::CompareForTests(NodeMap nodes, std::map<QString, QString> oldPaths, bool changedOnly) {
    const NodeMap changed = nodes;
    return CallForTests([&] { CompareCloud(nodes, oldPaths, changedOnly ? &changed : nullptr); }, 30000,
                        false);
}

std::vector<FILE_INFO> QCLocalStoreMgr::TakeCloudDownloadsForTests() {
    std::list<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        tasks.swap(m_downQueue);
        m_downPaths.clear();
    }
    std::vector<FILE_INFO> taken;
    for (const TaskPtr& task : tasks) {
        taken.push_back(task->GetFileInfo());
        task->End();
    }
    return taken;
}

void QCLocalStoreMgr::ApplyCloudMoves(NodeMap& nodes, const std::map<QString, QString>& oldPaths) {
    struct Move {
        QString to;
        bool is_dir = false;
    };
    std::map<QString, Move> moves; // old cloud path -> new one, parents first
    for (const auto& moved : oldPaths) {
        const auto it = nodes.find(moved.first);
        // A change of letter case alone is a move too: the disk tells the names apart.
        if (it == nodes.end() || it->second.path.isEmpty() || moved.second.isEmpty() ||
            it->second.path == moved.second)
            continue;
        moves[moved.second] = Move{it->second.path, it->second.is_dir};
    }
    // Folders moved so far: their old path and where they are now. What moved with a folder is
    // found where the folder went; what left it in the same cycle moves on from there.
    std::vector<std::pair<QString, QString>> movedFolders;
    const QString root = GetRootPath();
    for (const auto& move : moves) {
        QString from = move.first;
        size_t longest = 0;
        for (const auto& folder : movedFolders) {
            if (folder.first.size() > int(longest) && IsBelow(move.first, folder.first)) {
                longest = size_t(folder.first.size());
                from = folder.second + move.first.mid(folder.first.size());
            }
        }
        const QString& to = move.second.to;
        if (from == to)
            continue; // went along with its folder
        FILE_INFO row;
        const bool hasRow = QCSyncDB::GetFileInfo(from, row);
        QString oldLocal;
        QString newLocal;
        if (!SafeDiskPath(from, oldLocal) || !SafeDiskPath(to, newLocal))
            continue;
        const LocalStat here = StampOf(oldLocal);
        const bool caseOnly = from.compare(to, Qt::CaseInsensitive) == 0;
        if (!hasRow) {
            // A folder whose own row is missing (its files were fetched on request) still holds
            // synced rows below it; a file without a row is not the engine's to move.
            std::vector<QString> below;
            if (!move.second.is_dir || !here.Synced() || !here.is_dir ||
                !QCSyncDB::GetAllPath(below, from) || below.empty())
                continue;
            row.is_dir = true;
        }
        const bool moved = here.Synced() && here.is_dir == row.is_dir && (caseOnly || !StampOf(newLocal).exists) &&
                           SafePath::MakeFolders(root, GetParentPath(newLocal)) &&
                           SafePath::Rename(root, oldLocal, newLocal, false);
        CoreDebug("[compare] cloud moved %s -> %s: local copy %s", qUtf8Printable(from), qUtf8Printable(to),
                  moved ? "follows" : "stays");
        if (moved)
            ExpectEcho(SYNC_CHANGE_REN, newLocal); // the watcher's report of it is the engine's own
        if (row.is_dir) {
            if (moved)
                QCSyncDB::RenameFolder(from, to, oldLocal, newLocal);
            else
                QCSyncDB::DeleteFolder(from);
            movedFolders.emplace_back(move.first, moved ? to : from);
        } else {
            if (!caseOnly)
                QCSyncDB::DeleteByPath(from); // one key holds both names of a change of case
            if (moved) {
                row.path = to;
                row.name = GetOnlyFilename(to);
                row.local_path = newLocal;
                QCSyncDB::UpdateFileInfo(row);
            } else if (caseOnly) {
                QCSyncDB::DeleteByPath(from);
            }
        }
    }
}

void QCLocalStoreMgr::CompareCloud(NodeMap& nodes, const std::map<QString, QString>& oldPaths,
                                   const NodeMap* changed) {
    {
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        m_userDetail.count_node = quint32(nodes.size());
    }
    m_fetchedNodes = quint64(nodes.size());
    QElapsedTimer timer;
    timer.start();
    m_cloudCompared = false;
    m_cloudCheckDirty = false;
    QCSyncDB::BeginTransaction();

    const size_t unusable = CalcServerPaths(nodes);
    ApplyCloudMoves(nodes, oldPaths);

    // The nodes to compare, with their journal rows and local entries.
    std::vector<NodeMap::iterator> work;
    std::map<QString, FILE_INFO> db;
    std::map<QString, FILE_INFO> local;
    size_t journalFiles = 0;
    std::map<QString, FILE_INFO> orphans;
    QStringList unreadable; // folders whose contents cannot be seen: unknown, not absent
    if (!changed) {
        m_cache.ClearAllCache();
        work.reserve(nodes.size());
        for (auto it = nodes.begin(); it != nodes.end(); ++it)
            work.push_back(it);
        QCSyncDB::GetAll(db);
        for (const auto& row : db)
            journalFiles += row.second.is_dir ? 0 : 1;
        const QString root = GetRootPath();
        std::vector<FILE_INFO> shadowed;
        BuildLocalFileMap(local, root, root, false, &shadowed, &unreadable);
        // Of local names that differ only in letter case, the one the journal holds is the
        // cloud item's copy; a case twin held back never is.
        for (FILE_INFO& other : shadowed) {
            const QString key = other.path.toLower();
            FILE_INFO& kept = local[key];
            const auto row = db.find(key);
            if ((row != db.end() && row->second.path == other.path) ||
                (m_cache.IsCaseTwin(GetDiskPath(kept.path)) && !m_cache.IsCaseTwin(GetDiskPath(other.path))))
                std::swap(kept, other);
        }
    } else {
        // Only what the cycle changed: the changed nodes, the subtrees whose path changed, and the
        // rows of deleted nodes.
        std::vector<QString> movedFolders;
        std::vector<QString> goneFolders;
        for (const auto& was : oldPaths) {
            const auto node = nodes.find(was.first);
            const QString now = node == nodes.end() ? QString() : node->second.path;
            if (was.second.isEmpty() || now == was.second)
                continue;
            QString oldLocal;
            if (SafeDiskPath(was.second, oldLocal))
                m_cache.Delete(oldLocal, true);
            if (node == nodes.end())
                goneFolders.push_back(was.second);
            else if (node->second.is_dir && !now.isEmpty())
                movedFolders.push_back(now);
        }
        std::sort(movedFolders.begin(), movedFolders.end());
        for (auto it = nodes.begin(); it != nodes.end(); ++it) {
            const QString& path = it->second.path;
            bool take = changed->count(it->first) > 0;
            for (size_t i = 0; !take && i < movedFolders.size(); ++i)
                take = IsBelow(path, movedFolders[i]);
            if (take)
                work.push_back(it);
        }
        std::vector<QString> paths;
        for (const auto& it : work) {
            if (it->second.path.isEmpty())
                continue;
            paths.push_back(it->second.path);
            QString localPath;
            if (!SafeDiskPath(it->second.path, localPath))
                continue;
            // As the full comparison's scan sees it: never a link, nor what lies behind one.
            if (Unreadable(localPath))
                unreadable.append(it->second.path);
            const LocalStat here = StampOf(localPath);
            if (!here.Synced())
                continue;
            FILE_INFO entry;
            entry.path = it->second.path;
            entry.is_dir = here.is_dir;
            entry.size = here.size;
            entry.mtime = here.Mtime();
            local[entry.path.toLower()] = entry;
        }
        for (const QString& gone : goneFolders) {
            paths.push_back(gone);
            QCSyncDB::GetAllPath(paths, gone);
        }
        QCSyncDB::GetFileInfos(paths, db);
        // Rows of deleted nodes, unless a node holds their path now.
        for (const QString& gone : goneFolders) {
            std::vector<QString> below{gone};
            QCSyncDB::GetAllPath(below, gone);
            for (const QString& path : below) {
                const auto row = db.find(path.toLower());
                if (row != db.end())
                    orphans.insert(*row);
            }
        }
        if (orphans.size() > kMassDeleteFloor) {
            std::map<QString, FILE_INFO> all;
            QCSyncDB::GetAll(all);
            for (const auto& row : all)
                journalFiles += row.second.is_dir ? 0 : 1;
        }
    }

    const auto unseen = [&unreadable](const QString& path) {
        for (const QString& folder : unreadable) {
            if (folder.isEmpty() || path.compare(folder, Qt::CaseInsensitive) == 0 ||
                (path.startsWith(folder, Qt::CaseInsensitive) && path.at(folder.size()) == QLatin1Char('/')))
                return true;
        }
        return false;
    };

    JournalBatch journal;
    size_t counts[12] = {};
    for (const auto& entry : work) {
        FILE_INFO& node = entry->second;
        if (node.path.isEmpty())
            continue;
        node.attrs = 0;
        if (stoped())
            return;
        QString localPath;
        if (!SafeDiskPath(node.path, localPath)) {
            CoreDebug("bad server path %s\n", qUtf8Printable(node.path));
            continue;
        }
        if (unseen(node.path)) {
            // What the engine cannot read keeps its rows, and nothing is fetched into it.
            m_cache.Update(localPath, node, FILE_STATUS_ERR, changed != nullptr, true, true, 0,
                           SYNC_ERROR::NoPerm);
            ++counts[FILE_STATUS_ERR];
            db.erase(node.path.toLower());
            orphans.erase(node.path.toLower());
            continue;
        }
        FollowCloudCase(node, localPath, local);
        QString reason;
        FILE_STATUS status;
        if (node.is_dir) {
            status = CompareCloudDir(node, localPath, local, db, journal);
        } else {
            status = CompareCloudFile(node, localPath, reason, local, db, journal);
            if (status == FILE_STATUS_WAIT_DOWN)
                QueueCloudDownload(node, localPath);
            if (status != FILE_STATUS_SYNCED && status != FILE_STATUS_NOT_DOWN)
                m_cloudCheckDirty = true;
        }
        if (!reason.isEmpty())
            CoreDebug("[compare] %s: %s", qUtf8Printable(node.path), qUtf8Printable(reason.trimmed()));
        ++counts[std::min<int>(status, 11)];
        m_cache.Update(localPath, node, status, changed != nullptr, true, true);
        db.erase(node.path.toLower());
        orphans.erase(node.path.toLower());
    }
    if (!changed)
        ShowLocalFailures(local, unreadable);
    journal.Flush();
    CoreDebug("[compare] journal: %lu rows in %lld ms", static_cast<unsigned long>(journal.Written()),
              static_cast<long long>(journal.Ms()));
    if (!changed)
        orphans.swap(db);
    for (auto it = orphans.begin(); it != orphans.end();) {
        QString localPath;
        const bool hidden = unseen(it->second.path) ||
                            (SafeDiskPath(it->second.path, localPath) && StampOf(localPath).denied);
        it = hidden ? orphans.erase(it) : std::next(it); // deleted in the cloud, kept here: unseen
    }
    CoreDebug("[compare] %s, %lu nodes of %lu in %lld ms: %lu synced, %lu not down, %lu to download, %lu "
              "checking, %lu err, %lu unusable",
              changed ? "changes" : "whole tree", static_cast<unsigned long>(work.size()),
              static_cast<unsigned long>(nodes.size()), static_cast<long long>(timer.elapsed()),
              static_cast<unsigned long>(counts[2]), static_cast<unsigned long>(counts[11]),
              static_cast<unsigned long>(counts[10]), static_cast<unsigned long>(counts[8]),
              static_cast<unsigned long>(counts[4]), static_cast<unsigned long>(unusable));

    bool held = false;
    if (unusable > 0 && !orphans.empty()) {
        // Part of the tree hangs below a missing or cyclic parent: what looks deleted may only be
        // out of sight, so nothing is removed this time.
        CoreDebug("[compare] %lu journal rows without a cloud node kept: the tree is incomplete",
                  static_cast<unsigned long>(orphans.size()));
    } else {
        held = !ApplyCloudDeletions(orphans, journalFiles);
    }
    QCSyncDB::Commit();
    if (held)
        return;
    CompareCloudDeleteLocal(orphans);
    m_comparedOnce = true;
    ChangeStatus(LOCAL_STATUS_CHECK_CLOUD, true);
    m_view.FlushCurrentView(); // the shown folder lists the new state
    m_cloudCompared = true;
    // Requested items follow the cloud: they are checked again after every comparison.
    const auto requested = m_requestedDowns.GetAll();
    for (const auto& entry : requested) {
        CoreDebug("[UI] download resume %s", qUtf8Printable(entry.first));
        m_downRequests.Add(entry.second);
    }
    if (!requested.empty())
        CheckManualDownRequest();
    ExecDownloadTask();
}

void QCLocalStoreMgr::FollowCloudCase(const FILE_INFO& cloud, const QString& localPath,
                                      std::map<QString, FILE_INFO>& local) {
    const QString key = cloud.path.toLower();
    const auto found = local.find(key);
    if (found == local.end() || found->second.path == cloud.path)
        return;
    // The local copy has the cloud's name in another letter case (renamed so on another device).
    // It takes the cloud's case unless that name is taken here: the disk tells the two apart.
    const QString was = found->second.path;
    const QString oldLocal = GetDiskPath(was);
    const LocalStat here = StampOf(oldLocal);
    if (!here.Synced() || here.is_dir != cloud.is_dir || StampOf(localPath).exists ||
        !SafePath::Rename(GetRootPath(), oldLocal, localPath, false))
        return;
    CoreDebug("[compare] %s follows the cloud's letter case: %s", qUtf8Printable(was), qUtf8Printable(cloud.path));
    ExpectEcho(SYNC_CHANGE_REN, localPath);
    found->second.path = cloud.path;
    if (!cloud.is_dir) {
        FILE_INFO row;
        if (QCSyncDB::GetFileInfo(was, row)) { // one key holds both cases: the row is rewritten
            row.path = cloud.path;
            row.name = cloud.name;
            row.local_path = localPath;
            QCSyncDB::UpdateFileInfo(row);
        }
        return;
    }
    QCSyncDB::RenameFolder(was, cloud.path, oldLocal, localPath);
    // The entries below went along.
    const QString below = key + QLatin1Char('/');
    for (auto it = local.lower_bound(below); it != local.end() && it->first.startsWith(below); ++it) {
        if (it->second.path.startsWith(was + QLatin1Char('/')))
            it->second.path = cloud.path + it->second.path.mid(was.size());
    }
}

FILE_STATUS QCLocalStoreMgr::CompareCloudFile(FILE_INFO& cloud, const QString& localPath, QString& reason,
                                              std::map<QString, FILE_INFO>& local,
                                              std::map<QString, FILE_INFO>& db, JournalBatch& journal) {
    const QString key = cloud.path.toLower();
    const auto row = db.find(key);
    const auto found = local.find(key);
    cloud.local_path = localPath;
    if (found == local.end()) {
        if (row != db.end())
            journal.Delete(cloud.path); // the local copy is gone: the file is "not down" again
        return FILE_STATUS_NOT_DOWN;
    }
    const FILE_INFO here = found->second;
    local.erase(found);
    const auto conflict = [&] {
        return MakeConflict(localPath) ? FILE_STATUS_NOT_DOWN : FILE_STATUS_ERR;
    };
    if (row == db.end()) {
        // Without a journal row equal size and time prove nothing: the content decides.
        if (!here.is_dir && here.size == cloud.size &&
            HashLocalFile(localPath).compare(cloud.file_hash, Qt::CaseInsensitive) == 0) {
            reason = QStringLiteral("no db, file same");
            if (here.mtime != cloud.mtime)
                SafePath::SetTimes(GetRootPath(), localPath, cloud.mtime, cloud.mtime);
            journal.Store(cloud);
            return FILE_STATUS_SYNCED;
        }
        reason = QStringLiteral("no db, file not same. conflict");
        return conflict();
    }
    const FILE_INFO& was = row->second;
    if (cloud.mtime == here.mtime && cloud.size == here.size && cloud.mtime == was.mtime &&
        cloud.version == was.version) {
        if ((here.attrs & 7u) != 0 && (cloud.attrs & 7u) == 0)
            reason = QStringLiteral("fix cloud attr bug");
        return FILE_STATUS_SYNCED;
    }
    if (here.is_dir != was.is_dir)
        return conflict();
    if (was.mtime == cloud.mtime && was.version == cloud.version &&
        was.file_hash.compare(cloud.file_hash, Qt::CaseInsensitive) == 0) {
        reason = QStringLiteral("will be uploaded in next CompareOffline\n");
        return FILE_STATUS_CHECKING;
    }
    if (was.mtime == here.mtime && was.size == here.size) {
        reason = QStringLiteral("down - cloud is new\n");
        return FILE_STATUS_WAIT_DOWN;
    }
    if (here.mtime == cloud.mtime && here.size == cloud.size) {
        reason = QStringLiteral("cloud_local same\n");
        if (!SameJournalRow(was, cloud))
            journal.Store(cloud);
        return FILE_STATUS_SYNCED;
    }
    reason = QStringLiteral("conflict\n");
    return conflict();
}

FILE_STATUS QCLocalStoreMgr::CompareCloudDir(FILE_INFO& cloud, const QString& localPath,
                                             std::map<QString, FILE_INFO>& local,
                                             std::map<QString, FILE_INFO>& db, JournalBatch& journal) {
    const QString key = cloud.path.toLower();
    const auto row = db.find(key);
    const auto found = local.find(key);
    cloud.local_path = localPath;
    const auto store = [&] {
        if (row == db.end() || !SameJournalRow(row->second, cloud))
            journal.Store(cloud);
        return FILE_STATUS_SYNCED;
    };
    if (found == local.end())
        return StampOf(localPath).is_dir ? store() : FILE_STATUS_NOT_DOWN;
    const bool isDir = found->second.is_dir;
    local.erase(found);
    if (isDir)
        return store();
    CoreDebug("CompareCloudDir()-->conflict:local.bDir != cloud.bDir  %s\n", qUtf8Printable(cloud.path));
    return MakeConflict(localPath) ? FILE_STATUS_NOT_DOWN : FILE_STATUS_ERR;
}

bool QCLocalStoreMgr::ApplyCloudDeletions(const std::map<QString, FILE_INFO>& orphans, size_t journalFiles) {
    std::vector<std::pair<const FILE_INFO*, LocalStat>> toTrash; // with the stat the decision saw
    std::vector<QString> rowsOnly;
    std::vector<const FILE_INFO*> folders;
    for (const auto& entry : orphans) {
        const FILE_INFO& row = entry.second;
        QString localPath;
        if (!SafeDiskPath(row.path, localPath)) {
            rowsOnly.push_back(row.path);
            continue;
        }
        if (row.is_dir) {
            folders.push_back(&row);
            continue;
        }
        const LocalStat here = StampOf(localPath);
        if (here.is_file && here.size == row.size && here.Mtime() == row.mtime)
            toTrash.emplace_back(&row, here); // unchanged since the last sync
        else
            rowsOnly.push_back(row.path); // changed here, or gone: the local side decides
    }
    quint32 maxCount = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        maxCount = m_userDetail.max_del_count;
    }
    const size_t share = size_t(std::clamp(g_Config.max_del_share, 0, 100));
    const bool mass = toTrash.size() > kMassDeleteFloor &&
                      ((maxCount > 0 && toTrash.size() > maxCount) || toTrash.size() * 100 > share * journalFiles);
    if (mass && !m_massDeleteConfirmed) {
        CoreDebug("[compare] %lu files deleted in the cloud of %lu: held until the user confirms",
                  static_cast<unsigned long>(toTrash.size()), static_cast<unsigned long>(journalFiles));
        m_massDeletePending = true;
        m_needCompare = true; // the confirming start compares again
        ChangeStatus(LOCAL_STATUS_STOP, true);
        ErrorOnThread(SYNC_ERROR::MassDelete, 0, QString(), nullptr);
        return false;
    }
    m_massDeleteConfirmed = false;
    m_massDeletePending = false;
    JournalBatch journal;
    const QString trash = toTrash.empty() && folders.empty() ? QString() : TrashFolder();
    for (const auto& [row, seen] : toTrash) {
        QString localPath;
        SafeDiskPath(row->path, localPath);
        if (MoveToTrash(localPath, row->path, trash, seen))
            journal.Delete(row->path);
        // A file that could not be moved keeps its row: the next comparison tries again. One
        // changed since the check was kept as a conflict copy and keeps it too.
    }
    for (const QString& path : rowsOnly)
        journal.Delete(path);
    // Folders deepest first; one still holding anything stays where it is.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        QString localPath;
        SafeDiskPath((*it)->path, localPath);
        if (StampOf(localPath).is_dir && SafePath::IsEmptyFolder(GetRootPath(), localPath) &&
            !MoveToTrash(localPath, (*it)->path, trash) && SafePath::IsEmptyFolder(GetRootPath(), localPath)) {
            // Its files went to the trash before it, into a folder of its name there: the empty
            // folder itself holds nothing left to keep.
            ExpectEcho(SYNC_CHANGE_DEL, localPath);
            SafePath::RemoveFolder(GetRootPath(), localPath);
        }
        journal.Delete((*it)->path);
    }
    journal.Flush();
    if (!orphans.empty())
        CoreDebug("[compare] cloud deletions: %lu files to the trash, %lu rows dropped, %lu folders",
                  static_cast<unsigned long>(toTrash.size()), static_cast<unsigned long>(rowsOnly.size()),
                  static_cast<unsigned long>(folders.size()));
    return true;
}


bool QCLocalStoreMgr::MakeConflict(const QString& localPath, QString* copyPath) {
    const LocalStat here = StampOf(localPath);
    if (!here.exists) {
        CoreDebug("[Conflict] src not exists %s\n", qUtf8Printable(localPath));
        return true; // nothing there, or behind a link: nothing of the user's to keep
    }
    QString user;
    {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        user = m_userDetail.name;
    }
    const QString target = GetNewFileName(localPath, user, QStringLiteral("冲突"));
    CoreDebug("[Conflict] rename %s -> %s\n", qUtf8Printable(localPath), qUtf8Printable(target));
    if (here.Synced()) {
        ExpectMoveAside(localPath); // the watcher's report of it is a new file, not a rename to send
        if (SafePath::Rename(GetRootPath(), localPath, target, false)) {
            if (copyPath)
                *copyPath = target;
            return true; // the copy keeps the original's permissions
        }
        CoreDebug("[Conflict] rename failed, error %s\n", std::strerror(errno));
    } else {
        CoreDebug("[Conflict] %s is a link: left alone\n", qUtf8Printable(localPath)); // never moved
    }
    OnError(SYNC_ERROR::FileUsing, 0, localPath, nullptr);
    return false;
}

QString QCLocalStoreMgr::TrashFolder() const {
    return MyCombinePath(GetPrivateRoot(),
                         QStringLiteral("trash/") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

bool QCLocalStoreMgr::MoveToTrash(const QString& localPath, const QString& cloudPath, const QString& trashFolder) {
    return MoveToTrash(localPath, cloudPath, trashFolder, StampOf(localPath));
}

bool QCLocalStoreMgr::MoveToTrash(const QString& localPath, const QString& cloudPath,
                                  const QString& trashFolder, const LocalStat& seen) {
    const QString target = MyCombinePath(trashFolder, cloudPath);
    if (!SafePath::MakeFolders(GetRootPath(), GetParentPath(target))) {
        CoreDebug("[trash] no folder for %s", qUtf8Printable(target));
        return false;
    }
    return ReplaceUserFile(localPath, seen, QString(), target) == ReplaceResult::Done;
}
