// The engine's side of the block upload: what an upload task asks of it (QCUploadHost). The change
// pipeline (QCLocalStoreMgrChange.cpp) starts, counts and drops the upload tasks.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/QCUploadFile.h"
#include "common/CoreLog.h"
#include "common/WorkPools.h"

#include <QFileInfo>

void QCLocalStoreMgr::RunUploadWork(std::function<void()> work) {
    RunOnPool(WorkPools::Transfers(), std::move(work));
}

bool QCLocalStoreMgr::UploadCancelled(const QString& cloudPath) const {
    return stoped() || m_cancelMarks.IsSub(cloudPath);
}

double QCLocalStoreMgr::UploadWeight() const {
    std::lock_guard<std::mutex> lock(m_upLock);
    double sum = 0;
    for (const TaskPtr& task : m_upQueue)
        sum += task->Weight();
    return sum;
}
