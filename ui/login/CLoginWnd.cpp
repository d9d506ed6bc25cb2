#include "login/CLoginWnd.h"

#include "login/CAccountItem.h"
#include "ui_CLoginWnd.h"
#include "widgets/QButtonCustom.h"
#include "widgets/UICommonMethod.h"

#include "common/CoreLog.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QRegularExpressionValidator>

const QString CLoginWnd::kStoredLoginKey = QStringLiteral("KEEP_STORED_LOGIN_KEY");

namespace {

const QString kEnterAccount = QStringLiteral("请输入Nimbo帐号");
const QString kEnterPassword = QStringLiteral("请输入密码");
const QString kEnterCaptcha = QStringLiteral("请输入验证码");
const QString kBadCaptcha = QStringLiteral("验证码格式错误，请重新输入。");

// The parameter block of the account service joins its texts with "&" unescaped: an account or
// captcha holding one would change the request. The password only travels as its digest.
QValidator* NoAmpersand(QObject* parent) {
    return new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^&]*")), parent);
}

} // namespace

CLoginWnd::CLoginWnd(QWidget* parent, Qt::WindowFlags flags)
    : NoneBorderWndBase(parent, flags, true), ui(new Ui::CLoginWnd), m_loginMgr(CLoginMgr::getInstance()),
      m_accountList(new QListWidget(this)) {
    m_loginMgr->attch(this);
    m_accountList->setObjectName(QStringLiteral("accountList"));

    ui->setupUi(this);
    setShadowLayer(ui->LoginWndShadow);
    ui->LoginWndShadow->setFixedSize(380, 474);

    InitTitle();
    ui->labelLogo->setPixmap(
        QPixmap(QStringLiteral(":/skin/login/logo.png")).scaled(207, 30, Qt::IgnoreAspectRatio));
    ui->labelLogo->setAlignment(Qt::AlignHCenter);

    _LOGINSTATUS_ last;
    InitUserInputPage(last);
    InitLoginLoadingPage();
    ShowErrorText(QString());
    SelectCurrentLoginPage(LOGINPAGE_INPUT);

    // Automatic login: the dialog opens on the loading page.
    if (last.autologin && last.rememberpwd)
        on_btnLogin_clicked();
}

CLoginWnd::~CLoginWnd() {
    m_loginMgr->detach(this);
    // An exchange still waiting for the service ends with the window: the application's end
    // waits for every task of Qt's pool.
    m_loginMgr->abortConnect();
    // Through the manager, so that the stop runs after any start it has queued for the core.
    m_loginMgr->UnloginCore();
    delete ui;
}

void CLoginWnd::InitTitle() {
    m_minButton = new QButtonCustom(QStringLiteral(":/skin/login/btn_min.png"), 4, this, 1, QString());
    m_closeButton = new QButtonCustom(QStringLiteral(":/skin/login/btn_close.png"), 4, this, 1, QString());
    m_minButton->setObjectName(QStringLiteral("btn_min"));
    m_closeButton->setObjectName(QStringLiteral("btn_close"));
    // Return belongs to the login button, not to a title button clicked before.
    m_minButton->setFocusPolicy(Qt::NoFocus);
    m_closeButton->setFocusPolicy(Qt::NoFocus);
    ui->hLayoutTitle->addWidget(m_minButton);
    ui->hLayoutTitle->addWidget(m_closeButton);
    connect(m_minButton, &QPushButton::clicked, this, &CLoginWnd::Minimize);
    connect(m_closeButton, &QPushButton::clicked, this, &CLoginWnd::Closed);
}

void CLoginWnd::InitUserInputPage(_LOGINSTATUS_& out) {
    ui->vWidget_InputPage->setFixedHeight(378);
    ui->labelAccountIcon->setPixmap(QPixmap(QStringLiteral(":/skin/login/icon_account.png")).scaled(16, 16));
    ui->labelPasswordIcon->setPixmap(QPixmap(QStringLiteral(":/skin/login/icon_password.png")).scaled(16, 16));

    ui->comboBoxAccount->setEditable(true);
    // Typing Return must not add a row: the rows are the remembered accounts.
    ui->comboBoxAccount->setInsertPolicy(QComboBox::NoInsert);
    ui->comboBoxAccount->setValidator(NoAmpersand(this));
    // The model first: a view whose model differs would be given the combo's, which a list widget refuses.
    ui->comboBoxAccount->setModel(m_accountList->model());
    ui->comboBoxAccount->setView(m_accountList);
    // The drop-down's frame: placed over the account's whole box when it opens (below).
    m_accountList->parentWidget()->installEventFilter(this);
    ui->lineEdit_verification->setValidator(NoAmpersand(this));

    ui->lineEdit_password->setEchoMode(QLineEdit::Password);

    const QString linkStyle = QStringLiteral("<style> a {text-decoration: none} </style>");
    ui->label_quickregister->setOpenExternalLinks(true);
    ui->label_retrievePwd->setOpenExternalLinks(true);
    ui->label_quickregister->setText(
        linkStyle + tr("<a style='color: rgb(43,195,139);' href='%1'>快速注册</a>").arg(QStringLiteral(NIMBO_REGISTER_URL)));
    ui->label_retrievePwd->setText(
        linkStyle + tr("<a style='color: rgb(43,195,139);' href='%1'>找回密码</a>").arg(QStringLiteral(NIMBO_RECOVER_URL)));

    ui->hWidget_VerificationArea->hide();

    FillAccountList(&out);
}

void CLoginWnd::FillAccountList(_LOGINSTATUS_* last) {
    // Rows leave with their items; the typed account is kept over the model's change.
    const QString typed = ui->comboBoxAccount->currentText();
    m_accountList->clear();
    m_accounts.clear();
    m_loginMgr->getUserStatusList(m_accounts);
    const QString lastQid = last ? m_loginMgr->getLastLoginQID() : QString();
    int index = 0;
    for (auto account = m_accounts.cbegin(); account != m_accounts.cend(); ++account, ++index) {
        auto* row = new CAccountItem();
        row->setAccountInfo(index, account.key(), account.value());
        connect(row, &CAccountItem::signalShowAccountInfo, this, &CLoginWnd::onShowAccountInfo);
        connect(row, &CAccountItem::signalRemoveAccount, this, &CLoginWnd::onRemoveAccount);
        auto* item = new QListWidgetItem(m_accountList);
        m_accountList->setItemWidget(item, row);
        if (last && account.value().qid == lastQid) {
            *last = account.value();
            ui->comboBoxAccount->setEditText(account.key());
            ui->lineEdit_password->setText(last->rememberpwd ? kStoredLoginKey : QString());
            ui->checkBox_autologin->setChecked(last->autologin);
            ui->checkBox_rememberpwd->setChecked(last->rememberpwd);
        }
    }
    if (!last)
        ui->comboBoxAccount->setEditText(typed);
}

void CLoginWnd::InitLoginLoadingPage() {
    ui->vWidget_Loading->setFixedHeight(378);
    ui->vWidget_Loading->hide();
}

void CLoginWnd::SelectCurrentLoginPage(EM_LOGINPAGE page) {
    switch (page) {
    case LOGINPAGE_INPUT:
        ui->vWidget_InputPage->show();
        ui->hWidget_VerificationArea->hide();
        ui->vWidget_Loading->hide();
        break;
    case LOGINPAGE_CAPTCHA:
        ui->vWidget_InputPage->show();
        ui->hWidget_VerificationArea->show();
        ui->vWidget_Loading->hide();
        break;
    case LOGINPAGE_LOADING:
        ui->vWidget_InputPage->hide();
        ui->vWidget_Loading->show();
        break;
    default:
        return;
    }
    m_page = page;
}

void CLoginWnd::ShowErrorText(const QString& text) {
    ui->labelError->setText(text);
    ui->labelError->setVisible(!text.isEmpty());
}

bool CLoginWnd::CheckoutUserInput() {
    QString error;
    if (ui->comboBoxAccount->currentText().isEmpty()) {
        error = kEnterAccount;
    } else if (ui->lineEdit_password->text().isEmpty()) {
        error = kEnterPassword;
    } else if (ui->lineEdit_verification->isVisible()) {
        // Not visible on page 1, nor before the window is shown (the automatic login).
        const QString captcha = ui->lineEdit_verification->text();
        if (captcha.isEmpty())
            error = kEnterCaptcha;
        else if (captcha.length() != 4)
            error = kBadCaptcha;
    }
    ShowErrorText(error);
    return error.isEmpty();
}

void CLoginWnd::on_btnLogin_clicked() {
    // One login at a time: nothing more is sent while the loading page waits for one.
    if (m_page == LOGINPAGE_LOADING)
        return;
    if (!CheckoutUserInput())
        return;
    const QString account = ui->comboBoxAccount->currentText();
    const QString password = ui->lineEdit_password->text();
    const QString captcha = ui->lineEdit_verification->text();
    const bool autologin = ui->checkBox_autologin->isChecked();
    const bool rememberpwd = ui->checkBox_rememberpwd->isChecked();

    const bool stored = password == kStoredLoginKey;
    const auto remembered = m_accounts.constFind(account);
    if (stored && remembered == m_accounts.cend()) {
        // The placeholder stands for no password of this account: ask for one.
        ui->lineEdit_password->clear();
        ShowErrorText(kEnterPassword);
        return;
    }

    SelectCurrentLoginPage(LOGINPAGE_LOADING);
    // Another account's face picture is not this one's: the loading page waits for its own.
    if (account != m_faceAccount)
        ui->label_Userface->clear();
    m_faceAccount = account;
    ui->label_showUserAccount->setText(QStringLiteral("欢迎~ ") + account);
    ui->label_status->setText(QStringLiteral("正在登录，请稍后..."));
    if (stored) {
        m_loginMgr->AutoLoginIAccount(account, remembered.value().qid, autologin, rememberpwd);
    } else {
        m_loginMgr->LoginIAccount(account, password, captcha);
        ui->lineEdit_verification->clear();
    }
}

void CLoginWnd::callbackLoginStatus(int code, QString text) {
    switch (code) {
    case 0:
        // Only a login that is still awaited ends the dialog: after "取消" it is not.
        if (m_page == LOGINPAGE_LOADING)
            LoginSuccess();
        break;
    case CLoginMgr::kFaceReady:
        UpdateFaceIcon(m_loginMgr->getFaceIconPath());
        break;
    case CLoginMgr::kCaptchaReady:
        UpdateCaptchaFilePath(m_loginMgr->getCaptchaFilePath());
        break;
    default:
        ShowErrorText(text);
        SelectCurrentLoginPage(LOGINPAGE_INPUT);
        break;
    }
}

void CLoginWnd::LoginSuccess() {
    m_loginMgr->SaveLoginStatus(ui->comboBoxAccount->currentText(), m_loginMgr->getQID(), m_loginMgr->getQ(),
                                m_loginMgr->getT(), ui->checkBox_autologin->isChecked(),
                                ui->checkBox_rememberpwd->isChecked());
    // The window comes back after a change of account: the account just saved is listed then.
    FillAccountList(nullptr);
    accept();
}

bool CLoginWnd::UpdateFaceIcon(QString path) {
    QPixmap picture(path);
    if (picture.isNull())
        return true; // the earlier picture stays
    picture = picture.scaled(70, 70, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    ui->label_Userface->setPixmap(UICommonMethod::PixmapToRound(picture, 35));
    ui->label_Userface->repaint();
    return true;
}

bool CLoginWnd::UpdateCaptchaFilePath(QString path) {
    SelectCurrentLoginPage(LOGINPAGE_CAPTCHA);
    const QPixmap picture(path);
    if (!picture.isNull())
        ui->label_pic_verification->setPixmap(
            picture.scaled(ui->label_pic_verification->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    ui->label_pic_verification->repaint();
    return true;
}

void CLoginWnd::on_checkBox_rememberpwd_clicked(bool checked) {
    CoreDebug("[UI] remember password: %d", int(checked));
    if (!checked)
        ui->checkBox_autologin->setChecked(false);
}

void CLoginWnd::on_checkBox_autologin_clicked(bool checked) {
    if (checked)
        ui->checkBox_rememberpwd->setChecked(true);
}

void CLoginWnd::onShowAccountInfo(int, QString sAccount, const LOGINSTATUS& stLoginStatus) {
    ui->comboBoxAccount->setEditText(sAccount);
    ui->comboBoxAccount->hidePopup();
    ui->checkBox_autologin->setChecked(stLoginStatus.autologin);
    ui->checkBox_rememberpwd->setChecked(stLoginStatus.rememberpwd);
    ui->lineEdit_password->setText(stLoginStatus.rememberpwd ? kStoredLoginKey : QString());
}

void CLoginWnd::onRemoveAccount(int nIndex) {
    int row = 0;
    CAccountItem* item = nullptr;
    for (; row < m_accountList->count(); ++row) {
        item = qobject_cast<CAccountItem*>(m_accountList->itemWidget(m_accountList->item(row)));
        if (item && item->getItemWidgetIndex() == nIndex)
            break;
        item = nullptr;
    }
    if (!item) {
        ui->comboBoxAccount->hidePopup();
        return;
    }
    const QString account = item->getAccountName();
    // Taking the current row out would put that row's (empty) text into the edit field.
    const QString typed = ui->comboBoxAccount->currentText();
    delete m_accountList->takeItem(row);
    ui->comboBoxAccount->setEditText(typed);
    m_loginMgr->clearSession(account);
    item->deleteLater();
    ui->comboBoxAccount->hidePopup();

    // The account is gone: its placeholder must not sign in with what was stored for it.
    m_accounts.remove(account);
    if (typed == account && ui->lineEdit_password->text() == kStoredLoginKey)
        ui->lineEdit_password->clear();
}

void CLoginWnd::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (m_page == LOGINPAGE_INPUT || m_page == LOGINPAGE_CAPTCHA)
            emit ui->btnLogin->clicked();
        return;
    }
    NoneBorderWndBase::keyPressEvent(event);
}

bool CLoginWnd::eventFilter(QObject* watched, QEvent* event) {
    // The combo box lays its list out below itself only, right of the account icon: the list
    // spans the box that holds both instead.
    if (event->type() == QEvent::Show && watched == m_accountList->parentWidget()) {
        auto* frame = static_cast<QWidget*>(watched);
        const QWidget* box = ui->hWidget_account;
        frame->setGeometry(box->mapToGlobal(QPoint(0, 0)).x(), frame->y(), box->width(), frame->height());
    }
    return NoneBorderWndBase::eventFilter(watched, event);
}

void CLoginWnd::Minimize() {
    showMinimized();
}

void CLoginWnd::Closed() {
    // A close while exec() runs rejects: the caller reads 0.
    close();
}

void CLoginWnd::on_btnCancel_clicked() {
    SelectCurrentLoginPage(LOGINPAGE_INPUT);
    m_loginMgr->abortConnect();
    // A reply may already have started the core: stop it before it signs the window in.
    if (m_loginMgr->isFirstLogin() && m_loginMgr->isCoreStarted())
        m_loginMgr->UnloginCore();
}

void CLoginWnd::on_btn_updateVerification_clicked() {
    m_loginMgr->GetCaptcha();
}
