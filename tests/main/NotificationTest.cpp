// The main window's handling of the core's notifications, against the real core signed in to the
// cloud stand-in (tree: "/docs/" with plan.txt, sub/ and x/abc.txt, and "/docsx/abc.txt"). Real
// listings and searches come from the core; events whose state the stand-in cannot easily give
// (long listings in batches, status reports, refused logins, moves, jump URLs) are sent to the
// event receiver as the core posts them.
#include "main/CFileOptions.h"
#include "main/CImageListItem.h"
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"
#include "main/CListWidget.h"
#include "main/CMainWnd.h"
#include "main/QCUIEventReceiver.h"
#include "main/QtAddressBar.h"

#include "support/DebugCapture.h"
#include "support/RecordingLoginWnd.h"
#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/CommonDef.h"
#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "common/QCEvents.h"
#include "login/CLoginWnd.h"
#include "sync/VUZeroz.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

namespace {

const QString kInvalidLogin = QStringLiteral("自动登录失效或密码已更改，请重新输入密码");

// Records the pages that reach the desktop, by scheme.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    explicit UrlRecorder(const QStringList& schemes) : m_schemes(schemes) {
        for (const QString& scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlRecorder() override {
        for (const QString& scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QStringList opened;

public slots:
    void open(const QUrl& url) { opened.append(url.toString()); }

private:
    QStringList m_schemes;
};


FileInfo Entry(const QString& path, bool isDir = false) {
    FileInfo info;
    info.path = path;
    info.is_dir = isDir;
    return info;
}

QStringList Names(CImageListView* view) {
    QStringList names;
    if (view) {
        for (CImageListItem* tile : view->items())
            names << tile->getName();
    }
    return names;
}

class NotificationTest : public SignedInCore {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        StandInTree& tree = pair.api->tree();
        tree.addFolder("/docs");
        tree.addFileBytes("/docs/plan.txt", "the plan");
        tree.addFolder("/docs/sub");
        tree.addFolder("/docs/x");
        tree.addFileBytes("/docs/x/abc.txt", "inside");
        tree.addFolder("/docsx");
        tree.addFileBytes("/docsx/abc.txt", "beside");
        ASSERT_NO_FATAL_FAILURE(SignIn(true));
        root = Mirror() + QStringLiteral("/");
        docs = root + QStringLiteral("docs/");
    }
    void TearDown() override {
        delete window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete loginWnd;
        SignedInCore::TearDown();
    }

    // The window (with a login window as its partner when asked), shown.
    void Build(bool withLoginWnd = false) {
        if (withLoginWnd)
            loginWnd = new RecordingLoginWnd;
        window = new CMainWnd(loginWnd);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        mgr = window->findChild<CImageListViewMgr*>();
        bar = window->findChild<QtAddressBar*>();
        ASSERT_TRUE(mgr && bar);
    }
    // Hands `e` to the receiver as Qt delivers a posted event; true when it was consumed.
    static bool Send(QEvent& e) { return QCoreApplication::sendEvent(QCUIEventReceiver::GetInstance(), &e); }
    static bool SendStatus(int status) {
        QCStatusChangedEvent e;
        e.data.status = UI_STATUS(status);
        return Send(e);
    }
    static bool SendUpdate(const QString& path, bool search, const std::vector<FileInfo>& files) {
        QCFileUpdateEvent e;
        e.data.path = path;
        e.data.search = search;
        e.data.files = files;
        e.data.total = qint32(files.size());
        return Send(e);
    }
    // Navigates as the address bar does.
    void Go(const QString& folder) { emit bar->SCurrentPathChanged(folder); }
    bool DeleteEnabled() {
        auto* button = window->findChild<QPushButton*>(QStringLiteral("btnDelete"));
        return button && button->isEnabled();
    }
    // Waits until the view of `path` shows `name`.
    bool WaitTile(const QString& path, const char* name) {
        return UiWaitFor([&] { return Names(mgr->getImageListView(path)).contains(QString::fromUtf8(name)); });
    }

    QString root; // "<mirror>/"
    QString docs; // "<mirror>/docs/"
    QPointer<CMainWnd> window;
    RecordingLoginWnd* loginWnd = nullptr;
    CImageListViewMgr* mgr = nullptr;
    QtAddressBar* bar = nullptr;
};

TEST_F(NotificationTest, AListingInBatchesFillsItsViewInArrivalOrderAndAnotherFolderKeepsTheShownOne) {
    ASSERT_NO_FATAL_FAILURE(Build());
    Go(docs);
    ASSERT_TRUE(WaitTile(docs, "plan.txt")) << "the core's own listing";
    const QString big = docs + QStringLiteral("big/");
    Go(big);
    QStringList expected;
    std::vector<FileInfo> batch;
    for (int i = 0; i < 250; ++i) {
        // Names out of any sorted order: the tiles keep the order of arrival.
        const QString name = QStringLiteral("f%1.txt").arg((i * 37) % 250, 3, 10, QLatin1Char('0'));
        expected << name;
        batch.push_back(Entry(big + name));
        if (batch.size() == 100 || i == 249) {
            EXPECT_TRUE(SendUpdate(QStringLiteral("%1big").arg(docs), false, batch));
            batch.clear();
        }
    }
    EXPECT_EQ(Names(mgr->getImageListView(big)), expected);

    // A listing of another folder fills that folder's view; the shown folder stays.
    const QString other = root + QStringLiteral("other/");
    EXPECT_TRUE(SendUpdate(other, false, {Entry(other + QStringLiteral("o.txt")), Entry(other + QStringLiteral("d"), true)}));
    EXPECT_EQ(Names(mgr->getImageListView(other)), QStringList({QStringLiteral("o.txt"), QStringLiteral("d")}));
    EXPECT_EQ(mgr->GetWorkPath(), big);
    EXPECT_TRUE(mgr->getImageListView(big)->grid()->isVisible());
    EXPECT_FALSE(mgr->getImageListView(other)->grid()->isVisible());
    // An entry outside the folder named is no tile of its view.
    EXPECT_TRUE(SendUpdate(other, false, {Entry(docs + QStringLiteral("stray.txt"))}));
    EXPECT_EQ(mgr->getImageListView(other)->items().size(), 2);
}

TEST_F(NotificationTest, TheFirstStatusFiveEndsTheLoginOnceAndShowsTheRoot) {
    ASSERT_NO_FATAL_FAILURE(Build(true));
    loginWnd->SelectCurrentLoginPage(LOGINPAGE_LOADING); // the login window waits on this page
    ASSERT_TRUE(manager->isFirstLogin());
    EXPECT_TRUE(SendStatus(5));
    EXPECT_TRUE(SendStatus(5));
    EXPECT_EQ(loginWnd->calls, (std::vector<std::pair<int, QString>>{{0, QString()}}));
    EXPECT_FALSE(manager->isFirstLogin());
    EXPECT_EQ(mgr->GetWorkPath(), root);
}

TEST_F(NotificationTest, StatusOneGivesTheRootItsNameAndPathsShowIt) {
    ASSERT_NO_FATAL_FAILURE(Build());
    EXPECT_TRUE(SendStatus(1));
    EXPECT_EQ(window->getRootPath() + QLatin1Char('/'), root);
    EXPECT_EQ(window->toVirtualPath(docs + QStringLiteral("plan.txt")), QStringLiteral("全部文件/docs/plan.txt"));

    CFileOptions dialog;
    dialog.updateInfo(docs + QStringLiteral("plan.txt"));
    auto* location = dialog.findChild<QLabel*>(QStringLiteral("label_filepath"));
    ASSERT_NE(location, nullptr);
    EXPECT_EQ(location->text(), QStringLiteral("全部文件/docs/plan.txt"));
}

// Which notifications the window takes, and that the ignored ones change nothing.
struct ConsumedRow {
    int type;
    bool consumed;
};

TEST_F(NotificationTest, OnlyTheCacheCleanIsLeftAndTheOthersWithoutEffectChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(Build());
    Go(docs);
    ASSERT_TRUE(WaitTile(docs, "plan.txt"));
    const QStringList tiles = Names(mgr->getImageListView(docs));
    const ConsumedRow rows[] = {
        {QCEventBase::CacheClean, false},   {QCEventBase::FileDownload, true}, {QCEventBase::FlushView, true},
        {QCEventBase::SyncFinish, true},    {QCEventBase::AutoCommit, true},   {QCEventBase::FileUsing, true},
        {QCEventBase::FileCloudCopy, true}, {QCEventBase::FileIsIllegal, true}, {2299, false},
    };
    for (const ConsumedRow& row : rows) {
        SCOPED_TRACE(row.type);
        QEvent e(QEvent::Type(row.type));
        EXPECT_EQ(Send(e), row.consumed);
        EXPECT_EQ(mgr->GetWorkPath(), docs);
        EXPECT_EQ(Names(mgr->getImageListView(docs)), tiles);
        EXPECT_EQ(CMainWnd::getExitCode(), -1);
        EXPECT_TRUE(window->isVisible());
    }
}

TEST_F(NotificationTest, ACloudMoveTakesTheTileFromItsParentsView) {
    ASSERT_NO_FATAL_FAILURE(Build());
    Go(docs);
    ASSERT_TRUE(WaitTile(docs, "sub"));
    ASSERT_TRUE(WaitTile(docs, "x"));
    const struct {
        const char* source; // below docs
        int errorType;
        const char* gone;
    } rows[] = {{"plan.txt", 10, nullptr}, {"sub", 0, "sub"}, {"x/", 0, "x"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        const QStringList before = Names(mgr->getImageListView(docs));
        QCFileCloudMoveEvent e;
        e.data.error_type = row.errorType;
        e.data.source = docs + QString::fromUtf8(row.source);
        EXPECT_TRUE(Send(e));
        QStringList expected = before;
        if (row.gone)
            expected.removeAll(QString::fromUtf8(row.gone));
        EXPECT_EQ(Names(mgr->getImageListView(docs)), expected);
    }
}

// A search asked from a folder with a scope, answered by the core after the user went to the root.
struct SearchRow {
    const char* name;
    const char* keyword;
    const char* from; // below the mirror
    bool current;
    QStringList kept; // real folders of the hits, below the mirror
};

void PrintTo(const SearchRow& row, std::ostream* out) {
    *out << row.name;
}

class SearchAnswerTest : public NotificationTest, public ::testing::WithParamInterface<SearchRow> {};

TEST_P(SearchAnswerTest, GoesToItsSearchViewWithItsScope) {
    const SearchRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Build());
    Go(root);
    ASSERT_TRUE(WaitTile(root, "docsx"));
    Go(root + QString::fromUtf8(row.from));
    mgr->Search(QString::fromUtf8(row.keyword), row.current);
    const QString searchView = mgr->GetWorkPath();
    // Gone before the answer is delivered.
    Go(root);
    const QStringList rootTiles = Names(mgr->getImageListView(root));
    // The view thread answers in order: a listing asked after the search arrives after its hits.
    const QString docsx = root + QStringLiteral("docsx/");
    VUZeroz::GetInstance()->ViewList(docsx, -1);
    ASSERT_TRUE(WaitTile(docsx, "abc.txt"));
    QStringList kept;
    for (CImageListItem* tile : mgr->getImageListView(searchView)->items())
        kept << tile->getRealPath().mid(root.size()) + tile->getName();
    kept.sort();
    EXPECT_EQ(kept, row.kept);
    EXPECT_EQ(Names(mgr->getImageListView(root)), rootTiles);
    EXPECT_EQ(mgr->GetWorkPath(), root);
    EXPECT_TRUE(DeleteEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Scopes, SearchAnswerTest,
    ::testing::Values(SearchRow{"CurrentKeepsBelowTheStart", "abc", "docs/", true, {QStringLiteral("docs/x/abc.txt")}},
                      SearchRow{"CurrentDropsAboveTheStart", "plan", "docs/x/", true, {}},
                      SearchRow{"AllKeepsEverything", "plan", "docs/x/", false, {QStringLiteral("docs/plan.txt")}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NotificationTest, AnAnswerNobodyAskedForIsDroppedAndSearchResultsTurnTheOperationsOff) {
    ASSERT_NO_FATAL_FAILURE(Build());
    Go(docs);
    ASSERT_TRUE(WaitTile(docs, "plan.txt"));
    const int views = window->findChildren<CImageListView*>().size();
    EXPECT_TRUE(SendUpdate(QStringLiteral("zzz"), true, {Entry(docs + QStringLiteral("zzz.txt"))}));
    EXPECT_EQ(window->findChildren<CImageListView*>().size(), views);
    EXPECT_TRUE(DeleteEnabled());

    auto* field = window->findChild<QLineEdit*>(QStringLiteral("editSearch"));
    ASSERT_NE(field, nullptr);
    field->setText(QStringLiteral("abc"));
    window->findChild<QPushButton*>(QStringLiteral("btnSearch"))->click();
    ASSERT_EQ(mgr->GetWorkPath(), QStringLiteral("search|all|abc/"));
    ASSERT_TRUE(WaitTile(mgr->GetWorkPath(), "abc.txt"));
    EXPECT_FALSE(DeleteEnabled());
    for (const char* name : {"btnUpload", "btnDownload"})
        EXPECT_FALSE(window->findChild<QPushButton*>(QString::fromLatin1(name))->isEnabled()) << name;
    window->findChild<QPushButton*>(QStringLiteral("btnHome"))->click();
    EXPECT_TRUE(DeleteEnabled());
    for (const char* name : {"btnUpload", "btnDownload"})
        EXPECT_TRUE(window->findChild<QPushButton*>(QString::fromLatin1(name))->isEnabled()) << name;
}

// Jump URLs: only an https page reaches the desktop.
TEST_F(NotificationTest, OnlyAnHttpsPageIsOpened) {
    ASSERT_NO_FATAL_FAILURE(Build());
    UrlRecorder urls({QStringLiteral("https"), QStringLiteral("http"), QStringLiteral("file")});
    DebugCapture debug;
    const struct {
        const char* address;
        int result;
        const char* opened; // null: nothing
    } rows[] = {
        {"https%3A%2F%2Fweb.nimbo.invalid%2Fp", 0, "https://web.nimbo.invalid/p"},
        {"https://web.nimbo.invalid/q?t=1", 0, "https://web.nimbo.invalid/q?t=1"},
        {"http://web.nimbo.invalid/p", 0, nullptr},
        {"file:///etc/passwd", 0, nullptr},
        {"file%3A%2F%2F%2Fetc%2Fpasswd", 0, nullptr},
        {"https://web.nimbo.invalid/p", 3001, nullptr},
        {"", 0, nullptr},
    };
    int refused = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        urls.opened.clear();
        QCGetJumpUrlEvent e;
        e.data.result = row.result;
        e.data.url = QString::fromUtf8(row.address);
        EXPECT_TRUE(Send(e));
        EXPECT_EQ(urls.opened, row.opened ? QStringList{QString::fromUtf8(row.opened)} : QStringList());
        if (!row.opened && row.result == 0 && row.address[0])
            ++refused;
    }
    EXPECT_EQ(debug.lines(QStringLiteral("[UI] jump url not opened")).size(), refused);
}

// A refused login: 2217, or 2219 of the login kind, before and after the window is shown.
struct RefusalRow {
    const char* name;
    bool invalidQT; // else a global error of the login kind
    bool shown;     // the first login ended and the window is shown
};

void PrintTo(const RefusalRow& row, std::ostream* out) {
    *out << row.name;
}

class RefusedLoginTest : public NotificationTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(RefusedLoginTest, IsShownInTheLoginWindow) {
    const RefusalRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Build(true));
    const QString message = row.invalidQT ? kInvalidLogin : QStringLiteral("登录失败：帐号已停用");
    auto send = [&] {
        if (row.invalidQT) {
            QCInvalidQTEvent e;
            return Send(e);
        }
        QCGlobalErrorEvent e;
        e.error_type = SYNC_ERROR::Login;
        e.error_code = 2010;
        e.message = message;
        return Send(e);
    };
    if (!row.shown) {
        loginWnd->SelectCurrentLoginPage(LOGINPAGE_LOADING);
        ASSERT_TRUE(manager->isFirstLogin());
        EXPECT_TRUE(send());
        EXPECT_EQ(loginWnd->currentLoginPage(), LOGINPAGE_INPUT);
        EXPECT_EQ(loginWnd->ErrorShown(), message);
        // The core is stopped; the window stays and nothing quits.
        ASSERT_TRUE(SettleManager());
        EXPECT_FALSE(manager->isCoreStarted());
        EXPECT_FALSE(window.isNull());
        EXPECT_EQ(CMainWnd::getExitCode(), -1);
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        EXPECT_TRUE(UiWaitFor([&] { return ran; }, 5000)) << "the event loop still runs";
        return;
    }
    manager->setLoginFinished();
    bool consumed = false;
    QTimer::singleShot(0, window, [&] { consumed = send(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(30000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    // The closed last window's own quit, if still posted, belongs to the loop that ended.
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(consumed);
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(CMainWnd::getExitCode(), 1);
    EXPECT_EQ(loginWnd->ErrorShown(), message);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedLoginTest,
                         ::testing::Values(RefusalRow{"InvalidBeforeShown", true, false},
                                           RefusalRow{"LoginErrorBeforeShown", false, false},
                                           RefusalRow{"InvalidWhileShown", true, true},
                                           RefusalRow{"LoginErrorWhileShown", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NotificationTest, OtherGlobalErrorsLeaveTheLoginWindowAlone) {
    ASSERT_NO_FATAL_FAILURE(Build(true));
    manager->setLoginFinished();
    for (int kind : {SYNC_ERROR::Logic, SYNC_ERROR::Maintain, SYNC_ERROR::Password}) {
        QCGlobalErrorEvent e;
        e.error_type = kind;
        e.message = QStringLiteral("x");
        EXPECT_TRUE(Send(e));
    }
    EXPECT_TRUE(loginWnd->ErrorShown().isEmpty());
    EXPECT_EQ(CMainWnd::getExitCode(), -1);
    EXPECT_FALSE(window.isNull());
}

} // namespace

#include "NotificationTest.moc"
