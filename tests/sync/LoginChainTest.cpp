// The engine's login chain and error report against the stand-in, driven through the facade.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/QCClock.h"
#include "common/QCEvents.h"
#include "network/AesKey.h"
#include "network/NetworkClient.h"
#include "support/DebugCapture.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string LoginData(bool withIv) {
    return std::string("{\"qid\":\"u1\",\"eid\":\"E1\",\"token\":\"tok\",\"key\":\"") + std::string(32, 'k') +
           "\"" + (withIv ? ",\"iv\":\"" + std::string(16, 'v') + "\"" : std::string()) + "}";
}

int GlobalErrors(const std::vector<RecordedEvent>& events) {
    return int(std::count_if(events.begin(), events.end(),
                             [](const RecordedEvent& e) { return e.type == QCEventBase::GlobalError; }));
}

using LoginChainTest = EngineTest;

// A step that fails is sent again after 1 s, 2 s and 4 s of the core's clock, not before.
TEST_F(LoginChainTest, ALoginReplyWithoutItsIvIsRetriedWithAGrowingPause) {
    api->setAnswer("User.getConfig", ApiAnswer::Data(api->defaultConfigData()));
    std::atomic<int> logins{0};
    api->setScript("User.login",
                   [&logins](const RecordedRequest&) { return ApiAnswer::Data(LoginData(++logins > 3)); });
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    DebugCapture debug;
    VUZeroz::GetInstance()->Login();
    int failures = 0;
    for (int pause : {1000, 2000, 4000}) {
        // The engine has taken the bad reply in before the clock moves.
        ASSERT_TRUE(debug.waitFor(QStringLiteral("[login] step 2 failed"), 10000, ++failures));
        EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_WAIT_LOGIN);
        EXPECT_TRUE(GetAesKey().iv.isEmpty()); // nothing of the bad reply was stored
        const size_t before = api->calls("User.login").size();
        QCClock::AdvanceForTests(pause - 1);
        Pass();
        EXPECT_EQ(api->calls("User.login").size(), before) << pause; // not yet
        QCClock::AdvanceForTests(1);
        Pass();
        ASSERT_TRUE(WaitCalls("User.login", before + 1)) << pause;
    }
    EXPECT_TRUE(WaitStatus(1));
    EXPECT_EQ(GetAesKey().iv, QByteArray(16, 'v'));
}

TEST_F(LoginChainTest, AConfigurationRequestThatIsResetIsRetriedUntilTheServiceAnswers) {
    NetworkClient::SetRetryBackoff(1, 2); // the walk over the fallback addresses stays short
    api->setAnswer("User.getConfig", ApiAnswer::Data(api->defaultConfigData()));
    api->setAnswer("User.login", ApiAnswer::Data(LoginData(true)));
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    FaultRule reset;
    reset.path = "/intf.php";
    reset.fault.kind = FaultKind::Reset;
    standIn.addFault(reset);
    DebugCapture debug;
    VUZeroz::GetInstance()->Login();
    ASSERT_TRUE(WaitStatus(8, 20000)); // the network error shows meanwhile
    int failures = 0;
    for (int pause : {1000, 2000}) {
        ASSERT_TRUE(debug.waitFor(QStringLiteral("[login] step 1 failed"), 20000, ++failures));
        const size_t before = api->calls("User.getConfig").size();
        QCClock::AdvanceForTests(pause - 1);
        Pass();
        EXPECT_EQ(api->calls("User.getConfig").size(), before) << pause; // not yet
        QCClock::AdvanceForTests(1);
        Pass();
        ASSERT_TRUE(WaitCalls("User.getConfig", before + 1, 20000)) << pause;
    }
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[login] step 1 failed"), 20000, ++failures));
    standIn.clearFaults();
    QCClock::AdvanceForTests(4000);
    Pass();
    EXPECT_TRUE(WaitStatus(1, 20000));
}

// A request that reaches nobody gives up at its deadline on the core's clock, however many
// addresses it could still try; the network error shows and the chain's own pause takes over.
TEST_F(LoginChainTest, ALoginThatReachesNobodyEndsAtItsDeadlineAndTheChainSendsItAgain) {
    const std::string dead = std::to_string(standIn.refusedPort());
    api->setAnswer("User.getConfig",
                   ApiAnswer::Data("{\"is_https\":0,\"api\":{\"http\":\"127.0.0.1:" + dead +
                                   "\",\"addr_1\":\"127.0.0.2:" + dead + ",0,d\",\"backup\":\"\"}}"));
    DebugCapture debug;
    VUZeroz::GetInstance()->Login();
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[req] Login"), 20000));
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[retry]"), 20000, 3));
    QCClock::AdvanceForTests(NetworkClient::kDefaultDeadlineMs - 1);
    Pass();
    const int before = debug.lines(QStringLiteral("[retry]")).size();
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[retry]"), 20000, before + 3)); // still walking
    EXPECT_TRUE(debug.lines(QStringLiteral("[login] step 2 failed")).isEmpty());

    QCClock::AdvanceForTests(1);
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[login] step 2 failed"), 20000));
    EXPECT_EQ(debug.lines(QStringLiteral("[deadline]")).size(), 1);
    EXPECT_TRUE(WaitStatus(8, 20000)); // the user sees the network error
    const int logins = debug.lines(QStringLiteral("[req] Login")).size();
    QCClock::AdvanceForTests(999);
    Pass();
    EXPECT_EQ(debug.lines(QStringLiteral("[req] Login")).size(), logins); // not yet
    QCClock::AdvanceForTests(1);
    Pass();
    EXPECT_TRUE(debug.waitFor(QStringLiteral("[req] Login"), 20000, logins + 1));
}

TEST_F(LoginChainTest, OnlyTheFirstErrorBecomesAMessageBox) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Error(3109, "too many files"));
    SetStatus(LOCAL_STATUS_LOGIN_RETRY); // readiness asks for the user details
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::GlobalError, 5000));
    auto events = receiver.Take();
    ASSERT_EQ(GlobalErrors(events), 1);
    const auto error = std::find_if(events.begin(), events.end(), [](const RecordedEvent& e) {
        return e.type == QCEventBase::GlobalError;
    });
    EXPECT_EQ(error->text, QString::fromUtf8("同步失败\n您的文件数量超出了限制，请手动删除部分文件"));

    g_LocalStoreMgr.OnError(SYNC_ERROR::DiskWrite, 0, QString(), nullptr);
    ASSERT_TRUE(WaitStatus(8));
    OnEngine([] {}, true);
    EXPECT_EQ(GlobalErrors(receiver.Take()), 0);
}

TEST_F(LoginChainTest, ErrorsFromManyThreadsAreRecordedByTheEngineAlone) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i)
                g_LocalStoreMgr.OnError(SYNC_ERROR::DiskWrite, t * 100 + i, QStringLiteral("/x"), nullptr);
        });
    }
    std::thread joiner([&threads, &done] {
        for (std::thread& thread : threads)
            thread.join();
        done = true;
    });
    while (!done) // the user interface reads the status all along
        VUZeroz::GetInstance()->Status();
    joiner.join();
    OnEngine([] {}, true);
    EXPECT_EQ(GlobalErrors(receiver.Take()), 1);
    EXPECT_EQ(VUZeroz::GetInstance()->Status().error_type, SYNC_ERROR::DiskWrite);
}

// A newer cloud version found while a download runs waits for it, then fetches the changes.
TEST_F(LoginChainTest, ANewerVersionWaitsForRunningDownloads) {
    MakeReady();
    api->setAnswer("User.getVersion", ApiAnswer::Data("{\"ver\":5}"));
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{\"version\":5}"));
    OnEngine([] { g_LocalStoreMgr.SetDownloadBusyForTests(true); });
    SetStatus(LOCAL_STATUS_OK);
    TraceCount(QCLocalStoreMgr::kTraceFetchAll);
    DebugCapture debug;
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[fetch] waits for the running downloads"), 10000));
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_LOGIN_OK); // status 2 comes without an event
    EXPECT_EQ(TraceCount(QCLocalStoreMgr::kTraceFetchAll), 0);
    OnEngine([] { g_LocalStoreMgr.SetDownloadBusyForTests(false); });
    QCClock::AdvanceForTests(qint64(g_Config.comet_incr_interva) * 1000 + 1);
    Pass();
    EXPECT_EQ(TraceCount(QCLocalStoreMgr::kTraceFetchAll), 1); // no tree known yet: a whole fetch
}

TEST_F(LoginChainTest, AJumpUrlWithoutDataSaysSo) {
    api->setAnswer("User.getJumpUrl", ApiAnswer::Data("{}"));
    VUZeroz::GetInstance()->GetJumpUrl(QStringLiteral("home"), QString());
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::GetJumpUrl, 5000));
    const auto events = receiver.Take();
    const auto jump = std::find_if(events.begin(), events.end(),
                                   [](const RecordedEvent& e) { return e.type == QCEventBase::GetJumpUrl; });
    EXPECT_EQ(jump->kind, 0);
    EXPECT_EQ(jump->text, QStringLiteral("jump url not valid"));
}

TEST(AesKeyTest, ReadersNeverSeeHalfOfAPair) {
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    SetAesKey(QByteArray(8, '0') + QByteArray(24, 'k'), QByteArray(8, '0') + QByteArray(8, 'v')); // a whole pair first
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&stop, &torn] {
            while (!stop) {
                const AES_KEY_PAIR pair = GetAesKey();
                if (pair.key.left(8) != pair.iv.left(8))
                    ++torn;
            }
        });
    }
    for (int i = 0; i < 1000; ++i) {
        const QByteArray id = QByteArray::number(10000000 + i);
        SetAesKey(id + QByteArray(24, 'k'), id + QByteArray(8, 'v'));
    }
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace

namespace {

// The engine against the stand-in's account service: account u1 (credential "Q=a; T=b;", the one
// the fixture sets) owns E1 and is a member of E2; no enterprise is configured yet.
class AccountTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
    }

    std::vector<std::string> Methods() const {
        std::vector<std::string> methods;
        for (const RecordedRequest& request : standIn.requests()) {
            const std::string method = request.queryArg("method");
            if (method.rfind("Incr.", 0) != 0) // the cloud fetch that follows is not the login's
                methods.push_back(method);
        }
        return methods;
    }
};

TEST_F(AccountTest, TheFirstLoginTakesTheOwnedEnterpriseAndSetsItsFilesUp) {
    TraceCount(QCLocalStoreMgr::kTraceFetchAll);
    LogIn();
    OnEngine([] {}, true);
    EXPECT_EQ(Methods(), (std::vector<std::string>{"User.getConfig", "User.login", "User.getUserDetail"}));
    std::vector<int> order; // 2209, then status 2, then status 1
    for (const RecordedEvent& e : receiver.Take()) {
        if (e.type == QCEventBase::DefaultEntLogin) {
            EXPECT_EQ(e.text, QStringLiteral("E1"));
            order.push_back(e.type);
        } else if (e.type == QCEventBase::StatusChanged && (e.info.status == 2 || e.info.status == 1) &&
                   (order.empty() || order.back() != int(e.info.status))) {
            // Only the login's statuses: the cloud fetch that follows may already report its own.
            order.push_back(int(e.info.status));
        }
    }
    EXPECT_EQ(order, (std::vector<int>{QCEventBase::DefaultEntLogin, 2, 1}));
    EXPECT_EQ(g_Config.Eid(), QStringLiteral("E1"));
    EXPECT_TRUE(QFileInfo(QDir(UserFolder()).filePath(QStringLiteral("filecache.db"))).isFile());
    // The enterprise's folder is made below the mapped one on the first login.
    EXPECT_TRUE(QFileInfo(g_Config.GetSyncPath() + QStringLiteral("/.Nimbocache")).isDir());
    EXPECT_EQ(TraceCount(QCLocalStoreMgr::kTraceFetchAll), 1);
}

TEST_F(AccountTest, ALaterLoginKeepsItsEnterpriseAndListsTheOthers) {
    LogIn();
    VUZeroz::GetInstance()->Request(REQUEST_LOGOUT);
    ASSERT_TRUE(WaitStatus(3));
    ASSERT_TRUE(g_LocalStoreMgr.Wait(5000)); // a logout ends the engine's loop
    receiver.Take();
    // The login window starts the core again as for any login; the account's enterprise comes from
    // its last login.
    InitEngine();
    EXPECT_EQ(
        VUZeroz::GetInstance()->SetUser(QStringLiteral("u1"), QStringLiteral("Q=a; T=b;"), false, QString()),
        QStringLiteral("E1"));
    VUZeroz::GetInstance()->MapSyncPath(g_Config.GetSyncPath(), QStringLiteral("/"));
    LogIn();
    receiver.Pump();
    EXPECT_EQ(receiver.Count(QCEventBase::DefaultEntLogin), 0);

    VUZeroz::GetInstance()->GetEnterpriseList();
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::GetEnterprise, 5000));
    auto events = receiver.Take();
    auto list = std::find_if(events.begin(), events.end(),
                             [](const RecordedEvent& e) { return e.type == QCEventBase::GetEnterprise; });
    ASSERT_EQ(list->enterprises.items.size(), 2u);
    EXPECT_EQ(list->enterprises.items[0].eid, QStringLiteral("E1"));
    EXPECT_EQ(list->enterprises.items[0].type, ENTERPRISE_OWNER);
    EXPECT_EQ(list->enterprises.items[1].eid, QStringLiteral("E2"));
    EXPECT_EQ(list->enterprises.items[1].type, ENTERPRISE_MEMBER);
    EXPECT_TRUE(list->enterprises.items[1].is_vip);

    // A list that is no list is left out.
    api->setAnswer("Enterprise.getListByUser",
                   ApiAnswer::Data("{\"owner\":[{\"eid\":\"E1\",\"name\":\"Ent One\"}],\"member\":\"x\"}"));
    VUZeroz::GetInstance()->GetEnterpriseList();
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::GetEnterprise, 5000));
    events = receiver.Take();
    list = std::find_if(events.begin(), events.end(),
                        [](const RecordedEvent& e) { return e.type == QCEventBase::GetEnterprise; });
    ASSERT_EQ(list->enterprises.items.size(), 1u);
    EXPECT_EQ(list->enterprises.items[0].eid, QStringLiteral("E1"));
}

// An expired login is a new login; the sixth in a row waits a minute of the core's clock, and the
// engine ends at once meanwhile.
TEST_F(AccountTest, RepeatedExpiredLoginsPauseAndUninitStillEndsAtOnce) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Error(2006, "token expired"));
    VUZeroz::GetInstance()->Login();
    ASSERT_TRUE(WaitCalls("User.getConfig", 6, 20000)); // the first login and five new ones
    ASSERT_TRUE(WaitCalls("User.getUserDetail", 6, 20000));
    OnEngine([] {}, true);
    OnEngine([] {}, true);
    EXPECT_EQ(api->calls("User.getConfig").size(), 6u); // the sixth new login waits
    // The pause runs on the core's clock, which stands still: an engine waiting it out would not
    // end within Uninit's limit.
    EXPECT_TRUE(VUZeroz::GetInstance()->Uninit(false));
}

} // namespace
