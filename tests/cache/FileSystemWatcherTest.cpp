// The mirror folder watcher against a real folder: what each kind of change reports, the rescan
// after lost events, the watch limit, and a prompt stop.

#include "cache/QCFileSystemWatcher.h"
#include "common/QCClock.h"
#include "support/FakeWatcherHost.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <cstdio>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

void Write(const QString& path, const QByteArray& bytes = "x", bool append = false) {
    QFile file(path);
    ASSERT_TRUE(file.open(append ? QIODevice::Append : QIODevice::WriteOnly)) << qPrintable(path);
    ASSERT_EQ(file.write(bytes), bytes.size());
}

void Move(const QString& from, const QString& to) {
    ASSERT_EQ(std::rename(qPrintable(from), qPrintable(to)), 0)
        << qPrintable(from) << ": " << strerror(errno);
}

// Makes each path below `root`; a trailing "/" makes a folder.
void Make(const QString& root, const std::vector<const char*>& paths) {
    for (const char* path : paths) {
        const QString full = root + QLatin1Char('/') + QString::fromUtf8(path);
        ASSERT_TRUE(QDir().mkpath(full.endsWith(QLatin1Char('/')) ? full : QFileInfo(full).path()));
        if (!full.endsWith(QLatin1Char('/')))
            Write(full);
    }
}

class WatcherFixture {
protected:
    WatcherFixture()
        : root(dir.path() + QStringLiteral("/mirror")), outside(dir.path() + QStringLiteral("/outside")),
          host(root) {
        QDir().mkpath(root);
        QDir().mkpath(outside);
    }

    void StartWatching() {
        ASSERT_TRUE(watcher.addWatchPath(root));
        ASSERT_TRUE(watcher.WaitWatching(10000));
    }

    // Every report before a last file made now has been read once that file's is: the reports
    // without it, a write of a file just made folded into its add, repeats dropped, sorted.
    QStringList Settled() {
        Write(root + QStringLiteral("/zz-end"));
        EXPECT_TRUE(host.WaitLine(QStringLiteral("A zz-end")))
            << qPrintable(host.Lines().join(QStringLiteral(", ")));
        QStringList lines;
        const QStringList all = host.Lines();
        for (const QString& line : all) {
            const bool madeHere =
                line.startsWith(QStringLiteral("M ")) && all.contains(QStringLiteral("A ") + line.mid(2));
            if (!line.contains(QStringLiteral("zz-end")) && !madeHere && !lines.contains(line))
                lines << line;
        }
        lines.sort();
        return lines;
    }

    QTemporaryDir dir;
    const QString root;
    const QString outside;
    FakeWatcherHost host;
    QCFileSystemWatcher watcher{host};
};

struct ChangeCase {
    const char* name;
    std::vector<const char*> before; // below the mirror, before the watch starts
    void (*act)(const QString& root, const QString& outside);
    std::vector<const char*> expected;
};

class WatcherChangeTest : public WatcherFixture, public ::testing::TestWithParam<ChangeCase> {};

TEST_P(WatcherChangeTest, ReportsTheChange) {
    const ChangeCase& c = GetParam();
    Make(root, c.before);
    StartWatching();
    c.act(root, outside);
    QStringList expected;
    for (const char* line : c.expected)
        expected << QString::fromUtf8(line);
    expected.sort();
    EXPECT_EQ(Settled(), expected);
}

const ChangeCase kChanges[] = {
    {"CreateFile",
     {},
     [](const QString& r, const QString&) { Write(r + QStringLiteral("/a.txt")); },
     {"A a.txt"}},
    {"DeleteFile",
     {"a.txt"},
     [](const QString& r, const QString&) { QFile::remove(r + QStringLiteral("/a.txt")); },
     {"D a.txt"}},
    {"ModifyFile",
     {"a.txt"},
     [](const QString& r, const QString&) { Write(r + QStringLiteral("/a.txt"), "more", true); },
     {"M a.txt"}},
    {"ModifyDeepFile",
     {"d/e/x.txt"},
     [](const QString& r, const QString&) { Write(r + QStringLiteral("/d/e/x.txt"), "y", true); },
     {"M d/e/x.txt"}},
    {"RenameFile",
     {"a.txt"},
     [](const QString& r, const QString&) {
         Move(r + QStringLiteral("/a.txt"), r + QStringLiteral("/b.txt"));
     },
     {"R b.txt<a.txt"}},
    {"MoveFileToFolder",
     {"d/x.txt", "e/"},
     [](const QString& r, const QString&) {
         Move(r + QStringLiteral("/d/x.txt"), r + QStringLiteral("/e/x.txt"));
     },
     {"R e/x.txt<d/x.txt"}},
    {"CreateFolder",
     {},
     [](const QString& r, const QString&) { QDir().mkdir(r + QStringLiteral("/d")); },
     {"A d"}},
    {"DeleteFolder",
     {"d/"},
     [](const QString& r, const QString&) { QDir().rmdir(r + QStringLiteral("/d")); },
     {"D d"}},
    {"DeleteTree",
     {"d/e/x.txt"},
     [](const QString& r, const QString&) { QDir(r + QStringLiteral("/d")).removeRecursively(); },
     {"D d", "D d/e", "D d/e/x.txt"}},
    // The folder's watches follow it: a write below its new name is reported there.
    {"RenameFolder",
     {"d/x.txt"},
     [](const QString& r, const QString&) {
         Move(r + QStringLiteral("/d"), r + QStringLiteral("/e"));
         Write(r + QStringLiteral("/e/x.txt"), "y", true);
     },
     {"R e<d", "M e/x.txt"}},
    {"NestedNewFolder",
     {},
     [](const QString& r, const QString&) {
         QDir().mkpath(r + QStringLiteral("/n/a/b"));
         Write(r + QStringLiteral("/n/a/1.txt"));
         Write(r + QStringLiteral("/n/a/b/2.txt"));
         Write(r + QStringLiteral("/n/3.txt"));
     },
     {"A n", "A n/a", "A n/a/b", "A n/a/1.txt", "A n/a/b/2.txt", "A n/3.txt"}},
    // Out of the mirror is a delete, and what happens to it there is not reported.
    {"MoveOut",
     {"d/x.txt"},
     [](const QString& r, const QString& o) {
         Move(r + QStringLiteral("/d"), o + QStringLiteral("/d"));
         Write(o + QStringLiteral("/d/y.txt"));
     },
     {"D d"}},
    {"MoveIn",
     {},
     [](const QString& r, const QString& o) {
         Make(o, {"m/z.txt", "m/s/t.txt"});
         Move(o + QStringLiteral("/m"), r + QStringLiteral("/m"));
         Write(r + QStringLiteral("/m/s/w.txt"));
     },
     {"A m", "A m/s", "A m/s/t.txt", "A m/z.txt", "A m/s/w.txt"}},
    {"PrivateFolder",
     {".Nimbocache/"},
     [](const QString& r, const QString&) {
         QDir().mkpath(r + QStringLiteral("/.Nimbocache/blocks"));
         Write(r + QStringLiteral("/.Nimbocache/blocks/b1"));
     },
     {}},
    // Hidden names are synced like any other.
    {"HiddenEntries",
     {".hd/"},
     [](const QString& r, const QString&) {
         Write(r + QStringLiteral("/.h.txt"));
         Write(r + QStringLiteral("/.hd/x.txt"));
     },
     {"A .h.txt", "A .hd/x.txt"}},
    {"VisibleToHidden",
     {"a.txt"},
     [](const QString& r, const QString&) {
         Move(r + QStringLiteral("/a.txt"), r + QStringLiteral("/.a.txt"));
     },
     {"R .a.txt<a.txt"}},
    {"HiddenToVisible",
     {".b/c.txt"},
     [](const QString& r, const QString&) { Move(r + QStringLiteral("/.b"), r + QStringLiteral("/b")); },
     {"R b<.b"}},
    // Links are never reported, nor followed: what is written through one lies outside.
    {"Links",
     {},
     [](const QString& r, const QString& o) {
         Make(o, {"t/x.txt"});
         ASSERT_EQ(::symlink(qPrintable(o + QStringLiteral("/t")), qPrintable(r + QStringLiteral("/l"))), 0);
         ASSERT_EQ(
             ::symlink(qPrintable(o + QStringLiteral("/t/x.txt")), qPrintable(r + QStringLiteral("/f"))), 0);
         Write(r + QStringLiteral("/l/y.txt"));
         Write(r + QStringLiteral("/f"), "more", true);
     },
     {}},
};

INSTANTIATE_TEST_SUITE_P(Watcher, WatcherChangeTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

class WatcherTest : public WatcherFixture, public ::testing::Test {
protected:
    void TearDown() override {
        watcher.clearAll();
        QCClock::UseSystemForTests();
    }
};

// Lost events: the rescan finds the 50 files made meanwhile and what changed against the host (a
// link is nothing on the disk's side).
TEST_F(WatcherTest, OverflowRescansAgainstWhatTheHostKnows) {
    Make(root, {"keep.txt", "changed.txt"});
    const QFileInfo keep(root + QStringLiteral("/keep.txt"));
    host.Know(QStringLiteral("keep.txt"), false, quint64(keep.size()),
              quint32(keep.lastModified().toSecsSinceEpoch()));
    host.Know(QStringLiteral("changed.txt"), false, 7, 1);
    host.Know(QStringLiteral("gone.txt"), false, 1, 1);
    host.Know(QStringLiteral("gonedir"), true, 0, 1);
    host.Know(QStringLiteral("gonedir/x.txt"), false, 1, 1);
    host.Know(QStringLiteral(".hidden.txt"), false, 1, 1);
    host.Know(QStringLiteral(".Nimbocache/x"), false, 1, 1); // never on the disk's side either: no delete
    ASSERT_EQ(::symlink(qPrintable(outside), qPrintable(root + QStringLiteral("/link"))), 0);
    StartWatching();
    for (int i = 0; i < 50; ++i)
        Write(root + QString::asprintf("/f%02d.txt", i));
    watcher.SimulateOverflowForTests();

    ASSERT_TRUE(host.WaitFor(
        [](const QStringList& lines) { return lines.contains(QStringLiteral("A f49.txt")); }, 10000, true))
        << qPrintable(host.Lines().join(QStringLiteral(", ")));
    const QStringList rescan = host.LinesSinceRescan();
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(rescan.contains(QString::asprintf("A f%02d.txt", i))) << i;
    EXPECT_TRUE(rescan.contains(QStringLiteral("M changed.txt")));
    EXPECT_TRUE(rescan.contains(QStringLiteral("D gone.txt")));
    EXPECT_TRUE(rescan.contains(QStringLiteral("D gonedir")));
    EXPECT_TRUE(rescan.contains(QStringLiteral("D .hidden.txt")));
    EXPECT_EQ(rescan.size(), 54) << qPrintable(
        rescan.join(QStringLiteral(", "))); // nothing else: keep.txt is unchanged
}

// An excluded folder (any letter case) is neither reported nor rescanned; once taken off the list,
// the next rescan finds what it holds.
TEST_F(WatcherTest, AnExcludedFolderStaysQuiet) {
    Make(root, {"ex/old.txt"});
    host.Know(QStringLiteral("ex/gone.txt"), false, 1, 1);
    watcher.addExcludePath(root + QStringLiteral("/EX"));
    watcher.addExcludePath(root + QStringLiteral("/ex"));
    StartWatching();
    Write(root + QStringLiteral("/ex/new.txt"));
    Write(root + QStringLiteral("/in.txt"));
    watcher.SimulateOverflowForTests();
    EXPECT_EQ(Settled(), (QStringList{QStringLiteral("A in.txt")}));
    watcher.removeExcludePath(root + QStringLiteral("/Ex"));
    watcher.removeWatchPath(root + QStringLiteral("/ex")); // not the watched folder: nothing stops
    watcher.SimulateOverflowForTests();
    EXPECT_TRUE(host.WaitLine(QStringLiteral("A ex/new.txt")));
    EXPECT_TRUE(host.LinesSinceRescan().contains(QStringLiteral("D ex/gone.txt")));
    watcher.removeWatchPath(root.toUpper());
    EXPECT_FALSE(watcher.IsRunning());
}

// At the watch limit the folder is not watched, and rescanned and watched when its retry is due.
TEST_F(WatcherTest, WatchLimitRescansLater) {
    QCClock::UseManualForTests();
    Make(root, {"d/"});
    watcher.SetWatchLimitForTests(1);
    StartWatching();
    EXPECT_EQ(watcher.WatchCount(), 1);
    Write(root + QStringLiteral("/d/x.txt"));
    EXPECT_FALSE(Settled().contains(QStringLiteral("A d/x.txt")));

    watcher.SetWatchLimitForTests(-1);
    QCClock::AdvanceForTests(QCFileSystemWatcher::kRetryMs);
    ASSERT_TRUE(host.WaitLine(QStringLiteral("A d/x.txt")))
        << qPrintable(host.Lines().join(QStringLiteral(", ")));
    EXPECT_EQ(watcher.WatchCount(), 2);
    Write(root + QStringLiteral("/d/y.txt"));
    EXPECT_TRUE(host.WaitLine(QStringLiteral("A d/y.txt")));
}

// A mirror that appears after the start is watched and rescanned once its retry is due.
TEST_F(WatcherTest, MissingRootIsWatchedWhenItAppears) {
    QCClock::UseManualForTests();
    ASSERT_TRUE(QDir(root).removeRecursively());
    StartWatching();
    EXPECT_EQ(watcher.WatchCount(), 0);
    Make(root, {"late.txt"});
    QCClock::AdvanceForTests(QCFileSystemWatcher::kRetryMs);
    ASSERT_TRUE(host.WaitLine(QStringLiteral("A late.txt")))
        << qPrintable(host.Lines().join(QStringLiteral(", ")));
    Write(root + QStringLiteral("/later.txt"));
    EXPECT_TRUE(host.WaitLine(QStringLiteral("A later.txt")));
}

// The mirror moved away: what it held is reported missing; back again, only what changed meanwhile.
TEST_F(WatcherTest, MirrorMovedAwayAndBack) {
    QCClock::UseManualForTests();
    Make(root, {"a.txt", "d/x.txt"});
    for (const QString& name : {QStringLiteral("a.txt"), QStringLiteral("d"), QStringLiteral("d/x.txt")}) {
        const QFileInfo item(root + QLatin1Char('/') + name);
        host.Know(name, item.isDir(), item.isDir() ? 0 : quint64(item.size()),
                  quint32(item.lastModified().toSecsSinceEpoch()));
    }
    StartWatching();
    const QString away = outside + QStringLiteral("/away");
    Move(root, away);
    ASSERT_TRUE(host.WaitFor([](const QStringList& lines) { return lines.size() == 2; }, 10000, true))
        << qPrintable(host.Lines().join(QStringLiteral(", ")));
    EXPECT_EQ(host.LinesSinceRescan(), (QStringList{QStringLiteral("D a.txt"), QStringLiteral("D d")}));
    EXPECT_EQ(watcher.WatchCount(), 0);

    Write(away + QStringLiteral("/n.txt"));
    Move(away, root);
    QCClock::AdvanceForTests(QCFileSystemWatcher::kRetryMs);
    ASSERT_TRUE(host.WaitLine(QStringLiteral("A n.txt")))
        << qPrintable(host.Lines().join(QStringLiteral(", ")));
    EXPECT_EQ(host.LinesSinceRescan().size(), 3) << qPrintable(host.Lines().join(QStringLiteral(", ")));
    EXPECT_EQ(watcher.WatchCount(), 2);
}

TEST_F(WatcherTest, StopsPromptly) {
    Make(root, {"a/b/", "c/"});
    StartWatching();
    EXPECT_EQ(watcher.WatchCount(), 4);
    const auto started = std::chrono::steady_clock::now();
    watcher.clearAll();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    // Without its wake-up the watcher's thread would sit in poll with nothing due, for good.
    EXPECT_LT(ms, 10000);
    EXPECT_FALSE(watcher.IsRunning());
    EXPECT_EQ(watcher.WatchCount(), 0);
    EXPECT_TRUE(watcher.addWatchPath(root)); // and starts again
    EXPECT_TRUE(watcher.WaitWatching(10000));
    Write(root + QStringLiteral("/c/n.txt"));
    EXPECT_TRUE(host.WaitLine(QStringLiteral("A c/n.txt")));
}

// The mirror goes away without the user deleting anything: another folder takes its place, or its
// disk is unmounted. The empty folder the path shows then is not the mirror: nothing is reported
// missing. The swapped-out mirror, put back, is watched again.
class MirrorGoneTest : public WatcherTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MirrorGoneTest, ReportsNothingMissing) {
    const bool unmount = GetParam();
    QCClock::UseManualForTests();
    if (unmount && ::mount("tmpfs", qPrintable(root), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "a tmpfs cannot be mounted here: " << strerror(errno);
    const std::shared_ptr<void> unmountAtEnd(nullptr, [&](void*) { ::umount2(qPrintable(root), MNT_DETACH); });
    Make(root, {"a.txt", "d/x.txt"});
    for (const char* name : {"a.txt", "d", "d/x.txt"})
        host.Know(QLatin1String(name), !QFileInfo(root + QLatin1Char('/') + QLatin1String(name)).isFile(), 1, 1);
    StartWatching();
    const QString other = outside + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    const auto swap = [&] {
        return ::renameat2(AT_FDCWD, qPrintable(root), AT_FDCWD, qPrintable(other), RENAME_EXCHANGE) == 0;
    };
    ASSERT_TRUE(unmount ? ::umount2(qPrintable(root), MNT_DETACH) == 0 : swap()) << strerror(errno);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (watcher.RootLosses() == 0 && std::chrono::steady_clock::now() < deadline)
        host.WaitFor([](const QStringList&) { return false; }, 10);
    ASSERT_EQ(watcher.RootLosses(), 1);
    EXPECT_EQ(host.Lines(), QStringList());
    EXPECT_EQ(watcher.WatchCount(), 0);
    if (unmount)
        return;
    ASSERT_TRUE(swap());
    QCClock::AdvanceForTests(QCFileSystemWatcher::kRetryMs);
    Write(root + QStringLiteral("/d/back.txt")); // before or after the new watch: the rescan or its event
    ASSERT_TRUE(host.WaitLine(QStringLiteral("A d/back.txt"))) << qPrintable(host.Lines().join(QStringLiteral(", ")));
    EXPECT_EQ(host.Lines().filter(QRegularExpression(QStringLiteral("^[DR] "))), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Ways, MirrorGoneTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? "Unmounted" : "AnotherFolderInItsPlace");
});

} // namespace
