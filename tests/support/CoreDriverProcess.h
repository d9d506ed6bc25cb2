#pragma once
// coredrv (CoreDriver.cpp) as a child process of a test: it is started with a HOME and a working
// folder of the test's (the XDG folder variables removed, so that its data folder follows HOME),
// fed commands line by line, and its JSON output lines are read back in order. The destructor
// kills a driver that still runs. Not thread-safe: one test thread drives it.

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <functional>
#include <vector>

class CoreDriverProcess {
public:
    CoreDriverProcess() = default;
    ~CoreDriverProcess();
    CoreDriverProcess(const CoreDriverProcess&) = delete;
    CoreDriverProcess& operator=(const CoreDriverProcess&) = delete;

    // False when the driver could not be started within 10 s.
    bool Start(const QString& home, const QString& workDir);
    // Writes `line` and a line end.
    void Send(const QString& line);
    void CloseInput();

    // Reads output until a line after the last one found by this call satisfies `match` (lines
    // already read count); that line becomes the last found. False when `timeoutMs` passed or the
    // driver ended first.
    bool WaitForLine(const std::function<bool(const QJsonObject&)>& match, int timeoutMs);
    // Ends the driver with SIGKILL and waits until it is gone.
    void Kill();
    // Sends `signal` (SIGTERM, say) and returns at once; false when the driver does not run.
    bool Signal(int signal);
    // SIGSTOP and SIGCONT: a stopped driver's files are what a SIGKILL at that moment leaves, so a
    // test can look at them at several points of one run.
    bool Pause();
    bool Resume();
    // True when the driver ended by itself within `timeoutMs`.
    bool WaitForExit(int timeoutMs);
    int ExitCode() const { return m_process.exitCode(); }
    bool Crashed() const { return m_process.exitStatus() == QProcess::CrashExit; }

    // The lines read so far.
    const std::vector<QJsonObject>& Lines() const { return m_lines; }
    // Everything the driver wrote to both channels so far, for failure messages.
    QString Output() const;

private:
    void ReadLines();

    QProcess m_process;
    std::vector<QJsonObject> m_lines;
    size_t m_next = 0;    // where the next WaitForLine starts looking
    QByteArray m_stdout;  // all of it
    QByteArray m_stderr;  // all of it
    int m_stdoutUsed = 0; // bytes of m_stdout already split into lines
};
