#include "support/StandInPair.h"

#include "support/Loopback.h"
#include "support/StandInDemo.h"
#include "support/StandInLogin.h"

#include "login/AccountProtocol.h"
#include "login/CConfigMgr.h"
#include "network/NetworkClient.h"

#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>

void StandInPair::Start(TlsMode identityTls) {
    NetworkClient::SetConnectGuard([](const struct sockaddr* address) { return IsLoopbackAddress(address); });
    ASSERT_TRUE(cloud.Start()) << cloud.errorText();
    StandInOptions tls;
    tls.tls = identityTls;
    ASSERT_TRUE(identityServer.Start(tls)) << identityServer.errorText();
    m_started = true;
    api = std::make_unique<StandInApi>(cloud);
    identity = std::make_unique<StandInIdentity>(identityServer);
    StandInApi* cloudApi = api.get();
    identity->setIssueObserver([this, cloudApi](const std::string& qid, const std::string& q, const std::string& t) {
        AddIssuedAccount(cloudApi->accounts(), qid, q, t, onlineService);
    });

    ASSERT_TRUE(sandbox.Enter());
    WriteSyncIni(cloud, sandbox.work.path());
    CConfigMgr::getInstance()->RelocateForTests();
    ASSERT_TRUE(Store().startsWith(sandbox.home.path())) << qPrintable(Store());
    ASSERT_TRUE(CConfigMgr::getInstance()->setPublicData(
        CConfigMgr::PUBLIC_HOST_IP, AccountProtocol::AccountHost(), QString::fromStdString(identity->hostReplacement())));
    qputenv("NIMBO_CA_FILE", QFile::encodeName(QString::fromStdString(identityServer.caFile())));
}

void StandInPair::Stop() {
    if (!m_started)
        return;
    m_started = false;
    qunsetenv("NIMBO_CA_FILE");
    sandbox.Leave();
    identityServer.Stop();
    cloud.Stop();
}

QString StandInPair::Store() const {
    return CConfigMgr::getInstance()->getConfigPath();
}

QStringList StandInPair::FilesOutsideStore() const {
    QStringList outside;
    const QString store = Store() + QLatin1Char('/');
    QDirIterator files(sandbox.home.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        if (!file.startsWith(store))
            outside << file;
    }
    return outside;
}
