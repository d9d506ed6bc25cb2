// The engine touches only what is its own. Symbolic links in the mirror (a folder link and a file
// link, both to things outside, where journal rows say synced items once were) through every road
// that acts on local files: the outside tree stays byte for byte, nothing is made, renamed or
// removed there, and the links stay as they are. Then a hidden file downloaded on request keeps
// its row through a full and an incremental comparison, and the copy a rename across file
// systems goes through.
#include "support/EngineTestSupport.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/Hash.h"
#include "common/PathUtils.h"
#include "common/QCClock.h"
#include "common/SafePath.h"
#include "common/SkipRules.h"
#include "support/TransferDoubles.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <map>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

constexpr quint32 kTime = 1700000000;

QString Q(const char* text) {
    return QString::fromUtf8(text);
}

QString HashOf(QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    qint64 total = 0;
    return QString::fromLatin1(CloudHashDevice(buffer, total));
}

void Write(const QString& path, const QByteArray& bytes, quint32 mtime = 0, bool append = false) {
    QFile file(path);
    ASSERT_TRUE(file.open(append ? QIODevice::Append : QIODevice::WriteOnly)) << qPrintable(path);
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    const utimbuf times{time_t(mtime), time_t(mtime)};
    ASSERT_TRUE(mtime == 0 || ::utime(QFile::encodeName(path).constData(), &times) == 0);
}

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every entry at and below `folder`: kind, bytes, modification time and inode, so that a rename or
// a rewrite shows as well as a removal or a new entry.
using Snapshot = std::map<QString, std::tuple<char, QByteArray, qint64, quint64>>;
Snapshot Snap(const QString& folder) {
    Snapshot snap;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    QStringList paths{folder};
    while (it.hasNext())
        paths << it.next();
    for (const QString& path : paths) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        const char kind = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        snap[path] = {kind, kind == 'f' ? Read(path) : QByteArray(),
                      qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, quint64(st.st_ino)};
    }
    return snap;
}

FILE_INFO Node(const char* nid, const char* pid, const char* name, bool dir, const QByteArray& bytes = {},
               quint32 version = 1) {
    FILE_INFO node;
    node.nid = Q(nid);
    node.pid = Q(pid);
    node.name = Q(name);
    node.is_dir = dir;
    node.ctime = node.mtime = kTime;
    node.version = version;
    node.size = quint64(bytes.size());
    node.file_hash = dir ? QString() : HashOf(bytes);
    return node;
}

NodeMap Nodes(std::initializer_list<FILE_INFO> list) {
    NodeMap nodes;
    for (const FILE_INFO& node : list)
        nodes[node.nid] = node;
    return nodes;
}

// "docs" links to outside/dir (a.txt, sub/), "f.txt" to outside/file.txt; the journal holds the
// three as synced items of the same size and time.
struct LinkTest : public EngineTest {
    using EngineTest::OnEngine;
    using EngineTest::SetStatus;
    using EngineTest::WaitUntil;

    void SetUp() override {
        EngineTest::SetUp();
        MakeReady("{\"name\":\"u1\"}");
        mirror = g_LocalStoreMgr.GetRootPath();
        outside = QDir(sandbox.home.path()).filePath(Q("outside"));
        ASSERT_TRUE(QDir().mkpath(outside + Q("/dir/sub")));
        Write(outside + Q("/dir/a.txt"), "outside a", kTime);
        Write(outside + Q("/file.txt"), "outside f", kTime);
        Link(outside + Q("/dir"), Q("/docs"));
        Link(outside + Q("/file.txt"), Q("/f.txt"));
        std::vector<FILE_INFO> rows;
        for (const auto& [path, bytes] :
             {std::pair{"/docs", QByteArray()}, {"/docs/a.txt", "outside a"}, {"/f.txt", "outside f"}}) {
            FILE_INFO row = Node("0", "0", "", bytes.isEmpty(), bytes);
            row.path = Q(path);
            row.name = GetOnlyFilename(row.path);
            rows.push_back(row);
        }
        ASSERT_TRUE(QCSyncDB::UpdateFileInfos(rows));
        // Downloads the comparisons ask for wait as tasks that never start.
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
    void Link(const QString& target, const QString& relative) {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(mirror + relative).constData()),
                  0);
    }
    // The user's own doings through the links (what they write lies outside).
    void EditThroughLinks() {
        Write(mirror + Q("/f.txt"), " edited", 0, true);
        Write(mirror + Q("/docs/new.txt"), "made through the link");
        Link(outside + Q("/dir"), Q("/l2"));
    }
    // Pending work for a link's path, or anything below one.
    bool WorkForLinks() {
        bool found = false;
        OnEngine([&found] {
            for (const CHANGE_ITEM& item : g_LocalStoreMgr.PendingForTests())
                for (const char* link : {"/docs", "/f.txt", "/l2"})
                    found =
                        found || item.local.path == Q(link) || item.local.path.startsWith(Q(link) + Q("/"));
        });
        return found;
    }

    QString mirror;
    QString outside;
};

struct LinkCase {
    const char* name;
    void (*user)(LinkTest& t);   // the user's doings first, then the outside is looked at
    void (*engine)(LinkTest& t); // what the engine does
};

const LinkCase kLinkCases[] = {
    {"CloudDeletion", nullptr,
     [](LinkTest&) { ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(Nodes({Node("9", "0", "other", true)}))); }},
    {"CloudEdit", nullptr,
     [](LinkTest& t) {
         const FILE_INFO a = Node("2", "1", "a.txt", false, "the cloud's a", 2);
         const FILE_INFO f = Node("3", "0", "f.txt", false, "the cloud's f", 2);
         ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(Nodes({Node("1", "0", "docs", true), a, f}), {}, true));
         std::vector<FILE_INFO> queued;
         t.OnEngine([&queued] { queued = g_LocalStoreMgr.TakeCloudDownloadsForTests(); });
         EXPECT_TRUE(queued.empty());
         // What a download of the new versions would put in place.
         const QString temp = g_LocalStoreMgr.GetDropPath() + Q("/new.tmp");
         ASSERT_TRUE(QDir().mkpath(g_LocalStoreMgr.GetDropPath()));
         for (const auto& [cloud, target] : {std::pair{a, "/docs/a.txt"}, {f, "/f.txt"}}) {
             Write(temp, "the cloud's new");
             EXPECT_NE(g_LocalStoreMgr.InstallDownload(temp, t.mirror + Q(target), cloud), 0) << target;
         }
     }},
    {"CloudMove", nullptr,
     [](LinkTest& t) {
         Write(t.mirror + Q("/b.txt"), "mine", kTime);
         FILE_INFO row = Node("5", "0", "b.txt", false, "mine");
         row.path = Q("/b.txt");
         ASSERT_TRUE(QCSyncDB::UpdateFileInfo(row));
         const NodeMap nodes =
             Nodes({Node("1", "0", "docs", true), Node("4", "0", "moved", true),
                    Node("2", "4", "a.txt", false, "outside a"), Node("3", "0", "g.txt", false, "outside f"),
                    Node("5", "1", "b.txt", false, "mine")});
         const std::map<QString, QString> before{
             {Q("2"), Q("/docs/a.txt")}, {Q("3"), Q("/f.txt")}, {Q("5"), Q("/b.txt")}};
         ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(nodes, before, true));
         EXPECT_EQ(Read(t.mirror + Q("/b.txt")), QByteArray("mine")); // not moved behind the link
         EXPECT_FALSE(QFileInfo::exists(t.mirror + Q("/moved/a.txt")));
     }},
    {"Conflict", nullptr,
     [](LinkTest& t) {
         EXPECT_TRUE(g_LocalStoreMgr.MakeConflict(t.mirror + Q("/docs/a.txt"))); // nothing of ours there
         EXPECT_FALSE(g_LocalStoreMgr.MakeConflict(t.mirror + Q("/f.txt")));     // a link is left alone
         EXPECT_FALSE(g_LocalStoreMgr.ResolveDownloadConflict(t.mirror + Q("/f.txt"),
                                                              Node("3", "0", "f.txt", false, "other")));
         // Neither is the cloud's file without a row any more: a full comparison sees no local copy.
         ASSERT_TRUE(QCSyncDB::DeleteByPaths({Q("/docs/a.txt"), Q("/f.txt")}));
         ASSERT_TRUE(g_LocalStoreMgr.CompareForTests(
             Nodes({Node("1", "0", "docs", true), Node("2", "1", "a.txt", false, "cloud a"),
                    Node("3", "0", "f.txt", false, "cloud f")})));
         EXPECT_EQ(QDir(t.mirror)
                       .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                       .filter(Q("冲突")),
                   QStringList());
     }},
    {"CacheClean",
     [](LinkTest& t) {
         // The private folder's trash and blocks are links out of the mirror too.
         const QString priv = g_LocalStoreMgr.GetPrivateRoot();
         ASSERT_TRUE(QDir(priv + Q("/trash")).removeRecursively() &&
                     QDir(priv + Q("/blocks")).removeRecursively());
         ASSERT_EQ(::symlink(qPrintable(t.outside + Q("/dir")), qPrintable(priv + Q("/trash"))), 0);
         ASSERT_EQ(::symlink(qPrintable(t.outside + Q("/dir")), qPrintable(priv + Q("/blocks"))), 0);
     },
     [](LinkTest& t) { t.OnEngine([] { g_LocalStoreMgr.CacheClean(); }); }},
    {"WatcherSeesLocalEdits",
     [](LinkTest& t) {
         ASSERT_TRUE(g_LocalStoreMgr.Watcher().WaitWatching(10000)); // the watch the readiness set up
         t.EditThroughLinks();
     },
     [](LinkTest& t) {
         // A file of the mirror's own, made last: once it waits for upload, the reports before it
         // have been taken in.
         t.SetStatus(LOCAL_STATUS_OK);
         Write(t.mirror + Q("/zz.txt"), "mine");
         ASSERT_TRUE(t.WaitUntil(
             [] {
                 bool waiting = false;
                 g_LocalStoreMgr.CallForTests([&waiting] {
                     waiting = g_LocalStoreMgr.PendingForTests().FindPath(Q("/zz.txt")) !=
                               g_LocalStoreMgr.PendingForTests().end();
                 });
                 return waiting;
             },
             100, 30000));
         EXPECT_FALSE(t.WorkForLinks());
     }},
    {"OfflineComparisonSeesLocalEdits", [](LinkTest& t) { t.EditThroughLinks(); },
     [](LinkTest& t) {
         t.OnEngine([] { g_LocalStoreMgr.CompareOffline(); });
         EXPECT_FALSE(t.WorkForLinks());
     }},
};

class LinkCaseTest : public LinkTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkCaseTest, NothingOutsideIsTouched) {
    if (GetParam().user)
        GetParam().user(*this);
    const Snapshot before = Snap(outside);
    ASSERT_NO_FATAL_FAILURE(GetParam().engine(*this));
    EXPECT_EQ(Snap(outside), before);
    EXPECT_TRUE(SafePath::Stat(mirror, mirror + Q("/docs")).is_link);
    EXPECT_TRUE(SafePath::Stat(mirror, mirror + Q("/f.txt")).is_link);
    QStringList trashed;
    SafePath::ListFiles(mirror, g_LocalStoreMgr.GetPrivateRoot() + Q("/trash"), trashed);
    EXPECT_EQ(trashed, QStringList());
}

INSTANTIATE_TEST_SUITE_P(Roads, LinkCaseTest, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The copy a rename across file systems goes through: beside the target, whole, under a name the
// sync leaves out; nothing left behind when the source cannot be read.
TEST_F(EngineTest, ACopyBesideTheTargetForARenameAcrossFileSystems) {
    MakeReady();
    const QString mirror = g_LocalStoreMgr.GetRootPath();
    const QString drop = g_LocalStoreMgr.GetDropPath();
    ASSERT_TRUE(QDir().mkpath(drop) && QDir().mkpath(mirror + Q("/to")));
    Write(drop + Q("/a.tmp"), QByteArray(int(CLOUD_BLOCK_SIZE) + 3, 'q'));
    FILE_INFO cloud;
    cloud.mtime = kTime;
    const QString copy = g_LocalStoreMgr.CopyBeside(drop + Q("/a.tmp"), mirror + Q("/to"), cloud);
    ASSERT_EQ(QFileInfo(copy).absolutePath(), mirror + Q("/to"));
    EXPECT_FALSE(IsSyncedName(QFileInfo(copy).fileName()));
    EXPECT_EQ(Read(copy), QByteArray(int(CLOUD_BLOCK_SIZE) + 3, 'q'));
    EXPECT_EQ(QFileInfo(copy).lastModified().toSecsSinceEpoch(), qint64(kTime));
    EXPECT_TRUE(g_LocalStoreMgr.CopyBeside(drop + Q("/gone"), mirror + Q("/to"), cloud).isEmpty());
    EXPECT_EQ(QDir(mirror + Q("/to")).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// A hidden file the user asked for stays synced: the full comparison's scan sees it as the
// incremental one does, so a later cloud edit replaces it instead of setting it aside.
TEST_F(EngineTest, AHiddenFileDownloadedOnRequestStaysSynced) {
    AddAccount();
    ServeTree();
    api->tree().addFileBytes("/.hidden.txt", "first version");
    LogIn();
    ASSERT_TRUE(WaitStatus(5, 120000));
    const QString mirror = g_LocalStoreMgr.GetRootPath();
    const QString path = mirror + Q("/.hidden.txt");
    const auto status = [&path] {
        FileInfo info;
        return g_LocalStoreMgr.Cache().GetBaseInfo(path, info) ? info.status : 0u;
    };
    SetStatus(LOCAL_STATUS_OK);
    ASSERT_TRUE(VUZeroz::GetInstance()->DownloadStart(Q("/.hidden.txt"), QString()));
    ASSERT_TRUE(
        WaitUntil([&] { return status() == FILE_STATUS_SYNCED && g_LocalStoreMgr.DownloadCount() == 0; }));

    SetStatus(LOCAL_STATUS_CHECK_CLOUD);
    ASSERT_TRUE(g_LocalStoreMgr.CompareAllForTests());
    EXPECT_EQ(status(), quint32(FILE_STATUS_SYNCED));
    FILE_INFO row;
    EXPECT_TRUE(QCSyncDB::GetFileInfo(Q("/.hidden.txt"), row));

    SetStatus(LOCAL_STATUS_OK);
    ASSERT_TRUE(api->tree().editFileBytes("/.hidden.txt", "second version", kStandInTime + 60));
    QCClock::AdvanceForTests(2100); // past the window in which a version request is not sent again
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(
        WaitUntil([&] { return Read(path) == "second version" && status() == FILE_STATUS_SYNCED; }, 100));
    EXPECT_EQ(QDir(mirror).entryList(QDir::Files | QDir::Hidden).filter(Q("冲突")), QStringList());
}

} // namespace
