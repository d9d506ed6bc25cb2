// The whole application as its users run it: the program `nimbo` as a child process on a private
// X display (Xvfb with openbox), driven through xdotool and looked at through screenshots, against
// both stand-ins of the service running in this process. What is checked is what a user sees: the
// windows, their colours, the files that arrive, the pages opened, the exit status.
#include "XSession.h"

#include "support/CloudStandIn.h"
#include "support/StandInApi.h"
#include "support/StandInDemo.h"
#include "support/StandInIdentity.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>

namespace {

const QString kTitle = QStringLiteral("Nimbo安全云盘");
const QRgb kLoginGreen = qRgb(0, 197, 136);
const QRgb kTitleGreen = qRgb(42, 195, 138);
const QRgb kFolderTile = qRgb(250, 190, 60);
const QRgb kFileTile = qRgb(100, 160, 230);
const QRgb kErrorRed = qRgb(255, 0, 0);
// The time at the start of each line the client prints.
const QString kOutputTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz");

// Places in the main window and its pop-up, from their forms (offsets from the window's corner).
const QPoint kUserButton(40, 100);        // the user button at the top of the left bar
const int kMenuFromRight = 90;            // the menu button in the title bar: its distance from the right edge
const int kMenuTop = 25;
const QPoint kEnterpriseCombo(200, 30);   // the pop-up's drop-down of enterprises
const QPoint kChangeAccount(60, 357);     // the pop-up's last button, "更换帐号"
const int kPopupWidth = 275;
const QPoint kPopupOffset(139 + 1, 50);   // the pop-up's corner: right of the left bar, below the title strip
const QPoint kLoginClose(359, 26);        // the login window's close button, at the right of its title row
// The folder view: right of the left bar, below the address bar and the tool bar.
const int kViewLeft = 150;
const int kViewTop = 150;

bool IsLoginWindow(const XWindow& w) {
    return w.name == kTitle && w.geometry.size() == QSize(380, 474);
}

bool IsMainWindow(const XWindow& w) {
    return w.name == kTitle && w.geometry.width() >= 1050 && w.geometry.height() >= 680;
}

enum class Tile { None, Folder, File };

struct FirstTile {
    Tile kind = Tile::None;
    QPoint centre;
};

// The first tile of the folder view: the topmost picture in the leftmost column of tile pictures.
FirstTile FindFirstTile(const QImage& shot, const QRect& window) {
    const QRect view = QRect(window.left() + kViewLeft, window.top() + kViewTop, window.width() - kViewLeft - 10,
                             window.height() - kViewTop - 50)
                           .intersected(shot.rect());
    const auto kindAt = [&](int x, int y) {
        const QRgb pixel = shot.pixel(x, y);
        if (pixel == kFolderTile)
            return Tile::Folder;
        if (pixel == kFileTile)
            return Tile::File;
        return Tile::None;
    };
    int column = -1;
    for (int x = view.left(); x <= view.right() && column < 0; ++x) {
        for (int y = view.top(); y <= view.bottom() && column < 0; ++y) {
            if (kindAt(x, y) != Tile::None)
                column = x;
        }
    }
    FirstTile first;
    if (column < 0)
        return first;
    const int right = std::min(column + 40, view.right()); // a picture's width
    for (int y = view.top(); y <= view.bottom(); ++y) {
        for (int x = column; x <= right; ++x) {
            first.kind = kindAt(x, y);
            if (first.kind != Tile::None) {
                first.centre = QPoint(column + 20, y + 14);
                return first;
            }
        }
    }
    return first;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_clock.start();
        ASSERT_TRUE(m_home.isValid() && m_work.isValid() && m_bin.isValid());
        StandInOptions tls;
        tls.tls = TlsMode::TestCa;
        // The cloud with a TLS listener: its jump URLs are https.
        ASSERT_TRUE(m_cloud.Start(tls)) << m_cloud.errorText();
        m_api = std::make_unique<StandInApi>(m_cloud);
        ASSERT_TRUE(m_identityServer.Start(tls)) << m_identityServer.errorText();
        m_identity = std::make_unique<StandInIdentity>(m_identityServer);
        LinkIdentityToCloud(*m_identity, m_api->accounts());
        AddSampleTree(m_api->tree());
        ASSERT_TRUE(m_x.Start()) << qPrintable(m_x.errorText());

        // The client's files: the configuration host, the account host's replacement, and a
        // browser that only writes down what it was asked to open.
        ASSERT_TRUE(WriteFile(m_work.filePath(QStringLiteral("sync.ini")),
                              QStringLiteral("[server]\nlogin=127.0.0.1:%1\n").arg(m_cloud.port(Listener::Primary)).toUtf8()));
        const QString store = m_home.filePath(QStringLiteral(".local/share/NimboOrrinSuite"));
        ASSERT_TRUE(QDir().mkpath(store));
        ASSERT_TRUE(WriteFile(store + QStringLiteral("/publicConfig.ini"),
                              "[account.nimbo.invalid]\nip=" + QByteArray::fromStdString(m_identity->hostReplacement()) + "\n"));
        m_opened = m_bin.filePath(QStringLiteral("opened.txt"));
        const QString opener = m_bin.filePath(QStringLiteral("xdg-open"));
        ASSERT_TRUE(WriteFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + QFile::encodeName(m_opened) + "'\n"));
        ASSERT_TRUE(QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    void TearDown() override {
        if (m_client.state() != QProcess::NotRunning) {
            m_client.kill();
            m_client.waitForFinished(10000);
        }
        if (HasFailure()) {
            QFile log(m_work.filePath(QStringLiteral("client.log")));
            if (log.open(QIODevice::ReadOnly))
                std::cerr << "--- the client's output\n" << log.readAll().toStdString() << "---\n";
        }
        m_identityServer.Stop();
        m_cloud.Stop();
        EXPECT_LT(m_clock.elapsed(), 120000) << "the case took too long";
    }

    static bool WriteFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    // The program with a fresh HOME (the XDG folder variables removed, so its data folders follow
    // it), its working folder, the test CA, the display, and the stub browser first in PATH.
    void StartClient() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("DISPLAY"), m_x.display());
        // The test command sets the offscreen platform, which would keep the window off the display.
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // The client paints with widgets only and never needs GL; with Qt's xcb GL integration the
        // display's GLX driver is loaded, and on some processors Mesa's driver leaks a buffer that
        // LeakSanitizer reports at exit from an unloaded module. The tests' own environment keeps GL.
        environment.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
        environment.insert(QStringLiteral("NIMBO_CA_FILE"), QString::fromStdString(m_identityServer.caFile()));
        environment.insert(QStringLiteral("PATH"), m_bin.path() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
        // No session bus belongs to the private display: without an address libdbus tries to start
        // one through X11, and LeakSanitizer reports the buffer that attempt keeps.
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
        // The debug lines with their times: they tell where an exit spent its time.
        environment.insert(QStringLiteral("NIMBO_DEBUG"), QStringLiteral("1"));
        environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                           QStringLiteral("%{time ") + kOutputTimeFormat + QStringLiteral("} %{message}"));
        // libxkbcommon-x11 copies the keyboard's names with strndup from counted buffers without a
        // closing NUL, which AddressSanitizer's strict string check reads one byte past. The check
        // stays on for the rest of the suite.
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        if (!asan.isEmpty())
            environment.insert(QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral(":strict_string_checks=0"));
        m_client.setProcessEnvironment(environment);
        m_client.setWorkingDirectory(m_work.path());
        m_client.setProcessChannelMode(QProcess::MergedChannels);
        m_client.setStandardOutputFile(m_work.filePath(QStringLiteral("client.log")));
        m_client.start(QStringLiteral(NIMBO_APP_PATH), QStringList());
        ASSERT_TRUE(m_client.waitForStarted(10000)) << qPrintable(m_client.errorString());
    }

    // The first visible window of the client that `fits`, within `timeoutMs`.
    std::optional<XWindow> WaitWindow(const std::function<bool(const XWindow&)>& fits, int timeoutMs) {
        std::optional<XWindow> found;
        WaitUntil(
            [&] {
                for (const XWindow& window : m_x.WindowsOf(m_client.processId())) {
                    if (fits(window)) {
                        found = window;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    bool LoginWindowShown() {
        for (const XWindow& window : m_x.WindowsOf(m_client.processId())) {
            if (IsLoginWindow(window))
                return true;
        }
        return false;
    }

    // A main window whose title bar is drawn: its row 45 mostly title green.
    std::optional<XWindow> WaitMainWindow(int timeoutMs, const QString& notId = QString()) {
        return WaitWindow(
            [&](const XWindow& w) {
                if (!IsMainWindow(w) || w.id == notId)
                    return false;
                const QImage shot = m_x.Screenshot();
                const QRect row(w.geometry.left(), w.geometry.top() + 45, w.geometry.width(), 1);
                return CountColour(shot, row, kTitleGreen) >= 900;
            },
            timeoutMs);
    }

    // Types the account and the password into the login window and presses Return.
    void SignIn(const XWindow& login, const QString& account, const QString& password) {
        ASSERT_TRUE(m_x.Activate(login.id));
        ASSERT_TRUE(m_x.Keys({QStringLiteral("ctrl+a")}));
        ASSERT_TRUE(m_x.Type(account));
        ASSERT_TRUE(m_x.Keys({QStringLiteral("Tab"), QStringLiteral("ctrl+a")}));
        ASSERT_TRUE(m_x.Type(password));
        ASSERT_TRUE(m_x.Keys({QStringLiteral("Return")}));
    }

    // The login window, then alice signed in through it: the main window.
    XWindow SignInAsAlice() {
        const std::optional<XWindow> login = WaitWindow(IsLoginWindow, 60000);
        EXPECT_TRUE(login) << "no login window";
        if (!login)
            return XWindow();
        SignIn(*login, QStringLiteral("alice"), QStringLiteral("secret"));
        const std::optional<XWindow> main = WaitMainWindow(30000);
        EXPECT_TRUE(main) << "no main window within 30 s of the login";
        return main ? *main : XWindow();
    }

    // Opens the main menu and walks it with `keys`.
    void MenuKeys(const XWindow& main, const QStringList& keys) {
        const QRect g = main.geometry;
        ASSERT_TRUE(m_x.Click(QPoint(g.right() - kMenuFromRight, g.top() + kMenuTop)));
        ASSERT_TRUE(WaitWindow([&](const XWindow& w) { return w.id != main.id && w.geometry.height() < 200; }, 10000))
            << "no menu";
        ASSERT_TRUE(m_x.Keys(keys));
    }

    // The user information pop-up, opened by the user button.
    XWindow OpenUserPopup(const XWindow& main) {
        EXPECT_TRUE(m_x.Click(main.geometry.topLeft() + kUserButton));
        const std::optional<XWindow> popup =
            WaitWindow([](const XWindow& w) { return w.geometry.width() == kPopupWidth; }, 10000);
        EXPECT_TRUE(popup) << "no user pop-up";
        return popup ? *popup : XWindow();
    }

    // The time of the first line of the client's output that holds `text`; invalid when none does.
    QDateTime OutputTime(const QString& text) const {
        QFile log(m_work.filePath(QStringLiteral("client.log")));
        if (!log.open(QIODevice::ReadOnly))
            return QDateTime();
        for (const QString& line : QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'))) {
            if (line.contains(text))
                return QDateTime::fromString(line.section(QLatin1Char(' '), 0, 0), kOutputTimeFormat);
        }
        return QDateTime();
    }

    // 退出 ends the program within 5 s: its windows close, the core stops, and main returns with 0.
    // The process ends after the exit handlers, which in the sanitizer build scan the whole heap
    // for leaks: that scan alone took up to 6 s on 8 cores at a load of 45, so the process's end
    // is only watched for a hang.
    void QuitThroughMenu(const XWindow& main) {
        ASSERT_NO_FATAL_FAILURE(MenuKeys(main, {QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Down"),
                                                QStringLiteral("Down")}));
        const QDateTime quitAt = QDateTime::currentDateTime();
        ASSERT_TRUE(m_x.Keys({QStringLiteral("Return")}));
        qint64 windowGoneMs = -1;
        const bool ended = WaitUntil(
            [&] {
                if (windowGoneMs < 0 && !WaitWindow([&](const XWindow& w) { return w.id == main.id; }, 0))
                    windowGoneMs = quitAt.msecsTo(QDateTime::currentDateTime());
                return m_client.waitForFinished(20);
            },
            60000);
        // Where the time went, for the messages below.
        const auto after = [&](const QString& text) {
            const QDateTime at = OutputTime(text);
            return at.isValid() ? QStringLiteral("%1 ms").arg(quitAt.msecsTo(at)) : QStringLiteral("never");
        };
        const QString timeline =
            QStringLiteral("main window gone after %1 ms; windows closed after %2, core stopped after %3, main returned after %4")
                .arg(windowGoneMs)
                .arg(after(QStringLiteral("[login] windows closed")), after(QStringLiteral("[login] the core has stopped")),
                     after(QStringLiteral("[app] exit")));
        ASSERT_TRUE(ended) << "still running 60 s after 退出: " << qPrintable(timeline);
        EXPECT_EQ(m_client.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_client.exitCode(), 0);
        const QDateTime returned = OutputTime(QStringLiteral("[app] exit 0"));
        ASSERT_TRUE(returned.isValid()) << "the program's end is not in its output: " << qPrintable(timeline);
        EXPECT_LE(quitAt.msecsTo(returned), 5000) << "the program took over 5 s to end: " << qPrintable(timeline);
        std::cout << "quit: " << qPrintable(timeline) << "; process ended after "
                  << quitAt.msecsTo(QDateTime::currentDateTime()) << " ms" << std::endl;
    }

    QString AppData() const { return m_home.filePath(QStringLiteral(".local/share/nimbo")); }

    QStringList OpenedUrls() const {
        QFile file(m_opened);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QElapsedTimer m_clock;
    QTemporaryDir m_home;
    QTemporaryDir m_work;
    QTemporaryDir m_bin;
    QString m_opened;
    CloudStandIn m_cloud;
    CloudStandIn m_identityServer;
    std::unique_ptr<StandInApi> m_api;
    std::unique_ptr<StandInIdentity> m_identity;
    XSession m_x;
    QProcess m_client;
};

TEST_F(EndToEndTest, SignInBrowseUploadOpenHelpAndQuit) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const std::optional<XWindow> login = WaitWindow(IsLoginWindow, 60000);
    ASSERT_TRUE(login) << "no 380x474 window " << qPrintable(kTitle);
    ASSERT_TRUE(WaitUntil([&] { return BestRow(m_x.Screenshot(), login->geometry, kLoginGreen) >= 200; }, 10000))
        << "no row of the login button";

    ASSERT_NO_FATAL_FAILURE(SignIn(*login, QStringLiteral("alice"), QStringLiteral("secret")));
    const std::optional<XWindow> main = WaitMainWindow(30000);
    ASSERT_TRUE(main) << "no main window within 30 s of the login";
    EXPECT_FALSE(LoginWindowShown());
    int logins = 0;
    for (const IdentityRecord& record : m_identity->records()) {
        if (record.method == "UserIntf.login") {
            ++logins;
            EXPECT_TRUE(record.sig_ok);
        }
    }
    EXPECT_EQ(logins, 1);
    const QString mirror = AppData() + QStringLiteral("/Cache/10001/20001");
    EXPECT_TRUE(WaitUntil([&] { return QDir(mirror).exists(); }, 30000)) << qPrintable(mirror);

    // The root's first tile is the folder "docs"; inside it the first is a file.
    FirstTile first;
    ASSERT_TRUE(WaitUntil(
        [&] {
            first = FindFirstTile(m_x.Screenshot(), main->geometry);
            return first.kind == Tile::Folder;
        },
        30000))
        << "no folder tile first";
    ASSERT_TRUE(m_x.Click(first.centre, 2));
    EXPECT_TRUE(WaitUntil([&] { return FindFirstTile(m_x.Screenshot(), main->geometry).kind == Tile::File; }, 30000))
        << "no file tile first after opening docs";

    // A file copied into the mirror reaches the cloud with the same bytes.
    QByteArray bytes(700 * 1024, '\0');
    QRandomGenerator(43).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    const QString source = m_work.filePath(QStringLiteral("report.bin"));
    ASSERT_TRUE(WriteFile(source, bytes));
    // Cloud files stay in the cloud until asked for: the user makes the folder in the mirror.
    ASSERT_TRUE(QDir().mkpath(mirror + QStringLiteral("/docs")));
    ASSERT_TRUE(QFile::copy(source, mirror + QStringLiteral("/docs/report.bin")));
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::optional<StandInNode> node = m_api->tree().node("/docs/report.bin");
            return node && node->hasBytes && node->bytes == bytes.toStdString();
        },
        60000))
        << "the copied file did not arrive whole";

    // 帮助 > 帮助中心 opens the cloud's https jump URL in the browser.
    ASSERT_NO_FATAL_FAILURE(MenuKeys(*main, {QStringLiteral("Down"), QStringLiteral("Down"), QStringLiteral("Down"),
                                             QStringLiteral("Right"), QStringLiteral("Down"), QStringLiteral("Return")}));
    ASSERT_TRUE(WaitUntil([&] { return !OpenedUrls().isEmpty(); }, 20000)) << "nothing opened";

    ASSERT_NO_FATAL_FAILURE(QuitThroughMenu(*main));
    const QStringList opened = OpenedUrls();
    ASSERT_EQ(opened.size(), 1) << qPrintable(opened.join(QLatin1Char(' ')));
    EXPECT_TRUE(opened[0].startsWith(QStringLiteral("https://127.0.0.1:%1/jump?").arg(m_cloud.port(Listener::Tls))))
        << qPrintable(opened[0]);
}

TEST_F(EndToEndTest, ChangeEnterpriseThenAccountThenQuit) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const XWindow first = SignInAsAlice();
    ASSERT_FALSE(first.id.isEmpty());

    // Partner Co (20002), the second row of the pop-up's drop-down. Its login is held so that the
    // loading page can be seen.
    XWindow popup = OpenUserPopup(first);
    ASSERT_FALSE(popup.id.isEmpty());
    // Beside the left bar, under the title strip, of the window where it stands on the screen.
    EXPECT_EQ(popup.geometry.topLeft(), first.geometry.topLeft() + kPopupOffset);
    ASSERT_TRUE(m_x.Click(popup.geometry.topLeft() + kEnterpriseCombo));
    const std::optional<XWindow> list = WaitWindow(
        [&](const XWindow& w) { return w.id != popup.id && w.id != first.id && w.geometry.height() < 100; }, 10000);
    ASSERT_TRUE(list) << "no drop-down of enterprises";
    m_cloud.addFault(FaultRule{"/intf.php", "User.login", true, Listener::Primary, 1, 1, Fault{FaultKind::Hold}});
    ASSERT_TRUE(m_x.Click(QPoint(list->geometry.center().x(), list->geometry.top() + list->geometry.height() * 3 / 4)));
    ASSERT_TRUE(m_cloud.waitForHeld(1, 30000)) << "no login for the other enterprise";
    EXPECT_TRUE(WaitUntil([&] { return LoginWindowShown(); }, 10000)) << "no loading page";
    EXPECT_FALSE(WaitWindow(IsMainWindow, 0)) << "the old main window is still shown";
    m_cloud.clearFaults();
    m_cloud.releaseHeld();
    const std::optional<XWindow> second = WaitMainWindow(30000);
    ASSERT_TRUE(second) << "no main window for Partner Co";
    EXPECT_TRUE(WaitUntil([&] { return QDir(AppData() + QStringLiteral("/Cache/10001/20002")).exists(); }, 30000));

    // 更换帐号: the login window again, and bob signs in.
    popup = OpenUserPopup(*second);
    ASSERT_FALSE(popup.id.isEmpty());
    ASSERT_TRUE(m_x.Click(popup.geometry.topLeft() + kChangeAccount));
    const std::optional<XWindow> login = WaitWindow(IsLoginWindow, 30000);
    ASSERT_TRUE(login) << "no login window after 更换帐号";
    ASSERT_NO_FATAL_FAILURE(SignIn(*login, QStringLiteral("bob"), QStringLiteral("secret")));
    const std::optional<XWindow> third = WaitMainWindow(30000);
    ASSERT_TRUE(third) << "no main window for bob";
    EXPECT_TRUE(WaitUntil([&] { return QDir(AppData() + QStringLiteral("/Cache/10002")).exists(); }, 30000));

    ASSERT_NO_FATAL_FAILURE(QuitThroughMenu(*third));
}

TEST_F(EndToEndTest, AWrongPasswordShowsRedText) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const std::optional<XWindow> login = WaitWindow(IsLoginWindow, 60000);
    ASSERT_TRUE(login);
    EXPECT_EQ(CountColour(m_x.Screenshot(), login->geometry, kErrorRed, 40), 0);
    ASSERT_NO_FATAL_FAILURE(SignIn(*login, QStringLiteral("alice"), QStringLiteral("wrong")));
    EXPECT_TRUE(WaitUntil([&] { return CountColour(m_x.Screenshot(), login->geometry, kErrorRed, 40) >= 20; }, 30000))
        << "no red text in the login window";
    EXPECT_TRUE(LoginWindowShown());
    EXPECT_FALSE(WaitWindow(IsMainWindow, 0));
}

// Closing the login window with its × during a login the service never answers ends the program
// at once, not when the exchange gives up. No core ran: the heap that the sanitizer build scans at
// exit is small, so the process's own end is timed.
TEST_F(EndToEndTest, ClosingTheLoginWindowDuringAnUnansweredLoginEndsTheProgram) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    const std::optional<XWindow> login = WaitWindow(IsLoginWindow, 60000);
    ASSERT_TRUE(login);
    m_identityServer.addFault(FaultRule{"/api.php", "", true, Listener::Primary, 1, -1, Fault{FaultKind::Hold}});
    ASSERT_NO_FATAL_FAILURE(SignIn(*login, QStringLiteral("alice"), QStringLiteral("secret")));
    ASSERT_TRUE(m_identityServer.waitForHeld(1, 30000)) << "no login reached the service";
    QElapsedTimer closed;
    closed.start();
    ASSERT_TRUE(m_x.Click(login->geometry.topLeft() + kLoginClose));
    ASSERT_TRUE(WaitUntil([&] { return m_client.waitForFinished(20); }, 60000)) << "still running 60 s after the close";
    EXPECT_LE(closed.elapsed(), 5000);
    EXPECT_EQ(m_client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_client.exitCode(), 0);
}

// Asked to stop by the system (SIGTERM), the program leaves as when the user quits: the windows
// close, the core stops, the process ends normally. What it finished was saved seconds after.
class SignalEndTest : public EndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SignalEndTest, EndsAsAQuitDoes) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    if (GetParam()) {
        ASSERT_FALSE(SignInAsAlice().id.isEmpty());
        const QString mirror = AppData() + QStringLiteral("/Cache/10001/20001");
        ASSERT_TRUE(WaitUntil([&] { return QDir(mirror).exists(); }, 30000));
        ASSERT_TRUE(WriteFile(mirror + QStringLiteral("/kept.txt"), "finished before the end"));
        const auto history = [this] {
            QDirIterator it(AppData(), {QStringLiteral("history.dat")}, QDir::Files, QDirIterator::Subdirectories);
            QFile file(it.hasNext() ? it.next() : QString());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        ASSERT_TRUE(WaitUntil([&] { return history().contains("/kept.txt|"); }, 60000)) << "no history of the upload";
    } else {
        ASSERT_TRUE(WaitWindow(IsLoginWindow, 60000)) << "no login window";
    }
    ASSERT_EQ(::kill(pid_t(m_client.processId()), SIGTERM), 0);
    ASSERT_TRUE(m_client.waitForFinished(60000)) << "still running a minute after SIGTERM";
    EXPECT_EQ(m_client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_client.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Windows, SignalEndTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? "WithTheMainWindow" : "AtTheLoginWindow");
});

} // namespace
