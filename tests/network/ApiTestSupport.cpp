#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"

#include <QJsonDocument>

const char kTestQ[] = "u=42&n=tester";
const char kTestT[] = "token T=value";
const char kStandInQid[] = "1001";
const char kStandInEid[] = "9001";

void ApiTest::SetUp() {
    SetResponseHandler(&engine);
    StandInTest::SetUp();
    ASSERT_TRUE(sandbox.Enter());
    g_Config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.hostLock);
        g_Config.api_host.host = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    }
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.accountLock);
        g_Config.pwd = QStringLiteral("Q=%1; T=%2;").arg(QLatin1String(kTestQ), QLatin1String(kTestT));
    }
    g_Config.SetConfigAck(GET_CONFIG_ACK());
    api = std::make_unique<StandInApi>(standIn);
    QCRequestCommon::GetInstance()->SetParam(QString(), QString(), QString());
}

void ApiTest::TearDown() {
    QCRequestCommon::GetInstance()->Clear();
    SetResponseHandler(nullptr);
    g_Config.SetConfigAck(GET_CONFIG_ACK());
    StandInTest::TearDown();
    api.reset();
    sandbox.Leave();
}

void ApiTest::UseStandInAsApiHost() {
    GET_CONFIG_ACK ack;
    ack.api.http = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    ack.api.addr_1.address = QStringLiteral("127.0.0.2:%1").arg(standIn.port(Listener::Secondary));
    g_Config.SetConfigAck(ack);
}

QJsonObject ApiTest::LogInToStandIn() {
    StandInUser user;
    user.qid = kStandInQid;
    user.q = kTestQ;
    user.t = kTestT;
    api->accounts().add(user);
    api->accounts().addEnterprise(kStandInQid, EnterpriseKind::Owner, {kStandInEid, "Own", false});
    api->tree().setOwner(kStandInEid, kStandInQid);
    UseStandInAsApiHost();
    {
        std::unique_lock<std::shared_mutex> lock(g_Config.accountLock);
        g_Config.qid = QLatin1String(kStandInQid);
        g_Config.eid = QLatin1String(kStandInEid);
    }
    QCRequestCommon* requests = QCRequestCommon::GetInstance();
    const unsigned int id = requests->DoLogin();
    engine.TakeProcEvents();
    const QSharedPointer<NetworkClient> client = requests->GetRequestByID(id);
    requests->CancelTask(id);
    if (!client) {
        ADD_FAILURE() << "the login request is gone";
        return QJsonObject();
    }
    const QJsonObject data =
        QJsonDocument::fromJson(client->responseBody()).object().value(QStringLiteral("data")).toObject();
    requests->SetParam(data.value(QStringLiteral("qid")).toString(), data.value(QStringLiteral("eid")).toString(),
                       data.value(QStringLiteral("token")).toString());
    EXPECT_FALSE(requests->ParamToken().isEmpty()) << client->responseBody().constData();
    return data;
}
