#pragma once
// The login dialog. Its input page takes an account (typed or picked from the remembered ones),
// the password (or the placeholder of a remembered account, which signs in with the stored
// cookies), a captcha when the service asks for one and the two choices "记住密码" and
// "自动登录"; its loading page shows the account's face picture and waits for the core's first
// login. The window never talks to the service: every request goes through the login manager,
// and every outcome comes back through callbackLoginStatus, on the user-interface thread.
//
// exec() ends with 1 when the core has finished its first login (code 0, sent by the main
// window while the loading page is up) and with 0 when the user closes the window.

#include "login/CConfigMgr.h"
#include "login/CLoginMgr.h"
#include "widgets/NoneBorderWndBase.h"

#include <QMap>
#include <QString>

class QButtonCustom;
class QListWidget;

namespace Ui {
class CLoginWnd;
}

enum EM_LOGINPAGE {
    LOGINPAGE_INPUT = 1,   // account, password and the check boxes
    LOGINPAGE_CAPTCHA = 2, // the same with the captcha row
    LOGINPAGE_LOADING = 3, // face picture, welcome and status while a login runs
};

class CLoginWnd : public NoneBorderWndBase, public ILoginStatusSink {
    Q_OBJECT
public:
    // What the password field holds for a remembered account: its password is never on the machine.
    static const QString kStoredLoginKey;

    // Starts the cookie login at once when the last login's account has both choices set.
    explicit CLoginWnd(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    // Leaves the manager's sink, ends its exchanges and stops the core.
    ~CLoginWnd() override;

    // 0 the core's first login ended (acted on only on the loading page), 10000000 the face
    // picture is ready, 10000001 a captcha is ready, any other code a failure with its text.
    void callbackLoginStatus(int code, QString text) override;

    // Any value outside the enumeration changes nothing.
    void SelectCurrentLoginPage(EM_LOGINPAGE page);
    EM_LOGINPAGE currentLoginPage() const { return m_page; }
    // Shows `text` under the inputs; empty text hides the line.
    void ShowErrorText(const QString& text);
    // False, with the reason shown, when the inputs cannot start a login.
    bool CheckoutUserInput();
    bool UpdateFaceIcon(QString path);
    bool UpdateCaptchaFilePath(QString path);

public slots:
    void Minimize();
    void Closed();
    void onShowAccountInfo(int nIndex, QString sAccount, const LOGINSTATUS& stLoginStatus);
    void onRemoveAccount(int nIndex);
    void on_btnLogin_clicked();
    void on_checkBox_rememberpwd_clicked(bool checked);
    void on_checkBox_autologin_clicked(bool checked);
    void on_btnCancel_clicked();
    void on_btn_updateVerification_clicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InitTitle();
    void InitUserInputPage(_LOGINSTATUS_& out);
    void InitLoginLoadingPage();
    // The drop-down's rows from the account store. With `last`, the last login's account is put
    // into the inputs and its record into `*last`; without, the typed account stays.
    void FillAccountList(_LOGINSTATUS_* last);
    void LoginSuccess();

    Ui::CLoginWnd* ui;
    CLoginMgr* m_loginMgr;
    QMap<QString, _LOGINSTATUS_> m_accounts; // remembered accounts by name
    QButtonCustom* m_minButton = nullptr;
    QButtonCustom* m_closeButton = nullptr;
    QListWidget* m_accountList; // model and view of the account drop-down
    EM_LOGINPAGE m_page = LOGINPAGE_INPUT;
    QString m_faceAccount; // the account of the last login started: its face picture is shown
};
