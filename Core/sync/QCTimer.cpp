#include "sync/QCTimer.h"

#include "common/QCClock.h"

void QCTimer::Start() {
    m_startMs = QCClock::NowMs();
    m_armed = true;
}

bool QCTimer::Check() {
    if (MsUntilDue() != 0)
        return false;
    m_armed = false;
    return true;
}

qint64 QCTimer::MsUntilDue() const {
    if (!m_armed || m_interval <= 0)
        return -1;
    // Due strictly after the interval has passed.
    const qint64 due = m_startMs + qint64(m_interval) * 1000 + 1;
    const qint64 now = QCClock::NowMs();
    return now >= due ? 0 : due - now;
}
