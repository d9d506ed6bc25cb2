#pragma once
// A stand-in for the sync engine as the index sees it (QCCacheHost): a sync folder, a pass counter
// and a status the test sets, user settings from a map, and a record of every notice. With a lock
// to probe, every call that the index must make with its lock released checks, from a thread of
// its own, that the lock is free, and counts the calls that found it held.

#include "cache/QCCacheHost.h"

#include <QMap>
#include <QString>

#include <atomic>
#include <mutex>
#include <vector>

class FakeCacheHost : public QCCacheHost {
public:
    struct Notice {
        FileInfo record;
        bool deleted;
    };

    qint32 PassCounter() const override { return pass.load(); }
    int QueryStatus() const override { return uiStatus.load(); }
    QString SyncFolderPath() const override;
    QString GetVirtualPath(QString localPath) const override;
    QString GetDiskPath(const QString& cloudPath) const override;
    QString ReadUserProfile(const QString& key, const QString& def) const override;
    bool UIEventSendMsg(const FileInfo& record, bool deleted) override;
    void NotifyUIEvent(const FILE_INFO& record, int kind) override;
    void AddToFailedTask(const FILE_INFO& record) override;

    // Probe `lock` on every call made with the index's lock released (null: no probe).
    void ProbeLock(std::recursive_mutex* lock) { m_probe = lock; }
    int HeldCount() const { return m_held.load(); }
    int ProbeCount() const { return m_probes.load(); }

    // Notices so far, and the number of update and delete notices among them.
    std::vector<Notice> Notices() const;
    int Updates() const;
    int Deletes() const;
    std::vector<FILE_INFO> Kind3() const;
    std::vector<FILE_INFO> Failed() const;
    void ClearRecords();

    // Set by the test before the index is used by other threads.
    QString syncFolder = QStringLiteral("/sync");
    QMap<QString, QString> settings;
    std::atomic<qint32> pass{1};
    std::atomic<int> uiStatus{5};

private:
    void Probe() const;

    std::recursive_mutex* m_probe = nullptr;
    mutable std::atomic<int> m_held{0};
    mutable std::atomic<int> m_probes{0};

    mutable std::mutex m_lock; // guards the records below
    std::vector<Notice> m_notices;
    std::vector<FILE_INFO> m_kind3;
    std::vector<FILE_INFO> m_failed;
};
