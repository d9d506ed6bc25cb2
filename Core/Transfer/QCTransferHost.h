#pragma once
// What a transfer task needs of the sync engine. The engine implements it and hands itself to the
// tasks it creates; the transfer library never links the engine. Tests use a fake.
//
// Threads: any thread may call every operation (block replies are handled on pool threads). None
// of them is called with a lock of the task held.

#include "common/FileInfo.h"

#include <QString>

#include <memory>

class QCSyncFile;

class QCTransferHost {
public:
    virtual ~QCTransferHost() = default;

    // A change of the task's entry in the transfer lists: kinds 0..2 downloads (added, removed,
    // progress), 3..5 uploads (the same).
    virtual void NotifyUIEvent(const FILE_INFO& record, int kind) = 0;
    // The weight of paused tasks of one side, which raises that side's budget.
    virtual void PauseTaskCountAdd(bool isDownload, double weight) = 0;
    virtual void PauseTaskCountRelease(bool isDownload, double weight) = 0;
    // The end of a task: handed to the engine thread, which takes the task out of its queue and
    // brings the index, the journal and the lists up to date. The engine holds `task` until then.
    virtual void PostSyncFileResult(std::shared_ptr<QCSyncFile> task, int type, unsigned code,
                                    QString msg) = 0;
};
