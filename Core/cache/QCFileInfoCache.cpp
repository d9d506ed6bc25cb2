#include "cache/QCFileInfoCache.h"

#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"

#include <QDateTime>

#include <algorithm>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

QString Key(const QString& path) {
    return path.toLower();
}

// An empty file still weighs one byte, so that a list of empty files makes progress.
quint64 Weight(quint64 size) {
    return size == 0 ? 1 : size;
}

// done / of as a percent, at least 1 once anything is done, at most 100. Nothing of nothing is
// taken as of 1 byte (a total can only wrap to 0 on absurd sizes, but must never divide by 0).
quint32 Percent(quint64 done, quint64 of) {
    if (of == 0)
        of = 1;
    const quint64 percent = done * 100 / of;
    if (percent == 0 && done != 0)
        return 1;
    return quint32(std::min<quint64>(percent, 100));
}

QByteArray Dotted(quint64 n) {
    return GetNumDotString(n).toUtf8();
}

} // namespace

QCFileInfoCache::QCFileInfoCache() {
    Clear();
}

void QCFileInfoCache::Clear() {
    Lock lock(m_mutex);
    m_entries.clear();
    m_index.clear();
    m_sumSize = 0;
    m_sumDone = 0;
    m_total = 0;
    m_finished = 0;
    m_percent = 0;
    m_startMs.store(0);
    m_updatePercent.store(true);
}

void QCFileInfoCache::Add(FILE_INFO record) {
    Lock lock(m_mutex);
    const auto it = FindLocked(record.path);
    if (it != m_entries.end()) {
        ReplaceLocked(it, std::move(record));
        return;
    }
    if (record.finish_time == 0)
        record.finish_time = quint32(QDateTime::currentSecsSinceEpoch());
    AppendLocked(std::move(record));
}

void QCFileInfoCache::Update(const FILE_INFO& record) {
    Lock lock(m_mutex);
    const auto it = FindLocked(record.path);
    if (it == m_entries.end())
        Add(record);
    else
        ReplaceLocked(it, record);
}

void QCFileInfoCache::UpdateToEnd(FILE_INFO record) {
    Lock lock(m_mutex);
    if (m_entries.size() > size_t(kFinishedKeep))
        EraseLocked(m_entries.begin());
    const auto it = FindLocked(record.path);
    if (it != m_entries.end())
        EraseLocked(it);
    Add(std::move(record));
}

void QCFileInfoCache::Del(const FILE_INFO& record) {
    Lock lock(m_mutex);
    const auto it = FindLocked(record.path);
    if (it != m_entries.end()) {
        EraseLocked(it);
        if (CoreLog::Enabled())
            CoreDebug("[progress] Del: %s, finish:%s, total= %s", Dotted(record.size).constData(),
                      Dotted(m_finished).constData(), Dotted(m_total).constData());
    }
    if (record.percent == 100)
        m_finished += Weight(record.size);
    if (m_updatePercent.load())
        RecomputeLocked();
}

void QCFileInfoCache::UpdateStatus(const QString& path, quint32 status) {
    Lock lock(m_mutex);
    const auto it = FindLocked(path);
    if (it != m_entries.end())
        it->file_status = status;
}

bool QCFileInfoCache::Find(const QString& path, FILE_INFO* entry) const {
    Lock lock(m_mutex);
    const auto found = m_index.constFind(Key(path));
    if (found == m_index.constEnd())
        return false;
    if (entry)
        *entry = *found.value();
    return true;
}

int QCFileInfoCache::Get(std::vector<std::shared_ptr<TransferInfo>>& out, FILE_STATUS status, int max) const {
    int taken = 0;
    {
        Lock lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end() && taken < max; ++it, ++taken) {
            auto info = std::make_shared<TransferInfo>(base2ui(it->path, *it));
            info->percent = it->percent;
            info->speed = it->speed;
            info->is_download = it->is_download;
            info->local_path = it->local_path;
            if (it->file_status != FILE_STATUS_PAUSE)
                info->status = quint32(status);
            out.push_back(std::move(info));
        }
    }
    std::stable_sort(out.begin(), out.end(), sort_by_transfer_pri_desc);
    return taken;
}

quint32 QCFileInfoCache::Size() const {
    Lock lock(m_mutex);
    return quint32(m_entries.size());
}

quint32 QCFileInfoCache::GetPercent() const {
    Lock lock(m_mutex);
    return m_percent;
}

quint64 QCFileInfoCache::GetUsedTime() const {
    const qint64 start = m_startMs.load();
    if (start == 0)
        return 0;
    return quint64(std::max<qint64>(QCClock::NowMs() - start, 0)) / 1000;
}

quint64 QCFileInfoCache::GetLeftFileSize() const {
    Lock lock(m_mutex);
    return (100 - m_percent) * (m_total + m_finished) / 100;
}

void QCFileInfoCache::UpdatePrecent() {
    Lock lock(m_mutex);
    RecomputeLocked();
}

void QCFileInfoCache::SetUpdatePrecent(bool on) {
    m_updatePercent.store(on);
}

QCFileInfoCache::Entries::iterator QCFileInfoCache::FindLocked(const QString& path) {
    const auto found = m_index.constFind(Key(path));
    return found == m_index.constEnd() ? m_entries.end() : found.value();
}

void QCFileInfoCache::AppendLocked(FILE_INFO record) {
    // The bytes done so far stay done; the new record only grows what is still to do.
    const quint64 done = m_percent * m_total / 100;
    m_total += Weight(record.size);
    m_percent = Percent(done, m_total);
    m_sumSize += record.size;
    m_sumDone += record.done_size;
    const QString key = Key(record.path);
    m_entries.push_back(std::move(record));
    m_index.insert(key, std::prev(m_entries.end()));
    if (m_entries.size() == 1)
        m_startMs.store(QCClock::NowMs());
    if (CoreLog::Enabled())
        CoreDebug("[progress] Add: %s, finish:%s, total= %s", Dotted(m_entries.back().size).constData(),
                  Dotted(m_finished).constData(), Dotted(m_total).constData());
}

void QCFileInfoCache::ReplaceLocked(Entries::iterator it, FILE_INFO record) {
    if (record.finish_time == 0)
        record.finish_time = it->finish_time;
    m_sumSize += record.size - it->size;
    m_sumDone += record.done_size - it->done_size;
    const bool progressed = record.done_size != 0;
    *it = std::move(record);
    if (progressed)
        RecomputeLocked();
}

void QCFileInfoCache::EraseLocked(Entries::iterator it) {
    m_sumSize -= it->size;
    m_sumDone -= it->done_size;
    m_index.remove(Key(it->path));
    m_entries.erase(it);
}

void QCFileInfoCache::RecomputeLocked() {
    if (m_entries.empty()) {
        m_percent = 100;
        return;
    }
    m_total = m_sumSize;
    const quint64 done = m_finished + m_sumDone;
    m_percent = Percent(done, m_sumSize + m_finished);
    if (CoreLog::Enabled())
        CoreDebug("[progress] %s/%s,finish %s = %u%%", Dotted(m_sumDone).constData(),
                  Dotted(m_sumSize).constData(), Dotted(m_finished).constData(), m_percent);
}

bool sort_by_transfer_pri_desc(const std::shared_ptr<TransferInfo>& a,
                               const std::shared_ptr<TransferInfo>& b) {
    if (!a || !b)
        return a && !b;
    if (a->priority != b->priority)
        return a->priority > b->priority;
    return a->sequence > b->sequence;
}
