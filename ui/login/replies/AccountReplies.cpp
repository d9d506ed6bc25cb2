#include "login/replies/AccountReplies.h"

#include <QDomDocument>
#include <QDomElement>
#include <QXmlStreamReader>

namespace {

enum class Fields {
    Login,    // qid, username, nickname, head_pic, q, t; a qid is required
    UserInfo, // qid, username, nickname, head_pic; a qid is required
    RD,       // the first rd only
};

// A reply is a few hundred bytes three elements deep. The DOM parser and the tree it builds
// recurse once per level of nesting, and a document type could declare entities: a body that
// could exhaust the stack or memory is refused before the DOM sees it.
constexpr int kMaxBodyBytes = 1024 * 1024;
constexpr int kMaxDepth = 16;

bool PlainShallowXml(const QByteArray& body) {
    if (body.size() > kMaxBodyBytes)
        return false;
    QXmlStreamReader reader(body);
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            return false;
        case QXmlStreamReader::StartElement:
            if (++depth > kMaxDepth)
                return false;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    return !reader.hasError();
}

AccountReply Unusable(const char* why) {
    AccountReply reply;
    reply.errorMessage = QString::fromLatin1(why);
    return reply;
}

QString* FieldOf(AccountReply& reply, const QString& name, Fields fields) {
    if (fields == Fields::RD)
        return name == QLatin1String("rd") ? &reply.rd : nullptr;
    if (name == QLatin1String("qid"))
        return &reply.qid;
    if (name == QLatin1String("username"))
        return &reply.username;
    if (name == QLatin1String("nickname"))
        return &reply.nickname;
    if (name == QLatin1String("head_pic"))
        return &reply.headPic;
    if (fields == Fields::Login && name == QLatin1String("q"))
        return &reply.q;
    if (fields == Fields::Login && name == QLatin1String("t"))
        return &reply.t;
    return nullptr;
}

AccountReply Read(const QByteArray& body, const QString& root, const QString& container, Fields fields) {
    QDomDocument document;
    if (!PlainShallowXml(body) || !document.setContent(body))
        return Unusable("the body is no XML document");
    const QDomElement top = document.documentElement();
    if (top.tagName() != root)
        return Unusable("the root element is not the method's");
    AccountReply reply;
    const QDomElement number = top.firstChildElement(QStringLiteral("errno"));
    if (!number.isNull()) {
        bool ok = false;
        reply.errorNumber = number.text().trimmed().toInt(&ok, 10);
        if (!ok)
            return Unusable("errno is no decimal number");
        if (reply.errorNumber != 0) {
            reply.kind = AccountReplyKind::ServiceError;
            reply.errorMessage = top.firstChildElement(QStringLiteral("errmsg")).text();
            return reply;
        }
    }
    const QDomElement data = top.firstChildElement(container);
    for (QDomElement element = data.firstChildElement(); !element.isNull();
         element = element.nextSiblingElement()) {
        QString* field = FieldOf(reply, element.tagName(), fields);
        if (!field)
            continue;
        *field = element.text();
        if (fields == Fields::RD)
            break;
    }
    // The id names the account's folder and everything kept for it.
    if (fields != Fields::RD && !IsSafeQid(reply.qid))
        return Unusable("the reply carries no usable qid");
    reply.kind = AccountReplyKind::Success;
    return reply;
}

} // namespace

AccountReply ReadLoginReply(const QByteArray& body) {
    return Read(body, QStringLiteral("userintf_login_response"), QStringLiteral("user"), Fields::Login);
}

AccountReply ReadUserInfoReply(const QByteArray& body) {
    return Read(body, QStringLiteral("commonaccount_getuserinfo_response"), QStringLiteral("data"),
                Fields::UserInfo);
}

AccountReply ReadRDReply(const QByteArray& body) {
    return Read(body, QStringLiteral("commonaccount_getuserinfo_response"), QStringLiteral("data"), Fields::RD);
}

bool IsSafeQid(const QString& qid) {
    if (qid.isEmpty())
        return false;
    for (const QChar c : qid) {
        const ushort u = c.unicode();
        const bool ok = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' ||
                        u == '-';
        if (!ok)
            return false;
    }
    return true;
}

QString CaptchaTokenOf(const HeaderList& finalHeaders) {
    for (const auto& header : finalHeaders) {
        // Header names are ASCII: no Unicode case folding (which would take "ſc" for "sc").
        const QString& name = header.first;
        if (name.size() == 2 && (name[0] == QLatin1Char('s') || name[0] == QLatin1Char('S')) &&
            (name[1] == QLatin1Char('c') || name[1] == QLatin1Char('C')))
            return header.second.simplified();
    }
    return QString();
}
