#include "common/PathUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

void Touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly))
        << path.toStdString() << ": " << file.errorString().toStdString();
}

// IsSubPath ------------------------------------------------------------------------------------

struct SubPathCase {
    const char* label;
    const char* parent;
    const char* path;
    bool allow_prefix;
    bool expected;
};

void PrintTo(const SubPathCase& c, std::ostream* os) {
    *os << c.label;
}

class IsSubPathTest : public ::testing::TestWithParam<SubPathCase> {};

TEST_P(IsSubPathTest, Decides) {
    const SubPathCase& c = GetParam();
    EXPECT_EQ(IsSubPath(S(c.parent), S(c.path), c.allow_prefix), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, IsSubPathTest,
                         ::testing::Values(SubPathCase{"SameAfterTrailingSlash", "/a", "/a/", false, true},
                                           SubPathCase{"ChildBelow", "/a", "/a/b", false, true},
                                           SubPathCase{"PlainPrefixIsNotBelow", "/a", "/ab", false, false},
                                           SubPathCase{"PlainPrefixWithAllowPrefix", "/a", "/ab", true, true},
                                           SubPathCase{"RootContainsAll", "/", "/x", false, true},
                                           SubPathCase{"IgnoresCase", "/a", "/A/b", false, true},
                                           SubPathCase{"ShorterIsNotBelow", "/a/b", "/a", false, false},
                                           SubPathCase{"SiblingIsNotBelow", "/a/b", "/a/c/d", false, false}),
                         [](const ::testing::TestParamInfo<SubPathCase>& info) {
                             return std::string(info.param.label);
                         });

// Splitting paths -------------------------------------------------------------------------------

TEST(PathSplitTest, ParentPath) {
    EXPECT_EQ(GetParentPath(S("/a/b")), S("/a"));
    EXPECT_EQ(GetParentPath(S("/a/")), S("/a"));
    EXPECT_EQ(GetParentPath(S("name")), QString());
    EXPECT_EQ(GetParentPath(S("/name")), QString());
    EXPECT_EQ(GetParentPath(S("c:\\x\\y")), S("c:\\x"));
}

TEST(PathSplitTest, OnlyFilenameLastBackslashWins) {
    EXPECT_EQ(GetOnlyFilename(S("/a/b.txt")), S("b.txt"));
    EXPECT_EQ(GetOnlyFilename(S("a\\b/c")), S("b/c"));
    EXPECT_EQ(GetOnlyFilename(S("plain")), S("plain"));
}

TEST(PathSplitTest, FindChildChild) {
    EXPECT_EQ(FindChildChild(S("/A"), S("/a/b/c")), S("/a/b"));
    EXPECT_EQ(FindChildChild(S("/a"), S("/a/B/c")), S("/a/B"));
    EXPECT_EQ(FindChildChild(S("/a"), S("/a/b")), QString());
    EXPECT_EQ(FindChildChild(S("/a"), S("/x/b/c")), QString());
    EXPECT_EQ(FindChildChild(QString(), S("/a/b/c")), QString());
}

TEST(PathSplitTest, FileNameFastClearsFlagOnlyWhenANameWasFound) {
    bool flag = true;
    EXPECT_EQ(GetFileNameFast(S("/docs/Report.txt"), flag), S("Report.txt"));
    EXPECT_FALSE(flag);
    EXPECT_EQ(GetFileNameFast(S("c:\\x\\文件.doc"), flag), S("文件.doc"));
    EXPECT_FALSE(flag);
    EXPECT_EQ(GetFileNameFast(S("/docs/"), flag), QString());
    EXPECT_TRUE(flag);
}

// MyCombinePath ---------------------------------------------------------------------------------

struct CombineCase {
    const char* label;
    const char* base;
    const char* rel;
    const char* expected;
};

void PrintTo(const CombineCase& c, std::ostream* os) {
    *os << c.label;
}

class CombinePathTest : public ::testing::TestWithParam<CombineCase> {};

TEST_P(CombinePathTest, Joins) {
    const CombineCase& c = GetParam();
    EXPECT_EQ(MyCombinePath(S(c.base), S(c.rel)), S(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CombinePathTest,
    ::testing::Values(CombineCase{"TrailingAndLeadingSlashes", "/x/", "/y", "/x/y"},
                      CombineCase{"RootAndName", "/", "docs", "/docs"},
                      CombineCase{"EmptyBase", "", "a", "/a"}, CombineCase{"EmptyRel", "/x", "", "/x/"},
                      CombineCase{"DoubleSlashesCollapse", "/x//y", "a//b", "/x/y/a/b"},
                      CombineCase{"ResourcePathStays", "/x", "qrc:/img.png", "qrc:/img.png"},
                      CombineCase{"ColonSlashInNameStaysBelow", "/sync", "dir:/file", "/sync/dir:/file"},
                      CombineCase{"ColonSlashDeeperStaysBelow", "/sync", "a/b:/c", "/sync/a/b:/c"},
                      CombineCase{"DotDotCannotClimbOut", "/sync", "../../etc/passwd", "/sync/etc/passwd"},
                      CombineCase{"DotComponentsDropped", "/sync", "./a/./b", "/sync/a/b"}),
    [](const ::testing::TestParamInfo<CombineCase>& info) { return std::string(info.param.label); });

// Extensions -------------------------------------------------------------------------------------

TEST(FileExtTest, LowerCaseWithAndWithoutDot) {
    EXPECT_EQ(GetFileExt(S("/d/Photo.JPG"), false), S("jpg"));
    EXPECT_EQ(GetFileExt(S("/d/Photo.JPG"), true), S(".jpg"));
    EXPECT_EQ(GetFileExt(S("/d.x/file"), false), QString());
    EXPECT_EQ(GetFileExt(S("/d/.profile"), false), S("profile"));
    EXPECT_EQ(GetFileExt(S("noext"), true), QString());
}

TEST(FileExtTest, FastNoMallocMatchesAndStaysInsideTheBuffer) {
    char buffer[16];
    GetFileExtFastNoMalloc(S("/d/Photo.JPG"), false, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "jpg");
    GetFileExtFastNoMalloc(S("/d/Photo.JPG"), true, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, ".jpg");
    GetFileExtFastNoMalloc(S("/d.x/file"), true, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");

    // At most size - 2 bytes are copied.
    char small[5];
    GetFileExtFastNoMalloc(S("a.ABCDEFG"), false, small, sizeof small);
    EXPECT_STREQ(small, "abc");

    // A tiny buffer gets nothing past its end.
    char guard[3] = {'x', 'y', 'z'};
    GetFileExtFastNoMalloc(S("a.txt"), false, guard, 1);
    EXPECT_EQ(guard[0], 0);
    EXPECT_EQ(guard[1], 'y');
    EXPECT_EQ(guard[2], 'z');
    GetFileExtFastNoMalloc(S("a.txt"), false, guard, 0);
    EXPECT_EQ(guard[1], 'y');
    GetFileExtFastNoMalloc(S("a.txt"), false, nullptr, 10); // must not crash
}

TEST(FileExtTest, FastNoMallocKeepsMultiByteCharactersWhole) {
    char buffer[6]; // room for 4 bytes: one 3-byte character fits, the second does not
    GetFileExtFastNoMalloc(S("a.文档"), false, buffer, sizeof buffer);
    EXPECT_EQ(QString::fromUtf8(buffer), S("文"));
}

// Numbers and text ---------------------------------------------------------------------------------

struct BytesCase {
    const char* label;
    qint64 bytes;
    const char* expected;
};

void PrintTo(const BytesCase& c, std::ostream* os) {
    *os << c.label;
}

class FormatBytesSizeTest : public ::testing::TestWithParam<BytesCase> {};

TEST_P(FormatBytesSizeTest, Formats) {
    EXPECT_EQ(FormatBytesSize(GetParam().bytes), S(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatBytesSizeTest,
    ::testing::Values(BytesCase{"Negative", -5, "0 KB"}, BytesCase{"Zero", 0, "0 KB"},
                      BytesCase{"One", 1, "1 KB"}, BytesCase{"BelowOneKiB", 1023, "1 KB"},
                      BytesCase{"OneKiB", 1024, "1.0 KB"}, BytesCase{"OneAndAHalfKiB", 1536, "1.5 KB"},
                      BytesCase{"JustBelowOneMiB", 1048575, "1024.0 KB"},
                      BytesCase{"OneMiB", 1048576, "1.0 MB"}, BytesCase{"OneGiB", 1073741824, "1.0 GB"},
                      BytesCase{"JustBelowOneTiB", 1099511627775LL, "1024.0 GB"},
                      BytesCase{"TwoTiB", 2199023255552LL, "2.0 TB"}),
    [](const ::testing::TestParamInfo<BytesCase>& info) { return std::string(info.param.label); });

TEST(NumberTextTest, DotStringAndIp) {
    EXPECT_EQ(GetNumDotString(0), S("0"));
    EXPECT_EQ(GetNumDotString(999), S("999"));
    EXPECT_EQ(GetNumDotString(1000), S("1,000"));
    EXPECT_EQ(GetNumDotString(1234567), S("1,234,567"));
    EXPECT_EQ(GetNumDotString(18446744073709551615ULL), S("18,446,744,073,709,551,615"));
    EXPECT_EQ(GetIpString(0x7F000001), S("127.0.0.1"));
    EXPECT_EQ(GetIpString(0xC0A80A01), S("192.168.10.1"));
}

TEST(NameCompareTest, FindNoCase) {
    EXPECT_EQ(FindNoCase(L"Hello", L"LL"), 2);
    EXPECT_EQ(FindNoCase(L"Hello", L""), 0);
    EXPECT_EQ(FindNoCase(L"", L""), 0);
    EXPECT_EQ(FindNoCase(L"", L"x"), -1);
    EXPECT_EQ(FindNoCase(L"Hello", L"world"), -1);
    EXPECT_EQ(FindNoCase(nullptr, L"x"), -1);
    EXPECT_EQ(FindNoCase(L"abc", nullptr), -1);
    EXPECT_EQ(FindNoCase(L"aab", L"ab"), 1);
    // Only A..Z fold: Ä and ä stay apart.
    EXPECT_TRUE(CompCharNoCase(L'Q', L'q'));
    EXPECT_FALSE(CompCharNoCase(L'\u00C4', L'\u00E4'));
}

TEST(NameCompareTest, SymbolFullToHalf) {
    QString text = QString::fromUtf16(u"\uFF21\uFF22\uFF0C\uFF43\uFF1F");
    const QString copy = SymbolFullToHalf(text);
    EXPECT_EQ(text, S("ab;c;"));
    EXPECT_EQ(copy, text);

    QString symbols = QString::fromUtf16(u"\uFF11\uFF10\u3002\u3010x\u3011\u300Ay\u300B \u3000A?");
    SymbolFullToHalf(symbols);
    EXPECT_EQ(symbols, S("10.[x]<y>;;A;")); // ASCII capitals stay
}

TEST(ClockTest, TickCountIsMonotonic) {
    const quint64 first = GetTickCount();
    const quint64 second = GetTickCount();
    EXPECT_GT(first, 0u);
    EXPECT_GE(second, first);
}

// Credentials and hosts --------------------------------------------------------------------------

TEST(CredentialTest, FindQTFromPwd) {
    QString q, t;
    EXPECT_TRUE(FindQTFromPwd(S("Q=abc; T=def;"), q, t));
    EXPECT_EQ(q, S("abc"));
    EXPECT_EQ(t, S("def"));

    // Half a credential leaves both outputs alone, whichever half is missing.
    for (const QString& partial : {S("Q=new; T=def"), S("T=new;"), S("Q=new;"), QString()}) {
        q = S("oldq");
        t = S("oldt");
        EXPECT_FALSE(FindQTFromPwd(partial, q, t)) << qPrintable(partial);
        EXPECT_EQ(q, S("oldq")) << qPrintable(partial);
        EXPECT_EQ(t, S("oldt")) << qPrintable(partial);
    }
}

TEST(CredentialTest, NamesMatchExactlyAfterSplitting) {
    QString q, t;
    // A Q value holding "T=" must not be taken for the T pair.
    EXPECT_TRUE(FindQTFromPwd(S("Q=u=1&T=9&x; T=tok;"), q, t));
    EXPECT_EQ(q, S("u=1&T=9&x"));
    EXPECT_EQ(t, S("tok"));
    // "XQ=" is not "Q=".
    EXPECT_TRUE(FindQTFromPwd(S("XQ=zz; T=b; Q=a;"), q, t));
    EXPECT_EQ(q, S("a"));
    EXPECT_EQ(t, S("b"));
}

TEST(CredentialTest, ClusterIDFromHost) {
    EXPECT_EQ(ClusterIDFromHost(S("up-c12x.example.com"), S("up-")), S("c12x"));
    EXPECT_EQ(ClusterIDFromHost(S("a.up-z9.example.com"), S("up-")), S("z9"));
    EXPECT_EQ(ClusterIDFromHost(S("example.com"), S("up-")), QString());
    EXPECT_EQ(ClusterIDFromHost(S("up-c12x"), S("up-")), QString());
    EXPECT_EQ(ClusterIDFromHost(S("up-c12x.example.com"), QString()), QString());
}

// File system helpers ------------------------------------------------------------------------------

TEST(FileSystemTest, FindAllFilesOrderAndSuffix) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    ASSERT_TRUE(QDir(root).mkpath(S("sub")));
    ASSERT_TRUE(QDir(root).mkpath(S(".hiddendir")));
    Touch(root + S("/b.TXT"));
    Touch(root + S("/A.txt"));
    Touch(root + S("/.h.txt"));
    Touch(root + S("/c.doc"));
    Touch(root + S("/sub/d.txt"));
    Touch(root + S("/.hiddendir/e.txt"));
    ASSERT_EQ(
        symlink((root + S("/A.txt")).toUtf8().constData(), (root + S("/link.txt")).toUtf8().constData()), 0);

    QStringList txt;
    MyFindAllFiles(root, txt, S("txt"));
    EXPECT_EQ(txt, QStringList({root + S("/.h.txt"), root + S("/A.txt"), root + S("/b.TXT"),
                                root + S("/sub/d.txt")}));

    QStringList all;
    MyFindAllFiles(root, all, QString());
    EXPECT_EQ(all.size(), 5);
    EXPECT_TRUE(all.contains(root + S("/c.doc")));
}

TEST(FileSystemTest, FindAllFilesEndsOnALinkLoop) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath(S("a")));
    Touch(dir.path() + S("/a/f"));
    ASSERT_EQ(symlink(dir.path().toUtf8().constData(), (dir.path() + S("/a/loop")).toUtf8().constData()), 0);
    QStringList files;
    MyFindAllFiles(dir.path(), files, QString());
    EXPECT_EQ(files, QStringList({dir.path() + S("/a/f")}));
}

TEST(FileSystemTest, ChangeFileTimeSetsTimes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + S("/f");
    Touch(path);
    ASSERT_TRUE(MyChangeFileTime(path, 1000000000, 1234567890));
    struct stat st {};
    ASSERT_EQ(stat(path.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1234567890);
    EXPECT_FALSE(MyChangeFileTime(dir.path() + S("/missing"), 1, 2));
}

TEST(FileSystemTest, DiskFreeSpace) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_GT(DiskFreeSpace(dir.path().toUtf8()), 0u);
    EXPECT_EQ(DiskFreeSpace(QByteArray("/no/such/folder/anywhere")), 0u);
    EXPECT_EQ(DiskFreeSpace(QByteArray()), 0u);
}

TEST(ConflictNameTest, PatternIsFilledAndHasNoColon) {
    const QString name = GetNewFileName(S("/docs/report.final.txt"), S("alice"), S("冲突"));
    const QRegularExpression shape(S("^/docs/report\\.final\\(冲突-alice-\\d{6}-\\d{8}\\)\\.txt$"));
    EXPECT_TRUE(shape.match(name).hasMatch()) << name.toStdString();
    EXPECT_FALSE(name.contains(QLatin1Char(':')));
    EXPECT_FALSE(name.contains(QLatin1Char('%')));

    const QString noExt = GetNewFileName(S("/docs/README"), S("bob"), S("冲突"));
    EXPECT_TRUE(QRegularExpression(S("^/docs/README\\(冲突-bob-\\d{6}-\\d{8}\\)$")).match(noExt).hasMatch())
        << noExt.toStdString();
}

TEST(ConflictNameTest, NeverReturnsAnExistingFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString original = dir.path() + S("/a.txt");
    Touch(original);
    // Occupy the name a conflict copy would get now, and the first counter after it.
    for (int round = 0; round < 3; ++round) {
        const QString taken = GetNewFileName(original, S("me"), S("冲突"));
        ASSERT_FALSE(QFileInfo::exists(taken)) << taken.toStdString();
        Touch(taken);
        const QString next = GetNewFileName(original, S("me"), S("冲突"));
        EXPECT_NE(next, taken);
        EXPECT_FALSE(QFileInfo::exists(next)) << next.toStdString();
        EXPECT_TRUE(next.endsWith(S(".txt")));
    }
}

} // namespace
