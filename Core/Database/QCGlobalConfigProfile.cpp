// The account side of the configuration object: which user and enterprise the core works for,
// where that user's files lie, the machine's, the login's and the user's "config.ini", the owner
// mark of the sync folder, the profile API and the test log.
//
// Files: the machine's file (appdata + "config.ini", section "global") and the login's file
// (login folder + "config.ini", section "user") may hold a credential text; they are kept at mode
// 0600 inside folders of mode 0700 before anything is written to them. Data folders are named by
// the MD5 of "USER_<qid> EID_<eid>" (the login folder: "USER_<qid>") with ASCII letters lowered,
// so ids that differ only in ASCII case share their folders.

#include "Database/QCGlobalConfig.h"

#include "common/CommonDef.h"
#include "common/CoreLog.h"
#include "common/Hash.h"
#include "common/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kUser = QStringLiteral("user");
const QString kGlobal = QStringLiteral("global");
const QString kConfigIni = QStringLiteral("config.ini");

// Lower-case hex MD5 of the text's UTF-8 bytes after only "A".."Z" are lowered.
QString FolderName(const QString& text) {
    QByteArray bytes = text.toUtf8();
    for (char& c : bytes) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return QString::fromLatin1(HashBuffer(bytes.constData(), bytes.size(), HASH_MD5));
}

// A sync folder as stored: trailing separators dropped. Empty for what must never be a sync
// folder: nothing, the file-system root, or a relative path (which would follow the working
// directory).
QString SyncRootOf(QString path) {
    while (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    if (path.isEmpty() || !QDir::isAbsolutePath(path) || QDir::cleanPath(path) == QStringLiteral("/"))
        return QString();
    return path;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Identity and folders

bool QCGlobalConfig::UserNotSet() const {
    std::shared_lock<std::shared_mutex> lock(accountLock);
    return qid.isEmpty();
}

QString QCGlobalConfig::GetUserName() const {
    std::shared_lock<std::shared_mutex> lock(accountLock);
    return qid;
}

QString QCGlobalConfig::DataFolder(const QString& name) const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    if (appdata_path.isEmpty())
        return QString();
    return appdata_path + name + QLatin1Char('/');
}

QString QCGlobalConfig::GetUserDataPath(const QString& user_qid, int, const QString& user_eid) const {
    return DataFolder(FolderName(QStringLiteral("USER_") + user_qid + QStringLiteral(" EID_") + user_eid));
}

QString QCGlobalConfig::GetUserQidDataPath(const QString& user_qid) const {
    return DataFolder(FolderName(QStringLiteral("USER_") + user_qid));
}

QString QCGlobalConfig::GetSyncPath() const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return syncpath;
}

bool QCGlobalConfig::GetLastUser(QString& last_qid, QString& credential, int& last_type) const {
    std::shared_lock<std::shared_mutex> lock(settingsLock);
    if (lastqid.isEmpty())
        return false;
    last_qid = lastqid;
    credential = lastpwd;
    last_type = lasttype;
    return true;
}

// ---------------------------------------------------------------------------------------------
// User switches

void QCGlobalConfig::CleanUser() {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    CleanUserLocked();
}

void QCGlobalConfig::CleanUserLocked() {
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        syncpath.clear();
        user_config_file.clear();
        login_config_file.clear();
    }
    {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        qid.clear();
        eid.clear();
        pwd.clear();
        type = 0;
    }
    std::unique_lock<std::shared_mutex> lock(settingsLock);
    autologin = 0;
    lastqid.clear();
    lasteid.clear();
    lasttype = 0;
    speed_limit_up = 0;
    speed_limit_down = 0;
    tasks_up = 0;
    tasks_down = 0;
    ssl = 0;
    notproxy_speed = 0;
    vfolder = 0;
    deny_proxy = false;
    client_ip.clear();
}

void QCGlobalConfig::ChangeUser(const QString& user_qid, int user_type, const QString& user_eid) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    ChangeUserLocked(user_qid, user_type, user_eid);
}

void QCGlobalConfig::ChangeUserLocked(const QString& user_qid, int user_type, const QString& user_eid) {
    CleanUserLocked();
    {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        qid = user_qid;
        eid = user_eid;
        type = user_type;
    }
    QString effective_eid = user_eid;
    QString found;
    if (user_eid.isEmpty() && !user_qid.isEmpty() && IsUserConfigedLocked(user_qid, found)) {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        eid = found;
        effective_eid = found;
    }
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        lastqid = user_qid;
        lasteid = effective_eid;
        lasttype = user_type;
    }
    CoreDebug("%s-%s", qUtf8Printable(user_qid), qUtf8Printable(user_eid));
    ReadConfigLocked();
}

bool QCGlobalConfig::IsUserConfiged(const QString& user_qid, QString& lasteid_out) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    return IsUserConfigedLocked(user_qid, lasteid_out);
}

bool QCGlobalConfig::IsUserConfigedLocked(const QString& user_qid, QString& lasteid_out) {
    const QString folder = GetUserQidDataPath(user_qid);
    const QString file = folder.isEmpty() ? QString() : folder + kConfigIni;
    QString name;
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        login_config_file = file;
    }
    {
        std::shared_lock<std::shared_mutex> lock(pathsLock);
        name = GetPrivateProfileString(kUser, QStringLiteral("name"), QString(), login_config_file);
        lasteid_out = GetPrivateProfileString(kUser, QStringLiteral("lasteid"), QString(), login_config_file);
    }
    if (!user_qid.isEmpty() && name.compare(user_qid, Qt::CaseInsensitive) == 0)
        return true;
    CoreDebug("uid=%s, lastied=%s, \n", qUtf8Printable(user_qid), qUtf8Printable(lasteid_out));
    return false;
}

void QCGlobalConfig::ReadConfig() {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    ReadConfigLocked();
}

void QCGlobalConfig::ReadConfigLocked() {
    QString user_qid;
    QString user_folder;
    QString login_folder;
    {
        std::shared_lock<std::shared_mutex> lock(accountLock);
        if (qid.isEmpty())
            return;
        user_qid = qid;
        user_folder = GetUserDataPath(qid, type, eid);
        login_folder = GetUserQidDataPath(qid);
    }
    const QString user_file = user_folder.isEmpty() ? QString() : user_folder + kConfigIni;
    const QString login_file = login_folder.isEmpty() ? QString() : login_folder + kConfigIni;
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        user_config_file = user_file;
        login_config_file = login_file;
        syncpath = SyncRootOf(GetPrivateProfileString(kUser, CLOUD_CFG_USER::syncpath, QString(), user_file));
    }
    {
        const QString stored_pwd =
            GetPrivateProfileString(kUser, QStringLiteral("pwd"), QString(), login_file);
        std::unique_lock<std::shared_mutex> lock(accountLock);
        pwd = stored_pwd;
    }

    // Owner check: the offline state is trusted only for a sync folder marked as this user's.
    // Without a sync folder there is nothing to check and nothing to delete.
    bool mismatch = true;
    const QString root = GetSyncPath();
    if (!root.isEmpty()) {
        if (QFileInfo(root).isDir()) {
            const QString owner =
                GetPrivateProfileString(QStringLiteral("Nimbocloud"), QStringLiteral("qid"), QString(),
                                        MyCombinePath(root, QStringLiteral("desktop.ini")));
            mismatch = owner.compare(user_qid, Qt::CaseInsensitive) != 0;
        } else {
            // The database describes a folder that is gone.
            DeleteUserDB();
            std::unique_lock<std::shared_mutex> lock(pathsLock);
            syncpath.clear();
        }
    }

    const QString last_sync_ok = QStringLiteral("last_sync_ok");
    const int last_ok = GetPrivateProfileInt(kUser, last_sync_ok, 0, user_file);
    const int stored_vfolder = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::vfolder, 1, user_file);
    const int up = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::speed_limit_up, 0, user_file);
    const int down = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::speed_limit_down, 0, user_file);
    const int stored_tasks_up = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::tasks_up, 0, user_file);
    const int stored_tasks_down = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::tasks_down, 0, user_file);
    const int stored_ssl = GetPrivateProfileInt(kUser, CLOUD_CFG_USER::ssl, 0, user_file);
    const int stored_deny_proxy = GetPrivateProfileInt(kUser, QStringLiteral("deny_proxy"), 0, user_file);
    const int stored_notproxy = GetPrivateProfileInt(kUser, QStringLiteral("notproxy_speed"), 170, user_file);
    const QString stored_client_ip =
        GetPrivateProfileString(kUser, QStringLiteral("client_ip"), QString(), user_file);

    std::unique_lock<std::shared_mutex> lock(settingsLock);
    if (mismatch || last_ok == 0 || !offline_delete) {
        offline_delete_ok = false;
        if (!WritePrivateProfileInt(kUser, last_sync_ok, 0, user_file))
            CoreDebug("[config] cannot reset %s in %s", qUtf8Printable(last_sync_ok),
                      qUtf8Printable(user_file));
    }
    vfolder = stored_vfolder;
    speed_limit_up = up;
    speed_limit_down = down;
    // A hand-edited or older file may hold any number; the engine relies on 0..20.
    tasks_up = qBound(0, stored_tasks_up, 20);
    tasks_down = qBound(0, stored_tasks_down, 20);
    ssl = stored_ssl;
    deny_proxy = stored_deny_proxy != 0;
    notproxy_speed = stored_notproxy <= 9 ? 170 : stored_notproxy;
    client_ip = stored_client_ip;
}

bool QCGlobalConfig::SaveConfig() {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    return SaveConfigLocked();
}

bool QCGlobalConfig::SaveConfigLocked() {
    QString last_qid, last_eid, last_pwd;
    int last_type = 0;
    bool remember = false;
    {
        std::shared_lock<std::shared_mutex> lock(settingsLock);
        last_qid = lastqid;
        last_eid = lasteid;
        last_pwd = lastpwd;
        last_type = lasttype;
        remember = autologin != 0;
    }
    QString user_qid, user_eid, user_pwd;
    int user_type = 0;
    {
        std::shared_lock<std::shared_mutex> lock(accountLock);
        if (qid.isEmpty())
            return false;
        user_qid = qid;
        user_eid = eid;
        user_pwd = pwd;
        user_type = type;
    }
    QString machine, login, user, root;
    {
        std::shared_lock<std::shared_mutex> lock(pathsLock);
        machine = machine_config_file;
        login = login_config_file;
        user = user_config_file;
        root = syncpath;
    }
    // Every key is attempted; the result says whether all of them reached the disk.
    bool ok = WritePrivateIni(kGlobal, QStringLiteral("lastqid"), last_qid, machine);
    ok &= WritePrivateIni(kUser, QStringLiteral("lasteid"), last_eid, login);
    ok &= WritePrivateIni(kGlobal, QStringLiteral("lasttype"), QString::number(last_type), machine);
    ok &= WritePrivateIni(kGlobal, QStringLiteral("lastpwd"), remember ? last_pwd : QString(), machine);
    ok &= WritePrivateIni(kUser, QStringLiteral("name"), user_qid, login);
    ok &= WritePrivateIni(kUser, QStringLiteral("type"), QString::number(user_type), login);
    ok &= WritePrivateIni(kUser, QStringLiteral("pwd"), remember ? user_pwd : QString(), login);
    ok &= WritePrivateProfileString(kUser, CLOUD_CFG_USER::eid, user_eid, user);
    ok &= WritePrivateProfileString(kUser, CLOUD_CFG_USER::syncpath, root, user);
    if (!ok)
        CoreDebug("[config] saving the settings of %s failed", qUtf8Printable(user_qid));
    return ok;
}

void QCGlobalConfig::SetPwd(const QString& text) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        if (qid.isEmpty())
            return;
        pwd = text;
    }
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        lastpwd = text;
    }
    SaveConfigLocked();
}

void QCGlobalConfig::SetEid(const QString& new_eid) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        if (qid.isEmpty())
            return;
        eid = new_eid;
    }
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        lasteid = new_eid;
    }
    SaveConfigLocked();
}

bool QCGlobalConfig::SetAutoLogin(bool on) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        autologin = on ? 1 : 0;
    }
    return SaveConfigLocked();
}

bool QCGlobalConfig::SetSyncPath(const QString& path) {
    const QString root = SyncRootOf(path);
    if (root.isEmpty()) {
        CoreDebug("[config] refused as sync folder: \"%s\"", qUtf8Printable(path));
        return false;
    }
    if (!QDir().mkpath(root)) {
        CoreDebug("[config] cannot create the sync folder %s", qUtf8Printable(root));
        return false;
    }
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        syncpath = root;
    }
    return SaveConfigLocked();
}

void QCGlobalConfig::FirstSetEidConfig(const QString& new_eid) {
    std::lock_guard<std::mutex> switching(m_userSwitchMutex);
    {
        std::unique_lock<std::shared_mutex> lock(accountLock);
        eid = new_eid;
    }
    {
        std::unique_lock<std::shared_mutex> lock(settingsLock);
        lasteid = new_eid;
    }
    // The enterprise's folder goes below the account's sync folder; without one there is no
    // place for it (never the file-system root or the working directory).
    QString root;
    {
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        if (!syncpath.isEmpty() && !new_eid.isEmpty())
            syncpath = MyCombinePath(syncpath, new_eid);
        root = syncpath;
    }
    if (!root.isEmpty() && !QDir().mkpath(root))
        CoreDebug("[config] cannot create the sync folder %s", qUtf8Printable(root));
    QString user_folder;
    {
        std::shared_lock<std::shared_mutex> lock(accountLock);
        user_folder = GetUserDataPath(qid, type, new_eid);
    }
    if (!user_folder.isEmpty()) {
        if (!QDir().mkpath(user_folder))
            CoreDebug("[config] cannot create %s", qUtf8Printable(user_folder));
        std::unique_lock<std::shared_mutex> lock(pathsLock);
        user_config_file = user_folder + kConfigIni;
    }
    SaveConfigLocked();
}

void QCGlobalConfig::DeleteUserDB() {
    QString folder;
    {
        std::shared_lock<std::shared_mutex> lock(accountLock);
        if (qid.isEmpty())
            return;
        folder = GetUserDataPath(qid, type, eid);
    }
    if (folder.isEmpty())
        return;
    // A journal left beside a new database of the same name would be applied to it.
    const QString db = folder + QStringLiteral("filecache.db");
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString file = db + QLatin1String(suffix);
        if (QFile::exists(file) && !QFile::remove(file))
            CoreDebug("[db] cannot delete %s", qUtf8Printable(file));
    }
}

// ---------------------------------------------------------------------------------------------
// Profile

QString QCGlobalConfig::ReadUserProfile(const QString& key, const QString& def) const {
    if (UserNotSet())
        return QString();
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileString(kUser, key, def, user_config_file);
}

int QCGlobalConfig::ReadUserProfileInt(const QString& key, int def) const {
    if (UserNotSet())
        return 0;
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileInt(kUser, key, def, user_config_file);
}

qint64 QCGlobalConfig::ReadUserProfileInt64(const QString& key, qint64 def) const {
    if (UserNotSet())
        return 0;
    QString text;
    {
        std::shared_lock<std::shared_mutex> lock(pathsLock);
        text = GetPrivateProfileString(kUser, key, QString::number(def), user_config_file);
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? value : 0;
}

bool QCGlobalConfig::SaveUserProfile(const QString& key, const QString& value) {
    if (UserNotSet())
        return false;
    bool ok = false;
    int number = value.toInt(&ok, 10);
    if (!ok)
        number = 0;

    struct Setting {
        const QString& name;
        qint32 QCGlobalConfig::*field;
        bool task_count;
    };
    const Setting settings[] = {
        {CLOUD_CFG_USER::ssl, &QCGlobalConfig::ssl, false},
        {CLOUD_CFG_USER::tasks_up, &QCGlobalConfig::tasks_up, true},
        {CLOUD_CFG_USER::tasks_down, &QCGlobalConfig::tasks_down, true},
        {CLOUD_CFG_USER::speed_limit_up, &QCGlobalConfig::speed_limit_up, false},
        {CLOUD_CFG_USER::speed_limit_down, &QCGlobalConfig::speed_limit_down, false},
        {CLOUD_CFG_USER::vfolder, &QCGlobalConfig::vfolder, false},
    };
    QString stored_key = key;
    for (const Setting& setting : settings) {
        if (key.compare(setting.name, Qt::CaseInsensitive) != 0)
            continue;
        {
            std::unique_lock<std::shared_mutex> lock(settingsLock);
            this->*setting.field = setting.task_count ? qBound(0, number, 20) : number;
        }
        // ReadConfig reads the lower-case name only.
        stored_key = setting.name;
        break;
    }
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return WritePrivateProfileString(kUser, stored_key, value, user_config_file);
}

bool QCGlobalConfig::SaveUserProfileInt(const QString& key, int value) {
    return SaveUserProfile(key, QString::number(value));
}

bool QCGlobalConfig::SaveUserProfileInt64(const QString& key, qint64 value) {
    return SaveUserProfile(key, QString::number(value));
}

QString QCGlobalConfig::ReadGlobalProfile(const QString& key, const QString& def) const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileString(kGlobal, key, def, machine_config_file);
}

int QCGlobalConfig::ReadGlobalProfileInt(const QString& key, int def) const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileInt(kGlobal, key, def, machine_config_file);
}

bool QCGlobalConfig::SaveGlobalProfile(const QString& key, const QString& value) {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return WritePrivateIni(kGlobal, key, value, machine_config_file);
}

bool QCGlobalConfig::SaveGlobalProfileInt(const QString& key, int value) {
    if (key.compare(QLatin1String("thumb"), Qt::CaseInsensitive) == 0) {
        thumb = value != 0;
        return true;
    }
    if (key.compare(QLatin1String("thumb_pul"), Qt::CaseInsensitive) == 0) {
        thumb_pul = value != 0;
        return true;
    }
    return SaveGlobalProfile(key, QString::number(value));
}

QString QCGlobalConfig::ReadLoginProfile(const QString& key, const QString& def) const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileString(kUser, key, def, login_config_file);
}

int QCGlobalConfig::ReadLoginProfileInt(const QString& key, int def) const {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return GetPrivateProfileInt(kUser, key, def, login_config_file);
}

bool QCGlobalConfig::SaveLoginProfile(const QString& key, const QString& value) {
    std::shared_lock<std::shared_mutex> lock(pathsLock);
    return WritePrivateIni(kUser, key, value, login_config_file);
}

bool QCGlobalConfig::SaveLoginProfileInt(const QString& key, int value) {
    if (UserNotSet())
        return false;
    return SaveLoginProfile(key, QString::number(value));
}

bool QCGlobalConfig::DeleteUserProfile(const QString& user_qid, int user_type, const QString& user_eid) {
    const QString folder = GetUserDataPath(user_qid, user_type, user_eid);
    return !folder.isEmpty() && QFile::remove(folder + kConfigIni);
}

// ---------------------------------------------------------------------------------------------
// Test log

namespace {

QString TestLogFile() {
    return QDir::current().absoluteFilePath(QStringLiteral("test.ini"));
}

} // namespace

bool QCGlobalConfig::TestLogChangedFlag() {
    {
        std::shared_lock<std::shared_mutex> lock(settingsLock);
        if (test_mod == 0)
            return true;
    }
    return WritePrivateProfileString(QStringLiteral("test"), QStringLiteral("changed"), QStringLiteral("1"),
                                     TestLogFile());
}

bool QCGlobalConfig::TestLogStatusChanged(int status, const QString& description) {
    {
        std::shared_lock<std::shared_mutex> lock(settingsLock);
        if (test_mod == 0)
            return true;
    }
    const QString file = TestLogFile();
    const QString section = QStringLiteral("test");
    return WritePrivateProfileInt(section, QStringLiteral("status"), status, file) &&
           WritePrivateProfileString(section, QStringLiteral("status_description"), description, file);
}
