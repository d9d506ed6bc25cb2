#include "main/LoginLoop.h"

#include "main/CMainWnd.h"

#include "login/CLoginMgr.h"
#include "login/CLoginWnd.h"

#include "common/CoreLog.h"

#include <QApplication>
#include <QPointer>

namespace {

int RunWindows() {
    CLoginWnd loginWnd(nullptr);
    loginWnd.setModal(true);
    // Registered with the event receiver at once: it ends the login window's wait itself. It
    // deletes itself when it closes; its exit code outlives it.
    QPointer<CMainWnd> mainWnd = new CMainWnd(&loginWnd, nullptr);
    for (;;) {
        const int result = loginWnd.exec();
        if (result == 0) {
            // The window that never came to be shown goes with the login window.
            delete mainWnd.data();
            return 0;
        }
        if (result != 1)
            continue;
        // Only a window's code 0 accepts the login window, so it exists; a fresh one otherwise
        // rather than none.
        if (!mainWnd)
            mainWnd = new CMainWnd(&loginWnd, nullptr);
        mainWnd->show();
        const int loopResult = QApplication::exec();
        // Closing the last window also posts a quit, which may still wait when the loop has
        // ended: delivered later it would end the login window's loop at once.
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
        // The window closed and deleted itself before the loop returned.
        mainWnd = nullptr;
        const int exitCode = CMainWnd::getExitCode();
        if (exitCode == 1) {
            CLoginMgr::getInstance()->UnloginCore();
            loginWnd.SelectCurrentLoginPage(LOGINPAGE_INPUT);
            mainWnd = new CMainWnd(&loginWnd, nullptr);
        } else if (exitCode == 2) {
            const QString eid = CMainWnd::getChangeEID();
            CLoginMgr::getInstance()->UnloginCore();
            // Built before the core starts again, so it sees the new core's first notification.
            mainWnd = new CMainWnd(&loginWnd, nullptr);
            CLoginMgr::getInstance()->ChangeEnterPrise(eid);
            loginWnd.SelectCurrentLoginPage(LOGINPAGE_LOADING);
        } else {
            return loopResult;
        }
    }
}

} // namespace

int RunLoginLoop() {
    const int status = RunWindows();
    CoreDebug("[login] windows closed: waiting for the core's stop");
    // The login window's end queued the core's stop. It ends here, while the application stands:
    // left to the exit handlers, the engine's thread went on writing its files while they tore
    // down Qt's globals, and the program crashed on its way out.
    CLoginMgr::getInstance()->WaitForCore();
    CoreDebug("[login] the core has stopped");
    return status;
}
