#include "main/QCUIEventReceiver.h"

#include "login/CLoginMgr.h"

#include "common/TsanAnnotations.h"

#include <QCoreApplication>
#include <QThread>

QCUIEventReceiver* QCUIEventReceiver::GetInstance() {
    static QCUIEventReceiver instance;
    return &instance;
}

QCUIEventReceiver::QCUIEventReceiver() {
    // Posted events are delivered on the thread the receiver belongs to: the user interface's.
    if (QCoreApplication* app = QCoreApplication::instance(); app && thread() != app->thread())
        moveToThread(app->thread());
    CLoginMgr::getInstance()->setCoreReceiver(this);
}

void QCUIEventReceiver::SetMainWnd(QObject* wnd) {
    m_mainWnd = wnd;
}

QObject* QCUIEventReceiver::getMainWnd() {
    return m_mainWnd.data();
}

bool QCUIEventReceiver::event(QEvent* e) {
    TsanAcquireEvent(e); // before anything of the event is read
    const int type = e->type();
    if (type < 2000 || type > 2999)
        return QObject::event(e);
    if (CLoginMgr::getInstance()->event(e))
        return true;
    if (!m_mainWnd)
        return QObject::event(e);
    return m_mainWnd->event(e);
}
