// The login manager against both stand-ins and the real core: a login's outcomes at the sink,
// what it keeps in the store, the core it starts, stops and switches, and what it never does
// (block the user-interface thread, act on a stale or unusable reply, write secrets to debug lines).
#include "support/DebugCapture.h"
#include "support/SignedInCore.h"
#include "support/UiWait.h"

#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/QCEventBase.h"
#include "login/AccountProtocol.h"
#include "login/LoginStore.h"
#include "network/NetworkClient.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const QString kNoConnection = QStringLiteral("网络无连接，请检查您的网络");

// The threads on which the manager made its blocking calls.
class CallThreads {
public:
    CallThreads() {
        CLoginMgr::setCallProbeForTests([this](const char* call) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_calls.emplace_back(call, QThread::currentThread());
        });
    }
    ~CallThreads() { CLoginMgr::setCallProbeForTests(nullptr); }
    int Count(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_lock);
        return int(std::count_if(m_calls.begin(), m_calls.end(), [&](const auto& c) { return c.first == call; }));
    }
    int OnUiThread() {
        std::lock_guard<std::mutex> lock(m_lock);
        QThread* ui = QCoreApplication::instance()->thread();
        return int(std::count_if(m_calls.begin(), m_calls.end(), [ui](const auto& c) { return c.second == ui; }));
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<std::string, QThread*>> m_calls;
};

// The pictures in an account's folder of the store (its settings file aside).
QStringList Pictures(const QString& folder) {
    QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    files.removeAll(QStringLiteral("UserConfig.ini"));
    return files;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The position of the first "/intf.php" request of `method` in the cloud's log; -1 when none.
int FirstCall(const CloudStandIn& cloud, const std::string& method) {
    const std::vector<RecordedRequest> requests = cloud.requests();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].path == "/intf.php" && requests[i].queryArg("method") == method)
            return int(i);
    }
    return -1;
}

StandInReply Xml(const std::string& body) {
    StandInReply reply;
    reply.contentType = "text/xml; charset=utf-8";
    reply.body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + body;
    return reply;
}

// A successful password login reply of alice with another face address and account id.
StandInReply LoginReply(const std::string& qid, const std::string& headPic) {
    return Xml("<userintf_login_response><errno>0</errno><errmsg></errmsg><user><qid>" + qid +
               "</qid><username>alice</username><nickname>Alice</nickname><head_pic>" + headPic +
               "</head_pic><q>qx</q><t>tx</t></user></userintf_login_response>");
}

using LoginManagerTest = SignedInCore;

TEST_F(LoginManagerTest, APasswordLoginHandsTheAccountToTheCore) {
    CallThreads threads;
    ASSERT_NO_FATAL_FAILURE(SignIn());

    // The face picture came, though the core started meanwhile.
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
    const QString face = pair.Store() + QStringLiteral("/10001/face.jpg");
    EXPECT_FALSE(QImage(face, "JPG").isNull());
    EXPECT_EQ(manager->getFaceIconPath(), face);
    EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10001"));
    EXPECT_EQ(manager->getQID(), QStringLiteral("10001"));

    // The cloud saw the configuration asked for, then a login with the pair just issued.
    const int config = FirstCall(pair.cloud, "User.getConfig");
    const int login = FirstCall(pair.cloud, "User.login");
    ASSERT_GE(config, 0);
    EXPECT_GT(login, config);
    const std::vector<RecordedRequest> logins = pair.api->calls("User.login");
    ASSERT_FALSE(logins.empty());
    EXPECT_EQ(logins[0].cookie("q"), pair.identity->q("10001"));
    EXPECT_EQ(logins[0].cookie("t"), pair.identity->t("10001"));
    EXPECT_EQ(manager->getQ().toStdString(), pair.identity->q("10001"));

    // No enterprise was configured: the login's own one names the mirror from then on.
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::DefaultEntLogin, 30000));
    for (const RecordedEvent& event : recorder.Take()) {
        if (event.type == QCEventBase::DefaultEntLogin) {
            EXPECT_EQ(event.text, QStringLiteral("20001"));
        }
    }
    EXPECT_EQ(QDir::cleanPath(VUZeroz::GetInstance()->GetUserString(CLOUD_CFG_USER::syncpath, QString())), Mirror());
    EXPECT_TRUE(QFileInfo(Mirror()).isDir());

    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(threads.Count("Init"), 1);
    EXPECT_EQ(threads.Count("MapSyncPath"), 1);
    EXPECT_GE(threads.Count("exchange"), 2); // the login and the face picture
    EXPECT_EQ(threads.OnUiThread(), 0);
}

TEST_F(LoginManagerTest, AChangeOfEnterpriseRestartsTheCoreOffTheUserInterfaceThread) {
    CallThreads threads;
    ASSERT_NO_FATAL_FAILURE(SignIn());
    ASSERT_TRUE(recorder.WaitFor(QCEventBase::DefaultEntLogin, 30000));
    const size_t loginsBefore = pair.api->calls("User.login").size();

    EXPECT_TRUE(manager->UnloginCore());
    EXPECT_TRUE(manager->isFirstLogin());
    ASSERT_TRUE(SettleManager());
    TakeEvents(); // the first core's last words
    EXPECT_TRUE(manager->ChangeEnterPrise(QStringLiteral("20002")));
    ASSERT_TRUE(WaitStatus(5));

    const std::vector<RecordedRequest> logins = pair.api->calls("User.login");
    ASSERT_GT(logins.size(), loginsBefore);
    EXPECT_EQ(logins.back().queryArg("eid"), "20002");
    EXPECT_EQ(QDir::cleanPath(VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/"))), Mirror(QStringLiteral("20002")));
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(threads.Count("Uninit"), 1);
    EXPECT_EQ(threads.Count("Init"), 2);
    EXPECT_EQ(threads.Count("MapSyncPath"), 2);
    EXPECT_EQ(threads.OnUiThread(), 0);
}

// Uninit gives up after 5 s; Init would then wait for the engine without limit. The manager stops
// the engine again before the next start and reports 9999 while that fails.
TEST_F(LoginManagerTest, AnEngineThatDidNotEndIsStoppedAgainBeforeTheNextStart) {
    CallThreads threads;
    ASSERT_NO_FATAL_FAILURE(SignIn());
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::thread blocker([&entered, released] {
        g_LocalStoreMgr.CallForTests(
            [&entered, released] {
                entered.set_value();
                released.wait();
            },
            120000, true);
    });
    entered.get_future().wait();
    manager->UnloginCore();
    ASSERT_TRUE(SettleManager());
    sink.calls.clear();
    manager->ChangeEnterPrise(QStringLiteral("20001"));
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kNoConnection, 60000));
    EXPECT_EQ(sink.calls.back().second, QStringLiteral("同步引擎未能停止，请重新启动程序"));
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(threads.Count("Uninit"), 2);
    EXPECT_EQ(threads.Count("Init"), 1); // the sign-in's only

    release.set_value();
    blocker.join();
    TakeEvents();
    manager->ChangeEnterPrise(QStringLiteral("20001"));
    ASSERT_TRUE(WaitStatus(5));
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(threads.Count("Uninit"), 3);
    EXPECT_EQ(threads.Count("Init"), 2);
    EXPECT_EQ(sink.calls.size(), 1u);
}

// An enterprise id becomes a folder name: one that could leave the account's folder starts nothing.
TEST_F(LoginManagerTest, AnEnterpriseIdThatIsNoPlainNameIsRefused) {
    CallThreads threads;
    EXPECT_FALSE(manager->ChangeEnterPrise(QStringLiteral("../20001")));
    ASSERT_TRUE(SettleManager());
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].first, CLoginMgr::kNoConnection);
    EXPECT_EQ(sink.calls[0].second, QStringLiteral("企业编号无效，无法启动同步"));
    EXPECT_EQ(threads.Count("Init"), 0);
    EXPECT_EQ(pair.cloud.requestCount(), 0);
}

// A mirror folder that cannot be made is reported as such, and the core is stopped again.
TEST_F(LoginManagerTest, AMirrorFolderThatCannotBeMadeIsReported) {
    ASSERT_NO_FATAL_FAILURE(SignIn());
    manager->UnloginCore();
    ASSERT_TRUE(SettleManager());
    const QString blocked = AppData() + QStringLiteral("/Cache/10001/20002");
    ASSERT_TRUE(WriteAll(blocked, "a file where the folder should be"));
    CallThreads threads;
    manager->ChangeEnterPrise(QStringLiteral("20002"));
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kNoConnection, 60000));
    EXPECT_EQ(sink.calls.back().second.toStdString(),
              (QStringLiteral("无法创建同步文件夹：") + QDir::toNativeSeparators(blocked)).toStdString());
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(threads.Count("MapSyncPath"), 0);
    EXPECT_EQ(threads.Count("Uninit"), 1);
}

// --- The account service's answers ----------------------------------------------------------------

enum class Outcome { WrongPassword, CaptchaAfterRefusals, CookieLoginWithStoredPair, CookieLoginWithoutPair };

struct OutcomeRow {
    const char* name;
    Outcome outcome;
};

class AccountOutcomeTest : public SignedInCore, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(AccountOutcomeTest, ReachesTheSink) {
    const QString alice = QStringLiteral("alice");
    switch (GetParam().outcome) {
    case Outcome::WrongPassword:
        manager->LoginIAccount(alice, QStringLiteral("wrong"), QString());
        ASSERT_TRUE(sink.WaitFor(5002));
        ASSERT_TRUE(SettleManager());
        ASSERT_EQ(sink.calls.size(), 1u);
        EXPECT_EQ(sink.calls[0].second, QStringLiteral("帐号或密码错误"));
        EXPECT_TRUE(LoginStore::getLastLoginQID().isEmpty());
        break;
    case Outcome::CaptchaAfterRefusals: {
        for (int i = 0; i < 2; ++i) {
            manager->LoginIAccount(alice, QStringLiteral("wrong"), QString());
            ASSERT_TRUE(SettleManager());
        }
        sink.calls.clear();
        manager->LoginIAccount(alice, QStringLiteral("secret"), QString());
        ASSERT_TRUE(sink.WaitFor(CLoginMgr::kCaptchaReady));
        ASSERT_TRUE(SettleManager());
        ASSERT_EQ(sink.calls.size(), 2u);
        EXPECT_EQ(sink.calls[0], std::make_pair(5010, QStringLiteral("请输入验证码")));
        EXPECT_EQ(sink.calls[1].first, CLoginMgr::kCaptchaReady);
        std::vector<IdentityRecord> records = pair.identity->records();
        ASSERT_GE(records.size(), 2u);
        EXPECT_EQ(records[records.size() - 2].method, "UserIntf.login");
        EXPECT_EQ(records.back().method, "UserIntf.getCaptcha");
        EXPECT_FALSE(QImage(manager->getCaptchaFilePath()).isNull());
        EXPECT_EQ(manager->getSC().toStdString(), pair.identity->captchaToken());

        const std::string token = pair.identity->captchaToken();
        manager->LoginIAccount(alice, QStringLiteral("secret"), QString::fromStdString(pair.identity->captchaText()));
        ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
        records = pair.identity->records();
        const auto login = std::find_if(records.rbegin(), records.rend(),
                                        [](const IdentityRecord& r) { return r.method == "UserIntf.login"; });
        ASSERT_NE(login, records.rend());
        EXPECT_EQ(login->param("sc"), token);
        EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10001"));
        break;
    }
    case Outcome::CookieLoginWithStoredPair: {
        manager->LoginIAccount(alice, QStringLiteral("secret"), QString());
        ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
        ASSERT_TRUE(SettleManager());
        ASSERT_TRUE(manager->SaveLoginStatus(alice, QStringLiteral("10001"), manager->getQ(), manager->getT(), true, true));
        const std::string cookie = "Q=" + pair.identity->q("10001") + ";T=" + pair.identity->t("10001") + ";";
        sink.calls.clear();
        manager->AutoLoginIAccount(alice, QStringLiteral("10001"), true, true);
        ASSERT_TRUE(SettleManager());
        const std::vector<IdentityRecord> records = pair.identity->records();
        EXPECT_EQ(records.back().method, "CommonAccount.getUserInfo");
        EXPECT_EQ(records.back().cookie, cookie);
        // The stored picture is the current one: told at once, not fetched again.
        ASSERT_EQ(sink.calls.size(), 1u);
        EXPECT_EQ(sink.calls[0].first, CLoginMgr::kFaceReady);
        EXPECT_EQ(manager->getQ().toStdString(), pair.identity->q("10001"));
        break;
    }
    case Outcome::CookieLoginWithoutPair:
        manager->AutoLoginIAccount(QStringLiteral("carol"), QStringLiteral("10009"), true, true);
        ASSERT_TRUE(sink.WaitFor(5020));
        ASSERT_TRUE(SettleManager());
        ASSERT_EQ(pair.identity->records().size(), 1u);
        EXPECT_EQ(pair.identity->records()[0].cookie, "Q=;T=;");
        ASSERT_EQ(sink.calls.size(), 1u);
        EXPECT_EQ(sink.calls[0].second, QStringLiteral("登录已失效，请重新登录"));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AccountOutcomeTest,
                         ::testing::Values(OutcomeRow{"WrongPassword", Outcome::WrongPassword},
                                           OutcomeRow{"CaptchaAfterRefusals", Outcome::CaptchaAfterRefusals},
                                           OutcomeRow{"CookieLoginWithStoredPair", Outcome::CookieLoginWithStoredPair},
                                           OutcomeRow{"CookieLoginWithoutPair", Outcome::CookieLoginWithoutPair}),
                         [](const ::testing::TestParamInfo<OutcomeRow>& info) { return info.param.name; });

// --- No usable reply -------------------------------------------------------------------------------

enum class Unusable { StandInStopped, Status500, HtmlBody, WrongRoot, PathInQid, SelfSignedCertificate };

struct UnusableRow {
    const char* name;
    Unusable kind;
};

class UnusableReplyTest : public SignedInCore, public ::testing::WithParamInterface<UnusableRow> {
protected:
    TlsMode IdentityTls() const override {
        return GetParam().kind == Unusable::SelfSignedCertificate ? TlsMode::SelfSigned : TlsMode::TestCa;
    }
    void TearDown() override {
        NetworkClient::SetRetryBackoff(500, 30000);
        SignedInCore::TearDown();
    }
};

TEST_P(UnusableReplyTest, IsNoConnectionAndStartsNothing) {
    CallThreads threads;
    NetworkClient::SetRetryBackoff(5, 20); // the failing walks end quickly
    FaultRule rule;
    rule.path = "/api.php";
    switch (GetParam().kind) {
    case Unusable::StandInStopped:
        pair.identityServer.Stop();
        break;
    case Unusable::Status500:
        rule.fault.kind = FaultKind::Status;
        rule.fault.status = 500;
        pair.identityServer.addFault(rule);
        break;
    case Unusable::HtmlBody:
        rule.fault.kind = FaultKind::NotJson;
        pair.identityServer.addFault(rule);
        break;
    case Unusable::WrongRoot:
        pair.identity->setScript("UserIntf.login", [](const IdentityRecord&) {
            return Xml("<commonaccount_getuserinfo_response><errno>0</errno><data><qid>10001</qid></data>"
                       "</commonaccount_getuserinfo_response>");
        });
        break;
    case Unusable::PathInQid:
        pair.identity->setScript("UserIntf.login", [this](const IdentityRecord&) {
            return LoginReply("../x", pair.identity->faceUrl("10001"));
        });
        break;
    case Unusable::SelfSignedCertificate:
        break;
    }
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kNoConnection, 60000));
    ASSERT_TRUE(SettleManager());
    ASSERT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].second, kNoConnection);
    EXPECT_EQ(threads.Count("Init"), 0);
    EXPECT_EQ(pair.cloud.requestCount(), 0);
    EXPECT_TRUE(LoginStore::getLastLoginQID().isEmpty());
    EXPECT_EQ(pair.FilesOutsideStore(), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Rows, UnusableReplyTest,
                         ::testing::Values(UnusableRow{"StandInStopped", Unusable::StandInStopped},
                                           UnusableRow{"Status500", Unusable::Status500},
                                           UnusableRow{"HtmlBody", Unusable::HtmlBody},
                                           UnusableRow{"WrongRoot", Unusable::WrongRoot},
                                           UnusableRow{"PathInQid", Unusable::PathInQid},
                                           UnusableRow{"SelfSignedCertificate", Unusable::SelfSignedCertificate}),
                         [](const ::testing::TestParamInfo<UnusableRow>& info) { return info.param.name; });

// --- Stale replies ---------------------------------------------------------------------------------

TEST_F(LoginManagerTest, ACancelEndsTheExchangeAndDropsItsReply) {
    FaultRule hold;
    hold.path = "/api.php";
    hold.fault.kind = FaultKind::Hold;
    pair.identityServer.addFault(hold);
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(pair.identityServer.waitForHeld(1, 30000));
    manager->abortConnect();
    // The exchange ends while the service still holds the request (its first attempt alone would
    // wait 30 s).
    ASSERT_TRUE(SettleManager(10000));
    EXPECT_EQ(pair.identityServer.requestCount(), 1); // the login was sent once ...
    pair.identityServer.releaseHeld();
    EXPECT_TRUE(sink.calls.empty()); // ... and nothing came of it
    EXPECT_TRUE(LoginStore::getLastLoginQID().isEmpty());
    EXPECT_TRUE(pair.api->calls("User.login").empty());
    EXPECT_EQ(pair.cloud.requestCount(), 0);
}

// A service that accepts and never answers: the login ends at its deadline as no connection (on
// a slow machine the deadline may even pass before the request is through).
TEST_F(LoginManagerTest, AnUnansweredLoginEndsAtItsDeadline) {
    struct ShortDeadline {
        ShortDeadline() { CLoginMgr::setExchangeDeadlineForTests(1500); }
        ~ShortDeadline() { CLoginMgr::setExchangeDeadlineForTests(0); }
    } deadline;
    pair.identityServer.addFault(FaultRule{"/api.php", "", true, Listener::Primary, 1, -1, Fault{FaultKind::Hold}});
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kNoConnection, 20000));
    EXPECT_EQ(sink.calls.back().second, kNoConnection);
    ASSERT_TRUE(SettleManager());
    EXPECT_LE(pair.identityServer.requestCount(), 1); // no retry past the deadline
    pair.identityServer.releaseHeld();
}

TEST_F(LoginManagerTest, ANewerLoginMakesTheEarlierReplyStale) {
    FaultRule hold;
    hold.path = "/api.php";
    hold.times = 1;
    hold.fault.kind = FaultKind::Hold;
    pair.identityServer.addFault(hold);
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("wrong"), QString());
    ASSERT_TRUE(pair.identityServer.waitForHeld(1, 30000));
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
    pair.identityServer.releaseHeld();
    ASSERT_TRUE(UiWaitFor([this] { return pair.identity->records().size() >= 2; })); // both logins
    ASSERT_TRUE(SettleManager());
    EXPECT_FALSE(sink.Has(5002));
    EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10001"));
}

// --- The face picture ------------------------------------------------------------------------------

TEST_F(LoginManagerTest, AFaceReplyThatIsNoImageLeavesTheEarlierFile) {
    const QString folder = pair.Store() + QStringLiteral("/10001");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString face = folder + QStringLiteral("/face.jpg");
    const QByteArray earlier = QByteArray("earlier face ") + QByteArray(300, 'x');
    ASSERT_TRUE(WriteAll(face, earlier));
    pair.identityServer.route("GET", "/face/10001.jpg", [](const RecordedRequest&) {
        StandInReply reply;
        reply.contentType = "image/jpeg";
        reply.body = "<html>not a picture</html>";
        return reply;
    });
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(UiWaitFor([this] {
        for (const RecordedRequest& request : pair.identityServer.requests()) {
            if (request.path == "/face/10001.jpg")
                return true;
        }
        return false;
    }));
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(ReadAll(face), earlier);
    EXPECT_FALSE(sink.Has(CLoginMgr::kFaceReady));
    EXPECT_EQ(Pictures(folder), QStringList(QStringLiteral("face.jpg")));
}

struct FaceRow {
    const char* name;
    const char* suffix; // after "https://127.0.0.1:<port>/face/10001.jpg"; "file" for a local address
    const char* file;   // the saved file's name (the client's own); "" when nothing is fetched
};

class FaceNameTest : public SignedInCore, public ::testing::WithParamInterface<FaceRow> {};

TEST_P(FaceNameTest, NamesOnlyAFileOfTheAccountsFolder) {
    const std::string url = pair.identity->faceUrl("10001");
    const std::string headPic = std::string(GetParam().suffix) == "file"
                                    ? "file://" + QDir(pair.sandbox.work.path()).filePath(QStringLiteral("x.jpg")).toStdString()
                                    : url + GetParam().suffix;
    pair.identity->setScript("UserIntf.login", [headPic](const IdentityRecord&) { return LoginReply("10001", headPic); });
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(UiWaitFor([this] { return pair.identity->records().size() >= 1; }));
    ASSERT_TRUE(SettleManager());
    const QStringList files = Pictures(pair.Store() + QStringLiteral("/10001"));
    const QString expected = QString::fromLatin1(GetParam().file);
    if (expected.isEmpty()) {
        EXPECT_EQ(files, QStringList());
        EXPECT_EQ(pair.identityServer.requestCount(), 1);
        EXPECT_FALSE(sink.Has(CLoginMgr::kFaceReady));
    } else {
        EXPECT_EQ(files, QStringList(expected));
        EXPECT_TRUE(sink.Has(CLoginMgr::kFaceReady));
    }
    // Whatever the address names, the account's settings are never the picture.
    EXPECT_FALSE(ReadAll(pair.Store() + QStringLiteral("/10001/UserConfig.ini")).startsWith("\xFF\xD8"));
}

INSTANTIATE_TEST_SUITE_P(Rows, FaceNameTest,
                         ::testing::Values(FaceRow{"LastSegment", "", "face.jpg"},
                                           FaceRow{"QueryInTheSegment", "?v=2", "face.jpg"},
                                           FaceRow{"TheAccountsSettings", "?/UserConfig.ini", "face.jpg"},
                                           FaceRow{"NotAWebAddress", "file", ""}),
                         [](const ::testing::TestParamInfo<FaceRow>& info) { return info.param.name; });

// --- Debug lines -----------------------------------------------------------------------------------

TEST_F(LoginManagerTest, DebugLinesHoldNoSecret) {
    DebugCapture capture;
    ASSERT_NO_FATAL_FAILURE(SignIn());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kFaceReady));
    ASSERT_TRUE(SettleManager());
    const std::string q = pair.identity->q("10001");
    const std::string t = pair.identity->t("10001");

    // The core's start set the debug switch from the environment; an inner capture turns it on
    // again and feeds this one.
    DebugCapture again;
    NetworkClient::SetRetryBackoff(5, 20);
    pair.identityServer.Stop();
    sink.calls.clear();
    manager->LoginIAccount(QStringLiteral("alice"), QStringLiteral("secret"), QString());
    ASSERT_TRUE(sink.WaitFor(CLoginMgr::kNoConnection, 60000));
    ASSERT_TRUE(SettleManager());
    NetworkClient::SetRetryBackoff(500, 30000);

    QString parad;
    ASSERT_TRUE(AccountProtocol::BuildParad(
        AccountProtocol::PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), QString(), QString()),
        parad));
    const QByteArray secret = "secret";
    const QString md5 = QString::fromLatin1(HashBuffer(secret.constData(), secret.size(), HASH_MD5));
    const QStringList secrets{md5, QString::fromStdString(q), QString::fromStdString(t), parad,
                              QString::fromLatin1(QByteArray::fromPercentEncoding(parad.toLatin1()).left(24))};
    EXPECT_FALSE(capture.lines(QStringLiteral("[login] UserIntf.login: HTTP 200")).isEmpty());
    EXPECT_FALSE(capture.lines(QStringLiteral("[login] UserIntf.login: no reply")).isEmpty());
    const QStringList retries = capture.lines(QStringLiteral("[retry] "));
    ASSERT_FALSE(retries.isEmpty());
    EXPECT_TRUE(retries[0].contains(QStringLiteral("/api.php?parad=***&from=pcc_sarn"))) << qPrintable(retries[0]);
    for (const QString& line : capture.lines(QString())) {
        for (const QString& hidden : secrets)
            EXPECT_FALSE(line.contains(hidden)) << qPrintable(line);
    }
}

// --- The browser hand-off --------------------------------------------------------------------------

class RDRecorder : public INotifyGetRD {
public:
    void notifyRD(const QString& rd) override { values << rd; }
    QStringList values;
};

class UrlHandler : public QObject {
    Q_OBJECT
public slots:
    void handle(const QUrl& url) { urls << url.toString(QUrl::FullyEncoded); }

public:
    QStringList urls;
};

TEST_F(LoginManagerTest, TheHandOffGivesTheValueOrOpensTheSignedAddress) {
    const auto answer = [this](const std::string& errnoValue) {
        pair.identity->setScript("CommonAccount.getUserInfo", [errnoValue](const IdentityRecord&) {
            return Xml("<commonaccount_getuserinfo_response><errno>" + errnoValue +
                       "</errno><errmsg>x</errmsg><data><rd>RDVALUE</rd><rd>SECOND</rd></data>"
                       "</commonaccount_getuserinfo_response>");
        });
    };
    answer("0");
    RDRecorder notifier;
    manager->getRD(&notifier);
    ASSERT_TRUE(SettleManager());
    EXPECT_EQ(notifier.values, QStringList({QStringLiteral("RDVALUE"), QString()}));

    // A refusal of the service calls nothing.
    answer("5020");
    notifier.values.clear();
    manager->getRD(&notifier);
    ASSERT_TRUE(SettleManager());
    EXPECT_TRUE(notifier.values.isEmpty());

    answer("0");
    UrlHandler handler;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &handler, "handle");
    manager->setOpenWeb(QStringLiteral("https://web.nimbo.invalid/my"));
    manager->getRD(nullptr);
    ASSERT_TRUE(SettleManager());
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    manager->setOpenWeb(QString());
    ASSERT_EQ(handler.urls.size(), 1);
    EXPECT_EQ(handler.urls[0],
              QStringLiteral("https://weblogin.nimbo.invalid/api.php?method=CommonAccount.loginToBrowser"
                             "&destUrl=https://web.nimbo.invalid/my&rd=RDVALUE&from=pcc_sarn_win&v=HTTP/1.0"
                             "&format=xml&modulever=1.0.0.1010&sig=c3905bcc13de1167b3a008127854d7ec"));
}

} // namespace

#include "LoginManagerTest.moc"
