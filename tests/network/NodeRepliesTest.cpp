#include "network/QCResponseCommon.h"

#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

QJsonObject Obj(const char* text) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text));
    EXPECT_TRUE(doc.isObject()) << text;
    return doc.object();
}

// A page whose "node_list" holds `nodes`.
QJsonObject Page(const QJsonArray& nodes) {
    return QJsonObject{{QStringLiteral("ver"), 1}, {QStringLiteral("node_list"), nodes}};
}

QJsonObject Node(const QString& nid, const QString& name) {
    return QJsonObject{{QStringLiteral("nid"), nid}, {QStringLiteral("name"), name}};
}

// Both node lists share one procedure: every case runs against each.
template <typename Ack>
std::shared_ptr<Ack> Parse(QJsonObject& data);
template <>
std::shared_ptr<GLOBAL_NODES_ACK> Parse<GLOBAL_NODES_ACK>(QJsonObject& data) {
    return QCResponseCommon().parseGlobalNode(data);
}
template <>
std::shared_ptr<INCR_GLOBAL_ACK> Parse<INCR_GLOBAL_ACK>(QJsonObject& data) {
    return QCResponseCommon().parseIncrNode(data);
}

template <typename Ack>
class NodeListTest : public ::testing::Test {
protected:
    std::shared_ptr<Ack> parse(QJsonObject data) {
        auto ack = Parse<Ack>(data);
        EXPECT_TRUE(ack);
        return ack;
    }
};

using NodeLists = ::testing::Types<GLOBAL_NODES_ACK, INCR_GLOBAL_ACK>;
TYPED_TEST_SUITE(NodeListTest, NodeLists);

TYPED_TEST(NodeListTest, EmptyDataGivesAnEmptyPage) {
    const auto ack = this->parse(QJsonObject());
    EXPECT_EQ(ack->ver, 0u);
    EXPECT_EQ(ack->retnum, 0u);
    EXPECT_EQ(ack->total, 0u);
    EXPECT_TRUE(ack->gsp.isEmpty());
    EXPECT_TRUE(ack->nodes.empty());
    EXPECT_EQ(ack->bad_nodes, 0u);
}

TYPED_TEST(NodeListTest, PageFixtureFillsHeaderAndNodes) {
    const auto ack = this->parse(LoadJsonObject(QStringLiteral("replies/global_nodes.json")));
    EXPECT_EQ(ack->ver, 57u);
    EXPECT_EQ(ack->retnum, 5u);
    EXPECT_EQ(ack->total, 9u);
    EXPECT_EQ(ack->gsp, QStringLiteral("gsp-2"));
    EXPECT_EQ(ack->spnid, QStringLiteral("300"));
    EXPECT_EQ(ack->bad_nodes, 0u); // the number is skipped, ".Nimboshare" dropped: neither is bad

    // Ids are ordered as texts.
    ASSERT_EQ(ack->nodes.size(), 3u);
    auto it = ack->nodes.begin();
    EXPECT_EQ(it->first, QStringLiteral("10"));
    EXPECT_EQ((++it)->first, QStringLiteral("12"));
    EXPECT_EQ((++it)->first, QStringLiteral("9"));

    const FILE_INFO& dir = ack->nodes.at(QStringLiteral("9"));
    EXPECT_EQ(dir.nid, QStringLiteral("9"));
    EXPECT_EQ(dir.pid, QStringLiteral("1"));
    EXPECT_EQ(dir.name, QStringLiteral("docs"));
    EXPECT_TRUE(dir.is_dir);
    EXPECT_EQ(dir.ctime, 1600000000u);
    EXPECT_EQ(dir.mtime, 1600000100u);
    EXPECT_EQ(dir.attrs, 16u);
    EXPECT_EQ(dir.version, 4u);
    EXPECT_EQ(dir.nv, 12u);
    EXPECT_EQ(dir.eid, QStringLiteral("1234567890123456789"));
    EXPECT_EQ(dir.qid, QStringLiteral("u10001"));
    EXPECT_TRUE(dir.is_share);
    EXPECT_EQ(dir.share_qid, QStringLiteral("u2"));
    EXPECT_EQ(dir.owner, QStringLiteral("u10001"));
    EXPECT_EQ(dir.share_name, QStringLiteral("团队"));
    EXPECT_TRUE(dir.is_sync);
    EXPECT_FALSE(dir.is_link);
    EXPECT_EQ(dir.status, 2u);
    EXPECT_TRUE(dir.path.isEmpty()); // the engine places nodes, not the parser

    const FILE_INFO& file = ack->nodes.at(QStringLiteral("10"));
    EXPECT_EQ(file.name, QStringLiteral("报告.docx"));
    EXPECT_FALSE(file.is_dir);
    EXPECT_EQ(file.size, 5368709120ULL);
    EXPECT_EQ(file.ctime, 1u); // 2^32 + 1 keeps its low 32 bits
    EXPECT_EQ(file.mtime, 1600000200u);
    EXPECT_EQ(file.file_hash, QStringLiteral("0123abcd"));
    EXPECT_EQ(file.nv, 5u);
    // Keys absent from this node are not carried over from the one before.
    EXPECT_EQ(file.attrs, 0u);
    EXPECT_TRUE(file.eid.isEmpty());
    EXPECT_FALSE(file.is_share);

    EXPECT_EQ(ack->nodes.at(QStringLiteral("12")).name, QStringLiteral("notes.txt"));
}

TYPED_TEST(NodeListTest, NonObjectsAreSkippedAndNonArrayListIsEmpty) {
    auto ack =
        this->parse(Page(QJsonArray{Node(QStringLiteral("1"), QStringLiteral("a")), 7, QStringLiteral("x"),
                                    Node(QStringLiteral("2"), QStringLiteral("b"))}));
    EXPECT_EQ(ack->nodes.size(), 2u);
    EXPECT_EQ(ack->bad_nodes, 0u);

    ack = this->parse(Obj(R"({"ver": 8, "gsp": "g", "node_list": {"nid": "1", "name": "a"}})"));
    EXPECT_TRUE(ack->nodes.empty());
    EXPECT_EQ(ack->ver, 8u);
    EXPECT_EQ(ack->gsp, QStringLiteral("g"));
}

TYPED_TEST(NodeListTest, LaterDuplicateIdWins) {
    const auto ack = this->parse(Page(QJsonArray{Node(QStringLiteral("5"), QStringLiteral("first")),
                                                 Node(QStringLiteral("5"), QStringLiteral("second"))}));
    ASSERT_EQ(ack->nodes.size(), 1u);
    EXPECT_EQ(ack->nodes.at(QStringLiteral("5")).name, QStringLiteral("second"));
}

TYPED_TEST(NodeListTest, NodesWithoutATextIdAreBadData) {
    // Absent, numeric and empty ids would all collapse under the empty id: none is filed.
    const auto ack = this->parse(Obj(R"({"node_list": [
        {"name": "no-id"}, {"nid": 7, "name": "numeric"}, {"nid": "", "name": "empty"},
        {"nid": null, "name": "null"}, {"nid": "8", "name": "fine"}]})"));
    ASSERT_EQ(ack->nodes.size(), 1u);
    EXPECT_EQ(ack->nodes.begin()->first, QStringLiteral("8"));
    EXPECT_EQ(ack->bad_nodes, 4u);
}

TYPED_TEST(NodeListTest, NodesWithANegativeSizeAreBadData) {
    // Read as 0 they would become empty files in the mirror.
    const auto ack = this->parse(Obj(R"({"node_list": [
        {"nid": "1", "name": "text", "count_size": "-5"}, {"nid": "2", "name": "number", "count_size": -5},
        {"nid": "3", "name": "fine", "count_size": "5"}, {"nid": "4", "name": "zero", "count_size": "-0"}]})"));
    ASSERT_EQ(ack->nodes.size(), 2u);
    EXPECT_EQ(ack->nodes.at(QStringLiteral("3")).size, 5u);
    EXPECT_EQ(ack->bad_nodes, 2u);
}

TYPED_TEST(NodeListTest, HostileFixtureKeepsOnlyThePlainName) {
    const auto ack = this->parse(LoadJsonObject(QStringLiteral("replies/global_nodes_hostile.json")));
    ASSERT_EQ(ack->nodes.size(), 1u);
    EXPECT_EQ(ack->nodes.at(QStringLiteral("1")).name, QStringLiteral("ok"));
    EXPECT_EQ(ack->bad_nodes, 8u);
    EXPECT_EQ(ack->gsp, QStringLiteral("g")); // the cursors still let the engine go on
}

TYPED_TEST(NodeListTest, TypeMakesAFolder) {
    const auto ack = this->parse(Obj(R"({"node_list": [
        {"nid": "1", "name": "a", "type": 1}, {"nid": "2", "name": "b", "type": "1"},
        {"nid": "3", "name": "c", "type": true}, {"nid": "4", "name": "d", "type": 0},
        {"nid": "5", "name": "e"}, {"nid": "6", "name": "f", "type": false}]})"));
    ASSERT_EQ(ack->nodes.size(), 6u);
    for (const char* folder : {"1", "2", "3"})
        EXPECT_TRUE(ack->nodes.at(QLatin1String(folder)).is_dir) << folder;
    for (const char* file : {"4", "5", "6"})
        EXPECT_FALSE(ack->nodes.at(QLatin1String(file)).is_dir) << file;
}

TYPED_TEST(NodeListTest, ClearEmptiesAllButTheCursors) {
    auto ack = this->parse(LoadJsonObject(QStringLiteral("replies/global_nodes_hostile.json")));
    ack->Clear();
    EXPECT_EQ(ack->ver, 0u);
    EXPECT_EQ(ack->retnum, 0u);
    EXPECT_EQ(ack->total, 0u);
    EXPECT_TRUE(ack->nodes.empty());
    EXPECT_EQ(ack->bad_nodes, 0u);
    EXPECT_EQ(ack->gsp, QStringLiteral("g"));
    EXPECT_EQ(ack->spnid, QStringLiteral("s"));
}

TEST(IncrNodeListTest, ParserLeavesTheEnginesCountersAndClearResetsThem) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/global_nodes.json"));
    auto ack = QCResponseCommon().parseIncrNode(data);
    EXPECT_EQ(ack->page_count, 0u);
    EXPECT_EQ(ack->ret_total, 0u);
    ack->page_count = 3;
    ack->ret_total = 40;
    ack->Clear();
    EXPECT_EQ(ack->page_count, 0u);
    EXPECT_EQ(ack->ret_total, 0u);
}

// Node names ------------------------------------------------------------------------------------

struct NameCase {
    const char* label;
    QString raw;
    QString name; // the filed name; empty when the node is not filed
    bool bad;     // counted as bad data (else filed, or dropped silently)
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.label;
}

class NodeNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NodeNameTest, CleansAndChecksTheName) {
    const NameCase& c = GetParam();
    QJsonObject data = Page(QJsonArray{Node(QStringLiteral("1"), c.raw)});
    const auto ack = QCResponseCommon().parseGlobalNode(data);
    EXPECT_EQ(ack->bad_nodes, c.bad ? 1u : 0u);
    if (c.name.isEmpty()) {
        EXPECT_TRUE(ack->nodes.empty());
    } else {
        ASSERT_EQ(ack->nodes.size(), 1u);
        EXPECT_EQ(ack->nodes.begin()->second.name, c.name);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, NodeNameTest,
    ::testing::Values(
        NameCase{"Plain", QStringLiteral("a.txt"), QStringLiteral("a.txt"), false},
        NameCase{"TrailingSlash", QStringLiteral("a/b/"), QStringLiteral("b"), false},
        NameCase{"TrailingSlashes", QStringLiteral("a/b//"), QStringLiteral("b"), false},
        NameCase{"Blanks", QStringLiteral("  b c \t"), QStringLiteral("b c"), false},
        NameCase{"Chinese", QStringLiteral("/文档/报告.docx"), QStringLiteral("报告.docx"), false},
        NameCase{"DotFile", QStringLiteral(".hidden"), QStringLiteral(".hidden"), false},
        NameCase{"ThreeDots", QStringLiteral("..."), QStringLiteral("..."), false},
        NameCase{"ShareFolder", QStringLiteral(".Nimboshare"), QString(), false},
        NameCase{"ShareFolderWithPrefix", QStringLiteral("x/.Nimboshare/"), QString(), false},
        NameCase{"ShareFolderWithBlanks", QStringLiteral(" .Nimboshare "), QString(), false},
        NameCase{"ShareFolderOtherCase", QStringLiteral(".nimboshare"), QStringLiteral(".nimboshare"), false},
        NameCase{"ShareFolderLonger", QStringLiteral(".Nimboshare2"), QStringLiteral(".Nimboshare2"), false},
        NameCase{"Empty", QString(), QString(), true},
        NameCase{"OnlySlashes", QStringLiteral("///"), QString(), true},
        NameCase{"OnlyBlanks", QStringLiteral("   "), QString(), true},
        NameCase{"Dot", QStringLiteral("."), QString(), true},
        NameCase{"DotDot", QStringLiteral(".."), QString(), true},
        NameCase{"DotDotWithBlanks", QStringLiteral(" .. "), QString(), true},
        NameCase{"DotDotAfterFolder", QStringLiteral("a/../"), QString(), true},
        NameCase{"DotDotAfterBackslash", QStringLiteral("a\\.."), QString(), true},
        NameCase{"Nul", QStringLiteral("a") + QChar(0) + QStringLiteral("b"), QString(), true}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

TEST(NodeNameTest, NameThatIsNotTextIsBadData) {
    QJsonObject data = Obj(R"({"node_list": [{"nid": "1", "name": 5}, {"nid": "2"}]})");
    const auto ack = QCResponseCommon().parseGlobalNode(data);
    EXPECT_TRUE(ack->nodes.empty());
    EXPECT_EQ(ack->bad_nodes, 2u);
}

// Folder creation -------------------------------------------------------------------------------

TEST(CreateDirTest, ReadsTheNewFolder) {
    QJsonObject data = LoadJsonObject(QStringLiteral("replies/create_dir.json"));
    const auto ack = QCResponseCommon().parseCreateDir(data);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->ver, 5u); // 2^32 + 5 keeps its low 32 bits
    EXPECT_EQ(ack->nid, QStringLiteral("123456789012345678"));
    EXPECT_EQ(ack->nv, 9007199254740993ULL); // beyond a double's precision, as text
    EXPECT_EQ(ack->root_nid, QStringLiteral("1"));
    EXPECT_EQ(ack->share_name, QStringLiteral("团队"));

    QJsonObject numeric = Obj(R"({"nid": 55, "ver": "3"})");
    const auto other = QCResponseCommon().parseCreateDir(numeric);
    EXPECT_TRUE(other->nid.isEmpty());
    EXPECT_EQ(other->ver, 3u);

    QJsonObject empty;
    const auto none = QCResponseCommon().parseCreateDir(empty);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->ver, 0u);
    EXPECT_EQ(none->nv, 0u);
    EXPECT_TRUE(none->nid.isEmpty());
}

} // namespace
