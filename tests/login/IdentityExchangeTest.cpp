// Requests built by the client code, sent with NetworkClient over TLS to the identity server's
// stand-in, and its replies read back.
#include "login/AccountProtocol.h"
#include "login/FunctionalCommonmethod.h"
#include "login/replies/AccountReplies.h"

#include "network/NetworkClient.h"
#include "support/StandInIdentity.h"

#include <QImage>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace AccountProtocol;

class IdentityExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        StandInOptions options;
        options.tls = TlsMode::TestCa;
        ASSERT_TRUE(server.Start(options)) << server.errorText();
        identity = std::make_unique<StandInIdentity>(server);
    }

    // One GET of `url` as the login side makes it; the body.
    QByteArray Get(const QString& url, int retries, const QString& cookie = QString()) {
        client = std::make_unique<NetworkClient>(retries);
        client->setCurlOption(CURLOPT_CAINFO, QString::fromStdString(server.caFile()));
        client->setUrl(url);
        if (!cookie.isEmpty())
            client->addQueryHeader(QStringLiteral("Cookie"), cookie);
        EXPECT_TRUE(client->doGet(QString())) << client->errorString().toStdString();
        EXPECT_EQ(client->responseCode(), 200);
        return client->responseBody();
    }
    QByteArray Send(const QStringList& params, int retries, const QString& cookie = QString()) {
        const QString url = RequestUrl(QString::fromStdString(identity->hostReplacement()), params);
        EXPECT_FALSE(url.isEmpty());
        return Get(url, retries, cookie);
    }
    AccountReply LogIn(const QString& password, const QString& token = {}, const QString& text = {}) {
        return ReadLoginReply(Send(PasswordLoginParams(QStringLiteral("alice"), password, token, text), kLoginRetries));
    }

    CloudStandIn server;
    std::unique_ptr<StandInIdentity> identity;
    std::unique_ptr<NetworkClient> client;
};

TEST_F(IdentityExchangeTest, PasswordLoginSignsInAndIsRecordedAsSigned) {
    const AccountReply reply = LogIn(QStringLiteral("secret"));
    ASSERT_EQ(int(reply.kind), int(AccountReplyKind::Success)) << reply.errorMessage.toStdString();
    EXPECT_EQ(reply.qid, QStringLiteral("10001"));
    EXPECT_EQ(reply.nickname, QStringLiteral("Alice"));
    EXPECT_EQ(reply.q.toStdString(), identity->q("10001"));
    EXPECT_EQ(reply.t.toStdString(), identity->t("10001"));
    const std::vector<IdentityRecord> records = identity->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].method, "UserIntf.login");
    EXPECT_EQ(records[0].param("username"), "alice");
    EXPECT_TRUE(records[0].sig_ok) << records[0].line().text().toStdString();

    // The face picture lies where the reply says.
    const QByteArray face = Get(reply.headPic, kFaceRetries);
    EXPECT_FALSE(QImage::fromData(face, "JPG").isNull());
}

TEST_F(IdentityExchangeTest, ABlockChangedOnTheWayIsRefused) {
    QString parad;
    ASSERT_TRUE(BuildParad(PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), {}, {}), parad));
    // One base64 character inside the password's blocks: the text still names its method.
    QByteArray base64 = QByteArray::fromPercentEncoding(parad.toLatin1());
    base64[80] = base64[80] == 'A' ? 'B' : 'A';
    const QString url = QStringLiteral("https://%1/api.php?parad=%2&from=pcc_sarn")
                            .arg(QString::fromStdString(identity->hostReplacement()),
                                 QString::fromLatin1(base64.toPercentEncoding()));
    const AccountReply reply = ReadLoginReply(Get(url, kLoginRetries));
    EXPECT_EQ(int(reply.kind), int(AccountReplyKind::ServiceError));
    EXPECT_NE(reply.errorNumber, 0);
    ASSERT_EQ(identity->records().size(), 1u);
    EXPECT_EQ(identity->records()[0].method, "UserIntf.login");
    EXPECT_FALSE(identity->records()[0].sig_ok);
    EXPECT_TRUE(identity->q("10001").empty());
}

// The stand-in is as strict as the service: a block out of order, without the client's name or
// with another key is refused and changes nothing.
TEST_F(IdentityExchangeTest, RefusesWhatTheServiceWouldRefuse) {
    QString parad;
    ASSERT_TRUE(BuildParad(CaptchaParams(), parad));
    const QString host = QString::fromStdString(identity->hostReplacement());
    const auto block = [](const QString& text, const std::string& key) {
        const std::string cipher = FunctionalCommonmethod::des_cbc_pkcs5_encrypt(text.toStdString(), key);
        return QString::fromLatin1(QByteArray::fromStdString(cipher).toBase64().toPercentEncoding());
    };
    const QString sig = Sign(CaptchaParams());
    const QStringList urls{
        QStringLiteral("https://%1/api.php?parad=%2").arg(host, parad),
        QStringLiteral("https://%1/api.php?parad=%2&from=pcc_sarn")
            .arg(host, block(QStringLiteral("v=1.1&method=UserIntf.getCaptcha&sig=") + sig, "9e2a61d5")),
        QStringLiteral("https://%1/api.php?parad=%2&from=pcc_sarn")
            .arg(host, block(QStringLiteral("method=UserIntf.getCaptcha&v=1.1&sig=") + sig, "00000000"))};
    for (const QString& url : urls) {
        const QByteArray body = Get(url, kCaptchaRetries);
        EXPECT_TRUE(body.contains("<errno>5003</errno>")) << url.toStdString() << "\n" << body.toStdString();
    }
    const std::vector<IdentityRecord> records = identity->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].sig_ok); // signed, but not from the client
    EXPECT_FALSE(records[1].sig_ok);
    EXPECT_FALSE(records[2].sig_ok);
    EXPECT_TRUE(identity->captchaToken().empty());
}

TEST_F(IdentityExchangeTest, AScriptAnswersInPlaceOfTheState) {
    identity->setScript("UserIntf.login", [](const IdentityRecord& record) {
        StandInReply reply;
        reply.contentType = "text/html";
        reply.body = "<html><body>" + record.param("username") + "</body></html>";
        return reply;
    });
    EXPECT_EQ(int(LogIn(QStringLiteral("secret")).kind), int(AccountReplyKind::Unusable));
    EXPECT_TRUE(identity->q("10001").empty());
    identity->clearScript("UserIntf.login");
    EXPECT_EQ(int(LogIn(QStringLiteral("secret")).kind), int(AccountReplyKind::Success));
}

TEST_F(IdentityExchangeTest, CaptchaIsDemandedAfterTwoWrongPasswordsAndThenAccepted) {
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(LogIn(QStringLiteral("wrong")).errorNumber, kIdentityWrongPassword);
    const AccountReply demanded = LogIn(QStringLiteral("secret"));
    EXPECT_EQ(demanded.errorNumber, kIdentityCaptchaNeeded);
    EXPECT_EQ(demanded.errorMessage, QStringLiteral("请输入验证码"));

    QImage image = QImage::fromData(Send(CaptchaParams(), kCaptchaRetries));
    EXPECT_FALSE(image.isNull());
    QString token = CaptchaToken(*client);
    EXPECT_TRUE(token.contains(QStringLiteral("%2B")));
    EXPECT_EQ(token.toStdString(), identity->captchaToken());
    EXPECT_EQ(LogIn(QStringLiteral("secret"), token, QStringLiteral("zzzz")).errorNumber, kIdentityWrongCaptcha);

    image = QImage::fromData(Send(CaptchaParams(), kCaptchaRetries));
    EXPECT_FALSE(image.isNull());
    token = CaptchaToken(*client);
    const QString text = QString::fromStdString(identity->captchaText()).toLower();
    const AccountReply accepted = LogIn(QStringLiteral("secret"), token, text);
    EXPECT_EQ(int(accepted.kind), int(AccountReplyKind::Success)) << accepted.errorMessage.toStdString();
    const IdentityRecord last = identity->records().back();
    EXPECT_EQ(last.param("sc"), token.toStdString()); // sent as received, signed decoded
    EXPECT_TRUE(last.sig_ok);
}

TEST_F(IdentityExchangeTest, CookieLoginTakesOnlyTheLatestPair) {
    ASSERT_EQ(int(LogIn(QStringLiteral("secret")).kind), int(AccountReplyKind::Success));
    const QString cookie =
        CookieHeader(QString::fromStdString(identity->q("10001")), QString::fromStdString(identity->t("10001")));
    const QByteArray body = Send(UserInfoParams(), kLoginRetries, cookie);
    const AccountReply info = ReadUserInfoReply(body);
    EXPECT_EQ(int(info.kind), int(AccountReplyKind::Success)) << info.errorMessage.toStdString();
    EXPECT_EQ(info.qid, QStringLiteral("10001"));
    EXPECT_FALSE(ReadRDReply(body).rd.isEmpty());
    EXPECT_EQ(identity->records().back().cookie, cookie.toStdString());

    ASSERT_EQ(int(LogIn(QStringLiteral("secret")).kind), int(AccountReplyKind::Success));
    const AccountReply stale = ReadUserInfoReply(Send(UserInfoParams(), kLoginRetries, cookie));
    EXPECT_EQ(stale.errorNumber, kIdentityCookieRefused);
    EXPECT_EQ(stale.errorMessage, QStringLiteral("登录已失效，请重新登录"));
}

// The stand-in's fault rules reach "/api.php": a login outlasts one dropped connection within its
// retries, and a captcha request whose every connection drops fails without a body.
TEST_F(IdentityExchangeTest, ConnectionResetsOnTheApiAreRetriedWithinTheRequestsCap) {
    FaultRule once;
    once.path = "/api.php";
    once.times = 1;
    once.fault.kind = FaultKind::Reset;
    server.addFault(once);
    EXPECT_EQ(int(LogIn(QStringLiteral("secret")).kind), int(AccountReplyKind::Success));
    EXPECT_EQ(identity->records().size(), 1u);

    server.clearFaults();
    FaultRule always = once;
    always.times = -1;
    server.addFault(always);
    const QString url = RequestUrl(QString::fromStdString(identity->hostReplacement()), CaptchaParams());
    NetworkClient captcha(kCaptchaRetries);
    captcha.setCurlOption(CURLOPT_CAINFO, QString::fromStdString(server.caFile()));
    EXPECT_FALSE(captcha.doGet(url));
    EXPECT_EQ(captcha.responseCode(), 0);
    EXPECT_TRUE(CaptchaToken(captcha).isEmpty());
    EXPECT_EQ(identity->records().size(), 1u);
}

} // namespace
