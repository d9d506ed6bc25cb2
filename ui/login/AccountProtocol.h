#pragma once
// The requests of the account service: the parameter lists of its three methods, the signed and
// DES-enciphered parameter block "parad", the request URL, the "Cookie" header of the cookie
// login, and the signed address of the browser hand-off. The replies are read by
// login/replies/AccountReplies.h. Stateless; any thread.
//
// Block: the parameter texts ("name=value") are sorted (QString order), signed (MD5 of their
// concatenation and the signing suffix; a captcha token is signed percent-decoded but sent as
// received), "sig=<md5>" is appended, the texts are joined with "&", enciphered with DES-CBC
// (PKCS#5, key and IV "9e2a61d5"), base64-encoded and percent-encoded.

#include <QString>
#include <QStringList>

class NetworkClient;

namespace AccountProtocol {

// Retry caps of the requests' clients (address steps of NetworkClient).
constexpr int kLoginRetries = 5;   // password and cookie login
constexpr int kUserInfoRetries = 1; // the hand-off's user information
constexpr int kCaptchaRetries = 1;
constexpr int kFaceRetries = 2;

// The hosts this build was configured with (before the host replacement of the account store).
QString AccountHost();
QString WebLoginHost();

// The parameter texts of each method, in building order. The captcha pair is added only when
// `captchaText` is not empty; `captchaToken` is the "sc" header of the last captcha reply.
QStringList PasswordLoginParams(const QString& account, const QString& password, const QString& captchaToken,
                                const QString& captchaText);
// The cookie login and the user information of the hand-off.
QStringList UserInfoParams();
QStringList CaptchaParams();

// The signature of a parameter list (sorted here), lower-case hex.
QString Sign(QStringList params);
// The percent-encoded block P; false (P empty) when DES is unavailable: nothing may be sent then.
// `sig` gets the signature when not null.
bool BuildParad(const QStringList& params, QString& parad, QString* sig = nullptr);
// "https://<host>/api.php?parad=<P>&from=pcc_sarn"; empty when the block cannot be built.
QString RequestUrl(const QString& host, const QStringList& params);
// The captcha token of a finished captcha exchange: the "sc" header (any letter case) of its final
// response only, never of a redirect on the way; empty when there is none.
QString CaptchaToken(const NetworkClient& client);
// The request header of the cookie login: "Q=<q>;T=<t>;".
QString CookieHeader(const QString& q, const QString& t);
// The address that signs the browser in at `host` and leads it on to `destUrl`.
QString HandOffUrl(const QString& host, const QString& destUrl, const QString& rd);

} // namespace AccountProtocol
