#pragma once
// The one object of the user-interface thread to which the core posts its notifications (the
// login manager hands it to the core). It decides nothing: each event of the range 2000-2999 goes
// first to the login manager, which keeps its own reply events (2301-2305), and then to the
// registered main window; without one it is dropped. Events outside the range are left to QObject.
//
// The window is held weakly: a window destroyed without clearing its registration is never
// reached. User-interface thread only.

#include <QObject>
#include <QPointer>

class QCUIEventReceiver : public QObject {
public:
    // Made on first use (on the thread of the application object) and registered with the login
    // manager as the receiver of the core's notifications.
    static QCUIEventReceiver* GetInstance();

    // The main window that receives notifications; null clears the registration.
    void SetMainWnd(QObject* wnd);
    QObject* getMainWnd();

    bool event(QEvent* e) override;

private:
    QCUIEventReceiver();

    QPointer<QObject> m_mainWnd;
};
