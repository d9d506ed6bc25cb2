#include "support/UiWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

bool UiWaitFor(const std::function<bool()>& done, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Events as they come, and a look at the condition at least every 10 ms: it may turn on
        // things that post no event to this thread (another thread's work, a child process).
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
        QCoreApplication::sendPostedEvents();
    }
    return true;
}
