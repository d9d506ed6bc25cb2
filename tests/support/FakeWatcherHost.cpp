#include "support/FakeWatcherHost.h"

#include <algorithm>
#include <chrono>

void FakeWatcherHost::NotifyFileChange(const QString& path, SYNC_CHANGE_TYPE type, const QString& oldPath,
                                       bool userOp) {
    static const char kinds[] = {'A', 'M', 'R', 'D', 'N'};
    const auto relative = [this](const QString& p) {
        return p.startsWith(m_root + QLatin1Char('/')) ? p.mid(m_root.size() + 1) : p;
    };
    QString line = QStringLiteral("%1 %2").arg(QLatin1Char(kinds[type])).arg(relative(path));
    if (type == SYNC_CHANGE_REN)
        line += QLatin1Char('<') + relative(oldPath);
    if (userOp)
        line += QStringLiteral(" (user)"); // never from the watcher: a test sees it
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.push_back(line);
    m_changed.notify_all();
}

bool FakeWatcherHost::KnownBelow(const QString& folder, std::map<QString, FILE_INFO>& out) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_rescanStart < 0)
        m_rescanStart = int(m_lines.size());
    for (const auto& entry : m_known) {
        if (entry.second.path.startsWith(folder + QLatin1Char('/')))
            out.insert(entry);
    }
    return answer;
}

void FakeWatcherHost::Know(const QString& relative, bool isDir, quint64 size, quint32 mtime) {
    FILE_INFO info;
    info.path = m_root + QLatin1Char('/') + relative;
    info.is_dir = isDir;
    info.size = size;
    info.mtime = mtime;
    std::lock_guard<std::mutex> lock(m_lock);
    m_known[info.path.toLower()] = info;
}

QStringList FakeWatcherHost::LinesLocked(int from) const {
    QStringList lines;
    for (size_t i = size_t(std::max(from, 0)); i < m_lines.size(); ++i)
        lines << m_lines[i];
    return lines;
}

QStringList FakeWatcherHost::Lines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return LinesLocked(0);
}

QStringList FakeWatcherHost::LinesSinceRescan() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rescanStart < 0 ? QStringList() : LinesLocked(m_rescanStart);
}

bool FakeWatcherHost::WaitFor(const std::function<bool(const QStringList&)>& done, int ms,
                              bool sinceRescan) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        if (!sinceRescan)
            return done(LinesLocked(0));
        return m_rescanStart >= 0 && done(LinesLocked(m_rescanStart));
    });
}

bool FakeWatcherHost::WaitLine(const QString& line, int ms) const {
    return WaitFor([&line](const QStringList& lines) { return lines.contains(line); }, ms);
}
