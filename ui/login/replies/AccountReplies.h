#pragma once
// Readers of the account service's replies: the XML documents of the password login, the cookie
// login (user information) and the user information of the browser hand-off, and the captcha
// token of a captcha reply's headers. Pure functions over bytes and texts (Qt Core and Xml only),
// so that they can be fuzzed alone; any thread.
//
// A reader trusts nothing: a body that is no XML, a root other than the method's, an "errno" that
// is not a decimal number, and a login success without a usable account id are all Unusable (the
// caller treats them like a reply that never came). An account id becomes a folder name, so it
// must be non-empty and made of [0-9A-Za-z_-] only.

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

enum class AccountReplyKind {
    Unusable,     // not a reply of this method that can be trusted; `errorMessage` says why
    ServiceError, // the service refused: `errorNumber` (never 0) and its "errmsg"
    Success,      // the data fields hold what the reply carried
};

struct AccountReply {
    AccountReplyKind kind = AccountReplyKind::Unusable;
    int errorNumber = 0;
    QString errorMessage; // the service's "errmsg"; for Unusable the reader's reason (debug only)
    // Data elements; empty when the reply did not carry them.
    QString qid;
    QString username;
    QString nickname;
    QString headPic;
    QString q;
    QString t;
    QString rd;
};

// Root "userintf_login_response", container "user": qid, username, nickname, head_pic, q, t.
AccountReply ReadLoginReply(const QByteArray& body);
// Root "commonaccount_getuserinfo_response", container "data": qid, username, nickname, head_pic.
AccountReply ReadUserInfoReply(const QByteArray& body);
// The same document for the browser hand-off: the first "rd" of "data" only; no qid needed.
AccountReply ReadRDReply(const QByteArray& body);

// True for a non-empty id made of ASCII letters, digits, "_" and "-" only.
bool IsSafeQid(const QString& qid);

// The captcha token among the final response's headers (name, value): the value of the first
// header whose name is "sc" in any letter case, with inner runs of white space collapsed; empty
// when there is none.
using HeaderList = QVector<QPair<QString, QString>>;
QString CaptchaTokenOf(const HeaderList& finalHeaders);
