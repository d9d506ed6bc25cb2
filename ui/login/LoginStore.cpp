#include "login/LoginStore.h"

#include "login/replies/AccountReplies.h"

namespace LoginStore {

bool LoadUserConfig(const QString& qid) {
    CConfigMgr* store = CConfigMgr::getInstance();
    if (!IsSafeQid(qid))
        return false;
    const bool recorded = store->setPublicData(CConfigMgr::PUBLIC_LAST_LOGIN, QString(), qid);
    return store->init(qid) && recorded;
}

bool SaveLoginStatus(const QString& account, const QString& qid, const QString& q, const QString& t,
                     bool autologin, bool rememberpwd) {
    CConfigMgr* store = CConfigMgr::getInstance();
    bool ok = store->setPublicData(CConfigMgr::PUBLIC_ACCOUNT_QID, account, qid);
    ok &= store->setUserData(CConfigMgr::USER_AUTO_LOGIN, autologin);
    ok &= store->setUserData(CConfigMgr::USER_REMEMBER_PWD, rememberpwd);
    ok &= store->setUserData(CConfigMgr::USER_Q, rememberpwd ? q : QString());
    ok &= store->setUserData(CConfigMgr::USER_T, rememberpwd ? t : QString());
    return ok;
}

bool getUserStatusList(QMap<QString, _LOGINSTATUS_>& list) {
    CConfigMgr* store = CConfigMgr::getInstance();
    QMap<QString, QString> accounts;
    QVariant value = QVariant::fromValue<void*>(&accounts);
    store->getPublicData(CConfigMgr::PUBLIC_ACCOUNT_LIST, QString(), value);
    for (auto account = accounts.cbegin(); account != accounts.cend(); ++account) {
        _LOGINSTATUS_ status;
        status.qid = account.value();
        QVariant flag;
        if (store->getUserData(CConfigMgr::USER_REMEMBER_PWD, status.qid, flag))
            status.rememberpwd = flag.toBool();
        flag.clear();
        if (store->getUserData(CConfigMgr::USER_AUTO_LOGIN, status.qid, flag))
            status.autologin = flag.toBool();
        list.insert(account.key(), status);
    }
    return true;
}

bool clearSession(const QString& account) {
    CConfigMgr* store = CConfigMgr::getInstance();
    QVariant qid;
    if (store->getPublicData(CConfigMgr::PUBLIC_ACCOUNT_QID, account, qid) &&
        !store->getUserConfigPathFromQID(qid.toString()).isEmpty()) {
        if (!store->setUserData(CConfigMgr::USER_Q, qid.toString(), QString()) ||
            !store->setUserData(CConfigMgr::USER_T, qid.toString(), QString()))
            return false; // still listed: the user can remove it again
    }
    return store->setPublicData(CConfigMgr::PUBLIC_ACCOUNT_QID, account, QString());
}

QString getLastLoginQID() {
    QVariant qid;
    CConfigMgr::getInstance()->getPublicData(CConfigMgr::PUBLIC_LAST_LOGIN, QString(), qid);
    return qid.toString();
}

QString KRUHost(const QString& host) {
    QVariant address;
    if (CConfigMgr::getInstance()->getPublicData(CConfigMgr::PUBLIC_HOST_IP, host, address) &&
        !address.toString().isEmpty())
        return address.toString();
    return host;
}

} // namespace LoginStore
