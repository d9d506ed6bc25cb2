#include "support/StandInLogin.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

void AddStandInUser(StandInApi& api, bool member) {
    StandInUser user;
    user.qid = "u1";
    user.q = "a";
    user.t = "b";
    user.name = "User One";
    api.accounts().add(user);
    api.accounts().addEnterprise("u1", EnterpriseKind::Owner, {"E1", "Ent One", false});
    if (member)
        api.accounts().addEnterprise("u1", EnterpriseKind::Member, {"E2", "Ent Two", true});
}

void WriteSyncIni(const CloudStandIn& standIn, const QString& workDir) {
    QFile ini(QDir(workDir).filePath(QStringLiteral("sync.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly)) << qPrintable(ini.errorString());
    ini.write(QStringLiteral("[server]\nlogin=127.0.0.1:%1\n").arg(standIn.port(Listener::Primary)).toUtf8());
}

void ServeCoreDriver(StandInApi& api, const CloudStandIn& standIn, const QString& workDir) {
    AddStandInUser(api, false);
    WriteSyncIni(standIn, workDir);
}
