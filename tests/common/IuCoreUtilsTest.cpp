#include "common/IuCoreUtils.h"
#include "support/FileSizeLimit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>

using namespace IuCoreUtils;

namespace {

std::string U(const QString& text) {
    return text.toUtf8().toStdString();
}

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), int(text.size()));
}

void WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly))
        << path.toStdString() << ": " << file.errorString().toStdString();
    ASSERT_EQ(file.write(content), content.size()) << file.errorString().toStdString();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Sets an environment variable for the lifetime of the object (the test process is single-threaded
// while it runs) and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (old)
            m_old = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

// The process runs under the plain "C" locale, as under LANG=C, until the object ends.
class CLocale {
public:
    CLocale() : m_lcAll("LC_ALL", "C"), m_lang("LANG", "C"), m_saved(std::setlocale(LC_ALL, nullptr)) {
        std::setlocale(LC_ALL, "C");
    }
    ~CLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }

private:
    ScopedEnv m_lcAll;
    ScopedEnv m_lang;
    std::string m_saved;
};

// Text conversions ------------------------------------------------------------------------------

TEST(IuCoreUtilsTest, Utf8AndWideStringsRoundTrip) {
    const std::string text = "a报告\xF0\x9F\x98\x80z"; // a BMP character and one above U+FFFF
    const std::wstring wide = Utf8ToWstring(text);
    ASSERT_EQ(wide.size(), 5u);
    EXPECT_EQ(uint32_t(wide[1]), 0x62A5u);
    EXPECT_EQ(uint32_t(wide[3]), 0x1F600u);
    EXPECT_EQ(WstringToUtf8(wide), text);
}

TEST(IuCoreUtilsTest, InvalidInputEndsTheConversionKeepingThePrefix) {
    EXPECT_EQ(Utf8ToWstring("ab\xFF"
                            "cd"),
              L"ab");
    EXPECT_EQ(Utf8ToWstring("a\xE6\x8A"), L"a"); // cut in the middle of a character
    EXPECT_EQ(Utf8ToWstring("\xC0\xAF"), L"");   // overlong form of "/"
    std::wstring wide = L"ab";
    wide.push_back(wchar_t(0xD800));
    wide += L"cd";
    EXPECT_EQ(WstringToUtf8(wide), "ab");
    EXPECT_EQ(WstringToUtf8(std::wstring(1, wchar_t(0x110000))), "");
}

TEST(IuCoreUtilsTest, LocaleConversionCutsChineseShortUnderTheCLocale) {
    // Why paths never go through the locale: under LANG=C the Chinese name would end early.
    CLocale c;
    EXPECT_EQ(Utf8ToSystemLocale("dir/报告.txt"), "dir/");
    EXPECT_EQ(Utf8ToSystemLocale("plain.txt"), "plain.txt");
    EXPECT_EQ(SystemLocaleToUtf8("ab\xE6\x8A\xA5"), "ab");
}

TEST(IuCoreUtilsTest, LocaleConversionKeepsTextUnderAUtf8Locale) {
    ScopedEnv lcAll("LC_ALL", "C.UTF-8");
    const locale_t probe = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    if (!probe)
        GTEST_SKIP() << "the locale C.UTF-8 is not installed";
    freelocale(probe);
    EXPECT_EQ(Utf8ToSystemLocale("报告.txt"), "报告.txt");
    EXPECT_EQ(SystemLocaleToUtf8("报告.txt"), "报告.txt");
}

TEST(IuCoreUtilsTest, ConvertToUtf8IgnoresTheCodePage) {
    EXPECT_EQ(ConvertToUtf8("abc\xFF", "cp1251"), "abc\xFF");
}

// Files by UTF-8 path ---------------------------------------------------------------------------

TEST(IuCoreUtilsTest, ChineseNamesOpenTheSameFileUnderTheCLocale) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString name = dir.filePath(QStringLiteral("报告 2024.txt"));
    WriteFile(name, "hello");

    CLocale c;
    const std::string path = U(name);
    std::FILE* file = fopen_utf8(path.c_str(), "rb");
    ASSERT_NE(file, nullptr) << strerror(errno);
    char buffer[16] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), 5u);
    std::fclose(file);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(getFileSize(path), 5);
    EXPECT_TRUE(FileExists(path));

    std::string text;
    ASSERT_TRUE(ReadUtf8TextFile(path, text));
    EXPECT_EQ(text, "hello");

    const QString copy = dir.filePath(QStringLiteral("副本.txt"));
    ASSERT_TRUE(copyFile(path, U(copy), false));
    EXPECT_EQ(ReadFile(copy), QByteArray("hello"));

    const QString put = dir.filePath(QStringLiteral("新建.txt"));
    ASSERT_TRUE(PutFileContents(U(put), "new"));
    EXPECT_EQ(ReadFile(put), QByteArray("new"));

    const QString folder = dir.filePath(QStringLiteral("文件夹/子文件夹"));
    ASSERT_TRUE(createDirectory(U(folder), 0755)) << strerror(errno);
    EXPECT_TRUE(QFileInfo(folder).isDir());

    const QString moved = dir.filePath(QStringLiteral("移动.txt"));
    ASSERT_TRUE(MoveFileOrFolder(U(copy), U(moved)));
    EXPECT_EQ(ReadFile(moved), QByteArray("hello"));
    ASSERT_TRUE(RemoveFile(U(moved)));
    EXPECT_FALSE(QFile::exists(moved));

    EXPECT_EQ(GetFileMimeType(path), "text/plain");
}

TEST(IuCoreUtilsTest, MissingPaths) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string missing = U(dir.filePath(QStringLiteral("missing")));
    EXPECT_EQ(getFileSize(missing), -1);
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(fopen_utf8(missing.c_str(), "rb"), nullptr);
    EXPECT_EQ(fopen_utf8(nullptr, "rb"), nullptr);
    std::string text = "untouched";
    EXPECT_FALSE(ReadUtf8TextFile(missing, text));
    EXPECT_EQ(text, "untouched");
    EXPECT_FALSE(RemoveFile(missing));
    EXPECT_FALSE(MoveFileOrFolder(missing, missing + "2"));
}

TEST(IuCoreUtilsTest, CopyFileRules) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string src = U(dir.filePath(QStringLiteral("src")));
    const QString dst = dir.filePath(QStringLiteral("dst"));
    QByteArray content(200000, 'x'); // several pieces
    content[199999] = 'y';
    WriteFile(Q(src), content);

    EXPECT_FALSE(copyFile(U(dir.filePath(QStringLiteral("missing"))), U(dst), true));
    EXPECT_FALSE(QFile::exists(dst));

    ASSERT_TRUE(copyFile(src, U(dst), false));
    EXPECT_EQ(ReadFile(dst), content);

    WriteFile(dst, "old");
    EXPECT_FALSE(copyFile(src, U(dst), false));
    EXPECT_EQ(ReadFile(dst), QByteArray("old"));
    EXPECT_TRUE(copyFile(src, U(dst), true));
    EXPECT_EQ(ReadFile(dst), content);

    EXPECT_FALSE(copyFile(src, U(dir.filePath(QStringLiteral("no/such/folder"))), true));
    EXPECT_FALSE(copyFile(U(dir.path()), U(dir.filePath(QStringLiteral("fromdir"))), true));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << "temporary files left behind";
}

// Lowers the file size limit of the process so that every write past `bytes` fails with EFBIG, as
// a full disk makes writes fail; restores the limit afterwards.
TEST(IuCoreUtilsTest, FailedWritesAreReportedAndLeaveTheTargetAlone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("big"));
    const QString dst = dir.filePath(QStringLiteral("target"));
    WriteFile(src, QByteArray(300000, 'b'));
    WriteFile(dst, "previous");

    bool copied = true;
    bool put = true;
    int error = 0;
    {
        FileSizeLimit limit(100000);
        ASSERT_TRUE(limit.ok()) << strerror(errno);
        copied = copyFile(U(src), U(dst), true);
        put = PutFileContents(U(dst), std::string(300000, 'p'));
        error = errno;
    }
    EXPECT_FALSE(copied);
    EXPECT_FALSE(put);
    EXPECT_EQ(error, EFBIG) << "the caller reports a full disk by it";
    EXPECT_EQ(ReadFile(dst), QByteArray("previous"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << "temporary files left behind";
}

TEST(IuCoreUtilsTest, PutFileContentsReplacesTheWholeFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("file"));
    WriteFile(path, "a much longer previous content");
    // A private file stays private; and a reader that caches by size and time sees the change.
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    const QDateTime before = QFileInfo(path).lastModified();
    ASSERT_TRUE(PutFileContents(U(path), std::string("ab\0c", 4)));
    EXPECT_EQ(ReadFile(path), QByteArray("ab\0c", 4));
    EXPECT_EQ(int(QFileInfo(path).permissions() & 0x7077), int(QFile::ReadOwner | QFile::WriteOwner)); // owner, group, other
    EXPECT_GT(QFileInfo(path).lastModified(), before);
    EXPECT_FALSE(PutFileContents(U(dir.filePath(QStringLiteral("no/folder/file"))), "x"));
}

TEST(IuCoreUtilsTest, CreateDirectory) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString deep = dir.filePath(QStringLiteral("a/b//c/"));
    ASSERT_TRUE(createDirectory(U(deep), 0700)) << strerror(errno);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("a/b/c"))).isDir());
    EXPECT_TRUE(createDirectory(U(dir.filePath(QStringLiteral("a/b"))), 0700))
        << "an existing folder is success";

    WriteFile(dir.filePath(QStringLiteral("file")), "x");
    errno = 0;
    EXPECT_FALSE(createDirectory(U(dir.filePath(QStringLiteral("file/sub"))), 0700));
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_FALSE(createDirectory(U(dir.filePath(QStringLiteral("file"))), 0700));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(createDirectory("", 0700));
}

TEST(IuCoreUtilsTest, ReadUtf8TextFileHandlesByteOrderMarks) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("text"));
    std::string text;

    WriteFile(path, "\xEF\xBB\xBFhi");
    ASSERT_TRUE(ReadUtf8TextFile(U(path), text));
    EXPECT_EQ(text, "hi");

    // UTF-16 little-endian: the text begins right after the two-byte mark.
    WriteFile(path, QByteArray("\xFF\xFEh\0i\0\xA5\x62\x3D\xD8\x00\xDE", 12));
    ASSERT_TRUE(ReadUtf8TextFile(U(path), text));
    EXPECT_EQ(text, "hi报\xF0\x9F\x98\x80");

    WriteFile(path, QByteArray("\xFF\xFE", 2));
    ASSERT_TRUE(ReadUtf8TextFile(U(path), text));
    EXPECT_EQ(text, "");

    WriteFile(path, "plain\nlines");
    ASSERT_TRUE(ReadUtf8TextFile(U(path), text));
    EXPECT_EQ(text, "plain\nlines");
}

// MIME type through the external command ---------------------------------------------------------

class MimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        if (GetFileMimeType(U(m_dir.path())) == "application/octet-stream")
            GTEST_SKIP() << "the command \"file\" is not installed";
    }
    QTemporaryDir m_dir;
};

TEST_F(MimeTest, ReportsTheType) {
    const QString text = m_dir.filePath(QStringLiteral("notes.txt"));
    WriteFile(text, "just some words\n");
    EXPECT_EQ(GetFileMimeType(U(text)), "text/plain");
    const QString png = m_dir.filePath(QStringLiteral("image"));
    WriteFile(png, QByteArray("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 29));
    EXPECT_EQ(GetFileMimeType(U(png)), "image/png");
    EXPECT_EQ(GetFileMimeType(U(m_dir.path())), "inode/directory");
    EXPECT_EQ(GetFileMimeType(U(m_dir.filePath(QStringLiteral("missing")))), "") << "no type for no file";
}

TEST_F(MimeTest, NamesCannotInjectCommandsOrOptions) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    const char* const names[] = {"a'; touch injected1; echo '.txt", "$(touch injected2).txt",
                                 "`touch injected3`", "-v", "--version"};
    for (const char* name : names) {
        WriteFile(m_dir.filePath(QString::fromUtf8(name)), "plain words\n");
        EXPECT_EQ(GetFileMimeType(name), "text/plain") << name;
    }
    QDir::setCurrent(previous);
    for (const char* marker : {"injected1", "injected2", "injected3"})
        EXPECT_FALSE(QFile::exists(m_dir.filePath(QLatin1String(marker)))) << marker;
}

TEST(MimeFallbackTest, WithoutTheCommandTheTypeIsOctetStream) {
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    ScopedEnv path("PATH", empty.path().toUtf8().constData());
    EXPECT_EQ(GetFileMimeType("/etc/hostname"), "application/octet-stream");
}

TEST(IuCoreUtilsTest, DefaultExtensionForMimeType) {
    EXPECT_EQ(GetDefaultExtensionForMimeType("image/gif"), "gif");
    EXPECT_EQ(GetDefaultExtensionForMimeType("image/png"), "png");
    EXPECT_EQ(GetDefaultExtensionForMimeType("image/jpeg"), "jpg");
    EXPECT_EQ(GetDefaultExtensionForMimeType("IMAGE/JPEG"), "");
    EXPECT_EQ(GetDefaultExtensionForMimeType("text/plain"), "");
}

// Names and texts -------------------------------------------------------------------------------

TEST(IuCoreUtilsTest, PathPieces) {
    EXPECT_EQ(ExtractFileName("a/b.txt?x=1"), "b.txt");
    EXPECT_EQ(ExtractFileName("c:\\dir\\name.doc"), "name.doc");
    EXPECT_EQ(ExtractFileName("plain"), "plain");
    EXPECT_EQ(ExtractFileExt("a.b/c"), "");
    EXPECT_EQ(ExtractFileExt("dir/archive.tar.gz"), "gz");
    EXPECT_EQ(ExtractFilePath("name.txt"), "");
    EXPECT_EQ(ExtractFilePath("/a/b/name.txt"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("a\\b"), "a\\");
    EXPECT_EQ(ExtractFileNameNoExt("/x/report.final.pdf"), "report.final");
    EXPECT_EQ(ExtractFileNameNoExt("/x/README"), "README");
}

TEST(IuCoreUtilsTest, StrReplace) {
    EXPECT_EQ(StrReplace("a-b-c", "-", "--"), "a--b--c");
    EXPECT_EQ(StrReplace("aaa", "a", "aa"), "aaaaaa") << "inserted text is not searched again";
    EXPECT_EQ(StrReplace("abc", "", "x"), "abc");
    EXPECT_EQ(StrReplace("abcabc", "bc", ""), "aa");
}

TEST(IuCoreUtilsTest, NumbersAsText) {
    EXPECT_EQ(int64_tToString(0), "0");
    EXPECT_EQ(int64_tToString(-42), "-42");
    EXPECT_EQ(int64_tToString(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(toString(4294967295u), "4294967295");
    EXPECT_EQ(toString(-7), "-7");
    EXPECT_EQ(toString(2.25, 1), "2.2"); // printf rounds half to even on exact halves
    EXPECT_EQ(toString(1.0 / 3.0, 3), "0.333");
    EXPECT_EQ(toString(5.0, 0), "5");
}

TEST(IuCoreUtilsTest, FileSizeToString) {
    EXPECT_EQ(fileSizeToString(-1), "n/a");
    EXPECT_EQ(fileSizeToString(0), "0 bytes");
    EXPECT_EQ(fileSizeToString(1023), "1023 bytes");
    EXPECT_EQ(fileSizeToString(1024), "1 KB");
    EXPECT_EQ(fileSizeToString(1048576), "1.0 MB");
    EXPECT_EQ(fileSizeToString(1572864), "1.5 MB");
    EXPECT_EQ(fileSizeToString(1073741823), "1024.0 MB");
    EXPECT_EQ(fileSizeToString(1073741824), "1.0 GB");
}

TEST(IuCoreUtilsTest, TimeStampInLocalTime) {
    {
        ScopedEnv tz("TZ", "UTC");
        tzset();
        EXPECT_EQ(timeStampToString(0), "01.01.1970 00:00:00");
        EXPECT_EQ(timeStampToString(1700000000), "14.11.2023 22:13:20");
    }
    tzset(); // back to the zone of the environment
}

// Text to integer ------------------------------------------------------------------------------

struct ParseCase {
    const char* label;
    const char* text;
    int base;
    int64_t value;
    bool ok;
    int used; // characters consumed, -1 for "end is the start"
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.label;
}

class ZstrtollTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ZstrtollTest, Parses) {
    const ParseCase& c = GetParam();
    const char* end = nullptr;
    bool ok = !c.ok;
    EXPECT_EQ(zstrtoll(c.text, &end, c.base, &ok), c.value);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(end - c.text, c.used < 0 ? 0 : c.used);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ZstrtollTest,
    ::testing::Values(ParseCase{"Decimal", "123", 10, 123, true, 3},
                      ParseCase{"BlankAndNegativeHexWithBaseZero", " -0x1A", 0, -26, true, 6},
                      ParseCase{"OctalWithBaseZero", "017z", 0, 15, true, 3},
                      ParseCase{"PlusSign", "+9 rest", 10, 9, true, 2},
                      ParseCase{"LettersInBaseTen", "abc", 10, 0, false, -1},
                      ParseCase{"Empty", "", 10, 0, false, -1},
                      ParseCase{"HexPrefixWithoutDigits", "0x", 0, 0, true, 1},
                      ParseCase{"Base36", "zz", 36, 36 * 35 + 35, true, 2},
                      ParseCase{"Largest", "9223372036854775807", 10, INT64_MAX, true, 19},
                      ParseCase{"Smallest", "-9223372036854775808", 10, INT64_MIN, true, 20},
                      ParseCase{"OnePastLargestFails", "9223372036854775808", 10, INT64_MIN, false, -1},
                      ParseCase{"OnePastSmallestFails", "-9223372036854775809", 10, INT64_MIN, false, -1},
                      ParseCase{"TwentyNinesFail", "99999999999999999999", 10, INT64_MIN, false, -1},
                      ParseCase{"BeyondTwoToThe64Fails", "18446744073709551617", 10, INT64_MIN, false, -1},
                      ParseCase{"LongHexFails", "0x10000000000000000", 0, INT64_MIN, false, -1},
                      ParseCase{"BadBase", "12", 37, 0, false, -1}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.label); });

TEST(IuCoreUtilsTest, StringToInt64ReportsFailure) {
    bool ok = false;
    EXPECT_EQ(stringToint64_t("-42", &ok), -42);
    EXPECT_TRUE(ok);
    EXPECT_EQ(stringToint64_t("9223372036854775808", &ok), INT64_MIN);
    EXPECT_FALSE(ok);
    EXPECT_EQ(stringToint64_t("0x10"), 0) << "base 10 only";
    EXPECT_EQ(zstrtoll(nullptr, nullptr, 10, nullptr), 0);
}

} // namespace
