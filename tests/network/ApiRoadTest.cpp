// The API road end to end against the stand-in: every reply goes through the process-response
// event, GetRequestByID, ParseResponse and CancelTask, as the engine thread does it.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct CloudNode {
    std::string nid;
    std::string pid;
    std::string name;
    bool isDir;
    unsigned long long size;
};

// The tree the stand-in serves, in two pages of the global node list.
const std::vector<CloudNode> kTree = {
    {"101", "0", "文档", true, 0},
    {"102", "101", "报告.docx", false, 5368709120ULL},
    {"103", "101", "a b.txt", false, 12},
    {"104", "0", "Photos", true, 0},
    {"105", "104", "IMG_0001.JPG", false, 2048},
};

std::string NodeJson(const CloudNode& node) {
    return "{\"nid\":" + StandInApi::JsonString(node.nid) + ",\"pid\":" + StandInApi::JsonString(node.pid) +
           ",\"name\":" + StandInApi::JsonString(node.name) + ",\"type\":" + (node.isDir ? "1" : "0") +
           ",\"count_size\":\"" + std::to_string(node.size) + "\",\"version\":1,\"nv\":2}";
}

// A page of the tree from `first` to before `last`, with the cursor of the page that follows.
std::string Page(size_t first, size_t last, const std::string& next) {
    std::string list;
    for (size_t i = first; i < last; ++i)
        list += (list.empty() ? "" : ",") + NodeJson(kTree[i]);
    return "{\"ver\":3,\"total\":" + std::to_string(kTree.size()) +
           ",\"retnum\":" + std::to_string(last - first) + ",\"gsp\":" + StandInApi::JsonString(next) +
           ",\"spnid\":\"\",\"node_list\":[" + list + "]}";
}

class ApiRoadTest : public ApiTest {
protected:
    // Plays the engine thread for one announced reply: takes the event and consumes the reply.
    RecordingResponseHandler::RecordedCall Pump(int expectedCommand) {
        const auto events = engine.TakeProcEvents();
        EXPECT_EQ(events.size(), 1u);
        if (events.empty())
            return {};
        const auto [command, id] = events.front();
        EXPECT_EQ(command, expectedCommand);
        QCRequestCommon& requests = *QCRequestCommon::GetInstance();
        const QSharedPointer<NetworkClient> client = requests.GetRequestByID(id);
        EXPECT_TRUE(client);
        QCRequestCommon::ParseResponse(command, id, client);
        EXPECT_TRUE(requests.CancelTask(id));
        EXPECT_FALSE(requests.GetRequestByID(id));
        const auto calls = engine.TakeCalls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? RecordingResponseHandler::RecordedCall() : calls.front();
    }
    QCResponseCommon parser;
};

TEST_F(ApiRoadTest, ConfigurationLoginDetailsAndTwoPagesOfNodes) {
    QCRequestCommon& requests = *QCRequestCommon::GetInstance();
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.accountLock);
        g_Config.qid = QStringLiteral("1001");
        g_Config.eid.clear();
    }
    api->setAnswer("User.login",
                   ApiAnswer::Data("{\"qid\":\"1001\",\"token\":\"tok-9\",\"key\":\"k\",\"iv\":\"v\","
                                   "\"eid\": 1234567890123456789}"));
    api->setScript("User.getUserDetail", [](const RecordedRequest& request) {
        if (request.cookie("token") != "tok-9")
            return ApiAnswer::Error(2006, "token expired");
        return ApiAnswer::Data("{\"name\":\"张三\",\"count_node\":5,\"version\":3}");
    });
    api->setAnswer("Incr.getBgsp", ApiAnswer::Data("{\"bgsp\":\"b0\",\"ver\":3,\"total\":5}"));
    api->setScript("Incr.getGlobalNodes", [](const RecordedRequest& request) {
        if (request.cookie("gsp") == "b0")
            return ApiAnswer::Data(Page(0, 3, "g1"));
        if (request.cookie("gsp") == "g1")
            return ApiAnswer::Data(Page(3, kTree.size(), ""));
        return ApiAnswer::Error(3109, "bad cursor");
    });

    // Configuration: the engine keeps the reply, which names the stand-in as the API host.
    ASSERT_NE(requests.DoGetConfig(), 0u);
    auto call = Pump(CMD::GetConfig);
    ASSERT_EQ(call.name, QStringLiteral("AckGetConfig"));
    QJsonObject configData = call.data.toObject();
    g_Config.SetConfigAck(*parser.parseGetConfig(configData));
    EXPECT_EQ(g_Config.GetConfigAck().api.http,
              QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary)));

    // Login: the 19-digit enterprise id arrives whole.
    ASSERT_NE(requests.DoLogin(), 0u);
    call = Pump(CMD::Login);
    ASSERT_EQ(call.name, QStringLiteral("AckLogin"));
    EXPECT_TRUE(call.flag); // no enterprise chosen yet
    QJsonObject loginData = call.data.toObject();
    const auto login = parser.parseLogin(loginData);
    EXPECT_EQ(login->eid, QStringLiteral("1234567890123456789"));
    requests.SetParam(login->qid, login->eid, login->token);

    ASSERT_NE(requests.DoGetUserDetail(false, true), 0u);
    call = Pump(CMD::GetUserDetail);
    ASSERT_EQ(call.name, QStringLiteral("AckGetUserDetail"));
    QJsonObject detailData = call.data.toObject();
    EXPECT_EQ(parser.parseUserDetail(detailData)->name, QStringLiteral("张三"));

    ASSERT_NE(requests.DoGetBgsp(), 0u);
    call = Pump(CMD::GetBgsp);
    QJsonObject bgspData = call.data.toObject();
    const auto bgsp = parser.parseBgsp(bgspData);
    ASSERT_EQ(bgsp->bgsp, QStringLiteral("b0"));

    // Two pages of the global node list, following the cursor.
    NodeMap received;
    GLOBAL_NODES_REQ page;
    page.bgsp = bgsp->bgsp;
    page.gsp = bgsp->bgsp;
    page.count = 3;
    for (int pages = 0; pages < 2; ++pages) {
        ASSERT_NE(requests.DoGetGlobalNodes(page), 0u);
        call = Pump(CMD::GetGlobalNodes);
        ASSERT_EQ(call.name, QStringLiteral("AckGetGlobalNodes"));
        EXPECT_EQ(call.count, 3u);
        QJsonObject nodesData = call.data.toObject();
        const auto ack = parser.parseGlobalNode(nodesData);
        EXPECT_EQ(ack->bad_nodes, 0u);
        received.insert(ack->nodes.begin(), ack->nodes.end());
        page.gsp = ack->gsp;
    }
    EXPECT_TRUE(page.gsp.isEmpty());

    ASSERT_EQ(received.size(), kTree.size());
    for (const CloudNode& node : kTree) {
        const auto it = received.find(QString::fromStdString(node.nid));
        ASSERT_NE(it, received.end()) << node.nid;
        EXPECT_EQ(it->second.name.toStdString(), node.name);
        EXPECT_EQ(it->second.pid.toStdString(), node.pid);
        EXPECT_EQ(it->second.is_dir, node.isDir);
        EXPECT_EQ(it->second.size, node.size);
    }

    // Every request after the login carried the account, the exact enterprise id and the token.
    const auto pages = api->calls("Incr.getGlobalNodes");
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[1].queryArg("qid"), "1001");
    EXPECT_EQ(pages[1].queryArg("eid"), "1234567890123456789");
    EXPECT_EQ(pages[1].cookie("token"), "tok-9");
    EXPECT_EQ(pages[1].cookie("gsp"), "g1");
    EXPECT_TRUE(engine.TakeCalls().empty());
}

} // namespace
