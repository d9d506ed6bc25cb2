// The index of the synchronised tree: keys, reads and the folder roll-up. The operations that
// change and list the index are in QCCacheOps.cpp.
//
// Invariants
// - Keys are cloud paths ("/a/b"), never ending in "/"; the sync root is the empty key and is
//   normally not stored. Two keys never differ only in letter case (the map's order ignores case).
// - A subtree is one run of the map: the entries below key k are exactly those from the first key
//   not below k + "/" on, while the key begins with k + "/" compared the way the map orders
//   (ignoring case). So /docs x, which sorts between /Docs and /docs/a, is neither inside the run
//   nor its end. A root key's subtree is every key beginning with "/".
// - Records are compact (QCCacheRecord); a FileInfo is made from one on every read, its path set
//   to the disk path of the key. Nobody outside gets a reference into the map.
//
// Locking (rule: collect under the lock, act after it)
// - m_indexLock guards m_index and m_texts for the whole of each operation's work on them. While
//   it is held the index calls nothing of its host but PassCounter and QueryStatus (atomics): no
//   notice, no path mapping, no settings read. Notices are collected and sent after release; keys
//   are made before the lock is taken and disk paths after it is released.
// - m_viewTableLock guards m_viewTable and is never held together with m_indexLock.
#include "cache/QCCache.h"

#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <QDateTime>

#include <QStringView>

#include <algorithm>
#include <exception>

FILE_STATUS GetDirStatusFormFileStatus(quint32 status) {
    switch (status) {
    case FILE_STATUS_UPING:
    case FILE_STATUS_CHECKING:
    case FILE_STATUS_WAIT_UP:
        return FILE_STATUS_UPING;
    case FILE_STATUS_DOWNING:
    case FILE_STATUS_WAIT_DOWN:
        return FILE_STATUS_DOWNING;
    case FILE_STATUS_ERR:
        return FILE_STATUS_ERR;
    case FILE_STATUS_NOT_DOWN:
        return FILE_STATUS_NOT_DOWN;
    default:
        return FILE_STATUS_SYNCED;
    }
}

QCCache::QCCache(QCCacheHost& host) : m_host(host) {}

QCCache::~QCCache() = default;

// --- Keys ----------------------------------------------------------------------------------------

QString QCCache::MakePathIndex(const QString& path) const {
    QString key = m_host.GetVirtualPath(path);
    while (key.endsWith(QLatin1Char('/')))
        key.chop(1);
    return key;
}

bool QCCache::IsRootPath(const QString& key) {
    return key.isEmpty() || key == QLatin1String("/") || key == QLatin1String("\\");
}

QString QCCache::SubtreePrefix(const QString& key) {
    return IsRootPath(key) ? QStringLiteral("/") : key + QLatin1Char('/');
}

bool QCCache::InSubtree(const QString& key, const QString& prefix) {
    return key.startsWith(prefix, Qt::CaseInsensitive);
}

QCCache::Index::iterator QCCache::SubtreeBeginLocked(const QString& prefix) {
    return m_index.lower_bound(PathIndex(prefix));
}

bool QCCacheKeyOrder::operator()(const PathIndex& a, const PathIndex& b) const {
    const QString& x = a.path();
    const QString& y = b.path();
    const int common = std::min(x.size(), y.size());
    const QChar* p = x.constData();
    const QChar* q = y.constData();
    int i = 0;
    while (i < common && p[i] == q[i])
        ++i;
    // Case folding looks at a surrogate pair as a whole: start the comparison at its first half.
    if (i > 0 && p[i - 1].isHighSurrogate())
        --i;
    return QStringView(p + i, x.size() - i).compare(QStringView(q + i, y.size() - i), Qt::CaseInsensitive) <
           0;
}

bool QCCache::UnknownFile(const QString&) const {
    return m_host.SyncFolderPath().isEmpty();
}

QString QCCache::GetRootDiskPath() const {
    return m_host.SyncFolderPath();
}

FileInfo QCCache::MakeFileInfo(const QString& path, FileInfo record) const {
    record.path = m_host.GetDiskPath(MakePathIndex(path));
    return record;
}

FileInfo QCCache::MakeFileInfo(const Entry& entry) const {
    return FromCacheRecord(entry.second, m_host.GetDiskPath(entry.first));
}

std::vector<FileInfo> QCCache::MakeFileInfos(const std::vector<Entry>& entries) const {
    std::vector<FileInfo> out;
    out.reserve(entries.size());
    for (const Entry& entry : entries)
        out.push_back(MakeFileInfo(entry));
    return out;
}

size_t QCCache::CountForTests() {
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    return m_index.size();
}

// --- Reads ---------------------------------------------------------------------------------------

bool QCCache::GetBaseInfo(const QString& path, FileInfo& out) {
    const QString key = MakePathIndex(path);
    Entry entry;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(key);
        if (it == m_index.end())
            return false;
        entry = Entry(it->first.path(), it->second);
    }
    out = MakeFileInfo(entry);
    return true;
}

bool QCCache::CheckPathExists(const QString& path) {
    const QString key = MakePathIndex(path);
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    return m_index.count(key) != 0;
}

bool QCCache::IsInCache(const QString& path, const FILE_INFO&) {
    return CheckPathExists(path);
}

bool QCCache::GetFileInfoProgress(const QString& path, FileInfo& out) {
    if (UnknownFile(path))
        return false;
    if (IsIgnoreCacheFile(path))
        return true;
    try {
        return GetFileInfoProgressByPathKey(MakePathIndex(path), out);
    } catch (const std::exception&) {
        if (CoreLog::Enabled())
            CoreDebug("[Cache] find path fault:%s", qUtf8Printable(path));
        return false;
    }
}

bool QCCache::GetFileInfoProgressByPathKey(const QString& key, FileInfo& out) {
    const QString rootFolder = IsRootPath(key) ? m_host.SyncFolderPath() : QString();
    FileInfo result;
    Entry twin;
    bool isTwin = false;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        isTwin = TwinLocked(key, twin);
        if (!isTwin && !RollUpLocked(key, result, rootFolder)) {
            if (CoreLog::Enabled())
                CoreDebug("[Cache] GetFileInfoProgress failed:%s", qUtf8Printable(key));
            return false;
        }
    }
    if (isTwin) {
        out = MakeFileInfo(twin);
        return true;
    }
    // A root request already carries the sync folder; any other its key.
    if (!(IsRootPath(key) && result.path == rootFolder))
        result.path = m_host.GetDiskPath(result.path);
    out = result;
    return true;
}

bool QCCache::RollUpLocked(const QString& key, FileInfo& out, const QString& rootFolder) {
    auto self = m_index.find(key);
    const bool rootRequest = self == m_index.end() && IsRootPath(key);
    const QString prefix = SubtreePrefix(key);
    if (rootRequest) {
        // The root's starting values are those of the first entry, as if it were stored there.
        if (m_index.empty()) {
            out = FileInfo();
            out.path = rootFolder;
            out.is_dir = true;
            return true;
        }
        out = FromCacheRecord(m_index.begin()->second, rootFolder);
        out.is_dir = true;
    } else if (self == m_index.end()) {
        return false;
    } else {
        out = FromCacheRecord(self->second, key);
    }

    if (!out.is_dir) {
        out.percent = out.size == 0 ? 0 : quint32(out.done_size * 100 / out.size);
        self->second.percent = out.percent;
        return true;
    }

    const quint32 pass = quint32(m_host.PassCounter());
    quint64 batchSize = 0;
    quint64 batchDone = 0;
    quint64 totalSize = 0;
    quint32 pending = 0;
    quint32 downCount = 0;
    quint32 upFiles = 0;
    quint32 fileCount = 0;
    quint32 dirCount = 0;
    std::vector<QString> upDirs;
    for (auto it = SubtreeBeginLocked(prefix); it != m_index.end() && InSubtree(it->first.path(), prefix);
         ++it) {
        const QCCacheRecord& e = it->second;
        if (!it->first.path().contains(QLatin1String(".Nimboshare"))) {
            if (e.isDir) {
                ++dirCount;
            } else {
                ++fileCount;
                totalSize += e.size;
            }
        }
        if (e.batch == pass) {
            batchSize += e.size;
            batchDone += e.doneSize;
        }
        if (e.status == FILE_STATUS_DOWNING || e.status == FILE_STATUS_WAIT_DOWN)
            ++downCount;
        if (e.status == FILE_STATUS_UPING || e.status == FILE_STATUS_WAIT_UP ||
            e.status == FILE_STATUS_CHECKING) {
            if (e.isDir)
                upDirs.push_back(it->first.path());
            else
                ++upFiles;
        }
        if (qint64(e.mtime) > qint64(out.mtime))
            out.mtime = e.mtime;
        const FILE_STATUS d = GetDirStatusFormFileStatus(e.status);
        if (d == FILE_STATUS_SYNCED)
            continue;
        ++pending;
        if (d == FILE_STATUS_ERR)
            out.status = d;
        else if (d == FILE_STATUS_UPING || d == FILE_STATUS_DOWNING)
            out.status = out.status == FILE_STATUS_ERR ? out.status : quint32(d);
        else if (out.status != FILE_STATUS_UPING && out.status != FILE_STATUS_ERR &&
                 out.status != FILE_STATUS_DOWNING)
            out.status = d;
    }

    if (!rootRequest) {
        if (pending == 0 && fileCount > 0 && out.status == FILE_STATUS_NOT_DOWN)
            out.status = FILE_STATUS_SYNCED;
        if (out.status == FILE_STATUS_DOWNING && downCount == 0)
            out.status = FILE_STATUS_NOT_DOWN;
        if (out.status == FILE_STATUS_UPING && upFiles == 0) {
            bool stillUp = false;
            // The latest uploading sub-folder in key order that still uploads keeps this one so.
            for (auto dir = upDirs.rbegin(); dir != upDirs.rend() && !stillUp; ++dir) {
                FileInfo sub;
                if (RollUpLocked(*dir, sub, QString()))
                    stillUp = sub.status != FILE_STATUS_SYNCED;
            }
            if (!stillUp && fileCount == 0 && dirCount == 0)
                stillUp = m_host.QueryStatus() != LOCAL_STATUS_MONITOR;
            if (!stillUp)
                out.status = FILE_STATUS_SYNCED;
        }
        if (batchSize != 0)
            out.percent = quint32(batchDone * 100 / batchSize);
        else
            out.percent = out.status == FILE_STATUS_SYNCED ? 100 : 0;
        self->second.percent = out.percent;
        self->second.status = out.status;
    }
    out.size = totalSize;
    out.file_count = fileCount;
    out.dir_count = dirCount;
    return true;
}

quint32 QCCache::QuickStatusLocked(Index::iterator it) {
    quint32 status = it->second.status;
    if (!it->second.isDir || status != FILE_STATUS_SYNCED)
        return status;
    const QString prefix = SubtreePrefix(it->first.path());
    for (auto sub = SubtreeBeginLocked(prefix); sub != m_index.end() && InSubtree(sub->first.path(), prefix);
         ++sub) {
        const FILE_STATUS d = GetDirStatusFormFileStatus(sub->second.status);
        if (d == FILE_STATUS_SYNCED)
            continue;
        status = d;
        if (d != FILE_STATUS_NOT_DOWN)
            break;
    }
    return status;
}

bool QCCache::GetFileinfo(const QString& path, FileInfo& out) {
    if (UnknownFile(path))
        return false;
    if (IsIgnoreCacheFile(path)) {
        out.path = path;
        out.status = FILE_STATUS_IGNORE;
        return true;
    }
    const QString key = MakePathIndex(path);
    Entry entry;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        if (!TwinLocked(key, entry)) {
            const auto it = m_index.find(key);
            if (it == m_index.end()) {
                if (CoreLog::Enabled())
                    CoreDebug("[Cache] GetFileinfo failed:%s", qUtf8Printable(path));
                return false;
            }
            entry = Entry(key, it->second);
            entry.second.status = QuickStatusLocked(it);
        }
    }
    if (entry.second.status == FILE_STATUS_NOT_DOWN)
        entry.second.percent = 0;
    out = MakeFileInfo(entry);
    return true;
}

void QCCache::FixParentDir(const QString& path) {
    QString current = path;
    while (!current.isEmpty()) {
        const QString parent = GetParentPath(current);
        const QString syncFolder = m_host.SyncFolderPath();
        if (parent.isEmpty() || syncFolder.isEmpty() || IsRootPath(parent))
            return;
        if (QString::compare(parent, syncFolder, Qt::CaseInsensitive) == 0 ||
            QString::compare(parent + QLatin1Char('/'), syncFolder, Qt::CaseInsensitive) == 0)
            return;
        FileInfo known;
        if (GetBaseInfo(parent, known))
            return;
        FILE_INFO folder;
        folder.path = m_host.GetVirtualPath(parent);
        folder.name = GetOnlyFilename(parent);
        folder.is_dir = true;
        folder.attrs = FILE_ATTR_DIRECTORY;
        folder.ctime = folder.mtime = quint32(QDateTime::currentSecsSinceEpoch());
        Update(parent, folder, FILE_STATUS_WAIT_UP, true, true, true);
        current = parent;
    }
}
