// The engine's folder watcher: which folder it watches and when it ends, and what the engine tells
// it of the mirror when it rescans.
#include "support/EngineTestSupport.h"

#include "Database/QCGlobalConfig.h"
#include "Database/QCSyncDB.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>

namespace {

FILE_INFO Record(const QString& cloudPath, bool isDir, quint64 size, quint32 mtime) {
    FILE_INFO info;
    info.path = cloudPath;
    info.name = cloudPath.mid(cloudPath.lastIndexOf(QLatin1Char('/')) + 1);
    info.is_dir = isDir;
    info.size = size;
    info.mtime = mtime;
    info.version = 1;
    return info;
}

TEST_F(EngineTest, TheSyncFolderIsWatchedFromItsMappingUntilLogout) {
    QCFileSystemWatcher& watcher = g_LocalStoreMgr.Watcher();
    EXPECT_TRUE(watcher.IsRunning());
    EXPECT_EQ(watcher.Root(), g_Config.GetSyncPath());
    ASSERT_TRUE(watcher.WaitWatching(10000));
    MakeReady(); // the folder takes effect: the watch in place is kept
    EXPECT_EQ(watcher.Root(), root);

    NoService(); // the login that a new folder starts goes nowhere
    const QString other = QDir(sandbox.home.path()).filePath(QStringLiteral("other"));
    VUZeroz::GetInstance()->MapSyncPath(other, QStringLiteral("/"));
    EXPECT_EQ(watcher.Root(), g_Config.GetSyncPath());
    EXPECT_TRUE(watcher.Root().endsWith(QStringLiteral("/other")));

    VUZeroz::GetInstance()->Request(REQUEST_LOGOUT);
    ASSERT_TRUE(g_LocalStoreMgr.Wait(10000)); // the loop ends after a logout
    EXPECT_FALSE(watcher.IsRunning());
}

TEST_F(EngineTest, ARescanComparesWithTheJournalAndTheItemsWaitingForUpload) {
    std::map<QString, FILE_INFO> known;
    EXPECT_FALSE(g_LocalStoreMgr.KnownBelow(root, known)); // no folder in effect yet: ask later
    MakeReady();
    ASSERT_TRUE(QCSyncDB::UpdateFileInfos({Record(QStringLiteral("/docs"), true, 0, 50),
                                           Record(QStringLiteral("/docs/a.txt"), false, 5, 100),
                                           Record(QStringLiteral("/top.txt"), false, 1, 1)}));
    QCCache& index = g_LocalStoreMgr.Cache();
    index.Update(root + QStringLiteral("/docs/new.txt"), Record(QStringLiteral("/docs/new.txt"), false, 3, 7),
                 FILE_STATUS_WAIT_UP, false, false, true);
    index.Update(root + QStringLiteral("/docs/cloud.txt"),
                 Record(QStringLiteral("/docs/cloud.txt"), false, 9, 9), FILE_STATUS_NOT_DOWN, false, false,
                 true);

    ASSERT_TRUE(g_LocalStoreMgr.KnownBelow(root + QStringLiteral("/docs"), known));
    std::vector<QString> keys;
    for (const auto& entry : known)
        keys.push_back(entry.first);
    const QString docs = (root + QStringLiteral("/docs/")).toLower();
    EXPECT_EQ(keys, (std::vector<QString>{docs + QStringLiteral("a.txt"), docs + QStringLiteral("new.txt")}));
    const FILE_INFO& synced = known[docs + QStringLiteral("a.txt")];
    EXPECT_EQ(synced.path, root + QStringLiteral("/docs/a.txt"));
    EXPECT_EQ(synced.size, 5u);
    EXPECT_EQ(synced.mtime, 100u);
    EXPECT_EQ(known[docs + QStringLiteral("new.txt")].size, 3u);

    known.clear();
    ASSERT_TRUE(g_LocalStoreMgr.KnownBelow(root, known));
    EXPECT_EQ(known.size(), 4u); // the folder, its two files and the top file
    EXPECT_FALSE(g_LocalStoreMgr.KnownBelow(sandbox.home.path(), known)); // not the mirror
}

} // namespace
