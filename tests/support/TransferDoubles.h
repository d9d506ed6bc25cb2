#pragma once
// Doubles of the transfer side: a task whose start and replies the test scripts, and a host that
// records what tasks report. Shared by the task base's tests and the engine's queue tests.

#include "Transfer/QCSyncFile.h"
#include "Transfer/QCTransferHost.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class TaskDouble : public QCSyncFile {
public:
    TaskDouble(QCTransferHost& host, const FILE_INFO& info, bool isDownload)
        : QCSyncFile(host, info, isDownload) {}
    ~TaskDouble() override { ++destroyed; }

    int DoSync() override {
        ++syncs;
        return onSync ? onSync(*this) : 0;
    }
    void OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) override {
        ++replies;
        if (onReply)
            onReply(*this, command, taskId, reply);
    }
    using QCSyncFile::SetAddNeeded;
    using QCSyncFile::SetNewVersion;
    using QCSyncFile::SetServerCommitted;
    using QCSyncFile::SetServerHave;

    // Set before the task is shared; read on whichever thread starts it or hands it a reply.
    std::function<int(TaskDouble&)> onSync;
    std::function<void(TaskDouble&, int, unsigned, QJsonObject&)> onReply;
    std::atomic<int> syncs{0};
    std::atomic<int> replies{0};
    // Tasks destroyed since the count was last reset.
    static std::atomic<int> destroyed;
};

// A FILE_INFO of a cloud file of `size` bytes at `path`.
FILE_INFO TaskRecord(const QString& path, quint64 size);

class FakeTransferHost : public QCTransferHost {
public:
    struct Result {
        std::shared_ptr<QCSyncFile> task;
        int type = 0;
        unsigned code = 0;
        QString msg;
    };
    void NotifyUIEvent(const FILE_INFO& record, int kind) override;
    void PauseTaskCountAdd(bool isDownload, double weight) override;
    void PauseTaskCountRelease(bool isDownload, double weight) override;
    void PostSyncFileResult(std::shared_ptr<QCSyncFile> task, int type, unsigned code, QString msg) override;

    std::vector<std::pair<FILE_INFO, int>> Events() const;
    std::vector<Result> TakeResults();
    double Paused(bool isDownload) const;

private:
    mutable std::mutex m_lock; // guards everything below
    std::vector<std::pair<FILE_INFO, int>> m_events;
    std::vector<Result> m_results;
    double m_paused[2] = {0, 0};
};
