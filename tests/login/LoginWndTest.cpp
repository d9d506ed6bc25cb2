// The login window against the real login manager, both stand-ins and the real core: what each
// page shows, the input checks, a password login up to the accepted dialog, the captcha after
// refused passwords, remembered accounts (cookie login, automatic login, removal), cancelling,
// and the keys and title buttons. The main window that sends code 0 comes later: the tests send
// it when the recorder sees the core's first status 5.
#include "login/CAccountItem.h"
#include "login/CLoginWnd.h"

#include "support/RecordingLoginWnd.h"
#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/QCEventBase.h"
#include "login/LoginStore.h"
#include "network/NetworkClient.h"
#include "sync/QCLocalStoreMgr.h"
#include "widgets/QButtonCustom.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kSecret = QStringLiteral("secret");
const int kStillOpen = -7; // exec() was still running when the test's steps ended

template <typename T>
T* Part(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (!child)
        throw std::runtime_error(std::string("no ") + name);
    return child;
}

// The window, with every status call it received in order.
class LoginWnd : public RecordingLoginWnd {
public:
    QLineEdit* Account() { return Part<QComboBox>(*this, "comboBoxAccount")->lineEdit(); }
    QLineEdit* Password() { return Part<QLineEdit>(*this, "lineEdit_password"); }
    QLineEdit* Captcha() { return Part<QLineEdit>(*this, "lineEdit_verification"); }
    QLabel* Error() { return Part<QLabel>(*this, "labelError"); }
    QCheckBox* Remember() { return Part<QCheckBox>(*this, "checkBox_rememberpwd"); }
    QCheckBox* Auto() { return Part<QCheckBox>(*this, "checkBox_autologin"); }
    bool Hidden(const char* name) { return Part<QWidget>(*this, name)->isHidden(); }
    void Click(const char* name) { Part<QAbstractButton>(*this, name)->click(); }
    void Type(QLineEdit* field, const QString& text) {
        field->clear();
        QTest::keyClicks(field, text);
    }
    QListWidget* List() { return Part<QListWidget>(*this, "accountList"); }
    // The drop-down's row of `account`; null when there is none.
    CAccountItem* Row(const QString& account) {
        QListWidget* list = List();
        for (int i = 0; i < list->count(); ++i) {
            auto* row = qobject_cast<CAccountItem*>(list->itemWidget(list->item(i)));
            if (row && row->getAccountName() == account)
                return row;
        }
        return nullptr;
    }
};

// Runs `wnd` with exec() and calls `act` once its modal loop runs; a window still open afterwards
// is ended with kStillOpen.
int ExecAndDo(CLoginWnd& wnd, const std::function<void()>& act) {
    QTimer::singleShot(0, &wnd, [&] {
        act();
        if (wnd.isVisible())
            wnd.done(kStillOpen);
    });
    return wnd.exec();
}

QString UserValue(CConfigMgr::request_user_key key, const QString& qid) {
    QVariant value;
    CConfigMgr::getInstance()->getUserData(key, qid, value);
    return value.toString();
}

QString AccountQid(const QString& account) {
    QVariant value;
    CConfigMgr::getInstance()->getPublicData(CConfigMgr::PUBLIC_ACCOUNT_QID, account, value);
    return value.toString();
}

int Count(const std::vector<IdentityRecord>& records, const std::string& method) {
    return int(std::count_if(records.begin(), records.end(),
                             [&](const IdentityRecord& r) { return r.method == method; }));
}

class LoginWndTest : public SignedInCore {
protected:
    void TearDown() override {
        NetworkClient::SetRetryBackoff(500, 30000);
        pair.identityServer.clearFaults();
        pair.identityServer.releaseHeld();
        pair.cloud.clearFaults();
        pair.cloud.releaseHeld();
        SignedInCore::TearDown();
    }

    // Writes remembered accounts straight into the store, the last one as the last login.
    void Remember(const QString& account, const QString& qid, bool autologin, bool rememberpwd,
                  const QString& q = QStringLiteral("q0"), const QString& t = QStringLiteral("t0")) {
        ASSERT_TRUE(LoginStore::LoadUserConfig(qid));
        ASSERT_TRUE(LoginStore::SaveLoginStatus(account, qid, q, t, autologin, rememberpwd));
    }

    // Alice signed in once through the manager with these choices stored, the core stopped again:
    // the store holds the pair the identity server accepts now.
    void RememberAliceSignedIn(bool autologin, bool rememberpwd) {
        manager->LoginIAccount(kAlice, kSecret, QString());
        ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
        ASSERT_TRUE(SettleManager());
        ASSERT_TRUE(manager->SaveLoginStatus(kAlice, QStringLiteral("10001"), manager->getQ(), manager->getT(),
                                             autologin, rememberpwd));
        manager->UnloginCore();
        ASSERT_TRUE(SettleManager());
        TakeEvents();
    }

    FaultRule Hold(const std::string& path) {
        FaultRule rule;
        rule.path = path;
        rule.fault.kind = FaultKind::Hold;
        return rule;
    }
};

TEST_F(LoginWndTest, AFreshStoreOpensOnTheInputPage) {
    LoginWnd wnd;
    wnd.show();
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
    EXPECT_FALSE(wnd.Hidden("vWidget_InputPage"));
    EXPECT_TRUE(wnd.Hidden("hWidget_VerificationArea"));
    EXPECT_TRUE(wnd.Hidden("vWidget_Loading"));
    EXPECT_TRUE(wnd.Hidden("labelError"));
    EXPECT_TRUE(wnd.Account()->text().isEmpty());
    EXPECT_TRUE(wnd.Password()->text().isEmpty());
    EXPECT_EQ(wnd.Password()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(wnd.List()->count(), 0);
    EXPECT_TRUE(Part<QLabel>(wnd, "label_quickregister")->text().contains(QStringLiteral("https://")));
    EXPECT_EQ(wnd.size(), QSize(380, 474));
    ASSERT_TRUE(SettleManager());
    EXPECT_TRUE(pair.identity->records().empty());
}

// --- Input checks ----------------------------------------------------------------------------------

struct InputRow {
    const char* name;
    const char* account;
    const char* password;
    bool captchaPage;
    const char* captcha;
    const char* error;
};

void PrintTo(const InputRow& row, std::ostream* out) {
    *out << row.name;
}

class InputCheckTest : public LoginWndTest, public ::testing::WithParamInterface<InputRow> {};

TEST_P(InputCheckTest, ShowsItsTextAndSendsNothing) {
    const InputRow& row = GetParam();
    LoginWnd wnd;
    wnd.show();
    if (row.captchaPage)
        wnd.SelectCurrentLoginPage(LOGINPAGE_CAPTCHA);
    wnd.Type(wnd.Account(), QString::fromUtf8(row.account));
    wnd.Type(wnd.Password(), QString::fromUtf8(row.password));
    wnd.Type(wnd.Captcha(), QString::fromUtf8(row.captcha));
    const EM_LOGINPAGE page = wnd.currentLoginPage();
    wnd.Click("btnLogin");
    EXPECT_EQ(wnd.ErrorShown(), QString::fromUtf8(row.error));
    EXPECT_EQ(wnd.currentLoginPage(), page);
    ASSERT_TRUE(SettleManager());
    EXPECT_TRUE(pair.identity->records().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InputCheckTest,
    ::testing::Values(InputRow{"EmptyAccount", "", "secret", false, "", "请输入Nimbo帐号"},
                      InputRow{"EmptyAccountBeforeEmptyPassword", "", "", false, "", "请输入Nimbo帐号"},
                      InputRow{"NoPassword", "alice", "", false, "", "请输入密码"},
                      InputRow{"EmptyCaptcha", "alice", "secret", true, "", "请输入验证码"},
                      InputRow{"ThreeCharacterCaptcha", "alice", "secret", true, "abc", "验证码格式错误，请重新输入。"},
                      InputRow{"FiveCharacterCaptcha", "alice", "secret", true, "abcde", "验证码格式错误，请重新输入。"}),
    [](const ::testing::TestParamInfo<InputRow>& info) { return info.param.name; });

// --- A password login up to the accepted dialog ---------------------------------------------------

class PasswordLoginTest : public LoginWndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PasswordLoginTest, EndsExecWithOneAtTheCoresFirstMonitoringStatus) {
    const bool remember = GetParam();
    LoginWnd wnd;
    const int result = ExecAndDo(wnd, [&] {
        wnd.Type(wnd.Account(), kAlice);
        wnd.Type(wnd.Password(), kSecret);
        if (remember)
            wnd.Click("checkBox_rememberpwd");
        QTest::keyClick(&wnd, Qt::Key_Return);
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
        EXPECT_TRUE(wnd.Hidden("vWidget_InputPage"));
        EXPECT_FALSE(wnd.Hidden("vWidget_Loading"));
        EXPECT_EQ(Part<QLabel>(wnd, "label_showUserAccount")->text(), QStringLiteral("欢迎~ alice"));
        EXPECT_EQ(Part<QLabel>(wnd, "label_status")->text(), QStringLiteral("正在登录，请稍后..."));

        QLabel* face = Part<QLabel>(wnd, "label_Userface");
        ASSERT_TRUE(UiWaitFor([face] { return !face->pixmap(Qt::ReturnByValue).isNull(); }));
        const QImage picture = face->pixmap(Qt::ReturnByValue).toImage();
        EXPECT_EQ(picture.size(), QSize(70, 70));
        EXPECT_EQ(picture.pixelColor(0, 0).alpha(), 0);
        EXPECT_EQ(picture.pixelColor(35, 35).alpha(), 255);

        ASSERT_TRUE(WaitStatus(5));
        EXPECT_TRUE(wnd.isVisible()); // nothing but code 0 ends the wait
        wnd.callbackLoginStatus(0, QString());
    });
    EXPECT_EQ(result, 1);
    // Listed at once for when the window comes back (after a change of account).
    EXPECT_NE(wnd.Row(kAlice), nullptr);
    EXPECT_EQ(wnd.List()->count(), 1);
    EXPECT_EQ(wnd.Account()->text(), kAlice);
    EXPECT_EQ(AccountQid(kAlice), QStringLiteral("10001"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_REMEMBER_PWD, QStringLiteral("10001")), QString::fromLatin1(remember ? "true" : "false"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_AUTO_LOGIN, QStringLiteral("10001")), QStringLiteral("false"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")).toStdString(),
              remember ? pair.identity->q("10001") : "");
    EXPECT_EQ(UserValue(CConfigMgr::USER_T, QStringLiteral("10001")).toStdString(),
              remember ? pair.identity->t("10001") : "");
    EXPECT_FALSE(pair.identity->q("10001").empty());
}

INSTANTIATE_TEST_SUITE_P(Choices, PasswordLoginTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "PasswordRemembered" : "PasswordNotRemembered");
                         });

// --- Captcha ---------------------------------------------------------------------------------------

TEST_F(LoginWndTest, TwoWrongPasswordsThenTheCaptchaThatSignsIn) {
    LoginWnd wnd;
    wnd.show();
    wnd.Type(wnd.Account(), kAlice);
    for (int i = 0; i < 2; ++i) {
        wnd.Type(wnd.Password(), QStringLiteral("wrong"));
        wnd.Captcha()->setText(QStringLiteral("left")); // from an earlier captcha
        QTest::keyClick(&wnd, Qt::Key_Return);
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
        EXPECT_TRUE(wnd.Captcha()->text().isEmpty());
        ASSERT_TRUE(UiWaitFor([&] { return wnd.currentLoginPage() == LOGINPAGE_INPUT; }));
        EXPECT_EQ(wnd.ErrorShown(), QStringLiteral("帐号或密码错误"));
    }

    wnd.calls.clear();
    wnd.Type(wnd.Password(), kSecret);
    QTest::keyClick(&wnd, Qt::Key_Return);
    ASSERT_TRUE(UiWaitFor([&] { return wnd.currentLoginPage() == LOGINPAGE_CAPTCHA; }));
    ASSERT_EQ(wnd.calls.size(), 2u);
    EXPECT_EQ(wnd.calls[0], std::make_pair(5010, QStringLiteral("请输入验证码")));
    EXPECT_EQ(wnd.calls[1].first, CLoginMgr::kCaptchaReady);
    EXPECT_EQ(wnd.ErrorShown(), QStringLiteral("请输入验证码"));
    EXPECT_FALSE(wnd.Hidden("hWidget_VerificationArea"));
    const QPixmap captcha = Part<QLabel>(wnd, "label_pic_verification")->pixmap(Qt::ReturnByValue);
    ASSERT_FALSE(captcha.isNull());
    EXPECT_EQ(captcha.size(), QSize(78, 46));

    const std::string token = pair.identity->captchaToken();
    wnd.Type(wnd.Captcha(), QString::fromStdString(pair.identity->captchaText()));
    QTest::keyClick(&wnd, Qt::Key_Enter);
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
    EXPECT_TRUE(wnd.Captcha()->text().isEmpty());
    ASSERT_TRUE(UiWaitFor([] { return LoginStore::getLastLoginQID() == QStringLiteral("10001"); }));
    const std::vector<IdentityRecord> records = pair.identity->records();
    const auto login = std::find_if(records.rbegin(), records.rend(),
                                    [](const IdentityRecord& r) { return r.method == "UserIntf.login"; });
    ASSERT_NE(login, records.rend());
    EXPECT_EQ(login->param("sc"), token);
    EXPECT_EQ(Count(records, "UserIntf.login"), 3 + 1);
}

// "换一张" that reaches no service: the message, and the input page without the captcha row.
TEST_F(LoginWndTest, AFailedCaptchaRefreshReturnsToTheInputPage) {
    LoginWnd wnd;
    wnd.show();
    wnd.SelectCurrentLoginPage(LOGINPAGE_CAPTCHA);
    wnd.Click("btn_updateVerification");
    ASSERT_TRUE(UiWaitFor([&] { return !wnd.calls.empty(); }));
    EXPECT_EQ(wnd.calls.back().first, CLoginMgr::kCaptchaReady);
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_CAPTCHA);

    pair.identityServer.Stop();
    wnd.Click("btn_updateVerification");
    ASSERT_TRUE(UiWaitFor([&] { return wnd.calls.size() == 2; }));
    EXPECT_EQ(wnd.calls.back(), std::make_pair(CLoginMgr::kNoConnection, QStringLiteral("刷新验证码失败")));
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
    EXPECT_TRUE(wnd.Hidden("hWidget_VerificationArea"));
    EXPECT_EQ(wnd.ErrorShown(), QStringLiteral("刷新验证码失败"));
}

// --- Remembered accounts ---------------------------------------------------------------------------

class RememberedTest : public LoginWndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RememberedTest, SignsInWithTheStoredCookies) {
    const bool autologin = GetParam();
    ASSERT_NO_FATAL_FAILURE(RememberAliceSignedIn(autologin, true));
    const size_t before = pair.identity->records().size();
    const std::string cookie = "Q=" + pair.identity->q("10001") + ";T=" + pair.identity->t("10001") + ";";

    LoginWnd wnd;
    EXPECT_EQ(wnd.Account()->text(), kAlice);
    EXPECT_EQ(wnd.Password()->text(), CLoginWnd::kStoredLoginKey);
    EXPECT_TRUE(wnd.Remember()->isChecked());
    EXPECT_EQ(wnd.Auto()->isChecked(), autologin);
    if (autologin) {
        // Sent from the constructor.
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
    } else {
        wnd.show();
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
        ASSERT_TRUE(SettleManager());
        EXPECT_EQ(pair.identity->records().size(), before);
        wnd.Click("btnLogin");
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
    }
    ASSERT_TRUE(UiWaitFor([&] { return pair.identity->records().size() > before; }));
    ASSERT_TRUE(WaitStatus(5));
    const std::vector<IdentityRecord> records = pair.identity->records();
    const std::vector<IdentityRecord> sent(records.begin() + long(before), records.end());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "CommonAccount.getUserInfo");
    EXPECT_EQ(sent[0].cookie, cookie);
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
}

INSTANTIATE_TEST_SUITE_P(Choices, RememberedTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AutomaticLogin" : "RememberedPasswordOnly");
                         });

TEST_F(LoginWndTest, ADeletedRowCannotSignInAndTheOthersKeepTheirIndices) {
    ASSERT_NO_FATAL_FAILURE(Remember(QStringLiteral("bob"), QStringLiteral("10002"), false, true));
    ASSERT_NO_FATAL_FAILURE(Remember(kAlice, QStringLiteral("10001"), false, true));
    LoginWnd wnd;
    wnd.show();
    ASSERT_EQ(wnd.Account()->text(), kAlice);
    ASSERT_EQ(wnd.Password()->text(), CLoginWnd::kStoredLoginKey);
    QListWidget* list = wnd.List();
    ASSERT_EQ(list->count(), 2);
    CAccountItem* alice = wnd.Row(kAlice);
    CAccountItem* bob = wnd.Row(QStringLiteral("bob"));
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(alice->getItemWidgetIndex(), 0);
    EXPECT_EQ(bob->getItemWidgetIndex(), 1);

    alice->findChild<QToolButton*>()->click();
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(wnd.Row(kAlice), nullptr);
    EXPECT_EQ(AccountQid(kAlice), QString());
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")), QString());
    EXPECT_EQ(UserValue(CConfigMgr::USER_T, QStringLiteral("10001")), QString());
    EXPECT_EQ(wnd.Account()->text(), kAlice);
    EXPECT_TRUE(wnd.Password()->text().isEmpty());

    wnd.Click("btnLogin");
    EXPECT_EQ(wnd.ErrorShown(), QStringLiteral("请输入密码"));
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);

    // The remaining row, picked with the mouse, still fills the inputs.
    wnd.Auto()->setChecked(true);
    QTest::mouseClick(bob, Qt::LeftButton);
    EXPECT_EQ(wnd.Account()->text(), QStringLiteral("bob"));
    EXPECT_EQ(wnd.Password()->text(), CLoginWnd::kStoredLoginKey);
    EXPECT_TRUE(wnd.Remember()->isChecked());
    EXPECT_FALSE(wnd.Auto()->isChecked());
    // Another button's press picks nothing.
    wnd.Type(wnd.Account(), QStringLiteral("x"));
    QTest::mouseClick(bob, Qt::RightButton);
    EXPECT_EQ(wnd.Account()->text(), QStringLiteral("x"));

    ASSERT_TRUE(SettleManager());
    EXPECT_TRUE(pair.identity->records().empty());
    // The next start lists bob only.
    QMap<QString, _LOGINSTATUS_> listed;
    LoginStore::getUserStatusList(listed);
    EXPECT_EQ(listed.keys(), QStringList{QStringLiteral("bob")});
}

// The drop-down spans the whole box of the account (its icon included), and the rows' delete
// icons lie on the row's own colour.
TEST_F(LoginWndTest, TheDropDownSpansTheAccountBoxAndItsIconsLieOnTheRow) {
    ASSERT_NO_FATAL_FAILURE(Remember(QStringLiteral("bob"), QStringLiteral("10002"), false, true));
    ASSERT_NO_FATAL_FAILURE(Remember(kAlice, QStringLiteral("10001"), false, true));
    LoginWnd wnd;
    wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
    auto* combo = Part<QComboBox>(wnd, "comboBoxAccount");
    combo->showPopup();
    QWidget* frame = wnd.List()->window();
    ASSERT_TRUE(frame->isVisible());
    const QWidget* box = Part<QWidget>(wnd, "hWidget_account");
    EXPECT_EQ(frame->geometry().left(), box->mapToGlobal(QPoint(0, 0)).x());
    EXPECT_EQ(frame->width(), box->width());
    const QToolButton* remove = wnd.Row(QStringLiteral("bob"))->findChild<QToolButton*>();
    // Beside the round icon: the row's white, not black.
    EXPECT_GT(qGray(frame->grab().toImage().pixel(remove->mapTo(frame, QPoint(2, 2)))), 60);
    combo->hidePopup();
}

TEST_F(LoginWndTest, ThePlaceholderOfAnAccountThatIsNotRememberedAsksForThePassword) {
    ASSERT_NO_FATAL_FAILURE(Remember(kAlice, QStringLiteral("10001"), false, true));
    LoginWnd wnd;
    wnd.show();
    ASSERT_EQ(wnd.Password()->text(), CLoginWnd::kStoredLoginKey);
    wnd.Type(wnd.Account(), QStringLiteral("carol"));
    wnd.Click("btnLogin");
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
    EXPECT_EQ(wnd.ErrorShown(), QStringLiteral("请输入密码"));
    EXPECT_TRUE(wnd.Password()->text().isEmpty());
    ASSERT_TRUE(SettleManager());
    EXPECT_TRUE(pair.identity->records().empty());
}

// --- One login at a time, and cancel ----------------------------------------------------------------

TEST_F(LoginWndTest, ReturnOnTheLoadingPageSendsNothingMore) {
    pair.identityServer.addFault(Hold("/api.php"));
    LoginWnd wnd;
    wnd.show();
    wnd.Type(wnd.Account(), kAlice);
    wnd.Type(wnd.Password(), kSecret);
    QTest::keyClick(&wnd, Qt::Key_Return);
    ASSERT_TRUE(pair.identityServer.waitForHeld(1, 30000));
    QTest::keyClick(&wnd, Qt::Key_Return);
    QTest::keyClick(&wnd, Qt::Key_Enter);
    wnd.Click("btnLogin"); // hidden, but a click must not send either
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_LOADING);
    // A second request would be counted at once, while the first is still held.
    EXPECT_EQ(manager->pendingWorkForTests(), 1);
    EXPECT_EQ(pair.identityServer.heldCount(), 1);
    pair.identityServer.clearFaults();
    pair.identityServer.releaseHeld();
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(Count(pair.identity->records(), "UserIntf.login"), 1);
}

TEST_F(LoginWndTest, CancelWhileTheLoginIsHeldStartsNoCore) {
    pair.identityServer.addFault(Hold("/api.php"));
    LoginWnd wnd;
    const int result = ExecAndDo(wnd, [&] {
        wnd.Type(wnd.Account(), kAlice);
        wnd.Type(wnd.Password(), kSecret);
        QTest::keyClick(&wnd, Qt::Key_Return);
        ASSERT_TRUE(pair.identityServer.waitForHeld(1, 30000));
        wnd.Click("btnCancel");
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
        // The exchange ends though the service holds the request.
        ASSERT_TRUE(SettleManager(10000));
        EXPECT_EQ(pair.identityServer.requestCount(), 1);
        pair.identityServer.clearFaults();
        pair.identityServer.releaseHeld();
    });
    EXPECT_EQ(result, kStillOpen);
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
    EXPECT_TRUE(wnd.calls.empty());
    EXPECT_EQ(pair.cloud.requestCount(), 0);
    EXPECT_TRUE(LoginStore::getLastLoginQID().isEmpty());
}

// Every thread of the pool busy: the login's task waits in the queue when "取消" comes.
TEST_F(LoginWndTest, CancelBeforeTheRequestLeftSendsNothingAndLeavesNoWork) {
    QThreadPool* pool = QThreadPool::globalInstance();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> blocking{0};
    for (int i = 0; i < pool->maxThreadCount(); ++i) {
        pool->start([released, &blocking] {
            ++blocking;
            released.wait();
        });
    }
    ASSERT_TRUE(UiWaitFor([&] { return blocking.load() == pool->maxThreadCount(); }));
    LoginWnd wnd;
    wnd.show();
    wnd.Type(wnd.Account(), kAlice);
    wnd.Type(wnd.Password(), kSecret);
    QTest::keyClick(&wnd, Qt::Key_Return);
    wnd.Click("btnCancel");
    release.set_value();
    ASSERT_TRUE(SettleManager());
    pool->waitForDone();
    EXPECT_TRUE(pair.identity->records().empty());
    EXPECT_TRUE(wnd.calls.empty());
    EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
}

TEST_F(LoginWndTest, CancelAfterTheReplyStartedTheCoreStopsIt) {
    // The core's requests wait until the cancel: it cannot sign in before.
    pair.cloud.addFault(Hold("/intf.php"));
    LoginWnd wnd;
    const int result = ExecAndDo(wnd, [&] {
        wnd.Type(wnd.Account(), kAlice);
        wnd.Type(wnd.Password(), kSecret);
        QTest::keyClick(&wnd, Qt::Key_Return);
        // The reply is handled on this thread: the event loop must run meanwhile.
        ASSERT_TRUE(UiWaitFor([&] { return pair.cloud.heldCount() >= 1; })); // the core runs
        wnd.Click("btnCancel");
        EXPECT_EQ(wnd.currentLoginPage(), LOGINPAGE_INPUT);
        ASSERT_TRUE(SettleManager());
        EXPECT_FALSE(g_LocalStoreMgr.running()); // the core has been stopped
        pair.cloud.clearFaults();
        pair.cloud.releaseHeld();
        // A late code 0 is no login the window waits for.
        wnd.callbackLoginStatus(0, QString());
        for (const RecordedEvent& event : TakeEvents()) {
            if (event.type == QCEventBase::StatusChanged) {
                EXPECT_NE(int(event.info.status), 5);
            }
        }
    });
    EXPECT_EQ(result, kStillOpen);
    EXPECT_TRUE(manager->isFirstLogin());
    EXPECT_FALSE(manager->isCoreStarted());
    EXPECT_EQ(AccountQid(kAlice), QString()); // the choices were not saved
}

// The loading page of another account's login never shows the face picture of the one before.
TEST_F(LoginWndTest, TheLoadingPageShowsNoFaceOfTheAccountBefore) {
    LoginWnd wnd;
    wnd.show();
    QLabel* face = Part<QLabel>(wnd, "label_Userface");
    wnd.Type(wnd.Account(), kAlice);
    wnd.Type(wnd.Password(), kSecret);
    QTest::keyClick(&wnd, Qt::Key_Return);
    ASSERT_TRUE(UiWaitFor([face] { return !face->pixmap(Qt::ReturnByValue).isNull(); }));
    wnd.Click("btnCancel");
    ASSERT_TRUE(SettleManager());

    pair.identityServer.addFault(Hold("/api.php"));
    wnd.Type(wnd.Account(), QStringLiteral("bob"));
    QTest::keyClick(&wnd, Qt::Key_Return);
    EXPECT_EQ(Part<QLabel>(wnd, "label_showUserAccount")->text(), QStringLiteral("欢迎~ bob"));
    EXPECT_TRUE(face->pixmap(Qt::ReturnByValue).isNull());
}

// --- Check boxes, keys and the title bar -------------------------------------------------------------

TEST_F(LoginWndTest, TheCheckBoxesAreCoupledAndTheFieldsRefuseTheAmpersand) {
    LoginWnd wnd;
    wnd.show();
    wnd.Click("checkBox_autologin");
    EXPECT_TRUE(wnd.Auto()->isChecked());
    EXPECT_TRUE(wnd.Remember()->isChecked());
    wnd.Click("checkBox_rememberpwd");
    EXPECT_FALSE(wnd.Remember()->isChecked());
    EXPECT_FALSE(wnd.Auto()->isChecked());
    wnd.Click("checkBox_rememberpwd");
    EXPECT_TRUE(wnd.Remember()->isChecked());
    EXPECT_FALSE(wnd.Auto()->isChecked());
    wnd.Click("checkBox_autologin");
    wnd.Click("checkBox_autologin");
    EXPECT_FALSE(wnd.Auto()->isChecked());
    EXPECT_TRUE(wnd.Remember()->isChecked());

    wnd.Type(wnd.Account(), QStringLiteral("a&b"));
    EXPECT_EQ(wnd.Account()->text(), QStringLiteral("ab"));
    wnd.SelectCurrentLoginPage(LOGINPAGE_CAPTCHA);
    wnd.Type(wnd.Captcha(), QStringLiteral("x&y1"));
    EXPECT_EQ(wnd.Captcha()->text(), QStringLiteral("xy1"));
    wnd.Type(wnd.Password(), QStringLiteral("p&w"));
    EXPECT_EQ(wnd.Password()->text(), QStringLiteral("p&w")); // only its digest is sent
}

TEST_F(LoginWndTest, EscapeAndMinimiseLeaveItOpenAndCloseEndsExecWithZero) {
    LoginWnd wnd;
    bool openAfterEscape = false;
    bool openAfterMinimise = false;
    const int result = ExecAndDo(wnd, [&] {
        QTest::keyClick(&wnd, Qt::Key_Escape);
        openAfterEscape = wnd.isVisible();
        Part<QButtonCustom>(wnd, "btn_min")->click();
        openAfterMinimise = wnd.isVisible();
        Part<QButtonCustom>(wnd, "btn_close")->click();
    });
    EXPECT_TRUE(openAfterEscape);
    EXPECT_TRUE(openAfterMinimise);
    EXPECT_EQ(result, 0);
}

TEST_F(LoginWndTest, DestroyingTheWindowLeavesTheManagersSink) {
    {
        LoginWnd wnd;
    }
    // A report after the window is gone reaches nobody (it used to reach a deleted window).
    manager->AutoLoginIAccount(QStringLiteral("carol"), QStringLiteral("10009"), false, false);
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(Count(pair.identity->records(), "CommonAccount.getUserInfo"), 1);
    EXPECT_TRUE(sink.calls.empty());
}

} // namespace
