#pragma once
// A stand-in for the sync engine as the folder watcher sees it (QCWatcherHost): it records every
// report as a short line with paths relative to `root` ("A a/b.txt", "D d", "M x", "R new<old")
// and answers KnownBelow from `known`, keyed as the watcher expects. Waits on a predicate over the
// lines. Thread-safe: the watcher's thread reports while the test reads.

#include "cache/QCWatcherHost.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class FakeWatcherHost : public QCWatcherHost {
public:
    explicit FakeWatcherHost(const QString& root) : m_root(root) {}

    void NotifyFileChange(const QString& path, SYNC_CHANGE_TYPE type, const QString& oldPath,
                          bool userOp) override;
    bool KnownBelow(const QString& folder, std::map<QString, FILE_INFO>& out) override;

    // An item the engine knows, relative to the root, with its size and mtime.
    void Know(const QString& relative, bool isDir, quint64 size, quint32 mtime);
    // The lines so far; those from the first KnownBelow call on (what rescans reported).
    QStringList Lines() const;
    QStringList LinesSinceRescan() const;
    // Waits up to `ms` until `done` holds for the lines (with `sinceRescan`, those of rescans).
    bool WaitFor(const std::function<bool(const QStringList&)>& done, int ms = 10000,
                 bool sinceRescan = false) const;
    // Waits until `line` has been reported.
    bool WaitLine(const QString& line, int ms = 10000) const;

    bool answer = true; // what KnownBelow returns; set before the watcher starts

private:
    const QString m_root;
    // Copies handed out are built afresh: a QStringList shared with the reporting thread would grow
    // inside Qt, out of ThreadSanitizer's sight.
    QStringList LinesLocked(int from) const;

    mutable std::mutex m_lock; // guards the fields below
    mutable std::condition_variable m_changed;
    std::vector<QString> m_lines;
    int m_rescanStart = -1;
    std::map<QString, FILE_INFO> m_known;
};
