// The stand-in's account service driven by the real API client: the handshake reads the stand-in's
// state through the client's parsers, and the stand-in refuses what the service refuses.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

namespace {

using Calls = std::vector<RecordingResponseHandler::RecordedCall>;

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

QString S(const char* text) {
    return QString::fromUtf8(text);
}

const char kQid[] = "1001";
const char kOwnEid[] = "1234567890123456789"; // 19 digits: must arrive whole, as text and as a number
const char kNoOwnerQid[] = "1002";            // stands in an overdue and a member enterprise only
const char kNoCredentialQid[] = "1003";       // has an empty credential pair
constexpr unsigned long long kGiB = 1ULL << 30;

// The login cookie's credential text of the pair (q, t).
QString CredentialText(const char* q = kTestQ, const char* t = kTestT) {
    return QStringLiteral("Q=%1; T=%2;").arg(S(q), S(t));
}

class StandInAccountTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        StandInUser user;
        user.qid = kQid;
        user.q = kTestQ;
        user.t = kTestT;
        user.name = "张三";
        user.maxCreatedEnterprises = 2;
        user.usedSize = 5 * kGiB;
        user.totalSize = 8 * kGiB;
        user.entUsedSize = 600 * kGiB;
        user.entTotalSize = 1024 * kGiB;
        accounts().add(user);
        accounts().addEnterprise(kQid, EnterpriseKind::Member, {"501", "Partner", false});
        accounts().addEnterprise(kQid, EnterpriseKind::Owner, {kOwnEid, "Own", true});
        accounts().addEnterprise(kQid, EnterpriseKind::Overdue, {"601", "Lapsed", false});
        accounts().addEnterprise(kQid, EnterpriseKind::NotPay, {"602", "Unpaid", true});
        user.qid = kNoOwnerQid;
        accounts().add(user);
        accounts().addEnterprise(kNoOwnerQid, EnterpriseKind::Overdue, {"701", "Lapsed", false});
        accounts().addEnterprise(kNoOwnerQid, EnterpriseKind::Member, {"702", "Partner", false});
        user.qid = kNoCredentialQid;
        user.q.clear();
        user.t.clear();
        accounts().add(user);
        UseAccount(kQid, "");
        UseStandInAsApiHost();
    }

    StandInAccounts& accounts() { return api->accounts(); }

    // The account and enterprise the next login asks for, and its credential.
    static void UseAccount(const char* qid, const char* eid, const QString& credential = CredentialText()) {
        std::unique_lock<std::shared_mutex> lock(g_Config.accountLock);
        g_Config.qid = S(qid);
        g_Config.eid = S(eid);
        g_Config.pwd = credential;
    }
    // Plays the engine thread for the announced reply of `id`: the calls the engine received.
    Calls Consume(int command, unsigned int id) {
        EXPECT_NE(id, 0u);
        EXPECT_EQ(engine.TakeProcEvents(), (std::vector<std::pair<int, unsigned int>>{{command, id}}));
        QCRequestCommon::ParseResponse(command, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        return engine.TakeCalls();
    }
    // The data of the reply of `id`, which must reach `handler` and nothing else.
    QJsonObject Data(int command, unsigned int id, const char* handler) {
        const Calls calls = Consume(command, id);
        EXPECT_EQ(calls.size(), 1u);
        if (calls.empty())
            return {};
        EXPECT_EQ(calls.front().name, S(handler));
        return calls.front().data.toObject();
    }
    // Logs in and sends the reply's account, enterprise and token from then on, as the engine does.
    std::shared_ptr<LOGIN_ACK> LogIn() {
        QJsonObject data = Data(CMD::Login, Requests().DoLogin(), "AckLogin");
        auto login = parser.parseLogin(data);
        Requests().SetParam(login->qid, login->eid, login->token);
        return login;
    }
    // The errno the stand-in answered the request `id` with; the request is released.
    int ServiceErrno(unsigned int id) {
        engine.TakeProcEvents();
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        const int result =
            client ? QJsonDocument::fromJson(client->responseBody()).object().value(S("errno")).toInt(-1)
                   : -1;
        Requests().CancelTask(id);
        engine.TakeCalls();
        return result;
    }

    QCResponseCommon parser;
};

// "eid:name:is_vip" of each item of the enterprise list `key`, read as the engine reads them.
QStringList Items(const QJsonObject& list, const char* key) {
    QStringList items;
    for (const QJsonValue& item : list.value(S(key)).toArray()) {
        const QJsonObject object = item.toObject();
        items << QCResponseCommon::JsonText(object, S("eid")) + S(":") +
                     QCResponseCommon::JsonText(object, S("name")) + S(":") +
                     QString::number(QCResponseCommon::JsonBool(object.value(S("is_vip"))));
    }
    return items;
}

class HandshakeTest : public StandInAccountTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HandshakeTest, TheClientReadsTheAccountFromTheStandInsState) {
    accounts().setNumbersAsText(GetParam());
    for (int i = 0; i < 42; ++i)
        api->tree().addFolder("/f" + std::to_string(i));
    accounts().bumpVersion(6); // 48: each node added was a change
    g_Config.SetConfigAck(GET_CONFIG_ACK());

    QJsonObject config = Data(CMD::GetConfig, Requests().DoGetConfig(), "AckGetConfig");
    g_Config.SetConfigAck(*parser.parseGetConfig(config));

    // No enterprise asked for: the owned one, though the account stands in another one first.
    const auto login = LogIn();
    const StandInSession session = accounts().session(kQid);
    EXPECT_EQ(login->qid, S(kQid));
    EXPECT_EQ(login->eid, S(kOwnEid));
    EXPECT_EQ(login->token.toStdString(), session.token);
    EXPECT_EQ(login->key.toStdString(), session.key);
    EXPECT_EQ(login->iv.toStdString(), session.iv);
    EXPECT_EQ(login->key.size(), 32);
    EXPECT_EQ(login->iv.size(), 16);

    QJsonObject detailData =
        Data(CMD::GetUserDetail, Requests().DoGetUserDetail(false, true), "AckGetUserDetail");
    const auto detail = parser.parseUserDetail(detailData);
    EXPECT_EQ(detail->name, S("张三"));
    EXPECT_EQ(detail->qid, S(kQid));
    EXPECT_EQ(detail->eid, S(kOwnEid));
    EXPECT_EQ(detail->version, 48u);
    EXPECT_EQ(detail->count_node, 42u);
    EXPECT_EQ(detail->login_count, 1u);
    EXPECT_EQ(detail->has_dravel, 1u);
    EXPECT_EQ(detail->used_size, 5 * kGiB);
    EXPECT_EQ(detail->e_total_size, 1024 * kGiB);

    ASSERT_TRUE(accounts().setSpace(kQid, 6 * kGiB, 8 * kGiB, 700 * kGiB, 1024 * kGiB));
    QJsonObject spaceData =
        Data(CMD::GetUserSpace, Requests().DoGetUserDetail(true, false), "AckGetUserSpace");
    const auto space = parser.parseUserDetail(spaceData);
    EXPECT_EQ(space->used_size, 6 * kGiB);
    EXPECT_EQ(space->e_used_size, 700 * kGiB);

    for (const unsigned expected : {48u, 49u}) {
        QJsonObject versionData = Data(CMD::GetVersion, Requests().DoGetVersion(false), "AckGetVersion");
        EXPECT_EQ(parser.parseVersion(versionData)->ver, expected);
        accounts().bumpVersion();
    }

    const QJsonObject list =
        Data(CMD::GetEnterpriseList, Requests().DoGetEnterpriseList(), "AckGetEnterpriseList");
    EXPECT_EQ(Items(list, "owner"), QStringList{S(kOwnEid) + S(":Own:1")});
    EXPECT_EQ(Items(list, "member"), QStringList{S("501:Partner:0")});
    EXPECT_EQ(Items(list, "overdue"), QStringList{S("601:Lapsed:0")});
    EXPECT_EQ(Items(list, "not_pay"), QStringList{S("602:Unpaid:1")});
    EXPECT_EQ(QCResponseCommon::JsonInt(list.value(S("max_num_created_ent"))), 2);
    EXPECT_TRUE(QCResponseCommon::JsonBool(list.value(S("can_create_more"))));

    const Calls jump =
        Consume(CMD::GetJumpUrl,
                Requests().GetJumpUrl(S("file"), JumpUrlParam(JUMP_NODE_PATH, S("o"), S("/a b/报告&1.txt"))));
    ASSERT_EQ(jump.size(), 1u);
    ASSERT_EQ(jump.front().name, S("AckGetJumpUrl"));
    const QUrl url(jump.front().data.toObject().value(S("data")).toObject().value(S("jump_url")).toString());
    const QUrlQuery query(url);
    EXPECT_EQ(url.scheme(), S("http")); // no TLS listener: the primary one
    EXPECT_EQ(url.host(), S("127.0.0.1"));
    EXPECT_EQ(url.port(), standIn.port(Listener::Primary));
    EXPECT_EQ(query.queryItemValue(S("dest_addr")), S("file"));
    EXPECT_EQ(query.queryItemValue(S("path"), QUrl::FullyDecoded), S("/a b/报告&1.txt"));
    EXPECT_FALSE(query.queryItemValue(S("ticket")).isEmpty());
    EXPECT_FALSE(query.hasQueryItem(S("token")));
}

// With a TLS listener the pages are on https, as the service's are.
class TlsAccountTest : public StandInAccountTest {
protected:
    StandInOptions options() const override {
        StandInOptions result;
        result.tls = TlsMode::TestCa;
        return result;
    }
};

TEST_F(TlsAccountTest, JumpUrlsPointAtTheTlsListener) {
    LogIn();
    const Calls jump =
        Consume(CMD::GetJumpUrl, Requests().GetJumpUrl(S("my"), JumpUrlParam(JUMP_PLAIN, QString(), QString())));
    ASSERT_EQ(jump.size(), 1u);
    const QUrl url(jump.front().data.toObject().value(S("data")).toObject().value(S("jump_url")).toString());
    EXPECT_EQ(url.scheme(), S("https"));
    EXPECT_EQ(url.host(), S("127.0.0.1"));
    EXPECT_EQ(url.port(), standIn.port(Listener::Tls));
}

INSTANTIATE_TEST_SUITE_P(Numbers, HandshakeTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AsText" : "AsJsonNumbers");
                         });

struct LoginRow {
    const char* label;
    const char* qid;
    const char* q;
    const char* t;
};

void PrintTo(const LoginRow& row, std::ostream* os) {
    *os << row.label;
}

class LoginRefusedTest : public StandInAccountTest, public ::testing::WithParamInterface<LoginRow> {};

TEST_P(LoginRefusedTest, SendsTheClientBackToItsLoginWindow) {
    const LoginRow& row = GetParam();
    UseAccount(row.qid, "", CredentialText(row.q, row.t));
    const Calls calls = Consume(CMD::Login, Requests().DoLogin());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, S("OnError"));
    EXPECT_EQ(calls[0].kind, SYNC_ERROR::Password);
    EXPECT_EQ(calls[0].serviceErrno, kStandInLoginRefused);
    EXPECT_EQ(calls[1].name, S("OnRequestFailed"));
    EXPECT_TRUE(accounts().session(row.qid).token.empty());
}

INSTANTIATE_TEST_SUITE_P(Pairs, LoginRefusedTest,
                         ::testing::Values(LoginRow{"WrongT", kQid, kTestQ, "other"},
                                           LoginRow{"WrongQ", kQid, "u=43&n=tester", kTestT},
                                           LoginRow{"UnknownAccount", "999", kTestQ, kTestT},
                                           LoginRow{"EmptyPair", kNoCredentialQid, "", ""}),
                         [](const ::testing::TestParamInfo<LoginRow>& info) {
                             return std::string(info.param.label);
                         });

struct EnterpriseRow {
    const char* label;
    const char* qid;
    const char* asked;
    const char* chosen;
};

void PrintTo(const EnterpriseRow& row, std::ostream* os) {
    *os << row.label;
}

class LoginEnterpriseTest : public StandInAccountTest, public ::testing::WithParamInterface<EnterpriseRow> {};

TEST_P(LoginEnterpriseTest, TheSessionIsInTheChosenEnterprise) {
    const EnterpriseRow& row = GetParam();
    UseAccount(row.qid, row.asked);
    EXPECT_EQ(LogIn()->eid, S(row.chosen));
    EXPECT_EQ(accounts().session(row.qid).eid, row.chosen);
    EXPECT_EQ(ServiceErrno(Requests().DoGetVersion(false)), 0);
}

INSTANTIATE_TEST_SUITE_P(Choices, LoginEnterpriseTest,
                         ::testing::Values(EnterpriseRow{"AskedAsMember", kQid, "501", "501"},
                                           EnterpriseRow{"AskedAndOverdue", kQid, "601", "601"},
                                           EnterpriseRow{"AskedButNotStoodIn", kQid, "999", kOwnEid},
                                           EnterpriseRow{"NoOwnedOneTakesTheFirst", kNoOwnerQid, "", "701"}),
                         [](const ::testing::TestParamInfo<EnterpriseRow>& info) {
                             return std::string(info.param.label);
                         });

struct SessionRow {
    const char* label;
    std::function<unsigned int()> send;
};

void PrintTo(const SessionRow& row, std::ostream* os) {
    *os << row.label;
}

class SessionTest : public StandInAccountTest, public ::testing::WithParamInterface<SessionRow> {};

// Each method needs the current token of the account, in the enterprise it logged into.
TEST_P(SessionTest, OnlyTheCurrentTokenInItsEnterpriseIsAccepted) {
    const auto send = GetParam().send;
    const auto first = LogIn();
    EXPECT_EQ(ServiceErrno(send()), 0);

    const auto second = LogIn();
    EXPECT_NE(second->token, first->token);
    EXPECT_NE(second->key, first->key);
    EXPECT_NE(second->iv, first->iv);
    Requests().SetParam(first->qid, first->eid, first->token);
    EXPECT_EQ(ServiceErrno(send()), kStandInTokenExpired) << "the former login's token";

    Requests().SetParam(second->qid, S("501"), second->token);
    EXPECT_EQ(ServiceErrno(send()), kStandInTokenExpired) << "another enterprise of the account";

    Requests().SetParam(second->qid, second->eid, second->token);
    EXPECT_EQ(ServiceErrno(send()), 0);
    ASSERT_TRUE(accounts().expireToken(kQid));
    EXPECT_EQ(ServiceErrno(send()), kStandInTokenExpired) << "an expired session";
}

INSTANTIATE_TEST_SUITE_P(
    Methods, SessionTest,
    ::testing::Values(SessionRow{"UserDetail", [] { return Requests().DoGetUserDetail(false, false); }},
                      SessionRow{"UserSpace", [] { return Requests().DoGetUserDetail(true, false); }},
                      SessionRow{"Version", [] { return Requests().DoGetVersion(true); }},
                      SessionRow{"EnterpriseList", [] { return Requests().DoGetEnterpriseList(); }},
                      SessionRow{"JumpUrl",
                                 [] {
                                     return Requests().GetJumpUrl(
                                         S("home"), JumpUrlParam(JUMP_PLAIN, QString(), QString()));
                                 }}),
    [](const ::testing::TestParamInfo<SessionRow>& info) { return std::string(info.param.label); });

} // namespace
