// The account store under one private home for the whole executable: its folder is fixed at the
// first use, so every test here shares it (test mode puts it below the sandbox's HOME whatever
// XDG_DATA_HOME says; tests read it from getConfigPath()).
#include "login/AccountProtocol.h"
#include "login/CConfigMgr.h"
#include "login/LoginStore.h"

#include "support/AppSandbox.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

class StoreSandbox : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(m_sandbox.Enter()); }
    void TearDown() override { m_sandbox.Leave(); }

private:
    AppSandbox m_sandbox;
};
::testing::Environment* const kStoreSandbox = ::testing::AddGlobalTestEnvironment(new StoreSandbox);

QString Store() {
    return CConfigMgr::getInstance()->getConfigPath();
}

QString Text(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString UserValue(CConfigMgr::request_user_key key, const QString& qid) {
    QVariant value;
    EXPECT_TRUE(CConfigMgr::getInstance()->getUserData(key, qid, value));
    return value.toString();
}

int Mode(const QString& path) {
    return int(QFileInfo(path).permissions() & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                 QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                                 QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
}

TEST(AccountStoreTest, RemembersAnAccountPrivatelyAndForgetsItsCookiesOnRemoval) {
    ASSERT_TRUE(Store().startsWith(QString::fromLocal8Bit(qgetenv("HOME"))));
    ASSERT_TRUE(Store().endsWith(QStringLiteral("/NimboOrrinSuite")));
    ASSERT_TRUE(LoginStore::LoadUserConfig(QStringLiteral("10001")));
    ASSERT_TRUE(LoginStore::SaveLoginStatus(QStringLiteral("alice"), QStringLiteral("10001"), QStringLiteral("q1%3D"),
                                            QStringLiteral("t1"), false, true));
    const QString publicFile = Store() + QStringLiteral("/publicConfig.ini");
    EXPECT_TRUE(Text(publicFile).contains(QStringLiteral("[lastlogin]\nqid=10001\n")));
    EXPECT_TRUE(Text(publicFile).contains(QStringLiteral("[alice]\nqid=10001\n")));
    EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10001"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")), QStringLiteral("q1%3D"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_T, QStringLiteral("10001")), QStringLiteral("t1"));

    // Cookies on disk: owner only.
    const int folderMode = int(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const int fileMode = int(QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(Mode(Store()), folderMode);
    EXPECT_EQ(Mode(Store() + QStringLiteral("/10001")), folderMode);
    EXPECT_EQ(Mode(publicFile), fileMode);
    EXPECT_EQ(Mode(CConfigMgr::getInstance()->getUserConfigPathFromQID(QStringLiteral("10001"))), fileMode);

    // A host replacement is no account.
    const QString host = AccountProtocol::AccountHost();
    ASSERT_TRUE(CConfigMgr::getInstance()->setPublicData(CConfigMgr::PUBLIC_HOST_IP, host, QStringLiteral("127.0.0.1:9")));
    QMap<QString, _LOGINSTATUS_> list;
    ASSERT_TRUE(LoginStore::getUserStatusList(list));
    ASSERT_EQ(list.keys(), QStringList{QStringLiteral("alice")});
    EXPECT_EQ(list[QStringLiteral("alice")].qid, QStringLiteral("10001"));
    EXPECT_TRUE(list[QStringLiteral("alice")].rememberpwd);
    EXPECT_FALSE(list[QStringLiteral("alice")].autologin);
    EXPECT_EQ(LoginStore::KRUHost(host), QStringLiteral("127.0.0.1:9"));
    EXPECT_EQ(LoginStore::KRUHost(AccountProtocol::WebLoginHost()), AccountProtocol::WebLoginHost());

    ASSERT_TRUE(LoginStore::clearSession(QStringLiteral("alice")));
    QVariant qid;
    ASSERT_TRUE(CConfigMgr::getInstance()->getPublicData(CConfigMgr::PUBLIC_ACCOUNT_QID, QStringLiteral("alice"), qid));
    EXPECT_EQ(qid.toString(), QString());
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")), QString());
    EXPECT_EQ(UserValue(CConfigMgr::USER_T, QStringLiteral("10001")), QString());
    list.clear();
    LoginStore::getUserStatusList(list);
    EXPECT_FALSE(list.contains(QStringLiteral("alice")));
}

TEST(AccountStoreTest, RefusesIdsThatCannotNameAFolder) {
    CConfigMgr* store = CConfigMgr::getInstance();
    const QString lastLogin = LoginStore::getLastLoginQID();
    for (const QString& bad : {QString(), QStringLiteral("../x"), QStringLiteral("a/b"), QStringLiteral("..")}) {
        EXPECT_FALSE(LoginStore::LoadUserConfig(bad)) << bad.toStdString();
        EXPECT_FALSE(store->init(bad));
        EXPECT_TRUE(store->getUserConfigPathFromQID(bad).isEmpty());
    }
    EXPECT_EQ(LoginStore::getLastLoginQID(), lastLogin);
    EXPECT_FALSE(QFileInfo::exists(Store() + QStringLiteral("/../x")));
    // A refused init leaves no account selected, so nothing lands in an earlier account's file.
    QVariant value;
    EXPECT_FALSE(store->setUserData(CConfigMgr::USER_Q, QStringLiteral("q")));
    EXPECT_FALSE(store->getUserData(CConfigMgr::USER_Q, value));
    EXPECT_FALSE(store->setPublicData(CConfigMgr::PUBLIC_ACCOUNT_LIST, QString(), QStringLiteral("x")));
    EXPECT_FALSE(store->getUserData(CConfigMgr::request_user_key(7), QStringLiteral("10001"), value));
}

// Names as users type them (an e-mail address, Chinese) survive the INI escaping; each account's
// choices and cookies land in its own file; a removed account comes back by signing in again.
TEST(AccountStoreTest, KeepsEachAccountApartAndListsItAgainAfterANewLogin) {
    const QString alice = QStringLiteral("alice");
    const QString bob = QStringLiteral("bob.b@example.com");
    const QString zhang = QStringLiteral("张三 2");
    ASSERT_TRUE(LoginStore::LoadUserConfig(QStringLiteral("10001")));
    ASSERT_TRUE(LoginStore::SaveLoginStatus(alice, QStringLiteral("10001"), QStringLiteral("qa"), QStringLiteral("ta"),
                                            true, true));
    ASSERT_TRUE(LoginStore::LoadUserConfig(QStringLiteral("10002")));
    ASSERT_TRUE(LoginStore::SaveLoginStatus(bob, QStringLiteral("10002"), QStringLiteral("qb"), QStringLiteral("tb"),
                                            false, false));
    ASSERT_TRUE(LoginStore::LoadUserConfig(QStringLiteral("10003")));
    ASSERT_TRUE(LoginStore::SaveLoginStatus(zhang, QStringLiteral("10003"), QStringLiteral("qz"), QStringLiteral("tz"),
                                            false, true));
    EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10003"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")), QStringLiteral("qa"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10002")), QString()); // not remembered
    EXPECT_EQ(UserValue(CConfigMgr::USER_T, QStringLiteral("10002")), QString());
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10003")), QStringLiteral("qz"));

    QMap<QString, _LOGINSTATUS_> list;
    ASSERT_TRUE(LoginStore::getUserStatusList(list));
    ASSERT_TRUE(list.contains(alice) && list.contains(bob) && list.contains(zhang)) << list.keys().join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(list[alice].autologin && list[alice].rememberpwd);
    EXPECT_EQ(list[bob].qid, QStringLiteral("10002"));
    EXPECT_FALSE(list[bob].autologin || list[bob].rememberpwd);
    EXPECT_EQ(list[zhang].qid, QStringLiteral("10003"));

    ASSERT_TRUE(LoginStore::clearSession(alice));
    list.clear();
    LoginStore::getUserStatusList(list);
    EXPECT_FALSE(list.contains(alice));
    EXPECT_TRUE(list.contains(bob));
    ASSERT_TRUE(LoginStore::LoadUserConfig(QStringLiteral("10001")));
    ASSERT_TRUE(LoginStore::SaveLoginStatus(alice, QStringLiteral("10001"), QStringLiteral("qa2"), QStringLiteral("ta2"),
                                            false, false));
    list.clear();
    LoginStore::getUserStatusList(list);
    EXPECT_EQ(list.value(alice).qid, QStringLiteral("10001"));
    EXPECT_EQ(UserValue(CConfigMgr::USER_Q, QStringLiteral("10001")), QString());
}

TEST(AccountStoreTest, WithoutThePublicFileNothingIsRememberedAndReadsLeaveTheValue) {
    CConfigMgr* store = CConfigMgr::getInstance();
    const QString publicFile = Store() + QStringLiteral("/publicConfig.ini");
    QFile::remove(publicFile);
    QMap<QString, _LOGINSTATUS_> list;
    EXPECT_TRUE(LoginStore::getUserStatusList(list));
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(LoginStore::getLastLoginQID(), QString());
    EXPECT_EQ(LoginStore::KRUHost(AccountProtocol::AccountHost()), AccountProtocol::AccountHost());
    QVariant value(QStringLiteral("kept"));
    EXPECT_FALSE(store->getPublicData(CConfigMgr::PUBLIC_LAST_LOGIN, QString(), value));
    EXPECT_FALSE(store->getUserData(CConfigMgr::USER_Q, QStringLiteral("99999"), value));
    EXPECT_EQ(value.toString(), QStringLiteral("kept"));
    // The first write makes the file, private.
    ASSERT_TRUE(store->setPublicData(CConfigMgr::PUBLIC_LAST_LOGIN, QString(), QStringLiteral("10002")));
    EXPECT_EQ(LoginStore::getLastLoginQID(), QStringLiteral("10002"));
    EXPECT_EQ(Mode(publicFile), int(QFile::ReadOwner | QFile::WriteOwner));
}

} // namespace
