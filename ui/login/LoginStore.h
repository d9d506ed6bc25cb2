#pragma once
// What the login manager keeps in the account store (CConfigMgr), one function per use: the
// remembered accounts with their choices and cookies, the last login, and the host replacement.
// The manager forwards to these. User-interface thread only, as the store.

#include "login/CConfigMgr.h"

#include <QMap>
#include <QString>

namespace LoginStore {

// After a successful login reply: [lastlogin] qid = `qid`, then the account becomes the store's
// current one. False, and nothing written, for an id that cannot name a folder.
bool LoadUserConfig(const QString& qid);
// When the login window accepts the login of `account` (the current account of the store):
// [account] qid, the two choices, and the cookies when `rememberpwd` (else both emptied).
bool SaveLoginStatus(const QString& account, const QString& qid, const QString& q, const QString& t,
                     bool autologin, bool rememberpwd);
// The remembered accounts by account name, each with the choices stored for its id.
bool getUserStatusList(QMap<QString, _LOGINSTATUS_>& list);
// Removes `account` from the list: its cookies are emptied first (a removed account must not
// sign in again by itself), then its [account] qid. Its folder and other settings stay.
bool clearSession(const QString& account);
// [lastlogin] qid, empty when missing.
QString getLastLoginQID();
// The replacement of `host` ([host] ip) when there is a non-empty one, else `host`.
QString KRUHost(const QString& host);

} // namespace LoginStore
