// The cloud comparison: one cloud node against its journal row and its local copy.
#include "support/EngineTestSupport.h"

#include "Database/QCSyncDB.h"
#include "common/Hash.h"
#include "support/TransferDoubles.h"
#include "sync/QCLocalStoreMgr.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <sys/stat.h>
#include <utime.h>

namespace {

constexpr quint32 kCloudTime = 1700000000;

struct FileRule {
    const char* name;
    const char* local;   // nullptr: no local file
    quint32 localTime;
    const char* row;     // content the journal row describes; nullptr: no row
    quint32 rowTime;
    quint32 rowVersion;
    const char* cloud;   // the cloud's content
    quint32 cloudVersion;
    FILE_STATUS status;
    bool rowAfter;        // a journal row exists afterwards
    bool conflictCopy;    // the local file was renamed aside
    bool download;
};

// Cloud time kCloudTime, version as given; a row's size and hash are those of its content.
const FileRule kFileRules[] = {
    {"NoLocalStaleRow", nullptr, 0, "x", kCloudTime, 1, "x", 1, FILE_STATUS_NOT_DOWN, false, false, false},
    {"NoLocalNoRow", nullptr, 0, nullptr, 0, 0, "x", 1, FILE_STATUS_NOT_DOWN, false, false, false},
    {"NoRowSameBytes", "same", kCloudTime, nullptr, 0, 0, "same", 1, FILE_STATUS_SYNCED, true, false, false},
    {"NoRowSameSizeAndTimeOtherBytes", "abcd", kCloudTime, nullptr, 0, 0, "wxyz", 1, FILE_STATUS_NOT_DOWN,
     false, true, false},
    {"NoRowOtherTimeSameBytes", "same", kCloudTime - 50, nullptr, 0, 0, "same", 1, FILE_STATUS_SYNCED, true,
     false, false},
    {"NoRowOtherBytes", "local", kCloudTime, nullptr, 0, 0, "cloud!", 1, FILE_STATUS_NOT_DOWN, false, true, false},
    {"AllInStep", "v1", kCloudTime, "v1", kCloudTime, 3, "v1", 3, FILE_STATUS_SYNCED, true, false, false},
    {"ChangedHere", "local edit", kCloudTime + 60, "v1", kCloudTime, 3, "v1", 3, FILE_STATUS_CHECKING, true,
     false, false},
    {"ChangedInCloud", "v1", kCloudTime - 60, "v1", kCloudTime - 60, 3, "v2 cloud", 4, FILE_STATUS_WAIT_DOWN,
     true, false, true},
    {"BothSameNow", "v2", kCloudTime, "v1", kCloudTime - 60, 3, "v2", 4, FILE_STATUS_SYNCED, true, false, false},
    {"BothChanged", "mine", kCloudTime + 60, "v1", kCloudTime - 60, 3, "theirs", 4, FILE_STATUS_NOT_DOWN, true,
     true, false},
};

class CloudCompareTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        MakeReady("{\"name\":\"u1\"}");
        base = g_LocalStoreMgr.GetRootPath();
        // Downloads the comparison asks for wait in the queue as tasks that never start.
        OnEngine([] {
            g_LocalStoreMgr.SetDownloadFactory([](const FILE_INFO& record) {
                auto task = std::make_shared<TaskDouble>(g_LocalStoreMgr, record, true);
                task->SetDiskName(record.local_path);
                return task;
            });
        });
    }
    void TearDown() override {
        OnEngine([] { g_LocalStoreMgr.SetDownloadFactory(nullptr); });
        EngineTest::TearDown();
    }

    static QString HashOf(const QByteArray& bytes) {
        QTemporaryFile file; // one of its own: test processes run side by side
        EXPECT_TRUE(file.open());
        file.write(bytes);
        file.flush();
        return QString::fromLatin1(CloudHashFile(file.fileName()));
    }
    QString Write(const QString& cloudPath, const QByteArray& bytes, quint32 mtime) {
        const QString path = base + cloudPath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        utimbuf times{time_t(mtime), time_t(mtime)};
        EXPECT_EQ(::utime(QFile::encodeName(path).constData(), &times), 0);
        return path;
    }
    static FILE_INFO Node(const QString& nid, const QString& pid, const QString& name, bool dir) {
        FILE_INFO node;
        node.nid = nid;
        node.pid = pid;
        node.name = name;
        node.is_dir = dir;
        node.ctime = node.mtime = kCloudTime;
        node.version = 1;
        return node;
    }
    FileInfo Indexed(const QString& cloudPath) {
        FileInfo info;
        EXPECT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(base + cloudPath, info)) << cloudPath.toStdString();
        return info;
    }
    QStringList Names(const QString& folder = QString()) const {
        return QDir(base + folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }

    QString base;
};

class FileRuleTest : public CloudCompareTest, public ::testing::WithParamInterface<FileRule> {};

TEST_P(FileRuleTest, DecidesTheFile) {
    const FileRule& rule = GetParam();
    if (rule.local)
        Write(QStringLiteral("/f.txt"), rule.local, rule.localTime);
    if (rule.row) {
        FILE_INFO row = Node(QStringLiteral("7"), QStringLiteral("0"), QStringLiteral("f.txt"), false);
        row.path = QStringLiteral("/f.txt");
        row.size = quint64(qstrlen(rule.row));
        row.mtime = rule.rowTime;
        row.version = rule.rowVersion;
        row.file_hash = HashOf(rule.row);
        ASSERT_TRUE(QCSyncDB::UpdateFileInfo(row));
    }
    FILE_INFO cloud = Node(QStringLiteral("7"), QStringLiteral("0"), QStringLiteral("f.txt"), false);
    cloud.size = quint64(qstrlen(rule.cloud));
    cloud.version = rule.cloudVersion;
    cloud.file_hash = HashOf(rule.cloud);
    ASSERT_TRUE(g_LocalStoreMgr.CompareForTests({{cloud.nid, cloud}}));

    EXPECT_EQ(Indexed(QStringLiteral("/f.txt")).status, quint32(rule.status));
    FILE_INFO row;
    EXPECT_EQ(QCSyncDB::GetFileInfo(QStringLiteral("/f.txt"), row), rule.rowAfter);
    const QStringList names = Names();
    const bool copied = std::any_of(names.begin(), names.end(),
                                    [](const QString& n) { return n.contains(QStringLiteral("冲突-u1-")); });
    EXPECT_EQ(copied, rule.conflictCopy) << names.join(QLatin1Char(',')).toStdString();
    std::vector<FILE_INFO> downloads;
    OnEngine([&downloads] { downloads = g_LocalStoreMgr.TakeCloudDownloadsForTests(); });
    EXPECT_EQ(downloads.size(), rule.download ? 1u : 0u);
    if (rule.status == FILE_STATUS_SYNCED) {
        EXPECT_EQ(QFileInfo(base + QStringLiteral("/f.txt")).lastModified().toSecsSinceEpoch(), kCloudTime);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, FileRuleTest, ::testing::ValuesIn(kFileRules),
                         [](const ::testing::TestParamInfo<FileRule>& info) { return info.param.name; });

TEST_F(CloudCompareTest, AFolderWhereTheCloudHasOneAndAFileWhereItHasAFolder) {
    QDir().mkpath(base + QStringLiteral("/here"));
    Write(QStringLiteral("/clash"), "a file", kCloudTime);
    NodeMap nodes;
    for (const FILE_INFO& node : {Node(QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("here"), true),
                                  Node(QStringLiteral("2"), QStringLiteral("0"), QStringLiteral("clash"), true),
                                  Node(QStringLiteral("3"), QStringLiteral("0"), QStringLiteral("away"), true)})
        nodes[node.nid] = node;
    ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(nodes));
    EXPECT_EQ(Indexed(QStringLiteral("/here")).status, quint32(FILE_STATUS_SYNCED));
    EXPECT_EQ(Indexed(QStringLiteral("/clash")).status, quint32(FILE_STATUS_NOT_DOWN));
    EXPECT_EQ(Indexed(QStringLiteral("/away")).status, quint32(FILE_STATUS_NOT_DOWN));
    EXPECT_TRUE(Names().filter(QStringLiteral("clash(冲突-u1-")).size() == 1) << Names().join(QLatin1Char(',')).toStdString();
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(QStringLiteral("/here"), row));
    EXPECT_FALSE(QCSyncDB::GetFileInfo(QStringLiteral("/away"), row));
}

TEST_F(CloudCompareTest, UnusableNodesAreLeftOutWithTheirSubtrees) {
    QDir().mkpath(base + QStringLiteral("/p"));
    const QStringList before = Names();
    NodeMap nodes;
    const auto add = [&nodes](const QString& nid, const QString& pid, const QString& name, bool dir) {
        nodes[nid] = Node(nid, pid, name, dir);
    };
    add(QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("p"), true);
    add(QStringLiteral("2"), QStringLiteral("1"), QStringLiteral(".."), true);
    add(QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("below-dotdot.txt"), false);
    add(QStringLiteral("4"), QStringLiteral("1"), QStringLiteral("."), false);
    add(QStringLiteral("5"), QStringLiteral("1"), QStringLiteral("a/b"), false);
    add(QStringLiteral("6"), QStringLiteral("1"), QString(), false);
    add(QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("x"), true); // x -> y -> x
    add(QStringLiteral("8"), QStringLiteral("7"), QStringLiteral("y"), true);
    add(QStringLiteral("9"), QStringLiteral("7"), QStringLiteral("in-cycle.txt"), false);
    add(QStringLiteral("10"), QStringLiteral("404"), QStringLiteral("orphan.txt"), false);
    add(QStringLiteral("11"), QStringLiteral("1"), QStringLiteral("fine.txt"), false);
    ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(nodes));
    EXPECT_EQ(Indexed(QStringLiteral("/p/fine.txt")).status, quint32(FILE_STATUS_NOT_DOWN));
    size_t indexed = 0;
    OnEngine([&indexed] { indexed = g_LocalStoreMgr.Cache().CountForTests(); });
    EXPECT_EQ(indexed, 2u); // /p and /p/fine.txt
    EXPECT_EQ(Names(), before);
    EXPECT_EQ(Names(QStringLiteral("/p")), QStringList());
}

} // namespace
