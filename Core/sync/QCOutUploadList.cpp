#include "sync/QCOutUploadList.h"

#include "Database/EncryptArchive.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QVector>

#include <cstdlib>

namespace {

// Pages found beyond this many are not looked for (a bound against a corrupt page count).
constexpr int kMaxPages = 100000;

bool WritePage(const QString& path, const QString& text, qint64 generation, qint64 pages) {
    const QVector<uint> wide = text.toUcs4();
    return EncryptArchiveSave(path, wide.constData(), int(wide.size() * 4), generation, pages);
}

} // namespace

QString QCOutUploadList::GetKey(const QString&, const QString& cloudPath) {
    return cloudPath.toLower();
}

QString QCOutUploadList::PagePath(qint64 generation, int page) const {
    if (page == 0)
        return m_path;
    return generation == 0 ? QStringLiteral("%1.%2").arg(m_path).arg(page)
                           : QStringLiteral("%1.%2.%3").arg(m_path).arg(generation).arg(page);
}

void QCOutUploadList::Load(const QString& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_path = path;
    m_dirty = false;
    m_pending.clear();
    m_generation = 0;
    if (path.isEmpty())
        return;
    int items = 0;
    qint64 pages = kMaxPages;
    for (int page = 0; page < pages; ++page) {
        const QString file = PagePath(m_generation, page);
        void* block = QFile::exists(file) ? EncryptArchiveLoad(file) : nullptr;
        if (!block)
            break;
        const auto* header = static_cast<const ARCHIVE_HEADER*>(block);
        if (page == 0) {
            m_generation = header->value1;
            // Files of the older form carry 0: their pages are read until one is missing.
            if (m_generation != 0 && header->value2 > 0)
                pages = std::min<qint64>(header->value2, kMaxPages);
        } else if (header->value1 != m_generation) {
            std::free(block); // left by another save
            break;
        }
        const QString text = QString::fromUcs4(
            reinterpret_cast<const uint*>(static_cast<const char*>(block) + ARCHIVE_HEADER_SIZE),
            int(header->length / 4));
        std::free(block);
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            const QStringList parts = line.split(QLatin1Char('\t'));
            if (parts.size() != 4 || parts[1].isEmpty())
                continue;
            OUT_UPLOAD_FILE item;
            item.source = parts[0];
            item.cloud_path = parts[1];
            item.size = parts[2].toULongLong();
            item.mtime = parts[3].toUInt();
            m_pending[GetKey(item.source, item.cloud_path)] = item;
            ++items;
        }
    }
    CoreDebug("[out_upload_lst] load %d items\n", items);
}

bool QCOutUploadList::Save(bool throttle) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_dirty || m_path.isEmpty())
        return true;
    const qint64 now = QCClock::NowMs();
    if (throttle && m_lastSaveMs >= 0 && now - m_lastSaveMs < kSaveIntervalMs)
        return true;
    m_lastSaveMs = now;

    QStringList pages;
    QString text;
    text.reserve(0x82000);
    for (const auto& entry : m_pending) {
        const OUT_UPLOAD_FILE& item = entry.second;
        text += item.source + QLatin1Char('\t') + item.cloud_path + QLatin1Char('\t') +
                QString::number(item.size) + QLatin1Char('\t') + QString::number(item.mtime) +
                QLatin1Char('\n');
        if (text.size() > kPageChars) {
            pages << text + QLatin1Char('\n');
            text.clear();
        }
    }
    if (!text.isEmpty() || pages.isEmpty())
        pages << text + QLatin1Char('\n');

    // Page 0 last: until it is replaced, a load reads the previous save's pages, which this save
    // does not touch.
    const qint64 generation = m_generation + 1;
    bool ok = true;
    for (int page = int(pages.size()) - 1; page >= 0 && ok; --page)
        ok = WritePage(PagePath(generation, page), pages[page], generation, pages.size());
    if (!ok) {
        CoreDebug("[out_upload_lst] save failed\n");
        return false;
    }
    m_generation = generation;
    // Pages of earlier saves, of the older form and of saves cut short.
    const QFileInfo list(m_path);
    QStringList current;
    for (int page = 1; page < pages.size(); ++page)
        current << QFileInfo(PagePath(generation, page)).fileName();
    static const QRegularExpression pageName(QStringLiteral("^\\.(\\d+\\.)?\\d+$"));
    for (const QString& name : list.dir().entryList({list.fileName() + QStringLiteral(".*")}, QDir::Files)) {
        if (!current.contains(name) && pageName.match(name.mid(list.fileName().size())).hasMatch())
            QFile::remove(list.dir().filePath(name));
    }
    m_dirty = false;
    CoreDebug("[out_upload_lst] save page:%d \n", int(pages.size()));
    return true;
}

void QCOutUploadList::Add(const OUT_UPLOAD_FILE& item) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pending[GetKey(item.source, item.cloud_path)] = item;
    m_dirty = true;
}

void QCOutUploadList::Request(const OUT_UPLOAD_FILE& item) {
    std::lock_guard<std::mutex> lock(m_lock);
    requests.Add(item);
    m_pending[GetKey(item.source, item.cloud_path)] = item;
    m_dirty = true;
}

bool QCOutUploadList::ClearIfIdle() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (requests.Count() != 0)
        return false;
    if (!m_pending.empty())
        m_dirty = true;
    m_pending.clear();
    return true;
}

int QCOutUploadList::Erase(const QString& cloudPath, bool save) {
    int removed = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (cloudPath.isEmpty() || IsSubPath(cloudPath, it->second.cloud_path)) {
                it = m_pending.erase(it);
                ++removed;
                m_dirty = true;
            } else {
                ++it;
            }
        }
    }
    if (save)
        Save(true);
    return removed;
}

std::vector<OUT_UPLOAD_FILE> QCOutUploadList::Pending() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<OUT_UPLOAD_FILE> out;
    out.reserve(m_pending.size());
    for (const auto& entry : m_pending)
        out.push_back(entry.second);
    return out;
}

bool QCOutUploadList::IsDirty() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_dirty;
}
