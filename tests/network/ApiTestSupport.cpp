#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"

const char kTestQ[] = "u=42&n=tester";
const char kTestT[] = "token T=value";

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
