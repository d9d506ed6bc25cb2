#include "sync/PendingChanges.h"

#include <QHash>

#include <cstdint>

namespace {

// The key of an item's own path: the first of its keys at or above.
quint64 OwnKey(const QString& lowerPath, const std::vector<quint64>& above) {
    return above.empty() ? PendingChanges::KeyOf(lowerPath) : above.front();
}

} // namespace

PendingChanges::iterator PendingChanges::Append(CHANGE_ITEM item) {
    const iterator it = m_items.insert(m_items.end(), std::move(item));
    m_keys[&*it].seq = ++m_backSeq;
    Index(it);
    return it;
}

PendingChanges::iterator PendingChanges::PushFront(CHANGE_ITEM item) {
    const iterator it = m_items.insert(m_items.begin(), std::move(item));
    m_keys[&*it].seq = --m_frontSeq;
    Index(it);
    return it;
}

PendingChanges::iterator PendingChanges::Erase(iterator it) {
    Unindex(it);
    m_keys.erase(&*it);
    return m_items.erase(it);
}

void PendingChanges::Clear() {
    m_items.clear();
    m_keys.clear();
    m_paths.clear();
    m_ids.clear();
    m_waitingTicks.clear();
    m_structural.clear();
    m_byKey.clear();
    m_under.clear();
    m_freeFiles.clear();
    m_freeDirs.clear();
    m_fastCount = 0;
    ++m_version;
}

void PendingChanges::Touch(iterator it) {
    Keys& keys = m_keys.at(&*it);
    const QString path = it->local.path.toLower();
    const quint64 oldKey = it->old_path.isEmpty() ? 0 : KeyOf(it->old_path.toLower());
    if (path != keys.path || oldKey != keys.oldKey) {
        Unindex(it);
        Index(it);
        return;
    }
    // The paths stay, so what the item holds back stays: only its own entries change. (Most
    // touches are of this kind: an item starts, is put off or settles again.)
    ++m_version;
    UnindexOwn(it, keys);
    IndexOwn(it, keys);
    Refree(it);
}

void PendingChanges::IndexOwn(iterator it, Keys& keys) {
    keys.structural = it->type == SYNC_CHANGE_REN || it->type == SYNC_CHANGE_DEL;
    keys.mod = it->type == SYNC_CHANGE_MOD;
    keys.dir = it->local.is_dir;
    keys.fast = it->fast;
    keys.id = it->sync_id;
    keys.tick = it->tick;
    keys.waiting = it->sync_id == 0;
    if (keys.structural)
        m_structural.insert(keys.seq);
    if (keys.id != 0)
        m_ids[keys.id] = it;
    if (keys.waiting)
        m_waitingTicks.insert(keys.tick);
    if (keys.fast)
        ++m_fastCount;
}

void PendingChanges::UnindexOwn(iterator it, Keys& keys) {
    if (keys.id != 0) {
        const auto id = m_ids.find(keys.id);
        if (id != m_ids.end() && id->second == it)
            m_ids.erase(id);
    }
    if (keys.structural)
        m_structural.erase(keys.seq);
    if (keys.waiting) {
        const auto tick = m_waitingTicks.find(keys.tick);
        if (tick != m_waitingTicks.end())
            m_waitingTicks.erase(tick);
    }
    if (keys.fast)
        --m_fastCount;
    keys.fast = false;
}

void PendingChanges::Index(iterator it) {
    ++m_version;
    Keys& keys = m_keys[&*it];
    keys.path = it->local.path.toLower();
    keys.oldKey = it->old_path.isEmpty() ? 0 : KeyOf(it->old_path.toLower());
    keys.above.clear();
    for (int end = keys.path.size(); end > 0; end = keys.path.lastIndexOf(QLatin1Char('/'), end - 1))
        keys.above.push_back(KeyOf(keys.path.left(end)));
    keys.free = false;
    IndexOwn(it, keys);
    m_paths[keys.path][keys.seq] = it;
    const quint64 own = OwnKey(keys.path, keys.above);
    m_byKey[own][keys.seq] = it;
    if (keys.oldKey != 0)
        m_byKey[keys.oldKey][keys.seq] = it;
    for (const quint64 key : keys.above)
        m_under[key][keys.seq] = it;
    if (keys.above.empty())
        m_under[own][keys.seq] = it;
    Refree(it);
    RefreeBelow({own, keys.oldKey}, keys.seq);
}

void PendingChanges::Unindex(iterator it) {
    ++m_version;
    Keys& keys = m_keys[&*it];
    const auto path = m_paths.find(keys.path);
    if (path != m_paths.end()) {
        path->second.erase(keys.seq);
        if (path->second.empty())
            m_paths.erase(path);
    }
    UnindexOwn(it, keys);
    const auto drop = [&](std::unordered_map<quint64, BySeq>& index, quint64 key) {
        const auto found = index.find(key);
        if (found == index.end())
            return;
        found->second.erase(keys.seq);
        if (found->second.empty())
            index.erase(found);
    };
    const quint64 own = OwnKey(keys.path, keys.above);
    drop(m_byKey, own);
    if (keys.oldKey != 0)
        drop(m_byKey, keys.oldKey);
    for (const quint64 key : keys.above)
        drop(m_under, key);
    if (keys.above.empty())
        drop(m_under, own);
    Unfree(keys);
    // Taken out of the indexes above first: the items it held back are looked at without it.
    RefreeBelow({own, keys.oldKey}, keys.seq);
}

bool PendingChanges::HeldBefore(quint64 key, quint64 seq) const {
    const auto found = m_byKey.find(key);
    return found != m_byKey.end() && !found->second.empty() && found->second.begin()->first < seq;
}

void PendingChanges::Unfree(Keys& keys) {
    if (!keys.free)
        return;
    // From both sets: `dir` may have changed since the item was entered.
    m_freeFiles.erase(keys.seq);
    m_freeDirs.erase(keys.seq);
    keys.free = false;
}

void PendingChanges::Refree(iterator it) {
    Keys& keys = m_keys.at(&*it);
    Unfree(keys);
    if (!keys.waiting || !keys.mod)
        return;
    if (!EarlierSamePath(it)) {
        for (size_t i = 1; i < keys.above.size(); ++i) {
            if (HeldBefore(keys.above[i], keys.seq))
                return; // a folder above waits for an item ahead
        }
    }
    (keys.dir ? m_freeDirs : m_freeFiles)[keys.seq] = it;
    keys.free = true;
}

void PendingChanges::RefreeBelow(const std::vector<quint64>& keys, quint64 seq) {
    for (size_t k = 0; k < keys.size(); ++k) {
        if (keys[k] == 0 || (k == 1 && keys[1] == keys[0]))
            continue;
        const auto found = m_under.find(keys[k]);
        if (found == m_under.end())
            continue;
        // Refree changes the free sets only, never m_under: the walk stays valid.
        for (auto at = found->second.upper_bound(seq); at != found->second.end(); ++at)
            Refree(at->second);
    }
}

PendingChanges::iterator PendingChanges::FindPath(const QString& cloudPath) {
    const auto path = m_paths.find(cloudPath.toLower());
    if (path == m_paths.end() || path->second.empty())
        return m_items.end();
    return path->second.begin()->second;
}

std::vector<PendingChanges::iterator> PendingChanges::ItemsOfPath(const QString& cloudPath) {
    std::vector<iterator> out;
    const auto path = m_paths.find(cloudPath.toLower());
    if (path != m_paths.end()) {
        for (const auto& entry : path->second)
            out.push_back(entry.second);
    }
    return out;
}

PendingChanges::iterator PendingChanges::FindId(quint32 id) {
    if (id == 0)
        return m_items.end();
    const auto found = m_ids.find(id);
    return found == m_ids.end() ? m_items.end() : found->second;
}

qint64 PendingChanges::EarliestWaitingTick() const {
    return m_waitingTicks.empty() ? INT64_MAX : *m_waitingTicks.begin();
}

bool PendingChanges::RenameOrDeleteAfter(iterator it) const {
    const auto keys = m_keys.find(&*it);
    return keys != m_keys.end() && !m_structural.empty() && *m_structural.rbegin() > keys->second.seq;
}

bool PendingChanges::RenameOrDeleteBefore(iterator it) const {
    const auto keys = m_keys.find(&*it);
    return keys != m_keys.end() && !m_structural.empty() && *m_structural.begin() < keys->second.seq;
}

bool PendingChanges::WaitsAhead(iterator it) const {
    const Keys& keys = m_keys.at(&*it);
    if (keys.above.empty())
        return HeldBefore(OwnKey(keys.path, keys.above), keys.seq);
    for (const quint64 key : keys.above) {
        if (HeldBefore(key, keys.seq))
            return true;
    }
    return false;
}

bool PendingChanges::EarlierSamePath(iterator it) const {
    const Keys& keys = m_keys.at(&*it);
    return HeldBefore(OwnKey(keys.path, keys.above), keys.seq);
}

quint64 PendingChanges::Seq(iterator it) const {
    return m_keys.at(&*it).seq;
}

PendingChanges::iterator PendingChanges::NextFree(quint64 after, bool folders, bool files) {
    const auto file = files ? m_freeFiles.upper_bound(after) : m_freeFiles.end();
    const auto dir = folders ? m_freeDirs.upper_bound(after) : m_freeDirs.end();
    if (file == m_freeFiles.end())
        return dir == m_freeDirs.end() ? m_items.end() : dir->second;
    if (dir == m_freeDirs.end() || file->first < dir->first)
        return file->second;
    return dir->second;
}

quint64 PendingChanges::KeyOf(const QString& lowerPath) {
    // FNV-1a over the UTF-16 units; never 0.
    quint64 key = 14695981039346656037ULL;
    for (const QChar c : lowerPath) {
        key ^= c.unicode();
        key *= 1099511628211ULL;
    }
    return key == 0 ? 1 : key;
}
