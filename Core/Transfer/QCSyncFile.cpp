#include "Transfer/QCSyncFile.h"

#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/QCClock.h"
#include "network/QCRequestCommon.h"

#include <QJsonValue>

#include <algorithm>

namespace {

// Kinds of list changes (see QCTransferHost::NotifyUIEvent).
constexpr int kDownRemoved = 1;
constexpr int kDownProgress = 2;
constexpr int kUpRemoved = 4;
constexpr int kUpProgress = 5;

} // namespace

double TaskWeight(quint64 size) {
    return std::max(0.1, std::min(1.0, double(size) / 2097152.0));
}

QCSyncFile::QCSyncFile(QCTransferHost& host, const FILE_INFO& info, bool isDownload)
    : m_host(host), m_isDownload(isDownload), m_info(info), m_startMs(QCClock::NowMs()) {}

QCSyncFile::~QCSyncFile() = default;

FILE_INFO QCSyncFile::GetFileInfo() const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    return m_info;
}

QString QCSyncFile::GetSvrPath() const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    return m_info.path;
}

quint64 QCSyncFile::GetFileSize() const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    return m_info.size;
}

void QCSyncFile::SetFileInfo(const FILE_INFO& info) {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    m_info = info;
}

void QCSyncFile::SetDiskName(const QString& localPath) {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    m_info.local_path = localPath;
}

QString QCSyncFile::GetDiskName() const {
    std::lock_guard<std::mutex> lock(m_infoMutex);
    return m_info.local_path;
}

// --- Requests and blocks ---------------------------------------------------------------------------

void QCSyncFile::AddRequestId(quint32 id) {
    std::lock_guard<std::mutex> lock(m_idMutex);
    m_taskIds.push_back(id);
}

void QCSyncFile::RemoveRequestId(quint32 id) {
    std::lock_guard<std::mutex> lock(m_idMutex);
    m_taskIds.remove(id);
}

bool QCSyncFile::IfMyTask(quint32 id) const {
    std::lock_guard<std::mutex> lock(m_idMutex);
    return std::find(m_taskIds.begin(), m_taskIds.end(), id) != m_taskIds.end();
}

QString QCSyncFile::GetTaskIDString() const {
    std::lock_guard<std::mutex> lock(m_idMutex);
    QString text;
    for (const quint32 id : m_taskIds)
        text += QString::number(id) + QLatin1Char(',');
    return text;
}

void QCSyncFile::SetBlocks(std::vector<BLOCK_INFO> blocks) {
    std::lock_guard<std::mutex> lock(m_blockMutex);
    m_blocks.assign(std::make_move_iterator(blocks.begin()), std::make_move_iterator(blocks.end()));
    m_blockBytes.clear();
}

bool QCSyncFile::GetBlockInfo(const QString& hash, BLOCK_INFO& out) const {
    std::lock_guard<std::mutex> lock(m_blockMutex);
    const auto it =
        std::find_if(m_blocks.begin(), m_blocks.end(), [&](const BLOCK_INFO& b) { return b.bhash == hash; });
    if (it == m_blocks.end())
        return false;
    out = *it;
    return true;
}

bool QCSyncFile::TaskIDtoBlockID(quint32 id, QString& hash) const {
    std::lock_guard<std::mutex> lock(m_blockTaskMutex);
    for (const BLOCK_TASK& task : m_blockTasks) {
        if (task.task_id == id) {
            hash = task.hash;
            return true;
        }
    }
    return false;
}

void QCSyncFile::SetBlockTask(const QString& hash, quint32 index, quint32 taskId, int status) {
    std::lock_guard<std::mutex> lock(m_blockTaskMutex);
    for (BLOCK_TASK& task : m_blockTasks) {
        if (task.hash == hash) {
            task.status = status;
            return;
        }
    }
    BLOCK_TASK task;
    task.task_id = taskId;
    task.hash = hash;
    task.index = index;
    task.status = status;
    m_blockTasks.push_back(task);
}

void QCSyncFile::ClearBlockTask(const QString& hash) {
    std::lock_guard<std::mutex> lock(m_blockTaskMutex);
    const auto it = std::find_if(m_blockTasks.begin(), m_blockTasks.end(),
                                 [&](const BLOCK_TASK& t) { return t.hash == hash; });
    if (it != m_blockTasks.end())
        m_blockTasks.erase(it);
}

bool QCSyncFile::SetBlockExist(const QString& hash, bool done) {
    std::lock_guard<std::mutex> lock(m_blockMutex);
    for (BLOCK_INFO& block : m_blocks) {
        if (!block.found && block.bhash == hash) {
            block.found = done;
            return true;
        }
    }
    return false;
}

std::optional<BLOCK_INFO> QCSyncFile::GetBlockToProc() const {
    std::vector<QString> running;
    {
        std::lock_guard<std::mutex> lock(m_blockTaskMutex);
        for (const BLOCK_TASK& task : m_blockTasks)
            running.push_back(task.hash);
    }
    std::lock_guard<std::mutex> lock(m_blockMutex);
    for (const BLOCK_INFO& block : m_blocks) {
        if (!block.found && std::find(running.begin(), running.end(), block.bhash) == running.end())
            return block;
    }
    return std::nullopt;
}

int QCSyncFile::GetProcessingBlocks() const {
    std::lock_guard<std::mutex> lock(m_blockTaskMutex);
    return int(std::count_if(m_blockTasks.begin(), m_blockTasks.end(),
                             [](const BLOCK_TASK& t) { return t.status == 0; }));
}

bool QCSyncFile::IsAllComplete() const {
    std::lock_guard<std::mutex> lock(m_blockMutex);
    return std::all_of(m_blocks.begin(), m_blocks.end(), [](const BLOCK_INFO& b) { return b.found; });
}

bool QCSyncFile::CompleteBlockTask(quint32 id) {
    UpdateSpeed(false);
    QString hash;
    quint32 index = 0;
    {
        std::lock_guard<std::mutex> lock(m_blockTaskMutex);
        const auto it = std::find_if(m_blockTasks.begin(), m_blockTasks.end(),
                                     [id](const BLOCK_TASK& t) { return t.task_id == id; });
        if (it == m_blockTasks.end()) {
            CoreDebug("[upload][%u] block error, invalid taskid:%u name:%s", id, id,
                      qUtf8Printable(GetSvrPath()));
            return false;
        }
        hash = it->hash;
        index = it->index;
        m_blockTasks.erase(it);
    }
    std::lock_guard<std::mutex> lock(m_blockMutex);
    for (BLOCK_INFO& block : m_blocks) {
        if (block.bidx == index && block.bhash.compare(hash, Qt::CaseInsensitive) == 0) {
            block.found = true;
            CoreDebug("[upload][%u] block ok, hash:%s index %u", id, qUtf8Printable(hash), index);
            return true;
        }
    }
    return false;
}

void QCSyncFile::SetBlockTransfered(quint32 id, quint32 bytes) {
    if (IsPause())
        return;
    QString hash;
    if (!TaskIDtoBlockID(id, hash)) {
        CoreDebug("[upload][%u] block error, invalid taskid:%u", id, id);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_blockMutex);
        const auto it = std::find_if(m_blocks.begin(), m_blocks.end(),
                                     [&](const BLOCK_INFO& b) { return b.bhash == hash; });
        if (it == m_blocks.end()) {
            CoreDebug("[upload][%u] block error, invalid block:%s", id, qUtf8Printable(hash));
            return;
        }
        m_blockBytes[it->bidx] = std::min<quint64>(bytes, it->bsize);
    }
    UpdateSpeed(false);
}

// --- Progress and end --------------------------------------------------------------------------------

void QCSyncFile::UpdateSpeed(bool all) {
    // A paused task moves no bytes, and its block lists are cleared: a block that ends after the
    // pause would count nothing done, and the row of a half-done task would read 0 bytes.
    if (IsPause())
        return;
    ComputeSpeed(all);
    UpdateTransferDetail();
}

void QCSyncFile::ComputeSpeed(bool all) {
    quint64 sum = 0;
    {
        std::lock_guard<std::mutex> lock(m_blockMutex);
        for (const BLOCK_INFO& block : m_blocks)
            if (block.found || all)
                sum += block.bsize;
            else if (const auto bytes = m_blockBytes.find(block.bidx); bytes != m_blockBytes.end())
                sum += bytes->second;
    }
    {
        std::lock_guard<std::mutex> lock(m_infoMutex);
        sum = std::min(sum, m_info.size);
        m_info.done_size = sum;
        const qint64 elapsed = QCClock::NowMs() - m_startMs;
        if (!m_serverCommitted && !m_addNeeded && !all) {
            if (m_info.size != 0) {
                m_info.percent = quint32(sum * 100 / m_info.size);
                if (m_info.percent == 0 && sum != 0)
                    m_info.percent = 1;
            }
            const quint64 have = m_serverHave.load();
            if (have != 0 && have <= sum)
                sum -= have;
            m_info.speed = elapsed <= 0 ? 512 : quint32(sum / quint64(elapsed));
        } else {
            m_info.percent = 100;
            if (m_serverCommitted)
                m_info.speed = 0;
        }
    }
}

void QCSyncFile::UpdateTransferDetail() {
    std::lock_guard<std::mutex> lock(m_reportLock);
    if (m_ended.load() || m_completed.load())
        return; // a late report would bring an ended task's entry back or undo its result
    ReportProgressLocked();
}

void QCSyncFile::ReportProgressLocked() {
    m_host.NotifyUIEvent(GetFileInfo(), m_isDownload ? kDownProgress : kUpProgress);
}

void QCSyncFile::SetFast() {
    {
        std::lock_guard<std::mutex> lock(m_infoMutex);
        m_info.priority = 1;
    }
    m_fast = true;
    UpdateTransferDetail();
}

void QCSyncFile::Pause() {
    if (!m_paused.exchange(true))
        m_host.PauseTaskCountAdd(m_isDownload, Weight());
    ClearAll();
}

void QCSyncFile::Resume() {
    if (m_paused.exchange(false))
        m_host.PauseTaskCountRelease(m_isDownload, Weight());
}

void QCSyncFile::CancelRequests(const char* why) {
    std::list<quint32> ids;
    {
        std::lock_guard<std::mutex> lock(m_idMutex);
        ids.swap(m_taskIds);
    }
    if (ids.empty())
        return;
    QString list;
    for (const quint32 id : ids) {
        QCRequestCommon::GetInstance()->CancelTask(id);
        list += QString::number(id) + QLatin1Char(' ');
    }
    CoreDebug("[%s] %s cancel list:%s", why, qUtf8Printable(GetSvrPath()), qUtf8Printable(list));
}

void QCSyncFile::ClearAll() {
    CancelRequests("tasks");
    {
        std::lock_guard<std::mutex> lock(m_blockMutex);
        m_blocks.clear();
        m_blockBytes.clear();
    }
    {
        std::lock_guard<std::mutex> lock(m_blockTaskMutex);
        m_blockTasks.clear();
    }
    std::lock_guard<std::mutex> lock(m_hostMutex);
    m_hostInUse.clear();
    m_addrList.clear();
}

void QCSyncFile::CompleteMe(int type, unsigned code, const QString& msg) {
    {
        std::lock_guard<std::mutex> lock(m_reportLock);
        if (m_completed.load())
            return; // the first end counts: a late block error after the end changes nothing
        m_errType = type;
        m_errCode = int(code);
        if (type == 0)
            m_completedOk = true;
        ComputeSpeed(false);
        if (!m_ended.load())
            ReportProgressLocked(); // the last report, before the result is posted
        m_completed = true;
    }
    if (code == 2007)
        type = SYNC_ERROR::CloudFull;
    else if (code >= 81001 && code <= 81004)
        type = SYNC_ERROR::NoPerm;
    m_host.PostSyncFileResult(shared_from_this(), type, code, msg);
}

void QCSyncFile::End() {
    if (m_ended.exchange(true))
        return;
    m_host.NotifyUIEvent(GetFileInfo(), m_isDownload ? kDownRemoved : kUpRemoved);
    if (!m_completedOk)
        CancelRequests("clean http task");
    if (m_paused.exchange(false))
        m_host.PauseTaskCountRelease(m_isDownload, Weight());
}

int QCSyncFile::ParseErr(const QJsonObject& reply, QString& msg) {
    const int err = reply.value(QStringLiteral("errno")).toVariant().toInt();
    if (err != 0)
        msg = reply.value(QStringLiteral("errmsg")).toString();
    return err;
}

QJsonObject QCSyncFile::JsonData(const QJsonObject& reply) {
    const QJsonValue data = reply.value(QStringLiteral("data"));
    return data.isObject() ? data.toObject() : QJsonObject();
}
