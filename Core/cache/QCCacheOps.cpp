// The operations that change and list the index. Each makes its keys first, holds the index lock
// only for its work on the map, and sends the notices it collected after releasing it (see the
// design note in QCCache.cpp).
#include "cache/QCCache.h"

#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/SkipRules.h"

#include <algorithm>

namespace {

// The first key after every key that begins with `folder` + "/": U+FFFF sorts after every code
// unit a path holds, surrogates included.
QString PastSubtree(const QString& folder) {
    return folder + QLatin1Char('/') + QChar(0xFFFF);
}

// The record Update and SwitchToViewtable store: stamped with the pass (0 for a record not down
// when asked), fully transferred when synced.
FileInfo StoredForm(const FILE_INFO& info, FILE_STATUS status, bool clearBatch, qint32 pass) {
    FileInfo ui = base2ui(QString(), info);
    ui.status = quint32(status);
    ui.generation = status == FILE_STATUS_NOT_DOWN && clearBatch ? 0 : quint32(pass);
    if (status == FILE_STATUS_SYNCED)
        ui.done_size = ui.size;
    return ui;
}

} // namespace

void QCCache::Send(const std::vector<Notice>& notices) {
    for (const Notice& notice : notices)
        m_host.UIEventSendMsg(FromCacheRecord(notice.record, m_host.GetDiskPath(notice.key)), notice.deleted);
}

bool QCCache::Update(const QString& path, const FILE_INFO& info, FILE_STATUS status, bool notify,
                     bool clearBatch, bool insert, int errorCode, int errorType) {
    const QString key = MakePathIndex(path);
    if (CoreLog::Enabled())
        CoreDebug("[Cache] Update :%s %s", qUtf8Printable(path),
                  qUtf8Printable(GetShellStatusString(status)));
    bool present = false;
    bool unchanged = false;
    QCCacheRecord rec;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        rec = ToCacheRecord(StoredForm(info, status, clearBatch, m_host.PassCounter()), m_texts);
        rec.errorCode = errorCode;
        rec.errorType = errorType;
        const auto it = m_index.lower_bound(key);
        present = it != m_index.end() && !m_index.key_comp()(PathIndex(key), it->first);
        if (present) {
            const QCCacheRecord& old = it->second;
            rec.origStatus = status == FILE_STATUS_SYNCED ? quint32(FILE_STATUS_SYNCED) : old.origStatus;
            rec.qid = old.qid;
            rec.syncFlag = old.syncFlag;
            rec.linkFlag = old.linkFlag;
            unchanged = rec.midFlag == old.midFlag && old.status == quint32(status) &&
                        old.errorCode == rec.errorCode && old.errorType == rec.errorType;
            it->second = rec;
        } else {
            rec.origStatus = quint32(status);
            if (insert)
                m_index.emplace_hint(it, key, rec);
        }
    }
    if (unchanged) {
        if (CoreLog::Enabled())
            CoreDebug("[Cache] skip notify :%s %s", qUtf8Printable(path),
                      qUtf8Printable(GetShellStatusString(status)));
        return true;
    }
    if (!present && !rec.isDir && (status == FILE_STATUS_CHECKING || status == FILE_STATUS_WAIT_UP))
        m_host.NotifyUIEvent(info, 3);
    const QString name = info.name.isEmpty() ? GetOnlyFilename(key) : info.name;
    if (notify && !(status == FILE_STATUS_WAIT_UP && MaybeOfficeTemp(name)))
        m_host.UIEventSendMsg(MakeFileInfo(Entry(key, rec)), false);
    if (status == FILE_STATUS_ERR)
        m_host.AddToFailedTask(info);
    return present;
}

bool QCCache::ChangeFileStatus(const QString& path, FILE_STATUS status, bool selfOnly) {
    const QString key = MakePathIndex(path);
    const quint32 percent = status == FILE_STATUS_SYNCED ? 100 : 0;
    Notice notice{key, QCCacheRecord(), false};
    int changed = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(key);
        if (it == m_index.end()) {
            if (CoreLog::Enabled())
                CoreDebug("[Cache] ChangeStatus failed:%s", qUtf8Printable(path));
            return false;
        }
        it->second.status = quint32(status);
        it->second.percent = percent;
        if (it->second.isDir && !selfOnly) {
            const QString prefix = SubtreePrefix(key);
            for (auto sub = SubtreeBeginLocked(prefix);
                 sub != m_index.end() && InSubtree(sub->first.path(), prefix); ++sub) {
                QCCacheRecord& e = sub->second;
                if (e.status == FILE_STATUS_IGNORE)
                    continue;
                e.status = quint32(status);
                e.percent = percent;
                e.doneSize = status == FILE_STATUS_SYNCED ? e.size : 0;
                ++changed;
            }
        }
        notice.record = it->second;
    }
    if (CoreLog::Enabled())
        CoreDebug("[Cache] ChangeStatus :%s %s, fix sub items %d", qUtf8Printable(path),
                  qUtf8Printable(GetShellStatusString(status)), changed);
    Send({notice});
    return true;
}

int QCCache::Rename(const QString& oldPath, const QString& newPath) {
    if (CoreLog::Enabled())
        CoreDebug("[Cache] Rename :%s->%s", qUtf8Printable(oldPath), qUtf8Printable(newPath));
    const QString oldKey = MakePathIndex(oldPath);
    const QString newKey = MakePathIndex(newPath);
    if (IsRootPath(oldKey) || IsRootPath(newKey))
        return 0; // the sync root is never renamed
    std::vector<Notice> notices;
    int collisions = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(oldKey);
        if (it == m_index.end())
            return 0;
        notices.push_back(Notice{it->first.path(), it->second, true});
        const bool isDir = it->second.isDir;
        m_index.erase(it);
        if (isDir) {
            // Taken out first, put back after: the new place may lie inside the old one.
            const QString prefix = SubtreePrefix(oldKey);
            std::vector<Entry> moved;
            const auto first = SubtreeBeginLocked(prefix);
            auto last = first;
            for (; last != m_index.end() && InSubtree(last->first.path(), prefix); ++last)
                moved.emplace_back(newKey + last->first.path().mid(oldKey.size()), last->second);
            m_index.erase(first, last);
            for (Entry& entry : moved) {
                if (m_index.emplace(entry.first, std::move(entry.second)).second)
                    continue;
                // What stands at the new key is newer than what moved there; the engine's next
                // Update of the path settles it.
                ++collisions;
                if (CoreLog::Enabled())
                    CoreDebug("[Cache] Rename kept the entry at %s", qUtf8Printable(entry.first));
            }
        }
    }
    Send(notices);
    return collisions;
}

int QCCache::Delete(const QString& path, bool notify) {
    if (CoreLog::Enabled())
        CoreDebug("[Cache] Delete: %s", qUtf8Printable(path));
    const QString key = MakePathIndex(path);
    {
        std::lock_guard<std::mutex> lock(m_viewTableLock);
        m_viewTable.erase(key);
    }
    std::vector<Notice> notices;
    int count = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(key);
        if (it != m_index.end()) {
            if (notify)
                notices.push_back(Notice{it->first.path(), it->second, true});
            count = 1;
            m_index.erase(it);
            const QString prefix = SubtreePrefix(key);
            const auto first = SubtreeBeginLocked(prefix);
            auto last = first;
            for (; last != m_index.end() && InSubtree(last->first.path(), prefix); ++last) {
                notices.push_back(Notice{last->first.path(), last->second, true});
                if (last->second.version != 0)
                    ++count;
            }
            m_index.erase(first, last);
        } else if (notify) {
            notices.push_back(Notice{key, QCCacheRecord(), true});
        }
    }
    Send(notices);
    return count;
}

void QCCache::UpdateProgress(const FILE_INFO& info, quint64 doneSize, FILE_STATUS status) {
    if (CoreLog::Enabled())
        CoreDebug("[Cache] UpdateProgress :%s %s", qUtf8Printable(info.path),
                  qUtf8Printable(GetShellStatusString(status)));
    const QString key = MakePathIndex(m_host.GetDiskPath(info.path));
    Notice notice{key, QCCacheRecord(), false};
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(key);
        if (it == m_index.end())
            return;
        FileInfo ui = base2ui(QString(), info);
        ui.generation = quint32(m_host.PassCounter());
        ui.done_size = doneSize;
        ui.status = quint32(status);
        QCCacheRecord rec = ToCacheRecord(ui, m_texts);
        const QCCacheRecord& old = it->second;
        rec.origStatus = old.origStatus;
        rec.linkFlag = old.linkFlag;
        rec.syncFlag = old.syncFlag;
        rec.nid = old.nid;
        rec.qid = old.qid;
        rec.version = std::max(rec.version, old.version);
        it->second = rec;
        notice.record = rec;
    }
    Send({notice});
}

void QCCache::SetError(const QString& path, int errorCode, int errorType) {
    if (CoreLog::Enabled())
        CoreDebug("[Cache] SetError :%d %s", errorCode, qUtf8Printable(GetSyncErrTypeString(errorType)));
    const QString key = MakePathIndex(path);
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    const auto it = m_index.find(key);
    if (it == m_index.end())
        return;
    it->second.errorCode = errorCode;
    it->second.errorType = errorType;
}

void QCCache::ClearAllCache() {
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    m_index.clear();
    m_texts.Clear();
    if (CoreLog::Enabled())
        CoreDebug("[Cache] Clear All");
}

// --- Case twins ----------------------------------------------------------------------------------

void QCCache::SetCaseTwin(const QString& path, const FILE_INFO& info, int errorType) {
    const QString key = MakePathIndex(path);
    Notice notice{key, QCCacheRecord(), false};
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        QCCacheRecord rec = ToCacheRecord(StoredForm(info, FILE_STATUS_ERR, false, m_host.PassCounter()), m_texts);
        rec.origStatus = quint32(FILE_STATUS_ERR);
        rec.errorType = errorType;
        const auto found = m_twins.find(key);
        if (found != m_twins.end() && found->second.status == rec.status && found->second.size == rec.size &&
            found->second.mtime == rec.mtime)
            return;
        m_twins[key] = rec;
        notice.record = rec;
    }
    if (CoreLog::Enabled())
        CoreDebug("[Cache] case twin :%s", qUtf8Printable(path));
    Send({notice});
}

bool QCCache::ClearCaseTwins(const QString& path) {
    const QString key = MakePathIndex(path);
    const QString prefix = SubtreePrefix(key);
    std::vector<Notice> notices;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        for (auto it = m_twins.begin(); it != m_twins.end();) {
            if (it->first == key || it->first.startsWith(prefix)) {
                notices.push_back(Notice{it->first, it->second, true});
                it = m_twins.erase(it);
            } else {
                ++it;
            }
        }
    }
    Send(notices);
    return !notices.empty();
}

bool QCCache::IsCaseTwin(const QString& path) {
    const QString key = MakePathIndex(path);
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    for (const auto& twin : m_twins) {
        if (twin.first == key || key.startsWith(twin.first + QLatin1Char('/')))
            return true;
    }
    return false;
}

std::vector<QString> QCCache::CaseTwinsOf(const QString& path) {
    const QString key = MakePathIndex(path);
    std::vector<QString> twins;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        for (const auto& twin : m_twins) {
            if (twin.first.compare(key, Qt::CaseInsensitive) == 0)
                twins.push_back(twin.first);
        }
    }
    for (QString& twin : twins)
        twin = m_host.GetDiskPath(twin);
    return twins;
}

void QCCache::AppendTwinsLocked(const QString& prefix, bool all, std::vector<Entry>& out) const {
    for (const auto& twin : m_twins) {
        if (twin.first.startsWith(prefix) && (all || twin.first.indexOf(QLatin1Char('/'), prefix.size()) < 0))
            out.emplace_back(twin.first, twin.second);
    }
}

bool QCCache::TwinLocked(const QString& key, Entry& out) const {
    const auto it = m_twins.find(key);
    if (it == m_twins.end())
        return false;
    out = Entry(key, it->second);
    return true;
}

// --- Listings ------------------------------------------------------------------------------------

bool QCCache::Query(const QString& path, std::vector<FileInfo>& out) {
    if (path.isEmpty() || UnknownFile(path))
        return false;
    const QString key = MakePathIndex(path);
    std::vector<Entry> entries;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        if (!IsRootPath(key) && m_index.count(key) == 0)
            return true;
        const QString prefix = SubtreePrefix(key);
        auto it = SubtreeBeginLocked(prefix);
        while (it != m_index.end() && InSubtree(it->first.path(), prefix)) {
            const QString& childKey = it->first.path();
            const int slash = childKey.indexOf(QLatin1Char('/'), prefix.size());
            if (slash >= 0) { // deeper: skip the rest of that child's subtree
                it = m_index.lower_bound(PastSubtree(childKey.left(slash)));
                continue;
            }
            QCCacheRecord& child = it->second;
            if (child.status == FILE_STATUS_NOT_DOWN)
                child.percent = 0;
            if (child.status != FILE_STATUS_IGNORE) {
                Entry entry(childKey, child);
                if (child.isDir) {
                    entry.second.status = QuickStatusLocked(it);
                    if (entry.second.status == FILE_STATUS_NOT_DOWN)
                        entry.second.percent = 0;
                }
                if (entry.second.status != FILE_STATUS_IGNORE)
                    entries.push_back(std::move(entry));
            }
            ++it;
        }
        AppendTwinsLocked(prefix, false, entries);
    }
    for (const Entry& entry : entries)
        out.push_back(MakeFileInfo(entry));
    return true;
}

int QCCache::QueryExt(const QString& path, bool all, std::vector<FileInfo>& out) {
    if (path.isEmpty() || UnknownFile(path))
        return -1;
    out.clear();
    const QString key = MakePathIndex(path);
    std::vector<Entry> entries;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        if (!IsRootPath(key) && m_index.count(key) == 0)
            return 0;
        const QString prefix = SubtreePrefix(key);
        auto it = SubtreeBeginLocked(prefix);
        while (it != m_index.end() && InSubtree(it->first.path(), prefix)) {
            const QString& childKey = it->first.path();
            const int slash = all ? -1 : childKey.indexOf(QLatin1Char('/'), prefix.size());
            if (slash >= 0) {
                it = m_index.lower_bound(PastSubtree(childKey.left(slash)));
                continue;
            }
            Entry entry(childKey, it->second);
            if (entry.second.isDir) {
                entry.second.status = QuickStatusLocked(it);
                if (entry.second.status == FILE_STATUS_NOT_DOWN)
                    entry.second.percent = 0;
            }
            entries.push_back(std::move(entry));
            ++it;
        }
        AppendTwinsLocked(prefix, all, entries);
    }
    out = MakeFileInfos(entries);
    return int(out.size());
}

bool QCCache::ListAll(const QString& path, std::vector<FileInfo>& out) {
    if (path.isEmpty() || UnknownFile(path))
        return false;
    const QString key = MakePathIndex(path);
    std::vector<Entry> entries;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto self = m_index.find(key);
        if (self != m_index.end() && !self->second.isDir) {
            entries.emplace_back(key, self->second);
        } else if (self != m_index.end() || IsRootPath(key)) {
            const QString prefix = SubtreePrefix(key);
            for (auto it = SubtreeBeginLocked(prefix);
                 it != m_index.end() && InSubtree(it->first.path(), prefix); ++it)
                entries.emplace_back(it->first.path(), it->second);
        }
    }
    for (const Entry& entry : entries)
        out.push_back(MakeFileInfo(entry));
    return true;
}

bool QCCache::Search(std::vector<FileInfo>& out, const QCCacheSearchMatch& query) {
    const QString searchPath = m_host.ReadUserProfile(QStringLiteral("searchpath"), QString());
    const bool everywhere = m_host.ReadUserProfile(QStringLiteral("SearchType"),
                                                   QStringLiteral("search_al")) == QLatin1String("search_al");
    if (!query.matches)
        return true;
    int hits = 0;
    QString last; // the last key copied; the next chunk starts after it
    bool started = false;
    bool more = true;
    std::vector<Entry> chunk;
    chunk.reserve(kSearchChunk); // not grown while the lock is held
    while (more) {
        chunk.clear();
        {
            std::lock_guard<std::recursive_mutex> lock(m_indexLock);
            auto it = started ? m_index.upper_bound(last) : m_index.begin();
            for (int visited = 0; it != m_index.end() && visited < kSearchChunk; ++it, ++visited) {
                last = it->first.path();
                if (!it->second.isDir || query.listFolders)
                    chunk.emplace_back(last, it->second);
            }
            more = it != m_index.end();
            started = true;
        }
        for (const Entry& entry : chunk) {
            if (!query.matches(entry.first) || entry.first.contains(QLatin1String(".Nimboshare")))
                continue;
            FileInfo hit = MakeFileInfo(entry);
            if (!everywhere && !IsSubPath(searchPath, hit.path, false))
                continue;
            out.push_back(std::move(hit));
            if (query.capHits && ++hits >= kOneCharHits)
                return true;
        }
    }
    return true;
}

bool QCCache::GetFileinfoByNid(const QString& nidText, FileInfo& out) {
    bool ok = false;
    const quint64 nid = nidText.toULongLong(&ok);
    if (!ok)
        return false;
    Entry entry;
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = std::find_if(m_index.begin(), m_index.end(),
                                     [nid](const Index::value_type& e) { return e.second.nid == nid; });
        if (it == m_index.end())
            return false;
        entry = Entry(it->first.path(), it->second);
    }
    out = MakeFileInfo(entry);
    return true;
}

bool QCCache::SetFlag(const QString& path, bool linkFlag, bool value) {
    const QString key = MakePathIndex(m_host.GetDiskPath(path));
    Notice notice{key, QCCacheRecord(), false};
    {
        std::lock_guard<std::recursive_mutex> lock(m_indexLock);
        const auto it = m_index.find(key);
        if (it == m_index.end())
            return false;
        (linkFlag ? it->second.linkFlag : it->second.syncFlag) = value;
        notice.record = it->second;
    }
    Send({notice});
    return true;
}

bool QCCache::UpdateLink(const QString& path, bool value) {
    return SetFlag(path, true, value);
}

bool QCCache::UpdateSync(const QString& path, bool value) {
    return SetFlag(path, false, value);
}

bool QCCache::ListOwnRootPath(const QString& path, QString& out) {
    if (path.isEmpty() || UnknownFile(path))
        return false;
    if (!IsRootPath(MakePathIndex(path)))
        return false;
    const QString prefix = SubtreePrefix(QString());
    std::lock_guard<std::recursive_mutex> lock(m_indexLock);
    auto it = SubtreeBeginLocked(prefix);
    while (it != m_index.end() && InSubtree(it->first.path(), prefix)) {
        const QString& childKey = it->first.path();
        const int slash = childKey.indexOf(QLatin1Char('/'), prefix.size());
        if (slash >= 0) {
            it = m_index.lower_bound(PastSubtree(childKey.left(slash)));
            continue;
        }
        if (it->second.isDir)
            out += childKey + QLatin1Char('|');
        ++it;
    }
    return true;
}

bool QCCache::SwitchToViewtable(const QString& path, const FILE_INFO& info, FILE_STATUS status,
                                bool clearBatch) {
    const QString key = MakePathIndex(path);
    QCCacheTextPool texts; // the index's pool belongs to the index lock
    const QCCacheRecord rec =
        ToCacheRecord(StoredForm(info, status, clearBatch, m_host.PassCounter()), texts);
    std::lock_guard<std::mutex> lock(m_viewTableLock);
    m_viewTable.emplace(key, rec);
    return true;
}

void QCCache::CleanSearchViewTable() {
    std::lock_guard<std::mutex> lock(m_viewTableLock);
    m_viewTable.clear();
}
