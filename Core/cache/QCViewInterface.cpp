// The view thread: listings, searches and change notices for the view on screen.
//
// States: stopped (requests refused) -> Start -> running (requests queued, the thread serves them)
// -> stop -> stopping (requests refused, queue dropped; the thread ends after its current job) ->
// Wait or the next Start joins it -> stopped.
//
// Threads and locks
// - Producers (the user interface, the engine, the index's notices from any thread) touch only
//   m_jobs (its own lock) and read m_isRunning under m_runningLock. Queueing never waits on the
//   index.
// - The view thread alone owns m_currentPath, m_pageSize, m_query and m_lastDelayCheck, and it
//   alone fills m_delayedParents. It calls the index (which serialises on its own lock) and the
//   hosts, and holds no lock of its own while doing so.
// - The thread sleeps on m_jobs only while the list is empty: without a limit while no delayed
//   roll-up check waits, else at most until that check is due on the core's clock. So a folder's
//   progress keeps moving when notices stop, and an idle thread costs nothing.
//
// Roll-ups: a folder's roll-up walks its subtree under the index lock, so the thread never rolls
// a folder up per notice. Folders whose items moved or settled are marked (m_delayedParents) and
// rolled up together on the delayed check, each once however many of its items changed.
//
// What must never happen: a roll-up check more often than every 500 ms; an event for a view after
// stop(); the engine's loop waiting on this thread (only Start, Wait and the destructor join it).
#include "cache/QCViewInterface.h"

#include "cache/QCCacheSearchMatch.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "common/SkipRules.h"

#include <QElapsedTimer>

#include <chrono>
#include <climits>
#include <set>

namespace {

QString WithoutTrailingSlash(QString path) {
    if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// The facade passes 0 for "everything"; pages are counted as unsigned, so -1 has no limit.
qint32 PageCount(int count) {
    return count == 0 ? -1 : count;
}

} // namespace

bool SortFunTime(const FileInfo& a, const FileInfo& b) {
    return a.mtime > b.mtime;
}

QCViewInterface::QCViewInterface(QCCache& cache, QCCacheHost& engine, QCViewHost& outer)
    : m_cache(cache), m_engine(engine), m_outer(outer) {}

QCViewInterface::~QCViewInterface() {
    stop();
    Wait(-1);
}

// --- Life ----------------------------------------------------------------------------------------

void QCViewInterface::Start() {
    std::unique_lock<std::mutex> lock(m_threadLock);
    if (m_threadLive && running())
        return;
    m_threadEnded.wait(lock, [this] { return !m_threadLive; });
    if (m_thread.joinable())
        m_thread.join();
    m_jobs.Stop(); // the wake job of the last stop
    {
        std::lock_guard<std::mutex> runningLock(m_runningLock);
        m_isRunning = true;
    }
    m_threadLive = true;
    m_thread = std::thread([this] { run(); });
}

void QCViewInterface::stop() {
    {
        std::lock_guard<std::mutex> lock(m_runningLock);
        m_isRunning = false;
    }
    m_jobs.Stop();
    // A job left on the list wakes the thread even when it looked at the list before the Stop.
    m_jobs.Add(VIEW_REFRESH_JOB());
}

bool QCViewInterface::Wait(int ms) {
    std::unique_lock<std::mutex> lock(m_threadLock);
    const auto ended = [this] { return !m_threadLive; };
    if (ms < 0)
        m_threadEnded.wait(lock, ended);
    else if (!m_threadEnded.wait_for(lock, std::chrono::milliseconds(ms), ended))
        return false;
    if (m_thread.joinable())
        m_thread.join();
    return true;
}

bool QCViewInterface::running() const {
    std::lock_guard<std::mutex> lock(m_runningLock);
    return m_isRunning;
}

void QCViewInterface::run() {
    m_currentPath.clear();
    m_pageSize = 100;
    m_query = SEARCH_INFO();
    m_delayedParents.Clear(); // folders of an earlier run's view
    m_delayPending = false;
    m_lastDelayCheck = QCClock::NowMs();
    while (running()) {
        VIEW_REFRESH_JOB job;
        if (m_jobs.FetchWait(job, SleepMs()) && running())
            HandleJob(job);
        if (m_delayPending.load() && QCClock::NowMs() - m_lastDelayCheck >= kDelayCheckMs) {
            m_lastDelayCheck = QCClock::NowMs();
            NotifyUI_DelayCheck_Process();
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_threadLive = false;
    }
    m_threadEnded.notify_all();
}

unsigned long QCViewInterface::SleepMs() const {
    if (!m_delayPending.load())
        return ULONG_MAX;
    const qint64 due = m_lastDelayCheck + kDelayCheckMs - QCClock::NowMs();
    return due > 0 ? static_cast<unsigned long>(due) : 0;
}

// --- Requests ------------------------------------------------------------------------------------

void QCViewInterface::Queue(const VIEW_REFRESH_JOB& job) {
    m_jobs.Add(job);
}

bool QCViewInterface::RefreshList(const QString& path, int count) {
    if (!running())
        return false;
    const QString root = m_engine.SyncFolderPath();
    // A plain prefix is not enough: "/sync2" is not inside "/sync".
    if (root.isEmpty() || !IsSubPath(root, path, false)) {
        CoreDebug("[UI] invalid view path %s, root is %s", qUtf8Printable(path), qUtf8Printable(root));
        return false;
    }
    VIEW_REFRESH_JOB job;
    job.type = VIEW_REFRESH_VIEW;
    job.path = path;
    job.count = PageCount(count);
    Queue(job);
    return true;
}

bool QCViewInterface::RefreshCustomDir(const QString& path, int count) {
    if (!running())
        return false;
    VIEW_REFRESH_JOB job;
    job.type = VIEW_REFRESH_CUSTOM_DIR;
    job.path = path;
    job.count = PageCount(count);
    Queue(job);
    return true;
}

bool QCViewInterface::RefreshSearch(const QString& text, int count) {
    if (!running())
        return false;
    VIEW_REFRESH_JOB job;
    job.type = VIEW_REFRESH_SEARCH;
    job.path = text;
    job.count = PageCount(count);
    Queue(job);
    return true;
}

bool QCViewInterface::NotifyUpdate(const FileInfo& record, bool deleted) {
    if (!running())
        return false;
    VIEW_REFRESH_JOB job;
    job.type = deleted ? VIEW_REFRESH_DELETE : VIEW_REFRESH_UPDATE;
    job.file = record;
    Queue(job);
    return true;
}

bool QCViewInterface::NotifyUpdateCurrent(const QString& path) {
    if (!running())
        return false;
    VIEW_REFRESH_JOB job;
    job.type = VIEW_REFRESH_UPDATE_CURRENT;
    job.file.path = path;
    Queue(job);
    return true;
}

void QCViewInterface::CleanData(bool clear) {
    if (!running())
        return;
    VIEW_REFRESH_JOB job;
    job.type = VIEW_REFRESH_CLEAR_DATA;
    job.clear = clear;
    Queue(job);
}

bool QCViewInterface::FlushCurrentView() {
    return m_outer.PostToUi(new QCFlushViewEvent());
}

bool QCViewInterface::SettleForTests(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_markLock);
    // Jobs that handled jobs queue (parents' updates) come after a mark: mark again until a mark
    // finds the list empty.
    do {
        VIEW_REFRESH_JOB job;
        job.type = VIEW_REFRESH_MARK_FOR_TESTS;
        job.count = ++m_marksIssued;
        if (!running())
            return false;
        Queue(job);
        if (!m_markDone.wait_until(lock, deadline, [this, &job] { return m_marksHandled >= job.count; }))
            return false;
    } while (!m_markFoundEmpty);
    return true;
}

// --- Jobs (view thread) --------------------------------------------------------------------------

void QCViewInterface::HandleJob(const VIEW_REFRESH_JOB& job) {
    switch (job.type) {
    case VIEW_REFRESH_VIEW:
        OnView(job);
        break;
    case VIEW_REFRESH_CUSTOM_DIR:
        OnCustomDir(job);
        break;
    case VIEW_REFRESH_SEARCH:
        OnSearch(job);
        break;
    case VIEW_REFRESH_UPDATE:
        OnUpdate(job);
        break;
    case VIEW_REFRESH_DELETE:
        OnDelete(job);
        break;
    case VIEW_REFRESH_UPDATE_CURRENT:
        OnUpdateCurrent(job);
        break;
    case VIEW_REFRESH_MARK_FOR_TESTS: {
        std::lock_guard<std::mutex> lock(m_markLock);
        m_marksHandled = job.count;
        m_markFoundEmpty = m_jobs.Count() == 0;
        m_markDone.notify_all();
        break;
    }
    case VIEW_REFRESH_CLEAR_DATA:
        if (job.clear) {
            m_currentPath.clear();
            m_query = SEARCH_INFO();
        }
        break;
    default:
        break;
    }
}

bool QCViewInterface::ReadyForViews() const {
    const int status = m_engine.QueryStatus();
    return status < 0 || status > 3; // from the cloud check on
}

size_t QCViewInterface::PageLength(size_t left) const {
    const auto size = static_cast<quint32>(m_pageSize);
    return size == 0 || size >= left ? left : size;
}

void QCViewInterface::PostPage(const QString& path, std::vector<FileInfo>& entries, size_t first,
                               size_t count, qint32 total, const QString& marks, bool search) {
    auto* event = new QCFileUpdateEvent();
    event->data.path = path;
    event->data.total = total;
    event->data.marks = marks;
    event->data.search = search;
    event->data.files.reserve(count);
    for (size_t i = first; i < first + count; ++i) {
        FileInfo& entry = entries[i];
        m_cache.GetFileInfoProgress(entry.path, entry);
        event->data.files.push_back(std::move(entry));
    }
    m_outer.PostToUi(event);
}

void QCViewInterface::OnView(const VIEW_REFRESH_JOB& job) {
    if (m_engine.SyncFolderPath().isEmpty())
        return;
    m_query.Init(QString()); // the custom folder stays
    m_currentPath = WithoutTrailingSlash(job.path);
    m_pageSize = job.count;
    if (!ReadyForViews())
        return;
    std::vector<FileInfo> list;
    if (!m_cache.Query(m_currentPath, list))
        return;
    CoreDebug("[UI] view %d items: %s", int(list.size()), qUtf8Printable(m_currentPath));
    size_t sent = 0;
    do { // an empty folder gets one empty page
        const size_t n = PageLength(list.size() - sent);
        PostPage(m_currentPath, list, sent, n, qint32(list.size() - sent), QString(), false);
        sent += n;
    } while (sent < list.size() && running());
}

void QCViewInterface::OnCustomDir(const VIEW_REFRESH_JOB& job) {
    if (m_engine.SyncFolderPath().isEmpty())
        return;
    m_query.Init(QString());
    // Notices are matched in lower case (NotifyUI_Need), so the folder is kept that way.
    m_query.SetCustomView(WithoutTrailingSlash(job.path).toLower());
    if (!ReadyForViews())
        return;
    m_currentPath = job.path;
    m_pageSize = job.count;
    QElapsedTimer timer;
    timer.start();
    std::vector<FileInfo> list;
    m_cache.ListAll(job.path, list);
    CoreDebug("[UI] search %u items, cost %u ms", unsigned(list.size()), unsigned(timer.elapsed()));
    PostPage(job.path, list, 0, PageLength(list.size()), qint32(list.size()), QString(), false);
}

void QCViewInterface::OnSearch(const VIEW_REFRESH_JOB& job) {
    if (m_engine.SyncFolderPath().isEmpty())
        return;
    m_query.Init(job.path);
    m_currentPath = job.path;
    m_pageSize = job.count;
    if (!ReadyForViews())
        return;
    QElapsedTimer timer;
    timer.start();
    // The index calls the match on this thread, with its lock released.
    SEARCH_INFO& query = m_query;
    const QCCacheSearchMatch match{[&query](const QString& path) { return SearchText(path, query); },
                                   query.by_keywords, query.by_keywords && !query.one_char.isNull()};
    std::vector<FileInfo> hits;
    m_cache.Search(hits, match);
    CoreDebug("[UI] search %u items, cost %lu ms", unsigned(hits.size()),
              static_cast<unsigned long>(timer.elapsed()));
    PostPage(job.path, hits, 0, PageLength(hits.size()), qint32(hits.size()), m_query.GetMarks(), true);
}

void QCViewInterface::OnUpdate(const VIEW_REFRESH_JOB& job) {
    if (m_currentPath.isEmpty() || m_engine.SyncFolderPath().isEmpty())
        return;
    FileInfo rec = job.file; // stays the notice's record when the index no longer has it
    m_cache.GetFileInfoProgressByPathKey(m_engine.GetVirtualPath(job.file.path), rec);
    if (m_query.keywords.empty())
        NotifyUI_CheckParent(m_currentPath, rec);
    if (!NotifyUI_Need(m_currentPath, m_query, job.file.path)) {
        if (CoreLog::Enabled())
            CoreDebug("[UI] skip %s", qUtf8Printable(job.file.path));
        return;
    }
    std::vector<FileInfo> one{rec};
    auto* event = new QCFileUpdateEvent();
    event->data.path = m_currentPath;
    event->data.total = 1;
    event->data.files = std::move(one);
    m_outer.PostToUi(event);
}

void QCViewInterface::OnDelete(const VIEW_REFRESH_JOB& job) {
    if (m_query.keywords.empty())
        NotifyUI_DelayCheck_Add(GetParentPath(job.file.path));
    if (!NotifyUI_Need(m_currentPath, m_query, job.file.path)) {
        if (CoreLog::Enabled())
            CoreDebug("[UI] skip %s", qUtf8Printable(job.file.path));
        return;
    }
    CoreDebug("[UI] delete %s", qUtf8Printable(job.file.path));
    auto* event = new QCFileDeleteEvent();
    event->data.path = m_currentPath;
    event->data.total = 1;
    event->data.files.push_back(job.file);
    m_outer.PostToUi(event);
}

void QCViewInterface::OnUpdateCurrent(const VIEW_REFRESH_JOB& job) {
    const QString child = FindChildChild(m_currentPath, job.file.path);
    FileInfo rec;
    if (child.isEmpty() || !m_cache.GetFileInfoProgress(child, rec))
        return;
    CoreDebug("[UI] notify parent (%u) %s", rec.status, qUtf8Printable(child));
    auto* event = new QCFileUpdateEvent();
    event->data.path = m_currentPath;
    event->data.total = 1;
    event->data.files.push_back(rec);
    m_outer.PostToUi(event);
}

// --- Whether a change concerns the view, and the parents' roll-ups -------------------------------

bool QCViewInterface::NotifyUI_Need(const QString& viewPath, SEARCH_INFO& query, const QString& path) {
    QString lower = path.toLower();
    if (!query.keywords.empty())
        return SearchText(lower, query);
    if (viewPath.isEmpty())
        return false;
    if (query.IsCustomView(lower))
        return true;
    if (lower.isEmpty() || NeedSkipSync(lower, false))
        return false;
    if (m_outer.IsDownloadRequested(path))
        return true;
    // An entry of the shown folder itself: its status and progress are on screen.
    return QString::compare(GetParentPath(path), WithoutTrailingSlash(viewPath), Qt::CaseInsensitive) == 0;
}

bool QCViewInterface::NotifyUI_CheckParent(const QString& viewPath, const FileInfo& rec) {
    if (rec.status == FILE_STATUS_IGNORE)
        return false;
    if (rec.status != FILE_STATUS_SYNCED && rec.status != FILE_STATUS_NOT_DOWN) {
        // Still moving: the shown child that holds it is rolled up on the delayed check.
        const QString child = FindChildChild(viewPath, rec.path);
        if (child.isEmpty())
            return false;
        NotifyUI_DelayCheck_Add(child);
        return true;
    }
    // Settled: its folder is rolled up with the next delayed check, once for all of its items
    // that settle meanwhile. A roll-up walks the folder's subtree under the index lock; one per
    // settled item made a folder of n items cost n walks while the workers waited for the lock.
    NotifyUI_DelayCheck_Add(GetParentPath(rec.path));
    return true;
}

void QCViewInterface::NotifyUI_DelayCheck_Add(const QString& path) {
    if (path.isEmpty())
        return;
    m_delayedParents.Set(path, true);
    m_delayPending = true;
}

void QCViewInterface::NotifyUI_DelayCheck_Process() {
    m_delayPending = false;
    std::set<QString> paths;
    m_delayedParents.FetchAll(paths);
    for (const QString& path : paths)
        NotifyParentIfChanged(path, "notify parent");
}

bool QCViewInterface::NotifyParentIfChanged(const QString& folder, const char* tag) {
    FileInfo stored;
    if (folder.isEmpty() || !m_cache.GetBaseInfo(folder, stored)) {
        CoreDebug("[UI] %s (failed) %s", tag, qUtf8Printable(folder));
        return false;
    }
    FileInfo rolled = stored;
    if (!m_cache.GetFileInfoProgress(folder, rolled))
        return false;
    if (rolled.status == stored.status && rolled.percent == stored.percent)
        return false;
    CoreDebug("[UI] %s (%u) %s", tag, rolled.status, qUtf8Printable(folder));
    NotifyUpdate(stored, false);
    return true;
}
