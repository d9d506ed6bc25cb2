#include "support/CoreDriverProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>

CoreDriverProcess::~CoreDriverProcess() {
    Kill();
}

void CoreDriverProcess::Kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill(); // SIGKILL
        m_process.waitForFinished(10000);
    }
}

bool CoreDriverProcess::Signal(int signal) {
    return m_process.state() == QProcess::Running && ::kill(pid_t(m_process.processId()), signal) == 0;
}

namespace {

// Whether every thread of `pid` has stopped (state "T" in its stat line).
bool AllThreadsStopped(qint64 pid) {
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return false;
    for (const QString& thread : threads) {
        QFile stat(tasks + QLatin1Char('/') + thread + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue; // a thread that ended meanwhile
        const QByteArray line = stat.readAll();
        const int end = line.lastIndexOf(')'); // after the command name, which may hold blanks
        if (end < 0 || line.mid(end + 2, 1) != "T")
            return false;
    }
    return true;
}

} // namespace

bool CoreDriverProcess::Pause() {
    const qint64 pid = m_process.processId();
    if (m_process.state() != QProcess::Running || ::kill(pid_t(pid), SIGSTOP) != 0)
        return false;
    // The signal reaches the threads on their own time: they may run on for a moment.
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::yieldCurrentThread()) {
        if (AllThreadsStopped(pid))
            return true;
    }
    return false;
}

bool CoreDriverProcess::Resume() {
    return m_process.state() == QProcess::Running && ::kill(pid_t(m_process.processId()), SIGCONT) == 0;
}

bool CoreDriverProcess::Start(const QString& home, const QString& workDir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        environment.remove(QString::fromLatin1(name));
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(workDir);
    m_process.start(QStringLiteral(NIMBO_COREDRV_PATH), QStringList());
    return m_process.waitForStarted(-1); // ends in the exec or in an error: no deadline needed
}

void CoreDriverProcess::Send(const QString& line) {
    m_process.write(line.toUtf8() + '\n');
}

void CoreDriverProcess::CloseInput() {
    m_process.closeWriteChannel();
}

void CoreDriverProcess::ReadLines() {
    m_stdout += m_process.readAllStandardOutput();
    m_stderr += m_process.readAllStandardError();
    for (int end = m_stdout.indexOf('\n', m_stdoutUsed); end >= 0;
         end = m_stdout.indexOf('\n', m_stdoutUsed)) {
        // A line that is not a JSON object is kept as an empty object: no match finds it.
        m_lines.push_back(QJsonDocument::fromJson(m_stdout.mid(m_stdoutUsed, end - m_stdoutUsed)).object());
        m_stdoutUsed = end + 1;
    }
}

bool CoreDriverProcess::WaitForLine(const std::function<bool(const QJsonObject&)>& match, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        ReadLines();
        for (; m_next < m_lines.size(); ++m_next) {
            if (match(m_lines[m_next])) {
                ++m_next;
                return true;
            }
        }
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    }
}

bool CoreDriverProcess::WaitForExit(int timeoutMs) {
    const bool ended = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    ReadLines();
    return ended;
}

QString CoreDriverProcess::Output() const {
    return QString::fromUtf8(m_stdout) + QStringLiteral("--- stderr ---\n") + QString::fromUtf8(m_stderr);
}
