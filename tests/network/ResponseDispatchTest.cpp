#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/QCEventBase.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"
#include "support/RecordingResponseHandler.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <mutex>
#include <shared_mutex>

namespace {

using Calls = std::vector<RecordingResponseHandler::RecordedCall>;

// Counts the core events delivered to it.
class Receiver : public QObject {
public:
    int invalidQt = 0;
    bool event(QEvent* e) override {
        TsanAcquireEvent(e);
        if (e->type() == QEvent::Type(QCEventBase::InvalidQT))
            ++invalidQt;
        return true;
    }
};

QByteArray Envelope(int errnoValue) {
    return QByteArray("{\"errno\":") + QByteArray::number(errnoValue) +
           ",\"errmsg\":\"msg\",\"data\":{\"x\":1}}";
}

bool IsTransferCommand(int command) {
    return (command >= CMD::DownloadInfo && command <= CMD::DownloadBlock) ||
           (command >= CMD::UploadInfo && command <= CMD::UploadFast);
}

const RecordingResponseHandler::RecordedCall* Find(const Calls& calls, const char* name) {
    for (const auto& call : calls) {
        if (call.name == QLatin1String(name))
            return &call;
    }
    return nullptr;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetResponseHandler(&engine);
        std::unique_lock<std::shared_mutex> lock(g_Config.outerLock);
        g_Config.outer = &receiver;
        // The engine's error report writes a critical line for every mapped error; keep the log quiet.
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    }
    void TearDown() override {
        qInstallMessageHandler(previous);
        QCoreApplication::removePostedEvents(&receiver);
        std::unique_lock<std::shared_mutex> lock(g_Config.outerLock);
        g_Config.outer = nullptr;
        SetResponseHandler(nullptr);
    }
    Calls Dispatch(int command, const QByteArray& body, unsigned int id = 7, int type = 0) {
        QCRequestCommon::DispatchReply(command, id, body, type, 0, 0);
        QCoreApplication::sendPostedEvents(&receiver);
        return engine.TakeCalls();
    }
    RecordingResponseHandler engine; // registered from SetUp to TearDown
    Receiver receiver;
    QtMessageHandler previous = nullptr;
};

// The error table, one row per rule: what a reply with that errno to that command leads to.
struct ErrorRow {
    const char* label;
    int command;
    int serviceErrno;
    bool dealtWith; // ProcessError's result
    int kind;       // the kind reported to the engine, -1: no report
    bool relogin;
    bool invalidQt;
    const char* handler; // the one handler that receives the reply or its failure
};

void PrintTo(const ErrorRow& row, std::ostream* os) {
    *os << row.label;
}

class ErrorTableTest : public DispatchTest, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ErrorTableTest, MapsTheServiceError) {
    const ErrorRow& row = GetParam();
    int code = -7;
    EXPECT_EQ(QCRequestCommon::ProcessError(row.command, code, row.serviceErrno, QStringLiteral("m")),
              row.dealtWith);
    QCoreApplication::sendPostedEvents(&receiver);
    receiver.invalidQt = 0;
    engine.TakeCalls();

    const Calls calls = Dispatch(row.command, Envelope(row.serviceErrno));
    const auto* report = Find(calls, "OnError");
    if (row.kind < 0) {
        EXPECT_EQ(report, nullptr);
    } else {
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->kind, row.kind);
        EXPECT_EQ(report->serviceErrno, row.serviceErrno);
        EXPECT_TRUE(report->text.isEmpty());
    }
    EXPECT_EQ(Find(calls, "ReLogin") != nullptr, row.relogin);
    EXPECT_EQ(receiver.invalidQt, row.invalidQt ? 1 : 0);
    const char* handlers[] = {"AckGetConfig",     "AckLogin",       "AckGetUserDetail",
                              "AckGetVersion",    "AckGetBgsp",     "ProcServerFileOperate",
                              "ProcDownloadFile", "ProcUploadFile", "OnRequestFailed"};
    for (const char* handler : handlers)
        EXPECT_EQ(Find(calls, handler) != nullptr, std::string(handler) == row.handler) << handler;
    // A failure handed on carries the kind it was reported as (a new login counts as a login error).
    const auto* failure = Find(calls, row.handler);
    if (row.dealtWith && failure && !IsTransferCommand(row.command)) {
        EXPECT_EQ(failure->kind, row.kind < 0 ? int(SYNC_ERROR::Login) : row.kind);
        EXPECT_EQ(failure->serviceErrno, row.serviceErrno);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ErrorTableTest,
    ::testing::Values(
        ErrorRow{"NoPerm", CMD::Rename, 81003, true, 47, false, false, "ProcServerFileOperate"},
        ErrorRow{"TokenExpiredRelogs", CMD::GetBgsp, 2006, true, -1, true, false, "OnRequestFailed"},
        ErrorRow{"TokenExpiredOnLoginIsALoginError", CMD::Login, 2006, true, 14, false, false,
                 "OnRequestFailed"},
        ErrorRow{"NotSupported", CMD::GetVersion, 1007, true, 13, false, false, "OnRequestFailed"},
        ErrorRow{"UnActive", CMD::GetConfig, 2901, true, 46, false, false, "OnRequestFailed"},
        ErrorRow{"RestrictedUserDetail", CMD::GetUserDetail, 8908, true, 14, false, false, "OnRequestFailed"},
        ErrorRow{"RestrictedOther", CMD::Copy, 8908, true, 44, false, false, "ProcServerFileOperate"},
        ErrorRow{"LinkRestrictionDispatched", CMD::GetVersion, 32052, false, -1, false, false,
                 "AckGetVersion"},
        ErrorRow{"LinkRestrictionOther", CMD::Login, 32052, true, 44, false, false, "OnRequestFailed"},
        ErrorRow{"Maintain", CMD::Move, 9999, true, 15, false, false, "ProcServerFileOperate"},
        ErrorRow{"Logic3109", CMD::GetConfig, 3109, true, 10, false, false, "OnRequestFailed"},
        ErrorRow{"BannedAtLogin", CMD::Login, 91001, true, 45, false, false, "OnRequestFailed"},
        ErrorRow{"PasswordElsewhere", CMD::GetUserDetail, 91001, true, 16, false, false, "OnRequestFailed"},
        ErrorRow{"Banned", CMD::GetBgsp, 91002, true, 45, false, false, "OnRequestFailed"},
        ErrorRow{"ConfigOther", CMD::GetConfig, 123, true, 14, false, false, "OnRequestFailed"},
        ErrorRow{"BgspOther", CMD::GetBgsp, 123, true, 14, false, false, "OnRequestFailed"},
        ErrorRow{"InvalidCookieAtLogin", CMD::Login, 2008, true, 16, false, true, "OnRequestFailed"},
        ErrorRow{"LoginOther", CMD::Login, 123, true, 14, false, false, "OnRequestFailed"},
        ErrorRow{"FolderExists", CMD::CreateDir, 3005, false, -1, false, false, "ProcServerFileOperate"},
        ErrorRow{"AlreadyRecycled", CMD::DeleteNode, 3007, false, -1, false, false, "ProcServerFileOperate"},
        ErrorRow{"CreateDirOther", CMD::CreateDir, 3001, true, 10, false, false, "ProcServerFileOperate"},
        ErrorRow{"RecycleOther", CMD::DeleteNode, 3005, true, 10, false, false, "ProcServerFileOperate"},
        ErrorRow{"TransferOtherGoesToTheTask", CMD::UploadMeta, 123, false, -1, false, false,
                 "ProcUploadFile"},
        ErrorRow{"TransferMappedReachesTheTaskToo", CMD::DownloadInfo, 9999, true, 15, false, false,
                 "ProcDownloadFile"},
        ErrorRow{"TransferReloginReachesTheTaskToo", CMD::UploadCommit, 2006, true, -1, true, false,
                 "ProcUploadFile"},
        ErrorRow{"AnyOtherIsLogic", CMD::GetEnterpriseList, 123, true, 10, false, false, "OnRequestFailed"}),
    [](const ::testing::TestParamInfo<ErrorRow>& info) { return std::string(info.param.label); });

TEST_F(DispatchTest, SuccessesReachTheirHandlersWithTheRequestsParameters) {
    Calls calls = Dispatch(CMD::GetUserDetail, Envelope(0), 7, 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, QStringLiteral("AckGetUserDetail"));
    EXPECT_TRUE(calls[0].flag);
    EXPECT_EQ(calls[0].data.toObject().value(QStringLiteral("x")).toInt(), 1);

    QCRequestCommon::DispatchReply(CMD::GetGlobalNodes, 3, Envelope(0), 0, 2000, 1);
    calls = engine.TakeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].count, 2000u);
    EXPECT_TRUE(calls[0].flag);

    // Without "errno" a reply counts as a success; its missing data is handed on undefined.
    calls = Dispatch(CMD::GetBgsp, "{\"x\":1}");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, QStringLiteral("AckGetBgsp"));
    EXPECT_TRUE(calls[0].data.isUndefined());
}

TEST_F(DispatchTest, ABodyThatIsNotAJsonObjectIsNeverASuccess) {
    for (const QByteArray& body : {QByteArray("<html>502 Bad Gateway</html>"), QByteArray(),
                                   QByteArray("{\"errno\":0,\"data\":{"), QByteArray("[1,2]")}) {
        for (int command : {CMD::CreateDir, CMD::Rename, CMD::Move, CMD::DeleteNode, CMD::GetUserDetail}) {
            const Calls calls = Dispatch(command, body);
            ASSERT_EQ(calls.size(), 2u) << command << " " << body.constData();
            EXPECT_EQ(calls[0].name, QStringLiteral("OnError"));
            EXPECT_EQ(calls[0].kind, SYNC_ERROR::XmlCorrupt);
            // Whoever waits for the reply hears that it failed.
            EXPECT_EQ(calls[1].name, command == CMD::GetUserDetail ? QStringLiteral("OnRequestFailed")
                                                                   : QStringLiteral("ProcServerFileOperate"));
            EXPECT_EQ(calls[1].kind, SYNC_ERROR::XmlCorrupt);
            EXPECT_EQ(calls[1].serviceErrno, QCRequestCommon::ERRNO_BAD_REPLY);
        }
    }
}

TEST_F(DispatchTest, TransferTasksAlwaysLearnOfABrokenReply) {
    engine.SetTaskOwned(11, true);
    Calls calls = Dispatch(CMD::UploadMeta, "<html>", 11);
    engine.SetTaskOwned(11, false);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, SYNC_ERROR::XmlCorrupt);
    EXPECT_EQ(calls[1].name, QStringLiteral("ProcUploadFile"));
    EXPECT_EQ(calls[1].data.toObject().value(QStringLiteral("errno")).toInt(),
              QCRequestCommon::ERRNO_BAD_REPLY);

    // Nobody owns the id any more: dropped without a word.
    calls = Dispatch(CMD::UploadMeta, "<html>", 12);
    EXPECT_TRUE(calls.empty());

    // Block data is never read as JSON.
    calls = Dispatch(CMD::DownloadBlock, "{\"errno\":2006}");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, QStringLiteral("ProcDownloadFile"));
    EXPECT_TRUE(calls[0].data.toObject().isEmpty());
}

TEST_F(DispatchTest, JumpUrlRepliesAreHandedOnWhole) {
    Calls calls = Dispatch(CMD::GetJumpUrl, Envelope(2006));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, QStringLiteral("AckGetJumpUrl"));
    EXPECT_EQ(calls[0].data.toObject().value(QStringLiteral("errno")).toInt(), 2006);

    calls = Dispatch(CMD::GetJumpUrl, "oops");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].name, QStringLiteral("AckGetJumpUrl"));
    EXPECT_EQ(calls[1].data.toObject().value(QStringLiteral("errno")).toInt(),
              QCRequestCommon::ERRNO_BAD_REPLY);
}

TEST_F(DispatchTest, LoginEnterpriseIdKeepsAllItsDigits) {
    const char* bodies[] = {
        "{\"errno\":0,\"data\":{\"qid\":\"1\",\"eid\":1234567890123456789,\"token\":\"t\"}}",
        "{\"errno\":0,\"data\":{\"qid\":\"1\",\"token\":\"t\",\"eid\":1234567890123456789}}",
        "{\"errno\":0,\"data\":{\"qid\":\"1\",\"token\":\"t\",\"eid\" :  1234567890123456789 }}",
        "{\"errno\":0,\"data\":{\"qid\":\"1\",\"eid\":\"1234567890123456789\"}}",
    };
    QCResponseCommon parser;
    for (const char* body : bodies) {
        const Calls calls = Dispatch(CMD::Login, body);
        ASSERT_EQ(calls.size(), 1u) << body;
        ASSERT_EQ(calls[0].name, QStringLiteral("AckLogin"));
        QJsonObject data = calls[0].data.toObject();
        EXPECT_EQ(parser.parseLogin(data)->eid, QStringLiteral("1234567890123456789")) << body;
    }
    // A text that merely holds "eid" is not touched.
    EXPECT_EQ(QCRequestCommon::QuoteNumericEid("{\"a\":\"eid\",\"b\":\"\\\"eid\\\":5\"}"),
              QByteArray("{\"a\":\"eid\",\"b\":\"\\\"eid\\\":5\"}"));
    EXPECT_EQ(QCRequestCommon::QuoteNumericEid("{\"eid\":-12,\"x\":{\"eid\":7}}"),
              QByteArray("{\"eid\":\"-12\",\"x\":{\"eid\":\"7\"}}"));
}

} // namespace
