// The loop between the login window and the main window, run as start-up runs it, against the
// real login manager, both stand-ins and the real core. The test drives each window when it is
// shown: a script of steps, one per window shown, each run once the window's own loop runs.
#include "main/CMainWnd.h"
#include "main/LoginLoop.h"
#include "main/QCUIEventReceiver.h"

#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/QCEvents.h"
#include "login/CLoginWnd.h"
#include "login/LoginStore.h"
#include "sync/VUZeroz.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace {

const QString kInvalidLogin = QStringLiteral("自动登录失效或密码已更改，请重新输入密码");

// Every live main window (top level, not yet deleted).
QList<CMainWnd*> MainWindows() {
    QList<CMainWnd*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<CMainWnd*>(widget))
            windows.append(window);
    }
    return windows;
}

QString ErrorShown(CLoginWnd* wnd) {
    auto* label = wnd->findChild<QLabel*>(QStringLiteral("labelError"));
    return label && !label->isHidden() ? label->text() : QString();
}

void SignInAs(CLoginWnd* wnd, const QString& account, const QString& password) {
    wnd->findChild<QComboBox*>(QStringLiteral("comboBoxAccount"))->setEditText(account);
    wnd->findChild<QLineEdit*>(QStringLiteral("lineEdit_password"))->setText(password);
    wnd->findChild<QPushButton*>(QStringLiteral("btnLogin"))->click();
}

class LoginLoopTest : public SignedInCore, public QObject {
protected:
    using Step = std::function<void(QWidget*)>;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        qApp->installEventFilter(this);
    }
    void TearDown() override {
        qApp->removeEventFilter(this);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(MainWindows().isEmpty()) << "no main window outlives the loop";
        SignedInCore::TearDown();
    }

    // Runs the loop with `steps`, one for each login or main window shown, in order. A window
    // shown beyond the script, or a loop still running after 120 s, fails the test and ends it.
    int RunLoop(std::vector<Step> steps) {
        m_steps = std::move(steps);
        m_next = 0;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [this] { Abort("the loop ran past its time"); });
        guard.start(120000);
        const int result = RunLoginLoop();
        EXPECT_EQ(m_next, m_steps.size()) << "every step ran";
        return result;
    }
    void Abort(const char* why) {
        ADD_FAILURE() << why;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* login = qobject_cast<CLoginWnd*>(widget))
                login->reject();
            else if (qobject_cast<CMainWnd*>(widget))
                widget->close();
        }
        QCoreApplication::exit(99);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || !(qobject_cast<CLoginWnd*>(watched) || qobject_cast<CMainWnd*>(watched)))
            return false;
        QPointer<QWidget> window = static_cast<QWidget*>(watched);
        if (qobject_cast<CMainWnd*>(watched))
            shownMains.append(qobject_cast<CMainWnd*>(watched));
        QTimer::singleShot(0, window, [this, window] {
            if (!window)
                return;
            if (m_next >= m_steps.size())
                return Abort("a window shown beyond the script");
            m_steps[m_next++](window.data());
        });
        return false;
    }

    QList<QPointer<CMainWnd>> shownMains; // in the order shown

private:
    std::vector<Step> m_steps;
    size_t m_next = 0;
};

TEST_F(LoginLoopTest, ClosingTheLoginWindowAtOnceEndsWithZero) {
    const int result = RunLoop({[](QWidget* w) {
        ASSERT_NE(qobject_cast<CLoginWnd*>(w), nullptr);
        EXPECT_EQ(MainWindows().size(), 1) << "the first main window waits hidden";
        EXPECT_FALSE(MainWindows().value(0) && MainWindows().value(0)->isVisible());
        w->close();
    }});
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(shownMains.isEmpty());
}

TEST_F(LoginLoopTest, ChangesOfEnterpriseAndAccountBuildOneNewWindowEach) {
    auto login = [](QWidget* w) {
        auto* wnd = qobject_cast<CLoginWnd*>(w);
        ASSERT_NE(wnd, nullptr);
        EXPECT_EQ(wnd->currentLoginPage(), LOGINPAGE_INPUT);
        SignInAs(wnd, QStringLiteral("alice"), QStringLiteral("secret"));
    };
    auto loading = [](QWidget* w) {
        auto* wnd = qobject_cast<CLoginWnd*>(w);
        ASSERT_NE(wnd, nullptr);
        EXPECT_EQ(wnd->currentLoginPage(), LOGINPAGE_LOADING) << "no credentials asked";
    };
    // The main window shown `n`-th (from 1) is the only one and the registered one; it was built
    // for the enterprise `eid`; then `next` runs in it.
    auto shown = [this](int n, const char* eid, std::function<void(CMainWnd*)> next) {
        return [this, n, eid, next](QWidget* w) {
            auto* window = qobject_cast<CMainWnd*>(w);
            ASSERT_NE(window, nullptr);
            ASSERT_EQ(shownMains.size(), n);
            EXPECT_EQ(MainWindows(), QList<CMainWnd*>{window}) << "one new window per change";
            EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), window);
            EXPECT_EQ(CMainWnd::getExitCode(), -1);
            EXPECT_TRUE(VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/")).contains(
                QStringLiteral("/10001/%1").arg(QString::fromLatin1(eid))))
                << VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/")).toStdString();
            next(window);
        };
    };
    auto changeEnterprise = [](const char* eid) {
        return [eid](CMainWnd* window) {
            QMetaObject::invokeMethod(window, "SLOT_onClickedChangeEnterprise", Q_ARG(QString, QString::fromLatin1(eid)));
        };
    };
    const int result = RunLoop({
        login,
        shown(1, "20001", changeEnterprise("20002")),
        loading,
        shown(2, "20002", changeEnterprise("20001")),
        loading,
        shown(3, "20001", [](CMainWnd* window) { QMetaObject::invokeMethod(window, "SLOT_onClickedChangeAccount"); }),
        login,
        shown(4, "20001",
              [this](CMainWnd* window) {
                  // The next status report reaches the newest window only: the others are gone.
                  for (int i = 0; i < 3; ++i)
                      EXPECT_TRUE(shownMains[i].isNull()) << i;
                  QCStatusChangedEvent status;
                  status.data.status = UI_STATUS(1);
                  EXPECT_TRUE(QCoreApplication::sendEvent(QCUIEventReceiver::GetInstance(), &status));
                  EXPECT_FALSE(window->toVirtualPath(window->getRootPath()).contains(QStringLiteral("10001")));
                  QMetaObject::invokeMethod(window, "Slot_Quit");
              }),
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CMainWnd::getExitCode(), 0);
    EXPECT_EQ(shownMains.size(), 4);
    // Each enterprise's login went to the service with exactly the picked id.
    std::vector<std::string> eids;
    for (const RecordedRequest& request : pair.api->calls("User.login"))
        eids.push_back(request.queryArg("eid"));
    EXPECT_NE(std::find(eids.begin(), eids.end(), "20002"), eids.end());
}

TEST_F(LoginLoopTest, TheCoreHasStoppedWhenTheLoopReturns) {
    // The program returns from main right after the loop: a stop still running then would run on
    // while the exit handlers tear down what the engine's thread uses.
    std::atomic<int> stops{0};
    CLoginMgr::setCallProbeForTests([&stops](const char* call) {
        if (std::string(call) == "Uninit")
            ++stops;
    });
    const int result = RunLoop({
        [](QWidget* w) { SignInAs(qobject_cast<CLoginWnd*>(w), QStringLiteral("alice"), QStringLiteral("secret")); },
        [](QWidget* w) { QMetaObject::invokeMethod(w, "Slot_Quit"); },
    });
    const int pending = manager->pendingWorkForTests();
    CLoginMgr::setCallProbeForTests(nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CMainWnd::getExitCode(), 0);
    EXPECT_GE(stops.load(), 1);
    EXPECT_EQ(pending, 0) << "the core's stop still queued or running";
}

TEST_F(LoginLoopTest, AWindowClosedWithoutACodeEndsWithTheLoopsResult) {
    const bool quitOnLast = QApplication::quitOnLastWindowClosed();
    // The event loop's own result decides; the window's close alone ends nothing here.
    QApplication::setQuitOnLastWindowClosed(false);
    const int result = RunLoop({
        [](QWidget* w) { SignInAs(qobject_cast<CLoginWnd*>(w), QStringLiteral("alice"), QStringLiteral("secret")); },
        [](QWidget* w) {
            w->close();
            QCoreApplication::exit(7);
        },
    });
    QApplication::setQuitOnLastWindowClosed(quitOnLast);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(CMainWnd::getExitCode(), -1);
}

TEST_F(LoginLoopTest, AnExpiredCookieKeepsTheLoginWindowOnItsInputPage) {
    // Alice signed in once with both choices; the service now refuses her pair.
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
    ASSERT_TRUE(SettleManager());
    ASSERT_TRUE(manager->SaveLoginStatus(QStringLiteral("alice"), QStringLiteral("10001"), manager->getQ(),
                                         manager->getT(), true, true));
    manager->UnloginCore();
    ASSERT_TRUE(SettleManager());
    TakeEvents();
    pair.api->setAnswer("User.login", ApiAnswer::Error(2008, "token expired"));

    const int result = RunLoop({[this](QWidget* w) {
        auto* wnd = qobject_cast<CLoginWnd*>(w);
        ASSERT_NE(wnd, nullptr);
        ASSERT_TRUE(UiWaitFor([&] { return ErrorShown(wnd) == kInvalidLogin; }, 60000));
        EXPECT_EQ(wnd->currentLoginPage(), LOGINPAGE_INPUT);
        EXPECT_FALSE(pair.api->calls("User.login").empty());
        // The core stops; the loop stays in the login window, which still runs.
        ASSERT_TRUE(SettleManager());
        EXPECT_FALSE(manager->isCoreStarted());
        EXPECT_TRUE(wnd->isVisible());
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        EXPECT_TRUE(UiWaitFor([&] { return ran; }, 5000)) << "nothing quit the login window's loop";
        EXPECT_TRUE(shownMains.isEmpty());
        wnd->close();
    }});
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(shownMains.isEmpty());
}

} // namespace
