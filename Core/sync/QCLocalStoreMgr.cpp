// The sync engine: one thread that owns the sync state, its event queue and its status machine.
//
// Threads
// - The engine thread (started by init, joined by Wait) runs the loop: one pass of periodic work
//   (OnCheckLoop), then every queued event in order; it waits on the queue only while the queue is
//   empty, at most 100 ms or until the next timer is due. It alone changes the status, the timers,
//   the counters and the per-login state, and it alone writes the error records and the root path
//   (which others read under their small locks).
// - Every other thread (the user interface through the facade, pool threads running requests,
//   the API client's reply parsing) reaches the engine through the queue: AddCoreEvent at the
//   tail, AddCoreCritalEvent at the head, Post for a piece of work. The status is atomic.
// - Requests and other blocking work run on pools of the engine's own (common/WorkPools): control
//   requests on the small control pool (RunOnPool), transfers on the transfer pool, sized by the
//   transfer budget (RunUploadWork, and the downloads' own work); the engine never waits for
//   them. Their results come back as events (2121) or failure calls.
//
// Status machine (LOCAL_STATUS): 0 wait_login -> (configuration, login replies) 3 login_retry or
// 2 login_ok -> (files set up: CheckConfigReady) 2 -> (cloud fetch) 4 CheckCloud -> 5/6/7; request 3
// (stop) -> 8 stop; request 2 (start) leaves 8. ChangeStatus is the only way into 2..8; 0 is set
// directly by login, logout, restart and re-login.
//
// What must never happen: a lock held across a request, a pool wait or a journal call; a sleep on
// the engine thread (the re-login pause is a deadline on the core's clock); the loop waiting while
// events are queued.
#include "sync/QCLocalStoreMgr.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "common/SkipRules.h"
#include "common/WorkPools.h"
#include "network/QCRequestCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QThreadPool>
#include <QUuid>

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>

#include <sys/stat.h>

QCLocalStoreMgr g_LocalStoreMgr;

namespace {

const QString kPrivateFolder = QStringLiteral(".Nimbocache");

// A piece of work for the engine thread, queued like a command (type 2100, which no other
// producer uses).
class EngineCallEvent : public QCEventBase {
public:
    EngineCallEvent(std::function<void()> work, bool quiet)
        : QCEventBase(CoreProc), call(std::move(work)), quiet(quiet) {}
    std::function<void()> call;
    bool quiet; // nothing outside the engine waits on it: journal rows written later may stay so
};

// Journal rows written later are written once this many wait, or when the engine has nothing else
// to do, or before an event that another thread may be waiting on (so that it reads them).
constexpr size_t kJournalRowsAtOnce = 256;

// Upload replies come in great numbers while small files go up; nothing waits on them.
bool QuietCommand(int command) {
    return command >= CMD::UploadInfo && command <= CMD::UploadFast;
}

const char* StatusName(LOCAL_STATUS status) {
    static const char* const names[] = {"wait_login",   "logining", "login_ok", "login_retry", "CheckCloud",
                                        "CheckOffline", "monitor",  "ok",       "stop"};
    return status >= 0 && status <= 8 ? names[status] : "unknown";
}

// `path` is `folder` itself or lies below it; letter case ignored. Never for an empty folder.
bool Inside(QString folder, const QString& path) {
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    if (folder.isEmpty() || !path.startsWith(folder, Qt::CaseInsensitive))
        return false;
    return path.size() == folder.size() || path.at(folder.size()) == QLatin1Char('/') ||
           folder == QLatin1String("/");
}

} // namespace

QCLocalStoreMgr::QCLocalStoreMgr() : m_stopWake(std::make_shared<QCCoreTimerEvent>()) {
    SetDownloadFactory(nullptr);
}

QCLocalStoreMgr::~QCLocalStoreMgr() {
    // At exit the other process-wide objects may be gone already: only end a thread that still
    // runs (Uninit was not called), without touching them.
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (!m_thread.joinable())
        return;
    m_running = false;
    m_events.AddFront(m_stopWake);
    m_thread.join();
}

// --- Life --------------------------------------------------------------------------------------

void QCLocalStoreMgr::init() {
    SetResponseHandler(this);
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        if (m_threadRunning && m_running.load())
            return; // already running: a second Init changes nothing
    }
    Wait(-1); // an engine that is ending (after a logout or stop) is joined before a new one starts
    m_stopRequested = false;
    m_cleanOnExit = false;
    InitAll();
    InitDevInfo();
    m_running = true;
    Start();
}

void QCLocalStoreMgr::Start() {
    std::lock_guard<std::mutex> lock(m_threadLock);
    if (m_threadRunning)
        return;
    if (m_thread.joinable())
        m_thread.join(); // it has ended: its end is complete before the next one begins
    m_view.Start();      // ready for the view requests that follow the engine's start
    m_threadRunning = true;
    m_thread = std::thread([this] { run(); });
}

void QCLocalStoreMgr::stop() {
    m_stopRequested = true;
    m_running = false;
    ++m_workGeneration;
    m_watcher.clearAll();
    // Running requests and retry walks end at once instead of at the loop's next turn.
    QCRequestCommon::GetInstance()->Clear();
    m_events.AddFront(m_stopWake);
}

bool QCLocalStoreMgr::Wait(int ms) {
    const auto deadline = ms < 0 ? std::chrono::steady_clock::time_point::max()
                                 : std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    {
        std::unique_lock<std::mutex> lock(m_threadLock);
        const auto ended = [this] { return !m_threadRunning; };
        if (ms < 0)
            m_threadEnded.wait(lock, ended);
        else if (!m_threadEnded.wait_until(lock, deadline, ended))
            return false;
        if (m_thread.joinable())
            m_thread.join();
    }
    // The engine's loop stopped the view thread on its way out; its end is awaited here, on the
    // caller's thread, never in that loop.
    int viewMs = -1;
    if (ms >= 0)
        viewMs = int(std::max<qint64>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - std::chrono::steady_clock::now())
                                             .count()));
    if (!m_view.Wait(viewMs))
        return false;
    // A stopped engine leaves no request behind on the pool, and nothing on its queue for the
    // next start (a late reply's re-login, say). An engine that ended after a logout keeps its
    // queue: the requests on it are for the next login.
    if (!m_stopRequested.load())
        return true;
    const bool ended = EndPoolTasks(deadline);
    m_events.Stop();
    return ended;
}

bool QCLocalStoreMgr::EndPoolTasks(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_poolLock);
    while (m_poolTasks > 0) {
        // A task that made its request after the last stop of all requests is stopped by the next.
        lock.unlock();
        QCRequestCommon::GetInstance()->Clear();
        lock.lock();
        const auto step =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        m_poolDone.wait_until(lock, step, [this] { return m_poolTasks == 0; });
        if (m_poolTasks > 0 && std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return true;
}

void QCLocalStoreMgr::run() {
    m_engineThreadId = std::this_thread::get_id();
    if (g_Config.ApiHost().compare(DEFAULT_API_HOST, Qt::CaseInsensitive) != 0)
        CoreDebug("[host] api %s", qUtf8Printable(g_Config.ApiHost()));
    while (m_running) {
        OnCheckLoop();
        std::shared_ptr<QCEventBase> event;
        if (m_events.Count() == 0)
            QCSyncDB::Flush(); // nothing else to do
        if (!m_events.FetchWait(event, WaitMs()))
            continue;
        bool lastWasTick = false;
        do {
            if (!m_running)
                break;
            const bool tick = event->type() == QEvent::Type(QCEventBase::CoreTimer);
            if (!(tick && lastWasTick)) // a run of ticks asks for one extra pass, not one each
                ProcOperation(event);
            lastWasTick = tick;
            event.reset();
        } while (m_events.Fetch(event));
        if (!m_spentClients.empty()) {
            // The exchanges whose replies were read go on the pool, in one task: ending one
            // (its connection handle, its buffers) costs the engine thread more than reading it.
            RunOnPool([spent = std::move(m_spentClients)] { (void)spent; });
            m_spentClients.clear();
        }
    }
    m_spentClients.clear();
    // On the way out: the view thread is told to end (not awaited), every request and transfer
    // ends, and the journal is committed and closed.
    m_view.stop();
    ClearAll(false);
    if (m_cleanOnExit.exchange(false))
        CacheClean();
    SaveFinishTaskList();
    m_copySources.Save();
    m_outUploads.Save(false);
    CloseJournal();
    CoreDebug("[engine] loop ended");
    m_engineThreadId = std::thread::id();
    OPENSSL_thread_stop(); // request parsing hashed on this thread
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_threadRunning = false;
    }
    m_threadEnded.notify_all();
}

bool QCLocalStoreMgr::IsEngineThread() const {
    return m_engineThreadId.load() == std::this_thread::get_id();
}

unsigned long QCLocalStoreMgr::WaitMs() const {
    qint64 wait = 100;
    for (const QCTimer* timer : {&m_versionTimer, &m_speedTimer, &m_spaceTimer, &m_nodeTimer, &m_historyTimer}) {
        const qint64 due = timer->MsUntilDue();
        if (due >= 0)
            wait = std::min(wait, due);
    }
    for (const qint64 at : {m_reloginAtMs, m_chainRetryAtMs}) {
        if (at >= 0)
            wait = std::min(wait, std::max<qint64>(0, at - QCClock::NowMs()));
    }
    return static_cast<unsigned long>(std::max<qint64>(wait, 1));
}

// --- The queue ---------------------------------------------------------------------------------

void QCLocalStoreMgr::AddCoreEvent(std::shared_ptr<QCEventBase> event) {
    if (event)
        m_events.Add(std::move(event));
}

void QCLocalStoreMgr::AddCoreCritalEvent(std::shared_ptr<QCEventBase> event) {
    if (event)
        m_events.AddFront(std::move(event));
}

void QCLocalStoreMgr::TriggerTimerEvent() {
    AddCoreCritalEvent(std::make_shared<QCCoreTimerEvent>());
}

void QCLocalStoreMgr::Post(std::function<void()> work, bool urgent) {
    auto event = std::make_shared<EngineCallEvent>(std::move(work), false);
    if (urgent)
        AddCoreCritalEvent(std::move(event));
    else
        AddCoreEvent(std::move(event));
}

void QCLocalStoreMgr::PostQuiet(std::function<void()> work) {
    AddCoreEvent(std::make_shared<EngineCallEvent>(std::move(work), true));
}

void QCLocalStoreMgr::SendCoreProcEvent(int command, unsigned int id) {
    AddCoreEvent(std::make_shared<QCProcResponseEvent>(command, id));
}

void QCLocalStoreMgr::NotifyFileChange(const QString& path, SYNC_CHANGE_TYPE type, const QString& oldPath,
                                       bool userOp) {
    SYNC_CHANGE_INFO change;
    change.path = path;
    change.old_path = type == SYNC_CHANGE_REN ? oldPath : QString();
    change.type = type;
    change.user_op = userOp ? 1 : 0;
    m_changes.Add(change);
}

void QCLocalStoreMgr::RunOnPool(std::function<void()> work) {
    RunOnPool(WorkPools::Control(), std::move(work));
}

void QCLocalStoreMgr::RunOnPool(QThreadPool& pool, std::function<void()> work) {
    const quint64 generation = m_workGeneration.load();
    {
        std::lock_guard<std::mutex> lock(m_poolLock);
        ++m_poolTasks;
    }
    WorkPools::Start(pool, [this, work = std::move(work), generation] {
        if (m_workGeneration.load() == generation)
            work();
        std::lock_guard<std::mutex> lock(m_poolLock);
        --m_poolTasks;
        m_poolDone.notify_all();
    });
}

void QCLocalStoreMgr::ProcOperation(const std::shared_ptr<QCEventBase>& event) {
    const int type = event->type();
    {
        std::lock_guard<std::mutex> lock(m_traceLock);
        if (m_trace.size() < 10000)
            m_trace.push_back(type);
    }
    bool quiet = type == QCEventBase::CoreTimer;
    if (const auto* call = dynamic_cast<const EngineCallEvent*>(event.get()))
        quiet = call->quiet;
    else if (const auto* proc = dynamic_cast<const QCProcResponseEvent*>(event.get()))
        quiet = QuietCommand(proc->command);
    if (!quiet)
        QCSyncDB::Flush();
    switch (type) {
    case QCEventBase::CoreProc:
        if (auto* call = dynamic_cast<EngineCallEvent*>(event.get()))
            call->call();
        break;
    case QCEventBase::CoreTimer:
        if (event != m_stopWake)
            OnCheckLoop();
        break;
    case QCEventBase::CoreUser:
        if (auto* user = dynamic_cast<QCCoreUserEvent*>(event.get()))
            ProcUserEvent(user->request);
        else
            CoreDebug("[event] transfer CoreUserProc failed.");
        break;
    case QCEventBase::AsyncErrorMsg:
        if (auto* error = dynamic_cast<QCAsyncErrorMsgEvent*>(event.get()))
            ErrorOnThread(error->error_type, error->error_code, error->text, &error->stat);
        break;
    case QCEventBase::ProcResponse:
        if (auto* proc = dynamic_cast<QCProcResponseEvent*>(event.get())) {
            QCRequestCommon* requests = QCRequestCommon::GetInstance();
            QSharedPointer<NetworkClient> client = requests->GetRequestByID(proc->task_id);
            if (client)
                QCRequestCommon::ParseResponse(proc->command, proc->task_id, client);
            requests->CancelTask(proc->task_id);
            if (client)
                m_spentClients.push_back(std::move(client));
        }
        break;
    case QCEventBase::GetEnterpriseList:
        RunOnPool([] { QCRequestCommon::GetInstance()->DoGetEnterpriseList(); });
        break;
    case QCEventBase::GetJumpUrlTicket:
        if (auto* jump = dynamic_cast<QCGetJumpUrlTicketEvent*>(event.get())) {
            RunOnPool([key = jump->key, param = jump->param] {
                QCRequestCommon::GetInstance()->GetJumpUrl(key, param);
            });
        }
        break;
    case QCEventBase::PauseTask:
        if (auto* pause = dynamic_cast<QCPauseTaskEvent*>(event.get()))
            ProcPauseTask(pause->path);
        break;
    case QCEventBase::ResumeTask:
        if (auto* resume = dynamic_cast<QCResumeTaskEvent*>(event.get()))
            ProcResumeTask(resume->path);
        break;
    case QCEventBase::FastTransfer:
        if (auto* fast = dynamic_cast<QCFastTransferEvent*>(event.get()))
            ProcFastTransfer(fast->path);
        break;
    case QCEventBase::CancelAllTask:
        CancelAllTask();
        break;
    case QCEventBase::CopyTo:
        if (auto* copy = dynamic_cast<VUZerozCopyToEvent*>(event.get()))
            ProcCloudCopy(copy->source, copy->destination);
        break;
    case QCEventBase::DeleteHistory:
        DeleteFinishTask();
        break;
    default:
        // No part of the engine handles it.
        CoreDebug("[event] %d not handled", type);
        break;
    }
}

// --- The check loop ----------------------------------------------------------------------------

void QCLocalStoreMgr::OnCheckLoop() {
    if (m_reloginAtMs >= 0 && QCClock::NowMs() >= m_reloginAtMs) {
        m_reloginAtMs = -1;
        ReLoginNow();
    }
    if (QCSyncDB::LaterCount() >= kJournalRowsAtOnce)
        QCSyncDB::Flush();
    CheckJournalWrites();
    DropSettledError();
    RefreshEnumDirs();
    RefreshEventCheck();
    CheckHistorySave();
    if (m_status.load() == LOCAL_STATUS_STOP) {
        CheckManualDownRequest(); // cancels only
        OutUploadCheckPauseDelete();
        return;
    }
    CheckUiSpeed();
    CheckNodeFetch();
    CheckChainRetry();
    CheckFetchRetry();
    SizeTransferPool();
    ExecUploadTask();
    RefreshCheck();
    CheckManualDownRequest();
    // Requested downloads run beside the uploads of status 6.
    const LOCAL_STATUS status = m_status.load();
    if (status == LOCAL_STATUS_CHECK_CLOUD || status == LOCAL_STATUS_MONITOR)
        ExecDownloadTask();
    CheckVersion();
    CheckConfigReady();
    DBCommitCheck();
}

void QCLocalStoreMgr::CheckJournalWrites() {
    const int kind = QCSyncDB::TakeWriteFailure();
    if (kind != 0)
        ErrorOnThread(kind, 0, g_Config.db_path, nullptr);
}

void QCLocalStoreMgr::DBCommitCheck() {
    const qint64 now = QCClock::NowMs();
    if (m_lastCommitMs < 0)
        m_lastCommitMs = now;
    const qint64 interval = qint64(g_Config.auto_save_db) * 1000;
    if (interval == 0 || now <= m_lastCommitMs + interval)
        return;
    m_lastCommitMs = now;
    if (QCSyncDB::IsTransacting()) {
        QCSyncDB::Commit();
        QCSyncDB::BeginTransaction();
    }
}

void QCLocalStoreMgr::CheckVersion() {
    const LOCAL_STATUS status = m_status.load();
    if ((status != LOCAL_STATUS_OK && status != LOCAL_STATUS_MONITOR) || !m_versionTimer.Check())
        return;
    RunOnPool([] { QCRequestCommon::GetInstance()->DoGetVersion(false); });
    m_versionTimer.Start();
}

void QCLocalStoreMgr::CheckUiSpeed() {
    const LOCAL_STATUS status = m_status.load();
    if ((status != LOCAL_STATUS_MONITOR && status != LOCAL_STATUS_CHECK_CLOUD) || !m_speedTimer.Check())
        return;
    auto* event = new QCSpeedUpdateEvent();
    QueryStatusDetail(event->data);
    m_speedTimer.Start();
    g_Config.CallOuter(event);
}

// --- Per-login state -----------------------------------------------------------------------------

void QCLocalStoreMgr::InitAll(bool endLoop) {
    m_status = LOCAL_STATUS_WAIT_LOGIN;
    m_lastStatus = LOCAL_STATUS_WAIT_LOGIN;
    if (endLoop)
        m_running = false;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        m_syncError.Clear();
        m_networkError.Clear();
    }
    {
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        m_userDetail.Init();
    }
    m_profileFiguresRead = false;
    m_cloudCompared = false;
    m_versionTimer.SetInterval(g_Config.check_ver_interva);
    m_versionTimer.Reset();
    m_spaceTimer.SetInterval(g_Config.calc_space_interva);
    m_spaceTimer.Reset();
    m_speedTimer.SetInterval(1);
    m_speedTimer.Start();
    m_nodeTimer.SetInterval(g_Config.comet_incr_interva);
    m_nodeTimer.Reset();
    m_historyTimer.SetInterval(kHistorySaveSeconds);
    m_historyTimer.Reset();
    m_versionFlag = false;
    m_protectCount = 0;
    m_reloginAtMs = -1;
    m_lastRefreshMs = -1;
    m_downloadBusyForTests = false;
    ResetChain();
    m_lastPassCount = 0;
    m_runningPassCount = 0;
    SetRootPath(QString());
    m_changeCount = 0;
    m_finishCount = 1;
    m_incrVersion = 0;
    m_restarting = false;
    m_massDeletePending = false;
    m_massDeleteConfirmed = false;
    m_pending.Clear();
    m_acceptedChanges = 0;
    m_folderOps.clear();
    m_enumDirs.clear();
    m_versionHold = false;
    m_deleteHold = false;
    m_deleteConfirmed = false;
    m_syncFolderWasGone = false;
    ClearNodeTree();
    m_downRequests.Stop(); // a request belongs to its login
    m_downCancels.Stop();
    m_requestedDowns.Clear();
    m_deferredCopies.clear();
    m_view.CleanData(true);
}

void QCLocalStoreMgr::ClearAll(bool all) {
    // Pending changes and the transfer lists outlive a stop (the user's start goes on with them);
    // a logout drops them, so the next account sees none of this one's paths.
    EndAllTransfers();
    ResetRunningChanges();
    if (all) {
        m_pending.Clear();
        m_downList.Clear();
        m_failedList.Clear();
        m_givenUp.clear();
    }
    m_versionHold = false;
    m_offlineDue = true; // the next start compares the mirror with the journal again
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        m_syncError.Clear();
        m_networkError.Clear();
    }
    m_lastPassCount = 0;
    m_runningPassCount = 0;
    ++m_workGeneration; // requests queued for the pool before this do not start
    ResetChain();
    ClearNodeTree();
    QCRequestCommon::GetInstance()->Clear();
}

void QCLocalStoreMgr::CloseJournal() {
    if (!QCSyncDB::Close())
        qWarning("[db] the journal could not be committed before it closed; its last writes are lost");
}

// --- Status ------------------------------------------------------------------------------------

int QCLocalStoreMgr::QueryStatus() const {
    static const int ui[] = {3, 0, 1, 2, 4, 5, 5, 6, 7};
    const int status = m_status.load();
    return status >= 0 && status <= 8 ? ui[status] : 6;
}

bool QCLocalStoreMgr::QueryStatusDetail(SYNC_INFO& info) {
    info.status = UI_STATUS(QueryStatus());
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        const CSyncError* error = m_syncError.GetType() != 0      ? &m_syncError
                                  : m_networkError.GetType() != 0 ? &m_networkError
                                                                  : nullptr;
        if (error) {
            info.error_type = qint32(error->GetType());
            info.error_code = qint32(error->GetCode());
            info.error_type_text = error->GetTypeStr();
            info.error_item = error->GetItemStr();
            info.status = UI_STATUS_ERROR;
        }
    }
    info.left_seconds = 0;
    // The progress of the running check: its uploads while comparing offline changes or
    // monitoring, the downloads its comparison queued while checking the cloud.
    if (info.status == UI_STATUS_SYNCING)
        info.percent = m_upList.GetPercent();
    else if (info.status == UI_STATUS_CHECK_CLOUD && m_cloudCompared.load())
        info.percent = m_downList.GetPercent();
    else
        info.percent = 0;
    // Figures saved at the last arrival in status 7 stand in until the service sends its own;
    // the profile is read once per login, not at every snapshot.
    bool needTotal = false;
    bool needEnterprise = false;
    if (!m_profileFiguresRead.exchange(true)) {
        std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
        needTotal = m_userDetail.total_size == 0;
        needEnterprise = m_userDetail.e_total_size == 0;
    }
    if (needTotal || needEnterprise) {
        const auto read = [](const char* key) {
            return quint64(g_Config.ReadUserProfileInt64(QLatin1String(key), 0));
        };
        const quint64 total = needTotal ? read("total_size") : 0;
        const quint64 used = needTotal ? read("used_size") : 0;
        const quint64 eTotal = needEnterprise ? read("e_total_size") : 0;
        const quint64 eUsed = needEnterprise ? read("e_used_size") : 0;
        std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
        if (needTotal && m_userDetail.total_size == 0) {
            m_userDetail.total_size = total;
            m_userDetail.used_size = used;
        }
        if (needEnterprise && m_userDetail.e_total_size == 0) {
            m_userDetail.e_total_size = eTotal;
            m_userDetail.e_used_size = eUsed;
        }
    }
    std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
    const USER_DETAIL_ACK& detail = m_userDetail;
    info.total_size = detail.total_size;
    info.used_size = detail.used_size;
    info.ent_total_size = detail.e_total_size;
    info.ent_used_size = detail.e_used_size;
    info.free_size = detail.used_size < detail.total_size ? detail.total_size - detail.used_size : 0;
    info.used_percent =
        detail.total_size == 0 ? 0.0f : float(double(detail.used_size) / double(detail.total_size) * 100.0);
    info.synced_last_pass = m_lastPassCount.load() > 0;
    info.detail_counter1 = m_detailCounter1.load();
    info.detail_counter2 = m_detailCounter2.load();
    info.count_node = detail.count_node;
    info.fetched_node = m_fetchedNodes.load();
    info.flags = (detail.is_person ? 1u : 0u) | (detail.is_switch ? 2u : 0u);
    info.online_service = detail.online_service;
    return true;
}

void QCLocalStoreMgr::SendUserStatusChangeEvent() {
    auto* event = new QCStatusChangedEvent();
    QueryStatusDetail(event->data);
    g_Config.CallOuter(event);
}

void QCLocalStoreMgr::ChangeStatus(LOCAL_STATUS status, bool notify) {
    const LOCAL_STATUS old = m_status.load();
    m_lastStatus = old;
    if (status == old)
        return;
    if (status != LOCAL_STATUS_CHECK_CLOUD)
        m_detailCounter1 = 0;
    if (status != LOCAL_STATUS_MONITOR)
        m_detailCounter2 = 0;
    CoreDebug("status %d(%s) -> %d(%s)", int(old), StatusName(old), int(status), StatusName(status));
    switch (status) {
    case LOCAL_STATUS_OK: {
        // In step only with every row of the pass in the journal: a write that failed is shown.
        QCSyncDB::Commit();
        QCSyncDB::Settle();
        CheckJournalWrites();
        quint32 version = 0;
        quint64 total = 0, used = 0, eTotal = 0, eUsed = 0;
        {
            std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
            version = m_userDetail.version;
            total = m_userDetail.total_size;
            used = m_userDetail.used_size;
            eTotal = m_userDetail.e_total_size;
            eUsed = m_userDetail.e_used_size;
        }
        g_Config.SaveUserProfileInt64(QStringLiteral("total_size"), qint64(total));
        g_Config.SaveUserProfileInt64(QStringLiteral("used_size"), qint64(used));
        g_Config.SaveUserProfileInt64(QStringLiteral("e_total_size"), qint64(eTotal));
        g_Config.SaveUserProfileInt64(QStringLiteral("e_used_size"), qint64(eUsed));
        m_versionTimer.Start();
        CleanTempFiles();
        CleanTempBlocks();
        if (QCSyncDB::GetLastVer() != version) {
            CoreDebug("DB update ver %u to %u", QCSyncDB::GetLastVer(), version);
            QCSyncDB::SetLastVer(version);
        }
        RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(true, false); });
        m_changeCount = 0;
        m_lastPassCount = m_runningPassCount.load();
        m_runningPassCount = 0;
        ++m_finishCount;
        CoreDebug("--------- sync finish ----------");
        break;
    }
    case LOCAL_STATUS_MONITOR: {
        quint32 version = 0;
        {
            std::shared_lock<std::shared_mutex> lock(m_userDetailLock);
            version = m_userDetail.version;
        }
        if (QCSyncDB::GetLastVer() != version) {
            if (m_incrVersion > version) {
                std::unique_lock<std::shared_mutex> lock(m_userDetailLock);
                m_userDetail.version = m_incrVersion;
            }
            CoreDebug("DB update ver %u to %u", QCSyncDB::GetLastVer(), version);
            QCSyncDB::SetLastVer(version);
        }
        QCSyncDB::Commit();
        QCSyncDB::BeginTransaction();
        break;
    }
    case LOCAL_STATUS_STOP:
        QCSyncDB::Commit();
        break;
    default:
        break;
    }
    m_status = status;
    if (notify)
        SendUserStatusChangeEvent();
}

// --- User requests -----------------------------------------------------------------------------

void QCLocalStoreMgr::Request(REQUEST_TYPE type) {
    CoreDebug("Request : %d", int(type));
    AddCoreCritalEvent(std::make_shared<QCCoreUserEvent>(type));
}

void QCLocalStoreMgr::ProcUserEvent(REQUEST_TYPE request) {
    if (request == REQUEST_LOGIN && m_status.load() == LOCAL_STATUS_STOP) {
        CoreDebug("ProcUserRequest LOGIN, m_status is stop. change to start");
        request = REQUEST_START_SYNC;
    }
    switch (request) {
    case REQUEST_LOGIN:
        ProcUserLogin();
        break;
    case REQUEST_LOGOUT:
        ProcUserLogout();
        break;
    case REQUEST_START_SYNC:
        ProcStartSync();
        break;
    case REQUEST_STOP_SYNC:
        ProcStopSync();
        break;
    case REQUEST_REFRESH: {
        RequestVersionCheck();
        break;
    }
    case REQUEST_CACHE_CLEAN:
        CacheClean();
        break;
    default:
        break;
    }
}

void QCLocalStoreMgr::ProcUserLogin() {
    m_status = LOCAL_STATUS_WAIT_LOGIN;
    ClearAll(false);
    // The configuration reply goes on with the login; nothing waits for it here.
    RunOnPool([] { QCRequestCommon::GetInstance()->DoGetConfig(); });
}

void QCLocalStoreMgr::ProcUserLogout() {
    CoreDebug("ProcUserRequest LOGOUT");
    m_watcher.clearAll(); // the next login watches its own folder
    // The history belongs to this login's user; the next one loads its own.
    SaveFinishTaskList();
    m_finishedList.Clear();
    g_Config.history_path.clear();
    m_copySources.Save();
    m_copySources.Load(QString()); // the next user's sources are its own
    OutUploadLogout();
    CloseJournal();
    ClearAll(true);
    m_cache.ClearAllCache(); // the next login's tree may be another
    m_previousNodes.clear();
    InitAll(); // clears the running flag: the loop ends after this request
    SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::ProcStartSync() {
    CoreDebug("START SYNC");
    const LOCAL_STATUS last = m_lastStatus.load();
    if (last == LOCAL_STATUS_WAIT_LOGIN || last == LOCAL_STATUS_LOGINING) {
        CoreDebug("Not Login,last status=%d", int(last));
        ProcUserLogin();
        return;
    }
    if (m_status.load() == LOCAL_STATUS_LOGIN_OK)
        return;
    // The transfers of the last run end before the lists are emptied, never left running unseen;
    // the uploads of changes wait to run again (a start need not follow a stop: the deletes held
    // for the user after a restart leave the rest running).
    EndAllTransfers();
    ResetRunningChanges(true);
    m_downList.Clear();
    m_upList.Clear();
    if (m_deleteHold) {
        CoreDebug("[Todo] the user confirms the held deletes");
        m_deleteHold = false;
        m_deleteConfirmed = true;
        std::lock_guard<std::mutex> lock(m_errorLock);
        if (m_syncError.GetType() == quint32(SYNC_ERROR::MassDelete))
            m_syncError.Clear();
    }
    if (m_massDeletePending) {
        CoreDebug("[compare] the user confirms the cloud deletions");
        m_massDeleteConfirmed = true;
        std::lock_guard<std::mutex> lock(m_errorLock);
        if (m_syncError.GetType() == quint32(SYNC_ERROR::MassDelete))
            m_syncError.Clear();
    }
    ChangeStatus(LOCAL_STATUS_LOGIN_OK, true);
    RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(false, false); });
}

void QCLocalStoreMgr::ProcStopSync() {
    bool errorShown = false;
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        CoreDebug("STOP SYNC,current stat=%d(%s), CriticalErr=%s NormalErr=%s", int(m_status.load()),
                  StatusName(m_status.load()), qUtf8Printable(m_syncError.GetTypeStr()),
                  qUtf8Printable(m_networkError.GetTypeStr()));
        errorShown = m_syncError.GetType() != 0 || m_networkError.GetType() != 0;
    }
    m_reloginAtMs = -1; // a held-back re-login would start the sync again
    const bool changed = m_status.load() != LOCAL_STATUS_STOP;
    ChangeStatus(LOCAL_STATUS_STOP, false);
    ClearAll(false);
    // The status event comes once the stop is whole: sent between the two steps it showed the
    // error that the stop clears, and the user interface kept showing it.
    if (changed || errorShown)
        SendUserStatusChangeEvent();
}

void QCLocalStoreMgr::RestartSync() {
    if (IsEngineThread())
        RestartSyncNow();
    else
        Post([this] { RestartSyncNow(); }, true);
}

void QCLocalStoreMgr::RestartSyncNow() {
    m_restarting = true;
    CoreDebug("RestartSync");
    AddCoreCritalEvent(std::make_shared<QCCoreUserEvent>(REQUEST_STOP_SYNC));
    m_status = LOCAL_STATUS_WAIT_LOGIN;
    m_lastStatus = LOCAL_STATUS_WAIT_LOGIN;
    AddCoreEvent(std::make_shared<QCCoreUserEvent>(REQUEST_START_SYNC));
}

void QCLocalStoreMgr::ReLogin() {
    Post([this] { ProcReLogin(); }, true);
}

void QCLocalStoreMgr::ProcReLogin() {
    CoreDebug("[resp] token expired... relogin");
    if (m_reloginAtMs >= 0)
        return; // one re-login is already held back
    // Every sixth re-login within a login waits a minute, so an expired token cannot make the
    // client hammer the service. The wait is a deadline: the engine goes on meanwhile.
    if (++m_protectCount > 5) {
        CoreDebug("[resp] ProtectServer wait %d s", 60);
        m_protectCount = 0;
        m_status = LOCAL_STATUS_WAIT_LOGIN;
        m_lastStatus = LOCAL_STATUS_WAIT_LOGIN;
        m_reloginAtMs = QCClock::NowMs() + 60000;
        return;
    }
    ReLoginNow();
}

void QCLocalStoreMgr::ReLoginNow() {
    m_status = LOCAL_STATUS_WAIT_LOGIN;
    m_lastStatus = LOCAL_STATUS_WAIT_LOGIN;
    TriggerTimerEvent();
    RestartSyncNow();
}

// --- Configuration readiness and paths ------------------------------------------------------------

void QCLocalStoreMgr::SetRootPath(const QString& root) {
    struct stat st {};
    const bool known = !root.isEmpty() && ::stat(QFile::encodeName(root).constData(), &st) == 0;
    std::lock_guard<std::mutex> lock(m_rootLock);
    m_rootPath = root;
    m_rootKnown = known;
    m_rootDevice = known ? quint64(st.st_dev) : 0;
    m_rootInode = known ? quint64(st.st_ino) : 0;
}

QString QCLocalStoreMgr::GetRootPath() const {
    std::lock_guard<std::mutex> lock(m_rootLock);
    return m_rootPath;
}

bool QCLocalStoreMgr::SyncFolderGone() const {
    QString root;
    bool known = false;
    quint64 device = 0;
    quint64 inode = 0;
    {
        std::lock_guard<std::mutex> lock(m_rootLock);
        root = m_rootPath;
        known = m_rootKnown;
        device = m_rootDevice;
        inode = m_rootInode;
    }
    struct stat st {};
    if (root.isEmpty() || ::stat(QFile::encodeName(root).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return true;
    return known && (quint64(st.st_dev) != device || quint64(st.st_ino) != inode);
}

QString QCLocalStoreMgr::GetPrivateRoot() const {
    const QString sync = g_Config.GetSyncPath();
    return sync.isEmpty() ? QString() : MyCombinePath(sync, kPrivateFolder);
}

QString QCLocalStoreMgr::GetBlockPath() const {
    const QString root = GetPrivateRoot();
    return root.isEmpty() ? QString() : MyCombinePath(root, QStringLiteral("blocks"));
}

QString QCLocalStoreMgr::GetDropPath() const {
    const QString root = GetPrivateRoot();
    return root.isEmpty() ? QString() : MyCombinePath(root, QStringLiteral("files"));
}

bool QCLocalStoreMgr::IsSyncPath(const QString& path) const {
    const QString root = GetRootPath();
    if (root.isEmpty() || IsIgnoreCacheFile(path) || !Inside(root, path))
        return false;
    return !Inside(MyCombinePath(root, kPrivateFolder), path);
}

QString QCLocalStoreMgr::GetVirtualPath(QString localPath) const {
    if (localPath == QStringLiteral("回收站"))
        return QString();
    QString sync = g_Config.GetSyncPath();
    while (sync.size() > 1 && sync.endsWith(QLatin1Char('/')))
        sync.chop(1);
    if (!Inside(sync, localPath))
        return localPath;
    return localPath.mid(sync.size());
}

QString QCLocalStoreMgr::GetDiskPath(const QString& cloudPath) const {
    QString root = GetRootPath();
    if (root.isEmpty())
        root = g_Config.GetSyncPath();
    // Without a sync folder there is no local copy: never a path of the file system's root.
    return root.isEmpty() ? QString() : MyCombinePath(root, cloudPath);
}

// --- The folder watcher ----------------------------------------------------------------------------

void QCLocalStoreMgr::WatchSyncFolder() {
    const QString folder = g_Config.GetSyncPath();
    if (folder.isEmpty())
        return;
    // The engine's own cache folder lies inside the mirror; its churn is never a user's change.
    m_watcher.addExcludePath(MyCombinePath(folder, QStringLiteral(".Nimbocache")));
    if (!m_watcher.addWatchPath(folder))
        CoreDebug("[monitor] directory monitor failed");
}

bool QCLocalStoreMgr::KnownBelow(const QString& folder, std::map<QString, FILE_INFO>& out) {
    const QString root = GetRootPath();
    if (root.isEmpty() || !Inside(root, folder))
        return false;
    std::vector<QString> paths;
    std::map<QString, FILE_INFO> rows;
    if (!QCSyncDB::GetAllPath(paths, GetVirtualPath(folder)) || !QCSyncDB::GetFileInfos(paths, rows))
        return false;
    for (auto& entry : rows) {
        FILE_INFO& row = entry.second;
        row.path = GetDiskPath(row.path);
        out[row.path.toLower()] = row;
    }
    // Items made here that the journal does not hold until they are uploaded. Cloud items without
    // a local copy (not down, downloading, failed) are not expected on disk.
    // A folder without an entry of its own may still hold some (the index makes no parents): then
    // the whole tree is listed and what lies below the folder kept.
    std::vector<FileInfo> entries;
    m_cache.ListAll(m_cache.CheckPathExists(folder) ? folder : root, entries);
    for (const FileInfo& entry : entries) {
        const quint32 status = entry.status;
        if (entry.path.size() <= folder.size() || !Inside(folder, entry.path))
            continue;
        if (status != FILE_STATUS_WAIT_UP && status != FILE_STATUS_UPING && status != FILE_STATUS_CHECKING &&
            status != FILE_STATUS_IGNORE)
            continue;
        FILE_INFO item = ui2base(entry);
        item.path = entry.path;
        out.emplace(entry.path.toLower(), item);
    }
    return true;
}

// --- The index's host ----------------------------------------------------------------------------

QString QCLocalStoreMgr::SyncFolderPath() const {
    return g_Config.GetSyncPath();
}

QString QCLocalStoreMgr::ReadUserProfile(const QString& key, const QString& def) const {
    return g_Config.ReadUserProfile(key, def);
}

bool QCLocalStoreMgr::UIEventSendMsg(const FileInfo& record, bool deleted) {
    return m_view.NotifyUpdate(record, deleted);
}

bool QCLocalStoreMgr::PostToUi(QCEventBase* event) {
    return g_Config.CallOuter(event);
}

void QCLocalStoreMgr::CheckConfigReady() {
    const LOCAL_STATUS status = m_status.load();
    if (status != LOCAL_STATUS_LOGIN_OK && status != LOCAL_STATUS_LOGIN_RETRY)
        return;
    const QString syncFolder = g_Config.GetSyncPath();
    if (syncFolder.isEmpty())
        return;
    const QString root = GetRootPath();
    if (status == LOCAL_STATUS_LOGIN_RETRY ? (!root.isEmpty() && root == syncFolder) : !root.isEmpty())
        return;

    QString qid;
    QString eid;
    int type = 0;
    {
        std::shared_lock<std::shared_mutex> lock(g_Config.accountLock);
        qid = g_Config.qid;
        eid = g_Config.eid;
        type = g_Config.type;
    }
    const QString userFolder = g_Config.GetUserDataPath(qid, type, eid);
    // The login cannot go on without its files: it fails with a report instead of failing later.
    const auto fail = [this](int kind, const QString& item) {
        CloseJournal();
        SetRootPath(QString());
        m_status = LOCAL_STATUS_WAIT_LOGIN;
        ErrorOnThread(kind, 0, item, nullptr);
    };
    if (userFolder.isEmpty() || !QDir().mkpath(userFolder)) {
        fail(SYNC_ERROR::DiskDir, userFolder);
        return;
    }
    g_Config.db_path = MyCombinePath(userFolder, QStringLiteral("filecache.db"));
    g_Config.nodes_path = MyCombinePath(userFolder, QStringLiteral("nodes_page.dat"));
    CoreDebug("init db");
    CloseJournal(); // the journal of an earlier sync folder
    if (!QCSyncDB::Init()) {
        fail(SYNC_ERROR::DBCurrupt, g_Config.db_path);
        return;
    }
    const QString privateRoot = QDir(GetPrivateRoot()).absolutePath();
    if (!QDir().mkpath(privateRoot)) {
        fail(SYNC_ERROR::DiskDir, privateRoot);
        return;
    }
    SetRootPath(syncFolder);
    WatchSyncFolder(); // again after a logout, or when the folder was missing before
    if (status == LOCAL_STATUS_LOGIN_RETRY)
        ChangeStatus(LOCAL_STATUS_LOGIN_OK, true);
    RunOnPool([] { QCRequestCommon::GetInstance()->DoGetUserDetail(false, false); });
    g_Config.history_path = MyCombinePath(userFolder, QStringLiteral("history.dat"));
    LoadFinishTaskList();
    m_copySources.Load(MyCombinePath(userFolder, QStringLiteral("cpsrc.dat")));
    m_outUploads.Load(MyCombinePath(userFolder, QStringLiteral("out.dat")));
}

void QCLocalStoreMgr::InitDevInfo() {
    // A device id made once per machine and kept in its "config.ini", so the service sees one
    // device across logins.
    if (g_Config.devid.isEmpty()) {
        QString id = g_Config.ReadGlobalProfile(QStringLiteral("devid"), QString());
        if (id.isEmpty()) {
            id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            g_Config.SaveGlobalProfile(QStringLiteral("devid"), id);
        }
        g_Config.devid = id;
    }
    if (g_Config.pid.isEmpty())
        g_Config.pid = QStringLiteral("ak");
    g_Config.os_name = QSysInfo::prettyProductName();
    g_Config.os_version = QSysInfo::productVersion();
    g_Config.kernel_version = QSysInfo::kernelVersion();
    CoreDebug("[sysver] %s %s", qUtf8Printable(g_Config.os_version), qUtf8Printable(g_Config.kernel_version));
    // The application's own version when it sets one; the core's otherwise.
    const QString appVersion = QCoreApplication::applicationVersion();
    if (!appVersion.isEmpty())
        g_Config.v = appVersion;
    CoreDebug("[system] DEV[%s %s] os%s %s %s", qUtf8Printable(g_Config.devtype), qUtf8Printable(g_Config.v),
              qUtf8Printable(g_Config.os_name), qUtf8Printable(g_Config.devid),
              qUtf8Printable(g_Config.devname));
}

void QCLocalStoreMgr::ChangeSyncPath() {
    Post([this] { ProcSyncPathChange(); }, true);
}

void QCLocalStoreMgr::ProcSyncPathChange() {
    CoreDebug("[engine] the sync folder changed: log in again");
    ClearAll(false);
    CloseJournal();
    InitAll(false);
    SendUserStatusChangeEvent();
    ProcUserLogin();
}

// --- Test hooks ----------------------------------------------------------------------------------

bool QCLocalStoreMgr::CallForTests(std::function<void()> work, int timeoutMs, bool urgent) {
    // Callers hand in work that writes to their own locals. Once the caller has given up waiting,
    // the work must never run: it would write into stack memory that belongs to someone else by then.
    struct Done {
        std::mutex lock;
        std::condition_variable ran;
        bool started = false;
        bool done = false;
        bool abandoned = false;
    };
    auto done = std::make_shared<Done>();
    Post(
        [work = std::move(work), done] {
            {
                std::lock_guard<std::mutex> lock(done->lock);
                if (done->abandoned)
                    return;
                done->started = true;
            }
            work();
            std::lock_guard<std::mutex> lock(done->lock);
            done->done = true;
            done->ran.notify_all();
        },
        urgent);
    std::unique_lock<std::mutex> lock(done->lock);
    if (done->ran.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&done] { return done->done; }))
        return true;
    if (!done->started) {
        done->abandoned = true;
        return false;
    }
    // Already running: it ends soon, and its writes must land before the caller's locals go.
    done->ran.wait(lock, [&done] { return done->done; });
    return true;
}

std::vector<int> QCLocalStoreMgr::TakeTraceForTests() {
    std::lock_guard<std::mutex> lock(m_traceLock);
    std::vector<int> trace;
    trace.swap(m_trace);
    return trace;
}
