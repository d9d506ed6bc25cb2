#pragma once
// A map from cloud path to T under its own mutex, with removal of a whole subtree. Keys are
// compared exactly (case-sensitive); the subtree removal ignores case. Values are copied in and
// out; no reference into the map leaves it. m_map is guarded by m_mutex.

#include "common/PathUtils.h"

#include <QString>

#include <map>
#include <mutex>

template <typename T>
class QCLockMap {
public:
    QCLockMap() = default;
    QCLockMap(const QCLockMap&) = delete;
    QCLockMap& operator=(const QCLockMap&) = delete;

    // Inserts the key or replaces its value.
    void Add(const QString& key, const T& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_map[key] = value;
    }

    // Whether exactly this key (case-sensitive) is held.
    bool Find(const QString& key) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_map.find(key) != m_map.end();
    }

    // Without `sub`: removes exactly this key. With `sub`: removes every key at or below `path`
    // (case ignored, one trailing "/" of either side ignored; /ab is not below /a). True when
    // something was removed.
    bool Delete(const QString& path, bool sub) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!sub)
            return m_map.erase(path) > 0;
        bool removed = false;
        for (auto it = m_map.begin(); it != m_map.end();) {
            if (IsSubPath(path, it->first, false)) {
                it = m_map.erase(it);
                removed = true;
            } else {
                ++it;
            }
        }
        return removed;
    }

    std::map<QString, T> GetAll() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_map;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_map.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::map<QString, T> m_map; // plain, case-sensitive key order
};
