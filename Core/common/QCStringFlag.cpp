#include "common/QCStringFlag.h"

#include "common/PathUtils.h"

void QCStringFlag::Set(const QString& s, bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on)
        m_paths.insert(s);
    else
        m_paths.erase(s);
}

bool QCStringFlag::IsSub(const QString& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const QString& stored : m_paths) {
        if (IsSubPath(stored, path, false))
            return true;
    }
    return false;
}

void QCStringFlag::FetchAll(std::set<QString>& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    out.clear();
    out.swap(m_paths);
}

void QCStringFlag::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paths.clear();
}
