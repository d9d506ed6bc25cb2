#include "support/EngineTestSupport.h"

#include "Database/ConfigRecords.h"
#include "Database/QCGlobalConfig.h"
#include "common/Hash.h"
#include "common/QCClock.h"
#include "common/QCEventBase.h"
#include "network/NetworkClient.h"
#include "support/DebugCapture.h"
#include "support/Loopback.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>

namespace {

QString Host(const CloudStandIn& server, Listener listener) {
    return QStringLiteral("127.0.0.1:%1").arg(server.port(listener));
}

void PointHostsAt(const QString& host) {
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.hostLock);
        g_Config.api_host.host = host;
    }
    GET_CONFIG_ACK ack;
    ack.api.http = host;
    g_Config.SetConfigAck(ack);
}

const char* const kTreeMethods[] = {"Incr.getBgsp", "Incr.getGlobalNodes", "Incr.getIncrGlobal"};

} // namespace

void EngineTest::SetUp() {
    // Nothing but this machine, and short retry pauses so that failing walks end quickly.
    NetworkClient::SetConnectGuard([](const struct sockaddr* address) { return IsLoopbackAddress(address); });
    NetworkClient::SetRetryBackoff(20, 200);
    ASSERT_TRUE(standIn.Start()) << standIn.errorText();
    api = std::make_unique<StandInApi>(standIn);
    // The engine asks for the user's space figures now and then; tests that care answer otherwise.
    api->setAnswer("User.getUserDetail", ApiAnswer::Data("{}"));
    for (const char* method : kTreeMethods)
        api->setAnswer(method, StandInTree::Unavailable());
    ASSERT_TRUE(sandbox.Enter());
    QCClock::UseManualForTests();
    root = QDir(sandbox.home.path()).filePath(QStringLiteral("mirror"));
    InitEngine();
    VUZeroz& core = *VUZeroz::GetInstance();
    core.SetUser(QStringLiteral("u1"), QStringLiteral("Q=a; T=b;"), false, QString());
    core.MapSyncPath(root, QStringLiteral("/"));
    g_LocalStoreMgr.TakeTraceForTests();
}

void EngineTest::AddAccount() {
    AddStandInUser(*api, true);
    // The user details come from the account's state again, with its session checked.
    api->setScript("User.getUserDetail", [this](const RecordedRequest& request) {
        ApiAnswer answer;
        api->accounts().Answer(request, std::string(), answer);
        return answer;
    });
}

void EngineTest::LogIn() {
    DebugCapture debug;
    VUZeroz::GetInstance()->Login();
    ASSERT_TRUE(debug.waitFor(QStringLiteral("local ver:"), 10000))
        << qPrintable(debug.lines(QString()).join(QLatin1Char('\n')));
}

void EngineTest::LogInAndSettle() {
    AddAccount();
    ServeTree();
    LogIn();
    ASSERT_TRUE(WaitStatus(6, 60000)); // the first cycle ends in status 7
    ASSERT_TRUE(receiver.WaitFor(
        QCEventBase::SyncFinish, [](const RecordedEvent&) { return true; }, 30000));
}

void EngineTest::ServeTree() {
    for (const char* method : kTreeMethods)
        api->clearScript(method);
}

void EngineTest::InitEngine() {
    ASSERT_TRUE(VUZeroz::GetInstance()->Init(&receiver));
    PointHostsAt(Host(standIn, Listener::Primary));
}

void EngineTest::TearDown() {
    VUZeroz::GetInstance()->Uninit(false);
    g_Config.SetConfigAck(GET_CONFIG_ACK());
    receiver.Take();
    QCClock::UseSystemForTests();
    sandbox.Leave();
    standIn.Stop();
}

void EngineTest::OnEngine(std::function<void()> work, bool inOrder) {
    ASSERT_TRUE(g_LocalStoreMgr.CallForTests(std::move(work), 60000, !inOrder));
}

void EngineTest::Pass() {
    g_LocalStoreMgr.TriggerTimerEvent(); // a pass of the check loop, at the head of the queue
    OnEngine([] {}, true);
}

int EngineTest::TraceCount(int mark) {
    const std::vector<int> trace = g_LocalStoreMgr.TakeTraceForTests();
    return int(std::count(trace.begin(), trace.end(), mark));
}

void EngineTest::SetStatus(LOCAL_STATUS status) {
    OnEngine([status] { g_LocalStoreMgr.ChangeStatus(status, false); });
}

void EngineTest::MakeReady(const char* details) {
    api->setAnswer("User.getUserDetail", ApiAnswer::Data(details));
    // Without a login there is no session for the cloud tree: the fetch the details would start
    // waits as for running downloads (tests that want it clear the flag).
    OnEngine([] { g_LocalStoreMgr.SetDownloadBusyForTests(true); });
    receiver.Take();
    SetStatus(LOCAL_STATUS_LOGIN_RETRY);
    // Two status events with status 1: the change to status 2, then the one of the user details
    // that readiness asked for, which ends the setting up. Both can have arrived by the time the
    // first is seen, so neither is taken away in between.
    const auto loggedIn = [](const RecordedEvent& e) { return int(e.info.status) == 1; };
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::StatusChanged, loggedIn, 60000));
    ASSERT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_LOGIN_OK);
    ASSERT_TRUE(receiver.WaitForCount(QCEventBase::StatusChanged, loggedIn, 2, 60000));
}

bool EngineTest::WaitStatus(int ui, int timeoutMs) {
    return receiver.WaitFor(
        QCEventBase::StatusChanged, [ui](const RecordedEvent& e) { return int(e.info.status) == ui; },
        timeoutMs);
}

bool EngineTest::WaitCalls(const std::string& method, size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (api->calls(method).size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !standIn.waitForRequests(standIn.requestCount() + 1, int(left.count())))
            return api->calls(method).size() >= count;
    }
    return true;
}

void EngineTest::NoService() {
    PointHostsAt(QStringLiteral("127.0.0.1:%1").arg(standIn.refusedPort()));
}

QString EngineTest::UserFolder() const {
    return g_Config.GetUserDataPath(QStringLiteral("u1"), 1, g_Config.Eid());
}

bool EngineTest::WaitUntil(const std::function<bool()>& done, qint64 stepMs, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCClock::AdvanceForTests(stepMs);
        Pass();
    }
    // `done` may read the engine's state from this thread while an event is half handled (a task
    // already out of its queue, its result not yet recorded): let that event end first.
    OnEngine([] {});
    return true;
}

std::string BigBytes(char seed) {
    std::string bytes;
    for (int block = 0; block < 6; ++block)
        for (int i = 0; i < int(CLOUD_BLOCK_SIZE); ++i)
            bytes += char(block * 13 + seed + i % 241);
    return bytes + std::string(17, seed);
}
