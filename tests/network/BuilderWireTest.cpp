// Every request builder against the stand-in, from one table: what goes over the wire (HTTP
// method, API method, cookie pairs in order, form body), and that a reply which is not JSON still
// ends in exactly one call to the engine, which says it failed.
#include "ApiTestSupport.h"

#include "common/CommonDef.h"
#include "network/CmdTable.h"
#include "network/QCRequestCommon.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <algorithm>
#include <functional>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

QString S(const char* text) {
    return QString::fromUtf8(text);
}

// How the code that owns a prepared request performs it.
enum class Perform {
    ByBuilder, // the builder sent it
    Get,
    FormPost,
    Multipart,
};

const char kBlock[] = "block bytes\0with a zero";

struct BuilderRow {
    BuilderRow(const char* name, int cmd, std::function<unsigned int(const QString&)> builder, Perform how,
               NameValueList cookiePairs, bool withToken = true, NameValueList formFields = {},
               bool withFile = false)
        : label(name), command(cmd), build(std::move(builder)), perform(how), cookies(std::move(cookiePairs)),
          token(withToken), form(std::move(formFields)), filePart(withFile) {}

    const char* label;
    int command;
    // Builds (and maybe sends) the request for a transfer host `host`; the task id.
    std::function<unsigned int(const QString& host)> build;
    Perform perform;
    NameValueList cookies; // business pairs in order; "token" (unless noted), "q" and "t" follow
    bool token;
    NameValueList form; // plain form fields in order
    bool filePart;      // a part "file" named "file.dat" holding kBlock
};

void PrintTo(const BuilderRow& row, std::ostream* os) {
    *os << row.label;
}

FILE_INFO File() {
    FILE_INFO file;
    file.path = S("/报告 1.txt");
    file.file_hash = S("f00d");
    file.size = 5368709120ULL;
    file.ctime = 11;
    file.mtime = 22;
    file.attrs = 128;
    return file;
}

const std::vector<BuilderRow>& Rows() {
    using P = Perform;
    static const std::vector<BuilderRow> rows = {
        {"GetConfig",
         CMD::GetConfig,
         [](const QString&) { return Requests().DoGetConfig(); },
         P::ByBuilder,
         {},
         false},
        {"Login",
         CMD::Login,
         [](const QString&) { return Requests().DoLogin(); },
         P::ByBuilder,
         {{"sv", "1"}},
         false},
        {"UserDetail",
         CMD::GetUserDetail,
         [](const QString&) { return Requests().DoGetUserDetail(false, true); },
         P::ByBuilder,
         {{"type", "1"}}},
        {"UserSpace",
         CMD::GetUserSpace,
         [](const QString&) { return Requests().DoGetUserDetail(true, false); },
         P::ByBuilder,
         {}},
        {"Version",
         CMD::GetVersion,
         [](const QString&) { return Requests().DoGetVersion(false); },
         P::ByBuilder,
         {{"type", "0"}}},
        {"EnterpriseList",
         CMD::GetEnterpriseList,
         [](const QString&) { return Requests().DoGetEnterpriseList(); },
         P::ByBuilder,
         {}},
        {"Bgsp", CMD::GetBgsp, [](const QString&) { return Requests().DoGetBgsp(); }, P::ByBuilder, {}},
        {"GlobalNodes",
         CMD::GetGlobalNodes,
         [](const QString&) {
             GLOBAL_NODES_REQ request;
             request.bgsp = S("b");
             request.gsp = S("g");
             request.count = 500;
             request.spnid = S("7");
             return Requests().DoGetGlobalNodes(request);
         },
         P::ByBuilder,
         {{"bgsp", "b"}, {"gsp", "g"}, {"count", "500"}, {"spnid", "7"}}},
        {"IncrGlobal",
         CMD::GetIncrGlobal,
         [](const QString&) {
             INCR_GLOBAL_REQ request;
             request.gsp = S("g");
             request.from_comet = true;
             request.uv = 3;
             request.count = 100;
             return Requests().DoGetIncrGlobal(request);
         },
         P::ByBuilder,
         {{"gsp", "g"}, {"from_comet", "1"}, {"uv", "3"}, {"count", "100"}}},
        {"CreateDir",
         CMD::CreateDir,
         [](const QString&) {
             CREATEDIR_REQ request;
             request.path = S("/a b");
             request.ctime = 1600000000;
             request.mtime = 1700000000;
             request.attrs = 16;
             return Requests().DoCreateDir(request);
         },
         P::ByBuilder,
         {{"fname", "/a b/"}, {"fctime", "1600000000"}, {"fmtime", "1700000000"}, {"fattr", "16"}}},
        {"Delete",
         CMD::DeleteNode,
         [](const QString&) {
             DELETE_REQ request;
             request.path = S("/d");
             request.is_dir = true;
             return Requests().DoDelete(request);
         },
         P::ByBuilder,
         {{"fname", "/d/"}, {"owner_qid", ""}}},
        {"Rename",
         CMD::Rename,
         [](const QString&) {
             RENAME_REQ request;
             request.old_path = S("/a.txt");
             request.new_path = S("/b.txt");
             request.owner_qid = S("5");
             return Requests().DoRename(request);
         },
         P::ByBuilder,
         {{"src_name", "/a.txt"}, {"new_name", "/b.txt"}, {"owner_qid", "5"}}},
        {"Move",
         CMD::Move,
         [](const QString&) {
             RENAME_REQ request;
             request.old_path = S("/x");
             request.new_path = S("/y/x");
             request.is_dir = true;
             request.owner_qid = S("5"); // a move names no owner
             return Requests().DoMove(request);
         },
         P::ByBuilder,
         {{"src_name", "/x/"}, {"new_name", "/y/x/"}}},
        {"Copy",
         CMD::Copy,
         [](const QString&) {
             RENAME_REQ request;
             request.old_path = S("/docs/plan");
             request.new_path = S("/x/plan copy");
             request.is_dir = true;
             return Requests().DoCopy(request);
         },
         P::ByBuilder,
         {{"src_name", "/docs/plan/"},
          {"new_name", "plan copy"},
          {"dest", "/x/"},
          {"owner_qid", "1001"},
          {"new_qid", "1001"}}},
        {"JumpPlain",
         CMD::GetJumpUrl,
         [](const QString&) {
             return Requests().GetJumpUrl(S("home"), JumpUrlParam(JUMP_PLAIN, S("o"), S("i")));
         },
         P::ByBuilder,
         {{"qid", "1001"}, {"dest_addr", "home"}}},
        {"JumpEnterprise",
         CMD::GetJumpUrl,
         [](const QString&) {
             return Requests().GetJumpUrl(S("ent"), JumpUrlParam(JUMP_ENTERPRISE, S("e9"), S("i")));
         },
         P::ByBuilder,
         {{"qid", "1001"}, {"dest_addr", "ent"}, {"jump_eid", "e9"}}},
        {"JumpNodeId",
         CMD::GetJumpUrl,
         [](const QString&) {
             return Requests().GetJumpUrl(S("n"), JumpUrlParam(JUMP_NODE_ID, S("o"), S("42")));
         },
         P::ByBuilder,
         {{"qid", "1001"}, {"dest_addr", "n"}, {"owner_qid", "o"}, {"nid", "42"}}},
        {"JumpNodePath",
         CMD::GetJumpUrl,
         [](const QString&) {
             return Requests().GetJumpUrl(S("p"), JumpUrlParam(JUMP_NODE_PATH, S("o"), S("/a b")));
         },
         P::ByBuilder,
         {{"qid", "1001"}, {"dest_addr", "p"}, {"owner_qid", "o"}, {"path", "/a b"}}},
        {"DownloadInfo",
         CMD::DownloadInfo,
         [](const QString&) {
             DL_INFO_REQ request;
             request.path = S("/a.txt");
             request.nid = S("9");
             return Requests().DoDownloadInfo(request);
         },
         P::ByBuilder,
         {{"fpath", "/a.txt"}, {"nid", "9"}, {"owner_qid", ""}}},
        {"UploadInfo",
         CMD::UploadInfo,
         [](const QString&) {
             FILE_INFO file = File();
             return Requests().DoUploadInfo(file);
         },
         P::ByBuilder,
         // "fsum" is checked by the stand-in, which refuses a wrong one.
         {{"fname", "/报告 1.txt"},
          {"fhash", "f00d"},
          {"fsize", "5368709120"},
          {"fctime", "11"},
          {"fmtime", "22"},
          {"fattr", "128"},
          {"fsum", "*"}}},
        {"UploadAdd",
         CMD::UploadAdd,
         [](const QString&) {
             UP_ADD_REQ request;
             request.file = File();
             request.token = S("tk1");
             request.etk = S("etk1");
             return Requests().DoUploadAdd(request, false);
         },
         P::FormPost,
         {{"tk", "tk1"}, {"etk", "etk1"}, {"owner_qid", ""}},
         true,
         {{"fname", "/报告 1.txt"}}},
        {"DownloadMeta",
         CMD::DownloadMeta,
         [](const QString& host) {
             DL_META_REQ request;
             request.file_hash = S("f00d");
             request.nid = S("9");
             request.dt = S("dt1");
             return Requests().DoDownloadMeta(request, host, QString(), false);
         },
         P::ByBuilder,
         {{"fhash", "f00d"}, {"nid", "9"}, {"dt", "dt1"}}},
        {"DownloadBlock",
         CMD::DownloadBlock,
         [](const QString& host) {
             DL_DATA_REQ request;
             request.bhash = S("bh");
             request.dt = S("dt1");
             request.app_id = S("cloud");
             request.block_size = 2048;
             unsigned int unused = 0;
             return Requests().DoDownloadBlock(request, host, QString(), true, unused, false);
         },
         // Plain http with the default "trans_encrypt" asks for encrypted blocks.
         P::Get,
         {{"bhash", "bh"}, {"dt", "dt1"}, {"open_app_id", "cloud"}, {"encrypt", "2"}, {"compress", "1"}}},
        {"UploadMeta",
         CMD::UploadMeta,
         [](const QString& host) {
             UP_EX_REQ request;
             const unsigned int id = Requests().DoUploadMeta(request, host, QString(), false);
             // The transfer engine adds the block list as form fields.
             if (const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id))
                 client->addQueryParam("bhash1", "c1");
             return id;
         },
         P::Multipart,
         {},
         true,
         {{"bhash1", "c1"}}},
        {"UploadBlock",
         CMD::UploadBlock,
         [](const QString& host) {
             UP_BLOCK_REQ request;
             request.tid = S("t1");
             request.bhash = S("bh");
             request.bidx = 2;
             request.boffset = 524288;
             request.bsize = 524288;
             request.sess_key = S("sk");
             request.data = kBlock;
             request.data_len = sizeof(kBlock);
             request.compressed = true;
             unsigned int unused = 0;
             return Requests().DoUploadBlock(request, host, QString(), unused, false);
         },
         P::Multipart,
         {{"tid", "t1"},
          {"bhash", "bh"},
          {"bidx", "2"},
          {"boffset", "524288"},
          {"bsize", "524288"},
          {"sess_key", "sk"},
          {"compress", "1"},
          {"compress_size", std::to_string(sizeof(kBlock))}},
         true,
         {},
         true},
        {"UploadCommit",
         CMD::UploadCommit,
         [](const QString& host) {
             UP_COMMIT_REQ request;
             request.tid = S("t1");
             return Requests().DoUploadCommit(request, host, QString(), false);
         },
         P::Get,
         {{"tid", "t1"}}},
        {"FastUpload",
         CMD::UploadFast,
         [](const QString& host) {
             UP_FAST_REQ request;
             request.file = File();
             request.token = S("tk1");
             request.data = kBlock;
             request.data_len = sizeof(kBlock);
             return Requests().DoFastUpload(request, host, QString(), false);
         },
         P::Multipart,
         {},
         true,
         {{"fname", "/报告 1.txt"},
          {"fsize", "5368709120"},
          {"fhash", "f00d"},
          {"fctime", "11"},
          {"fmtime", "22"},
          {"fattr", "128"},
          {"tk", "tk1"}},
         true},
    };
    return rows;
}

bool IsTransfer(int command) {
    return (command >= CMD::DownloadInfo && command <= CMD::DownloadBlock) ||
           (command >= CMD::UploadInfo && command <= CMD::UploadFast);
}

class BuilderWireTest : public ApiTest, public ::testing::WithParamInterface<BuilderRow> {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        UseStandInAsApiHost();
        Requests().SetParam(S("1001"), S("2002"), S("tok en"));
        host = QStringLiteral("127.0.0.1:%1").arg(standIn.port(Listener::Primary));
    }

    // Builds and sends the row's request as its owner would; the task id, 0 when none is left
    // registered (the engine was told instead).
    unsigned int Send(const BuilderRow& row) {
        const unsigned int id = row.build(host);
        const QSharedPointer<NetworkClient> client = id ? Requests().GetRequestByID(id) : nullptr;
        if (!client)
            return id;
        switch (row.perform) {
        case Perform::ByBuilder:
            break;
        case Perform::Get:
            EXPECT_TRUE(client->doGet(QString()));
            break;
        case Perform::FormPost:
            EXPECT_TRUE(client->doPost(QString()));
            break;
        case Perform::Multipart:
            EXPECT_TRUE(client->doUploadMultipartData());
            break;
        }
        return id;
    }

    QString host;
};

TEST_P(BuilderWireTest, SendsWhatTheServiceReads) {
    const BuilderRow& row = GetParam();
    api->setAnswer(GetCmdString(row.command).toStdString(), ApiAnswer::Data("{}"));
    const unsigned int id = Send(row);
    // The stand-in checks signatures (and the "fsum" of an upload-address request) as the
    // service does: the request was accepted.
    const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
    ASSERT_TRUE(client);
    EXPECT_EQ(
        QJsonDocument::fromJson(client->responseBody()).object().value(QStringLiteral("errno")).toInt(-1), 0);
    const auto calls = api->calls(GetCmdString(row.command).toStdString());
    ASSERT_EQ(calls.size(), 1u);
    const RecordedRequest& sent = calls.front();
    const bool post = row.perform == Perform::FormPost || row.perform == Perform::Multipart;
    EXPECT_EQ(sent.method, post ? "POST" : "GET");
    EXPECT_EQ(sent.path, "/intf.php");

    NameValueList expected = row.cookies;
    if (row.token)
        expected.emplace_back("token", "tok en");
    expected.emplace_back("q", kTestQ);
    expected.emplace_back("t", kTestT);
    NameValueList cookies = sent.cookies;
    for (size_t i = 0; i < expected.size() && i < cookies.size(); ++i) {
        if (expected[i].second == "*") // a signature, checked by the stand-in
            cookies[i].second = "*";
    }
    EXPECT_EQ(cookies, expected) << sent.header("Cookie");

    NameValueList form;
    if (row.perform == Perform::FormPost) {
        for (const QString& pair :
             QString::fromStdString(sent.body).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
            const int equals = pair.indexOf(QLatin1Char('='));
            form.emplace_back(QUrl::fromPercentEncoding(pair.left(equals).toUtf8()).toStdString(),
                              QUrl::fromPercentEncoding(pair.mid(equals + 1).toUtf8()).toStdString());
        }
    }
    NameValueList expectedForm = row.form;
    if (row.perform == Perform::Multipart) {
        // The stand-in keeps multipart fields by name, not in their order.
        for (const FormPart& part : sent.parts) {
            if (part.filename.empty())
                form.emplace_back(part.name, part.content);
        }
        std::sort(form.begin(), form.end());
        std::sort(expectedForm.begin(), expectedForm.end());
    }
    EXPECT_EQ(form, expectedForm);
    const FormPart* file = sent.part("file");
    EXPECT_EQ(file != nullptr, row.filePart);
    if (file && row.filePart) {
        EXPECT_EQ(file->filename, "file.dat");
        EXPECT_EQ(file->content, std::string(kBlock, sizeof(kBlock)));
    }
}

// A reply that is not JSON ends in one call to whoever waits for it, which says the reply failed.
TEST_P(BuilderWireTest, AnHtmlReplyReachesTheWaitingHandler) {
    const BuilderRow& row = GetParam();
    FaultRule html;
    html.path = "/intf.php";
    html.fault.kind = FaultKind::NotJson;
    standIn.addFault(html);

    const unsigned int id = Send(row);
    ASSERT_NE(id, 0u);
    // The engine's part: announced replies come as events, the others it parses itself.
    const auto events = engine.TakeProcEvents();
    const bool announced = !events.empty();
    if (announced) {
        EXPECT_EQ(events, (std::vector<std::pair<int, unsigned int>>{{row.command, id}}));
    }
    engine.SetTaskOwned(id, IsTransfer(row.command));
    QCRequestCommon::ParseResponse(row.command, id, Requests().GetRequestByID(id));
    engine.SetTaskOwned(id, false);
    EXPECT_TRUE(Requests().CancelTask(id));

    auto calls = engine.TakeCalls();
    if (row.command != CMD::DownloadBlock) { // block data is never read as JSON
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front().name, QStringLiteral("OnError"));
        EXPECT_EQ(calls.front().kind, SYNC_ERROR::XmlCorrupt);
        calls.erase(calls.begin());
    }
    ASSERT_EQ(calls.size(), 1u);
    const auto& handled = calls.front();
    const int command = row.command;
    if (command == CMD::DownloadBlock) {
        EXPECT_EQ(handled.name, QStringLiteral("ProcDownloadFile"));
    } else if (IsTransfer(command) || command == CMD::GetJumpUrl) {
        EXPECT_EQ(handled.name, command == CMD::GetJumpUrl      ? QStringLiteral("AckGetJumpUrl")
                                : command <= CMD::DownloadBlock ? QStringLiteral("ProcDownloadFile")
                                                                : QStringLiteral("ProcUploadFile"));
        EXPECT_EQ(handled.data.toObject().value(QStringLiteral("errno")).toInt(),
                  QCRequestCommon::ERRNO_BAD_REPLY);
    } else {
        EXPECT_EQ(handled.name, command >= CMD::CreateDir && command <= CMD::Copy
                                    ? QStringLiteral("ProcServerFileOperate")
                                    : QStringLiteral("OnRequestFailed"));
        EXPECT_EQ(handled.kind, SYNC_ERROR::XmlCorrupt);
        EXPECT_EQ(handled.serviceErrno, QCRequestCommon::ERRNO_BAD_REPLY);
    }
    EXPECT_EQ(handled.id, command == CMD::GetJumpUrl ? 0u : id);
}

INSTANTIATE_TEST_SUITE_P(Builders, BuilderWireTest, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<BuilderRow>& info) {
                             return std::string(info.param.label);
                         });

// An announced request whose exchange fails is announced as a failure; so is one with no host.
TEST_F(ApiTest, AFailedExchangeEndsInOneFailureCall) {
    EXPECT_EQ(Requests().DoGetBgsp(), 0u); // no configuration reply yet: no host
    UseStandInAsApiHost();
    FaultRule reset;
    reset.path = "/intf.php";
    reset.fault.kind = FaultKind::Reset;
    standIn.addFault(reset);
    EXPECT_EQ(Requests().DoGetVersion(true), 0u); // the version request is never retried

    const auto calls = engine.TakeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, QStringLiteral("OnRequestFailed"));
    EXPECT_EQ(calls[0].command, CMD::GetBgsp);
    EXPECT_EQ(calls[0].id, 0u);
    EXPECT_EQ(calls[0].kind, SYNC_ERROR::Network);
    EXPECT_EQ(calls[1].name, QStringLiteral("OnRequestFailed"));
    EXPECT_EQ(calls[1].command, CMD::GetVersion);
    EXPECT_NE(calls[1].id, 0u);
    EXPECT_EQ(calls[1].kind, SYNC_ERROR::Network);
    EXPECT_NE(calls[1].serviceErrno, 0); // libcurl's result
    EXPECT_FALSE(Requests().GetRequestByID(calls[1].id));
    EXPECT_TRUE(engine.TakeProcEvents().empty());
}

} // namespace
