#include "common/CoreLog.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <atomic>
#include <cstdarg>

namespace {
std::atomic<bool> g_debugOn{false};
}

bool CoreLog::Enabled() {
    return g_debugOn.load(std::memory_order_relaxed);
}

void CoreLog::SetEnabled(bool on) {
    g_debugOn.store(on, std::memory_order_relaxed);
}

void CoreDebug(const char* format, ...) {
    if (!CoreLog::Enabled())
        return;
    va_list args;
    va_start(args, format);
    const QString line = QString::vasprintf(format, args);
    va_end(args);
    qDebug().noquote() << line;
}
