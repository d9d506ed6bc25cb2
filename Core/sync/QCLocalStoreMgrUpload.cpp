// The engine's side of the block upload: what an upload task asks of it (QCUploadHost), the start
// of the upload of one mirror file, and the pass over the upload queue that drops dirty tasks and
// sends due retries.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Transfer/QCUploadFile.h"
#include "common/CoreLog.h"

#include <QFileInfo>

void QCLocalStoreMgr::RunUploadWork(std::function<void()> work) {
    RunOnPool(std::move(work));
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

bool QCLocalStoreMgr::UploadMirrorFile(const QString& localPath) {
    const QFileInfo info(localPath);
    if (!IsSyncPath(localPath) || !info.isFile())
        return false;
    const QString cloud = GetVirtualPath(localPath);
    if (const TaskPtr running = FindUploading(cloud)) {
        const auto upload = std::dynamic_pointer_cast<QCUploadFile>(running);
        if (!upload || !upload->IsDirtyTask())
            return false;
        if (RemoveTask(running)) // a dirty one goes: the new task hashes the file anew
            running->End();
    }
    FILE_INFO record;
    record.path = cloud;
    record.name = info.fileName();
    record.local_path = localPath;
    record.size = quint64(info.size());
    record.mtime = quint32(info.lastModified().toSecsSinceEpoch());
    record.ctime = record.mtime;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.accountLock);
        record.qid = g_Config.qid;
    }
    auto task = std::make_shared<QCUploadFile>(*this, *this, record);
    AddUploadTask(task);
    NotifyUIEvent(task->GetFileInfo(), 3);
    task->SetNew(false);
    CoreDebug("[upload] start %s", qUtf8Printable(cloud));
    return task->DoSync() == 0;
}

void QCLocalStoreMgr::CheckUploads() {
    std::vector<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        tasks.assign(m_upQueue.begin(), m_upQueue.end());
    }
    for (const TaskPtr& task : tasks) {
        const auto upload = std::dynamic_pointer_cast<QCUploadFile>(task);
        if (!upload)
            continue;
        if (upload->IsDirtyTask()) {
            // A local problem (changed, unreadable, refused as changed): dropped without a
            // result; the next start uploads the file as it is then.
            if (RemoveTask(task))
                task->End();
        } else {
            upload->CheckRetry();
        }
    }
}
