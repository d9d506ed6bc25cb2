#include "cache/QCCopySourceCache.h"

#include "Database/EncryptArchive.h"
#include "common/CoreLog.h"

#include <QDateTime>
#include <QFileInfo>
#include <QVector>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

qint64 Now() {
    return QDateTime::currentSecsSinceEpoch();
}

void AppendLine(QString& text, const QString& key, const QCCopySourceCache::SOURCE_ITEM& item) {
    text += key;
    text += QLatin1Char('\t');
    text += item.local_path;
    text += QLatin1Char('\t');
    text += QString::number(item.last_use);
    text += QLatin1Char('\n');
}

} // namespace

bool smart_sort_by_usefull(const QCCopySourceCache::SOURCE_ITEM& a, const QCCopySourceCache::SOURCE_ITEM& b) {
    return a.last_use > b.last_use;
}

void QCCopySourceCache::SetSource(const QString& cloudPath, const QString& localPath) {
    SOURCE_ITEM item;
    item.local_path = localPath;
    item.last_use = Now();
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_entries.size() > size_t(kMaxEntries))
        m_entries.clear();
    m_entries[cloudPath.toLower()] = item;
    m_changed = true;
}

QString QCCopySourceCache::MatchSource(const QString& cloudPath, unsigned int mtime, unsigned int,
                                       unsigned long long size) {
    const QString key = cloudPath.toLower();
    QString local;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_entries.find(key);
        if (it == m_entries.end())
            return QString();
        local = it->second.local_path;
    }
    if (local.isEmpty())
        return QString();
    const QFileInfo info(local);
    if (!info.exists())
        return QString();
    if (info.isFile() && info.lastModified().toSecsSinceEpoch() == qint64(mtime) &&
        quint64(info.size()) == size)
        return local;
    CoreDebug("[copy_cache] find. but attr changed %s -> %s\n", qUtf8Printable(cloudPath), qUtf8Printable(local));
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_entries.find(key);
    // Only the entry that was looked at: another thread may have set a new source meanwhile.
    if (it != m_entries.end() && it->second.local_path == local) {
        m_entries.erase(it);
        m_changed = true;
    }
    return QString();
}

void QCCopySourceCache::Erase(const QString& cloudPath) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_entries.erase(cloudPath.toLower());
    m_changed = true;
}

bool QCCopySourceCache::Save() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_changed || m_path.isEmpty())
        return true;
    QString text;
    int written = 0;
    if (m_entries.size() <= size_t(kSaveAll)) {
        text.reserve(int(m_entries.size()) * 256);
        for (const auto& [key, item] : m_entries)
            AppendLine(text, key, item);
        written = int(m_entries.size());
    } else {
        std::vector<SOURCE_ITEM> items;
        items.reserve(m_entries.size());
        for (auto& [key, item] : m_entries) {
            items.push_back(item);
            items.back().cloud_path = key;
        }
        m_entries.clear();
        std::stable_sort(items.begin(), items.end(), smart_sort_by_usefull);
        items.resize(kSaveNewest);
        text.reserve(kSaveNewest * 256);
        for (const SOURCE_ITEM& item : items)
            AppendLine(text, item.cloud_path, item);
        written = kSaveNewest;
    }
    // Wide characters of four bytes; the archive writer replaces the file whole, so a failed or
    // interrupted save leaves the last one. Nothing to write removes the file.
    const QVector<uint> wide = text.toUcs4();
    const bool ok = EncryptArchiveSave(m_path, wide.isEmpty() ? nullptr : wide.constData(),
                                       int(wide.size() * 4), 0, 0) ||
                    wide.isEmpty();
    CoreDebug("[copy_cache] save %d items ok=%d\n", written, int(ok));
    return ok;
}

void QCCopySourceCache::Load(const QString& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_path = path;
    m_changed = false;
    m_entries.clear();
    void* block = EncryptArchiveLoad(path);
    if (!block)
        return;
    const auto* header = static_cast<const ARCHIVE_HEADER*>(block);
    const auto* chars = reinterpret_cast<const uint*>(static_cast<const char*>(block) + ARCHIVE_HEADER_SIZE);
    const QString text = QString::fromUcs4(chars, int(header->length / 4));
    std::free(block);
    const qint64 now = Now();
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(QLatin1Char('\t'));
        if (parts.size() != 3 || parts[0].isEmpty() || parts[1].isEmpty() || parts[2].isEmpty())
            continue;
        bool number = false;
        SOURCE_ITEM item;
        item.local_path = parts[1];
        item.last_use = qint64(parts[2].toULongLong(&number));
        if (!number)
            continue;
        if (item.last_use > now) {
            item.last_use = now;
            m_changed = true;
        }
        m_entries[parts[0].toLower()] = item;
    }
}

int QCCopySourceCache::Size() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return int(m_entries.size());
}
