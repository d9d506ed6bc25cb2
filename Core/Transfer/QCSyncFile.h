#pragma once
// The base of the transfer tasks of one file (the block upload and the block download build on
// it): the task's copy of the file record, the file's blocks, the block requests in flight with
// their request ids, progress and speed, the pause and priority marks, and the end report.
//
// Ownership and threads
// - The engine creates a task and holds it by std::shared_ptr in one of its queues. A pool thread
//   handling a block reply holds a reference of its own while it works on the task, so the task
//   lives as long as anyone uses it, whatever the engine does meanwhile.
// - CompleteMe (any thread) posts the end to the engine (QCTransferHost::PostSyncFileResult); the
//   engine thread takes the task out of its queue and calls End, which does what leaving the
//   queue means: the list entry goes, the requests still in flight are cancelled, a paused weight
//   is released. End runs once, however often it is called. The memory goes with the last
//   reference.
//
// Locks: four mutexes, each guarding one part (record, request ids, blocks, block tasks); never
// two held at once, and none held while the host is called. Flags, counters, ids and the error
// are atomics.

#include "Transfer/QCTransferHost.h"
#include "common/FileInfo.h"
#include "network/TransferRecords.h"

#include <QFile>
#include <QJsonObject>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class NetworkClient;

// The weight of a task of `size` bytes in the transfer budgets: 0.1 .. 1.0, 1.0 from 2 MiB on.
double TaskWeight(quint64 size);

// One block request in flight.
struct BLOCK_TASK {
    quint32 task_id = 0; // the request's id in the request registry
    QString hash;
    quint32 index = 0;
    int status = 0; // 0 processing, anything else finished
    QSharedPointer<NetworkClient> client;
};

class QCSyncFile : public std::enable_shared_from_this<QCSyncFile> {
public:
    QCSyncFile(QCTransferHost& host, const FILE_INFO& info, bool isDownload);
    virtual ~QCSyncFile();
    QCSyncFile(const QCSyncFile&) = delete;
    QCSyncFile& operator=(const QCSyncFile&) = delete;

    // --- What the queues call (the subclasses do the transfer) ---

    // Starts the transfer: 0 started, 1 finished at once (an empty file), 2 could not start (no
    // report is made). Engine thread, no queue lock held.
    virtual int DoSync() = 0;
    // A parsed reply of one of this task's requests. Any thread, no queue lock held.
    virtual void OnSyncInfo(int command, unsigned taskId, QJsonObject& reply) = 0;
    // Whether the next pass of the queue is to (re)start the task.
    bool IsNew() const { return m_new.load(); }
    void SetNew(bool on) { m_new = on; }

    // --- The record (under the record mutex) ---

    FILE_INFO GetFileInfo() const;
    QString GetSvrPath() const;
    quint64 GetFileSize() const;
    void SetDiskName(const QString& localPath);
    QString GetDiskName() const;

    // --- Marks, counters, ids ---

    bool IsDownload() const { return m_isDownload; }
    void SetSyncID(quint32 id) { m_syncId = id; }
    quint32 GetSyncID() const { return m_syncId.load(); }
    bool IsFast() const { return m_fast.load(); }
    bool IsPause() const { return m_paused.load(); }
    quint64 GetServerHave() const { return m_serverHave.load(); }
    quint32 GetNewVersion() const { return m_newVersion.load(); }
    int ErrorType() const { return m_errType.load(); }
    int ErrorCode() const { return m_errCode.load(); }
    double Weight() const { return TaskWeight(GetFileSize()); }

    // --- Requests and blocks ---

    // Registers / forgets the id of a request this task sent.
    void AddRequestId(quint32 id);
    void RemoveRequestId(quint32 id);
    // Whether `id` is one of this task's requests in flight.
    bool IfMyTask(quint32 id) const;
    // The task's request ids, each followed by ",".
    QString GetTaskIDString() const;
    void SetBlocks(std::vector<BLOCK_INFO> blocks);
    bool GetBlockInfo(const QString& hash, BLOCK_INFO& out) const;
    bool TaskIDtoBlockID(quint32 id, QString& hash) const;
    // With a block task of that hash only its status is set; otherwise one is appended.
    void SetBlockTask(const QString& hash, quint32 index, quint32 taskId, int status);
    void ClearBlockTask(const QString& hash);
    // Sets `done` on the first block of that hash (with case) that is not done yet.
    bool SetBlockExist(const QString& hash, bool done);
    // The first block, in list order, that is neither done nor has a block task.
    std::optional<BLOCK_INFO> GetBlockToProc() const;
    int GetProcessingBlocks() const;
    bool IsAllComplete() const;
    // A block request ended well: its block task goes and its block is done. False when the id
    // carries no block task or its block is unknown (nothing is marked then).
    bool CompleteBlockTask(quint32 id);
    // Bytes of a block request so far, clamped to the block's size; ignored while paused.
    void SetBlockTransfered(quint32 id, quint32 bytes);

    // --- Progress and end ---

    // Recomputes the bytes done, percent and speed (`all`: every block counts as done) and
    // reports them to the lists.
    void UpdateSpeed(bool all);
    // Reports the progress to the lists and the index; nothing once the task's end is decided
    // (CompleteMe), so that no late report of a pool thread overwrites what the result sets.
    void UpdateTransferDetail();
    void SetFast();
    // Pausing twice counts the weight once; resuming a task that is not paused releases nothing.
    void Pause();
    void Resume();
    // Cancels the requests in flight and forgets blocks, block tasks and the hosts in use.
    void ClearAll();
    // Ends the task with an error type (0: success), a code and a message: the result goes to
    // the engine thread. Only the first call counts. Any thread.
    void CompleteMe(int type, unsigned code, const QString& msg);
    // What leaving the queue means (see the top of this file). Engine thread; once.
    void End();
    // Whether the task has left the queue. Any thread.
    bool IsEnded() const { return m_ended.load(); }

    // The reply's "errno"; when not 0, `msg` gets its "errmsg".
    static int ParseErr(const QJsonObject& reply, QString& msg);
    // The reply's "data" when it is an object, else an empty object.
    static QJsonObject JsonData(const QJsonObject& reply);

protected:
    // Subclasses set these from the service's answers.
    void SetFileInfo(const FILE_INFO& info);
    void SetServerHave(quint64 bytes) { m_serverHave = bytes; }
    void SetNewVersion(quint32 version) { m_newVersion = version; }
    void SetServerCommitted(bool on) { m_serverCommitted = on; }
    void SetAddNeeded(bool on) { m_addNeeded = on; }
    // Changes the record under its mutex; `edit` must not call back into the task.
    template <class Edit> void EditFileInfo(Edit edit) {
        std::lock_guard<std::mutex> lock(m_infoMutex);
        edit(m_info);
    }
    // Cancels every request id and empties the list; `why` names the occasion in the debug line.
    void CancelRequests(const char* why);

    QCTransferHost& m_host;
    QFile m_file; // the local file of the subclass; closed with the task

    // Guarded by m_hostMutex: the transfer host in use and its address list.
    std::mutex m_hostMutex;
    QString m_hostInUse;
    QString m_addrList;

private:
    // The bytes done, percent and speed, without a report.
    void ComputeSpeed(bool all);
    void ReportProgressLocked(); // m_reportLock held

    const bool m_isDownload;

    mutable std::mutex m_infoMutex; // guards m_info
    FILE_INFO m_info;
    mutable std::mutex m_idMutex; // guards m_taskIds
    std::list<quint32> m_taskIds;
    mutable std::mutex m_blockMutex; // guards m_blocks and m_blockBytes
    std::list<BLOCK_INFO> m_blocks;
    std::map<quint32, quint64> m_blockBytes; // bytes so far of blocks in flight, by block index
    mutable std::mutex m_blockTaskMutex;     // guards m_blockTasks
    std::list<BLOCK_TASK> m_blockTasks;

    // Set once, no lock.
    const qint64 m_startMs;

    std::atomic<quint32> m_syncId{0};
    std::atomic<quint64> m_serverHave{0};
    std::atomic<quint32> m_newVersion{0};
    std::atomic<int> m_errType{0};
    std::atomic<int> m_errCode{0};
    std::atomic<bool> m_completedOk{false};
    // Guards the last progress report against the end: held while a report is made and while
    // CompleteMe decides the end, so that every report comes before the result or not at all.
    std::mutex m_reportLock;
    std::atomic<bool> m_completed{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_serverCommitted{false};
    std::atomic<bool> m_addNeeded{false};
    std::atomic<bool> m_fast{false};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_new{true};
};
