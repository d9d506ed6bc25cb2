// The stand-in's folder and node operations driven by the real API client: each request goes out
// through its builder, the reply reaches the recording engine through the client's dispatch, and
// a change shows in the tree, its version and the incremental listing.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <algorithm>
#include <future>
#include <optional>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

QString S(const std::string& text) {
    return QString::fromStdString(text);
}


using Call = RecordingResponseHandler::RecordedCall;

class StandInFileOpsTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ASSERT_FALSE(LogInToStandIn().isEmpty());
        for (const char* folder : {"/docs", "/docs/sub", "/other"})
            ASSERT_FALSE(tree().addFolder(folder).empty());
        ASSERT_FALSE(tree().addFileBytes("/docs/a.txt", "alpha").empty());
        ASSERT_FALSE(tree().addFileBytes("/docs/sub/b.txt", "beta").empty());
    }

    StandInTree& tree() { return api->tree(); }

    // Sends `command` as the engine fills its request and hands the reply on as the engine does;
    // the engine's ProcServerFileOperate call (else its last call), or an empty call when the
    // exchange failed.
    Call Send(int command, const std::string& from, const std::string& to, bool isDir) {
        unsigned int id = 0;
        RENAME_REQ names{S(from), S(to), isDir, QString(), QString()};
        if (command == CMD::CreateDir) {
            CREATEDIR_REQ request{S(from), QString(), 1700000000, 1700000100, 16};
            id = Requests().DoCreateDir(request);
        } else if (command == CMD::DeleteNode) {
            DELETE_REQ request{S(from), isDir, QString()};
            id = Requests().DoDelete(request);
        } else if (command == CMD::Rename) {
            id = Requests().DoRename(names);
        } else if (command == CMD::Move) {
            id = Requests().DoMove(names);
        } else {
            id = Requests().DoCopy(names);
        }
        engine.TakeProcEvents();
        if (id == 0)
            return Call();
        QCRequestCommon::ParseResponse(command, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        const auto calls = engine.TakeCalls();
        // A refusal may come with a report (OnError) before the dispatch.
        for (const Call& call : calls) {
            if (call.name == QLatin1String("ProcServerFileOperate"))
                return call;
        }
        return calls.empty() ? Call() : calls.back();
    }

    // The nodes changed since `bgsp`, by id, as the client parses them (one page holds them all).
    NodeMap ChangesSince(const QString& bgsp) {
        INCR_GLOBAL_REQ request{bgsp, QString(), 500, false, int(tree().version())};
        const unsigned int id = Requests().DoGetIncrGlobal(request);
        engine.TakeProcEvents();
        QCRequestCommon::ParseResponse(CMD::GetIncrGlobal, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        const auto calls = engine.TakeCalls();
        if (calls.size() != 1u)
            return NodeMap();
        QJsonObject data = calls.front().data.toObject();
        return parser.parseIncrNode(data)->nodes;
    }
    QString Bgsp() {
        const unsigned int id = Requests().DoGetBgsp();
        engine.TakeProcEvents();
        QCRequestCommon::ParseResponse(CMD::GetBgsp, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        const auto calls = engine.TakeCalls();
        QJsonObject data = calls.empty() ? QJsonObject() : calls.front().data.toObject();
        return parser.parseBgsp(data)->bgsp;
    }

    QCResponseCommon parser;
};

struct OpCase {
    const char* name;
    int command;
    const char* from;
    const char* to;
    bool isDir;
    int errnoValue;   // the service's answer; 0: done
    const char* gone; // a path the change removed
    const char* made; // a path the change made
};

class StandInFileOpsTableTest : public StandInFileOpsTest, public ::testing::WithParamInterface<OpCase> {};

TEST_P(StandInFileOpsTableTest, ChangesTheTreeOnceOrNotAtAll) {
    const OpCase& c = GetParam();
    const QString bgsp = Bgsp();
    const auto before = tree().byPath();
    const unsigned version = tree().version();
    const std::optional<StandInNode> source = tree().node(c.from);

    const Call call = Send(c.command, c.from, c.to, c.isDir);
    EXPECT_EQ(call.serviceErrno, c.errnoValue) << call.name.toStdString();
    if (c.errnoValue != 0) {
        EXPECT_EQ(tree().version(), version);
        EXPECT_EQ(tree().byPath().size(), before.size());
        EXPECT_TRUE(ChangesSince(bgsp).empty());
        return;
    }
    EXPECT_EQ(call.name, QLatin1String("ProcServerFileOperate"));
    EXPECT_EQ(call.kind, 0);
    EXPECT_EQ(tree().version(), version + 1);
    const NodeMap changes = ChangesSince(bgsp);
    QJsonObject data = call.data.toObject();
    const auto ack = parser.parseCreateDir(data);
    EXPECT_EQ(ack->nv, tree().version());
    ASSERT_EQ(changes.count(ack->nid), 1u) << "the answered node is among the changes";
    if (*c.gone) {
        EXPECT_FALSE(tree().node(c.gone));
        EXPECT_TRUE(std::any_of(changes.begin(), changes.end(), [&](const auto& entry) {
            return entry.first == S(before.at(c.gone).nid) && entry.second.status == 1;
        })) << "the deletion shows";
    }
    if (*c.made) {
        const auto made = tree().node(c.made);
        ASSERT_TRUE(made);
        // Every node a creation or a copy makes is new; a rename or a move changes only the
        // node answered, not what lies below it.
        const auto change = changes.find(S(made->nid));
        if (c.command == CMD::CreateDir || c.command == CMD::Copy) {
            ASSERT_NE(change, changes.end());
            EXPECT_EQ(change->second.status, 0u);
            EXPECT_EQ(change->second.name.toStdString(), made->name);
        }
    }
    if (c.command == CMD::Copy && !c.isDir) {
        const auto copy = tree().node(c.made);
        EXPECT_NE(copy->nid, source->nid);
        EXPECT_EQ(copy->bytes, source->bytes);
        EXPECT_EQ(copy->hash, source->hash);
        EXPECT_TRUE(tree().node(c.from)) << "the source stays";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, StandInFileOpsTableTest,
    ::testing::Values(
        OpCase{"CreateFolder", CMD::CreateDir, "/docs/new", "", true, 0, "", "/docs/new"},
        OpCase{"CreateExistingFolder", CMD::CreateDir, "/docs/sub", "", true, 3005, "", ""},
        OpCase{"CreateOverFile", CMD::CreateDir, "/docs/a.txt", "", true, 3005, "", ""},
        OpCase{"CreateWithoutParent", CMD::CreateDir, "/none/new", "", true, 3004, "", ""},
        OpCase{"RecycleFile", CMD::DeleteNode, "/docs/a.txt", "", false, 0, "/docs/a.txt", ""},
        OpCase{"RecycleFolder", CMD::DeleteNode, "/docs/sub", "", true, 0, "/docs/sub/b.txt", ""},
        OpCase{"RecycleMissing", CMD::DeleteNode, "/docs/none.txt", "", false, 3001, "", ""},
        OpCase{"RecycleFileAsFolder", CMD::DeleteNode, "/docs/a.txt", "", true, 3001, "", ""},
        OpCase{"RenameByPath", CMD::Rename, "/docs/a.txt", "/docs/c.txt", false, 0, "", "/docs/c.txt"},
        OpCase{"RenameByName", CMD::Rename, "/docs/sub", "sub2", true, 0, "", "/docs/sub2/b.txt"},
        OpCase{"RenameMissing", CMD::Rename, "/docs/none.txt", "/docs/c.txt", false, 3001, "", ""},
        OpCase{"RenameOntoTaken", CMD::Rename, "/docs/a.txt", "/docs/sub", false, 3005, "", ""},
        OpCase{"RenameBadName", CMD::Rename, "/docs/a.txt", "/docs/..", false, 3022, "", ""},
        OpCase{"MoveFile", CMD::Move, "/docs/a.txt", "/other", false, 0, "", "/other/a.txt"},
        OpCase{"MoveFolderToRoot", CMD::Move, "/docs/sub", "/", true, 0, "", "/sub/b.txt"},
        OpCase{"MoveMissing", CMD::Move, "/docs/none.txt", "/other", false, 3001, "", ""},
        OpCase{"MoveIntoMissing", CMD::Move, "/docs/a.txt", "/none", false, 3009, "", ""},
        OpCase{"MoveIntoItself", CMD::Move, "/docs", "/docs/sub", true, 1004, "", ""},
        OpCase{"CopyFile", CMD::Copy, "/docs/a.txt", "/other/a copy.txt", false, 0, "", "/other/a copy.txt"},
        OpCase{"CopyFolder", CMD::Copy, "/docs", "/other/docs", true, 0, "", "/other/docs/sub/b.txt"},
        OpCase{"CopyMissing", CMD::Copy, "/docs/none.txt", "/other/x.txt", false, 3001, "", ""},
        OpCase{"CopyOntoTaken", CMD::Copy, "/docs/a.txt", "/docs/sub", false, 3005, "", ""},
        OpCase{"CopyIntoItself", CMD::Copy, "/docs", "/docs/sub/docs", true, 1004, "", ""}),
    [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });

TEST_F(StandInFileOpsTest, RecycledItemsStayInTheBinWithTheirBytes) {
    EXPECT_EQ(Send(CMD::DeleteNode, "/docs/sub", "", true).serviceErrno, 0);
    EXPECT_EQ(Send(CMD::DeleteNode, "/docs/a.txt", "", false).serviceErrno, 0);
    const auto bin = api->fileOps().recycleBin();
    ASSERT_EQ(bin.size(), 3u);
    EXPECT_EQ(bin[0].path, "/docs/sub");
    EXPECT_EQ(bin[0].batch, bin[1].batch) << "a folder and what was inside it go in one recycle";
    const auto b = api->fileOps().recycled("/docs/sub/b.txt");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->node.bytes, "beta");
    EXPECT_EQ(api->fileOps().recycled("/docs/a.txt")->batch, 2);
    // Recycling again what is already gone: the answer the engine takes as done.
    const Call again = Send(CMD::DeleteNode, "/docs/a.txt", "", false);
    EXPECT_EQ(again.name, QLatin1String("ProcServerFileOperate"));
    EXPECT_EQ(again.serviceErrno, 3001);
    EXPECT_EQ(api->fileOps().recycleBin().size(), 3u);
}

TEST_F(StandInFileOpsTest, KnobsRefuseFailResetAndHold) {
    StandInFileOps& ops = api->fileOps();
    const unsigned version = tree().version();
    ops.fail("File.rename", 1, ApiAnswer::Error(3022, "invalid name"));
    EXPECT_EQ(Send(CMD::Rename, "/docs/a.txt", "/docs/c.txt", false).serviceErrno, 3022);
    ops.failStatus("File.move", 1);
    EXPECT_EQ(Send(CMD::Move, "/docs/a.txt", "/other", false).kind, SYNC_ERROR::XmlCorrupt)
        << "a 502 carries no envelope";
    EXPECT_EQ(tree().version(), version);

    // The refusal was used up; a reset connection is tried again by the client and done once.
    EXPECT_EQ(Send(CMD::Rename, "/docs/a.txt", "/docs/c.txt", false).serviceErrno, 0);
    ops.reset("File.recycle");
    EXPECT_EQ(Send(CMD::DeleteNode, "/docs/sub", "", true).serviceErrno, 0);
    EXPECT_EQ(api->calls("File.recycle").size(), 2u);
    EXPECT_EQ(api->fileOps().recycleBin().size(), 2u);

    // A held move changes nothing until it is released.
    ops.hold("File.move");
    auto held =
        std::async(std::launch::async, [&] { return Send(CMD::Move, "/docs/c.txt", "/other", false); });
    ASSERT_TRUE(ops.waitForHeld(1, 10000));
    EXPECT_TRUE(tree().node("/docs/c.txt"));
    ops.releaseHeld();
    EXPECT_EQ(held.get().serviceErrno, 0);
    EXPECT_TRUE(tree().node("/other/c.txt"));
    EXPECT_EQ(tree().version(), version + 3);
}

} // namespace
