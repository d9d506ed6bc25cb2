// Safe paths: every operation resolved from the sync folder refuses to pass a symbolic link, and
// what lies outside stays as it was.
#include "common/SafePath.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include <fcntl.h>
#include <unistd.h>

namespace {

void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Every entry below `folder` with its bytes (folders and links by a marker).
std::map<QString, QByteArray> Tree(const QString& folder) {
    std::map<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        tree[path.mid(folder.size())] = it.fileInfo().isSymLink()        ? QByteArray("link")
                                        : it.fileInfo().isDir()          ? QByteArray("dir")
                                        : file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                         : QByteArray("?");
    }
    return tree;
}

QString P(const QString& root, const char* rest) {
    return root + QString::fromUtf8(rest);
}

bool Opens(const QString& root, const char* rest, int flags) {
    const int fd = SafePath::Open(root, P(root, rest), flags, 0600);
    return fd >= 0 && ::close(fd) == 0;
}

struct Refusal {
    const char* name;
    std::function<bool(const QString& root)> act; // true: the operation did something
};

// "dl" is a link to the outside folder holding x.txt, "fl" a link to the outside file.
const Refusal kRefusals[] = {
    {"StatBehindALink", [](const QString& r) { return SafePath::Stat(r, P(r, "/dl/x.txt")).exists; }},
    {"OpenBehindALink", [](const QString& r) { return Opens(r, "/dl/x.txt", O_RDONLY); }},
    {"CreateBehindALink", [](const QString& r) { return Opens(r, "/dl/new.txt", O_WRONLY | O_CREAT); }},
    {"OpenALink", [](const QString& r) { return Opens(r, "/fl", O_WRONLY | O_TRUNC); }},
    {"MakeFoldersBehindALink",
     [](const QString& r) { return SafePath::MakeFolders(r, P(r, "/dl/sub/deep")); }},
    {"RenameOutOfALink",
     [](const QString& r) { return SafePath::Rename(r, P(r, "/dl/x.txt"), P(r, "/y.txt"), false); }},
    {"RenameIntoALink",
     [](const QString& r) { return SafePath::Rename(r, P(r, "/m.txt"), P(r, "/dl/x.txt"), true); }},
    {"RemoveBehindALink", [](const QString& r) { return SafePath::Remove(r, P(r, "/dl/x.txt")); }},
    {"RemoveTreeOfALink", [](const QString& r) { return SafePath::RemoveTree(r, P(r, "/dl")); }},
    {"SetTimesBehindALink", [](const QString& r) { return SafePath::SetTimes(r, P(r, "/dl/x.txt"), 1, 1); }},
    {"EmptyFolderBehindALink", [](const QString& r) { return SafePath::IsEmptyFolder(r, P(r, "/dl/sub")); }},
    {"DotDotClimbsOut", [](const QString& r) { return SafePath::Stat(r, P(r, "/../outside/x.txt")).exists; }},
    {"NotBelowTheRoot", [](const QString& r) { return SafePath::Stat(r, P(r, "x/a")).exists; }},
};

class SafePathTest : public ::testing::TestWithParam<Refusal> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path() + QStringLiteral("/mirror");
        outside = dir.path() + QStringLiteral("/outside");
        ASSERT_TRUE(QDir().mkpath(root) && QDir().mkpath(outside + QStringLiteral("/sub")));
        Write(outside + QStringLiteral("/x.txt"), "outside bytes");
        Write(root + QStringLiteral("/m.txt"), "mine");
        ASSERT_EQ(::symlink(qPrintable(outside), qPrintable(root + QStringLiteral("/dl"))), 0);
        ASSERT_EQ(::symlink(qPrintable(outside + QStringLiteral("/x.txt")),
                            qPrintable(root + QStringLiteral("/fl"))),
                  0);
    }
    QTemporaryDir dir;
    QString root;
    QString outside;
};

TEST_P(SafePathTest, RefusesToPassALink) {
    const auto before = Tree(outside);
    EXPECT_FALSE(GetParam().act(root));
    EXPECT_EQ(Tree(outside), before);
    EXPECT_TRUE(SafePath::Stat(root, root + QStringLiteral("/dl")).is_link);
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/m.txt")));
}

INSTANTIATE_TEST_SUITE_P(Ops, SafePathTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// What lies below the root is made, renamed, listed and removed; links in a removed tree go as
// links; a same-second, same-size save by rename is told apart from what was seen.
TEST_F(SafePathTest, ActsOnWhatIsItsOwn) {
    const auto before = Tree(outside);
    ASSERT_TRUE(SafePath::MakeFolders(root, root + QStringLiteral("/t/a/b")));
    Write(root + QStringLiteral("/t/a/b/f.txt"), "12345");
    ASSERT_EQ(::symlink(qPrintable(outside), qPrintable(root + QStringLiteral("/t/a/out"))), 0);
    QStringList files;
    SafePath::ListFiles(root, root, files);
    EXPECT_EQ(files, QStringList({root + QStringLiteral("/m.txt"), root + QStringLiteral("/t/a/b/f.txt")}));

    const LocalStat seen = SafePath::Stat(root, root + QStringLiteral("/t/a/b/f.txt"));
    EXPECT_TRUE(seen.is_file && seen.size == 5);
    Write(root + QStringLiteral("/t/a/b/g.txt"), "54321");
    ASSERT_TRUE(SafePath::SetTimes(root, root + QStringLiteral("/t/a/b/g.txt"), seen.Mtime(), seen.Mtime()));
    ASSERT_TRUE(SafePath::Rename(root, root + QStringLiteral("/t/a/b/g.txt"),
                                 root + QStringLiteral("/t/a/b/f.txt"), true));
    const LocalStat now = SafePath::Stat(root, root + QStringLiteral("/t/a/b/f.txt"));
    EXPECT_EQ(now.size, seen.size);
    EXPECT_EQ(now.Mtime(), seen.Mtime());
    EXPECT_NE(now, seen);

    std::vector<std::pair<QString, bool>> synced;
    SafePath::SetSyncHookForTests(
        [&synced](const QString& path, bool folder) { synced.emplace_back(path, folder); });
    EXPECT_TRUE(SafePath::SyncFile(root, root + QStringLiteral("/m.txt")));
    EXPECT_TRUE(SafePath::SyncFolder(root, root + QStringLiteral("/t")));
    EXPECT_FALSE(SafePath::SyncFile(root, root + QStringLiteral("/fl")));
    SafePath::SetSyncHookForTests(nullptr);
    EXPECT_EQ(synced, (std::vector<std::pair<QString, bool>>{{root + QStringLiteral("/m.txt"), false},
                                                             {root + QStringLiteral("/t"), true}}));

    EXPECT_FALSE(SafePath::Rename(root, root + QStringLiteral("/m.txt"),
                                  root + QStringLiteral("/t/a/b/f.txt"), false));
    EXPECT_TRUE(SafePath::RemoveTree(root, root + QStringLiteral("/t")));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/t")));
    EXPECT_EQ(Tree(outside), before);
}

} // namespace
