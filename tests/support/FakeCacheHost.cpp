#include "support/FakeCacheHost.h"

#include "common/PathUtils.h"

#include <thread>

void FakeCacheHost::Probe() const {
    if (!m_probe)
        return;
    ++m_probes;
    // A recursive lock: only another thread can tell whether it is held.
    std::thread([this] {
        if (m_probe->try_lock())
            m_probe->unlock();
        else
            ++m_held;
    }).join();
}

QString FakeCacheHost::SyncFolderPath() const {
    Probe();
    return syncFolder;
}

QString FakeCacheHost::GetVirtualPath(QString localPath) const {
    Probe();
    if (syncFolder.isEmpty() || !IsSubPath(syncFolder, localPath))
        return localPath;
    return localPath.mid(syncFolder.size());
}

QString FakeCacheHost::GetDiskPath(const QString& cloudPath) const {
    Probe();
    return syncFolder.isEmpty() ? QString() : MyCombinePath(syncFolder, cloudPath);
}

QString FakeCacheHost::ReadUserProfile(const QString& key, const QString& def) const {
    Probe();
    return settings.value(key, def);
}

bool FakeCacheHost::UIEventSendMsg(const FileInfo& record, bool deleted) {
    Probe();
    std::lock_guard<std::mutex> lock(m_lock);
    m_notices.push_back(Notice{record, deleted});
    return true;
}

void FakeCacheHost::NotifyUIEvent(const FILE_INFO& record, int kind) {
    Probe();
    std::lock_guard<std::mutex> lock(m_lock);
    if (kind == 3)
        m_kind3.push_back(record);
}

void FakeCacheHost::AddToFailedTask(const FILE_INFO& record) {
    Probe();
    std::lock_guard<std::mutex> lock(m_lock);
    m_failed.push_back(record);
}

std::vector<FakeCacheHost::Notice> FakeCacheHost::Notices() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notices;
}

int FakeCacheHost::Updates() const {
    int n = 0;
    for (const Notice& notice : Notices())
        n += notice.deleted ? 0 : 1;
    return n;
}

int FakeCacheHost::Deletes() const {
    return int(Notices().size()) - Updates();
}

std::vector<FILE_INFO> FakeCacheHost::Kind3() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_kind3;
}

std::vector<FILE_INFO> FakeCacheHost::Failed() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_failed;
}

void FakeCacheHost::ClearRecords() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_notices.clear();
    m_kind3.clear();
    m_failed.clear();
}
