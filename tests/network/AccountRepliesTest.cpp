#include "network/QCResponseCommon.h"

#include "support/TestData.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

// The object of a JSON text written in the test.
QJsonObject Obj(const char* text) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text));
    EXPECT_TRUE(doc.isObject()) << text;
    return doc.object();
}

class AccountRepliesTest : public ::testing::Test {
protected:
    QCResponseCommon parser;
};

TEST_F(AccountRepliesTest, LoginReadsEveryText) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/login.json"));
    const auto ack = parser.parseLogin(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->qid, QStringLiteral("u10001"));
    EXPECT_EQ(ack->eid, QStringLiteral("1234567890123456789"));
    EXPECT_EQ(ack->token, QStringLiteral("tok-abc"));
    EXPECT_EQ(ack->key, QStringLiteral("0123456789abcdef0123456789abcdef"));
    EXPECT_EQ(ack->iv, QStringLiteral("fedcba9876543210"));
}

TEST_F(AccountRepliesTest, LoginEidIsTheTextAsSent) {
    // Leading zeros and digits beyond a double's precision survive: the id never becomes a number.
    QJsonObject data = Obj(R"({"eid": "0009223372036854775809"})");
    EXPECT_EQ(parser.parseLogin(data)->eid, QStringLiteral("0009223372036854775809"));
}

TEST_F(AccountRepliesTest, LoginIdsMustBeTexts) {
    QJsonObject data = Obj(R"({"qid": 10001, "eid": 1234567890123456789, "token": null, "key": ["k"]})");
    const auto ack = parser.parseLogin(data);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->qid.isEmpty());
    EXPECT_TRUE(ack->eid.isEmpty());
    EXPECT_TRUE(ack->token.isEmpty());
    EXPECT_TRUE(ack->key.isEmpty());
}

TEST_F(AccountRepliesTest, EmptyUserDetailKeepsTheConstructorsValues) {
    QJsonObject data;
    const auto ack = parser.parseUserDetail(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->has_dravel, 1u);
    EXPECT_EQ(ack->max_file_size, 0u);
    EXPECT_EQ(ack->login_count, 0u);
    EXPECT_EQ(ack->is_admin, 0u);
    EXPECT_EQ(ack->edit_status, 0u);
    EXPECT_FALSE(ack->is_person);
    EXPECT_TRUE(ack->eid.isEmpty());
}

TEST_F(AccountRepliesTest, UserDetailReadsEveryField) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/user_detail.json"));
    const auto ack = parser.parseUserDetail(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->eid, QStringLiteral("1234567890123456789"));
    EXPECT_EQ(ack->uid, QStringLiteral("77"));
    EXPECT_EQ(ack->qid, QStringLiteral("u10001"));
    EXPECT_EQ(ack->name, QStringLiteral("张三"));
    EXPECT_EQ(ack->phone, QStringLiteral("13800000000"));
    EXPECT_EQ(ack->email, QStringLiteral("zhang@example.com"));
    EXPECT_EQ(ack->active_time, 1700000000u);
    EXPECT_EQ(ack->active_ip, 0u); // dotted text is not a number
    EXPECT_EQ(ack->last_login_time, 1700000500u);
    EXPECT_EQ(ack->last_login_ip, 167772161u);
    EXPECT_EQ(ack->login_count, 1u);              // 2^32 + 1 keeps its low 32 bits
    EXPECT_EQ(ack->max_file_size, 5368709120ULL); // as decimal text
    EXPECT_EQ(ack->max_del_count, 200u);
    EXPECT_EQ(ack->used_size, 5368709120ULL); // as a number
    EXPECT_EQ(ack->total_size, 1099511627776ULL);
    EXPECT_EQ(ack->e_used_size, 1u);
    EXPECT_EQ(ack->e_total_size, 18446744073709551615ULL);
    EXPECT_EQ(ack->version, 42u);
    EXPECT_EQ(ack->count_node, 1234u);
    EXPECT_EQ(ack->is_admin, 1u);
    EXPECT_EQ(ack->headimage, QStringLiteral("https://img.example.com/u10001.png"));
    EXPECT_EQ(ack->has_dravel, 0u); // absent from a non-empty reply
    EXPECT_EQ(ack->file_extentions, QStringLiteral("doc,docx"));
    EXPECT_EQ(ack->edit_status, 3u);
    EXPECT_EQ(ack->online_service, QStringLiteral("svc"));
    EXPECT_EQ(ack->public_notice, QStringLiteral("公告"));
    EXPECT_EQ(ack->public_popup_window, QStringLiteral("popup"));
    EXPECT_EQ(ack->public_resident_bar, QStringLiteral("bar"));
    EXPECT_TRUE(ack->is_person);
    EXPECT_TRUE(ack->is_switch);
    EXPECT_FALSE(ack->is_person_with_member);
    EXPECT_EQ(ack->hide_module, QStringLiteral("m1,m2"));
}

TEST_F(AccountRepliesTest, InitResetsNumbersButKeepsTextsAndEditStatus) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/user_detail.json"));
    USER_DETAIL_ACK detail = *parser.parseUserDetail(data);
    detail.Init();
    EXPECT_EQ(detail.has_dravel, 1u);
    EXPECT_EQ(detail.active_time, 0u);
    EXPECT_EQ(detail.max_file_size, 0u);
    EXPECT_EQ(detail.e_total_size, 0u);
    EXPECT_EQ(detail.count_node, 0u);
    EXPECT_EQ(detail.is_admin, 0u);
    EXPECT_FALSE(detail.is_person);
    EXPECT_FALSE(detail.is_switch);
    EXPECT_EQ(detail.edit_status, 3u);
    EXPECT_EQ(detail.name, QStringLiteral("张三"));
    EXPECT_EQ(detail.hide_module, QStringLiteral("m1,m2"));
}

struct FlagCase {
    const char* label;
    const char* json;
    quint32 isAdmin;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << c.label;
}

class IsAdminTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(IsAdminTest, ReadsTheFlag) {
    QJsonObject data = Obj(GetParam().json);
    EXPECT_EQ(QCResponseCommon().parseUserDetail(data)->is_admin, GetParam().isAdmin) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Values, IsAdminTest,
    ::testing::Values(FlagCase{"NumberOne", R"({"is_admin": 1})", 1},
                      FlagCase{"TextOne", R"({"is_admin": "1"})", 1},
                      FlagCase{"NumberTwo", R"({"is_admin": 2})", 1},
                      FlagCase{"True", R"({"is_admin": true})", 1}, FlagCase{"Zero", R"({"is_admin": 0})", 0},
                      FlagCase{"Negative", R"({"is_admin": -3})", 0},
                      FlagCase{"Null", R"({"is_admin": null})", 0}, FlagCase{"Absent", R"({"qid": "u"})", 0}),
    [](const ::testing::TestParamInfo<FlagCase>& info) { return std::string(info.param.label); });

TEST_F(AccountRepliesTest, VersionFromTextAndServerTimeStaysZero) {
    QJsonObject data = Obj(R"({"ver": "12", "server_time": 1700000000})");
    const auto ack = parser.parseVersion(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->ver, 12u);
    EXPECT_EQ(ack->server_time, 0u);

    QJsonObject wide = Obj(R"({"ver": 4294967298})");
    EXPECT_EQ(parser.parseVersion(wide)->ver, 2u);
    QJsonObject empty;
    EXPECT_EQ(parser.parseVersion(empty)->ver, 0u);
}

TEST_F(AccountRepliesTest, BgspReadsCursorVersionAndTotal) {
    QJsonObject data = Obj(R"({"bgsp": "cursor-1", "ver": "12", "total": 3000})");
    auto ack = parser.parseBgsp(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->bgsp, QStringLiteral("cursor-1"));
    EXPECT_EQ(ack->ver, 12u);
    EXPECT_EQ(ack->total, 3000u);

    QJsonObject numeric = Obj(R"({"bgsp": 55, "ver": 1})");
    ack = parser.parseBgsp(numeric);
    EXPECT_TRUE(ack->bgsp.isEmpty());
    EXPECT_EQ(ack->ver, 1u);
    EXPECT_EQ(ack->total, 0u);
}

} // namespace
