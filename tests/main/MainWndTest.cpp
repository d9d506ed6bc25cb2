// The main window against the real core signed in to the cloud stand-in, whose tree holds "/docs/"
// with a.txt and b.txt: a fresh window, the left bar's switch, the movable title strip, the
// title-bar menu and the web pages it asks for, the about box, the exit box and the exits, the
// user pop-up's place, upload, download and delete of tiles, search and its scope, typing in the
// address bar, and the registration with the core event receiver. The folder views are fed from
// the core's index as the window's notifications feed them.
#include "main/AddressItem.h"
#include "main/CElementItem.h"
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"
#include "main/CMainWnd.h"
#include "main/CPopUserInfoWnd.h"
#include "main/FileChooser.h"
#include "main/QCUIEventReceiver.h"
#include "main/QtAddressBar.h"

#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "sync/VUZeroz.h"
#include "widgets/CAbout.h"
#include "widgets/CMsgBox.h"
#include "widgets/CTabButton.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <list>
#include <string>

namespace {

// A list of UTF-8 texts.
QStringList Texts(std::initializer_list<const char*> texts) {
    QStringList list;
    for (const char* text : texts)
        list.append(QString::fromUtf8(text));
    return list;
}

// Answers each window of type T once its own loop runs (queued behind its show).
template <typename T>
class AnswerWindows : public QObject {
public:
    explicit AnswerWindows(std::function<void(T*)> answer) : m_answer(std::move(answer)) {
        qApp->installEventFilter(this);
    }
    ~AnswerWindows() override { qApp->removeEventFilter(this); }

    int shown = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (T* window = qobject_cast<T*>(watched)) {
                ++shown;
                QPointer<T> guard(window);
                QTimer::singleShot(0, window, [this, guard] {
                    if (guard)
                        m_answer(guard.data());
                });
            }
        }
        return false;
    }

private:
    std::function<void(T*)> m_answer;
};

// The chooser's answers, and how often it was asked.
class ScriptedChooser : public FileChooser {
public:
    QStringList openFiles(QWidget*, const QString&) override {
        ++asked;
        return files;
    }
    QString existingFolder(QWidget*, const QString&) override {
        ++asked;
        return folder;
    }
    QStringList files;
    QString folder;
    int asked = 0;
};

QImage IconImage(const QIcon& icon) {
    return icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A menu's entries in order, "-" for a separator, a submenu as its title followed by its
// entries in brackets.
QStringList Entries(QMenu* menu) {
    QStringList entries;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            entries << QStringLiteral("-");
        } else if (QMenu* sub = action->menu()) {
            entries << action->text() + QStringLiteral("[") + Entries(sub).join(QLatin1Char(',')) + QStringLiteral("]");
        } else {
            entries << action->text();
        }
    }
    return entries;
}

// Triggers the entry at `path` (a submenu's title, then its entry) as a click does: the menus go
// away before the entry acts.
bool TriggerPath(QMenu* menu, const QStringList& path) {
    for (QAction* action : menu->actions()) {
        if (action->text() != path.first())
            continue;
        menu->hide();
        if (path.size() == 1) {
            action->trigger();
            return true;
        }
        return action->menu() && TriggerPath(action->menu(), path.mid(1));
    }
    return false;
}

_IMAGELISTITEMINFO_ Record(const QString& folder, const QString& name, bool isDir) {
    _IMAGELISTITEMINFO_ info;
    info.folderPath = folder;
    info.name = name;
    info.isDir = isDir;
    info.icon = isDir ? QStringLiteral(":/skin/main/default_icon/dir.png")
                      : QStringLiteral(":/skin/main/default_icon/file.png");
    return info;
}

template <typename T>
T* Child(QObject* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

CPopUserInfoWnd* ShownPopUp() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* popup = qobject_cast<CPopUserInfoWnd*>(widget);
        if (popup && popup->isVisible())
            return popup;
    }
    return nullptr;
}

// The form's strips keep their heights and the left bar its width at every size of the window.
TEST(MainWndForm, KeepsItsStripsAtEverySize) {
    CMainWnd window(nullptr);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Nimbo安全云盘"));
    EXPECT_EQ(window.minimumSize(), QSize(1050, 680));
    EXPECT_EQ(window.maximumWidth(), 1920);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const struct {
        const char* name;
        int height;
    } strips[] = {{"hWidget_TitleArea", 50}, {"hW_MyFilePageTitleArea", 50}, {"hW_MyFilePageMiddleArea", 40},
                  {"vWidget_rightAreaBottom", 40}};
    for (QSize size : {QSize(1050, 680), QSize(1600, 1000), QSize(2500, 700)}) {
        SCOPED_TRACE(size.width());
        window.resize(size);
        QCoreApplication::processEvents();
        EXPECT_EQ(window.width(), qMin(size.width(), 1920));
        for (const auto& strip : strips)
            EXPECT_EQ(Child<QWidget>(&window, strip.name)->height(), strip.height) << strip.name;
        EXPECT_EQ(Child<QWidget>(&window, "hWidget_LeftArea")->width(), 139);
        EXPECT_EQ(Child<QWidget>(&window, "labelSeparater")->width(), 1);
    }
    // The transfer page's tab strip, once shown.
    Child<QPushButton>(&window, "tabTransfer")->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(Child<QWidget>(&window, "widget_transfer_tab")->height(), 36);
    EXPECT_EQ(Child<QWidget>(&window, "pushButton_2")->size(), QSize(266, 36));
}

class MainWndTest : public SignedInCore {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        pair.onlineService = "kefu-alice";
        StandInTree& tree = pair.api->tree();
        tree.addFolder("/docs");
        tree.addFileBytes("/docs/a.txt", "alpha");
        tree.addFileBytes("/docs/b.txt", "beta");
        ASSERT_NO_FATAL_FAILURE(SignIn(true));
        docs = Mirror() + QStringLiteral("/docs/");
        window = new CMainWnd(nullptr);
        auto scripted = std::make_unique<ScriptedChooser>();
        chooser = scripted.get();
        window->setFileChooser(std::move(scripted));
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        mgr = window->findChild<CImageListViewMgr*>();
        bar = window->findChild<QtAddressBar*>();
        ASSERT_NE(mgr, nullptr);
        ASSERT_NE(bar, nullptr);
    }
    void TearDown() override {
        delete window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SignedInCore::TearDown();
    }

    // Goes to `folder` as the address bar does and fills its view from the core's index.
    void Open(const QString& folder) {
        emit bar->SCurrentPathChanged(folder);
        ASSERT_EQ(mgr->GetWorkPath(), folder);
        std::list<FileInfo> entries;
        ASSERT_TRUE(VUZeroz::GetInstance()->GetPathInfo(folder, false, entries)) << folder.toStdString();
        QList<_IMAGELISTITEMINFO_> records;
        for (const FileInfo& entry : entries)
            records.append(Record(folder, GetOnlyFilename(entry.path), entry.is_dir));
        mgr->BeginItemUpdate();
        mgr->fill(folder, records);
        mgr->EndItemUpdate();
    }
    CImageListView* View(const QString& folder) { return mgr->getImageListView(folder); }
    void Select(const QString& folder, const QStringList& names) {
        QList<CImageListItem*> tiles;
        for (const QString& name : names) {
            CImageListItem* tile = View(folder)->findItem(folder + name);
            ASSERT_NE(tile, nullptr) << name.toStdString();
            tiles.append(tile);
        }
        View(folder)->addSelected(tiles);
    }
    void Click(const char* name) {
        if (auto* button = Child<QPushButton>(window, name))
            button->click();
    }
    // Opens the title bar's menu and runs `answer` inside it.
    void Menu(const std::function<void(QMenu*)>& answer) {
        const int before = menus;
        onMenu = answer;
        Click("btnMenu");
        onMenu = nullptr;
        ASSERT_EQ(menus, before + 1);
    }
    void StopSync() {
        VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
        ASSERT_TRUE(UiWaitFor([] { return VUZeroz::GetInstance()->Status().status == 7; }, 60000));
    }
    size_t Calls(const char* method) { return pair.api->calls(method).size(); }

    QString docs; // "<mirror>/docs/"
    QPointer<CMainWnd> window;
    ScriptedChooser* chooser = nullptr; // owned by the window
    CImageListViewMgr* mgr = nullptr;
    QtAddressBar* bar = nullptr;
    // The menus and message boxes shown, answered in place of the user: `onMenu` runs inside each
    // menu's loop, then the menu closes; each message is recorded and closed with OK.
    int menus = 0;
    std::function<void(QMenu*)> onMenu;
    AnswerWindows<QMenu> menuAnswer{[this](QMenu* menu) {
        ++menus;
        QPointer<QMenu> guard(menu);
        if (onMenu)
            onMenu(menu);
        if (guard)
            guard->close();
    }};
    QStringList messages;
    AnswerWindows<QMessageBox> messageAnswer{[this](QMessageBox* box) {
        messages.append(box->text());
        box->done(QMessageBox::Ok);
    }};
};

TEST_F(MainWndTest, AFreshWindowShowsTheFilePage) {
    EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), window.data());
    EXPECT_TRUE(window->testAttribute(Qt::WA_Moved));
    EXPECT_EQ(CMainWnd::getExitCode(), -1);
    EXPECT_FALSE(Child<QPushButton>(window, "btnBack")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(window, "btnNext")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(window, "btnHome")->isEnabled());
    EXPECT_TRUE(Child<QWidget>(window, "vWidget_MyFilePage")->isVisible());
    EXPECT_FALSE(Child<QWidget>(window, "vWidget_TransferPage")->isVisible());
    EXPECT_TRUE(Child<QPushButton>(window, "pushButton_2")->isChecked());
    EXPECT_FALSE(Child<QPushButton>(window, "pushButton")->isChecked());
    EXPECT_TRUE(Child<QPushButton>(window, "tabMyFiles")->isChecked());
    EXPECT_FALSE(Child<QPushButton>(window, "tabTransfer")->isChecked());
    EXPECT_EQ(Child<QLineEdit>(window, "editSearch")->placeholderText(), QStringLiteral("搜索所有文件"));
    EXPECT_EQ(Child<QWidget>(window, "hWidget_LeftArea")->width(), 139);
    EXPECT_TRUE(window->testAttribute(Qt::WA_DeleteOnClose));

    // The tabs switch the pages; the transfer page's own tabs exclude each other.
    Click("tabTransfer");
    EXPECT_FALSE(Child<QWidget>(window, "vWidget_MyFilePage")->isVisible());
    EXPECT_TRUE(Child<QWidget>(window, "vWidget_TransferPage")->isVisible());
    EXPECT_FALSE(Child<QPushButton>(window, "tabMyFiles")->isChecked());
    Click("pushButton");
    EXPECT_FALSE(Child<QPushButton>(window, "pushButton_2")->isChecked());
    Click("tabMyFiles");
    EXPECT_TRUE(Child<QWidget>(window, "vWidget_MyFilePage")->isVisible());
    EXPECT_FALSE(Child<QWidget>(window, "vWidget_TransferPage")->isVisible());
}

TEST_F(MainWndTest, TheWindowButtonsAndADoubleClickChangeItsState) {
    Click("btnMax");
    EXPECT_TRUE(window->isMaximized());
    Click("btnMax");
    EXPECT_FALSE(window->isMaximized());
    QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(600, 20));
    EXPECT_TRUE(window->isMaximized());
    QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, QPoint(600, 20));
    EXPECT_FALSE(window->isMaximized());
    Click("btnMin");
    EXPECT_TRUE(window->isMinimized());
}

TEST_F(MainWndTest, TheSwitchNarrowsTheLeftBarAndWidensItAgain) {
    auto* area = Child<QWidget>(window, "hWidget_LeftArea");
    auto* myFiles = Child<CTabButton>(window, "tabMyFiles");
    auto* transfer = Child<CTabButton>(window, "tabTransfer");
    auto* barSwitch = Child<QPushButton>(window, "btnBarSwitch");
    const QImage wide = IconImage(QIcon(QStringLiteral(":/skin/main/icon_more.png")));
    const QImage narrow = IconImage(QIcon(QStringLiteral(":/skin/main/icon_more_copy.png")));
    ASSERT_NE(wide, narrow);
    EXPECT_EQ(IconImage(barSwitch->icon()), wide);

    Click("btnBarSwitch");
    QCoreApplication::processEvents();
    EXPECT_EQ(area->minimumWidth(), 56);
    EXPECT_EQ(area->maximumWidth(), 56);
    EXPECT_EQ(area->width(), 56);
    EXPECT_EQ(IconImage(barSwitch->icon()), narrow);
    EXPECT_EQ(myFiles->sizeMode(), CTabButton::Sizemode_Small);
    EXPECT_EQ(myFiles->text(), QStringLiteral("我的文件"));
    EXPECT_EQ(transfer->sizeMode(), CTabButton::Sizemode_Normal);
    EXPECT_EQ(transfer->text(), QStringLiteral("传输列表"));

    Click("btnBarSwitch");
    QCoreApplication::processEvents();
    EXPECT_EQ(area->width(), 139);
    EXPECT_EQ(IconImage(barSwitch->icon()), wide);
    EXPECT_EQ(myFiles->sizeMode(), CTabButton::Sizemode_Normal);
    EXPECT_EQ(myFiles->text(), QStringLiteral("我的文件"));
}

TEST_F(MainWndTest, OnlyTheTitleStripDragsTheWindowAtEveryWidth) {
    window->resize(1300, 800);
    QCoreApplication::processEvents();
    ASSERT_EQ(window->size(), QSize(1300, 800));
    // A press right of the old 640-pixel area, below and inside the 50-pixel strip.
    auto drag = [&](QPoint from) {
        const QPoint before = window->pos();
        const QPoint to = from + QPoint(30, 40);
        QMouseEvent press(QEvent::MouseButtonPress, from, window->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(window, &press);
        QMouseEvent move(QEvent::MouseMove, to, window->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, to, window->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(window, &release);
        QCoreApplication::processEvents();
        return window->pos() - before;
    };
    EXPECT_EQ(drag(QPoint(1250, 60)), QPoint(0, 0));
    EXPECT_EQ(drag(QPoint(1250, 49)), QPoint(30, 40));
    // Smaller than its minimum it does not get.
    window->resize(800, 500);
    EXPECT_EQ(window->size(), QSize(1050, 680));
    EXPECT_EQ(window->maximumWidth(), 1920);
}

TEST_F(MainWndTest, TheMenuOffersThePagesHelpAndQuit) {
    QStringList entries;
    ASSERT_NO_FATAL_FAILURE(Menu([&](QMenu* menu) { entries = Entries(menu); }));
    EXPECT_EQ(entries, Texts({"打开云盘官网", "回收站", "-", "帮助[在线客服,帮助中心,问题反馈,-,关于]", "退出"}));
    // Nothing was chosen: the window stays.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(window.isNull());
    EXPECT_EQ(CMainWnd::getExitCode(), -1);
}

struct WebPageCase {
    const char* name;
    QStringList entry;
    const char* destination;
};

void PrintTo(const WebPageCase& c, std::ostream* out) {
    *out << c.name;
}

class WebPageTest : public MainWndTest, public ::testing::WithParamInterface<WebPageCase> {};

TEST_P(WebPageTest, AsksTheServiceForThePage) {
    const WebPageCase& c = GetParam();
    const size_t before = Calls("User.getJumpUrl");
    ASSERT_NO_FATAL_FAILURE(Menu([&](QMenu* menu) { EXPECT_TRUE(TriggerPath(menu, c.entry)); }));
    ASSERT_TRUE(UiWaitFor([&] { return Calls("User.getJumpUrl") > before; }, 30000));
    const std::vector<RecordedRequest> calls = pair.api->calls("User.getJumpUrl");
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back().cookie("dest_addr"), c.destination);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, WebPageTest,
    ::testing::Values(WebPageCase{"Home", Texts({"打开云盘官网"}), "my"}, WebPageCase{"Recycle", Texts({"回收站"}), "recycle"},
                      WebPageCase{"Help", Texts({"帮助", "帮助中心"}), "help"},
                      WebPageCase{"Feedback", Texts({"帮助", "问题反馈"}), "feedback"},
                      WebPageCase{"OnlineService", Texts({"帮助", "在线客服"}), "kefu-alice"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWndTest, TheAboutBoxIgnoresEscapeAndEndsByItsCloseButton) {
    bool openAfterEscape = false;
    AnswerWindows<CAbout> answer([&](CAbout* about) {
        QTest::keyClick(about, Qt::Key_Escape);
        openAfterEscape = about->isVisible();
        if (auto* close = Child<QPushButton>(about, "closebtn"))
            close->click();
    });
    ASSERT_NO_FATAL_FAILURE(Menu([](QMenu* menu) { EXPECT_TRUE(TriggerPath(menu, Texts({"帮助", "关于"}))); }));
    EXPECT_EQ(answer.shown, 1);
    EXPECT_TRUE(openAfterEscape);
    // Built for the one opening and gone after it.
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<CAbout*>(widget), nullptr);
    EXPECT_FALSE(window.isNull());
}

TEST_F(MainWndTest, TheCloseButtonAsksFirst) {
    AnswerWindows<CMsgBox> cancel([](CMsgBox* box) {
        if (auto* button = Child<QPushButton>(box, "cancelbtn"))
            button->click();
    });
    Click("btnClose");
    EXPECT_EQ(cancel.shown, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(window.isNull());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(CMainWnd::getExitCode(), -1);
}

// ---- The exits ----

struct ExitCase {
    const char* name;
    std::function<void(CMainWnd*)> act;
    int exitCode;
    const char* eid; // g_sChangeEID afterwards ("stale" is what the test put there)
};

void PrintTo(const ExitCase& c, std::ostream* out) {
    *out << c.name;
}

// Opens the user pop-up from its button.
CPopUserInfoWnd* OpenPopUp(CMainWnd* window) {
    if (auto* button = Child<QPushButton>(window, "btnUserInfo"))
        button->click();
    return ShownPopUp();
}

class ExitTest : public MainWndTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, SetsTheCodeClosesTheWindowAndEndsTheLoop) {
    const ExitCase& c = GetParam();
    g_sChangeEID = QStringLiteral("stale");
    AnswerWindows<CMsgBox> confirm([](CMsgBox* box) {
        if (auto* button = Child<QPushButton>(box, "comfirmbtn"))
            button->click();
    });
    // The application's loop, as start-up runs it while the window is shown (an exit leaves a
    // quit pending for every later loop but this one).
    QTimer::singleShot(0, window, [&] { c.act(window); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(30000);
    EXPECT_EQ(QCoreApplication::exec(), 0) << "the exit ends the event loop";
    // The closed last window's own quit, if still posted, belongs to the loop that ended.
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull()) << "the window deletes itself when it closes";
    EXPECT_EQ(CMainWnd::getExitCode(), c.exitCode);
    EXPECT_EQ(CMainWnd::getChangeEID(), QString::fromLatin1(c.eid));
    EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Exits, ExitTest,
    ::testing::Values(
        ExitCase{"ConfirmedClose",
                 [](CMainWnd* window) {
                     if (auto* button = Child<QPushButton>(window, "btnClose"))
                         button->click();
                 },
                 0, "stale"},
        ExitCase{"MenuQuit",
                 [](CMainWnd* window) {
                     // The menu runs its own loop: the entry is chosen inside it.
                     auto* menuButton = Child<QPushButton>(window, "btnMenu");
                     QTimer::singleShot(0, window, [] {
                         if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget()))
                             TriggerPath(menu, Texts({"退出"}));
                     });
                     if (menuButton)
                         menuButton->click();
                 },
                 0, "stale"},
        ExitCase{"ChangeAccount",
                 [](CMainWnd* window) {
                     CPopUserInfoWnd* popup = OpenPopUp(window);
                     ASSERT_NE(popup, nullptr);
                     auto* button = Child<QPushButton>(popup, "pushButton");
                     ASSERT_NE(button, nullptr);
                     EXPECT_EQ(button->text(), QStringLiteral("更换帐号"));
                     button->click();
                 },
                 1, "stale"},
        ExitCase{"ChangeEnterprise",
                 [](CMainWnd* window) {
                     CPopUserInfoWnd* popup = OpenPopUp(window);
                     ASSERT_NE(popup, nullptr);
                     // The rows as the core's enterprise list gives them.
                     ENTERPRISE_INFO info;
                     ENTERPRISE_ITEM owned;
                     owned.eid = QStringLiteral("20001");
                     owned.name = QStringLiteral("Alice Co");
                     owned.type = ENTERPRISE_OWNER;
                     ENTERPRISE_ITEM member;
                     member.eid = QStringLiteral("20002");
                     member.name = QStringLiteral("Partner Co");
                     member.type = ENTERPRISE_MEMBER;
                     info.items = {owned, member};
                     popup->CleanListItem();
                     popup->SetEnterprise(info);
                     QListWidget* list = popup->enterpriseList();
                     ASSERT_EQ(list->count(), 2);
                     auto* row = qobject_cast<CElementItem*>(list->itemWidget(list->item(1)));
                     ASSERT_NE(row, nullptr);
                     QTest::mousePress(row, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
                     QTest::mouseRelease(row, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
                 },
                 2, "20002"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWndTest, ThePopUpOpensBesideTheLeftBarUnderTheTitle) {
    window->move(100, 80);
    QCoreApplication::processEvents();
    CPopUserInfoWnd* popup = OpenPopUp(window);
    ASSERT_NE(popup, nullptr);
    const QRect frame = window->frameGeometry();
    EXPECT_EQ(popup->geometry().left(), frame.left() + Child<QWidget>(window, "hWidget_LeftArea")->width() + 1);
    EXPECT_EQ(popup->geometry().top(), frame.top() + 50);
    EXPECT_EQ(popup->geometry().width(), 275);
    EXPECT_EQ(popup->geometry().height(), Child<QWidget>(window, "vWidget_RightArea")->height() - 40);
    popup->close();
}

TEST_F(MainWndTest, ANewerWindowKeepsItsRegistration) {
    QPointer<CMainWnd> second = new CMainWnd(nullptr);
    EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), second.data());
    delete window.data();
    EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), second.data());
    delete second.data();
    EXPECT_EQ(QCUIEventReceiver::GetInstance()->getMainWnd(), nullptr);
}

// ---- File operations ----

TEST_F(MainWndTest, UploadSendsEachChosenFileToTheFolderOnView) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    QTemporaryDir source;
    ASSERT_TRUE(source.isValid());
    const struct {
        const char* name;
        const char* bytes;
    } files[] = {{"up1.txt", "first upload"}, {"上传2.txt", "second upload"}};
    for (const auto& file : files) {
        QFile out(QDir(source.path()).filePath(QString::fromUtf8(file.name)));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(file.bytes);
        chooser->files.append(out.fileName());
    }
    Click("btnUpload");
    EXPECT_EQ(chooser->asked, 1);
    for (const auto& file : files) {
        const std::string path = std::string("/docs/") + file.name;
        EXPECT_TRUE(UiWaitFor(
            [&] {
                const auto node = pair.api->tree().node(path, true);
                return node && node->bytes == file.bytes;
            },
            60000))
            << path;
    }
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWndTest, UploadWithNothingChosenSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    Click("btnUpload");
    EXPECT_EQ(chooser->asked, 1);
    TASKLIST_NOTIFY running(TASK_LIST_RUNNING);
    VUZeroz::GetInstance()->GetTaskList(running);
    EXPECT_TRUE(running.tasks.empty());
}

TEST_F(MainWndTest, DownloadCopiesTheSelectedFilesIntoTheChosenFolder) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    // Nothing selected: nothing is asked.
    Click("btnDownload");
    EXPECT_EQ(chooser->asked, 0);

    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt", "b.txt"})));
    // A cancelled chooser starts nothing.
    const size_t metaBefore = Calls("Download.getMetaInfo");
    Click("btnDownload");
    EXPECT_EQ(chooser->asked, 1);
    EXPECT_TRUE(messages.isEmpty());

    QTemporaryDir target;
    ASSERT_TRUE(target.isValid());
    chooser->folder = QDir::toNativeSeparators(target.path());
    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt", "b.txt"})));
    Click("btnDownload");
    EXPECT_EQ(chooser->asked, 2);
    EXPECT_TRUE(UiWaitFor(
        [&] {
            return ReadAll(target.filePath(QStringLiteral("a.txt"))) == "alpha" &&
                   ReadAll(target.filePath(QStringLiteral("b.txt"))) == "beta";
        },
        60000));
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_LE(Calls("Download.getMetaInfo") - metaBefore, 2u) << "one per file, none for the cancelled command";
}

TEST_F(MainWndTest, ATilesDownloadEntryFetchesTheRightClickedTileThroughTheWindowsChooser) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt"})));
    QTemporaryDir target;
    ASSERT_TRUE(target.isValid());
    chooser->folder = QDir::toNativeSeparators(target.path());
    // b.txt lies outside the selection: the right click makes it the selection.
    CImageListItem* tile = View(docs)->findItem(docs + QStringLiteral("b.txt"));
    ASSERT_NE(tile, nullptr);
    onMenu = [](QMenu* menu) {
        for (QAction* action : menu->actions()) {
            if (action->text() == QStringLiteral("下载")) {
                menu->hide();
                action->trigger();
            }
        }
    };
    QTest::mouseClick(View(docs)->grid()->viewport(), Qt::RightButton, Qt::NoModifier,
                      View(docs)->tileRect(tile).center());
    ASSERT_TRUE(UiWaitFor([&] { return menus == 1; }, 10000));
    onMenu = nullptr;
    EXPECT_EQ(mgr->getCurSelectList(), Texts({"b.txt"}));
    EXPECT_EQ(chooser->asked, 1);
    const QString fetched = target.filePath(QStringLiteral("b.txt"));
    EXPECT_TRUE(UiWaitFor([&] { return ReadAll(fetched) == "beta"; }, 60000));
    EXPECT_FALSE(QFile::exists(target.filePath(QStringLiteral("a.txt"))));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(MainWndTest, ADownloadIntoTheMirrorIsReportedAsNotStarted) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt"})));
    chooser->folder = QDir::toNativeSeparators(Mirror() + QStringLiteral("/docs"));
    Click("btnDownload");
    EXPECT_EQ(chooser->asked, 1);
    EXPECT_EQ(messages, Texts({"下载未开始。"}));
}

TEST_F(MainWndTest, DeleteRemovesTheSelectedTilesAtOnceAndRecyclesTheItems) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt", "b.txt"})));
    Click("btnDelete");
    // Before any notification of the core.
    EXPECT_EQ(View(docs)->findItem(docs + QStringLiteral("a.txt")), nullptr);
    EXPECT_EQ(View(docs)->findItem(docs + QStringLiteral("b.txt")), nullptr);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(UiWaitFor(
        [&] {
            return pair.api->fileOps().recycled("/docs/a.txt").has_value() &&
                   pair.api->fileOps().recycled("/docs/b.txt").has_value();
        },
        60000));
}

TEST_F(MainWndTest, ADeleteTheStoppedEngineRefusesKeepsTheTile) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    ASSERT_NO_FATAL_FAILURE(StopSync());
    ASSERT_NO_FATAL_FAILURE(Select(docs, Texts({"a.txt"})));
    Click("btnDelete");
    EXPECT_EQ(messages, Texts({"\"a.txt\"删除失败。"}));
    EXPECT_NE(View(docs)->findItem(docs + QStringLiteral("a.txt")), nullptr);
    EXPECT_TRUE(pair.api->fileOps().recycleBin().empty());
}

// ---- Search and the address bar ----

TEST_F(MainWndTest, SearchFollowsTheScopeAndAnEmptyFieldGoesHome) {
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    auto* field = Child<QLineEdit>(window, "editSearch");
    Click("btnSearch");
    QString home = VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/"));
    if (!home.endsWith(QLatin1Char('/')))
        home.append(QLatin1Char('/'));
    EXPECT_EQ(mgr->GetWorkPath(), home);
    EXPECT_EQ(mgr->history().last() + QLatin1Char('/'), home) << "a step of the history";

    QStringList scopes;
    onMenu = [&](QMenu* menu) {
        scopes = Entries(menu);
        EXPECT_TRUE(TriggerPath(menu, Texts({"当前目录"})));
    };
    Click("btnFilter");
    onMenu = nullptr;
    EXPECT_EQ(scopes, Texts({"全部文件", "当前目录"}));
    EXPECT_EQ(field->placeholderText(), QStringLiteral("搜索当前目录"));

    field->setText(QStringLiteral("abc"));
    Click("btnSearch");
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|current|abc/"));
    QStringList shown;
    for (AddressItem* segment : bar->findChildren<AddressItem*>()) {
        if (!segment->getText().isEmpty() && !segment->isHidden())
            shown << segment->getText();
    }
    EXPECT_EQ(shown, Texts({"搜索-当前目录：abc"}));

    bool allChecked = true;
    onMenu = [&](QMenu* menu) {
        allChecked = menu->actions().value(0) && menu->actions().value(0)->isChecked();
        EXPECT_TRUE(TriggerPath(menu, Texts({"全部文件"})));
    };
    Click("btnFilter");
    onMenu = nullptr;
    EXPECT_FALSE(allChecked) << "the current scope is the one checked";
    EXPECT_EQ(field->placeholderText(), QStringLiteral("搜索所有文件"));
    field->setText(QStringLiteral("abc"));
    Click("btnSearch");
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|all|abc/"));
}

// What the folder views report as double-clicked: a folder becomes the address bar's path, a file
// (which opens nothing) does not.
TEST_F(MainWndTest, OnlyADoubleClickedFolderBecomesTheAddressBarsPath) {
    bar->AddPathKey(QStringLiteral("全部文件"), Mirror(), true);
    ASSERT_NO_FATAL_FAILURE(Open(Mirror() + QLatin1Char('/')));
    const auto deepest = [this] {
        return qobject_cast<AddressItem*>(bar->layout()->itemAt(bar->layout()->count() - 2)->widget())->getText();
    };
    emit mgr->doubleClickItem(Mirror() + QStringLiteral("/docs"));
    EXPECT_EQ(deepest(), QStringLiteral("docs"));
    emit mgr->doubleClickItem(docs + QStringLiteral("a.txt"));
    EXPECT_EQ(deepest(), QStringLiteral("docs"));
}

TEST_F(MainWndTest, TypingInTheAddressBarGoesNowhere) {
    bar->AddPathKey(QStringLiteral("全部文件"), Mirror(), true);
    ASSERT_NO_FATAL_FAILURE(Open(docs));
    // A click on the bar's empty part turns it into text.
    const QPoint empty(bar->width() - 5, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, empty);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, empty);
    bar->selectAll();
    QTest::keyClicks(bar, QStringLiteral("/tm"));
    EXPECT_EQ(bar->text(), QStringLiteral("/tm"));
    EXPECT_EQ(mgr->GetWorkPath(), docs);
    bar->clear();
    EXPECT_EQ(mgr->GetWorkPath(), docs);
}

} // namespace
