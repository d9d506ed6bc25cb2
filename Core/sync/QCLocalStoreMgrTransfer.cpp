// The transfer queues: downloads started within a budget, replies routed to their task, pause,
// resume, priority and cancel requests, and the transfer lists.
//
// Each queue holds its tasks by std::shared_ptr. Its mutex guards lookups, insertions and
// removals only: whoever calls into a task (a pass starting downloads, a pool thread handing a
// reply on, a pause request) finds it under the mutex, takes a reference, releases the mutex and
// then calls. A task's end reaches the engine thread as a posted result (QCLocalStoreMgrResult.cpp).
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "Transfer/QCDownloadFile.h"
#include "common/CoreLog.h"
#include "common/QCClock.h"
#include "common/WorkPools.h"
#include "network/CmdTable.h"
#include "network/QCRequestCommon.h"

#include <QFileInfo>

#include <algorithm>
#include <set>

namespace {

using TaskPtr = QCLocalStoreMgr::TaskPtr;

TaskPtr FindByPathLocked(const std::list<TaskPtr>& queue, const QString& cloudPath) {
    for (const TaskPtr& task : queue) {
        if (task->GetSvrPath().compare(cloudPath, Qt::CaseInsensitive) == 0)
            return task;
    }
    return nullptr;
}

TaskPtr FindByRequestLocked(const std::list<TaskPtr>& queue, unsigned id, bool skipPaused) {
    for (const TaskPtr& task : queue) {
        if ((!skipPaused || !task->IsPause()) && task->IfMyTask(id))
            return task;
    }
    return nullptr;
}

} // namespace

void QCLocalStoreMgr::SetDownloadFactory(DownloadFactory factory) {
    if (!factory)
        factory = [this](const FILE_INFO& record) { return std::make_shared<QCDownloadFile>(*this, record); };
    m_downloadFactory = std::move(factory);
}

bool QCLocalStoreMgr::AddDownloadTask(const FILE_INFO& record) {
    if (!m_downloadFactory)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        if (m_downPaths.count(PathIndex(record.path)))
            return true; // already on its way
    }
    TaskPtr task = m_downloadFactory(record);
    if (!task)
        return false;
    std::lock_guard<std::mutex> lock(m_downLock);
    m_downQueue.push_back(task);
    m_downPaths[PathIndex(record.path)] = 0;
    return true;
}

void QCLocalStoreMgr::AddUploadTask(const TaskPtr& task) {
    std::lock_guard<std::mutex> lock(m_upLock);
    m_upQueue.push_back(task);
    m_upPaths[PathIndex(task->GetSvrPath())] = 0;
}

size_t QCLocalStoreMgr::DownloadCount() const {
    std::lock_guard<std::mutex> lock(m_downLock);
    return m_downQueue.size();
}

size_t QCLocalStoreMgr::UploadCount() const {
    std::lock_guard<std::mutex> lock(m_upLock);
    return m_upQueue.size();
}

bool QCLocalStoreMgr::RemoveTask(const TaskPtr& task) {
    std::mutex& mutex = task->IsDownload() ? m_downLock : m_upLock;
    std::list<TaskPtr>& queue = task->IsDownload() ? m_downQueue : m_upQueue;
    std::map<PathIndex, int>& paths = task->IsDownload() ? m_downPaths : m_upPaths;
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = std::find(queue.begin(), queue.end(), task);
    if (it == queue.end())
        return false;
    queue.erase(it);
    paths.erase(PathIndex(task->GetSvrPath()));
    return true;
}

void QCLocalStoreMgr::EndAllTransfers() {
    std::list<TaskPtr> tasks;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        tasks.swap(m_downQueue);
        m_downPaths.clear();
        m_downSizes.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        tasks.splice(tasks.end(), m_upQueue);
        m_upPaths.clear();
    }
    if (!tasks.empty())
        CoreDebug("[tasks] %lu transfers ended", static_cast<unsigned long>(tasks.size()));
    for (const TaskPtr& task : tasks) {
        task->ClearAll();
        if (task->IsDownload())
            KeepCopyRequest(*task);
        task->End();
    }
    m_downWeight = 0;
}

// A copy to a folder outside was asked for by the user and is made once: ended by a stop (or a
// restart), it is asked for again and goes on from its temporary file once downloads may run. The
// user's cancel or a logout ends it for good. Downloads into the mirror stay requested anyway.
void QCLocalStoreMgr::KeepCopyRequest(const QCSyncFile& task) {
    const QString target = task.GetDiskName();
    if (target.isEmpty() || IsSyncPath(target))
        return;
    DOWNLOAD_REQUEST again;
    again.path = GetDiskPath(task.GetSvrPath());
    again.target = QFileInfo(target).path();
    m_deferredCopies.push_back(again);
    m_downList.UpdateStatus(task.GetSvrPath(), quint32(FILE_STATUS_PAUSE)); // its row stays while stopped
}

// --- The download pass ---------------------------------------------------------------------------

double QCLocalStoreMgr::DownloadBudget() const {
    // Both under the settings lock, as the upload budget reads its values: a test (or a later
    // setting) may change them while the engine runs.
    std::shared_lock<std::shared_mutex> lock(g_Config.settingsLock);
    const double budget = g_Config.tasks_down;
    return budget > 0 ? budget : double(g_Config.max_download_req);
}

void QCLocalStoreMgr::SizeTransferPool() {
    WorkPools::SizeTransfers(UploadBudget() + GetUpPauseTaskCount(),
                             DownloadBudget() + GetDownPauseTaskCount());
}

void QCLocalStoreMgr::ExecDownloadTask() {
    if (stoped())
        return;
    const double budget = DownloadBudget() + GetDownPauseTaskCount();

    // Picked under the lock, started outside it: a task's start may wait on the pool.
    std::vector<TaskPtr> toStart;
    std::vector<std::shared_ptr<QCDownloadFile>> running;
    double used = 0;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        const bool anyFast = std::any_of(m_downQueue.begin(), m_downQueue.end(),
                                         [](const TaskPtr& task) { return task->IsFast(); });
        for (const TaskPtr& task : m_downQueue) {
            if (used >= budget)
                break;
            if (task->IsPause())
                continue;
            if (!task->IsNew()) {
                used += task->Weight(); // running
                if (const auto download = std::dynamic_pointer_cast<QCDownloadFile>(task))
                    running.push_back(download);
                continue;
            }
            if (anyFast && !task->IsFast())
                continue;
            m_downSizes[task->GetDiskName()] = task->GetFileSize();
            task->SetNew(false);
            used += task->Weight();
            toStart.push_back(task);
        }
    }
    for (const auto& download : running)
        download->CheckRetry(); // blocks whose pause after a failed exchange has passed
    for (const TaskPtr& task : toStart) {
        if (stoped())
            return;
        const int started = task->DoSync();
        if (started == 0)
            continue;
        used -= task->Weight();
        if (!RemoveTask(task))
            continue; // ended meanwhile
        if (started == 2) {
            task->End(); // the empty file could not be made: dropped without a report
            continue;
        }
        // An empty file, finished at once.
        FILE_INFO record = task->GetFileInfo();
        const QString localPath = task->GetDiskName();
        const QString diskPath = GetDiskPath(record.path);
        record.percent = 100;
        RecordFinishedDownload(record, diskPath, localPath);
        const bool listed = task->GetFileInfo().percent == 100; // End puts it on the finished list
        task->End();
        if (!listed)
            AddToFinishTask(record);
    }
    m_downWeight = used;

    // The download phase ends when both queues are empty; an error shown stays shown.
    if (m_status.load() == LOCAL_STATUS_CHECK_CLOUD && DownloadCount() == 0 && UploadCount() == 0 &&
        !m_downloadBusyForTests) {
        CoreDebug("[CompareCloud] finish.");
        m_downPhaseEndMs = QCClock::NowMs();
        ChangeStatus(LOCAL_STATUS_CHECK_OFFLINE, true);
    }
}

// --- Replies -------------------------------------------------------------------------------------

void QCLocalStoreMgr::ProcDownloadFile(int command, unsigned int id, QJsonObject& reply) {
    if (stoped())
        return;
    TaskPtr task;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        task = FindByRequestLocked(m_downQueue, id, true);
    }
    if (!task) {
        CoreDebug("[orphan] ProcDownloadFile cmd:%s, taskid:%u", qUtf8Printable(GetCmdString(command)), id);
        return;
    }
    task->OnSyncInfo(command, id, reply);
}

void QCLocalStoreMgr::ProcUploadFile(int command, unsigned int id, QJsonObject& reply) {
    if (stoped())
        return;
    TaskPtr task;
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        task = FindByRequestLocked(m_upQueue, id, true);
    }
    if (task)
        task->OnSyncInfo(command, id, reply);
    else
        CoreDebug("[orphan] ProcUploadFile cmd:%s, taskid:%u", qUtf8Printable(GetCmdString(command)), id);
    TriggerTimerEvent();
}

bool QCLocalStoreMgr::IsOrphanTask(unsigned int id) {
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        if (FindByRequestLocked(m_downQueue, id, false))
            return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_upLock);
        if (FindByRequestLocked(m_upQueue, id, false))
            return false;
    }
    std::lock_guard<std::mutex> lock(m_changeIdLock);
    return m_changeIds.count(id) == 0;
}

void QCLocalStoreMgr::SetChangeRequestId(unsigned id, bool on) {
    std::lock_guard<std::mutex> lock(m_changeIdLock);
    if (on)
        m_changeIds.insert(id);
    else
        m_changeIds.erase(id);
}

// --- Lookups -------------------------------------------------------------------------------------

QCLocalStoreMgr::TaskPtr QCLocalStoreMgr::FindDownloading(const QString& cloudPath) const {
    std::lock_guard<std::mutex> lock(m_downLock);
    return FindByPathLocked(m_downQueue, cloudPath);
}

QCLocalStoreMgr::TaskPtr QCLocalStoreMgr::FindUploading(const QString& cloudPath) const {
    std::lock_guard<std::mutex> lock(m_upLock);
    return FindByPathLocked(m_upQueue, cloudPath);
}

bool QCLocalStoreMgr::IsFileDownloading(const QString& cloudPath) const {
    std::lock_guard<std::mutex> lock(m_downLock);
    return m_downPaths.count(PathIndex(cloudPath)) > 0;
}

bool QCLocalStoreMgr::IsFileUploading(const QString& cloudPath) const {
    std::lock_guard<std::mutex> lock(m_upLock);
    return m_upPaths.count(PathIndex(cloudPath)) > 0;
}

quint64 QCLocalStoreMgr::GetUpListAverSize() const {
    std::lock_guard<std::mutex> lock(m_upLock);
    if (m_upQueue.empty())
        return 0;
    quint64 sum = 0;
    for (const TaskPtr& task : m_upQueue)
        sum += task->GetFileSize();
    return sum / m_upQueue.size();
}

quint64 QCLocalStoreMgr::GetDownListAverSize() const {
    std::lock_guard<std::mutex> lock(m_downLock);
    if (m_downSizes.empty())
        return 0;
    quint64 sum = 0;
    for (const auto& entry : m_downSizes)
        sum += entry.second;
    return sum / m_downSizes.size();
}

// --- User requests -------------------------------------------------------------------------------

namespace {

bool UploadPhase(LOCAL_STATUS status) {
    return status == LOCAL_STATUS_CHECK_OFFLINE || status == LOCAL_STATUS_MONITOR;
}

} // namespace

void QCLocalStoreMgr::UpdateTaskStatus(const QString& cloudPath, FILE_STATUS status, bool upload) {
    m_cache.ChangeFileStatus(GetDiskPath(cloudPath), status, true);
    (upload ? m_upList : m_downList).UpdateStatus(cloudPath, quint32(status));
}

// The phase names the queue searched first; a download fetched on the user's request also runs
// in the upload phase, so the other queue is searched when the first holds no such task.
QCLocalStoreMgr::TaskPtr QCLocalStoreMgr::FindTask(const QString& cloudPath, bool& upload) const {
    upload = UploadPhase(m_status.load());
    for (int pass = 0; pass < 2; ++pass, upload = !upload) {
        if (TaskPtr task = upload ? FindUploading(cloudPath) : FindDownloading(cloudPath))
            return task;
    }
    return nullptr;
}

void QCLocalStoreMgr::ProcPauseTask(const QString& cloudPath) {
    bool upload = false;
    const TaskPtr task = FindTask(cloudPath, upload);
    // An upload whose commit is under way has all its bytes with the service: a pause would
    // cancel the commit the service may already have carried out, and leave the finished file
    // paused. It ends in a moment instead.
    if (task && upload && !RefreshSupportCancelUpload(cloudPath)) {
        CoreDebug("[upload] %s: committing, not paused", qUtf8Printable(cloudPath));
    } else if (task) {
        task->Pause();
        if (!upload)
            task->SetNew(true); // starts afresh when resumed
        UpdateTaskStatus(cloudPath, FILE_STATUS_PAUSE, upload);
    }
    TriggerTimerEvent();
}

void QCLocalStoreMgr::ProcResumeTask(const QString& cloudPath) {
    bool upload = false;
    const TaskPtr task = FindTask(cloudPath, upload);
    if (!task)
        return;
    task->SetNew(true); // before it is unpaused: a step of the paused run must never see neither
    task->Resume();
    UpdateTaskStatus(cloudPath, upload ? FILE_STATUS_UPING : FILE_STATUS_DOWNING, upload);
}

void QCLocalStoreMgr::ProcFastTransfer(const QString& localPath) {
    if (UploadPhase(m_status.load()))
        SetFastUpload(localPath);
    else
        SetFastDownload(localPath);
}

void QCLocalStoreMgr::SetFastDownload(const QString& localPath) {
    const QString cloud = GetVirtualPath(localPath);
    TaskPtr chosen;
    std::vector<TaskPtr> others;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        for (auto it = m_downQueue.begin(); it != m_downQueue.end();) {
            const TaskPtr& task = *it;
            if (task->IsFast()) {
                ++it;
            } else if (task->GetSvrPath().compare(cloud, Qt::CaseInsensitive) == 0) {
                chosen = task;
                ++it;
            } else {
                others.push_back(task);
                it = m_downQueue.erase(it);
            }
        }
    }
    if (chosen) {
        CoreDebug("[FastDown] %s", qUtf8Printable(cloud));
        chosen->SetFast();
    }
    // Every other download that is not itself prioritised starts again from the queue's tail.
    if (!others.empty()) {
        m_downList.SetUpdatePrecent(false);
        for (const TaskPtr& task : others) {
            task->ClearAll();
            task->SetNew(true);
        }
        {
            std::lock_guard<std::mutex> lock(m_downLock);
            m_downQueue.insert(m_downQueue.end(), others.begin(), others.end());
        }
        m_downList.SetUpdatePrecent(true);
        m_downList.UpdatePrecent();
    }
    ExecDownloadTask();
}

void QCLocalStoreMgr::SetFastUpload(const QString& localPath) {
    // Moving the change item forward is the change pipeline's; here the running upload gets
    // priority.
    const TaskPtr task = FindUploading(GetVirtualPath(localPath));
    if (task) {
        task->SetFast();
        CoreDebug("[FastUpload] Priority: %s", qUtf8Printable(localPath));
    } else {
        CoreDebug("[FastUpload] Not Found task: %s", qUtf8Printable(localPath));
    }
}

void QCLocalStoreMgr::CancelAllTask() {
    // Each download ends as its row's cancel ends it, its temporary file with it: a partial file
    // left in the user's folder would look like the download.
    QCSyncDB::BeginTransaction();
    m_downList.SetUpdatePrecent(false);
    if (EndDownloadsBelow(QStringLiteral("/"), true) != 0)
        m_recheck = 1;
    m_downList.SetUpdatePrecent(true);
    m_downList.UpdatePrecent();
    QCSyncDB::Commit();
    QCSyncDB::BeginTransaction();
    m_requestedDowns.Clear();
    m_deferredCopies.clear();
    m_view.FlushCurrentView();
}

void QCLocalStoreMgr::CancelUpload(const QString& localPath) {
    const QString cloud = GetVirtualPath(localPath);
    m_upCancelList.Add(cloud);
    TriggerTimerEvent();
    m_cancelMarks.Set(cloud, true);
}

// --- Paused weights ------------------------------------------------------------------------------

void QCLocalStoreMgr::PauseTaskCountAdd(bool isDownload, double weight) {
    std::lock_guard<std::mutex> lock(isDownload ? m_downPauseLock : m_upPauseLock);
    (isDownload ? m_downPaused : m_upPaused) += weight;
}

void QCLocalStoreMgr::PauseTaskCountRelease(bool isDownload, double weight) {
    std::lock_guard<std::mutex> lock(isDownload ? m_downPauseLock : m_upPauseLock);
    double& paused = isDownload ? m_downPaused : m_upPaused;
    paused = std::max(0.0, paused - weight);
}

double QCLocalStoreMgr::GetDownPauseTaskCount() const {
    std::lock_guard<std::mutex> lock(m_downPauseLock);
    return m_downPaused;
}

double QCLocalStoreMgr::GetUpPauseTaskCount() const {
    std::lock_guard<std::mutex> lock(m_upPauseLock);
    return m_upPaused;
}

// --- The transfer lists --------------------------------------------------------------------------

void QCLocalStoreMgr::NotifyUIEvent(const FILE_INFO& record, int kind) {
    switch (kind) {
    case 0:
    case 2:
        m_downList.Update(record);
        break;
    case 3:
    case 5:
        m_upList.Update(record);
        break;
    case 1:
    case 4:
        if (m_status.load() == LOCAL_STATUS_STOP)
            break;
        (kind == 1 ? m_downList : m_upList).Del(record);
        if (record.percent == 100)
            AddToFinishTask(record);
        break;
    default:
        break;
    }
    if (kind == 5)
        m_cache.UpdateProgress(record, record.done_size, FILE_STATUS_UPING);
    else if (kind == 2)
        m_cache.UpdateProgress(record, record.done_size, FILE_STATUS_DOWNING);
    m_runningPassCount = 1;
}

void QCLocalStoreMgr::AddToFailedTask(const FILE_INFO& record) {
    m_failedList.Update(record);
}

void QCLocalStoreMgr::CleanTempFiles() {
    const QString drop = GetDropPath();
    if (drop.isEmpty())
        return;
    std::set<QString> owned;
    {
        std::lock_guard<std::mutex> lock(m_downLock);
        for (const TaskPtr& task : m_downQueue)
            if (const auto download = std::dynamic_pointer_cast<QCDownloadFile>(task))
                owned.insert(QFileInfo(download->GetTempName()).absoluteFilePath());
    }
    QStringList files;
    const QString root = GetRootPath();
    SafePath::ListFiles(root, QFileInfo(drop).absoluteFilePath(), files);
    for (const QString& file : files) {
        if (owned.count(file) == 0)
            SafePath::Remove(root, file);
    }
}

QString QCLocalStoreMgr::FindSameHash(const FILE_INFO& record) {
    if (record.size == 0 || record.file_hash.isEmpty())
        return QString();
    FILE_INFO row;
    if (!QCSyncDB::GetFileInfoByHash(record.file_hash, row) || row.size != record.size)
        return QString();
    const QString path = GetDiskPath(row.path);
    const LocalStat here = StampOf(path);
    const bool unchanged = here.is_file && here.size == row.size && here.Mtime() == row.mtime;
    return unchanged ? path : QString();
}

QString QCLocalStoreMgr::MatchCopySource(const FILE_INFO& record) {
    return m_copySources.MatchSource(record.path, record.mtime, record.ctime, record.size);
}

void QCLocalStoreMgr::SetCopySource(const FILE_INFO& record, const QString& localPath) {
    if (localPath.isEmpty())
        m_copySources.Erase(record.path);
    else if (MatchCopySource(record).isEmpty())
        m_copySources.SetSource(record.path, localPath);
}
