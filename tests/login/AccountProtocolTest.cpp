// The account service's request format against answers computed apart (openssl enc -des-cbc with
// the legacy provider, Python hashlib).
#include "login/AccountProtocol.h"
#include "login/FunctionalCommonmethod.h"

#include <QByteArray>

#include <gtest/gtest.h>

namespace {

using namespace AccountProtocol;

QByteArray CipherOf(const QString& parad) {
    return QByteArray::fromBase64(QByteArray::fromPercentEncoding(parad.toLatin1()));
}

struct BlockCase {
    const char* name;
    QStringList params;
    const char* sig;
    const char* paradStart;
    const char* paradEnd;
    int cipherBytes;
};

void PrintTo(const BlockCase& row, std::ostream* out) {
    *out << row.name;
}

class ParameterBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ParameterBlockTest, MatchesTheKnownAnswer) {
    const BlockCase& row = GetParam();
    QString parad;
    QString sig;
    ASSERT_TRUE(BuildParad(row.params, parad, &sig));
    EXPECT_EQ(sig, QLatin1String(row.sig));
    EXPECT_TRUE(parad.startsWith(QLatin1String(row.paradStart))) << parad.toStdString();
    EXPECT_TRUE(parad.endsWith(QLatin1String(row.paradEnd))) << parad.toStdString();
    EXPECT_EQ(CipherOf(parad).size(), row.cipherBytes);
}

const char kCaptchaParad[] = "YXpAyaUT9MBIHZECJzdTpUTfvJW6Ej5%2BfWkkh%2FAKTzT12bsqI6xM5j0IDrNfFrW%2Bh1cGTr2IVnzzuLqofPW3G4rRAkpaqC02";

INSTANTIATE_TEST_SUITE_P(
    KnownAnswers, ParameterBlockTest,
    ::testing::Values(
        BlockCase{"Captcha", CaptchaParams(), "700d13ac8a9f61c7a9bb11c2986380df", kCaptchaParad, kCaptchaParad, 72},
        BlockCase{"PasswordLogin", PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), {}, {}),
                  "34e6b463ace059f848c25024434043a4", "dh4TvJBl%2FQjARCkmSkpg0xHBnLGi4uW8", "%2Bo2Gw%3D", 152},
        BlockCase{"CookieLogin", UserInfoParams(), "d86405c66b167f51217079e961fa4c7b", "", "", 144},
        // The token is signed decoded ("ab+cd") but sent as received.
        BlockCase{"CaptchaAnswer",
                  PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), QStringLiteral("ab%2Bcd"),
                                      QStringLiteral("Ab3d")),
                  "937f1baef6616e42efe6f77ad53e9275", "", "", 176},
        // 152 bytes of text: a whole block of padding follows.
        BlockCase{"WholeBlockPadding",
                  PasswordLoginParams(QStringLiteral("alice123"), QStringLiteral("secret"), {}, {}),
                  "eb96cf0c657f3afc06ada200eea33c91", "", "", 160}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.name); });

TEST(AccountProtocolTest, PasswordLoginCarriesOnlyTheDigestAndTheCaptchaPairWhenTyped) {
    const QStringList plain = PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), QStringLiteral("tok"), {});
    EXPECT_EQ(plain.size(), 6);
    EXPECT_TRUE(plain.contains(QStringLiteral("password=5ebe2294ecd0e0f08eab7690d2a6ee69")));
    EXPECT_FALSE(plain.join(QString()).contains(QStringLiteral("secret")));
    const QStringList withCaptcha =
        PasswordLoginParams(QStringLiteral("alice"), QStringLiteral("secret"), QStringLiteral("ab%2Bcd"), QStringLiteral("Ab3d"));
    EXPECT_EQ(withCaptcha.size(), 8);
    EXPECT_TRUE(withCaptcha.contains(QStringLiteral("sc=ab%2Bcd")));
    EXPECT_TRUE(withCaptcha.contains(QStringLiteral("uc=Ab3d")));
}

TEST(AccountProtocolTest, RequestUrlSendsOnlyTheBlockAndTheClientName) {
    QString parad;
    ASSERT_TRUE(BuildParad(CaptchaParams(), parad));
    EXPECT_EQ(RequestUrl(QStringLiteral("127.0.0.1:4443"), CaptchaParams()),
              QStringLiteral("https://127.0.0.1:4443/api.php?parad=") + parad + QStringLiteral("&from=pcc_sarn"));
    EXPECT_EQ(CookieHeader(QStringLiteral("a%3D1"), QStringLiteral("b")), QStringLiteral("Q=a%3D1;T=b;"));
}

TEST(AccountProtocolTest, HandOffSignsTheDecodedDestination) {
    const QString expected = QStringLiteral(
        "https://weblogin.nimbo.invalid/api.php?method=CommonAccount.loginToBrowser&destUrl=%1&rd=RDVALUE"
        "&from=pcc_sarn_win&v=HTTP/1.0&format=xml&modulever=1.0.0.1010&sig=c3905bcc13de1167b3a008127854d7ec");
    for (const QString& dest : {QStringLiteral("https://web.nimbo.invalid/my"),
                                QStringLiteral("https%3A%2F%2Fweb.nimbo.invalid%2Fmy")})
        EXPECT_EQ(HandOffUrl(WebLoginHost(), dest, QStringLiteral("RDVALUE")), expected.arg(dest));
}

TEST(FunctionalCommonmethodTest, DesVariantsMatchOpenSsl) {
    using F = FunctionalCommonmethod;
    EXPECT_EQ(QByteArray::fromStdString(F::des_cbc_pkcs5_encrypt("", "9e2a61d5")).toHex(), QByteArray("3cf2585cd17a1613"));
    // Zero padding, IV "rqm40817"; a longer key is cut to 8 bytes.
    const std::string zero = F::des_cbc_zero_encrypt("abcdefghij", "9e2a61d5-extra");
    EXPECT_EQ(QByteArray::fromStdString(zero).toHex(), QByteArray("d2405fc6a67296b401217b4385073271"));
    EXPECT_EQ(F::des_cbc_zero_encrypt("", "9e2a61d5"), std::string());
    EXPECT_EQ(F::des_cbc_zero_encrypt("12345678", "9e2a61d5").size(), 8u);
    // Decryption keeps the padding and ignores a trailing partial block.
    EXPECT_EQ(F::des_cbc_pkcs5_decrypt(zero + "xyz", "9e2a61d5"), std::string("abcdefghij\0\0\0\0\0\0", 16));
}

TEST(FunctionalCommonmethodTest, Base64BreaksLinesOnlyWhenAsked) {
    using F = FunctionalCommonmethod;
    const std::string bytes(49, '\xfb');
    const std::string flat = F::base64Encode(bytes.data(), int(bytes.size()), false).get();
    EXPECT_EQ(flat, QByteArray::fromStdString(bytes).toBase64().toStdString());
    const std::string lines = F::base64Encode(bytes.data(), int(bytes.size()), true).get();
    EXPECT_EQ(lines, flat.substr(0, 64) + "\n" + flat.substr(64) + "\n");
    const std::unique_ptr<char[]> decoded = F::base64Decode(flat.data(), int(flat.size()), false);
    EXPECT_EQ(std::string(decoded.get(), bytes.size()), bytes);
    EXPECT_EQ(std::string(decoded.get() + bytes.size(), flat.size() - bytes.size()),
              std::string(flat.size() - bytes.size(), '\0'));
    EXPECT_STREQ(F::base64Encode(nullptr, 5, false).get(), "");
}

} // namespace
