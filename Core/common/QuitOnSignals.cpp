#include "common/QuitOnSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1}; // set once, before the handler is installed

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (::write(g_pipe[1], &number, 1) < 0) {
        // The pipe is full of earlier signals: the quit is under way.
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (const int each : kSignals)
        ::sigaction(each, &action, nullptr);
    errno = saved;
}

} // namespace

bool QuitOnSignals(std::function<void(int signal)> quit) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, quit = std::move(quit)] {
        unsigned char number = 0;
        if (::read(g_pipe[0], &number, 1) != 1)
            return;
        notifier->setEnabled(false); // one quit; later signals have their default action
        quit(number);
    });
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int each : kSignals)
        ::sigaction(each, &action, nullptr);
    return true;
}
