#include "support/TransferDoubles.h"

std::atomic<int> TaskDouble::destroyed{0};

FILE_INFO TaskRecord(const QString& path, quint64 size) {
    FILE_INFO record;
    record.path = path;
    record.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    record.size = size;
    record.mtime = 1700000000;
    record.ctime = record.mtime;
    record.version = 1;
    return record;
}

void FakeTransferHost::NotifyUIEvent(const FILE_INFO& record, int kind) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.emplace_back(record, kind);
}

void FakeTransferHost::PauseTaskCountAdd(bool isDownload, double weight) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_paused[isDownload ? 1 : 0] += weight;
}

void FakeTransferHost::PauseTaskCountRelease(bool isDownload, double weight) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_paused[isDownload ? 1 : 0] -= weight;
}

void FakeTransferHost::PostSyncFileResult(std::shared_ptr<QCSyncFile> task, int type, unsigned code,
                                          QString msg) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_results.push_back({std::move(task), type, code, std::move(msg)});
}

std::vector<std::pair<FILE_INFO, int>> FakeTransferHost::Events() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

std::vector<FakeTransferHost::Result> FakeTransferHost::TakeResults() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Result> taken;
    taken.swap(m_results);
    return taken;
}

double FakeTransferHost::Paused(bool isDownload) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_paused[isDownload ? 1 : 0];
}
