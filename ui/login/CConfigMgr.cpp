#include "login/CConfigMgr.h"

#include "login/replies/AccountReplies.h"

#include "Database/IniProfile.h"
#include "common/CoreLog.h"
#include "common/TsanAnnotations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>

namespace {

const QString kLastLogin = QStringLiteral("lastlogin");
const QString kQid = QStringLiteral("qid");
const QString kUserGroup = QStringLiteral("detial");

QString UserKeyName(CConfigMgr::request_user_key key) {
    switch (key) {
    case CConfigMgr::USER_FACE_ICON_PATH:
        return QStringLiteral("userfaceiconpath");
    case CConfigMgr::USER_REMEMBER_PWD:
        return QStringLiteral("rememberpwd");
    case CConfigMgr::USER_AUTO_LOGIN:
        return QStringLiteral("autologin");
    case CConfigMgr::USER_Q:
        return QStringLiteral("q");
    case CConfigMgr::USER_T:
        return QStringLiteral("t");
    }
    return QString();
}

// The group and key of a public entry; false for the list and values outside the enumeration.
bool PublicEntry(CConfigMgr::request_pubilc_key key, const QString& name, QString& group, QString& entry) {
    switch (key) {
    case CConfigMgr::PUBLIC_ACCOUNT_QID:
        group = name;
        entry = kQid;
        return true;
    case CConfigMgr::PUBLIC_LAST_LOGIN:
        group = kLastLogin;
        entry = kQid;
        return true;
    case CConfigMgr::PUBLIC_HOST_IP:
        group = name;
        entry = QStringLiteral("ip");
        return true;
    case CConfigMgr::PUBLIC_ACCOUNT_LIST:
        break;
    }
    return false;
}

} // namespace

CConfigMgr* CConfigMgr::getInstance() {
    static CConfigMgr instance;
    return &instance;
}

CConfigMgr::CConfigMgr() {
    Locate();
}

void CConfigMgr::RelocateForTests() {
    Locate();
}

void CConfigMgr::Locate() {
    m_configPath =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/NimboOrrinSuite");
    m_publicFilePath = m_configPath + QStringLiteral("/publicConfig.ini");
    m_userFilePath.clear();
    if (!QDir().mkpath(m_configPath) ||
        !QFile::setPermissions(m_configPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        CoreDebug("[login] cannot make the store folder %s", qUtf8Printable(m_configPath));
}

bool CConfigMgr::init(const QString& qid) {
    m_userFilePath.clear();
    if (!IsSafeQid(qid))
        return false;
    const QString folder = m_configPath + QLatin1Char('/') + qid;
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        CoreDebug("[login] cannot make the account folder %s", qUtf8Printable(folder));
    m_userFilePath = folder + QStringLiteral("/UserConfig.ini");
    return true;
}

bool CConfigMgr::getPublicData(request_pubilc_key key, const QString& name, QVariant& value) {
    if (key != PUBLIC_ACCOUNT_LIST) {
        QString group;
        QString entry;
        return PublicEntry(key, name, group, entry) && getData(m_publicFilePath, group, entry, value);
    }
    auto* accounts = static_cast<QMap<QString, QString>*>(value.value<void*>());
    if (!QFile::exists(m_publicFilePath))
        return false;
    if (accounts) {
        const TsanIgnoreAccesses qtSettingsCache;
        QSettings settings(m_publicFilePath, QSettings::IniFormat);
        const QStringList groups = settings.childGroups();
        for (const QString& group : groups) {
            if (group == kLastLogin)
                continue;
            // Only an account id makes an account: removed accounts keep an empty one, and host
            // replacements have none.
            const QString qid = settings.value(group + QLatin1Char('/') + kQid).toString();
            if (IsSafeQid(qid))
                accounts->insert(group, qid);
        }
    }
    return getData(m_publicFilePath, name, kQid, value);
}

bool CConfigMgr::setPublicData(request_pubilc_key key, const QString& name, const QVariant& value) {
    QString group;
    QString entry;
    return PublicEntry(key, name, group, entry) && setData(m_publicFilePath, group, entry, value);
}

bool CConfigMgr::getUserData(request_user_key key, QVariant& value) {
    const QString name = UserKeyName(key);
    return !name.isEmpty() && !m_userFilePath.isEmpty() && getData(m_userFilePath, kUserGroup, name, value);
}

bool CConfigMgr::getUserData(request_user_key key, const QString& qid, QVariant& value) {
    const QString name = UserKeyName(key);
    const QString file = getUserConfigPathFromQID(qid);
    return !name.isEmpty() && !file.isEmpty() && getData(file, kUserGroup, name, value);
}

bool CConfigMgr::setUserData(request_user_key key, const QVariant& value) {
    const QString name = UserKeyName(key);
    return !name.isEmpty() && !m_userFilePath.isEmpty() && setData(m_userFilePath, kUserGroup, name, value);
}

bool CConfigMgr::setUserData(request_user_key key, const QString& qid, const QVariant& value) {
    const QString name = UserKeyName(key);
    const QString file = getUserConfigPathFromQID(qid);
    return !name.isEmpty() && !file.isEmpty() && setData(file, kUserGroup, name, value);
}

QString CConfigMgr::getUserConfigPathFromQID(const QString& qid) const {
    if (!IsSafeQid(qid))
        return QString();
    const QString file = m_configPath + QLatin1Char('/') + qid + QStringLiteral("/UserConfig.ini");
    return QFileInfo(file).isFile() ? file : QString();
}

QString CConfigMgr::getConfigPath() const {
    return m_configPath;
}

bool CConfigMgr::getData(const QString& file, const QString& group, const QString& key, QVariant& value) {
    if (file.isEmpty() || !QFile::exists(file))
        return false;
    const TsanIgnoreAccesses qtSettingsCache;
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(group);
    value = settings.value(key);
    settings.endGroup();
    return true;
}

bool CConfigMgr::setData(const QString& file, const QString& group, const QString& key, const QVariant& value) {
    // Booleans go in as "true"/"false", as QSettings writes them.
    return WritePrivateIni(group, key, value.toString(), file);
}
