#include "login/AccountProtocol.h"

#include "login/AccountHosts.h"
#include "login/FunctionalCommonmethod.h"
#include "login/replies/AccountReplies.h"

#include "common/CoreLog.h"
#include "common/Hash.h"
#include "network/NetworkClient.h"

#include <QByteArray>

#include <memory>

namespace {

const QString kSignSuffix = QStringLiteral("4b7e2c91d");
const char kBlockKey[] = "9e2a61d5";
const QString kCaptchaTokenName = QStringLiteral("sc=");

QString Md5Hex(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return QString::fromLatin1(HashBuffer(bytes.constData(), bytes.size(), HASH_MD5));
}

// %XX escapes replaced by their bytes, read as UTF-8; "+" stays "+".
QString PercentDecoded(const QString& text) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toUtf8()));
}

} // namespace

namespace AccountProtocol {

QString AccountHost() {
    return QStringLiteral(NIMBO_ACCOUNT_HOST);
}

QString WebLoginHost() {
    return QStringLiteral(NIMBO_WEBLOGIN_HOST);
}

QStringList PasswordLoginParams(const QString& account, const QString& password, const QString& captchaToken,
                                const QString& captchaText) {
    // Only the password's digest ever leaves the machine, and only inside the enciphered block.
    QStringList params{QStringLiteral("method=UserIntf.login"), QStringLiteral("username=") + account,
                       QStringLiteral("password=") + Md5Hex(password), QStringLiteral("head_type=q"),
                       QStringLiteral("is_keep_alive=1"), QStringLiteral("v=1.1")};
    if (!captchaText.isEmpty())
        params << kCaptchaTokenName + captchaToken << QStringLiteral("uc=") + captchaText;
    return params;
}

QStringList UserInfoParams() {
    return {QStringLiteral("method=CommonAccount.getUserInfo"), QStringLiteral("fields=qid,username,nickname,head_pic"),
            QStringLiteral("head_type=q"), QStringLiteral("qt_errdesc=1"), QStringLiteral("v=1.1")};
}

QStringList CaptchaParams() {
    return {QStringLiteral("method=UserIntf.getCaptcha"), QStringLiteral("v=1.1")};
}

QString Sign(QStringList params) {
    params.sort(Qt::CaseSensitive);
    QString text;
    for (const QString& param : params) {
        // The service checks the token as it issued it, before it was escaped for the header.
        if (param.startsWith(kCaptchaTokenName))
            text += kCaptchaTokenName + PercentDecoded(param.mid(kCaptchaTokenName.size()));
        else
            text += param;
    }
    return Md5Hex(text + kSignSuffix);
}

bool BuildParad(const QStringList& params, QString& parad, QString* sig) {
    parad.clear();
    QStringList block = params;
    block.sort(Qt::CaseSensitive);
    const QString signature = Sign(block);
    if (sig)
        *sig = signature;
    block << QStringLiteral("sig=") + signature;
    const std::string cipher =
        FunctionalCommonmethod::des_cbc_pkcs5_encrypt(block.join(QLatin1Char('&')).toUtf8().toStdString(), kBlockKey);
    if (cipher.empty()) {
        CoreDebug("[login] the parameter block of %s cannot be enciphered: nothing is sent",
                  qUtf8Printable(params.value(0)));
        return false;
    }
    const std::unique_ptr<char[]> base64 =
        FunctionalCommonmethod::base64Encode(cipher.data(), int(cipher.size()), false);
    parad = QString::fromLatin1(QByteArray(base64.get()).toPercentEncoding());
    return true;
}

QString RequestUrl(const QString& host, const QStringList& params) {
    QString parad;
    if (!BuildParad(params, parad))
        return QString();
    return QStringLiteral("https://%1/api.php?").arg(host) + QStringLiteral("parad=") + parad +
           QStringLiteral("&from=pcc_sarn");
}

QString CaptchaToken(const NetworkClient& client) {
    // responseHeaderByName compares names exactly; the header may come in any letter case.
    HeaderList headers;
    for (int i = 0; i < client.responseHeaderCount(); ++i) {
        QString name;
        const QString value = client.responseHeaderByIndex(i, name);
        headers.append({name, value});
    }
    return CaptchaTokenOf(headers);
}

QString CookieHeader(const QString& q, const QString& t) {
    return QStringLiteral("Q=%1;T=%2;").arg(q, t);
}

QString HandOffUrl(const QString& host, const QString& destUrl, const QString& rd) {
    const QStringList params{QStringLiteral("method=CommonAccount.loginToBrowser"), QStringLiteral("destUrl=") + destUrl,
                             QStringLiteral("rd=") + rd,
                             QStringLiteral("from=pcc_sarn_win"),
                             QStringLiteral("v=HTTP/1.0"),
                             QStringLiteral("format=xml"),
                             QStringLiteral("modulever=1.0.0.1010")};
    QStringList sorted = params;
    sorted.sort(Qt::CaseSensitive);
    QString text;
    for (const QString& param : sorted)
        text += PercentDecoded(param);
    return QStringLiteral("https://%1/api.php?").arg(host) + params.join(QLatin1Char('&')) + QStringLiteral("&sig=") +
           Md5Hex(text + kSignSuffix);
}

} // namespace AccountProtocol
