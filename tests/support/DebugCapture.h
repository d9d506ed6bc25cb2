#pragma once
// A capture of the core's debug lines for tests: while one exists, the lines are on and collected.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <condition_variable>
#include <mutex>

// Turns the core's debug lines on and collects them while it exists; any thread may write. Captures
// nest: an inner one (made and ended on the same thread) also feeds the outer ones.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    // The captured lines that begin with `prefix`, in order.
    QStringList lines(const QString& prefix) const;
    // Waits until a line beginning with `prefix` has been captured (`count` of them).
    bool waitFor(const QString& prefix, int timeoutMs, int count = 1) const;

private:
    void add(const QString& line);
    static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable std::mutex m_lock;
    mutable std::condition_variable m_added;
    QStringList m_lines; // guarded by m_lock
    DebugCapture* m_outer = nullptr; // guarded by the handler's lock
    QtMessageHandler m_previous;
};
