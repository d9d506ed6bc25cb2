#pragma once
// A set of paths under its own mutex, with a test whether a path lies at or below one of them
// (cancelled uploads, postponed view checks). m_paths is guarded by m_mutex.

#include <QString>

#include <mutex>
#include <set>

class QCStringFlag {
public:
    QCStringFlag() = default;
    QCStringFlag(const QCStringFlag&) = delete;
    QCStringFlag& operator=(const QCStringFlag&) = delete;

    // Inserts `s` (once) when `on`, else removes the exactly equal string.
    void Set(const QString& s, bool on);
    // Whether `path` is one of the stored paths or lies below one, ignoring case and one trailing
    // "/".
    bool IsSub(const QString& path) const;
    // Moves the whole set into `out` (replacing its contents) and leaves this one empty.
    void FetchAll(std::set<QString>& out);
    void Clear();

private:
    std::set<QString> m_paths; // plain, case-sensitive order
    mutable std::mutex m_mutex;
};
