// The program: the application object with its style, then the loop between the login window and
// the main window. The command line goes to QApplication unchanged.
#include "main/LoginLoop.h"
#include "widgets/MyProxyStyle.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setStyle(new MyProxyStyle);
    return RunLoginLoop();
}
