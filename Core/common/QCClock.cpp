#include "common/QCClock.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<bool> g_manual{false};
std::atomic<qint64> g_manualNow{0};

qint64 SystemMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

qint64 QCClock::NowMs() {
    return g_manual.load() ? g_manualNow.load() : SystemMs();
}

void QCClock::UseManualForTests() {
    g_manualNow.store(SystemMs());
    g_manual.store(true);
}

void QCClock::AdvanceForTests(qint64 ms) {
    if (ms > 0)
        g_manualNow.fetch_add(ms);
}

void QCClock::UseSystemForTests() {
    g_manual.store(false);
}
