#include "ConfigTestEnv.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUuid>

#include <gtest/gtest.h>

#include <ostream>

namespace {

// The stored text of section/key, read without the code under test; "<absent>" when missing.
QString Stored(const QString& file, const char* section, const char* key) {
    const QSettings settings(file, QSettings::IniFormat);
    const QString name = QString::fromLatin1(section) + QLatin1Char('/') + QString::fromLatin1(key);
    return settings.contains(name) ? settings.value(name).toString() : QStringLiteral("<absent>");
}

class AccountTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        if (HasFatalFailure())
            return;
        m_config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
        ASSERT_FALSE(m_config.appdata_path.isEmpty());
    }
    QString UserFolder(const QString& qid, const QString& eid) const {
        return ExpectedAppData() +
               ExpectedFolderName(QStringLiteral("USER_") + qid + QStringLiteral(" EID_") + eid) +
               QLatin1Char('/');
    }
    QString LoginFolder(const QString& qid) const {
        return ExpectedAppData() + ExpectedFolderName(QStringLiteral("USER_") + qid) + QLatin1Char('/');
    }
    QString SyncFolder(const QString& name = QStringLiteral("sync")) const { return m_home.filePath(name); }
    qint32 Settings(qint32 QCGlobalConfig::*field) const {
        std::shared_lock<std::shared_mutex> lock(m_config.settingsLock);
        return m_config.*field;
    }
    QString Eid() const {
        std::shared_lock<std::shared_mutex> lock(m_config.accountLock);
        return m_config.eid;
    }

    QCGlobalConfig m_config;
};

TEST_F(AccountTest, ChangeUserAndSaveConfigWriteTheThreeFiles) {
    m_config.ChangeUser(QStringLiteral("UserA"), 1, QStringLiteral("E1"));
    ASSERT_TRUE(m_config.SetAutoLogin(true));
    m_config.SetPwd(QStringLiteral("Q=abc; T=def;"));
    ASSERT_TRUE(m_config.SetSyncPath(SyncFolder()));

    const QString machine = ExpectedAppData() + QStringLiteral("config.ini");
    EXPECT_EQ(Stored(machine, "global", "lastqid"), QStringLiteral("UserA"));
    EXPECT_EQ(Stored(machine, "global", "lasttype"), QStringLiteral("1"));
    EXPECT_EQ(Stored(machine, "global", "lastpwd"), QStringLiteral("Q=abc; T=def;"));

    const QString login = LoginFolder(QStringLiteral("UserA")) + QStringLiteral("config.ini");
    EXPECT_EQ(m_config.GetUserQidDataPath(QStringLiteral("UserA")), LoginFolder(QStringLiteral("UserA")));
    EXPECT_EQ(Stored(login, "user", "name"), QStringLiteral("UserA"));
    EXPECT_EQ(Stored(login, "user", "type"), QStringLiteral("1"));
    EXPECT_EQ(Stored(login, "user", "pwd"), QStringLiteral("Q=abc; T=def;"));
    EXPECT_EQ(Stored(login, "user", "lasteid"), QStringLiteral("E1"));

    const QString user =
        UserFolder(QStringLiteral("UserA"), QStringLiteral("E1")) + QStringLiteral("config.ini");
    EXPECT_EQ(m_config.GetUserDataPath(QStringLiteral("UserA"), 7, QStringLiteral("E1")),
              UserFolder(QStringLiteral("UserA"), QStringLiteral("E1")));
    EXPECT_EQ(m_config.user_config_file, user);
    EXPECT_EQ(Stored(user, "user", "eid"), QStringLiteral("E1"));
    EXPECT_EQ(Stored(user, "user", "syncpath"), SyncFolder());

    // A fresh object finds it all again.
    QCGlobalConfig next;
    next.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    QString qid, credential;
    int type = 0;
    ASSERT_TRUE(next.GetLastUser(qid, credential, type));
    EXPECT_EQ(qid, QStringLiteral("UserA"));
    EXPECT_EQ(credential, QStringLiteral("Q=abc; T=def;"));
    next.ChangeUser(QStringLiteral("usera"), 1, QString());
    EXPECT_EQ(next.GetUserName(), QStringLiteral("usera"));
    EXPECT_EQ(next.GetSyncPath(), SyncFolder());
    std::shared_lock<std::shared_mutex> lock(next.accountLock);
    EXPECT_EQ(next.eid, QStringLiteral("E1")) << "user ids are compared ignoring case";
    EXPECT_EQ(next.pwd, QStringLiteral("Q=abc; T=def;"));
}

TEST_F(AccountTest, CredentialsStayOffTheDiskWithoutAutoLogin) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SetAutoLogin(false));
    m_config.SetPwd(QStringLiteral("Q=1; T=2;"));
    EXPECT_EQ(Stored(ExpectedAppData() + QStringLiteral("config.ini"), "global", "lastpwd"), QString());
    EXPECT_EQ(Stored(LoginFolder(QStringLiteral("u")) + QStringLiteral("config.ini"), "user", "pwd"),
              QString());
}

TEST_F(AccountTest, CredentialFilesAreOwnerOnly) {
    // A login file that an older version left readable to everyone is tightened too.
    const QString login = LoginFolder(QStringLiteral("u")) + QStringLiteral("config.ini");
    WriteFile(login, "[user]\nname=u\n");
    ASSERT_TRUE(QFile::setPermissions(login, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    ASSERT_TRUE(QFile::setPermissions(LoginFolder(QStringLiteral("u")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadOther | QFile::ExeOther));

    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SetAutoLogin(true));
    m_config.SetPwd(QStringLiteral("Q=1; T=2;"));
    EXPECT_EQ(ModeOf(ExpectedAppData()), QStringLiteral("700"));
    EXPECT_EQ(ModeOf(ExpectedAppData() + QStringLiteral("config.ini")), QStringLiteral("600"));
    EXPECT_EQ(ModeOf(LoginFolder(QStringLiteral("u"))), QStringLiteral("700"));
    EXPECT_EQ(ModeOf(login), QStringLiteral("600"));
    EXPECT_EQ(Stored(login, "user", "pwd"), QStringLiteral("Q=1; T=2;"));

    ASSERT_TRUE(m_config.SaveLoginProfile(QStringLiteral("pwd"), QStringLiteral("x")));
    ASSERT_TRUE(m_config.SaveGlobalProfile(QStringLiteral("lastpwd"), QStringLiteral("y")));
    EXPECT_EQ(ModeOf(login), QStringLiteral("600"));
    EXPECT_EQ(ModeOf(ExpectedAppData() + QStringLiteral("config.ini")), QStringLiteral("600"));
}

TEST_F(AccountTest, EmptyEidTakesTheLastOneOnlyFromTheSameUser) {
    const QString login = LoginFolder(QStringLiteral("usera")) + QStringLiteral("config.ini");
    WriteFile(login, "[user]\nname=USERA\nlasteid=E9\n");
    m_config.ChangeUser(QStringLiteral("UserA"), 1, QString());
    EXPECT_EQ(Eid(), QStringLiteral("E9"));
    EXPECT_EQ(m_config.user_config_file,
              UserFolder(QStringLiteral("usera"), QStringLiteral("e9")) + QStringLiteral("config.ini"));
    QString last;
    EXPECT_TRUE(m_config.IsUserConfiged(QStringLiteral("usera"), last));
    EXPECT_EQ(last, QStringLiteral("E9"));

    const QString other = LoginFolder(QStringLiteral("userb")) + QStringLiteral("config.ini");
    WriteFile(other, "[user]\nname=someone\nlasteid=E5\n");
    m_config.ChangeUser(QStringLiteral("userb"), 1, QString());
    EXPECT_TRUE(Eid().isEmpty());
    EXPECT_FALSE(m_config.IsUserConfiged(QString(), last));
}

TEST_F(AccountTest, FolderNamesIgnoreOnlyAsciiCase) {
    const QString a = m_config.GetUserDataPath(QStringLiteral("Alice"), 1, QStringLiteral("Ent"));
    EXPECT_EQ(a, m_config.GetUserDataPath(QStringLiteral("ALICE"), 2, QStringLiteral("ent")));
    EXPECT_NE(a, m_config.GetUserQidDataPath(QStringLiteral("Alice")));
    EXPECT_NE(m_config.GetUserQidDataPath(QStringLiteral("Ä")),
              m_config.GetUserQidDataPath(QStringLiteral("ä")));
    EXPECT_EQ(m_config.GetUserQidDataPath(QStringLiteral("Ä")), LoginFolder(QStringLiteral("Ä")));
    EXPECT_FALSE(QFileInfo::exists(a)) << "computing a folder does not create it";
}

struct SyncRootRow {
    const char* label;
    const char* path; // "%1" stands for the temporary home
    bool accepted;
    const char* stored;
};

void PrintTo(const SyncRootRow& row, std::ostream* os) {
    *os << row.label;
}

class SyncRootTest : public AccountTest, public ::testing::WithParamInterface<SyncRootRow> {};

TEST_P(SyncRootTest, SetSyncPath) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    const QString before = SyncFolder(QStringLiteral("before"));
    ASSERT_TRUE(m_config.SetSyncPath(before));
    const QString path = QString::fromUtf8(GetParam().path).arg(m_home.path());
    EXPECT_EQ(m_config.SetSyncPath(path), GetParam().accepted);
    const QString expected =
        GetParam().accepted ? QString::fromUtf8(GetParam().stored).arg(m_home.path()) : before;
    EXPECT_EQ(m_config.GetSyncPath(), expected);
    EXPECT_EQ(Stored(m_config.user_config_file, "user", "syncpath"), expected);
    EXPECT_TRUE(!GetParam().accepted || QFileInfo(expected).isDir());
}

INSTANTIATE_TEST_SUITE_P(Rows, SyncRootTest,
                         ::testing::Values(SyncRootRow{"plain", "%1/s", true, "%1/s"},
                                           SyncRootRow{"trailing_slashes", "%1/s//", true, "%1/s"},
                                           SyncRootRow{"trailing_backslash", "%1/s\\", true, "%1/s"},
                                           SyncRootRow{"root", "/", false, ""},
                                           SyncRootRow{"doubled_root", "//", false, ""},
                                           SyncRootRow{"dotted_root", "/.", false, ""},
                                           SyncRootRow{"empty", "", false, ""},
                                           SyncRootRow{"relative", "rel/sync", false, ""}),
                         [](const ::testing::TestParamInfo<SyncRootRow>& info) { return info.param.label; });

TEST_F(AccountTest, FirstEnterpriseMovesTheSyncFolderDown) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QString());
    ASSERT_TRUE(m_config.SetSyncPath(SyncFolder()));
    m_config.FirstSetEidConfig(QStringLiteral("E7"));
    EXPECT_EQ(Eid(), QStringLiteral("E7"));
    EXPECT_EQ(m_config.GetSyncPath(), SyncFolder() + QStringLiteral("/E7"));
    EXPECT_TRUE(QFileInfo(SyncFolder() + QStringLiteral("/E7")).isDir());
    const QString user = UserFolder(QStringLiteral("u"), QStringLiteral("E7")) + QStringLiteral("config.ini");
    EXPECT_EQ(m_config.user_config_file, user);
    EXPECT_EQ(Stored(user, "user", "eid"), QStringLiteral("E7"));
    EXPECT_EQ(Stored(user, "user", "syncpath"), SyncFolder() + QStringLiteral("/E7"));
    EXPECT_EQ(Stored(LoginFolder(QStringLiteral("u")) + QStringLiteral("config.ini"), "user", "lasteid"),
              QStringLiteral("E7"));
}

TEST_F(AccountTest, FirstEnterpriseWithoutSyncFolderMakesNothingAtTheRoot) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QString());
    const QString eid = QStringLiteral("nimbo-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_config.FirstSetEidConfig(eid);
    EXPECT_TRUE(m_config.GetSyncPath().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/") + eid));
    EXPECT_FALSE(QFileInfo::exists(WorkPath(eid)));
    EXPECT_EQ(Eid(), eid);
}

TEST_F(AccountTest, UserSettingsAreMirroredClampedAndStoredLowerCase) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    const QString user = m_config.user_config_file;

    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("tasks_up"), QStringLiteral("25")));
    EXPECT_EQ(Settings(&QCGlobalConfig::tasks_up), 20);
    EXPECT_EQ(Stored(user, "user", "tasks_up"), QStringLiteral("25")) << "the caller's text is stored";

    ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("TASKS_DOWN"), 7));
    EXPECT_EQ(Settings(&QCGlobalConfig::tasks_down), 7);
    EXPECT_EQ(Stored(user, "user", "tasks_down"), QStringLiteral("7"));
    EXPECT_EQ(Stored(user, "user", "TASKS_DOWN"), QStringLiteral("<absent>"));

    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("Speed_Limit_Up"), QStringLiteral("-4")));
    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("vfolder"), QStringLiteral("0")));
    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("ssl"), QStringLiteral("yes")));
    EXPECT_EQ(Settings(&QCGlobalConfig::speed_limit_up), -4);
    EXPECT_EQ(Settings(&QCGlobalConfig::vfolder), 0);
    EXPECT_EQ(Settings(&QCGlobalConfig::ssl), 0) << "a malformed number counts as 0";
    ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("tasks_down"), -2));
    EXPECT_EQ(Settings(&QCGlobalConfig::tasks_down), 0);

    // Loading again: the clamp applies to what the file holds too.
    ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("TASKS_DOWN"), 9));
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    EXPECT_EQ(Settings(&QCGlobalConfig::tasks_up), 20);
    EXPECT_EQ(Settings(&QCGlobalConfig::tasks_down), 9);
    EXPECT_EQ(Settings(&QCGlobalConfig::speed_limit_up), -4);
    EXPECT_EQ(Settings(&QCGlobalConfig::vfolder), 0);

    // Other keys keep the caller's letter case.
    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("SearchType"), QStringLiteral("search_al")));
    EXPECT_EQ(Stored(user, "user", "SearchType"), QStringLiteral("search_al"));
}

TEST_F(AccountTest, ProfileReadsAndWrites) {
    EXPECT_TRUE(m_config.ReadUserProfile(QStringLiteral("k"), QStringLiteral("d")).isEmpty())
        << "no user yet";
    EXPECT_EQ(m_config.ReadUserProfileInt(QStringLiteral("k"), 5), 0);
    EXPECT_EQ(m_config.ReadUserProfileInt64(QStringLiteral("k"), 5), 0);
    EXPECT_FALSE(m_config.SaveUserProfile(QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_FALSE(m_config.SaveLoginProfileInt(QStringLiteral("k"), 1));
    EXPECT_FALSE(m_config.SaveConfig());
    m_config.SetPwd(QStringLiteral("x"));
    QString qid, credential;
    int type = 0;
    EXPECT_FALSE(m_config.GetLastUser(qid, credential, type)) << "SetPwd without a user does nothing";

    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    EXPECT_EQ(m_config.ReadUserProfile(QStringLiteral("searchpath"), QStringLiteral("d")),
              QStringLiteral("d"));
    EXPECT_EQ(m_config.ReadUserProfileInt64(QStringLiteral("total_size"), 17), 17);
    const qint64 big = 5LL * 1024 * 1024 * 1024 * 1024;
    ASSERT_TRUE(m_config.SaveUserProfileInt64(QStringLiteral("total_size"), big));
    EXPECT_EQ(m_config.ReadUserProfileInt64(QStringLiteral("total_size"), 0), big);
    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("used_size"), QStringLiteral("lots")));
    EXPECT_EQ(m_config.ReadUserProfileInt64(QStringLiteral("used_size"), 3), 0);
    EXPECT_EQ(m_config.ReadUserProfileInt(QStringLiteral("used_size"), 3), 0);
    EXPECT_EQ(m_config.ReadUserProfile(QStringLiteral("used_size"), QString()), QStringLiteral("lots"));

    ASSERT_TRUE(m_config.SaveLoginProfileInt(QStringLiteral("n"), 4));
    EXPECT_EQ(m_config.ReadLoginProfileInt(QStringLiteral("n"), 0), 4);
    EXPECT_EQ(m_config.ReadLoginProfile(QStringLiteral("name"), QStringLiteral("d")), QStringLiteral("d"));
    ASSERT_TRUE(m_config.SaveConfig());
    EXPECT_EQ(m_config.ReadLoginProfile(QStringLiteral("name"), QString()), QStringLiteral("u"));

    ASSERT_TRUE(m_config.SaveGlobalProfileInt(QStringLiteral("window"), 3));
    EXPECT_EQ(m_config.ReadGlobalProfileInt(QStringLiteral("window"), 0), 3);
    EXPECT_EQ(m_config.ReadGlobalProfile(QStringLiteral("missing"), QStringLiteral("d")),
              QStringLiteral("d"));
}

TEST_F(AccountTest, ThumbSwitchesStayInMemory) {
    const QString machine = ExpectedAppData() + QStringLiteral("config.ini");
    EXPECT_TRUE(m_config.SaveGlobalProfileInt(QStringLiteral("THUMB"), 1));
    EXPECT_TRUE(m_config.SaveGlobalProfileInt(QStringLiteral("Thumb_Pul"), 2));
    EXPECT_TRUE(m_config.thumb);
    EXPECT_TRUE(m_config.thumb_pul);
    EXPECT_EQ(Stored(machine, "global", "thumb"), QStringLiteral("<absent>"));
    EXPECT_EQ(Stored(machine, "global", "THUMB"), QStringLiteral("<absent>"));
    EXPECT_EQ(m_config.ReadGlobalProfileInt(QStringLiteral("thumb"), 5), 5) << "reads still go to the file";
    EXPECT_TRUE(m_config.SaveGlobalProfileInt(QStringLiteral("thumb"), 0));
    EXPECT_FALSE(m_config.thumb);
}

TEST_F(AccountTest, CleanUserForgetsAllButTheLastCredential) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("tasks_up"), QStringLiteral("3")));
    m_config.SetPwd(QStringLiteral("Q=1; T=2;"));
    m_config.Uninit();
    EXPECT_TRUE(m_config.UserNotSet());
    EXPECT_TRUE(m_config.GetSyncPath().isEmpty());
    EXPECT_TRUE(m_config.user_config_file.isEmpty());
    std::shared_lock<std::shared_mutex> lock(m_config.settingsLock);
    EXPECT_TRUE(m_config.lastqid.isEmpty());
    EXPECT_EQ(m_config.tasks_up, 0);
    EXPECT_EQ(m_config.autologin, 0);
    EXPECT_EQ(m_config.lastpwd, QStringLiteral("Q=1; T=2;"));
}

TEST_F(AccountTest, DeleteUserProfileRemovesOnlyThatFile) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SaveConfig());
    EXPECT_TRUE(m_config.DeleteUserProfile(QStringLiteral("U"), 0, QStringLiteral("E")));
    EXPECT_FALSE(QFileInfo::exists(m_config.user_config_file));
    EXPECT_FALSE(m_config.DeleteUserProfile(QStringLiteral("u"), 0, QStringLiteral("e")));
}

// --- ReadConfig: the owner check of the sync folder ---

class OwnerCheckTest : public AccountTest {
protected:
    // Prepares the user "u"/"e" with a sync folder, its database with side files and the stored
    // last_sync_ok, then loads the user.
    void Prepare(const QByteArray& owner_mark, bool keep_folder) {
        m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
        ASSERT_TRUE(m_config.SetSyncPath(SyncFolder()));
        ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("last_sync_ok"), 1));
        m_folder = UserFolder(QStringLiteral("u"), QStringLiteral("e"));
        for (const char* name :
             {"filecache.db", "filecache.db-journal", "filecache.db-wal", "filecache.db-shm"})
            WriteFile(m_folder + QLatin1String(name), "db");
        // Another enterprise's database must never be touched.
        WriteFile(UserFolder(QStringLiteral("u"), QStringLiteral("other")) + QStringLiteral("filecache.db"),
                  "db");
        if (!owner_mark.isEmpty())
            WriteFile(SyncFolder() + QStringLiteral("/desktop.ini"), owner_mark);
        if (!keep_folder) {
            ASSERT_TRUE(QDir(SyncFolder()).removeRecursively());
        }
        // As at the next login.
        m_config.Init(CLOUD_DEV_TYPE::Linux, nullptr);
        m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    }
    bool DatabaseKept() const {
        for (const char* name :
             {"filecache.db", "filecache.db-journal", "filecache.db-wal", "filecache.db-shm"}) {
            if (!QFileInfo::exists(m_folder + QLatin1String(name)))
                return false;
        }
        return true;
    }
    bool DatabaseGone() const {
        for (const char* name :
             {"filecache.db", "filecache.db-journal", "filecache.db-wal", "filecache.db-shm"}) {
            if (QFileInfo::exists(m_folder + QLatin1String(name)))
                return false;
        }
        return true;
    }
    QString LastSyncOk() const { return Stored(m_config.user_config_file, "user", "last_sync_ok"); }
    bool OfflineDeleteOk() const {
        std::shared_lock<std::shared_mutex> lock(m_config.settingsLock);
        return m_config.offline_delete_ok;
    }

    QString m_folder;
};

TEST_F(OwnerCheckTest, MarkOfTheSameUserInAnyCaseKeepsTheOfflineState) {
    Prepare("[Nimbocloud]\nqid=U\n", true);
    EXPECT_EQ(LastSyncOk(), QStringLiteral("1"));
    EXPECT_TRUE(OfflineDeleteOk());
    EXPECT_TRUE(DatabaseKept());
    EXPECT_EQ(m_config.GetSyncPath(), SyncFolder());
}

TEST_F(OwnerCheckTest, MissingMarkDistrustsTheOfflineStateButKeepsTheDatabase) {
    Prepare(QByteArray(), true);
    EXPECT_EQ(LastSyncOk(), QStringLiteral("0"));
    EXPECT_FALSE(OfflineDeleteOk());
    EXPECT_TRUE(DatabaseKept());
    EXPECT_EQ(m_config.GetSyncPath(), SyncFolder());
}

TEST_F(OwnerCheckTest, MarkOfAnotherUserDistrustsTheOfflineState) {
    Prepare("[Nimbocloud]\nqid=someone\n", true);
    EXPECT_EQ(LastSyncOk(), QStringLiteral("0"));
    EXPECT_TRUE(DatabaseKept());
}

TEST_F(OwnerCheckTest, VanishedFolderTakesTheDatabaseAndItsSideFiles) {
    Prepare(QByteArray(), false);
    EXPECT_TRUE(DatabaseGone());
    EXPECT_TRUE(QFileInfo::exists(UserFolder(QStringLiteral("u"), QStringLiteral("other")) +
                                  QStringLiteral("filecache.db")));
    EXPECT_TRUE(m_config.GetSyncPath().isEmpty());
    EXPECT_EQ(LastSyncOk(), QStringLiteral("0"));
    ASSERT_TRUE(m_config.SaveConfig());
    EXPECT_EQ(Stored(m_config.user_config_file, "user", "syncpath"), QString());
}

TEST_F(OwnerCheckTest, EmptyOrRootSyncPathIsNoFolderAtAll) {
    for (const char* stored : {"", "/"}) {
        SCOPED_TRACE(stored);
        m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
        m_folder = UserFolder(QStringLiteral("u"), QStringLiteral("e"));
        ASSERT_TRUE(m_config.SaveUserProfile(QStringLiteral("syncpath"), QString::fromLatin1(stored)));
        ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("last_sync_ok"), 1));
        WriteFile(m_folder + QStringLiteral("filecache.db"), "db");
        // The working directory carries a mark of this user: it must not be taken for the folder.
        WriteFile(WorkPath(QStringLiteral("desktop.ini")), "[Nimbocloud]\nqid=u\n");
        m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
        EXPECT_TRUE(m_config.GetSyncPath().isEmpty());
        EXPECT_EQ(LastSyncOk(), QStringLiteral("0"));
        EXPECT_TRUE(QFileInfo::exists(m_folder + QStringLiteral("filecache.db")));
    }
}

TEST_F(AccountTest, NotProxySpeedBelowTenFallsBack) {
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("notproxy_speed"), 9));
    m_config.ReadConfig();
    EXPECT_EQ(Settings(&QCGlobalConfig::notproxy_speed), 170);
    ASSERT_TRUE(m_config.SaveUserProfileInt(QStringLiteral("notproxy_speed"), 10));
    m_config.ReadConfig();
    EXPECT_EQ(Settings(&QCGlobalConfig::notproxy_speed), 10);
    EXPECT_EQ(Settings(&QCGlobalConfig::vfolder), 1) << "default of an absent vfolder";
}

TEST_F(AccountTest, SaveConfigReportsAFolderItCannotWrite) {
    RUN_UNPRIVILEGED_IF_ROOT();
    m_config.ChangeUser(QStringLiteral("u"), 1, QStringLiteral("e"));
    ASSERT_TRUE(m_config.SaveConfig());
    const QString folder = UserFolder(QStringLiteral("u"), QStringLiteral("e"));
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    ASSERT_TRUE(QFile::setPermissions(folder + QStringLiteral("config.ini"), QFile::ReadOwner));
    EXPECT_FALSE(m_config.SaveConfig());
    EXPECT_FALSE(m_config.SaveUserProfile(QStringLiteral("k"), QStringLiteral("v")));
    EXPECT_FALSE(m_config.SetSyncPath(SyncFolder()));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// --- The test log ---

TEST_F(ConfigTest, TestLogIsWrittenOnlyInTestMode) {
    QCGlobalConfig off;
    off.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_TRUE(off.TestLogChangedFlag());
    EXPECT_TRUE(off.TestLogStatusChanged(5, QStringLiteral("x")));
    EXPECT_FALSE(QFileInfo::exists(WorkPath(QStringLiteral("test.ini"))));

    WriteFile(WorkPath(QStringLiteral("sync.ini")), "[test]\ntest_mod=1\n");
    QCGlobalConfig on;
    on.Init(CLOUD_DEV_TYPE::Linux, nullptr);
    EXPECT_TRUE(on.TestLogChangedFlag());
    EXPECT_TRUE(on.TestLogStatusChanged(6, QStringLiteral("同步完成")));
    const QString log = WorkPath(QStringLiteral("test.ini"));
    EXPECT_EQ(Stored(log, "test", "changed"), QStringLiteral("1"));
    EXPECT_EQ(Stored(log, "test", "status"), QStringLiteral("6"));
    EXPECT_EQ(Stored(log, "test", "status_description"), QStringLiteral("同步完成"));
}

} // namespace
