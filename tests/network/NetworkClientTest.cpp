// The HTTP client's verbs, headers and outputs against the loopback stand-in of the service.
#include "ApiTestSupport.h"
#include "NetworkTestSupport.h"

#include "common/CommonDef.h"
#include "network/LogRedaction.h"
#include "network/NetworkClient.h"
#include "network/QCRequestCommon.h"
#include "support/Loopback.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

namespace {

using ClientTest = StandInTest;

QString Url(const CloudStandIn& standIn, Listener listener, const char* path) {
    return QString::fromStdString(standIn.url(listener, path));
}

std::string Bytes(const QByteArray& data) {
    return std::string(data.constData(), size_t(data.size()));
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST_F(ClientTest, FormPostSendsTheEncodedParametersWithoutExpect) {
    standIn.route("POST", "/form", [](const RecordedRequest&) { return Reply("{}"); });
    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/form"));
    client.addQueryParam("a", "1");
    client.addQueryParam("b", "x y");
    client.addQueryParam("\xc3\xa9", "~&=");
    client.addQueryParamFile("f", "f.dat", "zz", 2, ""); // file parts are not form text
    ASSERT_TRUE(client.doPost(QString())) << client.getCurlResultString().toStdString();
    EXPECT_EQ(client.responseCode(), 200);

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].body, "a=1&b=x%20y&%C3%A9=~%26%3D&");
    EXPECT_EQ(log[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(log[0].hasHeader("Expect"));
    EXPECT_EQ(log[0].header("User-Agent"), "Mozilla/5.0");
}

TEST_F(ClientTest, PostBodiesEmptyOrExplicit) {
    standIn.route("POST", "/post", [](const RecordedRequest&) { return Reply("{}"); });
    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/post"));
    ASSERT_TRUE(client.doPost(QString()));
    // Large enough that libcurl would otherwise ask "Expect: 100-continue".
    const QString big = QString(1536 * 1024, QLatin1Char('x')) + QStringLiteral("\u00e9");
    client.addQueryHeader(QStringLiteral("Content-Type"), QStringLiteral("application/octet-stream"));
    ASSERT_TRUE(client.doPost(big)) << client.getCurlResultString().toStdString();

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].body, "");
    EXPECT_EQ(log[0].header("Content-Length"), "0");
    EXPECT_EQ(log[1].body, Bytes(big.toUtf8()));
    EXPECT_FALSE(log[1].hasHeader("Expect"));
}

TEST_F(ClientTest, MultipartUploadDeliversEveryPartExactly) {
    standIn.route("POST", "/upload", [](const RecordedRequest&) { return Reply("{\"errno\":0}"); });
    const QByteArray data = PatternBytes(1536 * 1024 + 7, 1);
    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/upload"));
    client.addQueryParam("tid", "t-1");
    client.addQueryParamFile("file", "file.dat", data.constData(), data.size(), "");
    client.addQueryParamFile("typed", "a.txt", "hi", 2, "text/plain");
    client.addQueryParamFile("empty", "none.bin", nullptr, 0, "");
    ASSERT_TRUE(client.doUploadMultipartData()) << client.getCurlResultString().toStdString();
    EXPECT_EQ(client.responseBody(), QByteArray("{\"errno\":0}"));

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].header("Content-Type").rfind("multipart/form-data", 0), 0u);
    EXPECT_FALSE(log[0].hasHeader("Expect"));
    const FormPart* file = log[0].part("file");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->filename, "file.dat");
    EXPECT_TRUE(file->content == Bytes(data)) << "part of " << file->content.size() << " bytes differs";
    const FormPart* tid = log[0].part("tid");
    ASSERT_NE(tid, nullptr);
    EXPECT_EQ(tid->content, "t-1");
    EXPECT_EQ(tid->filename, "");
    const FormPart* typed = log[0].part("typed");
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->contentType, "text/plain");
    EXPECT_EQ(typed->content, "hi");
    const FormPart* empty = log[0].part("empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->filename, "none.bin");
    EXPECT_EQ(empty->content, "");
}

TEST_F(ClientTest, DownloadToFileHoldsExactlyTheServedBytes) {
    const QByteArray served = PatternBytes(300000, 2);
    standIn.route("GET", "/block", [&served](const RecordedRequest&) {
        return Reply(Bytes(served), "application/octet-stream");
    });
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    ASSERT_TRUE(WriteFile(path, QByteArray(400000, 'j'))); // longer than the reply: must not survive

    NetworkClient client(0);
    client.setOutputFile(path);
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/block")))
        << client.getCurlResultString().toStdString();
    EXPECT_TRUE(ReadFile(path) == served);
    EXPECT_TRUE(client.responseBody().isEmpty());

    // The output file belongs to one verb: the next one collects the body in memory.
    ASSERT_TRUE(client.doGet(QString()));
    EXPECT_TRUE(client.responseBody() == served);
    EXPECT_TRUE(ReadFile(path) == served);
}

TEST_F(ClientTest, ResponseHeadersParse) {
    standIn.route("GET", "/headers", [](const RecordedRequest&) {
        StandInReply reply = Reply("{}");
        reply.headers = {{"X-Time", "Tue, 10:20:30"}, {"X-Padded", "  v  "}};
        return reply;
    });
    NetworkClient client(0);
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/headers")));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("X-Time")), QStringLiteral("Tue, 10:20:30"));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("X-Padded")), QStringLiteral("v"));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("x-time")), QString()); // names are exact
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("Content-Type")),
              QStringLiteral("application/json"));
    EXPECT_TRUE(client.responseHeaderText().startsWith("HTTP/1.1 200"));

    bool found = false;
    for (int i = 0; i < client.responseHeaderCount(); ++i) {
        QString name;
        const QString value = client.responseHeaderByIndex(i, name);
        EXPECT_FALSE(name.isEmpty());
        if (name == QLatin1String("X-Time")) {
            found = true;
            EXPECT_EQ(value, QStringLiteral("Tue, 10:20:30"));
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(ClientTest, HeaderLookupReadsTheFinalResponseOfARedirect) {
    standIn.route("GET", "/old", [](const RecordedRequest&) {
        StandInReply reply = Reply("moved", "text/plain");
        reply.status = 302;
        reply.headers = {{"Location", "/new"}, {"X-Step", "first"}};
        return reply;
    });
    standIn.route("GET", "/new", [](const RecordedRequest&) {
        StandInReply reply = Reply("new", "text/plain");
        reply.headers = {{"X-Step", "final"}};
        return reply;
    });
    NetworkClient client(0);
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/old")));
    EXPECT_EQ(client.responseCode(), 200);
    EXPECT_EQ(client.responseBody(), QByteArray("new"));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("X-Step")), QStringLiteral("final"));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("Location")), QString());
    // The raw text keeps both blocks, in arrival order.
    const QByteArray text = client.responseHeaderText();
    EXPECT_LT(text.indexOf("X-Step: first"), text.indexOf("X-Step: final"));
}

int RecordUpload(void* user, qint64, qint64, qint64 ulTotal, qint64 ulNow) {
    auto* seen = static_cast<std::pair<qint64, qint64>*>(user);
    seen->first = ulTotal;
    seen->second = std::max(seen->second, ulNow);
    return 0;
}

TEST_F(ClientTest, UploadSendsTheChunkOrTheText) {
    standIn.route("*", "/put", [](const RecordedRequest&) { return Reply("{}"); });
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    const QString path = dir.filePath(QStringLiteral("source.bin"));
    const QByteArray data = PatternBytes(100000, 3);
    ASSERT_TRUE(WriteFile(path, data));

    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/put"));
    std::pair<qint64, qint64> seen{0, 0};
    client.setProgressCallback(&RecordUpload, &seen);
    client.setChunkOffset(1000);
    client.setChunkSize(5000);
    ASSERT_TRUE(client.doUpload(path, QString())) << client.getCurlResultString().toStdString();
    // Progress counts in the whole file: offset of the chunk plus what was sent of it.
    EXPECT_EQ(seen.first, 100000);
    EXPECT_EQ(seen.second, 6000);

    ASSERT_TRUE(client.doUpload(QString(), QStringLiteral("h\u00e9llo")));
    client.setMethod(QStringLiteral("PUT"));
    ASSERT_TRUE(client.doUpload(QString(), QStringLiteral("put body")));

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_TRUE(log[0].body == Bytes(data.mid(1000, 5000)));
    EXPECT_EQ(log[0].header("Content-Length"), "5000");
    EXPECT_EQ(log[1].body, "h\xc3\xa9llo");
    EXPECT_EQ(log[1].header("Content-Length"), "6");
    EXPECT_EQ(log[2].method, "PUT");
    EXPECT_EQ(log[2].body, "put body");
}

TEST_F(ClientTest, UploadThatCannotBeSentWholeFailsWithoutARequest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    const QString path = dir.filePath(QStringLiteral("small.bin"));
    ASSERT_TRUE(WriteFile(path, QByteArray(100, 's')));
    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/put"));
    EXPECT_FALSE(client.doUpload(dir.filePath(QStringLiteral("missing.bin")), QString()));
    client.setChunkOffset(50);
    client.setChunkSize(51);
    EXPECT_FALSE(client.doUpload(path, QString()));
    EXPECT_EQ(standIn.requestCount(), 0);
}

TEST_F(ClientTest, RequestHeadersAndMethodsBelongToOneVerb) {
    standIn.route("*", "/h", [](const RecordedRequest&) { return Reply("{}"); });
    NetworkClient client(0);
    client.setUrl(Url(standIn, Listener::Primary, "/h"));
    client.setUserAgent(QStringLiteral("nimbo/1.0"));
    client.addQueryHeader(QStringLiteral("X-One"), QStringLiteral("1"));
    client.addQueryHeader(QStringLiteral("Cookie"), QStringLiteral("qid=7; t=a%2Bb; "));
    client.addQueryHeader(QStringLiteral("Accept"), QString()); // an empty value removes the header
    client.setMethod(QStringLiteral("DELETE"));
    ASSERT_TRUE(client.doGet(QString()));
    ASSERT_TRUE(client.doGet(QString()));

    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].method, "DELETE");
    EXPECT_EQ(log[0].header("X-One"), "1");
    EXPECT_FALSE(log[0].hasHeader("Accept"));
    EXPECT_EQ(log[0].cookie("qid"), "7");
    EXPECT_EQ(log[0].cookie("t"), "a+b");
    EXPECT_EQ(log[0].header("User-Agent"), "nimbo/1.0");
    EXPECT_EQ(log[1].method, "GET");
    EXPECT_FALSE(log[1].hasHeader("X-One"));
    EXPECT_FALSE(log[1].hasHeader("Cookie"));
    EXPECT_EQ(log[1].header("User-Agent"), "nimbo/1.0"); // the user agent stays
}

int AbortOnFirstBytes(void* user, qint64, qint64 dlNow, qint64, qint64) {
    ++*static_cast<int*>(user);
    return dlNow > 0 ? 1 : 0;
}

TEST_F(ClientTest, AbortByProgressCallbackIsNotRetried) {
    const QByteArray big = PatternBytes(8 * 1024 * 1024, 4);
    standIn.route("GET", "/big",
                  [&big](const RecordedRequest&) { return Reply(Bytes(big), "application/octet-stream"); });
    NetworkClient client(-1);
    int calls = 0;
    client.setProgressCallback(&AbortOnFirstBytes, &calls);
    EXPECT_FALSE(client.doGet(Url(standIn, Listener::Primary, "/big")));
    EXPECT_EQ(client.getCurlResult(), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(standIn.requestCount(), 1);
    EXPECT_EQ(client.curRetry(), 0);
}

TEST_F(ClientTest, LocalWriteErrorIsNotRetried) {
    standIn.route("GET", "/data", [](const RecordedRequest&) { return Reply("payload", "text/plain"); });
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    NetworkClient client(-1);
    client.setOutputFile(dir.filePath(QStringLiteral("no/such/folder/out.bin")));
    EXPECT_FALSE(client.doGet(Url(standIn, Listener::Primary, "/data")));
    EXPECT_EQ(client.getCurlResult(), CURLE_WRITE_ERROR);
    EXPECT_EQ(standIn.requestCount(), 1);
}

TEST_F(ClientTest, UninitializeStopsExistingClientsOnly) {
    standIn.route("GET", "/ping", [](const RecordedRequest&) { return Reply("pong", "text/plain"); });
    NetworkClient before(0);
    NetworkClient::Uninitialize();
    EXPECT_FALSE(before.doGet(Url(standIn, Listener::Primary, "/ping")));
    EXPECT_EQ(standIn.requestCount(), 0);

    NetworkClient after(0);
    ASSERT_TRUE(after.doGet(Url(standIn, Listener::Primary, "/ping")));
    EXPECT_EQ(after.responseBody(), QByteArray("pong"));
    EXPECT_EQ(standIn.requestCount(), 1);
}

// A reply past one of its bounds ends as a local write error: not retried, nothing of it kept.
struct BoundRow {
    const char* name;
    int bodyBytes;
    int floodHeaders; // headers of 1000 bytes each
    bool toFile;      // into a file announced at 1000 bytes, else into memory bounded at 1000
    bool ok;
};

class BoundTest : public StandInTest, public ::testing::WithParamInterface<BoundRow> {};

TEST_P(BoundTest, AReplyPastItsBoundFailsCleanly) {
    const BoundRow& row = GetParam();
    standIn.route("GET", "/reply", [&row](const RecordedRequest&) {
        StandInReply reply = Reply(std::string(size_t(row.bodyBytes), 'b'), "application/octet-stream");
        for (int i = 0; i < row.floodHeaders; ++i)
            reply.headers.emplace_back("X-Flood-" + std::to_string(i), std::string(1000, 'h'));
        return reply;
    });
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid()) << dir.errorString().toStdString();
    NetworkClient client(-1);
    client.setReplyLimit(1000);
    if (row.toFile)
        client.setOutputFile(dir.filePath(QStringLiteral("out.bin")), 1000);
    const bool ok = client.doGet(Url(standIn, Listener::Primary, "/reply"));
    EXPECT_EQ(standIn.requestCount(), 1);
    if (row.ok) {
        EXPECT_TRUE(ok) << client.errorString().toStdString();
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(client.getCurlResult(), CURLE_WRITE_ERROR);
    EXPECT_TRUE(client.errorString().startsWith(QLatin1String("reply too large")))
        << client.errorString().toStdString();
    EXPECT_TRUE(client.responseBody().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Bounds, BoundTest,
                         ::testing::Values(BoundRow{"BodyAtItsLimit", 1000, 0, false, true},
                                           BoundRow{"BodyOverItsLimit", 1001, 0, false, false},
                                           BoundRow{"FileAtItsAnnouncedSize", 1000, 0, true, true},
                                           BoundRow{"FileOverItsAnnouncedSize", 1001, 0, true, false},
                                           BoundRow{"HeaderFlood", 10, 300, false, false}),
                         [](const ::testing::TestParamInfo<BoundRow>& info) { return info.param.name; });

// A block comes slowly but steadily: past the total time-out that ends any other transfer, and
// still cut off when it stalls.
TEST_F(ClientTest, BlockTransfersEndOnlyWhenTheyStall) {
    const QByteArray data = PatternBytes(8 * 1024, 6);
    standIn.route("GET", "/block",
                  [&data](const RecordedRequest&) { return Reply(Bytes(data), "application/octet-stream"); });
    FaultRule trickle; // at least 7 x 150 ms, far past the 500 ms time-out
    trickle.path = "/block";
    trickle.fault.kind = FaultKind::Trickle;
    trickle.fault.pieceBytes = 1024;
    trickle.fault.delayMs = 150;
    standIn.addFault(trickle);
    FaultRule stall;
    stall.path = "/stall";
    stall.fault.kind = FaultKind::Delay;
    stall.fault.delayMs = 120000;
    standIn.addFault(stall);
    const QString url = Url(standIn, Listener::Primary, "/block");

    NetworkClient plain(0);
    plain.setTimeouts(500, 10000);
    EXPECT_FALSE(plain.doGet(url));
    EXPECT_EQ(plain.getCurlResult(), CURLE_OPERATION_TIMEDOUT);

    // With the blocks' own low-speed rule (1 KiB/s for 60 s; the trickle runs at several KiB/s). A
    // window of a few seconds would count a loaded machine's pauses (the first byte, a piece's
    // thread not run) as a stall: libcurl measures it on the wall clock.
    NetworkClient block(0);
    block.setTimeouts(500, 10000);
    block.setBlockTransfer();
    ASSERT_TRUE(block.doGet(url)) << block.getCurlResultString().toStdString();
    EXPECT_TRUE(block.responseBody() == data);

    NetworkClient stalled(0);
    stalled.setBlockTransfer(100, 1);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(stalled.doGet(Url(standIn, Listener::Primary, "/stall")));
    EXPECT_EQ(stalled.getCurlResult(), CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(timer.elapsed(), 60000);
}

// Fresh clients, one per request as the registry makes them, share one connection to a host:
// no TCP or TLS handshake per request.
class KeepAliveTest : public StandInTest, public ::testing::WithParamInterface<Listener> {
protected:
    StandInOptions options() const override {
        StandInOptions result;
        result.tls = TlsMode::TestCa;
        result.keepAliveRequests = 1000;
        return result;
    }
};

TEST_P(KeepAliveTest, TwentyFreshClientsUseOneConnection) {
    standIn.route("GET", "/ping", [](const RecordedRequest&) { return Reply("pong", "text/plain"); });
    for (int i = 0; i < 20; ++i) {
        NetworkClient client(-1);
        client.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(standIn.caFile()));
        ASSERT_TRUE(client.doGet(Url(standIn, GetParam(), "/ping"))) << client.errorString().toStdString();
    }
    EXPECT_EQ(standIn.requestCount(), 20);
    EXPECT_EQ(standIn.connectionCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Schemes, KeepAliveTest, ::testing::Values(Listener::Primary, Listener::Tls),
                         [](const ::testing::TestParamInfo<Listener>& info) {
                             return info.param == Listener::Tls ? "Https" : "Http";
                         });

class KeepAliveApiTest : public ApiTest {
protected:
    StandInOptions options() const override {
        StandInOptions result;
        result.keepAliveRequests = 1000;
        return result;
    }
};

TEST_F(KeepAliveApiTest, RequestsOfTheRegistryUseOneConnection) {
    UseStandInAsApiHost();
    api->setAnswer("Incr.getBgsp", ApiAnswer::Data("{\"bgsp\":\"b1\"}"));
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(QCRequestCommon::GetInstance()->DoGetBgsp(), 0u);
    EXPECT_EQ(api->calls("Incr.getBgsp").size(), 20u);
    EXPECT_EQ(standIn.connectionCount(), 1);
    for (const RecordedRequest& request : standIn.requests())
        EXPECT_FALSE(request.hasHeader("Connection")) << request.header("Connection");
}

using BlockBuilderTest = ApiTest;

TEST_F(BlockBuilderTest, ABlockReplyIsBoundedByItsBlockSize) {
    const QString host = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    const qint64 bound = 1000 + NetworkClient::kBlockReplySlack;
    for (const qint64 size : {bound, bound + 1}) {
        standIn.route("GET", "/intf.php", [size](const RecordedRequest&) {
            return Reply(std::string(size_t(size), 'b'), "application/octet-stream");
        });
        DL_DATA_REQ request;
        request.bhash = QStringLiteral("h");
        request.block_size = 1000;
        unsigned int unused = 0;
        const unsigned int id =
            QCRequestCommon::GetInstance()->DoDownloadBlock(request, host, QString(), false, unused, false);
        const QSharedPointer<NetworkClient> client = QCRequestCommon::GetInstance()->GetRequestByID(id);
        ASSERT_TRUE(client);
        EXPECT_EQ(client->doGet(QString()), size == bound) << size;
    }
    EXPECT_EQ(standIn.requestCount(), 2);
}

// With debug lines on, neither the cookie that goes out nor the secrets of a login reply show.
TEST_F(ClientTest, DebugLinesCarryNoSecrets) {
    standIn.route("GET", "/login", [](const RecordedRequest&) {
        return Reply("{\"errno\":0,\"data\":{\"qid\":\"7\",\"token\":\"tok-REPLY\",\"key\":\"key-REPLY\","
                     "\"iv\":\"iv-REPLY\"}}");
    });
    DebugCapture capture;
    NetworkClient client(0);
    client.addQueryHeader(QStringLiteral("Cookie"), QStringLiteral("token=tok-SENT; q=q-SENT; t=t-SENT; "));
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/login")));
    QCRequestCommon::DispatchReply(CMD::Login, 1, client.responseBody(), 0, 0, 0); // no engine: dropped

    EXPECT_EQ(capture.lines(QStringLiteral("[header] Cookie: token=***; q=***; t=***;")).size(), 1);
    EXPECT_EQ(capture.lines(QStringLiteral("[response] ")).size(), 1);
    for (const QString& line : capture.lines(QString()))
        EXPECT_FALSE(line.contains(QLatin1String("-SENT")) || line.contains(QLatin1String("-REPLY")))
            << line.toStdString();
}

struct RedactRow {
    const char* name;
    const char* text;
    const char* expected;
};

class RedactTest : public ::testing::TestWithParam<RedactRow> {};

TEST_P(RedactTest, MasksOnlyTheSecrets) {
    EXPECT_EQ(RedactForLog(GetParam().text), QByteArray(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RedactTest,
    ::testing::Values(
        RedactRow{"CookieLine", "Cookie: token=a; q=u=4&n=x; t=T", "Cookie: token=***; q=***; t=***"},
        RedactRow{"SetCookieInAnyCase", "HTTP/1.1 200 OK\r\nset-cookie: sid=abc; Path=/\r\nX-A: token=1\r\n",
                  "HTTP/1.1 200 OK\r\nset-cookie: sid=***; Path=***\r\nX-A: token=1\r\n"},
        RedactRow{"JsonMembers", R"({"token": "t\"x", "key":12,"iv" : "v","pwd":null,"qid":"7"})",
                  R"({"token": "***", "key":"***","iv" : "***","pwd":"***","qid":"7"})"},
        RedactRow{"NameInsideAString", R"({"errmsg":"bad \"token\": x","n":1})",
                  R"({"errmsg":"bad \"token\": x","n":1})"},
        RedactRow{"NestedObject", R"({"key":{"token":"t"}})", R"({"key":{"token":"***"}})"},
        RedactRow{"ParadArgument", "[retry] 2 https://h:1/api.php?parad=a%2Bb%3D&from=pcc_sarn x?parad=c",
                  "[retry] 2 https://h:1/api.php?parad=***&from=pcc_sarn x?parad=***"},
        RedactRow{"ParadInsideAnotherName", "/a?xparad=1&parad=2 end", "/a?xparad=1&parad=*** end"}),
    [](const ::testing::TestParamInfo<RedactRow>& info) { return info.param.name; });

bool RefuseAll(const struct sockaddr*) {
    return false;
}

TEST_F(ClientTest, ConnectGuardDecidesEveryConnection) {
    NetworkClient::SetConnectGuard(&RefuseAll);
    NetworkClient client(0);
    const bool ok = client.doGet(Url(standIn, Listener::Primary, "/ping"));
    InstallLoopbackGuard();
    EXPECT_FALSE(ok);
    EXPECT_EQ(client.getCurlResult(), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(standIn.requestCount(), 0);
}

TEST(LoopbackTest, OnlyLoopbackAddressesPass) {
    auto v4 = [](const char* text) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, text, &address.sin_addr);
        return IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&address));
    };
    auto v6 = [](const char* text) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &address.sin6_addr);
        return IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&address));
    };
    EXPECT_TRUE(v4("127.0.0.1"));
    EXPECT_TRUE(v4("127.0.0.2"));
    EXPECT_FALSE(v4("128.0.0.1"));
    EXPECT_FALSE(v4("10.0.0.1"));
    EXPECT_TRUE(v6("::1"));
    EXPECT_TRUE(v6("::ffff:127.0.0.1"));
    EXPECT_FALSE(v6("::ffff:192.168.0.1"));
    EXPECT_FALSE(v6("fe80::1"));
    EXPECT_FALSE(IsLoopbackAddress(nullptr));
}

} // namespace

namespace {

using StandInFaultTest = StandInTest;

TEST_F(StandInFaultTest, RulesApplyByPathAndRequestCount) {
    standIn.route("GET", "/a", [](const RecordedRequest&) { return StandInTest::Reply("{\"errno\":0}"); });
    standIn.route("GET", "/b", [](const RecordedRequest&) { return StandInTest::Reply("{\"errno\":0}"); });
    FaultRule rule;
    rule.path = "/a";
    rule.first = 2;
    rule.times = 2;
    rule.fault.kind = FaultKind::Status;
    rule.fault.status = 503;
    standIn.addFault(rule);
    FaultRule html;
    html.path = "/b";
    html.anyListener = false;
    html.listener = Listener::Secondary;
    html.fault.kind = FaultKind::NotJson;
    standIn.addFault(html);

    NetworkClient client(0);
    std::vector<long> statuses;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/a")));
        statuses.push_back(client.responseCode());
    }
    EXPECT_EQ(statuses, (std::vector<long>{200, 503, 503, 200, 200}));

    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Primary, "/b")));
    EXPECT_EQ(client.responseBody(), QByteArray("{\"errno\":0}"));
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Secondary, "/b")));
    EXPECT_EQ(client.responseCode(), 200);
    EXPECT_TRUE(client.responseBody().startsWith("<html>"));
    EXPECT_EQ(client.responseHeaderByName(QStringLiteral("Content-Type")), QStringLiteral("text/html"));
    EXPECT_EQ(standIn.requestCount(), 7);
}

TEST_F(StandInFaultTest, ARequestItCannotRouteIsStillLogged) {
    NetworkClient client(0);
    client.addQueryHeader(QStringLiteral("Cookie"), QStringLiteral("a=1%3B2; b=x+y; "));
    ASSERT_TRUE(client.doGet(Url(standIn, Listener::Secondary, "/nowhere?x=%2B+")));
    EXPECT_EQ(client.responseCode(), 404);
    const std::vector<RecordedRequest> log = standIn.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].listener, Listener::Secondary);
    EXPECT_EQ(log[0].path, "/nowhere");
    EXPECT_EQ(log[0].query, "x=%2B+");
    EXPECT_EQ(log[0].queryArg("x"), "+ ");
    // Cookie values as the client encoded them, decoded as the service would.
    EXPECT_EQ(log[0].header("Cookie"), "a=1%3B2; b=x+y;");
    EXPECT_EQ(log[0].cookie("a"), "1;2");
    EXPECT_EQ(log[0].cookie("b"), "x y");
}

} // namespace
