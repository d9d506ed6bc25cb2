#pragma once
// The login side's own settings store, apart from the core's files: the remembered accounts and
// the last login in "publicConfig.ini", and per account its "UserConfig.ini" (group "detial":
// face picture path, the two check boxes of the login window, the service's cookies "q" and "t").
// Beside them lie "captcha.jpg" and one folder per account id with its face picture.
//
// Folder: the generic data location + "/NimboOrrinSuite" (the user's data home itself, as no
// application name is set), computed at the first getInstance() and kept for the process. The
// store holds cookies: its folders are kept at mode 0700 and its INI files at 0600.
//
// Every operation opens one INI file, reads or writes one key and closes it; nothing is cached
// but the paths. Account ids become folder names, so an id outside [0-9A-Za-z_-]+ is refused.
// User-interface thread only.

#include <QObject>
#include <QString>
#include <QVariant>

// One remembered account as the login window shows it.
struct _LOGINSTATUS_ {
    QString qid;
    bool autologin = false;
    bool rememberpwd = false;
};
using LOGINSTATUS = _LOGINSTATUS_;

class CConfigMgr : public QObject {
    Q_OBJECT
public:
    enum request_pubilc_key {
        PUBLIC_ACCOUNT_LIST = 0, // read only: value holds the address of a QMap<QString, QString>
        PUBLIC_ACCOUNT_QID = 1,  // group = the account name, key "qid"
        PUBLIC_LAST_LOGIN = 2,   // group "lastlogin", key "qid" (the name is ignored)
        PUBLIC_HOST_IP = 3,      // group = a host name, key "ip"
    };
    enum request_user_key {
        USER_FACE_ICON_PATH = 0, // "userfaceiconpath"
        USER_REMEMBER_PWD = 1,   // "rememberpwd"
        USER_AUTO_LOGIN = 2,     // "autologin"
        USER_Q = 3,              // "q"
        USER_T = 4,              // "t"
    };

    static CConfigMgr* getInstance();

    // Selects the current account: its folder is made (private) when missing. False, and no
    // account selected, for an id that cannot name a folder.
    bool init(const QString& qid);

    // True when "publicConfig.ini" exists and `key` is one of the enumeration; `value` is left
    // untouched otherwise. The list (key 0) adds to the caller's map account name -> id for every
    // group holding a usable "qid" (removed accounts keep an empty one, host replacements have
    // none: neither is an account), then reads `name`'s "qid" into `value` as key 1 does.
    bool getPublicData(request_pubilc_key key, const QString& name, QVariant& value);
    // Keys 1-3 only (the list is read only); false when the file could not be written.
    bool setPublicData(request_pubilc_key key, const QString& name, const QVariant& value);
    // The current account's file; false before init or when the file does not exist.
    bool getUserData(request_user_key key, QVariant& value);
    // The file of account `qid`; false when it does not exist.
    bool getUserData(request_user_key key, const QString& qid, QVariant& value);
    // Into the current account's file; false before init or when it could not be written.
    bool setUserData(request_user_key key, const QVariant& value);
    // Into the existing file of account `qid`; false when there is none or it could not be written.
    bool setUserData(request_user_key key, const QString& qid, const QVariant& value);

    // The account's "UserConfig.ini" when it is an existing file, else empty text.
    QString getUserConfigPathFromQID(const QString& qid) const;
    QString getConfigPath() const;

    // Read `group`/`key` of an existing INI file into `value` (invalid when the key is missing);
    // false, `value` untouched, when the file does not exist.
    bool getData(const QString& file, const QString& group, const QString& key, QVariant& value);
    // Write it, the file made private (0600, folder 0700) first; false when that or the write failed.
    bool setData(const QString& file, const QString& group, const QString& key, const QVariant& value);

    // Tests: the store moves to the data home as it is now (a test's private home), made when
    // missing; no account is current afterwards.
    void RelocateForTests();

private:
    CConfigMgr();
    // The folders of the data home as it is now; the store folder made private.
    void Locate();

    QString m_configPath;     // the store folder; set once
    QString m_publicFilePath; // its "publicConfig.ini"; set once
    QString m_userFilePath;   // the current account's "UserConfig.ini"; empty until init
};
