#pragma once
// The view thread: answers the main window's folder listings, custom folder listings and name
// searches from the index, and turns the index's change notices into update and delete events for
// the view on screen. The design note at the top of QCViewInterface.cpp gives its states and locks.
//
// Threads: Start, stop and Wait from the engine or the facade; the Refresh and Notify operations
// from any thread (they only queue a job); the NotifyUI_ helpers on the view thread.

#include "cache/QCCache.h"
#include "cache/QCCacheHost.h"
#include "cache/QCViewHost.h"
#include "cache/SearchText.h"
#include "cache/ViewRefreshJob.h"
#include "common/FileInfo.h"
#include "common/QCLockList.h"
#include "common/QCStringFlag.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The kinds of VIEW_REFRESH_JOB::type.
enum VIEW_REFRESH_CMD : qint32 {
    VIEW_REFRESH_UNKNOWN = 0,
    VIEW_REFRESH_VIEW = 1,             // a folder listing, in pages
    VIEW_REFRESH_UPDATE = 2,           // one record changed
    VIEW_REFRESH_DELETE = 3,           // one record removed
    VIEW_REFRESH_CLEAR_DATA = 4,       // forget the view on screen
    VIEW_REFRESH_SEARCH = 7,           // a name search, first page only
    VIEW_REFRESH_UPDATE_CURRENT = 8,   // a change deep inside the shown folder
    VIEW_REFRESH_CUSTOM_DIR = 9,       // everything below a folder, first page only
    VIEW_REFRESH_MARK_FOR_TESTS = 100, // SettleForTests: `count` is the mark's number
};

// Newest first: true when `a` was modified after `b`.
bool SortFunTime(const FileInfo& a, const FileInfo& b);

class QCViewInterface {
public:
    // All three must outlive the view thread.
    QCViewInterface(QCCache& cache, QCCacheHost& engine, QCViewHost& outer);
    // Stops the thread and waits for it.
    ~QCViewInterface();
    QCViewInterface(const QCViewInterface&) = delete;
    QCViewInterface& operator=(const QCViewInterface&) = delete;

    // Starts the thread unless it runs; a thread stopped before is joined first (it ends within
    // its current job). Requests are accepted from this call on.
    void Start();
    // Refuses further requests, drops the queued ones and wakes the thread, which ends after its
    // current job. Does not wait.
    void stop();
    // Waits up to `ms` (negative: no limit) for a stopped thread to end and joins it; true when no
    // thread is left. Never from the view thread.
    bool Wait(int ms);
    // Whether requests are accepted.
    bool running() const;

    // --- Requests (any thread): false while not running ---

    // A listing of `path`, a folder in the sync folder, in pages of `count` entries (0: one page).
    bool RefreshList(const QString& path, int count);
    // Every item below `path`; one page of `count` entries (0: all).
    bool RefreshCustomDir(const QString& path, int count);
    // The hits of `text`; one page of `count` entries (0: all).
    bool RefreshSearch(const QString& text, int count);
    // A changed (deleted false) or removed record, from the index or the engine.
    bool NotifyUpdate(const FileInfo& record, bool deleted);
    // Something changed below `path`: the shown folder's child that holds it is shown again.
    bool NotifyUpdateCurrent(const QString& path);
    // With `clear`, forgets the view on screen; otherwise nothing.
    void CleanData(bool clear);
    // Tells the user interface to show its view again, at once.
    bool FlushCurrentView();

    // --- The view thread's helpers ---

    // Whether a notice about `path` concerns the view of `viewPath` with the query `query` (whose
    // marks a matching search adds to).
    bool NotifyUI_Need(const QString& viewPath, SEARCH_INFO& query, const QString& path);
    // After a change of `rec`: puts an unsettled item's top child of `viewPath`, or a settled
    // item's folder, on the delayed checks, which queue an update of each whose roll-up changed.
    bool NotifyUI_CheckParent(const QString& viewPath, const FileInfo& rec);
    // Marks a folder for the next delayed roll-up check. Meant for the view thread: the thread does
    // not sleep past a check due then; a mark from elsewhere is looked at after the next job.
    void NotifyUI_DelayCheck_Add(const QString& path);
    // Rolls up every marked folder and queues an update of each whose status or percent changed.
    void NotifyUI_DelayCheck_Process();

    // Test hook: waits until every job queued before the call, and every job those queued, has
    // been handled; false when the thread does not run or `timeoutMs` passed first.
    bool SettleForTests(int timeoutMs);

    // Delayed roll-up checks run at most this often.
    static constexpr qint64 kDelayCheckMs = 500;

private:
    void run();
    void Queue(const VIEW_REFRESH_JOB& job);
    void HandleJob(const VIEW_REFRESH_JOB& job);
    void OnView(const VIEW_REFRESH_JOB& job);
    void OnCustomDir(const VIEW_REFRESH_JOB& job);
    void OnSearch(const VIEW_REFRESH_JOB& job);
    void OnUpdate(const VIEW_REFRESH_JOB& job);
    void OnDelete(const VIEW_REFRESH_JOB& job);
    void OnUpdateCurrent(const VIEW_REFRESH_JOB& job);
    // The listing and search jobs are answered from the cloud check on.
    bool ReadyForViews() const;
    // Queues an update of a folder whose roll-up differs from its stored record; `tag` names the
    // cause in the debug line.
    bool NotifyParentIfChanged(const QString& folder, const char* tag);
    // Posts one 2201 of `path` with `count` entries of `entries` from `first` on, each decorated
    // with its progress (the entries are moved out).
    void PostPage(const QString& path, std::vector<FileInfo>& entries, size_t first, size_t count,
                  qint32 total, const QString& marks, bool search);
    // How many of `left` entries fit in one page.
    size_t PageLength(size_t left) const;
    // The milliseconds the thread may sleep: none while a delayed check is due, until it is due
    // while one waits, else until woken.
    unsigned long SleepMs() const;

    // Set once.
    QCCache& m_cache;
    QCCacheHost& m_engine;
    QCViewHost& m_outer;

    // Any thread; their own locks.
    QCLockList<VIEW_REFRESH_JOB> m_jobs;
    QCStringFlag m_delayedParents;           // folders for the next roll-up check
    std::atomic<bool> m_delayPending{false}; // m_delayedParents may hold a folder

    // Guarded by m_runningLock.
    mutable std::mutex m_runningLock;
    bool m_isRunning = false;

    // Guarded by m_threadLock: the thread object and whether its run has returned.
    std::mutex m_threadLock;
    std::condition_variable m_threadEnded;
    std::thread m_thread;
    bool m_threadLive = false;

    // Test marks: the last issued and the last handled; guarded by m_markLock.
    std::mutex m_markLock;
    std::condition_variable m_markDone;
    qint32 m_marksIssued = 0;
    qint32 m_marksHandled = 0;
    bool m_markFoundEmpty = false; // the job list was empty when the last mark was handled

    // The view thread only (reset by each run).
    QString m_currentPath;   // the folder, custom folder or search text shown last
    qint32 m_pageSize = 100; // the count of the last listing or search; -1 no limit
    SEARCH_INFO m_query;     // the active search or custom view
    qint64 m_lastDelayCheck = 0;
};
