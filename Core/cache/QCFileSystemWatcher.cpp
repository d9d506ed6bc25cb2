// The mirror folder watcher.
//
// What it promises
// - Every folder of the mirror that the sync looks at has an inotify watch: the root and its tree
//   at addWatchPath, a new folder (created or moved in) as soon as its event is read, and that
//   folder is then listed, so that what was made inside it before its watch existed is reported
//   too (as adds).
// - Reports carry absolute paths and keep the order of the events: created and deleted entries one
//   by one; a moved-from and a moved-to with one cookie make one rename (a folder's watches follow
//   it to its new paths); a moved-from alone (moved out of the mirror) is a delete after kSettleMs,
//   a moved-to alone (moved in) an add with its contents; a write (IN_MODIFY, IN_CLOSE_WRITE) is a
//   modification. Reports queued behind a moved-from wait until it is resolved.
// - What the sync leaves out is neither watched nor reported, by the rule the local scan follows:
//   names that IsSyncedName refuses (the cache folders, the private folder among them) and
//   symbolic links, which are never followed either; a move between such a name and a synced one
//   is a delete or an add.
// - Whatever may have been missed is rescanned against what the host knows (the index and the
//   journal): the whole mirror after a queue overflow, a folder whose watch failed (the watch
//   limit, the root missing or gone) every kRetryMs until its watch holds. The rescan reports
//   adds, deletes (the topmost missing item only) and modifications by size or time.
// - The mirror is the folder it was when the watch began (its device and inode): unmounted, or
//   with another folder in its place, it is gone, and what the path shows meanwhile is neither
//   watched nor compared, so that an unmount never reads as the user deleting everything.
//
// Threads: the watcher's thread owns the watch maps, the outbox and the retry list; it waits in
// poll on inotify's descriptor and on an eventfd that clearAll and the overflow hook write. Other
// threads touch only the atomics and the fields under m_lock.
#include "cache/QCFileSystemWatcher.h"

#include "common/CoreLog.h"
#include "common/LocalScan.h"
#include "common/QCClock.h"
#include "common/SafePath.h"
#include "common/SkipRules.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint32 kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                               IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                               IN_EXCL_UNLINK;

// A name the sync leaves out.
bool Skipped(const QString& name) {
    return !IsSyncedName(name);
}

// Every name of `path` below `root` is one that is reported.
bool VisibleBelow(const QString& root, const QString& path) {
    return IsSyncedPath(path.mid(root.size()));
}

// A symbolic link, a pipe, a socket or a device now at `path`: never reported, as the scan never
// lists one.
bool IsSpecial(const QString& root, const QString& path) {
    const LocalStat here = SafePath::Stat(root, path);
    return here.exists && !here.Synced();
}

QString Join(const QString& dir, const QString& name) {
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

bool Below(const QString& path, const QString& dir) {
    return path.size() > dir.size() && path.startsWith(dir) && path.at(dir.size()) == QLatin1Char('/');
}

void Wake(int fd) {
    const uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0)
        CoreDebug("[monitor] wake-up failed: %s", strerror(errno));
}

} // namespace

QCFileSystemWatcher::QCFileSystemWatcher(QCWatcherHost& host) : m_host(host) {}

QCFileSystemWatcher::~QCFileSystemWatcher() {
    clearAll();
}

bool QCFileSystemWatcher::addWatchPath(const QString& root) {
    std::lock_guard<std::mutex> life(m_lifeLock);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_running && m_root == root && m_rootWatched.load())
            return true;
    }
    if (m_thread.joinable()) {
        // Stops without the life lock's re-entry.
        m_stopRequested = true;
        Wake(m_wakeFd);
        m_thread.join();
        close(m_inotifyFd);
        close(m_wakeFd);
        m_inotifyFd = m_wakeFd = -1;
    }
    m_inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotifyFd < 0 || m_wakeFd < 0) {
        qWarning("[monitor] directory monitor failed: %s", strerror(errno));
        if (m_inotifyFd >= 0)
            close(m_inotifyFd);
        if (m_wakeFd >= 0)
            close(m_wakeFd);
        m_inotifyFd = m_wakeFd = -1;
        std::lock_guard<std::mutex> lock(m_lock);
        m_running = false;
        m_root.clear();
        return false;
    }
    m_wdPath.clear();
    m_pathWd.clear();
    m_retry.clear();
    m_outbox.clear();
    m_pendingMoves = 0;
    m_limitLogged = false;
    m_watchCount = 0;
    m_rootWatched = false;
    m_rootKnown = false;
    m_stopRequested = false;
    m_overflowRequested = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_root = root;
        m_running = true;
        m_watching = false;
    }
    CoreDebug("[monitor] Add to watch: %s", qUtf8Printable(root));
    m_thread = std::thread([this, root] { Run(root); });
    return true;
}

void QCFileSystemWatcher::clearAll() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (!m_thread.joinable())
        return;
    m_stopRequested = true;
    Wake(m_wakeFd);
    m_thread.join();
    close(m_inotifyFd); // drops every watch
    close(m_wakeFd);
    m_inotifyFd = m_wakeFd = -1;
    m_watchCount = 0;
    m_rootWatched = false;
    std::lock_guard<std::mutex> lock(m_lock);
    m_running = false;
    m_watching = false;
    m_root.clear();
    m_watchingChanged.notify_all();
}

void QCFileSystemWatcher::removeWatchPath(const QString& path) {
    if (path.compare(Root(), Qt::CaseInsensitive) == 0 && !path.isEmpty())
        clearAll();
}

void QCFileSystemWatcher::addExcludePath(const QString& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_excludes.contains(path, Qt::CaseInsensitive))
        m_excludes.append(path);
}

void QCFileSystemWatcher::removeExcludePath(const QString& path) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (int i = m_excludes.size() - 1; i >= 0; --i) {
        if (m_excludes.at(i).compare(path, Qt::CaseInsensitive) == 0)
            m_excludes.removeAt(i);
    }
}

bool QCFileSystemWatcher::Excluded(const QString& path) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const QString& folder : m_excludes) {
        if (path.compare(folder, Qt::CaseInsensitive) == 0 ||
            (path.size() > folder.size() && path.at(folder.size()) == QLatin1Char('/') &&
             path.startsWith(folder, Qt::CaseInsensitive)))
            return true;
    }
    return false;
}

bool QCFileSystemWatcher::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_running;
}

QString QCFileSystemWatcher::Root() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_root;
}

bool QCFileSystemWatcher::WaitWatching(int ms) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_watchingChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        return m_watching || !m_running;
    }) && m_watching;
}

void QCFileSystemWatcher::SimulateOverflowForTests() {
    m_overflowRequested = true;
    std::lock_guard<std::mutex> life(m_lifeLock);
    Wake(m_wakeFd);
}

// --- The watcher's thread --------------------------------------------------------------------------

void QCFileSystemWatcher::Run(QString root) {
    RootIs(root); // the mirror's identity, when it exists
    WatchTree(root, root, nullptr);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_watching = true;
    }
    m_watchingChanged.notify_all();

    while (!m_stopRequested.load()) {
        pollfd fds[2] = {{m_inotifyFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, WaitMs()) < 0 && errno != EINTR) {
            qWarning("[monitor] poll failed: %s", strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            if (read(m_wakeFd, &count, sizeof count) < 0 && errno != EAGAIN)
                CoreDebug("[monitor] wake-up read failed: %s", strerror(errno));
        }
        if (m_stopRequested.load())
            break;
        bool overflow = m_overflowRequested.exchange(false);
        if (overflow) {
            // What the queue holds now stands for the events an overflow loses.
            char buffer[4096];
            while (read(m_inotifyFd, buffer, sizeof buffer) > 0) {
            }
        } else if (fds[0].revents & POLLIN) {
            ReadEvents(root, overflow);
        }
        ResolveDueMoves(root, overflow);
        Flush();
        if (overflow) {
            CoreDebug("[monitor] events lost: the whole mirror is rescanned");
            WatchTree(root, root, nullptr); // folders made meanwhile have no watch yet
            Rescan(root, root);
        }
        RetryDue(root);
    }
}

int QCFileSystemWatcher::WaitMs() const {
    qint64 due = -1;
    for (auto it = m_outbox.begin(); m_pendingMoves > 0 && it != m_outbox.end(); ++it) {
        if (it->cookie != 0)
            due = due < 0 ? it->due : std::min(due, it->due);
    }
    for (const auto& retry : m_retry)
        due = due < 0 ? retry.second : std::min(due, retry.second);
    if (due < 0)
        return -1;
    // At most 100 ms: a test's manual clock moves without waking the thread.
    return int(std::clamp<qint64>(due - QCClock::NowMs(), 0, 100));
}

void QCFileSystemWatcher::ReadEvents(const QString& root, bool& overflow) {
    alignas(inotify_event) char buffer[64 * 1024];
    const ssize_t length = read(m_inotifyFd, buffer, sizeof buffer);
    if (length <= 0) {
        if (length < 0 && errno != EAGAIN && errno != EINTR)
            qWarning("[monitor] reading events failed: %s", strerror(errno));
        return;
    }
    for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += ssize_t(sizeof(inotify_event) + event->len);
        const QString name = event->len > 0 ? SafePath::DecodeName(event->name) : QString();
        HandleEvent(root, event->wd, event->mask, event->cookie, name, overflow);
    }
}

void QCFileSystemWatcher::HandleEvent(const QString& root, int wd, quint32 mask, quint32 cookie,
                                      const QString& name, bool& overflow) {
    if (mask & IN_Q_OVERFLOW) {
        overflow = true;
        return;
    }
    const auto watched = m_wdPath.find(wd);
    if (watched == m_wdPath.end())
        return; // a watch already dropped
    const QString dir = watched->second;
    if (dir == root && (mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        LoseRoot(root, mask & IN_UNMOUNT);
        return;
    }
    if (mask & IN_IGNORED) {
        m_wdPath.erase(watched);
        const auto it = m_pathWd.find(dir);
        if (it != m_pathWd.end() && it->second == wd)
            m_pathWd.erase(it);
        m_watchCount = int(m_pathWd.size());
        return;
    }
    for (Report& report : m_outbox) {
        if (m_pendingMoves == 0)
            break;
        if (report.cookie != 0 && report.isDir && report.visible &&
            (dir == report.path || Below(dir, report.path))) {
            report.held.push_back({wd, mask, cookie, name});
            return;
        }
    }
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF))
        return; // a folder below: its parent's event reports it
    if (name.isEmpty())
        return;
    const QString path = Join(dir, name);
    const bool isDir = mask & IN_ISDIR;
    if (mask & IN_MOVED_FROM) {
        Report pending;
        pending.path = path;
        pending.cookie = cookie != 0 ? cookie : 1;
        pending.isDir = isDir;
        pending.visible = !Skipped(name) && !Excluded(path);
        pending.due = QCClock::NowMs() + kSettleMs;
        m_outbox.push_back(pending);
        ++m_pendingMoves;
        return;
    }
    if (mask & IN_MOVED_TO) {
        PairMove(root, cookie, path, isDir, !Skipped(name) && !Excluded(path) && !IsSpecial(root, path));
        return;
    }
    if (Skipped(name) || Excluded(path) || ((mask & IN_CREATE) && IsSpecial(root, path)))
        return;
    if (mask & IN_CREATE) {
        m_outbox.push_back(Change(path, SYNC_CHANGE_ADD, isDir));
        if (isDir) {
            std::vector<Report> adds;
            WatchTree(root, path, &adds);
            m_outbox.insert(m_outbox.end(), adds.begin(), adds.end());
        }
    } else if (mask & IN_DELETE) {
        if (isDir)
            ForgetTree(path, false);
        m_outbox.push_back(Change(path, SYNC_CHANGE_DEL, isDir));
    } else if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) {
        // A burst of writes read at once is one modification.
        if (!m_outbox.empty()) {
            const Report& last = m_outbox.back();
            if (last.cookie == 0 && last.path == path &&
                (last.type == SYNC_CHANGE_ADD || last.type == SYNC_CHANGE_MOD))
                return;
        }
        m_outbox.push_back(Change(path, SYNC_CHANGE_MOD, false));
    }
}

void QCFileSystemWatcher::LoseRoot(const QString& root, bool unmounted) {
    // The mirror itself was deleted or moved away: what it held is reported missing (the engine
    // holds deletes while its folder is missing), and it is watched and rescanned again once it is
    // back. Unmounted, or another folder in its place: it is gone too, but what the path shows now
    // is not the mirror, and nothing of it is reported until the mirror itself is back.
    CoreDebug("[monitor] the mirror folder %s is gone%s", qUtf8Printable(root), unmounted ? " (unmounted)" : "");
    ForgetTree(root, true);
    m_rootWatched = false;
    ScheduleRetry(root);
    ResolveDueMoves(root, true);
    Flush();
    if (!unmounted && RootIs(root) != RootState::Other)
        Rescan(root, root);
    ++m_rootLosses;
}

QCFileSystemWatcher::RootState QCFileSystemWatcher::RootIs(const QString& root) {
    struct stat st {};
    if (stat(QFile::encodeName(root).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return RootState::Missing;
    if (!m_rootKnown) {
        m_rootKnown = true;
        m_rootDevice = quint64(st.st_dev);
        m_rootInode = quint64(st.st_ino);
    }
    return quint64(st.st_dev) == m_rootDevice && quint64(st.st_ino) == m_rootInode ? RootState::Same
                                                                                   : RootState::Other;
}

void QCFileSystemWatcher::PairMove(const QString& root, quint32 cookie, const QString& path, bool isDir,
                                   bool visible) {
    auto from = m_pendingMoves == 0
                    ? m_outbox.end()
                    : std::find_if(m_outbox.begin(), m_outbox.end(),
                                   [cookie](const Report& r) { return r.cookie != 0 && r.cookie == cookie; });
    std::vector<Report> reports;
    bool watchNew = visible;
    if (from != m_outbox.end() && from->visible && visible) {
        reports.push_back(Change(path, SYNC_CHANGE_REN, isDir, from->path));
        if (isDir)
            MoveTree(from->path, path);
        watchNew = false;
    } else if (from != m_outbox.end() && from->visible) {
        reports.push_back(Change(from->path, SYNC_CHANGE_DEL, isDir));
        if (isDir)
            ForgetTree(from->path, true); // hidden now: no longer watched
    }
    if (watchNew) {
        reports.push_back(Change(path, SYNC_CHANGE_ADD, isDir));
        if (isDir)
            WatchTree(root, path, &reports);
    }
    if (from == m_outbox.end()) {
        m_outbox.insert(m_outbox.end(), reports.begin(), reports.end());
        return;
    }
    // In the moved-from's place: what happened between the two halves stays after it.
    --m_pendingMoves;
    const std::vector<RawEvent> held = std::move(from->held);
    const auto at = m_outbox.erase(from);
    m_outbox.insert(at, reports.begin(), reports.end());
    Replay(root, held);
}

void QCFileSystemWatcher::Replay(const QString& root, const std::vector<RawEvent>& events) {
    bool overflow = false; // never set by a held event
    for (const RawEvent& event : events)
        HandleEvent(root, event.wd, event.mask, event.cookie, event.name, overflow);
}

void QCFileSystemWatcher::ResolveDueMoves(const QString& root, bool all) {
    const qint64 now = QCClock::NowMs();
    std::vector<RawEvent> held;
    for (Report& report : m_outbox) {
        if (report.cookie == 0 || (!all && report.due > now))
            continue;
        if (report.isDir)
            ForgetTree(report.path, true); // it lives on outside the mirror
        report.type = SYNC_CHANGE_DEL;
        report.cookie = 0;
        --m_pendingMoves;
        if (!report.visible)
            report.path.clear(); // a hidden name left: nothing to report
        held.insert(held.end(), report.held.begin(), report.held.end());
        report.held.clear();
    }
    Replay(root, held); // their watches are gone: nothing of them is reported
}

void QCFileSystemWatcher::Flush() {
    while (!m_outbox.empty() && m_outbox.front().cookie == 0) {
        Send(m_outbox.front());
        m_outbox.pop_front();
    }
}

void QCFileSystemWatcher::Send(const Report& report) {
    if (report.path.isEmpty())
        return;
    CoreDebug("[monitor] report %d %s", int(report.type), qUtf8Printable(report.path));
    m_host.NotifyFileChange(report.path, report.type, report.oldPath, false);
}

// --- Watches ---------------------------------------------------------------------------------------

void QCFileSystemWatcher::WatchTree(const QString& root, const QString& dir, std::vector<Report>* adds) {
    if (SafePath::IsUndecodable(dir))
        return; // a name that is not text cannot be synced: the report of it stands for its contents
    if (AddWatch(dir) < 0) {
        ScheduleRetry(dir);
        return;
    }
    if (dir == root)
        m_rootWatched = true;
    // Listed from the root without following a link: a link swapped in for a folder on the way
    // fails the listing instead of leading out of the mirror.
    const int fd = SafePath::OpenFolder(root, dir);
    DIR* handle = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!handle) {
        if (fd >= 0)
            close(fd);
        return; // gone again, or unreadable: its parent's events tell
    }
    std::vector<std::pair<QString, bool>> entries; // name, is a folder
    while (const dirent* entry = readdir(handle)) {
        const QString name = SafePath::DecodeName(entry->d_name);
        struct stat st {};
        if (Skipped(name) || fstatat(dirfd(handle), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) // never a link, a device, a socket or a pipe
            entries.emplace_back(name, S_ISDIR(st.st_mode));
    }
    closedir(handle);
    std::sort(entries.begin(), entries.end());
    for (const auto& [name, isDir] : entries) {
        const QString path = Join(dir, name);
        if (Excluded(path))
            continue;
        if (adds)
            adds->push_back(Change(path, SYNC_CHANGE_ADD, isDir));
        if (isDir)
            WatchTree(root, path, adds);
    }
}

int QCFileSystemWatcher::AddWatch(const QString& dir) {
    const int limit = m_watchLimit.load();
    int wd = -1;
    if (limit >= 0 && int(m_pathWd.size()) >= limit && m_pathWd.count(dir) == 0)
        errno = ENOSPC;
    else
        wd = inotify_add_watch(m_inotifyFd, QFile::encodeName(dir).constData(), kWatchMask);
    if (wd < 0) {
        if (errno == ENOSPC && !m_limitLogged) {
            m_limitLogged = true;
            qWarning("[monitor] the system's limit of watches (fs.inotify.max_user_watches) is reached; "
                     "unwatched folders are rescanned every %lld s",
                     static_cast<long long>(kRetryMs / 1000));
        }
        CoreDebug("[monitor] cannot watch %s: %s", qUtf8Printable(dir), strerror(errno));
        return -1;
    }
    // The same folder under a new name (a rename read while events were lost) keeps its descriptor.
    const auto old = m_wdPath.find(wd);
    if (old != m_wdPath.end() && old->second != dir)
        m_pathWd.erase(old->second);
    m_wdPath[wd] = dir;
    m_pathWd[dir] = wd;
    m_retry.erase(dir);
    m_watchCount = int(m_pathWd.size());
    return wd;
}

void QCFileSystemWatcher::ForgetTree(const QString& dir, bool remove) {
    for (auto it = m_pathWd.lower_bound(dir);
         it != m_pathWd.end() && (it->first == dir || Below(it->first, dir));) {
        if (remove)
            inotify_rm_watch(m_inotifyFd, it->second);
        m_wdPath.erase(it->second);
        it = m_pathWd.erase(it);
    }
    for (auto it = m_retry.lower_bound(dir);
         it != m_retry.end() && (it->first == dir || Below(it->first, dir));)
        it = m_retry.erase(it);
    m_watchCount = int(m_pathWd.size());
}

void QCFileSystemWatcher::MoveTree(const QString& from, const QString& to) {
    std::vector<std::pair<QString, int>> moved;
    for (auto it = m_pathWd.lower_bound(from);
         it != m_pathWd.end() && (it->first == from || Below(it->first, from));) {
        moved.emplace_back(to + it->first.mid(from.size()), it->second);
        it = m_pathWd.erase(it);
    }
    for (const auto& entry : moved) {
        m_pathWd[entry.first] = entry.second;
        m_wdPath[entry.second] = entry.first;
    }
    std::vector<std::pair<QString, qint64>> retries;
    for (auto it = m_retry.lower_bound(from);
         it != m_retry.end() && (it->first == from || Below(it->first, from));) {
        retries.emplace_back(to + it->first.mid(from.size()), it->second);
        it = m_retry.erase(it);
    }
    m_retry.insert(retries.begin(), retries.end());
}

void QCFileSystemWatcher::ScheduleRetry(const QString& folder) {
    const qint64 due = QCClock::NowMs() + kRetryMs;
    auto it = m_retry.find(folder);
    if (it == m_retry.end())
        m_retry.emplace(folder, due);
    else
        it->second = std::max(it->second, due);
}

void QCFileSystemWatcher::RetryDue(const QString& root) {
    const qint64 now = QCClock::NowMs();
    std::vector<QString> due;
    for (const auto& retry : m_retry) {
        if (retry.second <= now)
            due.push_back(retry.first);
    }
    for (const QString& folder : due) {
        if (m_retry.erase(folder) == 0)
            continue; // taken along by a folder above it
        if (folder == root && RootIs(root) != RootState::Same) {
            ScheduleRetry(root); // its loss was reported once; wait for it to come back
            continue;
        }
        struct stat st {};
        if (stat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // a folder below: the watch of the folder above reported it
        WatchTree(root, folder, nullptr);
        Rescan(root, folder);
    }
}

// --- Rescan ----------------------------------------------------------------------------------------

void QCFileSystemWatcher::Rescan(const QString& root, const QString& folder) {
    std::map<QString, FILE_INFO> known;
    if (!m_host.KnownBelow(folder, known)) {
        CoreDebug("[monitor] %s cannot be compared yet", qUtf8Printable(folder));
        ScheduleRetry(folder);
        return;
    }
    std::map<QString, FILE_INFO> disk;
    QStringList unreadable;
    BuildLocalFileMap(disk, folder, root, true, nullptr, &unreadable);
    // What a folder that cannot be listed holds is unknown: never reported deleted.
    const auto unseen = [&unreadable](const QString& path) {
        for (const QString& dir : unreadable) {
            if (path.compare(dir, Qt::CaseInsensitive) == 0 || Below(path.toLower(), dir.toLower()))
                return true;
        }
        return false;
    };
    for (auto it = known.begin(); it != known.end();) {
        if (!Below(it->second.path, folder) || !VisibleBelow(root, it->second.path) ||
            Excluded(it->second.path) || unseen(it->second.path))
            it = known.erase(it);
        else
            ++it;
    }
    for (auto it = disk.begin(); it != disk.end();)
        it = Excluded(it->second.path) ? disk.erase(it) : std::next(it);
    int reported = 0;
    const auto send = [this, &reported](const QString& path, SYNC_CHANGE_TYPE type, bool isDir) {
        Send(Change(path, type, isDir));
        ++reported;
    };
    // Deletes first, the topmost missing item only: a folder's delete stands for its contents.
    std::set<QString> deletedDirs;
    for (const auto& [key, item] : known) {
        if (disk.count(key) != 0)
            continue;
        bool covered = false;
        for (int slash = key.lastIndexOf(QLatin1Char('/')); slash > 0 && !covered;
             slash = key.lastIndexOf(QLatin1Char('/'), slash - 1))
            covered = deletedDirs.count(key.left(slash)) != 0;
        if (covered)
            continue;
        send(item.path, SYNC_CHANGE_DEL, item.is_dir);
        if (item.is_dir)
            deletedDirs.insert(key);
    }
    for (const auto& [key, item] : disk) {
        const auto was = known.find(key);
        if (was == known.end()) {
            send(item.path, SYNC_CHANGE_ADD, item.is_dir);
        } else if (was->second.is_dir != item.is_dir) {
            send(was->second.path, SYNC_CHANGE_DEL, was->second.is_dir);
            send(item.path, SYNC_CHANGE_ADD, item.is_dir);
        } else if (!item.is_dir && (item.size != was->second.size || item.mtime != was->second.mtime)) {
            send(item.path, SYNC_CHANGE_MOD, false);
        }
    }
    CoreDebug("[monitor] rescan of %s: %d differences", qUtf8Printable(folder), reported);
}
