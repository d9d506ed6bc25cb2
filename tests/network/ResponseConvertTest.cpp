#include "network/QCResponseCommon.h"

#include "Database/QCGlobalConfig.h"
#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

// A JSON value from its text, e.g. "7.5", "\"42\"", "true", "null", "[1]".
QJsonValue J(const char* text) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("[") + text + "]");
    EXPECT_TRUE(doc.isArray()) << text;
    return doc.array().at(0);
}

struct ConvertCase {
    const char* label;
    const char* json;
    qint32 asInt;
    bool asBool;
    quint64 asULongLong;
};

void PrintTo(const ConvertCase& c, std::ostream* os) {
    *os << c.label;
}

class ConverterTest : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConverterTest, Converts) {
    const ConvertCase& c = GetParam();
    const QJsonValue value = J(c.json);
    EXPECT_EQ(QCResponseCommon::JsonInt(value), c.asInt) << c.json;
    EXPECT_EQ(QCResponseCommon::JsonBool(value), c.asBool) << c.json;
    EXPECT_EQ(QCResponseCommon::JsonULongLong(value), c.asULongLong) << c.json;
    EXPECT_EQ(QCResponseCommon::JsonULong(value), c.asULongLong) << c.json;
}

constexpr quint64 kMax64 = 18446744073709551615ULL;

// The odd rows (7.5 giving 0, true giving 0 to the numeric converters, -1 wrapping) are how the
// service's clients have always read these values.
INSTANTIATE_TEST_SUITE_P(
    Table, ConverterTest,
    ::testing::Values(
        ConvertCase{"WholeNumber", "7", 7, true, 7}, ConvertCase{"Fraction", "7.5", 0, false, 7},
        ConvertCase{"FractionBelowOne", "0.9", 0, false, 0}, ConvertCase{"FiveNine", "5.9", 0, false, 5},
        ConvertCase{"Two", "2", 2, true, 2}, ConvertCase{"Zero", "0", 0, false, 0},
        ConvertCase{"MinusOne", "-1", -1, false, kMax64},
        ConvertCase{"BeyondInt32", "2147483648", 0, false, 2147483648ULL},
        ConvertCase{"Int32Min", "-2147483648", -2147483647 - 1, false, 18446744071562067968ULL},
        ConvertCase{"TwoTo63", "9223372036854775808", 0, false, 9223372036854775808ULL},
        ConvertCase{"TwoTo64", "18446744073709551616", 0, false, 0},
        ConvertCase{"Text42", "\"42\"", 42, true, 42}, ConvertCase{"TextOne", "\"1\"", 1, true, 1},
        ConvertCase{"TextPlus", "\"+5\"", 5, true, 0}, ConvertCase{"TextMinusOne", "\"-1\"", -1, false, 0},
        ConvertCase{"TextMax64", "\"18446744073709551615\"", 0, false, kMax64},
        ConvertCase{"TextBeyond64", "\"18446744073709551616\"", 0, false, 0},
        ConvertCase{"Text4x", "\"4x\"", 0, false, 0}, ConvertCase{"TextLetters", "\"abc\"", 0, false, 0},
        ConvertCase{"TextBlank", "\" 5\"", 0, false, 0}, ConvertCase{"TextEmpty", "\"\"", 0, false, 0},
        ConvertCase{"True", "true", 0, true, 0}, ConvertCase{"False", "false", 0, false, 0},
        ConvertCase{"Null", "null", 0, false, 0}, ConvertCase{"Array", "[1]", 0, false, 0},
        ConvertCase{"Object", "{\"a\":1}", 0, false, 0}),
    [](const ::testing::TestParamInfo<ConvertCase>& info) { return std::string(info.param.label); });

TEST(ConverterTest, AbsentKeyConvertsLikeNull) {
    const QJsonObject empty;
    EXPECT_EQ(QCResponseCommon::JsonInt(empty.value(QStringLiteral("x"))), 0);
    EXPECT_FALSE(QCResponseCommon::JsonBool(empty.value(QStringLiteral("x"))));
    EXPECT_EQ(QCResponseCommon::JsonULongLong(empty.value(QStringLiteral("x"))), 0u);
    EXPECT_TRUE(
        QCResponseCommon::JsonText(QJsonObject{{QStringLiteral("n"), 5}}, QStringLiteral("n")).isEmpty());
}

// Hosts --------------------------------------------------------------------------------------------

TEST(HostTextTest, ValidateGetConfigCleansAndRejects) {
    auto cleaned = [](const char* text) {
        QString host = QString::fromUtf8(text);
        QCResponseCommon::ValidateGetConfig(host);
        return host.toStdString();
    };
    EXPECT_EQ(cleaned("  https://api.example.test "), "api.example.test");
    EXPECT_EQ(cleaned("a.https://b.test"), "a.b.test"); // removed anywhere, not only in front
    EXPECT_EQ(cleaned("api.test:8080"), "api.test:8080");
    EXPECT_EQ(cleaned("[::1]:443"), "[::1]:443");
    EXPECT_EQ(cleaned("HTTPS://x.test"), ""); // capitals stay, and what stays is no host
    EXPECT_EQ(cleaned("evil.test/path"), "");
    EXPECT_EQ(cleaned("user@evil.test"), "");
    EXPECT_EQ(cleaned("a.test\r\nX-Injected: 1"), "");
    EXPECT_EQ(cleaned("a b.test"), "");
    EXPECT_EQ(cleaned("a.test:99999"), "");
    EXPECT_EQ(cleaned(""), "");
}

// Configuration reply -----------------------------------------------------------------------------

class GetConfigTest : public ::testing::Test {
protected:
    void SetUp() override { g_Config.SetThumbs(QStringLiteral("before-p"), QStringLiteral("before-v")); }
    QCResponseCommon parser;
};

TEST_F(GetConfigTest, EmptyDataGivesTheConstructorsRecordAndLeavesThumbsAlone) {
    QJsonObject empty;
    const auto ack = parser.parseGetConfig(empty);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->cfg.limit, 0);
    EXPECT_EQ(ack->cfg.diff, 0);
    EXPECT_EQ(ack->is_https, 0u);
    EXPECT_EQ(g_Config.ThumbPicture(), QStringLiteral("before-p"));
    EXPECT_EQ(g_Config.ThumbVideo(), QStringLiteral("before-v"));
}

TEST_F(GetConfigTest, FullReply) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/getconfig_full.json"));
    const auto ack = parser.parseGetConfig(data);
    EXPECT_EQ(ack->cfg.cip, QStringLiteral("10.1.2.3"));
    EXPECT_EQ(g_Config.ThumbPicture(), QStringLiteral("jpg,png"));
    EXPECT_EQ(g_Config.ThumbVideo(), QStringLiteral("mp4"));
    EXPECT_EQ(ack->is_https, 1u);
    EXPECT_EQ(ack->cfg.limit, 500);
    EXPECT_EQ(ack->cfg.diff, 20);
    EXPECT_EQ(ack->cfg.exptime, 7200);
    EXPECT_EQ(ack->cfg.dtimeout, 120000);
    EXPECT_EQ(ack->cfg.ptimeout, 90000);
    EXPECT_EQ(ack->api.http, QStringLiteral("api.example.test:8443"));
    EXPECT_EQ(ack->api.addr_1.FormatStr(), QStringLiteral("192.0.2.10,80,d"));
    EXPECT_EQ(ack->api.addr_2.address, QStringLiteral("192.0.2.11"));
    EXPECT_TRUE(ack->api.addr_2.extra.isEmpty());
    EXPECT_EQ(ack->api.addr_2.mode, QStringLiteral("p"));
    EXPECT_EQ(ack->api.backup, QStringLiteral("192.0.2.12,192.0.2.13"));
    EXPECT_EQ(ack->api.test_url_1, QStringLiteral("http://192.0.2.10/test.php"));
    EXPECT_EQ(ack->api.test_url_2, QStringLiteral("http://192.0.2.11/test.php"));
    EXPECT_EQ(ack->ver.http, QStringLiteral("ver.example.test"));
    EXPECT_EQ(ack->comet.http, QStringLiteral("comet.example.test"));
}

TEST_F(GetConfigTest, CfgAsArrayAndShortAddress) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/getconfig_cfg_array.json"));
    const auto ack = parser.parseGetConfig(data);
    EXPECT_EQ(ack->cfg.limit, 100);
    EXPECT_EQ(ack->cfg.diff, 10);
    EXPECT_EQ(ack->cfg.exptime, 604800); // absent inside a present "cfg"
    EXPECT_EQ(ack->cfg.dtimeout, 300000);
    EXPECT_EQ(ack->cfg.ptimeout, 1800000);
    EXPECT_EQ(ack->api.http, QStringLiteral("api.example.test"));
    EXPECT_TRUE(ack->api.addr_1.address.isEmpty());
    EXPECT_TRUE(ack->api.test_url_1.isEmpty());
    EXPECT_TRUE(g_Config.ThumbPicture().isEmpty()); // overwritten by a non-empty data
}

TEST_F(GetConfigTest, PresetsWithoutCfg) {
    QJsonObject data{{QStringLiteral("cip"), QStringLiteral("x")}};
    const auto ack = parser.parseGetConfig(data);
    EXPECT_EQ(ack->cfg.limit, 170);
    EXPECT_EQ(ack->cfg.diff, 10);
    EXPECT_EQ(ack->cfg.exptime, 86400);
    EXPECT_EQ(ack->cfg.dtimeout, 300000);
    EXPECT_EQ(ack->cfg.ptimeout, 1800000);
}

TEST_F(GetConfigTest, CfgBounds) {
    auto cfgOf = [this](QJsonObject cfg) {
        QJsonObject data{{QStringLiteral("cfg"), cfg}};
        return parser.parseGetConfig(data)->cfg;
    };
    EXPECT_EQ(cfgOf({{QStringLiteral("limit"), 10}}).limit, 10);
    EXPECT_EQ(cfgOf({{QStringLiteral("limit"), 10240}}).limit, 10240);
    EXPECT_EQ(cfgOf({{QStringLiteral("limit"), 9}}).limit, 170);
    EXPECT_EQ(cfgOf({{QStringLiteral("limit"), 10241}}).limit, 170);
    EXPECT_EQ(cfgOf({{QStringLiteral("diff"), 1}}).diff, 1);
    EXPECT_EQ(cfgOf({{QStringLiteral("diff"), 0}}).diff, 10);
    EXPECT_EQ(cfgOf({{QStringLiteral("diff"), -3}}).diff, 10);
    EXPECT_EQ(cfgOf({{QStringLiteral("exptime"), 3600}}).exptime, 3600);
    EXPECT_EQ(cfgOf({{QStringLiteral("exptime"), 3599}}).exptime, 604800);
    EXPECT_EQ(cfgOf({{QStringLiteral("dtimeout"), 60000}}).dtimeout, 60000);
    EXPECT_EQ(cfgOf({{QStringLiteral("dtimeout"), 59999}}).dtimeout, 300000);
    EXPECT_EQ(cfgOf({{QStringLiteral("ptimeout"), -1}}).ptimeout, 1800000);
}

TEST_F(GetConfigTest, AddressSplitting) {
    QJsonObject data{
        {QStringLiteral("api"), QJsonObject{{QStringLiteral("addr_1"), QStringLiteral("1.1.1.1,a,b,c")},
                                            {QStringLiteral("addr_2"), QStringLiteral("2.2.2.2")}}}};
    auto ack = parser.parseGetConfig(data);
    EXPECT_EQ(ack->api.addr_1.FormatStr(), QStringLiteral("1.1.1.1,a,b"));
    EXPECT_TRUE(ack->api.addr_2.address.isEmpty());

    QJsonObject only2{
        {QStringLiteral("api"), QJsonObject{{QStringLiteral("addr_2"), QStringLiteral("2.2.2.2,x,d")}}}};
    ack = parser.parseGetConfig(only2);
    EXPECT_TRUE(ack->api.addr_1.address.isEmpty());
    EXPECT_TRUE(ack->api.test_url_1.isEmpty());
    EXPECT_EQ(ack->api.test_url_2, QStringLiteral("http://2.2.2.2"));

    IP_INFO emptyAddress;
    emptyAddress.extra = QStringLiteral("x");
    emptyAddress.mode = QStringLiteral("d");
    EXPECT_TRUE(emptyAddress.FormatStr().isEmpty());
}

TEST_F(GetConfigTest, HostileHostsAreDropped) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/getconfig_hostile.json"));
    const auto ack = parser.parseGetConfig(data);
    EXPECT_TRUE(ack->api.http.isEmpty());
    EXPECT_TRUE(ack->api.addr_1.address.isEmpty());
    EXPECT_TRUE(ack->api.test_url_1.isEmpty());
    EXPECT_EQ(ack->api.addr_2.address, QStringLiteral("192.0.2.1:8080"));
    EXPECT_TRUE(ack->ver.http.isEmpty());
    EXPECT_TRUE(ack->comet.http.isEmpty());
}

TEST_F(GetConfigTest, IsHttpsForms) {
    auto httpsOf = [this](const QJsonValue& value) {
        QJsonObject data{{QStringLiteral("is_https"), value}};
        return parser.parseGetConfig(data)->is_https;
    };
    EXPECT_EQ(httpsOf(QStringLiteral("1")), 1u);
    EXPECT_EQ(httpsOf(true), 1u);
    EXPECT_EQ(httpsOf(false), 0u);
    EXPECT_EQ(httpsOf(2), 2u);
    EXPECT_EQ(httpsOf(QJsonValue()), 0u);
    QJsonObject numberHost{{QStringLiteral("api"), QJsonObject{{QStringLiteral("http"), 5}}}};
    EXPECT_TRUE(parser.parseGetConfig(numberHost)->api.http.isEmpty());
}

} // namespace
