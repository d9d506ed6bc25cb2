// The retry walk of the HTTP client: its order, its caps, what ends it, and what each attempt
// starts from. Dead addresses are ports that refuse at once; faults come from the stand-in.
#include "NetworkTestSupport.h"

#include "common/QCClock.h"
#include "network/NetworkClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace {

using RetryTest = StandInTest;
using TlsRetryTest = TlsStandInTest;

QString Url(const CloudStandIn& standIn, Listener listener, const char* path) {
    return QString::fromStdString(standIn.url(listener, path));
}

// The documented order. A request begun on http whose host and fallback addresses are all dead
// alternates the scheme and the address: 1 + 2 x cap attempts. Every line below is one attempt
// after the first.
TEST_F(RetryTest, AWalkBegunOnHttpAlternatesSchemeAndAddress) {
    const int dead = standIn.refusedPort();
    const QString http = QStringLiteral("http://127.0.0.1:%1/intf.php?method=x").arg(dead);
    const QString https = QStringLiteral("https://127.0.0.1:%1/intf.php?method=x").arg(dead);
    const QString first = QStringLiteral(" via 127.0.0.2:%1").arg(dead);
    const QString second = QStringLiteral(" via 127.0.0.1:%1").arg(dead);
    DebugCapture capture;
    NetworkClient client(-1);
    client.setIpList({first.mid(5), second.mid(5)}, 3);
    EXPECT_FALSE(client.doGet(http));
    EXPECT_EQ(client.getCurlResult(), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(client.curRetry(), 3);
    EXPECT_EQ(capture.lines(QStringLiteral("[retry]")),
              QStringList({
                  QStringLiteral("[retry] 0 ") + https,          // scheme step
                  QStringLiteral("[retry] 1 ") + https + first,  // address step; the URL keeps its host
                  QStringLiteral("[retry] 1 ") + http + first,   // back to http
                  QStringLiteral("[retry] 2 ") + http + second,  // the next address
                  QStringLiteral("[retry] 2 ") + https + second, // scheme step
                  QStringLiteral("[retry] 3 ") + https + second, // addresses used up: the last one stays
              }));
    // Each retry waited its back-off first.
    EXPECT_EQ(capture.lines(QStringLiteral("[backoff]")).size(), 6);
}

TEST_F(RetryTest, HttpsRequestsStayOnHttpsAndOnlyApiUrlsChangeAddress) {
    const int dead = standIn.refusedPort();
    const QString address = QStringLiteral("127.0.0.2:%1").arg(dead);
    const QString api = QStringLiteral("https://localhost:%1/intf.php").arg(dead);
    const QString other = QStringLiteral("https://localhost:%1/other").arg(dead);
    DebugCapture capture;
    NetworkClient apiClient(2);
    apiClient.setIpList({address}, 2);
    EXPECT_FALSE(apiClient.doGet(api));
    NetworkClient otherClient(2);
    otherClient.setIpList({address}, 2);
    EXPECT_FALSE(otherClient.doGet(other));
    EXPECT_EQ(capture.lines(QStringLiteral("[retry]")),
              QStringList({
                  QStringLiteral("[retry] 1 ") + api + QStringLiteral(" via ") + address,
                  QStringLiteral("[retry] 2 ") + api + QStringLiteral(" via ") + address,
                  QStringLiteral("[retry] 1 ") + other,
                  QStringLiteral("[retry] 2 ") + other,
              }));
}

TEST_F(RetryTest, AWalkBegunOnHttpReachesALiveHttpFallback) {
    // The configuration request begins on http; its fallback addresses may serve http only.
    standIn.route("GET", "/intf.php", [](const RecordedRequest&) { return Reply("{\"errno\":0}"); });
    NetworkClient client(-1);
    client.setIpList({QStringLiteral("127.0.0.2:%1").arg(standIn.port(Listener::Secondary))}, 26);
    client.addQueryHeader(QStringLiteral("Cookie"), QStringLiteral("q=1; "));
    ASSERT_TRUE(client.doGet(QStringLiteral("http://localhost:%1/intf.php").arg(standIn.refusedPort())))
        << client.getCurlResultString().toStdString();
    EXPECT_EQ(client.curRetry(), 1);
    EXPECT_TRUE(client.currentUrl().startsWith(QLatin1String("http://localhost:")));
    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].listener, Listener::Secondary);
    EXPECT_EQ(log[0].cookie("q"), "1");
}

TEST_F(TlsRetryTest, LiveFallbackAddressKeepsTheHostNameForTls) {
    standIn.route("GET", "/intf.php", [](const RecordedRequest&) { return Reply("{\"errno\":0}"); });
    const int dead = standIn.refusedPort();
    const QString tlsAddress = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Tls));
    NetworkClient client(-1);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    client.setIpList({QStringLiteral("127.0.0.2:%1").arg(dead), tlsAddress}, 4);
    client.addQueryHeader(QStringLiteral("Cookie"), QStringLiteral("token=t1; "));
    // The host name stays in the URL: verification checks it, not the address connected to.
    ASSERT_TRUE(client.doGet(QStringLiteral("https://localhost:%1/intf.php?method=x").arg(dead)))
        << client.getCurlResultString().toStdString() << ": " << client.errorString().toStdString();
    EXPECT_EQ(client.curRetry(), 2);
    EXPECT_EQ(client.responseBody(), QByteArray("{\"errno\":0}"));

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].listener, Listener::Tls);
    EXPECT_EQ(log[0].header("Host"), "localhost:" + std::to_string(dead));
    EXPECT_EQ(log[0].cookie("token"), "t1");
    EXPECT_EQ(log[0].queryArg("method"), "x");
}

TEST_F(TlsRetryTest, CapZeroMakesExactlyOneConnection) {
    FaultRule reset;
    reset.path = "/intf.php";
    reset.fault.kind = FaultKind::Reset;
    standIn.addFault(reset);
    const QString url = Url(standIn, Listener::Tls, "/intf.php");

    NetworkClient once(0);
    once.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    EXPECT_FALSE(once.doGet(url));
    EXPECT_EQ(standIn.requestCount(), 1);

    // The same with a cap of 2: two more attempts, each on its own connection.
    NetworkClient thrice(2);
    thrice.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    EXPECT_FALSE(thrice.doGet(url));
    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[1].remotePort, log[2].remotePort);
    EXPECT_NE(log[2].remotePort, log[3].remotePort);
}

TEST_F(TlsRetryTest, Status514EndsTheWalk) {
    standIn.route("GET", "/intf.php",
                  [](const RecordedRequest&) { return Reply("{\"errno\":0,\"data\":{}}"); });
    FaultRule truncated;
    truncated.path = "/intf.php";
    truncated.fault.kind = FaultKind::Truncated;
    truncated.fault.status = 514;
    standIn.addFault(truncated);
    NetworkClient client(-1);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    EXPECT_FALSE(client.doGet(Url(standIn, Listener::Tls, "/intf.php")));
    EXPECT_EQ(client.getCurlResult(), CURLE_PARTIAL_FILE);
    EXPECT_EQ(client.responseCode(), 514);
    EXPECT_EQ(standIn.requestCount(), 1);

    // A whole answer with status 514 is a successful exchange.
    standIn.clearFaults();
    FaultRule status;
    status.fault.kind = FaultKind::Status;
    status.fault.status = 514;
    standIn.addFault(status);
    EXPECT_TRUE(client.doGet(QString()));
    EXPECT_EQ(client.responseCode(), 514);
    EXPECT_EQ(standIn.requestCount(), 2);
}

TEST_F(TlsRetryTest, EachAttemptStartsFromNothing) {
    const QByteArray served = PatternBytes(200000, 5);
    std::atomic<int> served_count{0};
    standIn.route("GET", "/intf.php", [&](const RecordedRequest&) {
        StandInReply reply =
            Reply(std::string(served.constData(), size_t(served.size())), "application/octet-stream");
        reply.headers = {{"X-Attempt", std::to_string(++served_count)}};
        return reply;
    });
    // The first answer breaks off half-way with status 500; the walk goes on.
    FaultRule truncated;
    truncated.path = "/intf.php";
    truncated.times = 1;
    truncated.fault.kind = FaultKind::Truncated;
    truncated.fault.status = 500;
    standIn.addFault(truncated);
    const QString url = Url(standIn, Listener::Tls, "/intf.php");

    NetworkClient client(-1);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    ASSERT_TRUE(client.doGet(url)) << client.getCurlResultString().toStdString();
    EXPECT_EQ(client.curRetry(), 1);
    EXPECT_TRUE(client.responseBody() == served) << "body of " << client.responseBody().size() << " bytes";
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("X-Attempt")), QStringLiteral("2"));
    EXPECT_FALSE(client.responseHeaderText().contains("X-Attempt: 1"));

    // The same into a file.
    standIn.addFault(truncated);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    const QString path = dir.filePath(QStringLiteral("block.bin"));
    NetworkClient toFile(-1);
    toFile.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    toFile.setOutputFile(path);
    ASSERT_TRUE(toFile.doGet(url)) << toFile.getCurlResultString().toStdString();
    EXPECT_EQ(toFile.curRetry(), 1);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.errorString().toStdString();
    EXPECT_TRUE(file.readAll() == served);
    EXPECT_EQ(standIn.requestCount(), 4);
}

TEST_F(TlsRetryTest, ATimedOutAttemptMovesOn) {
    standIn.route("GET", "/slow", [](const RecordedRequest&) { return Reply("late"); });
    // The first answer waits far longer than the attempt's time-out (Stop() ends the wait); the
    // retry, with twice that time-out, has ten seconds for a new connection, TLS and a reply that
    // takes milliseconds (a sanitizer build on a loaded machine needs several).
    FaultRule delay;
    delay.path = "/slow";
    delay.times = 1;
    delay.fault.kind = FaultKind::Delay;
    delay.fault.delayMs = 120000;
    standIn.addFault(delay);
    NetworkClient client(1);
    client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
    client.setTimeouts(5000, 5000);
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Tls, "/slow")))
        << client.getCurlResultString().toStdString();
    EXPECT_LT(timer.elapsed(), 60000);
    EXPECT_EQ(client.responseBody(), QByteArray("late"));
    EXPECT_EQ(standIn.requestCount(), 2);
}

// Sets the back-off of every client while it exists.
class BackoffScope {
public:
    BackoffScope(long firstMs, long ceilingMs) { NetworkClient::SetRetryBackoff(firstMs, ceilingMs); }
    ~BackoffScope() { NetworkClient::SetRetryBackoff(kTestBackoffFirstMs, kTestBackoffCeilingMs); }
};

// Runs `client.doGet(url)` on a thread, calls `stop` once `started` says the verb is under way,
// and returns the milliseconds from the stop to the verb's end.
template <typename Started, typename Stop>
qint64 StopRunningVerb(NetworkClient& client, const QString& url, Started started, Stop stop, bool& result) {
    std::thread verb([&] { result = client.doGet(url); });
    const bool running = started();
    EXPECT_TRUE(running) << "the verb did not get under way";
    QElapsedTimer timer;
    timer.start();
    stop();
    verb.join();
    return timer.elapsed();
}

// With the real back-off a dead address costs a handful of attempts, not thousands a second.
TEST_F(RetryTest, ARefusedPortIsTriedAFewTimesInThreeSeconds) {
    const BackoffScope real(500, 30000);
    DebugCapture capture;
    NetworkClient client(-1);
    bool result = true;
    const QString url = QStringLiteral("http://127.0.0.1:%1/intf.php").arg(standIn.refusedPort());
    int attempts = 0;
    const qint64 ms = StopRunningVerb(
        client, url,
        [&] {
            // The window being measured, not a wait for an event.
            std::this_thread::sleep_for(std::chrono::seconds(3));
            attempts = capture.lines(QStringLiteral("[retry]")).size(); // one per failed attempt
            return true;
        },
        [&] { client.Cancel(); }, result);
    RecordProperty("attempts_in_3s", attempts);
    RecordProperty("cancel_ms", int(ms));
    std::printf("attempts in 3 s: %d, cancel took %lld ms\n", attempts, static_cast<long long>(ms));
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 8); // the stop in the back-off is measured by StopTest
    EXPECT_FALSE(result);
}

// A stop ends a verb at once wherever it waits: on a reply that does not come, or in the back-off
// between attempts (made a minute long here, so only a wake-up can end it).
struct StopRow {
    const char* name;
    bool uninitialize; // else Cancel()
    bool inBackoff;    // else waiting for a reply
};

class StopTest : public StandInTest, public ::testing::WithParamInterface<StopRow> {};

TEST_P(StopTest, EndsTheVerbAtOnce) {
    const StopRow& row = GetParam();
    const BackoffScope minute(60000, 60000);
    FaultRule delay;
    delay.path = "/intf.php";
    delay.fault.kind = FaultKind::Delay;
    delay.fault.delayMs = 120000;
    standIn.addFault(delay);
    const QString url = row.inBackoff
                            ? QStringLiteral("http://127.0.0.1:%1/intf.php").arg(standIn.refusedPort())
                            : Url(standIn, Listener::Primary, "/intf.php");
    DebugCapture capture;
    NetworkClient client(-1);
    bool result = true;
    const qint64 ms = StopRunningVerb(
        client, url,
        [&] {
            return row.inBackoff ? capture.waitFor(QStringLiteral("[backoff]"), 30000)
                                 : standIn.waitForRequests(1, 30000);
        },
        [&] { row.uninitialize ? NetworkClient::Uninitialize() : client.Cancel(); }, result);
    // Far below the reply's delay (120 s) and the back-off (60 s) that a stop must cut short.
    EXPECT_LT(ms, 20000);
    EXPECT_FALSE(result);
    EXPECT_EQ(client.getCurlResult(), CURLE_ABORTED_BY_CALLBACK);
    // A stopped client stays stopped.
    EXPECT_FALSE(client.doGet(Url(standIn, Listener::Primary, "/ping")));
    EXPECT_EQ(standIn.requestCount(), row.inBackoff ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Stops, StopTest,
                         ::testing::Values(StopRow{"CancelInTransfer", false, false},
                                           StopRow{"CancelInBackoff", false, true},
                                           StopRow{"UninitializeInTransfer", true, false},
                                           StopRow{"UninitializeInBackoff", true, true}),
                         [](const ::testing::TestParamInfo<StopRow>& info) { return info.param.name; });

// The core's clock in manual time while it exists.
class ManualClock {
public:
    ManualClock() { QCClock::UseManualForTests(); }
    ~ManualClock() { QCClock::UseSystemForTests(); }
};

// Runs `client.doGet(url)` on a thread; Finish() waits for its result, and cancels the verb first
// when it has not ended within `timeoutMs`, so that a broken deadline fails the test, not hangs it.
class VerbOnThread {
public:
    VerbOnThread(NetworkClient& client, const QString& url)
        : m_client(client), m_result(std::async(std::launch::async, [&client, url] { return client.doGet(url); })) {}
    ~VerbOnThread() { Finish(0); }
    bool Running() const { return m_result.wait_for(std::chrono::seconds(0)) != std::future_status::ready; }
    // The verb's result; `ended` says whether it ended by itself within the time.
    bool Finish(int timeoutMs, bool* ended = nullptr) {
        if (!m_result.valid())
            return false;
        const bool byItself = m_result.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
        if (!byItself)
            m_client.Cancel();
        if (ended)
            *ended = byItself;
        return m_result.get();
    }

private:
    NetworkClient& m_client;
    std::future<bool> m_result;
};

// An unbounded walk over dead addresses goes on until the deadline of the request on the core's
// clock, and not a moment longer: the caller gets the failure (and its own back-off takes over).
TEST_F(RetryTest, AnUnboundedWalkOverDeadAddressesEndsAtItsDeadline) {
    const ManualClock clock;
    DebugCapture capture;
    const QString dead = QStringLiteral("127.0.0.2:%1").arg(standIn.refusedPort());
    NetworkClient client(-1);
    client.setIpList({dead, dead}, -1);
    VerbOnThread verb(client, QStringLiteral("http://127.0.0.1:%1/intf.php").arg(standIn.refusedPort()));
    ASSERT_TRUE(capture.waitFor(QStringLiteral("[retry]"), 30000, 3));
    QCClock::AdvanceForTests(NetworkClient::kDefaultDeadlineMs - 1);
    // A millisecond before the deadline the walk still goes on.
    const int before = capture.lines(QStringLiteral("[retry]")).size();
    ASSERT_TRUE(capture.waitFor(QStringLiteral("[retry]"), 30000, before + 3));
    EXPECT_TRUE(verb.Running());
    EXPECT_TRUE(capture.lines(QStringLiteral("[deadline]")).isEmpty());

    QCClock::AdvanceForTests(1);
    bool ended = false;
    EXPECT_FALSE(verb.Finish(30000, &ended));
    EXPECT_TRUE(ended) << "the walk went on past its deadline";
    // The last attempt's result: refused, or cut to the millisecond that was left.
    EXPECT_TRUE(client.getCurlResult() == CURLE_COULDNT_CONNECT || client.getCurlResult() == CURLE_OPERATION_TIMEDOUT)
        << client.getCurlResult();
    EXPECT_TRUE(client.errorString().startsWith(QStringLiteral("no answer within the deadline of 120 s")))
        << client.errorString().toStdString();
    EXPECT_EQ(capture.lines(QStringLiteral("[deadline]")).size(), 1);

    // The next verb has a deadline of its own.
    client.setDeadline(5000);
    VerbOnThread again(client, QString());
    ASSERT_TRUE(capture.waitFor(QStringLiteral("[retry]"), 30000, capture.lines(QStringLiteral("[retry]")).size() + 2));
    EXPECT_TRUE(again.Running());
    QCClock::AdvanceForTests(5000);
    EXPECT_FALSE(again.Finish(30000, &ended));
    EXPECT_TRUE(ended);
}

// A reply that does not come: the attempt's time-out is cut to what is left of the deadline
// (one second here, against the 30 s of an attempt: the walk ends well within the 20 s waited),
// and no attempt follows.
TEST_F(RetryTest, AnAttemptWaitsForItsReplyNoLongerThanTheDeadlineAllows) {
    standIn.route("GET", "/intf.php", [](const RecordedRequest&) { return Reply("{\"errno\":0}"); });
    FaultRule hold;
    hold.path = "/intf.php";
    hold.times = 1;
    hold.fault.kind = FaultKind::HoldReply;
    standIn.addFault(hold);
    NetworkClient client(-1);
    client.setDeadline(1000);
    VerbOnThread verb(client, Url(standIn, Listener::Primary, "/intf.php"));
    bool ended = false;
    EXPECT_FALSE(verb.Finish(20000, &ended));
    EXPECT_TRUE(ended);
    EXPECT_EQ(client.getCurlResult(), CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(client.errorString().startsWith(QStringLiteral("no answer within the deadline of 1 s")))
        << client.errorString().toStdString();
    standIn.releaseHeld();
    // On a loaded machine the one attempt may not even have reached the stand-in within that
    // second; what counts is that none followed it.
    EXPECT_LE(standIn.requestCount(), 1);
}

// A block transfer has no deadline (its low-speed rule ends one that stalls): its walk goes on
// long after a request's would have ended.
TEST_F(RetryTest, ABlockTransferHasNoDeadline) {
    const ManualClock clock;
    DebugCapture capture;
    NetworkClient client(-1);
    client.setBlockTransfer();
    VerbOnThread verb(client, QStringLiteral("http://127.0.0.1:%1/intf.php").arg(standIn.refusedPort()));
    ASSERT_TRUE(capture.waitFor(QStringLiteral("[retry]"), 30000, 2));
    QCClock::AdvanceForTests(10 * NetworkClient::kDefaultDeadlineMs);
    const int before = capture.lines(QStringLiteral("[retry]")).size();
    // Each failed attempt looks at the deadline before its retry.
    ASSERT_TRUE(capture.waitFor(QStringLiteral("[retry]"), 30000, before + 3));
    EXPECT_TRUE(verb.Running());
    bool ended = true;
    EXPECT_FALSE(verb.Finish(0, &ended));
    EXPECT_FALSE(ended);
    EXPECT_EQ(client.getCurlResult(), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_TRUE(capture.lines(QStringLiteral("[deadline]")).isEmpty());
}

} // namespace
