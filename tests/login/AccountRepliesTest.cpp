// The readers of the account service's replies, and the captcha token of real exchanges.
#include "login/AccountProtocol.h"
#include "login/replies/AccountReplies.h"

#include "network/NetworkClient.h"
#include "support/CloudStandIn.h"

#include <gtest/gtest.h>

namespace {

enum class Reader { Login, UserInfo, RD };

struct ReplyCase {
    const char* name;
    Reader reader;
    const char* body;
    AccountReplyKind kind;
    int errorNumber;
    const char* errorMessage; // checked for service errors only
    const char* qid;
    const char* rd;
};

const char kLoginOk[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><userintf_login_response><errno>0</errno><errmsg></errmsg>"
    "<user><qid>10001</qid><extra>x</extra><username>alice</username><nickname>Alice &amp; co</nickname>"
    "<head_pic>https://h/face/10001.jpg</head_pic><q>q1%3D</q><t>t1</t></user></userintf_login_response>";

void PrintTo(const ReplyCase& row, std::ostream* out) {
    *out << row.name;
}

// Well-formed and otherwise a success, but nested deeper than any reply of the service.
const std::string kNestedTooDeep = [] {
    std::string x;
    for (int i = 0; i < 20; ++i)
        x = "<x>" + x + "</x>";
    return "<userintf_login_response><errno>0</errno><user><qid>10001</qid></user>" + x + "</userintf_login_response>";
}();

class AccountReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(AccountReplyTest, ReadsWhatTheReplyCanBeTrustedWith) {
    const ReplyCase& row = GetParam();
    const QByteArray body(row.body);
    const AccountReply reply = row.reader == Reader::Login      ? ReadLoginReply(body)
                               : row.reader == Reader::UserInfo ? ReadUserInfoReply(body)
                                                                : ReadRDReply(body);
    ASSERT_EQ(int(reply.kind), int(row.kind)) << reply.errorMessage.toStdString();
    if (row.kind == AccountReplyKind::ServiceError) {
        EXPECT_EQ(reply.errorNumber, row.errorNumber);
        EXPECT_EQ(reply.errorMessage, QString::fromUtf8(row.errorMessage));
    }
    if (row.kind == AccountReplyKind::Success) {
        EXPECT_EQ(reply.qid, QLatin1String(row.qid));
        EXPECT_EQ(reply.rd, QLatin1String(row.rd));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AccountReplyTest,
    ::testing::Values(
        ReplyCase{"SuccessWithFields", Reader::Login, kLoginOk, AccountReplyKind::Success, 0, "", "10001", ""},
        ReplyCase{"CaptchaNeeded", Reader::Login,
                  "<userintf_login_response><errno>5010</errno><errmsg>请输入验证码</errmsg></userintf_login_response>",
                  AccountReplyKind::ServiceError, 5010, "请输入验证码", "", ""},
        ReplyCase{"ErrnoNotANumber", Reader::Login,
                  "<userintf_login_response><errno>x</errno><user><qid>10001</qid></user></userintf_login_response>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"WrongRoot", Reader::Login,
                  "<commonaccount_getuserinfo_response><errno>0</errno><data><qid>10001</qid></data>"
                  "</commonaccount_getuserinfo_response>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"HtmlBody", Reader::UserInfo,
                  "<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1><hr><p>nginx</body></html>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"SuccessWithoutQid", Reader::UserInfo,
                  "<commonaccount_getuserinfo_response><errno>0</errno></commonaccount_getuserinfo_response>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"QidThatIsAPath", Reader::Login,
                  "<userintf_login_response><errno>0</errno><user><qid>../x</qid></user></userintf_login_response>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"NestedTooDeep", Reader::Login, kNestedTooDeep.c_str(), AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"DeclaresEntities", Reader::Login,
                  "<!DOCTYPE r [<!ENTITY e \"10001\">]><userintf_login_response><errno>0</errno><user><qid>&e;</qid>"
                  "</user></userintf_login_response>",
                  AccountReplyKind::Unusable, 0, "", "", ""},
        ReplyCase{"RdReply", Reader::RD,
                  "<commonaccount_getuserinfo_response><errno>0</errno><data><qid>10001</qid><rd>RD1</rd><rd>RD2</rd>"
                  "</data></commonaccount_getuserinfo_response>",
                  AccountReplyKind::Success, 0, "", "", "RD1"}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(AccountReplyFieldsTest, LoginSuccessCarriesEveryField) {
    const AccountReply reply = ReadLoginReply(kLoginOk);
    EXPECT_EQ(reply.username, QStringLiteral("alice"));
    EXPECT_EQ(reply.nickname, QStringLiteral("Alice & co"));
    EXPECT_EQ(reply.headPic, QStringLiteral("https://h/face/10001.jpg"));
    EXPECT_EQ(reply.q, QStringLiteral("q1%3D"));
    EXPECT_EQ(reply.t, QStringLiteral("t1"));
}

// The token as a real exchange leaves it in the client: routes of the stand-in answer the GET.
struct TokenCase {
    const char* name;
    NameValueList headers;
    bool viaRedirect; // the headers come with a redirect to a reply without them
    const char* token;
};

StandInReply PngReply() {
    StandInReply reply;
    reply.contentType = "image/png";
    reply.body = "png";
    return reply;
}

void PrintTo(const TokenCase& row, std::ostream* out) {
    *out << row.name;
}

class CaptchaTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(CaptchaTokenTest, ComesOnlyFromTheFinalResponsesScHeader) {
    const TokenCase& row = GetParam();
    CloudStandIn server;
    ASSERT_TRUE(server.Start()) << server.errorText();
    server.route("GET", "/plain", [](const RecordedRequest&) { return PngReply(); });
    server.route("GET", "/captcha", [&](const RecordedRequest&) {
        StandInReply reply = PngReply();
        reply.headers = row.headers;
        if (row.viaRedirect) {
            reply.status = 302;
            reply.headers.emplace_back("Location", server.url(Listener::Primary, "/plain"));
        }
        return reply;
    });
    NetworkClient client(AccountProtocol::kCaptchaRetries);
    ASSERT_TRUE(client.doGet(QString::fromStdString(server.url(Listener::Primary, "/captcha")))) << client.errorString().toStdString();
    ASSERT_EQ(client.responseCode(), 200);
    EXPECT_EQ(AccountProtocol::CaptchaToken(client), QLatin1String(row.token));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CaptchaTokenTest,
    ::testing::Values(TokenCase{"AfterContentSecurityPolicy",
                                {{"Content-Security-Policy", "script-src 'self'"}, {"Sc", "tok%2B1  x"}},
                                false,
                                "tok%2B1 x"},
                      TokenCase{"OnlyInRedirect", {{"sc", "tok%2B2"}}, true, ""},
                      TokenCase{"None", {{"Cache-Control", "no-cache"}}, false, ""}),
    [](const ::testing::TestParamInfo<TokenCase>& info) { return std::string(info.param.name); });

} // namespace
