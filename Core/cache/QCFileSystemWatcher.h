#pragma once
// The mirror folder watcher: inotify on every folder of the mirror that the sync looks at, read on
// a thread of its own, each change handed to the engine as one report
// (QCWatcherHost::NotifyFileChange) with absolute paths. The design note at the top of
// QCFileSystemWatcher.cpp gives the rules.
//
// Threads: addWatchPath, clearAll and the queries may be called from any thread except the
// watcher's own; addWatchPath and clearAll are serialised. The host is called on the watcher's
// thread only.

#include "cache/QCWatcherHost.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class QCFileSystemWatcher {
public:
    // `host` must outlive the watcher.
    explicit QCFileSystemWatcher(QCWatcherHost& host);
    // Stops the thread when it still runs.
    ~QCFileSystemWatcher();
    QCFileSystemWatcher(const QCFileSystemWatcher&) = delete;
    QCFileSystemWatcher& operator=(const QCFileSystemWatcher&) = delete;

    // Watches `root` (an absolute folder) and every visible folder below it, after ending a watch
    // of another folder; a watch of the same folder that is in place is kept. A root that is
    // missing or cannot be watched is tried again later and rescanned once it can be. False only
    // when inotify cannot be set up (nothing runs then).
    bool addWatchPath(const QString& root);
    // Ends the thread and drops every watch; returns once the thread has ended (promptly: the
    // thread waits on a wake-up descriptor beside inotify's). No-op when not running.
    void clearAll();
    // Stops watching `path` when it is the folder given to addWatchPath (letter case aside):
    // folders below it are watched as part of it, never on their own.
    void removeWatchPath(const QString& path);
    // Folders whose changes are neither watched nor reported, with what lies below them; letter
    // case is ignored and an entry is kept once. The list outlives clearAll. A folder taken off
    // the list is watched from the next rescan on.
    void addExcludePath(const QString& path);
    void removeExcludePath(const QString& path);
    bool IsRunning() const;
    // The folder given to the running watch; empty when none runs.
    QString Root() const;
    // Waits up to `ms` until the running watch has set up its first watches; true when it has.
    bool WaitWatching(int ms) const;
    // Folders watched now.
    int WatchCount() const { return m_watchCount.load(); }
    // How often the watch of the mirror itself was lost and handled (tests wait on it).
    int RootLosses() const { return m_rootLosses.load(); }

    // How long a moved-from waits on the core's clock for its moved-to half before it counts as a
    // delete (both halves normally come in one read).
    static constexpr qint64 kSettleMs = 200;
    // How long, on the core's clock, until a folder that could not be watched (the watch limit
    // reached, the root missing) is tried and rescanned again.
    static constexpr qint64 kRetryMs = 30000;

    // --- Test hooks (any thread) ---

    // Acts as after an inotify queue overflow: the events queued now are dropped unread and the
    // whole mirror is rescanned against what the host knows.
    void SimulateOverflowForTests();
    // Watches fail as at the system's watch limit once `n` folders are watched; -1 lifts it.
    void SetWatchLimitForTests(int n) { m_watchLimit = n; }

private:
    struct RawEvent {
        int wd;
        quint32 mask;
        quint32 cookie;
        QString name;
    };
    // One report waiting to be sent, or a moved-from waiting for its other half (`cookie` != 0).
    struct Report {
        QString path;
        SYNC_CHANGE_TYPE type = SYNC_CHANGE_ADD;
        QString oldPath;
        quint32 cookie = 0;
        bool isDir = false;
        bool visible = true; // the moved-from's name is one that is watched and reported
        qint64 due = 0;      // when a lone moved-from becomes a delete
        // Events read below a moved-from folder: its paths are known once it is resolved.
        std::vector<RawEvent> held;
    };
    static Report Change(const QString& path, SYNC_CHANGE_TYPE type, bool isDir,
                         const QString& oldPath = QString()) {
        Report report;
        report.path = path;
        report.type = type;
        report.oldPath = oldPath;
        report.isDir = isDir;
        return report;
    }

    // The watcher's thread: the loop and its steps. All below use the thread's state alone.
    void Run(QString root);
    void ReadEvents(const QString& root, bool& overflow);
    void HandleEvent(const QString& root, int wd, quint32 mask, quint32 cookie, const QString& name,
                     bool& overflow);
    // The mirror's watch ended (deleted, moved, unmounted): see the design note.
    void LoseRoot(const QString& root, bool unmounted);
    enum class RootState { Missing, Same, Other };
    // Whether the mirror is there and is the folder the watch began with (taken now when it was
    // missing then).
    RootState RootIs(const QString& root);
    void PairMove(const QString& root, quint32 cookie, const QString& path, bool isDir, bool visible);
    void Replay(const QString& root, const std::vector<RawEvent>& events);
    // Watches `dir` and the visible folders below it, each before it is listed; with `adds` every
    // visible entry found below `dir` is appended to it as an add, a folder before its contents.
    void WatchTree(const QString& root, const QString& dir, std::vector<Report>* adds);
    int AddWatch(const QString& dir);
    // Drops the watches of `dir` and below; `remove` also tells inotify (the folder lives on
    // elsewhere).
    void ForgetTree(const QString& dir, bool remove);
    void MoveTree(const QString& from, const QString& to);
    // Compares the disk below `folder` with what the host knows and reports the differences.
    void Rescan(const QString& root, const QString& folder);
    void ScheduleRetry(const QString& folder);
    void RetryDue(const QString& root);
    void ResolveDueMoves(const QString& root, bool all);
    void Flush();
    void Send(const Report& report);
    // At or below a folder of the exclude list.
    bool Excluded(const QString& path) const;
    // Milliseconds the loop may wait in poll: -1 when nothing is due.
    int WaitMs() const;

    QCWatcherHost& m_host; // set once

    // Serialises addWatchPath and clearAll; never taken by the watcher's thread.
    std::mutex m_lifeLock;
    std::thread m_thread; // guarded by m_lifeLock
    // Set by addWatchPath before the thread begins, closed by clearAll after it ended.
    int m_inotifyFd = -1;
    int m_wakeFd = -1;

    // Guarded by m_lock.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_watchingChanged;
    QString m_root;
    QStringList m_excludes;
    bool m_running = false;
    bool m_watching = false; // the first watches are set up

    // Any thread.
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_overflowRequested{false};
    std::atomic<bool> m_rootWatched{false};
    std::atomic<int> m_watchLimit{-1};
    std::atomic<int> m_watchCount{0};
    std::atomic<int> m_rootLosses{0};

    // The watcher's thread only (reset by addWatchPath before the thread begins).
    std::unordered_map<int, QString> m_wdPath; // watch descriptor -> folder
    std::map<QString, int> m_pathWd;           // folder -> watch descriptor, subtrees adjacent
    std::map<QString, qint64> m_retry;         // folder -> when to watch and rescan it again
    std::deque<Report> m_outbox;               // in the order the changes happened
    int m_pendingMoves = 0;                    // moved-froms in m_outbox
    bool m_limitLogged = false;
    bool m_rootKnown = false; // the mirror's device and inode below are known
    quint64 m_rootDevice = 0;
    quint64 m_rootInode = 0;
};
