// The program: the application object with its style, then the loop between the login window and
// the main window. The command line goes to QApplication unchanged.
#include "main/AppLocale.h"
#include "main/LoginLoop.h"
#include "widgets/MyProxyStyle.h"

#include "common/CoreLog.h"
#include "common/QuitOnSignals.h"

#include <QApplication>

int main(int argc, char** argv) {
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setStyle(new MyProxyStyle);
        InstallChineseTranslations(&app);
        // Asked to stop by the system: the windows close as when the user quits, and the loop
        // stops the core, which saves its files.
        QuitOnSignals([](int signal) {
            CoreDebug("[app] signal %d: quitting", signal);
            QApplication::closeAllWindows();
        });
        status = RunLoginLoop();
    }
    // The program's own end: the windows, the core, Qt's pool and the display connection are
    // gone. Only the exit handlers run after it.
    CoreDebug("[app] exit %d", status);
    return status;
}
