#include "common/LocalScan.h"
#include "common/SafePath.h"

#include "support/ByteNames.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

class LocalScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_root = m_dir.path();
    }

    void MakeDir(const char* rel) { ASSERT_TRUE(QDir(m_root).mkpath(S(rel))) << rel; }
    void MakeFile(const char* rel, const QByteArray& content = QByteArray()) {
        QFile file(m_root + QLatin1Char('/') + S(rel));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << rel << ": " << file.errorString().toStdString();
        ASSERT_EQ(file.write(content), content.size());
    }
    void MakeLink(const QString& target, const char* rel) {
        const QString link = m_root + QLatin1Char('/') + S(rel);
        ASSERT_EQ(symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0)
            << rel << ": " << strerror(errno);
    }
    std::map<QString, FILE_INFO> ScanMap(bool fullPath = false, QStringList* unreadable = nullptr) {
        std::map<QString, FILE_INFO> map;
        BuildLocalFileMap(map, m_root, m_root, fullPath, nullptr, unreadable);
        return map;
    }
    static QStringList Keys(const std::map<QString, FILE_INFO>& map) {
        QStringList keys;
        for (const auto& entry : map)
            keys << entry.first;
        return keys;
    }

    QTemporaryDir m_dir;
    QString m_root;
};

TEST_F(LocalScanTest, MapHasLowerCaseKeysOriginalPathsKeepsHiddenAndSkipsCache) {
    MakeDir("Docs/Sub");
    MakeFile("Docs/A.txt", "hello");
    MakeFile("Docs/Sub/Deep.BIN", "x");
    MakeFile("README.md");
    MakeFile("报告.txt");
    MakeFile(".hidden");
    MakeDir(".Nimbocache/blocks");
    MakeFile(".Nimbocache/blocks/1");

    const std::map<QString, FILE_INFO> map = ScanMap();
    EXPECT_EQ(Keys(map), QStringList({S("/.hidden"), S("/docs"), S("/docs/a.txt"), S("/docs/sub"),
                                      S("/docs/sub/deep.bin"), S("/readme.md"), S("/报告.txt")}));
    EXPECT_EQ(map.at(S("/.hidden")).attrs, FILE_ATTR_HIDDEN);
    const FILE_INFO& a = map.at(S("/docs/a.txt"));
    EXPECT_EQ(a.path, S("/Docs/A.txt"));
    EXPECT_EQ(a.name, S("A.txt"));
    EXPECT_EQ(a.size, 5u);
    EXPECT_FALSE(a.is_dir);
    EXPECT_EQ(a.attrs, FILE_ATTR_NORMAL);
    EXPECT_GT(a.mtime, 0u);
    EXPECT_GT(a.ctime, 0u);

    const FILE_INFO& docs = map.at(S("/docs"));
    EXPECT_TRUE(docs.is_dir);
    EXPECT_EQ(docs.size, 0u); // the platform reports 4096 for a folder
    EXPECT_EQ(docs.attrs, FILE_ATTR_DIRECTORY);
}

TEST_F(LocalScanTest, ListWalkIsDepthFirstPreOrderByNameIgnoringCase) {
    MakeDir("docs");
    MakeFile("docs/b.txt");
    MakeFile("a.txt");
    MakeFile("B.txt");
    MakeFile("c.txt");

    std::list<FILE_INFO> list;
    BuildLocalFileList(list, m_root, m_root);
    QStringList paths;
    for (const FILE_INFO& info : list)
        paths << info.path;
    EXPECT_EQ(paths, QStringList({S("/a.txt"), S("/B.txt"), S("/c.txt"), S("/docs"), S("/docs/b.txt")}));
}

TEST_F(LocalScanTest, FullPathAndEmptyArguments) {
    MakeFile("f");
    const std::map<QString, FILE_INFO> full = ScanMap(true);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full.begin()->second.path, m_root + S("/f"));
    EXPECT_EQ(full.begin()->first, (m_root + S("/f")).toLower());

    std::list<FILE_INFO> list;
    BuildLocalFileList(list, m_root, QString());
    BuildLocalFileList(list, QString(), m_root);
    EXPECT_TRUE(list.empty());
    std::map<QString, FILE_INFO> map;
    BuildLocalFileMap(map, m_root + S("/missing"), m_root, false);
    EXPECT_TRUE(map.empty());
}

TEST_F(LocalScanTest, EntriesDifferingInCaseKeepTheFirstInByteOrderAndHandBackTheOthers) {
    MakeFile("a.txt", "1");
    MakeFile("A.txt", "22");
    std::map<QString, FILE_INFO> map;
    std::vector<FILE_INFO> shadowed;
    BuildLocalFileMap(map, m_root, m_root, false, &shadowed);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(S("/a.txt")).path, S("/A.txt")); // "A.txt" sorts before "a.txt"
    ASSERT_EQ(shadowed.size(), 1u);
    EXPECT_EQ(shadowed.front().path, S("/a.txt"));
}

TEST_F(LocalScanTest, SpecialFilesAndBrokenLinksAreLeftOut) {
    MakeFile("plain");
    ASSERT_EQ(mkfifo(QFile::encodeName(m_root + S("/pipe")).constData(), 0644), 0);
    MakeLink(m_root + S("/nowhere"), "broken");
    EXPECT_EQ(Keys(ScanMap()), QStringList({S("/plain")}));
}

// A link is never listed nor followed, wherever it points; a walk that must pass one to reach its
// folder lists nothing.
TEST_F(LocalScanTest, LinksAreNeitherListedNorFollowed) {
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    QFile secret(outside.path() + S("/secret.txt"));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.close();
    MakeDir("real/sub");
    MakeFile("real/x.txt", "abc");
    MakeLink(m_root + S("/real"), "alias");
    MakeLink(m_root + S("/real/x.txt"), "x-link");
    MakeLink(outside.path(), "out-dir");
    MakeLink(outside.path() + S("/secret.txt"), "out-file");
    MakeLink(m_root, "real/up");
    EXPECT_EQ(Keys(ScanMap()), QStringList({S("/real"), S("/real/sub"), S("/real/x.txt")}));
    std::list<FILE_INFO> list;
    BuildLocalFileList(list, m_root + S("/out-dir"), m_root);
    BuildLocalFileList(list, m_root + S("/alias/sub"), m_root);
    EXPECT_TRUE(list.empty());
    BuildLocalFileList(list, m_root + S("/real"), m_root);
    EXPECT_EQ(list.size(), 2u);
    FILE_INFO one;
    EXPECT_FALSE(GetLocalBaseFileInfo(m_root, m_root + S("/out-file"), &one));
    EXPECT_FALSE(GetLocalBaseFileInfo(m_root, m_root + S("/alias/x.txt"), &one));
    ASSERT_TRUE(GetLocalBaseFileInfo(m_root, m_root + S("/real/x.txt"), &one));
    EXPECT_EQ(one.size, 3u);
}

// Names that are not UTF-8 keep their bytes: two never become one, each is reached by its text,
// and a folder of such a name is listed but not entered.
TEST_F(LocalScanTest, NamesThatAreNotTextStayApartAndAreNotEntered) {
    const QByteArray root = QFile::encodeName(m_root);
    ByteNames made;
    for (const QByteArray& name :
         {QByteArray("caf\xe9.txt"), QByteArray("caf\xe8.txt"), QByteArray("caf\xc3\xa9.txt")}) {
        const int fd = ::open(made.Add(root + '/' + name).constData(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ::close(fd);
    }
    ASSERT_EQ(::mkdir(made.Add(root + "/d\xff").constData(), 0755), 0);
    const QByteArray inner = made.Add(root + "/d\xff/in.txt");
    ASSERT_EQ(::close(::open(inner.constData(), O_CREAT | O_WRONLY, 0644)), 0);

    const std::map<QString, FILE_INFO> map = ScanMap();
    QStringList bad;
    for (const auto& entry : map) {
        if (SafePath::IsUndecodable(entry.second.path))
            bad << entry.second.path;
    }
    ASSERT_EQ(map.size(), 4u); // not the folder's file
    EXPECT_EQ(map.count(QStringLiteral("/caf\u00e9.txt")), 1u);
    ASSERT_EQ(bad.size(), 3);
    EXPECT_EQ(SafePath::EncodeName(bad.join(QLatin1Char('|'))),
              QByteArray("/caf\xe8.txt|/caf\xe9.txt|/d\xff"));
    FILE_INFO one;
    EXPECT_TRUE(GetLocalBaseFileInfo(m_root, m_root + bad.first(), &one));
    EXPECT_TRUE(SafePath::Stat(m_root, m_root + bad.last()).is_dir);
    EXPECT_EQ(SafePath::DecodeName("caf\xc3\xa9"), QStringLiteral("caf\u00e9"));
    EXPECT_FALSE(SafePath::IsUndecodable(QStringLiteral("\U0001F600.txt"))); // a pair is text
}

TEST_F(LocalScanTest, BaseFileInfoOfOneItem) {
    MakeFile("one.txt", "12345678");
    FILE_INFO info;
    ASSERT_TRUE(GetLocalBaseFileInfo(m_root + S("/one.txt"), &info));
    EXPECT_EQ(info.path, m_root + S("/one.txt"));
    EXPECT_TRUE(info.name.isEmpty());
    EXPECT_EQ(info.size, 8u);
    EXPECT_EQ(info.attrs, FILE_ATTR_NORMAL);

    MakeFile(".profile");
    FILE_INFO hidden;
    ASSERT_TRUE(GetLocalBaseFileInfo(m_root + S("/.profile"), &hidden));
    EXPECT_EQ(hidden.attrs, FILE_ATTR_HIDDEN);

    FILE_INFO untouched;
    untouched.size = 77;
    EXPECT_FALSE(GetLocalBaseFileInfo(m_root + S("/missing"), &untouched));
    EXPECT_EQ(untouched.size, 77u);
    EXPECT_TRUE(untouched.path.isEmpty());
}

// Read-only bits and unlistable folders can only be seen by a user without root's override.
TEST_F(LocalScanTest, ReadOnlyItemsAndUnlistableFolders) {
    RUN_UNPRIVILEGED_IF_ROOT();
    MakeFile("ro.txt");
    MakeDir("rodir");
    MakeDir("closed");
    MakeFile("closed/inner.txt");
    MakeDir("names"); // listable, but its entries cannot be looked at
    MakeFile("names/inner.txt");
    MakeFile("z.txt");
    ASSERT_EQ(chmod(QFile::encodeName(m_root + S("/ro.txt")).constData(), 0444), 0);
    ASSERT_EQ(chmod(QFile::encodeName(m_root + S("/rodir")).constData(), 0555), 0);
    ASSERT_EQ(chmod(QFile::encodeName(m_root + S("/closed")).constData(), 0), 0);
    ASSERT_EQ(chmod(QFile::encodeName(m_root + S("/names")).constData(), 0444), 0);

    QStringList unreadable;
    const std::map<QString, FILE_INFO> map = ScanMap(false, &unreadable);
    QStringList absolute;
    ScanMap(true, &absolute);
    std::list<FILE_INFO> below;
    QStringList closedRoot;
    BuildLocalFileList(below, m_root + S("/closed"), m_root, &closedRoot);
    const LocalStat inner = SafePath::Stat(m_root, m_root + S("/closed/inner.txt"));
    EXPECT_FALSE(inner.exists);
    EXPECT_TRUE(inner.denied); // not known to be absent
    EXPECT_FALSE(SafePath::Stat(m_root, m_root + S("/missing")).denied);
    EXPECT_FALSE(SafePath::CanList(m_root, m_root + S("/closed")));
    EXPECT_FALSE(SafePath::CanList(m_root, m_root + S("/names")));
    EXPECT_TRUE(SafePath::CanList(m_root, m_root + S("/rodir")));
    for (const char* folder : {"/closed", "/names", "/rodir"}) // let clean-up in
        ASSERT_EQ(chmod(QFile::encodeName(m_root + S(folder)).constData(), 0755), 0);

    // Listed themselves, and named as unknown rather than empty.
    EXPECT_EQ(Keys(map), QStringList({S("/closed"), S("/names"), S("/ro.txt"), S("/rodir"), S("/z.txt")}));
    EXPECT_EQ(unreadable, QStringList({S("/closed"), S("/names")}));
    EXPECT_EQ(absolute, QStringList({m_root + S("/closed"), m_root + S("/names")}));
    EXPECT_TRUE(below.empty());
    EXPECT_EQ(closedRoot, QStringList{S("/closed")});
    EXPECT_EQ(map.at(S("/ro.txt")).attrs, FILE_ATTR_READONLY);
    EXPECT_EQ(map.at(S("/rodir")).attrs, FILE_ATTR_DIRECTORY | FILE_ATTR_READONLY);
    EXPECT_EQ(map.at(S("/z.txt")).attrs, FILE_ATTR_NORMAL);
}

} // namespace

namespace {

// Folders created in one batch nest: each tree is listed once, never held whole, and a path past
// the system's limit is handed back instead of being walked.
TEST_F(LocalScanTest, FolderTreesAreWalkedOnceInChunksUpToThePathLimit) {
    std::vector<QString> dirs;
    QString chain;
    for (int i = 0; i < 40; ++i) {
        chain += QStringLiteral("/d");
        dirs.push_back(m_root + chain);
        MakeDir(qPrintable(chain.mid(1)));
        MakeFile(qPrintable(chain.mid(1) + QStringLiteral("/f")));
    }
    dirs.push_back(m_root + QStringLiteral("/d/d/")); // below another one, written with a slash
    std::vector<size_t> chunks;
    QStringList paths;
    const auto sink = [&](std::vector<FILE_INFO>& chunk) {
        chunks.push_back(chunk.size());
        for (const FILE_INFO& info : chunk)
            paths << info.path;
    };
    ScanFolderTrees(dirs, m_root, 7, sink, nullptr);
    EXPECT_EQ(paths.size(), 79) << "39 folders and 40 files below the first folder, each once";
    EXPECT_EQ(*std::max_element(chunks.begin(), chunks.end()), 7u);
    EXPECT_EQ(paths.first(), QStringLiteral("/d/d"));

    // 25 names of 200 bytes, beyond PATH_MAX: made by descriptor, as no path reaches them.
    const QByteArray name(200, 'n');
    int fd = ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 25 && fd >= 0; ++i) {
        const int next = ::mkdirat(fd, name.constData(), 0700) == 0 ? ::openat(fd, name.constData(), O_RDONLY) : -1;
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0) << strerror(errno);
    ::close(fd);
    const QString top = m_root + QLatin1Char('/') + QString::fromLatin1(name);
    QStringList tooLong;
    paths.clear();
    ScanFolderTrees({top}, m_root, 100, sink, &tooLong);
    ASSERT_EQ(tooLong.size(), 1);
    const int length = QFile::encodeName(tooLong.first()).size();
    EXPECT_TRUE(length >= PATH_MAX && length < PATH_MAX + 201) << length;
    EXPECT_EQ(paths.size(), (length - m_root.size()) / 201 - 2) << "every level above it";
    EXPECT_TRUE(SafePath::RemoveTree(m_root, top));
}

} // namespace
