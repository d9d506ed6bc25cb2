#pragma once
// The application's main window: a frameless dialog with a title bar (logo, menu, minimise,
// maximise, close), a left bar (user button, the tabs "我的文件" and "传输列表", the switch that
// narrows the bar), the file page (navigation, address bar, refresh, search, upload, download,
// delete, the folder views) and the transfer page (running and finished transfers).
//
// It is built hidden, registers itself with the core event receiver at once and deletes itself
// when it closes. Every exit sets a process-wide exit code (0 quit, 1 change account, 2 change
// enterprise; -1 while none was chosen) that outlives the window. User interface thread only.

#include "common/EventRecords.h"
#include "common/SharedTypes.h"
#include "main/CPopUserInfoWnd.h"
#include "widgets/NoneBorderWndBase.h"

#include <QString>

#include <memory>

class CImageListViewMgr;
class CLoginWnd;
class CTabButton;
class CTransferCompleteView;
class CTransmittingView;
class CUserInfoButton;
class FileChooser;
class QButtonCustom;
class QLineEdit;
class QPushButton;
class QtAddressBar;

namespace Ui {
class CMainWnd;
}

// The enterprise id that the user picked for a change of enterprise (exit code 2).
extern QString g_sChangeEID;

class CMainWnd : public NoneBorderWndBase {
    Q_OBJECT
public:
    CMainWnd(CLoginWnd* loginWnd, QWidget* parent = nullptr);
    ~CMainWnd() override;

    // The exit code that the last main window set before it closed; -1 while a window runs that
    // has not chosen one.
    static int getExitCode();
    // A copy of g_sChangeEID.
    static QString getChangeEID();

    // Replaces the chooser of files and folders (the default asks through QFileDialog).
    void setFileChooser(std::unique_ptr<FileChooser> chooser);

    // The core's notifications (2000-2999, after the login manager has had them); any other event
    // goes to the widget.
    bool event(QEvent* e) override;
    // Applies one folder listing, one batch of search results, or a deletion to the views.
    void DoUpdateEvent(FILE_UPDATE_NOTIFY& notify, bool isDelete);
    // The user button's quota and face picture from the core's status snapshot.
    void updateUserInfo();
    // The views' root (the mirror folder); "/" without a view manager.
    QString getRootPath();
    // A mirror path as the address bar shows it, the root as "全部文件".
    QString toVirtualPath(const QString& path);

protected:
    void resizeEvent(QResizeEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private slots:
    void MainMenuClicked();
    void Minimize();
    void Maximize();
    void Closed();
    void Slot_Set();
    void Slot_openHomeWeb();
    void Slot_openRecycle();
    void Slot_Service();
    void Slot_Help();
    void Slot_Feedback();
    void Slot_About();
    void Slot_Quit();
    void ShowUserInfo();
    void ShowMyFilePage();
    void ShowDownloadPage();
    void ChangeBtnStyle();
    void onClickedHome();
    void onClickedPrior();
    void onClickedNext();
    void onClickedRefresh();
    void onClickedUpload();
    void onClickedDownload();
    void onClickedDel();
    void on_pushButton_2_clicked();
    void on_pushButton_clicked();
    void SLOT_onClickedChangeEnterprise(const QString& sEID);
    void SLOT_onClickedChangeAccount();
    void onClickedFilterBtn();
    void onClickedSearchBtn();
    void onSearchSelectAll();
    void onSearchSelectCur();
    void slot_CurrentPathChanged(const QString& path);
    void onTextChanged(const QString&);
    void onClickListItem(const QString& path);

private:
    void initTitleBar();
    void initLeftBar();
    void initFilePage();
    void initTransferPage();
    // Centres the window on the primary screen's free area.
    void placeOnScreen();
    // Sets the exit code, closes the window (which then deletes itself) and ends the event loop.
    void leave(int exitCode);
    void onStatusChanged(const SYNC_INFO& info);
    void onJumpUrl(const GET_TICKET_RESULT& result);
    // The core refused the login (`text` says why): before this window was shown the login
    // window stays up on its input page with the core stopped; afterwards the window leaves for
    // the login window as a change of account does.
    void onLoginRefused(const QString& text);
    // Upload, download and delete act on a folder, never on search results.
    void updateOperationButtons();

    Ui::CMainWnd* ui;
    QButtonCustom* m_btnMenu = nullptr;
    QButtonCustom* m_btnMin = nullptr;
    QButtonCustom* m_btnMax = nullptr;
    QButtonCustom* m_btnClose = nullptr;
    CUserInfoButton* m_userButton = nullptr;
    CTabButton* m_tabMyFiles = nullptr;
    CTabButton* m_tabTransfer = nullptr;
    QPushButton* m_barSwitch = nullptr;
    QButtonCustom* m_btnHome = nullptr;
    QButtonCustom* m_btnBack = nullptr;
    QButtonCustom* m_btnForward = nullptr;
    QButtonCustom* m_btnUpload = nullptr;
    QButtonCustom* m_btnDownload = nullptr;
    QButtonCustom* m_btnDelete = nullptr;
    CPopUserInfoWnd m_popup;
    CImageListViewMgr* m_viewMgr = nullptr;
    CTransmittingView* m_transmitting = nullptr;
    CTransferCompleteView* m_complete = nullptr;
    QtAddressBar* m_addressBar = nullptr;
    bool m_narrowBar = false;
    ENTERPRISE_INFO m_enterprises;
    QWidget* m_searchBox = nullptr;
    QLineEdit* m_searchField = nullptr;
    int m_searchScope = 1; // 1 all files, 0 the folder on view
    CLoginWnd* m_loginWnd; // the partner of the notifications: login results and errors (may be null)
    std::unique_ptr<FileChooser> m_chooser;
};
