#include "Database/QCBlockTable.h"

#include "common/Hash.h"

#include <QFileInfo>

namespace {

bool IsFile(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

} // namespace

QCBlockTable::QCBlockTable() = default;

QCBlockTable::~QCBlockTable() = default;

void QCBlockTable::SetBlock(const QString& hash, unsigned long long size, unsigned long long offset,
                            const QString& file_path, const QString& temp_path) {
    if (size != quint64(CLOUD_BLOCK_SIZE))
        return; // short blocks (the end of a file) are never reused
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_blocks.find(hash);
    if (it == m_blocks.end()) {
        m_blocks.emplace(hash, BLOCKINDEX{offset, file_path, temp_path});
        return;
    }
    // Only a known hash costs the existence test, and only its first location is kept while usable.
    BLOCKINDEX& known = it->second;
    if (!IsFile(known.file_path) && !IsFile(known.temp_path))
        known = BLOCKINDEX{offset, file_path, temp_path};
}

bool QCBlockTable::CheckBlockData(const QString& hash, QString& path, unsigned long long& offset) {
    BLOCKINDEX found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_blocks.find(hash);
        if (it == m_blocks.end())
            return false;
        found = it->second;
    }
    // The disk is asked without the lock: downloads on other threads need not wait for it.
    offset = found.offset;
    if (IsFile(found.file_path)) {
        path = found.file_path;
        return true;
    }
    if (IsFile(found.temp_path)) {
        path = found.temp_path;
        return true;
    }
    return false;
}

bool QCBlockTable::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks.clear();
    return true;
}
