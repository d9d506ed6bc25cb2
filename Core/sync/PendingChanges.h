#pragma once
// The pending list of the change pipeline: CHANGE_ITEMs in intake order (oldest first), with three
// indexes so that the scheduler never rescans the list for a choice: by cloud path (letter case
// ignored, oldest first), by the id of the running work, and by the due time of waiting items.
//
// Invariant: the indexes describe the items as they were at their last Append, PushFront or
// Touch. Whoever changes an item's type, local.path, old_path, sync_id or tick calls Touch(it)
// before the next lookup. Items never move inside the list; erasing one leaves the others' iterators valid.
//
// Threads: the engine thread alone (no lock).

#include "sync/SyncRecords.h"

#include <QHash>
#include <QString>

#include <list>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

class PendingChanges {
public:
    using iterator = std::list<CHANGE_ITEM>::iterator;

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    std::list<CHANGE_ITEM>::const_iterator begin() const { return m_items.begin(); }
    std::list<CHANGE_ITEM>::const_iterator end() const { return m_items.end(); }
    bool empty() const { return m_items.empty(); }
    size_t size() const { return m_items.size(); }

    iterator Append(CHANGE_ITEM item);
    iterator PushFront(CHANGE_ITEM item);
    // Returns the item after the erased one.
    iterator Erase(iterator it);
    void Clear();
    // Brings the indexes up to date with the item's fields.
    void Touch(iterator it);

    // The oldest item whose local path is `cloudPath` (letter case ignored), or end().
    iterator FindPath(const QString& cloudPath);
    // Every item of that path, oldest first.
    std::vector<iterator> ItemsOfPath(const QString& cloudPath);
    // The item whose running work has the id `id` (not 0), or end().
    iterator FindId(quint32 id);
    // The earliest tick of a waiting item; INT64_MAX when none waits.
    qint64 EarliestWaitingTick() const;
    // Running items (sync_id not 0).
    size_t RunningCount() const { return m_ids.size(); }
    // Counts every change of the list or of an item's indexed fields.
    quint64 Version() const { return m_version; }
    // Whether a rename or delete lies after / before `it` in the list.
    bool RenameOrDeleteAfter(iterator it) const;
    bool RenameOrDeleteBefore(iterator it) const;
    // Whether any rename or delete is in the list.
    bool HasRenameOrDelete() const { return !m_structural.empty(); }
    // Keys of paths (64-bit hashes of the lower-cased path) for the scheduler's look at the items
    // ahead: the item's local path and old path (0: none), and those of its local path and of
    // every folder above it.
    quint64 PathKey(iterator it) const;
    quint64 OldPathKey(iterator it) const;
    const std::vector<quint64>& KeysAtOrAbove(iterator it) const;
    static quint64 KeyOf(const QString& lowerPath);

private:
    struct Keys {
        QString path;    // lower-cased local path
        quint64 oldKey = 0;         // key of the old path, 0: none
        std::vector<quint64> above; // keys of the local path and of every folder above it
        quint64 seq = 0;            // the list's order
        bool structural = false; // a rename or delete
        quint32 id = 0;
        qint64 tick = 0;
        bool waiting = false;
    };
    struct TextHash {
        size_t operator()(const QString& text) const { return qHash(text); }
    };
    void Index(iterator it);
    void Unindex(iterator it);

    std::list<CHANGE_ITEM> m_items;
    std::unordered_map<const CHANGE_ITEM*, Keys> m_keys;
    std::unordered_map<QString, std::map<quint64, iterator>, TextHash> m_paths;
    std::unordered_map<quint32, iterator> m_ids;
    std::multiset<qint64> m_waitingTicks;
    std::set<quint64> m_structural; // seqs of renames and deletes
    quint64 m_version = 0;
    quint64 m_backSeq = quint64(1) << 62; // appended items count up from here, pushed ones down
    quint64 m_frontSeq = quint64(1) << 62;
};
