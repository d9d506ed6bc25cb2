#include "network/QCSignRequest.h"

#include "support/ServiceSignature.h"

#include <QRegularExpression>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// MD5 as lower-case hex, straight from OpenSSL: independent of the code under test.
std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string Encode(const std::string& bytes) {
    int length = -1;
    char* encoded = php_url_encode(bytes.data(), int(bytes.size()), &length);
    std::string result(encoded, size_t(length));
    EXPECT_EQ(strlen(encoded), size_t(length));
    free(encoded);
    return result;
}

TEST(SignRequestTest, BuiltInKeyIsTheServiceKey) {
    const QString key = QCSignRequest::BuiltInKey();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(key).hasMatch())
        << key.toStdString();
    EXPECT_EQ(key.toStdString(), std::string(kServiceSignKey));
}

TEST(SignRequestTest, SignatureSortsNamesIgnoringCaseAndKeepsTiesInListOrder) {
    QCSignRequest params;
    params.Add(QStringLiteral("b"), QStringLiteral("1 2"));
    params.Add(QStringLiteral("A"), QStringLiteral("x/y"));
    params.Add(QStringLiteral("a"), 7);
    const std::string expected = Md5Hex("A=x/ya=7b=1 2" + std::string(kServiceSignKey));
    EXPECT_EQ(params.GetSign(QString()).toStdString(), expected);
    // The service's own computation agrees.
    EXPECT_EQ(expected, ServiceSign({{"b", "1 2"}, {"A", "x/y"}, {"a", "7"}}));
    // A given key replaces the built-in one.
    EXPECT_EQ(params.GetSign(QStringLiteral("k")).toStdString(), Md5Hex("A=x/ya=7b=1 2k"));
}

TEST(SignRequestTest, UnflaggedParametersStayOutOfEveryText) {
    QCSignRequest params;
    params.Add(QStringLiteral("hidden"), QStringLiteral("1"), true, false);
    EXPECT_EQ(params.GetRequest(), QString());
    EXPECT_EQ(params.GetCookies(), QString());
    EXPECT_EQ(params.GetSign(QString()).toStdString(), Md5Hex(kServiceSignKey));
    EXPECT_EQ(params.Get(QStringLiteral("hidden")), QStringLiteral("1"));
}

TEST(SignRequestTest, UnderscoreSortsBeforeEveryLetter) {
    const REQUEST_PARAM underscore{QStringLiteral("owner_qid"), QString(), true};
    const REQUEST_PARAM capital{QStringLiteral("ownerA"), QString(), true};
    EXPECT_TRUE(url_sign_sort_by_name_asc(underscore, capital));
    EXPECT_FALSE(url_sign_sort_by_name_asc(capital, underscore));
    const REQUEST_PARAM lower{QStringLiteral("eid"), QString(), true};
    const REQUEST_PARAM upper{QStringLiteral("EID"), QString(), true};
    EXPECT_FALSE(url_sign_sort_by_name_asc(lower, upper));
    EXPECT_FALSE(url_sign_sort_by_name_asc(upper, lower));
}

TEST(SignRequestTest, PhpUrlEncodeOfMixedText) {
    EXPECT_EQ(Encode("a b~c/\xc3\xa9"), "a+b%7Ec%2F%C3%A9");
    EXPECT_EQ(QCSignRequest::UrlEncode(QStringLiteral("a b~c/\u00e9")), QStringLiteral("a+b%7Ec%2F%C3%A9"));
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode(std::string("\0*", 2)), "%00%2A");
}

TEST(SignRequestTest, PhpUrlEncodeCopiesOnlyUnreservedBytes) {
    for (int c = 0; c < 256; ++c) {
        const std::string encoded = Encode(std::string(1, char(c)));
        const bool unreserved = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                c == '-' || c == '.' || c == '_';
        if (c == ' ') {
            EXPECT_EQ(encoded, "+");
        } else if (unreserved) {
            EXPECT_EQ(encoded, std::string(1, char(c)));
        } else {
            char expected[4];
            snprintf(expected, sizeof expected, "%%%02X", c);
            EXPECT_EQ(encoded, expected) << "byte " << c;
        }
    }
}

TEST(SignRequestTest, QueryAndCookieTextsEndWithTheirSeparators) {
    QCSignRequest params;
    params.Add(QStringLiteral("qid"), 1);
    params.Add(QStringLiteral("v"), QStringLiteral("2"));
    params.Add(QStringLiteral("name"), QStringLiteral("a b&c=d;"));
    EXPECT_EQ(params.GetRequest(), QStringLiteral("qid=1&v=2&name=a+b%26c%3Dd%3B&"));
    EXPECT_EQ(params.GetCookies(), QStringLiteral("qid=1; v=2; name=a+b%26c%3Dd%3B; "));
    const QString plain = QStringLiteral("AZaz09-._");
    QCSignRequest unreserved;
    unreserved.Add(QStringLiteral("x"), plain);
    EXPECT_EQ(unreserved.GetRequest(), QStringLiteral("x=") + plain + QStringLiteral("&"));
}

TEST(SignRequestTest, AddAtFrontAndNumberForms) {
    QCSignRequest params;
    params.Add(QStringLiteral("b"), 2u);
    params.Add(QStringLiteral("a"), 18446744073709551615ull, false);
    params.Add(QStringLiteral("c"), -3);
    EXPECT_EQ(params.GetRequest(), QStringLiteral("a=18446744073709551615&b=2&c=-3&"));
}

TEST(SignRequestTest, GetFindsTheFirstParameterIgnoringCase) {
    QCSignRequest params;
    params.Add(QStringLiteral("Eid"), QStringLiteral("42"));
    params.Add(QStringLiteral("eid"), QStringLiteral("43"));
    params.Add(QStringLiteral("word"), QStringLiteral("12abc"));
    EXPECT_EQ(params.Get(QStringLiteral("eid")), QStringLiteral("42"));
    EXPECT_EQ(params.GetInt(QStringLiteral("EID")), 42);
    EXPECT_EQ(params.GetInt(QStringLiteral("word")), 0);
    EXPECT_EQ(params.GetInt(QStringLiteral("missing")), 0);
    EXPECT_EQ(params.Get(QStringLiteral("missing")), QString());

    QCSignRequest copy;
    copy = params;
    params.Add(QStringLiteral("later"), 1);
    EXPECT_EQ(copy.Get(QStringLiteral("later")), QString());
    EXPECT_EQ(copy.GetRequest(), QStringLiteral("Eid=42&eid=43&word=12abc&"));
}

} // namespace
