// The stand-in's cloud tree driven by the real API client: the node lists go out through the
// request builders and come back through the parsers, paged and continued as the engine does, and
// what the client then holds equals the stand-in's tree.
#include "ApiTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "network/QCRequestCommon.h"
#include "network/QCResponseCommon.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QJsonDocument>

#include <set>

namespace {

QCRequestCommon& Requests() {
    return *QCRequestCommon::GetInstance();
}

QString S(const std::string& text) {
    return QString::fromStdString(text);
}


// What the comparison reads of a node, by path: the client's view and the stand-in's must agree.
using Summary = std::map<std::string, std::string>;

std::string Describe(const std::string& nid, bool dir, unsigned long long size, const std::string& hash,
                     unsigned mtime, unsigned version) {
    return nid + (dir ? " dir " : " file ") + std::to_string(size) + " " + hash + " " +
           std::to_string(mtime) + " v" + std::to_string(version);
}

Summary Summarise(const std::map<std::string, StandInNode>& tree) {
    Summary summary;
    for (const auto& [path, node] : tree)
        summary[path] = Describe(node.nid, node.isDir, node.size, node.hash, node.mtime, node.version);
    return summary;
}

// Paths are built from the parent ids, as the comparison builds them.
Summary Summarise(const NodeMap& nodes) {
    Summary summary;
    for (const auto& [nid, node] : nodes) {
        std::string path;
        const FILE_INFO* at = &node;
        for (size_t depth = 0; at && depth <= nodes.size(); ++depth) {
            path.insert(0, "/" + at->name.toStdString());
            const auto parent = nodes.find(at->pid);
            at = at->pid == QLatin1String("0") || parent == nodes.end() ? nullptr : &parent->second;
        }
        summary[path] = Describe(nid.toStdString(), node.is_dir, node.size, node.file_hash.toStdString(),
                                 node.mtime, node.version);
    }
    return summary;
}

class StandInTreeTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ASSERT_FALSE(LogInToStandIn().isEmpty());
    }

    StandInTree& tree() { return api->tree(); }

    // Plays the engine thread for the announced reply of `id`: the one call the engine received.
    RecordingResponseHandler::RecordedCall Consume(int command, unsigned int id) {
        EXPECT_NE(id, 0u);
        EXPECT_EQ(engine.TakeProcEvents(), (std::vector<std::pair<int, unsigned int>>{{command, id}}));
        QCRequestCommon::ParseResponse(command, id, Requests().GetRequestByID(id));
        Requests().CancelTask(id);
        const auto calls = engine.TakeCalls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? RecordingResponseHandler::RecordedCall() : calls.front();
    }
    QJsonObject Data(int command, unsigned int id, const char* handler) {
        const auto call = Consume(command, id);
        EXPECT_EQ(call.name, QLatin1String(handler));
        return call.data.toObject();
    }

    std::shared_ptr<GLOBAL_NODES_ACK> ListingPage(const QString& bgsp, const QString& gsp,
                                                  const QString& spnid, int count) {
        GLOBAL_NODES_REQ request{bgsp, gsp, spnid, count};
        QJsonObject data =
            Data(CMD::GetGlobalNodes, Requests().DoGetGlobalNodes(request), "AckGetGlobalNodes");
        return parser.parseGlobalNode(data);
    }
    std::shared_ptr<INCR_GLOBAL_ACK> ChangesPage(const QString& gsp, const QString& spnid, int count) {
        INCR_GLOBAL_REQ request{gsp, spnid, count, false, int(tree().version())};
        QJsonObject data = Data(CMD::GetIncrGlobal, Requests().DoGetIncrGlobal(request), "AckGetIncrGlobal");
        return parser.parseIncrNode(data);
    }

    // The whole listing as the engine walks it, into `nodes`; the base sync point, and each
    // page's node count in `retnums`.
    QString FetchAll(int count, NodeMap& nodes, std::vector<quint32>& retnums) {
        QJsonObject data = Data(CMD::GetBgsp, Requests().DoGetBgsp(), "AckGetBgsp");
        const QString bgsp = parser.parseBgsp(data)->bgsp;
        QString gsp = bgsp;
        QString spnid;
        for (int guard = 0; guard < 1000; ++guard) {
            const auto page = ListingPage(bgsp, gsp, spnid, count);
            retnums.push_back(page->retnum);
            EXPECT_EQ(page->nodes.size() + page->bad_nodes, size_t(page->retnum));
            nodes.insert(page->nodes.begin(), page->nodes.end());
            if (page->retnum < quint32(count) || page->gsp.isEmpty())
                break;
            gsp = page->gsp;
            spnid = page->spnid;
        }
        return bgsp;
    }
    // The changes after `gsp` merged into `nodes` (status 1 erases), as the engine merges them;
    // the new sync point. `changed` gets every node of the pages, `pages` their number.
    QString FetchChanges(QString gsp, int count, NodeMap& nodes, NodeMap* changed = nullptr,
                         int* pages = nullptr) {
        QString spnid;
        for (int guard = 0; guard < 1000; ++guard) {
            const auto page = ChangesPage(gsp, spnid, count);
            EXPECT_EQ(page->ver, tree().version());
            if (pages)
                ++*pages;
            for (const auto& [nid, node] : page->nodes) {
                if (node.status != 0)
                    nodes.erase(nid);
                else
                    nodes[nid] = node;
                if (changed)
                    (*changed)[nid] = node;
            }
            gsp = page->gsp;
            spnid = page->spnid;
            if (page->retnum < quint32(count) || page->gsp.isEmpty())
                break;
        }
        EXPECT_FALSE(gsp.isEmpty());
        return gsp;
    }
    // The errno of the reply to `request` of "Incr.getIncrGlobal"; the request is released.
    int ChangesErrno(const INCR_GLOBAL_REQ& request) {
        INCR_GLOBAL_REQ copy = request;
        const unsigned int id = Requests().DoGetIncrGlobal(copy);
        engine.TakeProcEvents();
        const QSharedPointer<NetworkClient> client = Requests().GetRequestByID(id);
        const int result = client ? QJsonDocument::fromJson(client->responseBody())
                                        .object()
                                        .value(QLatin1String("errno"))
                                        .toInt(-1)
                                  : -1;
        Requests().CancelTask(id);
        engine.TakeCalls();
        return result;
    }

    // `count` nodes: folders "/d<i>" of up to 99 files "/d<i>/f<j>.txt".
    void Build(int count) {
        for (int i = 0; count > 0; ++i) {
            const std::string folder = "/d" + std::to_string(i);
            ASSERT_FALSE(tree().addFolder(folder).empty());
            --count;
            for (int j = 0; j < 99 && count > 0; ++j, --count) {
                const std::string name = folder + "/f" + std::to_string(j) + ".txt";
                ASSERT_FALSE(tree().addFile(name, 1000 + j, StandInTree::ContentHash(name)).empty());
            }
        }
    }

    QCResponseCommon parser;
};

struct ListingCase {
    const char* name;
    int nodes;
    int count;
    std::vector<quint32> retnums;
};

class ListingTest : public StandInTreeTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ListingTest, TheWholeTreeComesInPagesAndEqualsTheStandInsTree) {
    const ListingCase& c = GetParam();
    Build(c.nodes);
    NodeMap nodes;
    std::vector<quint32> retnums;
    const QString bgsp = FetchAll(c.count, nodes, retnums);
    EXPECT_EQ(retnums, c.retnums);
    EXPECT_EQ(Summarise(nodes), Summarise(tree().byPath()));
    EXPECT_EQ(api->calls("Incr.getGlobalNodes").size(), c.retnums.size());

    // Nothing changed since the base sync point: one empty page of changes, and a new sync point.
    int pages = 0;
    NodeMap changed;
    const QString gsp = FetchChanges(bgsp, c.count, nodes, &changed, &pages);
    EXPECT_EQ(pages, 1);
    EXPECT_TRUE(changed.empty());
    EXPECT_NE(gsp, bgsp);

    QJsonObject detail =
        Data(CMD::GetUserDetail, Requests().DoGetUserDetail(false, true), "AckGetUserDetail");
    EXPECT_EQ(parser.parseUserDetail(detail)->count_node, quint32(c.nodes));
    EXPECT_EQ(parser.parseUserDetail(detail)->version, quint32(c.nodes)); // one change per node added
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ListingTest,
    ::testing::Values(ListingCase{"Nodes4500InPagesOf2000", 4500, 2000, {2000, 2000, 500}},
                      ListingCase{"ExactlyTwoPages", 4000, 2000, {2000, 2000}},
                      ListingCase{"Nodes20000", 20000, 2000, std::vector<quint32>(10, 2000)},
                      ListingCase{"Empty", 0, 2000, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInTreeTest, ChangesAfterTheCursorComeOnceEachInTheirLatestState) {
    Build(600); // /d0 .. /d5
    NodeMap nodes;
    std::vector<quint32> retnums;
    QString gsp = FetchChanges(FetchAll(2000, nodes, retnums), 2000, nodes);
    const unsigned before = tree().version();

    ASSERT_TRUE(tree().editFile("/d0/f1.txt", 7, "abc", kStandInTime + 60));
    ASSERT_TRUE(tree().editFile("/d0/f1.txt", 8, "abcd", kStandInTime + 120)); // the node comes once
    ASSERT_TRUE(tree().remove("/d1"));                                         // 100 nodes
    ASSERT_TRUE(tree().rename("/d2", "d2x"));
    ASSERT_TRUE(tree().move("/d3/f0.txt", "/"));
    ASSERT_FALSE(tree().addFileBytes("/d3/f0.txt", "x").empty());
    EXPECT_EQ(tree().version(), before + 6);
    EXPECT_FALSE(tree().move("/d5", "/d4/f0.txt")) << "into a file";
    EXPECT_FALSE(tree().move("/d4/f1.txt", "/d5")) << "a name taken";
    EXPECT_FALSE(tree().move("/d2x", "/d2x")) << "into itself";
    EXPECT_FALSE(tree().rename("/d5", "d4")) << "a name taken";
    EXPECT_EQ(tree().version(), before + 6);

    // Pages of 30: continued by cursor across four pages; every change is in.
    NodeMap changed;
    int pages = 0;
    const QString next = FetchChanges(gsp, 30, nodes, &changed, &pages);
    EXPECT_EQ(pages, 4); // 1 edit + 100 deletions + 1 rename + 1 move + 1 add = 104 nodes
    ASSERT_EQ(changed.size(), 104u);
    EXPECT_EQ(Summarise(nodes), Summarise(tree().byPath()));
    const FILE_INFO& edited = changed.at(S(tree().node("/d0/f1.txt")->nid));
    EXPECT_EQ(edited.size, 8u);
    EXPECT_EQ(edited.version, 3u);
    EXPECT_EQ(edited.nv, before + 2);
    std::set<QString> live;
    for (const auto& [path, node] : tree().byPath())
        live.insert(S(node.nid));
    int deleted = 0;
    for (const auto& [nid, node] : changed) {
        EXPECT_EQ(node.status, live.count(nid) ? 0u : 1u) << node.name.toStdString();
        deleted += node.status == 1;
    }
    EXPECT_EQ(deleted, 100);
    EXPECT_EQ(tree().node("/d3/f0.txt")->hash, StandInTree::ContentHash("x"));

    // From the new sync point: nothing more.
    changed.clear();
    FetchChanges(next, 30, nodes, &changed);
    EXPECT_TRUE(changed.empty());
}

TEST_F(StandInTreeTest, AFailingPageFailsUntilTheFaultIsLifted) {
    Build(5);
    tree().failPage("Incr.getGlobalNodes", 2);
    QJsonObject data = Data(CMD::GetBgsp, Requests().DoGetBgsp(), "AckGetBgsp");
    const QString bgsp = parser.parseBgsp(data)->bgsp;
    const auto first = ListingPage(bgsp, bgsp, QString(), 2);
    ASSERT_EQ(first->retnum, 2u);

    GLOBAL_NODES_REQ request{bgsp, first->gsp, first->spnid, 2};
    for (int attempt = 0; attempt < 2; ++attempt) {
        const unsigned int id = Requests().DoGetGlobalNodes(request);
        engine.TakeProcEvents();
        if (id != 0) {
            QCRequestCommon::ParseResponse(CMD::GetGlobalNodes, id, Requests().GetRequestByID(id));
            Requests().CancelTask(id);
        }
        const auto calls = engine.TakeCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().name, QLatin1String("OnRequestFailed"));
    }
    tree().liftFault("Incr.getGlobalNodes", 2);
    const auto second = ListingPage(bgsp, first->gsp, first->spnid, 2);
    EXPECT_EQ(second->retnum, 2u);
    EXPECT_EQ(tree().pageRequests("Incr.getGlobalNodes", 1), 1);
    EXPECT_EQ(tree().pageRequests("Incr.getGlobalNodes", 2), 3);
    EXPECT_FALSE(ListingPage(bgsp, second->gsp, second->spnid, 2)->nodes.empty()); // page 3 unhurt
}

TEST_F(StandInTreeTest, OnlyCursorsItHandedOutAreAccepted) {
    Build(5);
    QJsonObject data = Data(CMD::GetBgsp, Requests().DoGetBgsp(), "AckGetBgsp");
    const QString bgsp = parser.parseBgsp(data)->bgsp;
    const auto page = ChangesPage(bgsp, QString(), 2);
    ASSERT_FALSE(page->gsp.isEmpty());
    ASSERT_TRUE(tree().editFile("/d0/f0.txt", 1, "a", kStandInTime));

    EXPECT_EQ(ChangesErrno({bgsp, QString(), 2, false, 0}), 0);
    EXPECT_EQ(ChangesErrno({S("0123abcd"), QString(), 2, false, 0}), kStandInBadParam);
    EXPECT_EQ(ChangesErrno({bgsp, S("7"), 2, false, 0}), kStandInBadParam) << "spnid with a sync point";
    EXPECT_EQ(ChangesErrno({page->gsp, page->spnid, 2, false, 0}), 0);
    EXPECT_EQ(ChangesErrno({page->gsp, S("999"), 2, false, 0}), kStandInBadParam) << "another spnid";
    EXPECT_EQ(ChangesErrno({bgsp, QString(), 0, false, 0}), kStandInBadParam) << "count 0";
    api->accounts().expireToken(kStandInQid);
    EXPECT_EQ(ChangesErrno({bgsp, QString(), 2, false, 0}), kStandInTokenExpired);
}

// The hash the stand-in gives a file is the one the client computes of the same bytes.
TEST(StandInContentHash, IsTheClientsHash) {
    for (const int size : {0, 1, int(CLOUD_BLOCK_SIZE), int(CLOUD_BLOCK_SIZE) * 2 + 17}) {
        QByteArray bytes = PatternBytes(size, 7);
        QBuffer buffer(&bytes);
        ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
        qint64 total = 0;
        EXPECT_EQ(StandInTree::ContentHash(bytes.toStdString()), CloudHashDevice(buffer, total).toStdString())
            << size;
    }
}

TEST_F(StandInTreeTest, MalformedNodesAreServedAsGiven) {
    ASSERT_FALSE(tree().addFolder("/a").empty());
    const auto [x, y] = tree().addParentCycle("x", "y");
    const std::string orphan = tree().addOrphan("lost.txt", false);
    for (const char* name : {"", ".", "..", "a/b"})
        ASSERT_FALSE(tree().addUnchecked("/a", name, false).empty()) << name;
    EXPECT_TRUE(tree().addFile("/a/..", 1, "h").empty()) << "the checked add refuses such names";
    EXPECT_EQ(tree().nodeCount(), 8u);
    EXPECT_EQ(tree().byPath().size(), 1u); // only /a has a path

    NodeMap nodes;
    std::vector<quint32> retnums;
    FetchAll(100, nodes, retnums);
    EXPECT_EQ(retnums, std::vector<quint32>{8});
    EXPECT_EQ(nodes.at(S(x)).pid, S(y));
    EXPECT_EQ(nodes.at(S(y)).pid, S(x));
    EXPECT_EQ(nodes.count(S(tree().node("/a")->nid)), 1u);
    EXPECT_FALSE(nodes.count(nodes.at(S(orphan)).pid));
    // The parser leaves out "", "." and ".."; "a/b" arrives as "b", its last component.
    EXPECT_EQ(nodes.size(), 5u);
}

} // namespace
