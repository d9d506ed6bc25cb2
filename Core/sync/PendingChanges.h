#pragma once
// The pending list of the change pipeline: CHANGE_ITEMs in intake order (oldest first), with
// indexes so that the scheduler never rescans the list for a choice: by cloud path (letter case
// ignored, oldest first), by the id of the running work, by the due time of waiting items, by the
// path keys that block later items, and the set of waiting items that nothing ahead holds back.
//
// Blocking. An item holds back every later item at or below its path or its old path (the keys
// of those paths: 64-bit hashes of the lower-cased path): a folder's creation the uploads into it,
// a rename or delete of a folder the work below it, earlier work on a path the later work on the
// same path. WaitsAhead and EarlierSamePath answer this for an item against every item before it.
//
// Free items. A waiting mod (create folder or upload) is free unless an item ahead is at a folder
// above it while none ahead is at its own path (then the scheduler has nothing to decide for it
// before the item ahead goes). NextFree walks the free items in list order, so that a scan skips
// the thousands of files that wait for their folders' creations.
//
// Invariant: the indexes describe the items as they were at their last Append, PushFront or
// Touch. Whoever changes an item's type, local.path, local.is_dir, old_path, sync_id, tick or fast
// calls Touch(it) before the next lookup. Items never move inside the list; erasing one leaves the
// others' iterators valid.
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
    // Items marked fast.
    size_t FastCount() const { return m_fastCount; }
    // Counts every change of the list or of an item's indexed fields.
    quint64 Version() const { return m_version; }
    // Whether a rename or delete lies after / before `it` in the list.
    bool RenameOrDeleteAfter(iterator it) const;
    bool RenameOrDeleteBefore(iterator it) const;
    // Whether any rename or delete is in the list.
    bool HasRenameOrDelete() const { return !m_structural.empty(); }

    // Whether an item before `it` is at its path or at a folder above it (by path or old path).
    bool WaitsAhead(iterator it) const;
    // Whether an item before `it` is at its own path (by path or old path).
    bool EarlierSamePath(iterator it) const;
    // The list order of an item: larger is later.
    quint64 Seq(iterator it) const;
    // The first free item (see above) after list order `after` (0: from the head), folders only
    // when `folders`, files only when `files`; end() when none.
    iterator NextFree(quint64 after, bool folders, bool files);
    static quint64 KeyOf(const QString& lowerPath);

private:
    struct Keys {
        QString path;               // lower-cased local path
        quint64 oldKey = 0;         // key of the old path, 0: none
        std::vector<quint64> above; // keys of the local path and of every folder above it
        quint64 seq = 0;            // the list's order
        bool structural = false;    // a rename or delete
        bool mod = false;
        bool dir = false;
        bool fast = false;
        quint32 id = 0;
        qint64 tick = 0;
        bool waiting = false;
        bool free = false; // in m_freeFiles or m_freeDirs
    };
    using BySeq = std::map<quint64, iterator>;
    struct TextHash {
        size_t operator()(const QString& text) const { return qHash(text); }
    };
    void Index(iterator it);
    void Unindex(iterator it);
    // The entries of the item's own fields (kind, running id, tick, fast mark), not its paths.
    void IndexOwn(iterator it, Keys& keys);
    void UnindexOwn(iterator it, Keys& keys);
    // Whether an item before `seq` has the path or old path `key`.
    bool HeldBefore(quint64 key, quint64 seq) const;
    // Removes the item of `keys` from the free items, if it is one.
    void Unfree(Keys& keys);
    // Enters or removes `it` as a free item.
    void Refree(iterator it);
    // Refrees the items after `seq` at or below the paths of `keys`.
    void RefreeBelow(const std::vector<quint64>& keys, quint64 seq);

    std::list<CHANGE_ITEM> m_items;
    std::unordered_map<const CHANGE_ITEM*, Keys> m_keys;
    std::unordered_map<QString, BySeq, TextHash> m_paths;
    std::unordered_map<quint32, iterator> m_ids;
    std::multiset<qint64> m_waitingTicks;
    std::set<quint64> m_structural;             // seqs of renames and deletes
    std::unordered_map<quint64, BySeq> m_byKey; // items by the key of their path and old path
    std::unordered_map<quint64, BySeq> m_under; // items by the keys of their path and the folders above
    BySeq m_freeFiles;
    BySeq m_freeDirs;
    size_t m_fastCount = 0;
    quint64 m_version = 0;
    quint64 m_backSeq = quint64(1) << 62; // appended items count up from here, pushed ones down
    quint64 m_frontSeq = quint64(1) << 62;
};
