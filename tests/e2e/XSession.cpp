#include "XSession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kToolTimeoutMs = 20000;

bool Near(int a, int b, int tolerance) {
    return a - b <= tolerance && b - a <= tolerance;
}

} // namespace

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (condition())
            return true;
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
}

int CountColour(const QImage& image, const QRect& area, QRgb colour, int tolerance) {
    const QRect inside = area.intersected(image.rect());
    int count = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (Near(qRed(pixel), qRed(colour), tolerance) && Near(qGreen(pixel), qGreen(colour), tolerance) &&
                Near(qBlue(pixel), qBlue(colour), tolerance))
                ++count;
        }
    }
    return count;
}

int BestRow(const QImage& image, const QRect& area, QRgb colour) {
    int best = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        best = std::max(best, CountColour(image, QRect(area.left(), y, area.width(), 1), colour));
    return best;
}

XSession::~XSession() {
    if (m_windowManager.state() != QProcess::NotRunning) {
        m_windowManager.kill();
        m_windowManager.waitForFinished(5000);
    }
    if (m_xvfb > 0) {
        kill(m_xvfb, SIGTERM);
        waitpid(m_xvfb, nullptr, 0);
    }
}

bool XSession::Start() {
    const QByteArray xvfb = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
    if (xvfb.isEmpty()) {
        m_error = QStringLiteral("Xvfb is not installed (scripts/install-deps.sh)");
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("no pipe");
        return false;
    }
    // Everything the child needs is made before the fork: after it, only calls that are safe in
    // the child of a threaded process.
    const QByteArray fd = QByteArray::number(fds[1]);
    // -noreset: by default the server resets when its last client leaves, dropping the root
    // window's properties and any connection being opened meanwhile; before openbox holds its
    // connection, each xdotool call below is such a last client.
    const char* argv[] = {xvfb.constData(), "-displayfd", fd.constData(), "-screen", "0", "1280x1024x24",
                          "-nolisten", "tcp", "-noreset", nullptr};
    m_xvfb = fork();
    if (m_xvfb == 0) {
        fcntl(fds[1], F_SETFD, 0); // Xvfb writes its display number here
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);
    if (m_xvfb < 0) {
        close(fds[0]);
        m_error = QStringLiteral("cannot fork");
        return false;
    }
    // The number and a line end; the pipe ends early when Xvfb does.
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.endsWith('\n') && clock.elapsed() < 20000) {
        pollfd wait{fds[0], POLLIN, 0};
        if (poll(&wait, 1, 1000) <= 0)
            continue;
        char buffer[16];
        const ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, int(got));
    }
    close(fds[0]);
    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb gave no display number");
        return false;
    }
    m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

    m_windowManager.setProcessEnvironment(Environment());
    // Its output is kept for the message of a start that failed.
    if (!m_windowManagerLog.open()) {
        m_error = QStringLiteral("no file for openbox's output");
        return false;
    }
    m_windowManager.setProcessChannelMode(QProcess::MergedChannels);
    m_windowManager.setStandardOutputFile(m_windowManagerLog.fileName());
    m_windowManager.start(QStringLiteral("openbox"), QStringList());
    if (!m_windowManager.waitForStarted(10000)) {
        m_error = QStringLiteral("openbox did not start: ") + m_windowManager.errorString();
        return false;
    }
    // A window manager that speaks the desktop hints answers this; none before it runs.
    if (!WaitUntil([this] { return !Xdo({QStringLiteral("get_desktop")}).isNull(); }, 20000)) {
        const bool xvfbEnded = waitpid(m_xvfb, nullptr, WNOHANG) != 0;
        if (xvfbEnded)
            m_xvfb = -1;
        const bool windowManagerEnded = m_windowManager.waitForFinished(0) || m_windowManager.state() == QProcess::NotRunning;
        m_error = QStringLiteral("openbox did not take the display %1 (openbox %2, Xvfb %3): %4")
                      .arg(m_display,
                           windowManagerEnded ? QStringLiteral("ended with %1").arg(m_windowManager.exitCode())
                                              : QStringLiteral("running"),
                           xvfbEnded ? QStringLiteral("ended") : QStringLiteral("running"),
                           QString::fromLocal8Bit(m_windowManagerLog.readAll()));
        return false;
    }
    // The pointer away from every window: a hovered button has another colour.
    return !Xdo({QStringLiteral("mousemove"), QStringLiteral("0"), QStringLiteral("0")}).isNull();
}

QProcessEnvironment XSession::Environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    return environment;
}

QString XSession::Xdo(const QStringList& args) const {
    QProcess tool;
    tool.setProcessEnvironment(Environment());
    tool.start(QStringLiteral("xdotool"), args);
    if (!tool.waitForFinished(kToolTimeoutMs)) {
        tool.kill();
        tool.waitForFinished(5000);
        return QString();
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return QString();
    // Empty but not null when it printed nothing.
    const QString output = QString::fromUtf8(tool.readAllStandardOutput());
    return output.isNull() ? QStringLiteral("") : output;
}

std::vector<XWindow> XSession::WindowsOf(qint64 pid) const {
    std::vector<XWindow> windows;
    const QString ids = Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                             QString::number(pid)});
    for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        XWindow window;
        window.id = id.trimmed();
        window.name = Xdo({QStringLiteral("getwindowname"), window.id}).trimmed();
        int x = 0, y = 0, width = 0, height = 0;
        const QString shell = Xdo({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window.id});
        if (shell.isNull())
            continue; // gone meanwhile
        for (const QString& line : shell.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QString value = line.section(QLatin1Char('='), 1);
            if (line.startsWith(QLatin1String("X=")))
                x = value.toInt();
            else if (line.startsWith(QLatin1String("Y=")))
                y = value.toInt();
            else if (line.startsWith(QLatin1String("WIDTH=")))
                width = value.toInt();
            else if (line.startsWith(QLatin1String("HEIGHT=")))
                height = value.toInt();
        }
        window.geometry = QRect(x, y, width, height);
        windows.push_back(window);
    }
    return windows;
}

QImage XSession::Screenshot() const {
    QProcess import;
    import.setProcessEnvironment(Environment());
    import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(kToolTimeoutMs) || import.exitCode() != 0) {
        import.kill();
        import.waitForFinished(5000);
        return QImage();
    }
    return QImage::fromData(import.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

bool XSession::Activate(const QString& windowId) const {
    return !Xdo({QStringLiteral("windowactivate"), QStringLiteral("--sync"), windowId}).isNull();
}

bool XSession::Click(const QPoint& at, int count) const {
    return !Xdo({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()), QStringLiteral("click"),
                 QStringLiteral("--repeat"), QString::number(count), QStringLiteral("--delay"), QStringLiteral("120"),
                 QStringLiteral("1")})
                .isNull();
}

bool XSession::Keys(const QStringList& keys) const {
    return !Xdo(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("80")} + keys).isNull();
}

bool XSession::Type(const QString& text) const {
    return !Xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("60"), text}).isNull();
}
