#include "main/CMainWnd.h"

#include "main/CImageListViewMgr.h"
#include "main/CTransferCompleteView.h"
#include "main/CTransmittingView.h"
#include "main/FileChooser.h"
#include "main/QCUIEventReceiver.h"
#include "main/QtAddressBar.h"
#include "main/UserQuota.h"
#include "main/ViewText.h"

#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/PathUtils.h"
#include "common/QCEvents.h"
#include "login/CLoginMgr.h"
#include "login/CLoginWnd.h"
#include "sync/VUZeroz.h"
#include "ui_CMainWnd.h"
#include "widgets/CAbout.h"
#include "widgets/CMsgBox.h"
#include "widgets/CSet.h"
#include "widgets/CTabButton.h"
#include "widgets/CUserInfoButton.h"
#include "widgets/QButtonCustom.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QUrl>

QString g_sChangeEID;

namespace {

// The exit code lives outside the window: the window deletes itself on close, before the caller
// of the event loop reads the code.
int s_exitCode = -1;

const char kRootText[] = "全部文件";
const char kInvalidLoginText[] = "自动登录失效或密码已更改，请重新输入密码";

const char kTransparent[] = "QPushButton{background: transparent;}";
const char kGroupFrame[] = "QWidget{border: 1px solid rgb(219, 243, 233);}";

// A sprite button of the title bar or the toolbar: four frames side by side, no icon.
QButtonCustom* SpriteButton(const char* sprite, const char* name, QWidget* parent) {
    auto* button = new QButtonCustom(QString::fromLatin1(sprite), 4, parent);
    button->setObjectName(QLatin1String(name));
    return button;
}

// The navigation group's thin separator in the window colour.
QLabel* NavSeparator(QWidget* parent) {
    auto* separator = new QLabel(QString(), parent);
    separator->setFixedSize(2, 20);
    separator->setAutoFillBackground(true);
    QPalette palette = separator->palette();
    palette.setColor(QPalette::Window, QColor(235, 248, 242));
    separator->setPalette(palette);
    return separator;
}

} // namespace

CMainWnd::CMainWnd(CLoginWnd* loginWnd, QWidget* parent)
    : NoneBorderWndBase(parent, Qt::WindowFlags(), false), ui(new Ui::CMainWnd), m_loginWnd(loginWnd),
      m_chooser(std::make_unique<FileChooser>()) {
    ui->setupUi(this);
    m_narrowBar = false;
    s_exitCode = -1;
    setMinimumSize(1050, 680);
    setSizeGripEnabled(true);

    initTitleBar();
    initLeftBar();
    initFilePage();
    initTransferPage();

    connect(&m_popup, &CPopUserInfoWnd::onClickedChangeEnterprise, this, &CMainWnd::SLOT_onClickedChangeEnterprise);
    connect(&m_popup, &CPopUserInfoWnd::onClickedChangeAccount, this, &CMainWnd::SLOT_onClickedChangeAccount);

    setAttribute(Qt::WA_DeleteOnClose);
    placeOnScreen();
    QCUIEventReceiver::GetInstance()->SetMainWnd(this);
}

void CMainWnd::placeOnScreen() {
    // Placed by the program before it is shown, so that the window manager keeps it there: left to
    // place a frameless window itself, it did, and Qt kept believing it stood at (0, 0), which put
    // every pop-up placed from the window's position beside its place.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    QRect place(QPoint(), size().expandedTo(minimumSize()));
    place.moveCenter(area.center());
    move(qMax(place.left(), area.left()), qMax(place.top(), area.top()));
}

CMainWnd::~CMainWnd() {
    // A newer window may have registered since: it keeps its registration.
    QCUIEventReceiver* receiver = QCUIEventReceiver::GetInstance();
    if (receiver->getMainWnd() == this)
        receiver->SetMainWnd(nullptr);
    delete ui;
}

int CMainWnd::getExitCode() {
    return s_exitCode;
}

QString CMainWnd::getChangeEID() {
    return g_sChangeEID;
}

void CMainWnd::setFileChooser(std::unique_ptr<FileChooser> chooser) {
    if (chooser)
        m_chooser = std::move(chooser);
    // The views' download asks through the same chooser.
    m_viewMgr->setFileChooser(m_chooser.get());
}

void CMainWnd::initTitleBar() {
    const QPixmap logo(QStringLiteral(":/skin/main/logo.png"));
    ui->label_Logo->resize(logo.width(), ui->hWidget_TitleArea->height());
    ui->label_Logo->setPixmap(logo);
    ui->label_Logo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    QWidget* area = ui->hWidget_TitleArea;
    m_btnMenu = SpriteButton(":/skin/main/btn_menu.png", "btnMenu", area);
    m_btnMin = SpriteButton(":/skin/main/btn_min.png", "btnMin", area);
    m_btnMax = SpriteButton(":/skin/main/btn_max.png", "btnMax", area);
    m_btnClose = SpriteButton(":/skin/main/btn_close.png", "btnClose", area);
    for (QButtonCustom* button : {m_btnMenu, m_btnMin, m_btnMax, m_btnClose})
        ui->hLayout_TitleArea->addWidget(button);
    ui->hLayout_TitleArea->addSpacing(20);
    connect(m_btnMenu, &QPushButton::clicked, this, &CMainWnd::MainMenuClicked);
    connect(m_btnMin, &QPushButton::clicked, this, &CMainWnd::Minimize);
    connect(m_btnMax, &QPushButton::clicked, this, &CMainWnd::Maximize);
    connect(m_btnClose, &QPushButton::clicked, this, &CMainWnd::Closed);
}

void CMainWnd::initLeftBar() {
    QWidget* area = ui->hWidget_LeftArea;
    QVBoxLayout* bar = ui->vLayout_LeftArea;

    m_userButton = new CUserInfoButton(CLoginMgr::getInstance()->getFaceIconPath(),
                                       QStringLiteral(":/skin/main/prg_volume_info.png"), area);
    m_userButton->setObjectName(QStringLiteral("btnUserInfo"));
    m_userButton->setFixedHeight(104);
    m_userButton->setCursor(Qt::PointingHandCursor);
    bar->addWidget(m_userButton, 0, Qt::AlignTop);
    connect(m_userButton, &QPushButton::clicked, this, &CMainWnd::ShowUserInfo);

    m_tabMyFiles = new CTabButton(QIcon(QStringLiteral(":/skin/main/icon_myzone.png")), tr("我的文件"), area);
    m_tabMyFiles->setObjectName(QStringLiteral("tabMyFiles"));
    m_tabMyFiles->setFixedHeight(50);
    m_tabMyFiles->setCursor(Qt::PointingHandCursor);
    m_tabMyFiles->setCheckable(true);
    m_tabMyFiles->setChecked(true);
    m_tabMyFiles->setAutoExclusive(true);
    bar->addWidget(m_tabMyFiles);
    connect(m_tabMyFiles, &QPushButton::clicked, this, &CMainWnd::ShowMyFilePage);

    bar->addStretch();

    m_tabTransfer = new CTabButton(QIcon(QStringLiteral(":/skin/main/icon_transfer.png")), tr("传输列表"), area);
    m_tabTransfer->setObjectName(QStringLiteral("tabTransfer"));
    m_tabTransfer->setFixedHeight(50);
    m_tabTransfer->setCursor(Qt::PointingHandCursor);
    m_tabTransfer->setCheckable(true);
    m_tabTransfer->setAutoExclusive(true);
    bar->addWidget(m_tabTransfer);
    connect(m_tabTransfer, &QPushButton::clicked, this, &CMainWnd::ShowDownloadPage);

    auto* switchRow = new QHBoxLayout;
    m_barSwitch = new QPushButton(area);
    m_barSwitch->setObjectName(QStringLiteral("btnBarSwitch"));
    m_barSwitch->setFlat(true);
    m_barSwitch->setIcon(QIcon(QStringLiteral(":/skin/main/icon_more.png")));
    m_barSwitch->setFixedSize(56, 50);
    m_barSwitch->setCursor(Qt::PointingHandCursor);
    m_barSwitch->setStyleSheet(QLatin1String(kTransparent));
    switchRow->addWidget(m_barSwitch, 0, Qt::AlignLeft);
    bar->addLayout(switchRow);
    connect(m_barSwitch, &QPushButton::clicked, this, &CMainWnd::ChangeBtnStyle);
}

void CMainWnd::initFilePage() {
    ui->vWidget_TransferPage->hide();

    QWidget* toolbar = ui->hW_MyFilePageTitleArea;
    QHBoxLayout* row = ui->horizontalLayout_4;
    row->addSpacing(10);

    auto* navigation = new QWidget(toolbar);
    navigation->setObjectName(QStringLiteral("navigationGroup"));
    navigation->setFixedSize(136, 50);
    auto* navigationLayout = new QHBoxLayout(navigation);
    navigationLayout->setContentsMargins(0, 0, 0, 0);
    navigationLayout->setSpacing(0);
    const struct {
        QButtonCustom** button;
        const char* sprite;
        const char* name;
    } navigationButtons[] = {
        {&m_btnHome, ":/skin/main/btn_home.png", "btnHome"},
        {&m_btnBack, ":/skin/main/btn_back.png", "btnBack"},
        {&m_btnForward, ":/skin/main/btn_next.png", "btnNext"},
    };
    for (const auto& each : navigationButtons) {
        if (each.button != &m_btnHome)
            navigationLayout->addWidget(NavSeparator(navigation));
        QButtonCustom* button = SpriteButton(each.sprite, each.name, navigation);
        button->setFixedSize(44, 32);
        button->setFlat(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(QLatin1String(kTransparent));
        navigationLayout->addWidget(button, 0, Qt::AlignLeft);
        *each.button = button;
    }
    m_btnBack->setEnabled(false);
    m_btnForward->setEnabled(false);
    connect(m_btnHome, &QPushButton::clicked, this, &CMainWnd::onClickedHome);
    connect(m_btnBack, &QPushButton::clicked, this, &CMainWnd::onClickedPrior);
    connect(m_btnForward, &QPushButton::clicked, this, &CMainWnd::onClickedNext);
    row->addWidget(navigation);

    auto* addressGroup = new QWidget(toolbar);
    addressGroup->setObjectName(QStringLiteral("addressGroup"));
    addressGroup->setFixedHeight(32);
    addressGroup->setStyleSheet(QLatin1String(kGroupFrame));
    auto* addressLayout = new QHBoxLayout(addressGroup);
    addressLayout->setContentsMargins(0, 0, 0, 0);

    m_addressBar = new QtAddressBar(nullptr);
    m_addressBar->AddPathKey(QStringLiteral("搜索-全部文件："), QStringLiteral("search|all|"), false);
    m_addressBar->AddPathKey(QStringLiteral("搜索-当前目录："), QStringLiteral("search|current|"), false);
    m_addressBar->setStyleSheet(QStringLiteral("QLineEdit{font-size:12px;color:rgb(55,100,255);"
                                               "                                    height:32px;"
                                               "                                    border-radius:0px;}"));
    connect(m_addressBar, &QLineEdit::textChanged, this, &CMainWnd::onTextChanged);
    connect(m_addressBar, &QtAddressBar::SCurrentPathChanged, this, &CMainWnd::slot_CurrentPathChanged);
    addressLayout->addWidget(m_addressBar);

    QButtonCustom* refresh = SpriteButton(":/skin/main/btn_refresh.png", "btnRefresh", addressGroup);
    refresh->setFixedSize(38, 28);
    addressLayout->addWidget(refresh);
    connect(refresh, &QPushButton::clicked, this, &CMainWnd::onClickedRefresh);
    row->addWidget(addressGroup);

    row->addSpacing(10);
    row->setSpacing(0);

    m_searchBox = new QWidget(toolbar);
    m_searchBox->setObjectName(QStringLiteral("searchBox"));
    m_searchBox->setFixedSize(200, 32);
    m_searchBox->setStyleSheet(QLatin1String(kGroupFrame));
    auto* searchLayout = new QHBoxLayout(m_searchBox);
    searchLayout->setContentsMargins(0, 0, 10, 0);
    QButtonCustom* filter = SpriteButton(":/skin/main/edit_screening.png", "btnFilter", m_searchBox);
    filter->setFixedSize(32, 32);
    connect(filter, &QPushButton::clicked, this, &CMainWnd::onClickedFilterBtn);
    m_searchField = new QLineEdit(m_searchBox);
    m_searchField->setObjectName(QStringLiteral("editSearch"));
    m_searchField->setStyleSheet(QStringLiteral("QLineEdit{border: 0px}"));
    m_searchField->setPlaceholderText(tr("搜索所有文件"));
    QButtonCustom* search = SpriteButton(":/skin/main/edit_common_searchicon.png", "btnSearch", m_searchBox);
    search->setFixedSize(14, 14);
    connect(search, &QPushButton::clicked, this, &CMainWnd::onClickedSearchBtn);
    searchLayout->addWidget(filter);
    searchLayout->addWidget(m_searchField);
    searchLayout->addWidget(search);
    row->addWidget(m_searchBox);
    row->addSpacing(20);

    ui->hLayout_6->setSpacing(10);
    const struct {
        QButtonCustom** button;
        const char* sprite;
        const char* text;
        const char* name;
        int width;
        QSize textSize;
        void (CMainWnd::*slot)();
    } operations[] = {
        {&m_btnUpload, ":/skin/main/btn_ic_upload.png", "上传文件", "btnUpload", 92, {60, 30}, &CMainWnd::onClickedUpload},
        {&m_btnDownload, ":/skin/main/btn_icon_download.png", "下载", "btnDownload", 72, {40, 30},
         &CMainWnd::onClickedDownload},
        {&m_btnDelete, ":/skin/main/btn_delete.png", "删除", "btnDelete", 66, {34, 30}, &CMainWnd::onClickedDel},
    };
    for (const auto& each : operations) {
        auto* button =
            new QButtonCustom(QString::fromLatin1(each.sprite), 4, tr(each.text), ui->w_updownArea);
        button->setObjectName(QLatin1String(each.name));
        button->setFixedHeight(30);
        button->setFixedWidth(each.width);
        button->setIconSize(QSize(32, 24));
        button->setIconOffset(QPoint(0, 3));
        button->setTextOffset(QPoint(32, 0));
        button->setTextSize(each.textSize);
        ui->hLayout_6->addWidget(button);
        connect(button, &QPushButton::clicked, this, each.slot);
        *each.button = button;
    }

    m_viewMgr = new CImageListViewMgr(ui->vW_ImageListView);
    m_viewMgr->init(m_btnBack, m_btnForward);
    m_viewMgr->setBottomUpdate(ui->label);
    m_viewMgr->setFileChooser(m_chooser.get());
    connect(m_viewMgr, &CImageListViewMgr::doubleClickItem, this, &CMainWnd::onClickListItem);
}

void CMainWnd::initTransferPage() {
    m_transmitting = new CTransmittingView(ui->widget_transferlist);
    m_transmitting->init();
    m_transmitting->showview(true);
    m_complete = new CTransferCompleteView(ui->widget_transfer_complete);
    m_complete->init();
    m_complete->showview(false);
}

void CMainWnd::resizeEvent(QResizeEvent* e) {
    NoneBorderWndBase::resizeEvent(e);
    // The window is dragged by its title strip only, at every width.
    setAreaMovable(QRect(0, 0, e->size().width(), 50));
}

void CMainWnd::mouseDoubleClickEvent(QMouseEvent*) {
    Maximize();
}

// --- Title bar and window --------------------------------------------------------------------

void CMainWnd::MainMenuClicked() {
    QMenu menu(ui->hWidget_TitleArea);
    menu.addAction(tr("打开云盘官网"), this, &CMainWnd::Slot_openHomeWeb);
    menu.addAction(tr("回收站"), this, &CMainWnd::Slot_openRecycle);
    menu.addSeparator();
    QMenu* help = menu.addMenu(tr("帮助"));
    help->addAction(tr("在线客服"), this, &CMainWnd::Slot_Service);
    help->addAction(tr("帮助中心"), this, &CMainWnd::Slot_Help);
    help->addAction(tr("问题反馈"), this, &CMainWnd::Slot_Feedback);
    help->addSeparator();
    help->addAction(tr("关于"), this, &CMainWnd::Slot_About);
    menu.addAction(tr("退出"), this, &CMainWnd::Slot_Quit);
    menu.exec(QCursor::pos());
}

void CMainWnd::Minimize() {
    showMinimized();
}

void CMainWnd::Maximize() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void CMainWnd::Closed() {
    CMsgBox box;
    if (box.exec() == 1)
        leave(0);
}

void CMainWnd::Slot_Set() {
    CSet dialog;
    dialog.exec();
}

void CMainWnd::Slot_openHomeWeb() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::Home, QString());
}

void CMainWnd::Slot_openRecycle() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::Recycle, QString());
}

void CMainWnd::Slot_Service() {
    // The page key comes with the user's details.
    VUZeroz::GetInstance()->GetJumpUrl(VUZeroz::GetInstance()->Status().online_service, QString());
}

void CMainWnd::Slot_Help() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::Help, QString());
}

void CMainWnd::Slot_Feedback() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::Feedback, QString());
}

void CMainWnd::Slot_About() {
    CAbout about;
    about.exec();
}

void CMainWnd::Slot_Quit() {
    leave(0);
}

// --- Left bar and pages -----------------------------------------------------------------------

void CMainWnd::ShowUserInfo() {
    const SYNC_INFO status = VUZeroz::GetInstance()->Status();
    const UserQuota quota = QuotaOf(status.used_size, status.total_size);
    m_popup.SetNickName(CLoginMgr::getInstance()->getNickName());
    m_popup.SetMemoryText(quota.text);
    m_popup.SetProgressBarPos(quota.barPos);
    m_popup.CleanListItem();
    m_popup.SetEnterprise(m_enterprises);
    const QRect frame = frameGeometry();
    m_popup.onShow(QRect(frame.left() + ui->hWidget_LeftArea->width() + 1,
                         frame.top() + ui->hWidget_TitleArea->height(), 275, ui->vWidget_RightArea->height() - 40));
}

void CMainWnd::ShowMyFilePage() {
    m_tabMyFiles->setChecked(true);
    ui->vWidget_TransferPage->hide();
    ui->vWidget_MyFilePage->show();
}

void CMainWnd::ShowDownloadPage() {
    m_tabTransfer->setChecked(true);
    ui->vWidget_MyFilePage->hide();
    ui->vWidget_TransferPage->show();
}

void CMainWnd::ChangeBtnStyle() {
    m_narrowBar = !m_narrowBar;
    m_barSwitch->setIcon(QIcon(m_narrowBar ? QStringLiteral(":/skin/main/icon_more_copy.png")
                                           : QStringLiteral(":/skin/main/icon_more.png")));
    m_tabMyFiles->SetMode(m_narrowBar ? CTabButton::Sizemode_Small : CTabButton::Sizemode_Normal);
    ui->hWidget_LeftArea->setFixedWidth(m_narrowBar ? 56 : 139);
}

void CMainWnd::on_pushButton_2_clicked() {
    m_complete->showview(false);
    m_transmitting->showview(true);
}

void CMainWnd::on_pushButton_clicked() {
    m_transmitting->showview(false);
    m_complete->showview(true);
}

// --- Navigation and refresh -------------------------------------------------------------------

void CMainWnd::onClickedHome() {
    const QString path = VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/"));
    if (!m_viewMgr)
        return;
    m_viewMgr->SetWorkPath(path);
    m_viewMgr->ClickHomeBtn();
    m_addressBar->UpdateCurrentPath(path);
    updateOperationButtons();
}

void CMainWnd::onClickedPrior() {
    m_viewMgr->ClickPreviousBtn();
    m_addressBar->UpdateCurrentPath(m_viewMgr->GetWorkPath());
    updateOperationButtons();
}

void CMainWnd::onClickedNext() {
    m_viewMgr->ClickNextBtn();
    m_addressBar->UpdateCurrentPath(m_viewMgr->GetWorkPath());
    updateOperationButtons();
}

void CMainWnd::onClickedRefresh() {
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
}

void CMainWnd::slot_CurrentPathChanged(const QString& path) {
    const QString real = m_addressBar->toRealPath(path);
    m_addressBar->UpdateCurrentPath(real);
    m_viewMgr->SetWorkPath(real);
    updateOperationButtons();
}

void CMainWnd::onTextChanged(const QString&) {
    // Typing only edits the text: the bar says where to go with SCurrentPathChanged on Return. A
    // half-typed path, or the empty text the bar sets itself, is no place to go.
}

void CMainWnd::onClickListItem(const QString& path) {
    // Files open nothing, so they are no place to show: only a folder becomes the bar's path.
    FileInfo info;
    if (!VUZeroz::GetInstance()->GetFileInfo(path, info) || !info.is_dir)
        return;
    m_addressBar->UpdateCurrentPath(path);
    updateOperationButtons();
}

// --- File operations --------------------------------------------------------------------------

void CMainWnd::onClickedUpload() {
    // Fixed before the dialog runs: the files go where the user was when asking.
    const QString folder = m_viewMgr->GetWorkPath();
    if (folder.isEmpty() || IsSearchPath(folder))
        return;
    const QStringList files = m_chooser->openFiles(this, tr("打开"));
    for (const QString& file : files)
        VUZeroz::GetInstance()->Upload(MyCombinePath(folder, GetOnlyFilename(file)), file);
}

void CMainWnd::onClickedDownload() {
    const QString folder = m_viewMgr->GetWorkPath();
    const QStringList names = m_viewMgr->getCurSelectList();
    if (names.isEmpty() || IsSearchPath(folder))
        return;
    const QString target = m_chooser->existingFolder(this, tr("浏览文件夹"));
    if (target.isEmpty())
        return;
    bool refused = false;
    for (const QString& name : names) {
        if (!VUZeroz::GetInstance()->DownloadStart(QStringLiteral("%1%2").arg(folder, name), target))
            refused = true;
    }
    // The engine is stopped or the target lies in the mirror folder: nothing was queued.
    if (refused)
        ShowViewMessage(this, tr("下载未开始。"));
}

void CMainWnd::onClickedDel() {
    const QString folder = m_viewMgr->GetWorkPath();
    const QStringList names = m_viewMgr->getCurSelectList();
    if (names.isEmpty() || IsSearchPath(folder))
        return;
    QStringList failures;
    for (const QString& name : names) {
        const QString path = QStringLiteral("%1%2").arg(folder, name);
        // A tile goes only with its item: a refused recycle leaves both where they were.
        if (VUZeroz::GetInstance()->Recycle(path) == 0)
            m_viewMgr->del(folder, path);
        else
            failures.append(tr("\"%1\"删除失败。").arg(name));
    }
    if (!failures.isEmpty())
        ShowViewMessage(this, failures.join(QLatin1Char('\n')));
}

// --- Search -----------------------------------------------------------------------------------

void CMainWnd::onClickedFilterBtn() {
    QMenu menu(this);
    menu.setStyleSheet(QStringLiteral(
        "QMenu{background-color:#25252C; border: 1px solid #2A9F8A;}                               "
        "QMenu::item {font-size: 10pt;color:#25252C; border: 0px solid "
        "rgb(60,60,60);background-color:#FFFFFF;padding:5px 32px;margin:0px 0px;}                               "
        "QMenu::item:selected { background-color:#EAEFEA; color:#2A9F8A; }"));
    QAction* all = menu.addAction(tr("全部文件"), this, &CMainWnd::onSearchSelectAll);
    all->setCheckable(true);
    all->setChecked(m_searchScope == 1);
    QAction* current = menu.addAction(tr("当前目录"), this, &CMainWnd::onSearchSelectCur);
    current->setCheckable(true);
    current->setChecked(m_searchScope != 1);
    menu.exec(m_searchBox ? m_searchBox->mapToGlobal(QPoint(0, m_searchBox->height())) : QCursor::pos());
}

void CMainWnd::onSearchSelectAll() {
    m_searchScope = 1;
    m_searchField->setPlaceholderText(tr("搜索所有文件"));
}

void CMainWnd::onSearchSelectCur() {
    m_searchScope = 0;
    m_searchField->setPlaceholderText(tr("搜索当前目录"));
}

void CMainWnd::onClickedSearchBtn() {
    const QString keyword = m_searchField->text();
    if (keyword.isEmpty()) {
        onClickedHome();
        return;
    }
    m_viewMgr->Search(keyword, m_searchScope == 0);
    m_addressBar->UpdateCurrentPath(m_viewMgr->GetWorkPath());
    updateOperationButtons();
}

// --- Exits ------------------------------------------------------------------------------------

void CMainWnd::SLOT_onClickedChangeEnterprise(const QString& sEID) {
    g_sChangeEID = sEID;
    leave(2);
}

void CMainWnd::SLOT_onClickedChangeAccount() {
    leave(1);
}

void CMainWnd::leave(int exitCode) {
    s_exitCode = exitCode;
    close();
    QCoreApplication::quit();
}

void CMainWnd::updateOperationButtons() {
    const bool onFolder = !IsSearchPath(m_viewMgr->GetWorkPath());
    for (QButtonCustom* button : {m_btnUpload, m_btnDownload, m_btnDelete})
        button->setEnabled(onFolder);
}

// --- The core's notifications -----------------------------------------------------------------

bool CMainWnd::event(QEvent* e) {
    const int type = e->type();
    if (type < 2000 || type > 2999)
        return NoneBorderWndBase::event(e);
    if (CLoginMgr::getInstance()->event(e))
        return true;
    switch (type) {
    case QCEventBase::FileUpdate: {
        auto* update = static_cast<QCFileUpdateEvent*>(e);
        m_viewMgr->BeginItemUpdate();
        DoUpdateEvent(update->data, false);
        m_viewMgr->EndItemUpdate();
        updateOperationButtons();
        return true;
    }
    case QCEventBase::FileDelete:
        m_viewMgr->BeginItemUpdate();
        DoUpdateEvent(static_cast<QCFileDeleteEvent*>(e)->data, true);
        m_viewMgr->EndItemUpdate();
        return true;
    case QCEventBase::StatusChanged:
        onStatusChanged(static_cast<QCStatusChangedEvent*>(e)->data);
        return true;
    case QCEventBase::SpeedUpdate:
        m_transmitting->UpdateSpeed(static_cast<QCSpeedUpdateEvent*>(e)->data);
        return true;
    case QCEventBase::CacheClean:
        return false;
    case QCEventBase::TaskHistoryClean:
        m_complete->TaskCompleteClean();
        return true;
    case QCEventBase::DefaultEntLogin:
        m_viewMgr->UpdateRootPath();
        return true;
    case QCEventBase::GetEnterprise:
        m_enterprises.Reset();
        m_enterprises = static_cast<QCGetEnterpriseEvent*>(e)->data;
        return true;
    case QCEventBase::GetJumpUrl:
        onJumpUrl(static_cast<QCGetJumpUrlEvent*>(e)->data);
        return true;
    case QCEventBase::FileCloudMove: {
        const CLOUD_COPY_TO& move = static_cast<QCFileCloudMoveEvent*>(e)->data;
        if (move.error_type != 0)
            return true;
        QString path = move.source;
        if (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        const QString parent = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
        m_viewMgr->del(parent, path);
        return true;
    }
    case QCEventBase::InvalidQT:
        onLoginRefused(QString::fromUtf8(kInvalidLoginText));
        return true;
    case QCEventBase::GlobalError: {
        const auto* error = static_cast<QCGlobalErrorEvent*>(e);
        if (error->error_type == SYNC_ERROR::Login)
            onLoginRefused(error->message);
        return true;
    }
    case QCEventBase::FileDownload:
    case QCEventBase::FlushView:
    case QCEventBase::SyncFinish:
    case QCEventBase::AutoCommit:
    case QCEventBase::FileUsing:
    case QCEventBase::FileCloudCopy:
    case QCEventBase::FileIsIllegal:
        return true;
    default:
        return false;
    }
}

void CMainWnd::onStatusChanged(const SYNC_INFO& info) {
    switch (info.status) {
    case 1:
        m_viewMgr->UpdateRootPath();
        m_addressBar->AddPathKey(QString::fromUtf8(kRootText), getRootPath(), true);
        break;
    case 4:
        updateUserInfo();
        VUZeroz::GetInstance()->GetEnterpriseList();
        break;
    case 5: {
        CLoginMgr* manager = CLoginMgr::getInstance();
        if (!manager->isFirstLogin())
            break;
        manager->setLoginFinished();
        if (m_loginWnd)
            m_loginWnd->callbackLoginStatus(0, QString());
        onClickedHome();
        break;
    }
    case 6:
    case 7:
        m_transmitting->UpdateSpeed(info);
        break;
    case 8:
        if (info.error_type != 0)
            m_transmitting->UpdateSpeed(info);
        break;
    default:
        break;
    }
}

void CMainWnd::onJumpUrl(const GET_TICKET_RESULT& result) {
    if (result.result != 0 || result.url.isEmpty())
        return;
    const QUrl url(QUrl::fromPercentEncoding(result.url.toUtf8()), QUrl::TolerantMode);
    // The address comes from the network: only a web page goes to the desktop, never a local
    // file or another program's scheme.
    if (!url.isValid() || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty()) {
        CoreDebug("[UI] jump url not opened: scheme \"%s\"", qUtf8Printable(url.scheme()));
        return;
    }
    QDesktopServices::openUrl(url);
}

void CMainWnd::onLoginRefused(const QString& text) {
    CLoginMgr* manager = CLoginMgr::getInstance();
    if (manager->isFirstLogin()) {
        // The login window is still up and waits for this login: it takes the failure, and a
        // quit now would end its loop and with it the program.
        manager->UnloginCore();
        if (m_loginWnd) {
            m_loginWnd->ShowErrorText(text);
            m_loginWnd->SelectCurrentLoginPage(LOGINPAGE_INPUT);
        }
        return;
    }
    if (m_loginWnd)
        m_loginWnd->ShowErrorText(text);
    leave(1);
}

void CMainWnd::DoUpdateEvent(FILE_UPDATE_NOTIFY& notify, bool isDelete) {
    QString viewPath;
    QString startFolder; // search results of the current-folder scope: entries below it only
    if (notify.search) {
        // The results belong to the view that the last search for this keyword made, whatever is
        // shown now; without one nobody asked for them.
        viewPath = m_viewMgr->SearchViewOf(notify.path);
        if (viewPath.isEmpty())
            return;
        if (viewPath.startsWith(QStringLiteral("search|current|"))) {
            startFolder = m_viewMgr->SearchFolderOf(viewPath);
            if (!startFolder.endsWith(QLatin1Char('/')))
                startFolder.append(QLatin1Char('/'));
        }
    } else {
        viewPath = notify.path;
        if (!viewPath.endsWith(QLatin1Char('/')))
            viewPath.append(QLatin1Char('/'));
        const QString workPath = m_viewMgr->GetWorkPath();
        if (viewPath.compare(workPath, Qt::CaseInsensitive) != 0)
            CoreDebug("[UI] dir update failed\nview:%s\nworkpath:%s", qUtf8Printable(viewPath),
                      qUtf8Printable(workPath));
    }
    for (const FileInfo& entry : notify.files) {
        if (notify.search ? !entry.path.startsWith(startFolder) : !entry.path.startsWith(viewPath))
            continue;
        if (isDelete) {
            m_viewMgr->del(viewPath, entry.path);
            continue;
        }
        _IMAGELISTITEMINFO_ record;
        record.folderPath = viewPath;
        if (notify.search)
            record.realFolder = entry.path.left(entry.path.lastIndexOf(QLatin1Char('/')) + 1);
        record.icon = entry.is_dir ? QStringLiteral(":/skin/main/default_icon/dir.png")
                                   : QStringLiteral(":/skin/main/default_icon/file.png");
        record.name = GetOnlyFilename(entry.path);
        record.isDir = entry.is_dir;
        m_viewMgr->add(&record);
    }
}

void CMainWnd::updateUserInfo() {
    const SYNC_INFO status = VUZeroz::GetInstance()->Status();
    const UserQuota quota = QuotaOf(status.used_size, status.total_size);
    m_userButton->SetMemoryText(quota.text);
    m_userButton->SetPos(quota.barPos);
    m_userButton->SetFaceIconFilePath(CLoginMgr::getInstance()->getFaceIconPath());
    update();
}

QString CMainWnd::getRootPath() {
    return m_viewMgr ? m_viewMgr->GetRootPath() : QStringLiteral("/");
}

QString CMainWnd::toVirtualPath(const QString& path) {
    QString shown = path;
    if (m_addressBar && m_addressBar->getVirtualPath(shown))
        return shown;
    shown = path;
    const QString root = getRootPath();
    if (!root.isEmpty())
        shown.replace(root, QString::fromUtf8(kRootText));
    return shown;
}
