#include "support/DebugCapture.h"

#include "common/CoreLog.h"

#include <chrono>

namespace {

// Guards g_capture: a line written on another thread while a capture ends must not reach it.
std::mutex g_captureLock;
DebugCapture* g_capture = nullptr;

} // namespace

DebugCapture::DebugCapture() {
    {
        std::lock_guard<std::mutex> guard(g_captureLock);
        m_outer = g_capture;
        g_capture = this;
    }
    m_previous = qInstallMessageHandler(&DebugCapture::Handler);
    CoreLog::SetEnabled(true);
}

DebugCapture::~DebugCapture() {
    if (!m_outer)
        CoreLog::SetEnabled(false);
    qInstallMessageHandler(m_previous);
    std::lock_guard<std::mutex> guard(g_captureLock);
    g_capture = m_outer;
}

void DebugCapture::Handler(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard<std::mutex> guard(g_captureLock);
    for (DebugCapture* capture = g_capture; capture; capture = capture->m_outer)
        capture->add(message);
}

void DebugCapture::add(const QString& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    // A copy of its own: the writer's buffer is released by Qt on the writer's thread, which
    // ThreadSanitizer cannot see ordered with this thread's later release of a shared copy.
    m_lines.append(QString(line.constData(), line.size()));
    m_added.notify_all();
}

QStringList DebugCapture::lines(const QString& prefix) const {
    std::lock_guard<std::mutex> guard(m_lock);
    QStringList result;
    for (const QString& line : m_lines) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

bool DebugCapture::waitFor(const QString& prefix, int timeoutMs, int count) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_added.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this, &prefix, count] {
        int found = 0;
        for (const QString& line : m_lines) {
            if (line.startsWith(prefix))
                ++found;
        }
        return found >= count;
    });
}
