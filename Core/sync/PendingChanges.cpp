#include "sync/PendingChanges.h"

#include <QHash>

#include <cstdint>

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
    ++m_version;
}

void PendingChanges::Touch(iterator it) {
    Unindex(it);
    Index(it);
}

void PendingChanges::Index(iterator it) {
    ++m_version;
    Keys& keys = m_keys[&*it];
    keys.path = it->local.path.toLower();
    keys.oldKey = it->old_path.isEmpty() ? 0 : KeyOf(it->old_path.toLower());
    keys.above.clear();
    for (int end = keys.path.size(); end > 0; end = keys.path.lastIndexOf(QLatin1Char('/'), end - 1))
        keys.above.push_back(KeyOf(keys.path.left(end)));
    keys.structural = it->type == SYNC_CHANGE_REN || it->type == SYNC_CHANGE_DEL;
    if (keys.structural)
        m_structural.insert(keys.seq);
    keys.id = it->sync_id;
    keys.tick = it->tick;
    keys.waiting = it->sync_id == 0;
    m_paths[keys.path][keys.seq] = it;
    if (keys.id != 0)
        m_ids[keys.id] = it;
    if (keys.waiting)
        m_waitingTicks.insert(keys.tick);
}

void PendingChanges::Unindex(iterator it) {
    ++m_version;
    const Keys& keys = m_keys[&*it];
    const auto path = m_paths.find(keys.path);
    if (path != m_paths.end()) {
        path->second.erase(keys.seq);
        if (path->second.empty())
            m_paths.erase(path);
    }
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

quint64 PendingChanges::KeyOf(const QString& lowerPath) {
    // FNV-1a over the UTF-16 units; never 0.
    quint64 key = 14695981039346656037ULL;
    for (const QChar c : lowerPath) {
        key ^= c.unicode();
        key *= 1099511628211ULL;
    }
    return key == 0 ? 1 : key;
}

quint64 PendingChanges::PathKey(iterator it) const {
    const Keys& keys = m_keys.at(&*it);
    return keys.above.empty() ? KeyOf(keys.path) : keys.above.front();
}

quint64 PendingChanges::OldPathKey(iterator it) const {
    return m_keys.at(&*it).oldKey;
}

const std::vector<quint64>& PendingChanges::KeysAtOrAbove(iterator it) const {
    return m_keys.at(&*it).above;
}
