#pragma once
// The fixture of the benches that run the stand-in of the service as a process of its own (so that
// its work is not the client's): it starts cloud_standin_run with the given arguments, points the
// core at it, logs its demo account in, and signs requests as the client does, for the plain
// baselines that talk to the same stand-in.
#include "support/EngineTestSupport.h"

#include "Database/ConfigRecords.h"
#include "Database/QCGlobalConfig.h"
#include "common/PathUtils.h"
#include "network/QCRequestCommon.h"
#include "network/QCSignRequest.h"
#include "sync/VUZeroz.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <curl/curl.h>

#include <string>

class StandInProcessBench : public EngineTest {
protected:
    // Starts the stand-in with `arguments` and logs in; call from SetUp.
    void StartStandIn(const QStringList& arguments) {
        EngineTest::SetUp();
        server.setProgram(QStringLiteral(NIMBO_STANDIN_RUN));
        server.setArguments(arguments);
        server.start();
        ASSERT_TRUE(server.waitForStarted(10000));
        QString banner;
        QRegularExpressionMatch primary;
        while (!(primary = QRegularExpression(QStringLiteral("primary +http://([0-9.:]+)/")).match(banner))
                    .hasMatch()) {
            ASSERT_TRUE(server.waitForReadyRead(10000)) << qPrintable(banner);
            banner += QString::fromUtf8(server.readAll());
        }
        host = primary.captured(1).toStdString();
        {
            std::unique_lock<std::shared_mutex> lock(g_Config.hostLock);
            g_Config.api_host.host = QString::fromStdString(host);
        }
        GET_CONFIG_ACK ack;
        ack.api.http = QString::fromStdString(host);
        g_Config.SetConfigAck(ack);
        VUZeroz& core = *VUZeroz::GetInstance();
        core.SetUser(QStringLiteral("1001"), QStringLiteral("Q=demo; T=demo;"), false, QString());
        core.MapSyncPath(root, QStringLiteral("/")); // the folder is the user's setting
        LogIn();
        ASSERT_TRUE(WaitStatus(4, 60000));
    }
    void TearDown() override {
        EngineTest::TearDown();
        server.terminate();
        server.waitForFinished(10000);
    }

    // The URL (on `toHost`, the stand-in's own when empty) and cookie of an API request as the
    // client signs them, for the logged-in session.
    void Sign(const QString& method, QCSignRequest params, std::string& url, std::string& cookie,
              const std::string& toHost = std::string()) {
        QCRequestCommon& requests = *QCRequestCommon::GetInstance();
        QCSignRequest common;
        common.Add(QStringLiteral("method"), method);
        url = requests.GetUrlCommon(QString::fromStdString(toHost.empty() ? host : toHost), common, false)
                  .toStdString();
        QString q;
        QString t;
        FindQTFromPwd(g_Config.Credential(), q, t);
        params.Add(QStringLiteral("token"), requests.ParamToken());
        params.Add(QStringLiteral("q"), q);
        params.Add(QStringLiteral("t"), t);
        cookie = params.GetCookies().toStdString();
    }

    // libcurl's write callback that keeps the body in the std::string it is given.
    static size_t Keep(char* data, size_t size, size_t count, void* text) {
        static_cast<std::string*>(text)->append(data, size * count);
        return size * count;
    }

    QProcess server;
    std::string host;
};
