// Renames, names that differ only in letter case and folders deleted while another device changes
// them, against the stand-in with the real watcher:
// every case ends with the stand-in and the mirror holding the same items with the same bytes,
// the engine in status 7, no index entry waiting in 8 (checking), and nothing of the user's in
// the private trash.
#include "support/EngineTestSupport.h"

#include "support/DebugCapture.h"

#include "Database/QCSyncDB.h"
#include "common/CommonDef.h"
#include "common/QCClock.h"
#include "sync/QCLocalStoreMgr.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>

namespace {

using Tree = std::map<std::string, std::string>; // path -> bytes, "<dir>" for a folder

const std::string kDir = "<dir>";

class ConvergeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        LogInAndSettle();
        root = g_LocalStoreMgr.GetRootPath();
        receiver.Pump();
        receiver.Take();
    }
    void TearDown() override {
        if (HasFailure() || qEnvironmentVariableIsSet("PIPELINE_TEST_LOG"))
            std::cerr << debugLines->lines(QString()).join(QLatin1Char('\n')).toStdString() << std::endl;
        EngineTest::TearDown();
    }

    QString Local(const std::string& path) const { return root + QString::fromStdString(path); }
    void Write(const std::string& path, const std::string& bytes) {
        const QString file = Local(path);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes.data(), qint64(bytes.size()));
    }
    void Rename(const std::string& from, const std::string& to) {
        QDir().mkpath(QFileInfo(Local(to)).absolutePath());
        ASSERT_TRUE(QFile::rename(Local(from), Local(to))) << from << " -> " << to;
    }

    Tree Mirror() const {
        Tree tree;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const std::string rel = path.mid(root.size()).toStdString();
            if (rel.rfind("/.Nimbocache", 0) == 0)
                continue;
            QFile file(path);
            tree[rel] = QFileInfo(path).isDir() ? kDir
                        : file.open(QIODevice::ReadOnly) ? file.readAll().toStdString()
                                                         : "<unreadable>";
        }
        return tree;
    }
    Tree Cloud() {
        Tree tree;
        for (const auto& [path, node] : api->tree().byPath())
            tree[path] = node.isDir ? kDir : node.bytes;
        return tree;
    }
    size_t Checking() {
        std::vector<FileInfo> entries;
        OnEngine([&] { g_LocalStoreMgr.Cache().QueryExt(root, true, entries); });
        size_t checking = 0;
        for (const FileInfo& entry : entries)
            checking += entry.status == FILE_STATUS_CHECKING ? 1 : 0;
        return checking;
    }
    QStringList Trashed() const {
        QStringList files;
        const QString trash = g_LocalStoreMgr.GetPrivateRoot() + QStringLiteral("/trash");
        for (QDirIterator it(trash, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            files << it.next().mid(trash.size());
        return files;
    }
    bool Idle() {
        size_t pending = 1;
        g_LocalStoreMgr.CallForTests([&] { pending = g_LocalStoreMgr.PendingForTests().size(); });
        return pending == 0 && g_LocalStoreMgr.UploadCount() == 0 && g_LocalStoreMgr.DownloadCount() == 0 &&
               g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK;
    }
    // Runs the engine a second of the core's clock per round (asking for the cloud's version now
    // and then, as the polls do) until it is idle with `done` holding.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
        QElapsedTimer timer;
        timer.start();
        for (int round = 0; !(Idle() && done()); ++round) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QCClock::AdvanceForTests(1000);
            if (round % 5 == 4 && g_LocalStoreMgr.LocalStatus() == LOCAL_STATUS_OK)
                VUZeroz::GetInstance()->Request(REQUEST_REFRESH);
            Pass();
            standIn.waitForRequests(standIn.requestCount() + 1, 20);
        }
        return true;
    }
    // Makes `start` in the mirror and runs until the cloud holds it and nothing is being checked.
    void Start(const Tree& start) {
        for (const auto& [path, bytes] : start) {
            if (bytes == kDir)
                QDir().mkpath(Local(path));
            else
                Write(path, bytes);
        }
        ASSERT_TRUE(Uploaded(start)) << ::testing::PrintToString(Cloud());
        ASSERT_TRUE(RunUntil([&] { return Checking() == 0; }));
    }
    // The cloud holds `expected` and the engine has fetched the tree since.
    bool Uploaded(const Tree& expected) {
        return RunUntil([&] {
            quint32 fetched = 0;
            OnEngine([&] { fetched = g_LocalStoreMgr.FetchedVersionForTests(); });
            return Cloud() == expected && fetched == api->tree().version();
        });
    }
    void ExpectConverged(const Tree& expected) {
        EXPECT_TRUE(RunUntil([&] { return Mirror() == expected && Cloud() == expected && Checking() == 0; }))
            << "mirror " << ::testing::PrintToString(Mirror()) << "\ncloud "
            << ::testing::PrintToString(Cloud());
        EXPECT_EQ(Mirror(), expected);
        EXPECT_EQ(Cloud(), expected);
        EXPECT_EQ(g_LocalStoreMgr.LocalStatus(), LOCAL_STATUS_OK);
        EXPECT_EQ(Checking(), 0u);
        EXPECT_EQ(Trashed(), QStringList());
    }

    std::unique_ptr<DebugCapture> debugLines = std::make_unique<DebugCapture>();
};

// --- Rename shapes ---------------------------------------------------------------------------------

struct ShapeRow {
    const char* name;
    Tree start;                                     // made in the mirror and uploaded first
    std::function<void(ConvergeTest&)> change;      // what the user (or another device) does
    Tree end;
};

void PrintTo(const ShapeRow& row, std::ostream* out) {
    *out << row.name;
}

class RenameShapeTest : public ConvergeTest, public ::testing::WithParamInterface<ShapeRow> {
public:
    using ConvergeTest::Rename;
    StandInTree& CloudTree() { return api->tree(); }
};

TEST_P(RenameShapeTest, Converges) {
    const ShapeRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(row.start));
    row.change(*this);
    ExpectConverged(row.end);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RenameShapeTest,
    ::testing::Values(
        ShapeRow{"TwoFilesSwapped",
                 {{"/a.txt", "first"}, {"/b.txt", "second"}},
                 [](ConvergeTest& t) {
                     auto& test = static_cast<RenameShapeTest&>(t);
                     test.Rename("/a.txt", "/t.txt");
                     test.Rename("/b.txt", "/a.txt");
                     test.Rename("/t.txt", "/b.txt");
                 },
                 {{"/a.txt", "second"}, {"/b.txt", "first"}}},
        ShapeRow{"TwoFoldersSwapped",
                 {{"/A", kDir}, {"/A/x.txt", "ax"}, {"/B", kDir}, {"/B/y.txt", "by"}},
                 [](ConvergeTest& t) {
                     auto& test = static_cast<RenameShapeTest&>(t);
                     test.Rename("/A", "/T");
                     test.Rename("/B", "/A");
                     test.Rename("/T", "/B");
                 },
                 {{"/A", kDir}, {"/A/y.txt", "by"}, {"/B", kDir}, {"/B/x.txt", "ax"}}},
        ShapeRow{"ThreeWayRotation",
                 {{"/a.txt", "one"}, {"/b.txt", "two"}, {"/c.txt", "three"}},
                 [](ConvergeTest& t) {
                     auto& test = static_cast<RenameShapeTest&>(t);
                     test.Rename("/a.txt", "/t.txt");
                     test.Rename("/b.txt", "/a.txt");
                     test.Rename("/c.txt", "/b.txt");
                     test.Rename("/t.txt", "/c.txt");
                 },
                 {{"/a.txt", "two"}, {"/b.txt", "three"}, {"/c.txt", "one"}}},
        ShapeRow{"CaseChangedThroughATemporaryName",
                 {{"/a.txt", "alpha"}, {"/Dir", kDir}, {"/Dir/x.txt", "ex"}},
                 [](ConvergeTest& t) {
                     auto& test = static_cast<RenameShapeTest&>(t);
                     test.Rename("/a.txt", "/t.txt");
                     test.Rename("/t.txt", "/A.txt");
                     test.Rename("/Dir", "/T");
                     test.Rename("/T", "/DIR");
                 },
                 {{"/A.txt", "alpha"}, {"/DIR", kDir}, {"/DIR/x.txt", "ex"}}},
        ShapeRow{"CloudFileMovedOutOfAMovedFolder",
                 {{"/a", kDir}, {"/a/x.txt", "ex"}, {"/a/y.txt", "why"}, {"/b", kDir}},
                 [](ConvergeTest& t) {
                     StandInTree& tree = static_cast<RenameShapeTest&>(t).CloudTree();
                     ASSERT_TRUE(tree.rename("/a", "c"));
                     ASSERT_TRUE(tree.move("/c/x.txt", "/b"));
                 },
                 {{"/b", kDir}, {"/b/x.txt", "ex"}, {"/c", kDir}, {"/c/y.txt", "why"}}},
        ShapeRow{"LocalMoveWithANewName",
                 {{"/docs", kDir}, {"/docs/x.json", "{}"}, {"/archive", kDir}, {"/archive/2023", kDir}},
                 [](ConvergeTest& t) {
                     static_cast<RenameShapeTest&>(t).Rename("/docs/x.json", "/archive/2023/moved x.json");
                 },
                 {{"/docs", kDir}, {"/archive", kDir}, {"/archive/2023", kDir},
                  {"/archive/2023/moved x.json", "{}"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Letter case -----------------------------------------------------------------------------------

struct CaseRow;
class LetterCaseTest;

struct CaseRow {
    const char* name;
    Tree start;
    std::function<void(StandInTree&)> cloud; // what another device (or a crafted reply) does
    Tree end;                                // the mirror, and the cloud's usable items but `held`
    std::set<std::string> held;              // local names that differ only in case from a synced one
    std::function<void(LetterCaseTest&)> local = nullptr; // what the user does in the mirror
};

void PrintTo(const CaseRow& row, std::ostream* out) {
    *out << row.name;
}

class LetterCaseTest : public ConvergeTest, public ::testing::WithParamInterface<CaseRow> {
public:
    using ConvergeTest::Rename;
    using ConvergeTest::Write;
    void Remove(const std::string& path) { ASSERT_TRUE(QFile::remove(Local(path))) << path; }
    // Shown held back: status 4 with the error of a name the service holds in another case.
    bool HeldBack(const std::string& path) {
        FileInfo info;
        return VUZeroz::GetInstance()->GetFileInfo(Local(path), info) && info.status == FILE_STATUS_ERR &&
               info.error_type == SYNC_ERROR::SameNameNode;
    }
    void WaitHeldBack(const std::string& path) {
        ASSERT_TRUE(RunUntil([&] { return HeldBack(path); })) << path;
    }
};

TEST_P(LetterCaseTest, Converges) {
    const CaseRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(row.start));
    row.cloud(api->tree());
    if (row.local) {
        ASSERT_NO_FATAL_FAILURE(row.local(*this));
    }
    Tree synced = row.end;
    for (const std::string& path : row.held)
        synced.erase(path);
    // A node left out stays in the cloud, not in the mirror; a name held back is in neither.
    const auto cloudEnd = [&] {
        Tree cloud = Cloud();
        for (auto it = cloud.begin(); it != cloud.end();)
            it = row.end.count(it->first) ? std::next(it) : cloud.erase(it);
        return cloud;
    };
    const auto heldBack = [&] {
        for (const std::string& path : row.held) {
            if (!HeldBack(path))
                return false;
        }
        return true;
    };
    EXPECT_TRUE(RunUntil([&] { return Mirror() == row.end && cloudEnd() == synced && heldBack(); }))
        << ::testing::PrintToString(Mirror()) << "\ncloud " << ::testing::PrintToString(Cloud());
    EXPECT_EQ(Mirror(), row.end);
    EXPECT_EQ(cloudEnd(), synced);
    EXPECT_TRUE(heldBack());
    EXPECT_EQ(Checking(), 0u);
    EXPECT_EQ(Trashed(), QStringList());
    // The journal follows the cloud's letter case.
    for (const auto& [path, bytes] : synced) {
        FILE_INFO journal;
        EXPECT_TRUE(QCSyncDB::GetFileInfo(QString::fromStdString(path), journal)) << path;
        EXPECT_EQ(journal.path.toStdString(), path);
    }
}

const auto kNoCloudChange = [](StandInTree&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, LetterCaseTest,
    ::testing::Values(
        CaseRow{"CloudFolderRenamedInCaseOnly",
                {{"/Docs", kDir}, {"/Docs/a.txt", "alpha"}},
                [](StandInTree& tree) { ASSERT_TRUE(tree.rename("/Docs", "docs")); },
                {{"/docs", kDir}, {"/docs/a.txt", "alpha"}},
                {}},
        CaseRow{"CloudFileRenamedInCaseOnly",
                {{"/Doc.txt", "alpha"}},
                [](StandInTree& tree) { ASSERT_TRUE(tree.rename("/Doc.txt", "doc.TXT")); },
                {{"/doc.TXT", "alpha"}},
                {}},
        CaseRow{"CloudTwinsInOneFolder",
                {{"/Docs", kDir}, {"/Docs/a.txt", "alpha"}},
                [](StandInTree& tree) {
                    // What the service never sends: a second folder of the name in another case.
                    ASSERT_FALSE(tree.addUnchecked("/", "DOCS", true).empty());
                    ASSERT_FALSE(tree.addUnchecked("/DOCS", "a.txt", false).empty());
                    ASSERT_FALSE(tree.addUnchecked("/DOCS", "b.txt", false).empty());
                },
                {{"/Docs", kDir}, {"/Docs/a.txt", "alpha"}},
                {}},
        CaseRow{"LocalTwinOfASyncedFile",
                {{"/Doc.txt", "alpha"}},
                kNoCloudChange,
                {{"/Doc.txt", "alpha"}, {"/doc.txt", "beta"}},
                {"/doc.txt"},
                [](LetterCaseTest& t) { t.Write("/doc.txt", "beta"); }},
        CaseRow{"LocalTwinOfASyncedFolder",
                {{"/Docs", kDir}, {"/Docs/a.txt", "alpha"}},
                kNoCloudChange,
                {{"/Docs", kDir}, {"/Docs/a.txt", "alpha"}, {"/docs", kDir}, {"/docs/a.txt", "other"},
                 {"/docs/b.txt", "bee"}},
                {"/docs", "/docs/a.txt", "/docs/b.txt"},
                [](LetterCaseTest& t) {
                    t.Write("/docs/a.txt", "other");
                    t.Write("/docs/b.txt", "bee");
                }},
        CaseRow{"LocalTwinSyncsOnceRenamed",
                {{"/Doc.txt", "alpha"}},
                kNoCloudChange,
                {{"/Doc.txt", "alpha"}, {"/notes.txt", "beta"}},
                {},
                [](LetterCaseTest& t) {
                    t.Write("/doc.txt", "beta");
                    ASSERT_NO_FATAL_FAILURE(t.WaitHeldBack("/doc.txt"));
                    t.Rename("/doc.txt", "/notes.txt");
                }},
        CaseRow{"LocalTwinSyncsOnceTheOtherIsDeleted",
                {{"/Doc.txt", "alpha"}},
                kNoCloudChange,
                {{"/doc.txt", "beta"}},
                {},
                [](LetterCaseTest& t) {
                    t.Write("/doc.txt", "beta");
                    ASSERT_NO_FATAL_FAILURE(t.WaitHeldBack("/doc.txt"));
                    t.Remove("/Doc.txt");
                }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- A folder deleted here while another device changes it ----------------------------------------

struct RaceRow {
    const char* name;
    std::function<void(StandInTree&)> elsewhere; // what another device does before the deletion
    Tree end;
};

void PrintTo(const RaceRow& row, std::ostream* out) {
    *out << row.name;
}

class FolderDeleteRaceTest : public ConvergeTest, public ::testing::WithParamInterface<RaceRow> {};

TEST_P(FolderDeleteRaceTest, KeepsWhatThisDeviceNeverSaw) {
    ASSERT_NO_FATAL_FAILURE(
        Start({{"/F", kDir}, {"/F/a.txt", "alpha"}, {"/F/sub", kDir}, {"/F/sub/b.txt", "beta"}}));
    GetParam().elsewhere(api->tree());
    ASSERT_TRUE(QDir(Local("/F")).removeRecursively());
    ExpectConverged(GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(
    Races, FolderDeleteRaceTest,
    ::testing::Values(
        RaceRow{"NothingNew", [](StandInTree&) {}, {}},
        RaceRow{"AFileInASubfolder", [](StandInTree& tree) { tree.addFileBytes("/F/sub/new.txt", "new"); },
                {{"/F", kDir}, {"/F/sub", kDir}, {"/F/sub/new.txt", "new"}}},
        RaceRow{"AnEmptyFolder", [](StandInTree& tree) { tree.addFolder("/F/made"); },
                {{"/F", kDir}, {"/F/made", kDir}}},
        RaceRow{"AFileInANewFolder",
                [](StandInTree& tree) {
                    tree.addFolder("/F/new");
                    tree.addFileBytes("/F/new/x.txt", "x");
                },
                {{"/F", kDir}, {"/F/new", kDir}, {"/F/new/x.txt", "x"}}},
        RaceRow{"AnEditedFile",
                [](StandInTree& tree) { tree.editFileBytes("/F/a.txt", "edited", kStandInTime + 60); },
                {{"/F", kDir}, {"/F/a.txt", "edited"}}}));

// The user deletes a subfolder, then its folder while the subfolder's check of the cloud runs:
// the end is the one of a single deletion of the folder.
TEST_F(ConvergeTest, AFolderDeletedWhileItsSubfolderIsCheckedEndsAsOneDeletion) {
    ASSERT_NO_FATAL_FAILURE(
        Start({{"/F", kDir}, {"/F/a.txt", "alpha"}, {"/F/sub", kDir}, {"/F/sub/b.txt", "beta"}}));
    api->tree().addFileBytes("/F/sub/new.txt", "new");
    std::atomic<bool> held{false};
    api->setScript("Incr.getIncrGlobal", [&](const RecordedRequest& request) {
        if (debugLines->waitFor(QStringLiteral("[req] delete /F/sub: what the cloud holds"), 0) &&
            !held.exchange(true)) {
            QDir(Local("/F")).removeRecursively();
            EXPECT_TRUE(debugLines->waitFor(QStringLiteral("[Cache] Delete: ") + Local("/F/a.txt"), 30000));
        }
        return api->tree().Answer(request);
    });
    ASSERT_TRUE(QDir(Local("/F/sub")).removeRecursively());
    ExpectConverged({{"/F", kDir}, {"/F/sub", kDir}, {"/F/sub/new.txt", "new"}});
    EXPECT_TRUE(held);
}

// A folder deleted and made again at once: the cloud's folder stays, without what it held.
TEST_F(ConvergeTest, AFolderDeletedAndMadeAgainLosesWhatItHeld) {
    ASSERT_NO_FATAL_FAILURE(Start({{"/F", kDir}, {"/F/a.txt", "alpha"}, {"/F/sub", kDir}}));
    ASSERT_TRUE(QDir(Local("/F")).removeRecursively());
    ASSERT_TRUE(QDir().mkpath(Local("/F")));
    ExpectConverged({{"/F", kDir}});
}

// A folder deleted and another renamed to its name: the cloud ends with the other one.
TEST_F(ConvergeTest, AFolderDeletedAndAnotherRenamedToItsNameEndsWithTheOther) {
    ASSERT_NO_FATAL_FAILURE(
        Start({{"/F", kDir}, {"/F/a.txt", "alpha"}, {"/G", kDir}, {"/G/a.txt", "gamma"}, {"/G/b.txt", "beta"}}));
    ASSERT_TRUE(QDir(Local("/F")).removeRecursively());
    Rename("/G", "/F");
    ExpectConverged({{"/F", kDir}, {"/F/a.txt", "gamma"}, {"/F/b.txt", "beta"}});
}

// The stand-in keeps names unique within a folder whatever their case, as the service does.
TEST(StandInNames, AreUniqueRegardlessOfCase) {
    StandInTree tree;
    ASSERT_FALSE(tree.addFolder("/Docs").empty());
    EXPECT_TRUE(tree.addFolder("/docs").empty());
    EXPECT_TRUE(tree.addFile("/DOCS", 1, "h").empty());
    ASSERT_FALSE(tree.addFolder("/other").empty());
    ASSERT_FALSE(tree.addFile("/other/docs", 1, "h").empty());
    EXPECT_FALSE(tree.rename("/other", "DOCS"));
    EXPECT_FALSE(tree.move("/other/docs", "/"));
    EXPECT_TRUE(tree.rename("/Docs", "docs")); // the case of its own name
    EXPECT_TRUE(tree.node("/DoCs"));
    EXPECT_EQ(tree.node("/DoCs")->name, "docs");
}

} // namespace
