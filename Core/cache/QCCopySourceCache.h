#pragma once
// Per cloud path, a local file known to hold that cloud file's content (an upload from outside the
// sync folder, or a download to a folder of the user's choice), so that a download can copy it
// instead of fetching it. Kept in "cpsrc.dat" of the user's folder between logins.
//
// Threads: every operation takes the mutex while it touches the map; MatchSource releases it
// before it looks at the disk. Callers: the engine thread and the user interface thread.

#include <QString>
#include <QtGlobal>

#include <map>
#include <mutex>

class QCCopySourceCache {
public:
    struct SOURCE_ITEM {
        QString local_path;
        QString cloud_path; // filled only while Save writes the newest entries
        qint64 last_use = 0; // Unix seconds
    };
    // Beyond this many entries the map is emptied before the next one is set.
    static constexpr int kMaxEntries = 40000;
    // Save writes every entry up to this many; beyond it only the kSaveNewest most recently set.
    static constexpr int kSaveAll = 4000;
    static constexpr int kSaveNewest = 1000;

    // Records (or replaces) the local source of `cloudPath`, used now.
    void SetSource(const QString& cloudPath, const QString& localPath);
    // The recorded local file when it still exists with that modification time (Unix seconds)
    // and size; a file that changed is forgotten. The creation time takes no part.
    QString MatchSource(const QString& cloudPath, unsigned int mtime, unsigned int ctime,
                        unsigned long long size);
    void Erase(const QString& cloudPath);
    // Writes the entries to the loaded path (atomically) when anything changed; true when written
    // or nothing was to write.
    bool Save();
    // Remembers `path` for Save and replaces the entries by the file's; a file that cannot be
    // read leaves the cache empty.
    void Load(const QString& path);
    int Size() const;

private:
    mutable std::mutex m_lock;
    std::map<QString, SOURCE_ITEM> m_entries; // key: the lower-case cloud path
    QString m_path;
    bool m_changed = false;
};

// Newer last use first.
bool smart_sort_by_usefull(const QCCopySourceCache::SOURCE_ITEM& a, const QCCopySourceCache::SOURCE_ITEM& b);
