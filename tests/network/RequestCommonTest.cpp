#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

// The "errno" of the reply a registered request received.
int ReplyErrno(unsigned int id) {
    const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
    if (!client)
        return -1;
    return QJsonDocument::fromJson(client->responseBody()).object().value(QStringLiteral("errno")).toInt(-1);
}

std::string Std(const QString& text) {
    return text.toStdString();
}

using RequestCommonTest = ApiTest;

TEST_F(RequestCommonTest, GetConfigReachesTheStandInAndTheEngine) {
    const unsigned int id = Requests().DoGetConfig();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(engine.TakeProcEvents(), (std::vector<std::pair<int, unsigned int>>{{CMD::GetConfig, id}}));
    EXPECT_EQ(ReplyErrno(id), 0); // the stand-in accepted the signature

    const auto calls = api->calls("User.getConfig");
    ASSERT_EQ(calls.size(), 1u);
    const RecordedRequest& request = calls.front();
    EXPECT_EQ(request.path, "/intf.php");
    EXPECT_EQ(request.queryArg("devtype"), "ecs_linux");
    EXPECT_EQ(request.queryArg("pid"), "home");
    EXPECT_EQ(request.queryArg("ofmt"), "json");
    EXPECT_FALSE(request.queryArg("sign").empty());
    EXPECT_FALSE(request.queryArg("rtick").empty());
    EXPECT_EQ(request.header("User-Agent"), "ecs_linux/" + Std(g_Config.v));
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(standIn.port(Listener::Primary)));
    EXPECT_EQ(request.header("X-VARLO-HOST"), request.header("Host"));
    EXPECT_EQ(request.cookie("q"), kTestQ);
    EXPECT_EQ(request.cookie("t"), kTestT);
    EXPECT_TRUE(request.cookie("token").empty()); // the configuration request carries no token
    EXPECT_FALSE(request.hasHeader("Expect"));
}

TEST_F(RequestCommonTest, ApiRequestsNeedAConfigurationReply) {
    EXPECT_EQ(Requests().DoGetBgsp(), 0u); // no host yet: nothing is sent
    EXPECT_EQ(standIn.requestCount(), 0);
    EXPECT_TRUE(engine.TakeProcEvents().empty());

    UseStandInAsApiHost();
    api->setAnswer("Incr.getBgsp", ApiAnswer::Data("{\"bgsp\":\"b1\"}"));
    const unsigned int id = Requests().DoGetBgsp();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(engine.TakeProcEvents(), (std::vector<std::pair<int, unsigned int>>{{CMD::GetBgsp, id}}));
}

TEST_F(RequestCommonTest, ABadSignatureIsRefusedByTheStandIn) {
    UseStandInAsApiHost();
    Requests().SetParam(QStringLiteral("7"), QStringLiteral("9"), QStringLiteral("tok"));
    QCSignRequest params;
    const unsigned int id = Requests().CreateRequestInstance(CMD::GetBgsp, params);
    const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
    ASSERT_TRUE(client);
    QString url = client->currentUrl();
    url.replace(QStringLiteral("qid=7&"), QStringLiteral("qid=8&")); // the signature no longer fits
    ASSERT_TRUE(client->doGet(url));
    EXPECT_EQ(ReplyErrno(id), kStandInBadSign);
}

TEST_F(RequestCommonTest, CopyLeavesOnlyTheNewNameInItsRecord) {
    UseStandInAsApiHost();
    RENAME_REQ request;
    request.old_path = QStringLiteral("/a.txt");
    request.new_path = QStringLiteral("/x/y/b.txt");
    request.owner_qid = QStringLiteral("5");
    request.new_qid = QStringLiteral("6");
    ASSERT_NE(Requests().DoCopy(request), 0u);
    EXPECT_EQ(request.new_path, QStringLiteral("b.txt"));
    const auto calls = api->calls("File.copyFile");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cookie("dest"), "/x/y/");
    EXPECT_EQ(calls[0].cookie("owner_qid"), "5");
    EXPECT_EQ(calls[0].cookie("new_qid"), "6");
}

TEST_F(RequestCommonTest, UploadBlockArrivesAsMultipart) {
    QByteArray bytes = PatternBytes(70000, 3);
    UP_BLOCK_REQ request;
    request.tid = QStringLiteral("tid-1");
    request.bhash = QStringLiteral("bh");
    request.bsize = 524288;
    request.bidx = 2;
    request.boffset = 524288;
    request.data = bytes.constData();
    request.data_len = quint32(bytes.size());
    request.compressed = true;
    unsigned int unused = 0;
    const QString host = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    api->setAnswer("Upload.block", ApiAnswer::Data("{}"));
    const unsigned int id = Requests().DoUploadBlock(request, host, QString(), unused, false);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(standIn.requestCount(), 0); // registered, not sent
    bytes[0] = 'X';                       // the client keeps its own copy of the block
    const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->doUploadMultipartData());
    EXPECT_EQ(ReplyErrno(id), 0);

    const auto calls = api->calls("Upload.block");
    ASSERT_EQ(calls.size(), 1u);
    const FormPart* part = calls[0].part("file");
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->filename, "file.dat");
    QByteArray original = PatternBytes(70000, 3);
    EXPECT_EQ(part->content, original.toStdString());
    EXPECT_EQ(calls[0].cookie("tid"), "tid-1");
    EXPECT_EQ(calls[0].cookie("bidx"), "2");
    EXPECT_EQ(calls[0].cookie("boffset"), "524288");
    EXPECT_EQ(calls[0].cookie("compress"), "1");
    EXPECT_EQ(calls[0].cookie("compress_size"), "70000");
    EXPECT_NE(calls[0].header("Cookie").find("token="), std::string::npos); // transfer requests carry it
}

TEST_F(RequestCommonTest, DownloadBlockAsksForEncryptionAndCompressionByTheRules) {
    const QString host = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    api->setAnswer("Download.downloadBlock", ApiAnswer::Data("{}"));
    const int savedEncrypt = g_Config.trans_encrypt;
    struct Row {
        int transEncrypt;
        bool ssl;
        bool compress;
        quint32 blockSize;
        const char* encrypt;
        const char* compressed;
    };
    const Row rows[] = {{1, false, true, 1025, "2", "1"},
                        {1, false, true, 1024, "2", ""},
                        {0, false, true, 524288, "", "1"},
                        {1, false, false, 524288, "2", ""}};
    int sent = 0;
    for (const Row& row : rows) {
        g_Config.trans_encrypt = row.transEncrypt;
        DL_DATA_REQ request;
        request.bhash = QStringLiteral("h");
        request.dt = QStringLiteral("d");
        request.app_id = QStringLiteral("cloud");
        request.block_size = row.blockSize;
        unsigned int unused = 0;
        const unsigned int id =
            Requests().DoDownloadBlock(request, host, QString(), row.compress, unused, row.ssl);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(Requests().GetRequestByID(id)->doGet(QString()));
        const auto calls = api->calls("Download.downloadBlock");
        ASSERT_EQ(int(calls.size()), ++sent);
        EXPECT_EQ(calls.back().cookie("encrypt"), row.encrypt) << row.blockSize;
        EXPECT_EQ(calls.back().cookie("compress"), row.compressed) << row.blockSize;
        EXPECT_EQ(calls.back().cookie("open_app_id"), "cloud");
    }
    g_Config.trans_encrypt = savedEncrypt;

    // Over https there is never an "encrypt": build it without sending it anywhere.
    g_Config.trans_encrypt = 1;
    DL_DATA_REQ request;
    unsigned int unused = 0;
    const unsigned int id = Requests().DoDownloadBlock(request, host, QString(), false, unused, true);
    g_Config.trans_encrypt = savedEncrypt;
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(Requests().GetRequestByID(id)->GetParam(QStringLiteral("encrypt")).isEmpty());
    EXPECT_TRUE(Requests().GetRequestByID(id)->currentUrl().startsWith(QLatin1String("https://")));
}

TEST_F(RequestCommonTest, TransferRequestsWithoutAHostAreNotBuilt) {
    UP_COMMIT_REQ commit;
    EXPECT_EQ(Requests().DoUploadCommit(commit, QString(), QStringLiteral("127.0.0.1"), false), 0u);
    EXPECT_EQ(Requests().DoUploadCommit(commit, QStringLiteral("evil/x@y"), QString(), false), 0u);
}

TEST_F(RequestCommonTest, TaskIdsAreConsecutiveAcrossThreadsAndNeverZero) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 1000;
    std::vector<std::vector<unsigned int>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kPerThread; ++i) {
                QCSignRequest params;
                ids[size_t(t)].push_back(Requests().CreateManualRequestInstance(
                    CMD::UploadCommit, params, QStringLiteral("127.0.0.1:1"), QString(), false));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::set<unsigned int> all;
    for (const auto& list : ids) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        all.insert(list.begin(), list.end());
    }
    ASSERT_EQ(all.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(all.count(0u), 0u);
    EXPECT_EQ(*all.rbegin() - *all.begin(), unsigned(kThreads * kPerThread - 1));
    for (unsigned int id : all)
        EXPECT_TRUE(Requests().GetRequestByID(id)) << id;
}

TEST_F(RequestCommonTest, ClearEndsARunningRequest) {
    UseStandInAsApiHost();
    FaultRule slow;
    slow.path = "/intf.php";
    slow.fault.kind = FaultKind::Delay;
    slow.fault.delayMs = 20000;
    standIn.addFault(slow);
    unsigned int id = 1;
    std::thread builder([&id] { id = Requests().DoGetVersion(true); });
    ASSERT_TRUE(standIn.waitForRequests(1, 10000));
    const auto started = std::chrono::steady_clock::now();
    Requests().Clear();
    builder.join();
    EXPECT_EQ(id, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(engine.TakeProcEvents().empty());
}

TEST(RequestHelpersTest, ConvertServerPathAndHostClasses) {
    EXPECT_EQ(QCRequestCommon::ConvertServerPath(QStringLiteral("/a"), true), QStringLiteral("/a/"));
    EXPECT_EQ(QCRequestCommon::ConvertServerPath(QStringLiteral("/a/"), true), QStringLiteral("/a/"));
    EXPECT_EQ(QCRequestCommon::ConvertServerPath(QString(), true), QStringLiteral("/"));
    EXPECT_EQ(QCRequestCommon::ConvertServerPath(QStringLiteral("/a"), false), QStringLiteral("/a"));
    EXPECT_EQ(QCRequestCommon::GetRequestType(CMD::GetConfig), QCRequestCommon::CONFIG_HOST);
    EXPECT_EQ(QCRequestCommon::GetRequestType(CMD::HttpsTest), QCRequestCommon::CONFIG_HOST);
    for (int command : {CMD::DownloadMeta, CMD::DownloadBlock, CMD::UploadMeta, CMD::UploadBlock,
                        CMD::UploadCommit, CMD::UploadFast})
        EXPECT_EQ(QCRequestCommon::GetRequestType(command), QCRequestCommon::TRANSFER_HOST) << command;
    for (int command : {CMD::Login, CMD::DownloadInfo, CMD::UploadInfo, CMD::UploadAdd, CMD::Copy})
        EXPECT_EQ(QCRequestCommon::GetRequestType(command), QCRequestCommon::API_HOST) << command;
    EXPECT_EQ(QCRequestCommon::MakeIntfUrl(QStringLiteral("h:1"), QStringLiteral("a=1&"), true),
              QStringLiteral("https://h:1/intf.php?a=1&"));
}

} // namespace
