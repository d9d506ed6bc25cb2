// Two devices of one user, each a coredrv process with its own home, against one stand-in: what
// the user renames, moves and deletes on one device reaches the other device's mirror with the
// same bytes, and neither device puts anything of the user's into its private trash but what the
// user deleted. Device A asks for the cloud's version only when a test says so (its polls would
// decide whether it saw the other device's latest change).
#include "support/DriverTestSupport.h"

#include "support/CoreDriverProcess.h"
#include "support/StandInLogin.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace {

using Tree = std::map<std::string, std::string>; // path -> bytes, "<dir>" for a folder

const std::string kDir = "<dir>";

Tree MirrorTree(const QString& root) {
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const std::string rel = path.mid(root.size()).toStdString();
        if (rel.rfind("/.Nimbocache", 0) == 0)
            continue;
        tree[rel] = QFileInfo(path).isDir() ? kDir : ReadFileBytes(path).toStdString();
    }
    return tree;
}

// The files in the private trash by their cloud paths (below each trash folder's time stamp).
QStringList TrashedFiles(const QString& root) {
    QStringList files;
    const QString trash = root + QStringLiteral("/.Nimbocache/trash");
    for (QDirIterator it(trash, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next().mid(trash.size());
        files << path.mid(path.indexOf(QLatin1Char('/'), 1));
    }
    files.sort();
    return files;
}

class TwoDeviceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        QFile ini(QDir(work.path()).filePath(QStringLiteral("sync.ini")));
        ASSERT_TRUE(ini.open(QIODevice::Append));
        ini.write("[sync]\ncheck_ver_interva=3600\n");
        ini.close();
        ASSERT_TRUE(homeB.isValid() && workB.isValid());
        WriteSyncIni(standIn, workB.path());
        mirrorB = QDir(homeB.path()).filePath(QStringLiteral("mirror"));
        syncA = QDir(mirror).filePath(QStringLiteral("E1"));
        syncB = QDir(mirrorB).filePath(QStringLiteral("E1"));
        ASSERT_NO_FATAL_FAILURE(LogInDriver(deviceA, home.path(), work.path(), mirror, 6));
        ASSERT_NO_FATAL_FAILURE(LogInDriver(deviceB, homeB.path(), workB.path(), mirrorB, 6));
    }

    Tree Cloud() {
        Tree tree;
        for (const auto& [path, node] : api.tree().byPath())
            tree[path] = node.isDir ? kDir : node.bytes;
        return tree;
    }
    // Reads both drivers' output (so neither blocks on a full pipe) until `done` holds.
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            deviceA.WaitForLine([](const QJsonObject&) { return false; }, 20);
            deviceB.WaitForLine([](const QJsonObject&) { return false; }, 20);
        }
        return true;
    }
    // The user's changes on device A reach the cloud, then device B, asked to look, mirrors them
    // (with `fetch`, B first asks for each item: a device holds only what it downloaded).
    // `trashedB`: the files B is to put into its trash, deleted on A.
    void ExpectEverywhere(const Tree& expected, bool fetch = false, const QStringList& trashedB = {}) {
        EXPECT_TRUE(WaitUntil([&] { return Cloud() == expected; })) << ::testing::PrintToString(Cloud());
        for (const auto& item : expected) {
            if (fetch)
                deviceB.Send(QStringLiteral("DownloadStart \"%1\" \"\"").arg(QString::fromStdString(item.first)));
        }
        // B looks at the cloud's version now and then, as its polls do (a request that comes
        // while it is busy is not kept).
        QElapsedTimer poll;
        poll.start();
        deviceB.Send(QStringLiteral("Request 4"));
        EXPECT_TRUE(WaitUntil([&] {
            if (poll.elapsed() > 1000) {
                deviceB.Send(QStringLiteral("Request 4"));
                poll.restart();
            }
            return MirrorTree(syncB) == expected;
        }))
            << ::testing::PrintToString(MirrorTree(syncB)) << qPrintable(deviceB.Output());
        EXPECT_TRUE(WaitUntil([&] { return MirrorTree(syncA) == expected; }))
            << ::testing::PrintToString(MirrorTree(syncA)) << qPrintable(deviceA.Output());
        EXPECT_EQ(TrashedFiles(syncA).join(QLatin1Char(',')), QString());
        EXPECT_EQ(TrashedFiles(syncB).join(QLatin1Char(',')), trashedB.join(QLatin1Char(',')));
    }
    // A makes "旧资料" with a file and a folder holding one; B asks for the files alone, and their
    // folders come down with them.
    void StartWithOldFolder() {
        Write(QStringLiteral("/旧资料/a.txt"), "alpha");
        Write(QStringLiteral("/旧资料/inner/b.txt"), "beta");
        const Tree start{
            {"/旧资料", kDir}, {"/旧资料/a.txt", "alpha"}, {"/旧资料/inner", kDir}, {"/旧资料/inner/b.txt", "beta"}};
        ASSERT_TRUE(WaitUntil([&] { return Cloud() == start; })) << ::testing::PrintToString(Cloud());
        for (const char* file : {"/旧资料/a.txt", "/旧资料/inner/b.txt"})
            deviceB.Send(QStringLiteral("DownloadStart \"%1\" \"\"").arg(QString::fromUtf8(file)));
        ASSERT_NO_FATAL_FAILURE(ExpectEverywhere(start));
    }
    bool IndexOfAHolds(const QString& path) {
        deviceA.Send(QStringLiteral("Index"));
        const QJsonValue index = WaitForResult(deviceA, "Index", 30000).value(QStringLiteral("result"));
        return index.toObject().contains(syncA + path);
    }
    bool InCloud(const char* path) { return api.tree().byPath().count(path) != 0; }
    void Write(const QString& path, const QByteArray& bytes) { WriteFileBytes(syncA + path, bytes); }
    void Move(const QString& from, const QString& to) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(syncA + to).absolutePath()));
        ASSERT_TRUE(QFile::rename(syncA + from, syncA + to)) << qPrintable(from) << " -> " << qPrintable(to);
    }

    QTemporaryDir homeB;
    QTemporaryDir workB;
    QString mirrorB;
    QString syncA;
    QString syncB;
    CoreDriverProcess deviceA;
    CoreDriverProcess deviceB;
};

TEST_F(TwoDeviceTest, RenamesAndMovesReachTheOtherDevice) {
    Write(QStringLiteral("/a.txt"), "alpha");
    Write(QStringLiteral("/docs/x.json"), "{\"x\":1}");
    Write(QStringLiteral("/F/y.txt"), "why");
    ASSERT_TRUE(QDir().mkpath(syncA + QStringLiteral("/archive/2023")));
    ASSERT_NO_FATAL_FAILURE(ExpectEverywhere({{"/a.txt", "alpha"},
                                              {"/docs", kDir},
                                              {"/docs/x.json", "{\"x\":1}"},
                                              {"/F", kDir},
                                              {"/F/y.txt", "why"},
                                              {"/archive", kDir},
                                              {"/archive/2023", kDir}},
                                             true));

    Move(QStringLiteral("/a.txt"), QStringLiteral("/b.txt"));
    Move(QStringLiteral("/docs/x.json"), QStringLiteral("/archive/2023/moved x.json"));
    Move(QStringLiteral("/F"), QStringLiteral("/G"));
    ExpectEverywhere({{"/b.txt", "alpha"},
                      {"/docs", kDir},
                      {"/archive", kDir},
                      {"/archive/2023", kDir},
                      {"/archive/2023/moved x.json", "{\"x\":1}"},
                      {"/G", kDir},
                      {"/G/y.txt", "why"}});
}

// Folders that came down with their files are the cloud's: when the cloud deletes the folder,
// the device that downloaded them keeps nothing of it, and no later comparison sends it back.
TEST_F(TwoDeviceTest, AFolderDeletedInTheCloudLeavesNoEmptyFoldersBehind) {
    ASSERT_NO_FATAL_FAILURE(StartWithOldFolder());

    ASSERT_TRUE(QDir(syncA + QStringLiteral("/旧资料")).removeRecursively());
    // (An empty folder left on B would go back up with B's next offline comparison.)
    ExpectEverywhere({}, false, {QStringLiteral("/旧资料/a.txt"), QStringLiteral("/旧资料/inner/b.txt")});
}

// A deletes a folder into which B has just put a file that A never saw: A recycles only what it
// knew (also its own upload of a moment ago, which its tree has not caught up with), the folder
// stays in the cloud with B's file, and the file comes down to A.
TEST_F(TwoDeviceTest, AFolderDeletedWhileTheOtherDeviceAddsToItKeepsTheAddition) {
    ASSERT_NO_FATAL_FAILURE(StartWithOldFolder());

    WriteFileBytes(syncB + QStringLiteral("/旧资料/inner/added.txt"), "from B");
    Write(QStringLiteral("/旧资料/mine.txt"), "from A");
    ASSERT_TRUE(WaitUntil([&] { return InCloud("/旧资料/inner/added.txt") && InCloud("/旧资料/mine.txt"); }));
    ASSERT_FALSE(IndexOfAHolds(QStringLiteral("/旧资料/inner/added.txt"))) << "A has seen the addition";
    ASSERT_TRUE(QDir(syncA + QStringLiteral("/旧资料")).removeRecursively());
    ExpectEverywhere({{"/旧资料", kDir}, {"/旧资料/inner", kDir}, {"/旧资料/inner/added.txt", "from B"}}, false,
                     {QStringLiteral("/旧资料/a.txt"), QStringLiteral("/旧资料/inner/b.txt")});
}

} // namespace
