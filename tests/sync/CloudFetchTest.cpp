// The cloud fetch and comparison against the stand-in's cloud tree, through a real login.
#include "support/EngineTestSupport.h"

#include "support/DebugCapture.h"
#include "support/TransferDoubles.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <utime.h>

namespace {

// Whole comparisons of thousands of nodes take long in the sanitizer builds on a loaded machine.
constexpr int kLongMs = 180000;

class CloudFetchTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        AddAccount();
        ServeTree();
    }
    void TearDown() override {
        OnEngine([] { g_LocalStoreMgr.SetDownloadFactory(nullptr); });
        EngineTest::TearDown();
    }

    // Logs in and waits for the end of the first comparison.
    void Compared() {
        LogIn();
        ASSERT_TRUE(WaitStatus(4, kLongMs));
        base = g_LocalStoreMgr.GetRootPath();
    }
    // A refresh request, and the end of the cycle it starts (status 4 after a comparison, else 6).
    void Refresh(int ui = 4) {
        // Past the download phase the offline comparison would have led to status 7, where a
        // refresh asks for the cloud's version.
        SetStatus(LOCAL_STATUS_OK);
        receiver.Take();
        VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
        ASSERT_TRUE(WaitStatus(ui, kLongMs));
    }
    size_t Methods(const std::string& method) const { return api->calls(method).size(); }
    size_t Indexed() {
        size_t count = 0;
        OnEngine([&count] { count = g_LocalStoreMgr.Cache().CountForTests(); });
        return count;
    }
    // A local copy of a cloud file as the last sync left it.
    void PutLocal(const std::string& cloudPath, const std::string& bytes, const QString& folder) {
        const QString path = folder + QString::fromStdString(cloudPath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), qint64(bytes.size()));
        file.close();
        utimbuf times{time_t(kStandInTime), time_t(kStandInTime)};
        ASSERT_EQ(::utime(QFile::encodeName(path).constData(), &times), 0);
    }
    static bool HasRow(const QString& path) {
        FILE_INFO row;
        return QCSyncDB::GetFileInfo(path, row);
    }
    // The files below the trash, relative to their stamp folder.
    QStringList Trashed() const {
        QStringList files;
        const QString trash = g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash");
        QDirIterator it(trash, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString rel = it.next().mid(trash.size() + 1);
            files << rel.mid(rel.indexOf(QLatin1Char('/')));
        }
        files.sort();
        return files;
    }

    QString base;
};

TEST_F(CloudFetchTest, AFirstFetchListsTheTreeInPagesAndKeepsASnapshot) {
    StandInTree& tree = api->tree();
    for (int f = 0; f < 50; ++f) {
        const std::string folder = "/f" + std::to_string(f);
        tree.addFolder(folder);
        for (int i = 0; i < 89; ++i)
            tree.addFile(folder + "/n" + std::to_string(i) + ".txt", 10, std::string(40, 'a'));
    }
    ASSERT_EQ(tree.nodeCount(), 4500u);
    Compared();
    EXPECT_EQ(Methods("Incr.getBgsp"), 1u);
    EXPECT_EQ(Methods("Incr.getGlobalNodes"), 3u);
    EXPECT_EQ(Methods("Incr.getIncrGlobal"), 1u);
    EXPECT_EQ(Indexed(), 4500u);
    FileInfo info;
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(base + QStringLiteral("/f7/n3.txt"), info));
    EXPECT_EQ(info.status, quint32(FILE_STATUS_NOT_DOWN));
    EXPECT_TRUE(QFileInfo(QDir(UserFolder()).filePath(QStringLiteral("nodes_page.dat"))).isFile());

    // Logged out and in again: the snapshot stands in for the listing; the tree is compared again.
    VUZeroz::GetInstance()->Request(REQUEST_LOGOUT);
    ASSERT_TRUE(g_LocalStoreMgr.Wait(5000));
    receiver.Take();
    InitEngine();
    VUZeroz::GetInstance()->SetUser(QStringLiteral("u1"), QStringLiteral("Q=a; T=b;"), false, QString());
    VUZeroz::GetInstance()->MapSyncPath(g_Config.GetSyncPath(), QStringLiteral("/"));
    Compared();
    EXPECT_EQ(Methods("Incr.getBgsp"), 1u);
    EXPECT_EQ(Methods("Incr.getGlobalNodes"), 3u);
    EXPECT_EQ(Methods("Incr.getIncrGlobal"), 2u);
    EXPECT_EQ(Indexed(), 4500u);

    // Nothing changed since: the cycle stores and compares nothing.
    DebugCapture debug;
    receiver.Take();
    g_LocalStoreMgr.FetchForTests();
    ASSERT_TRUE(WaitStatus(6, kLongMs));
    WaitCalls("Incr.getIncrGlobal", 3); // the stand-in may log the request after the status event
    EXPECT_EQ(Methods("Incr.getIncrGlobal"), 3u);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_OK);
    EXPECT_TRUE(debug.lines(QStringLiteral("[compare]")).isEmpty());
    EXPECT_TRUE(debug.lines(QStringLiteral("[NodeStorage] save")).isEmpty());
}

TEST_F(CloudFetchTest, CloudDeletionsGoToTheTrashAndLocalCopiesFollowMoves) {
    StandInTree& tree = api->tree();
    tree.addFolder("/a");
    tree.addFolder("/c");
    tree.addFileBytes("/a/b.txt", "bee", kStandInTime);
    tree.addFileBytes("/a/edited.txt", "one", kStandInTime);
    tree.addFileBytes("/c/x.txt", "ex", kStandInTime);
    tree.addFileBytes("/c/y.txt", "why", kStandInTime);
    // The first login makes the enterprise's folder below the mapped one.
    const QString folder = root + QStringLiteral("/E1");
    PutLocal("/a/b.txt", "bee", folder);
    PutLocal("/a/edited.txt", "one", folder);
    PutLocal("/c/x.txt", "ex", folder);
    PutLocal("/c/y.txt", "why", folder);
    Compared();
    ASSERT_EQ(base, folder);
    ASSERT_TRUE(HasRow(QStringLiteral("/a/b.txt")));
    ASSERT_TRUE(HasRow(QStringLiteral("/c/y.txt")));

    ASSERT_TRUE(tree.remove("/a/b.txt"));
    ASSERT_TRUE(tree.remove("/a/edited.txt"));
    ASSERT_TRUE(tree.rename("/c", "c2"));
    PutLocal("/a/edited.txt", "changed here", folder);
    const size_t before = api->calls("User.getVersion").size();
    Refresh();
    EXPECT_GT(api->calls("User.getVersion").size(), before);
    EXPECT_EQ(Trashed(), QStringList{QStringLiteral("/a/b.txt")});
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/a/b.txt")));
    EXPECT_FALSE(HasRow(QStringLiteral("/a/b.txt")));
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral("/a/edited.txt")));
    EXPECT_FALSE(HasRow(QStringLiteral("/a/edited.txt")));
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/c")));
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral("/c2/x.txt")));
    EXPECT_TRUE(HasRow(QStringLiteral("/c2/y.txt")));
    EXPECT_FALSE(HasRow(QStringLiteral("/c/y.txt")));
    FileInfo info;
    ASSERT_TRUE(g_LocalStoreMgr.Cache().GetBaseInfo(base + QStringLiteral("/c2/y.txt"), info));
    EXPECT_EQ(info.status, quint32(FILE_STATUS_SYNCED));
    EXPECT_FALSE(g_LocalStoreMgr.Cache().GetBaseInfo(base + QStringLiteral("/c/y.txt"), info));
}

TEST_F(CloudFetchTest, AMassDeletionWaitsForTheUsersStart) {
    StandInTree& tree = api->tree();
    const QString folder = root + QStringLiteral("/E1");
    tree.addFolder("/m");
    for (int i = 0; i < 400; ++i) {
        const std::string path = "/m/" + std::to_string(i) + ".txt";
        tree.addFileBytes(path, std::to_string(i));
        PutLocal(path, std::to_string(i), folder);
    }
    Compared();
    for (int i = 0; i < 240; ++i) // more than 100 files and more than half of the journal's
        ASSERT_TRUE(tree.remove("/m/" + std::to_string(i) + ".txt"));
    SetStatus(LOCAL_STATUS_OK); // as after the offline comparison
    receiver.Take();
    DebugCapture debug;
    VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
    ASSERT_TRUE(receiver.WaitFor(QCEventBase::GlobalError, kLongMs))
        << qPrintable(debug.lines(QStringLiteral("[compare")).join(QLatin1Char('\n')));
    const auto errors = receiver.Take();
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [](const RecordedEvent& e) {
                                return e.type == QCEventBase::GlobalError && e.kind == SYNC_ERROR::MassDelete;
                            }),
              1);
    EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_STOP);
    EXPECT_TRUE(Trashed().isEmpty());
    EXPECT_TRUE(HasRow(QStringLiteral("/m/5.txt")));

    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
    ASSERT_TRUE(WaitStatus(4, kLongMs));
    EXPECT_EQ(Trashed().size(), 240);
    EXPECT_FALSE(HasRow(QStringLiteral("/m/5.txt")));
    EXPECT_TRUE(HasRow(QStringLiteral("/m/305.txt")));
}

TEST_F(CloudFetchTest, AFailingPageIsAskedAgainWithGrowingPauses) {
    StandInTree& tree = api->tree();
    for (int i = 0; i < 4500; ++i)
        tree.addFile("/n" + std::to_string(i), 1, std::string(40, 'b'));
    tree.failPage("Incr.getGlobalNodes", 2);
    DebugCapture debug;
    LogIn();
    ASSERT_TRUE(debug.waitFor(QStringLiteral("[fetch] step 16 failed"), 10000))
        << qPrintable(debug.lines(QString()).join(QLatin1Char('\n')));
    for (const qint64 pause : {1000, 2000, 4000}) {
        if (pause == 4000)
            tree.liftFault("Incr.getGlobalNodes", 2);
        const int sent = debug.lines(QStringLiteral("[fetch] step 16 sent again")).size();
        QCClock::AdvanceForTests(pause - 1);
        Pass();
        EXPECT_EQ(debug.lines(QStringLiteral("[fetch] step 16 sent again")).size(), sent) << pause;
        QCClock::AdvanceForTests(1);
        Pass();
        ASSERT_TRUE(debug.waitFor(QStringLiteral("[fetch] step 16 sent again"), 10000, sent + 1)) << pause;
        if (pause < 4000) {
            ASSERT_TRUE(debug.waitFor(QStringLiteral("[fetch] step 16 failed"), 10000, sent + 2)) << pause;
        }
    }
    const bool compared = WaitStatus(4, kLongMs);
    QStringList statuses;
    for (const RecordedEvent& e : receiver.Take())
        statuses << QString::number(e.type) + QLatin1Char(':') + QString::number(int(e.info.status));
    ASSERT_TRUE(compared) << qPrintable(statuses.join(QLatin1Char(' '))) << int(g_LocalStoreMgr.LocalStatus())
                          << qPrintable(debug.lines(QStringLiteral("[fetch")).join(QLatin1Char('\n')));
    EXPECT_EQ(Indexed(), 4500u);
}

TEST_F(CloudFetchTest, ComparingTheChangesAloneEqualsComparingTheWholeTree) {
    StandInTree& tree = api->tree();
    const QString folder = root + QStringLiteral("/E1");
    for (int f = 0; f < 100; ++f) {
        const std::string dir = "/f" + std::to_string(f);
        tree.addFolder(dir);
        for (int i = 0; i < 199; ++i) {
            const std::string path = dir + "/" + std::to_string(i) + ".txt";
            if (f < 10) { // these have synced local copies
                tree.addFileBytes(path, path);
                PutLocal(path, path, folder);
            } else {
                tree.addFile(path, 7, std::string(40, 'c'));
            }
        }
    }
    ASSERT_EQ(tree.nodeCount(), 20000u);
    Compared();
    // The downloads the changes lead to wait in the queue, so that both comparisons see one state.
    OnEngine([] {
        g_LocalStoreMgr.SetDownloadFactory([](const FILE_INFO& record) {
            return std::make_shared<TaskDouble>(g_LocalStoreMgr, record, true);
        });
    });
    int changes = 0;
    for (int i = 0; i < 60; ++i, ++changes) // edits, a third of them over local copies
        ASSERT_TRUE(tree.editFileBytes("/f" + std::to_string(i % 3 == 0 ? 2 : 50 + i % 40) + "/" +
                                           std::to_string(i) + ".txt",
                                       "edited " + std::to_string(i), kStandInTime + 100));
    for (int i = 100; i < 160; ++i, ++changes) // deletions, a third of them of local copies
        ASSERT_TRUE(tree.remove("/f" + std::to_string(i % 3 == 0 ? 3 : 60 + i % 30) + "/" + std::to_string(i) + ".txt"));
    ASSERT_FALSE(tree.addFolder("/moved").empty());
    ++changes;
    for (int i = 0; i < 69; ++i, ++changes) // moves, half of them of local copies
        ASSERT_TRUE(tree.move("/f" + std::to_string(i % 2 == 0 ? 4 : 70) + "/" + std::to_string(i + 120) + ".txt",
                              "/moved"));
    for (const char* name : {"f6", "f80"}) { // folder renames, one over local copies
        ASSERT_TRUE(tree.rename(std::string("/") + name, std::string("r") + name));
        ++changes;
    }
    for (int i = 0; i < 8; ++i, ++changes)
        ASSERT_TRUE(tree.remove("/f9" + std::to_string(i) + "/0.txt"));
    ASSERT_EQ(changes, 200);

    DebugCapture debug;
    Refresh();
    ASSERT_EQ(debug.lines(QStringLiteral("[compare] changes")).size(), 1)
        << qPrintable(debug.lines(QStringLiteral("[compare]")).join(QLatin1Char('\n')));
    const auto snapshot = [this](std::vector<QString>& index, std::map<QString, FILE_INFO>& journal) {
        std::vector<FileInfo> items;
        OnEngine([this, &items] { g_LocalStoreMgr.Cache().ListAll(base, items); });
        for (const FileInfo& item : items)
            index.push_back(item.path + QLatin1Char('|') + QString::number(item.status) + QLatin1Char('|') +
                            QString::number(item.size) + QLatin1Char('|') + QString::number(item.mtime));
        ASSERT_TRUE(QCSyncDB::GetAll(journal));
    };
    std::vector<QString> indexAfterChanges, indexAfterWhole;
    std::map<QString, FILE_INFO> journalAfterChanges, journalAfterWhole;
    snapshot(indexAfterChanges, journalAfterChanges);
    ASSERT_TRUE(g_LocalStoreMgr.CompareAllForTests());
    snapshot(indexAfterWhole, journalAfterWhole);
    EXPECT_EQ(indexAfterChanges.size(), 19933u); // 20,000 - 68 deleted + 1 folder
    EXPECT_EQ(indexAfterChanges, indexAfterWhole);
    ASSERT_EQ(journalAfterChanges.size(), journalAfterWhole.size());
    for (const auto& row : journalAfterWhole) {
        const auto other = journalAfterChanges.find(row.first);
        ASSERT_NE(other, journalAfterChanges.end()) << row.first.toStdString();
        EXPECT_EQ(other->second.path, row.second.path);
        EXPECT_EQ(other->second.mtime, row.second.mtime);
        EXPECT_EQ(other->second.size, row.second.size);
        EXPECT_EQ(other->second.version, row.second.version);
        EXPECT_EQ(other->second.file_hash, row.second.file_hash);
    }
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral("/rf6/0.txt")));
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral("/moved/120.txt")));
}

} // namespace
