#include "ConfigTestEnv.h"

#include "Database/IniProfile.h"
#include "support/FileSizeLimit.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>

namespace {

class IniProfileTest : public ConfigTest {};

TEST_F(IniProfileTest, MissingFileGivesTheDefaults) {
    const QString file = WorkPath(QStringLiteral("sync.ini"));
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("sync"), QStringLiteral("zip_lv"), 6, file), 6);
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("sync"), QStringLiteral("x"), QStringLiteral("d"), file),
              QStringLiteral("d"));
    QStringList list{QStringLiteral("stale")};
    MyIniReadSection(QStringLiteral("sync"), list, file);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_FALSE(QFile::exists(file)) << "reading must not create the file";
}

struct IntRow {
    const char* label;
    QByteArray stored;
    int expected;
};

void PrintTo(const IntRow& row, std::ostream* os) {
    *os << row.label;
}

class IniIntTest : public ConfigTest, public ::testing::WithParamInterface<IntRow> {};

TEST_P(IniIntTest, StoredTextConvertsInBaseTen) {
    const QString file = WorkPath(QStringLiteral("t.ini"));
    WriteFile(file, "[s]\nk=" + GetParam().stored + "\n");
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("s"), QStringLiteral("k"), 77, file), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, IniIntTest,
                         ::testing::Values(IntRow{"plain", "42", 42}, IntRow{"negative", "-5", -5},
                                           IntRow{"letters", "abc", 0}, IntRow{"trailing_junk", "12x", 0},
                                           IntRow{"empty", "", 0}, IntRow{"hex_is_not_base_ten", "0x10", 0},
                                           IntRow{"too_big_for_32_bits", "4294967296", 0}),
                         [](const ::testing::TestParamInfo<IntRow>& info) { return info.param.label; });

TEST_F(IniProfileTest, WrittenValuesReadBack) {
    const QString file = WorkPath(QStringLiteral("a/b/config.ini"));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("pwd"), QString(), file))
        << "the write must create the missing folders";
    EXPECT_EQ(
        GetPrivateProfileString(QStringLiteral("user"), QStringLiteral("pwd"), QStringLiteral("def"), file),
        QString())
        << "an empty stored value is not an absent one";
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("user"), QStringLiteral("pwd"), 9, file), 0);

    ASSERT_TRUE(WritePrivateProfileInt(QStringLiteral("user"), QStringLiteral("n"), -123, file));
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("user"), QStringLiteral("n"), 0, file), -123);

    const QString odd = QStringLiteral("  lead, comma; 中文 \\ \"q\"");
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("odd"), odd, file));
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("user"), QStringLiteral("odd"), QString(), file), odd);
}

TEST_F(IniProfileTest, HandWrittenCommaListReadsAsText) {
    const QString file = WorkPath(QStringLiteral("sync.ini"));
    WriteFile(file, "[server]\nlogin=a.example,b.example\n");
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("server"), QStringLiteral("login"), QString(), file),
              QStringLiteral("a.example,b.example"));
}

TEST_F(IniProfileTest, SectionListingTrimsAndSkipsEmptyValues) {
    const QString file = WorkPath(QStringLiteral("s.ini"));
    ASSERT_TRUE(
        WritePrivateProfileString(QStringLiteral("s"), QStringLiteral("a"), QStringLiteral("  x  "), file));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("s"), QStringLiteral("b"), QString(), file));
    ASSERT_TRUE(
        WritePrivateProfileString(QStringLiteral("s"), QStringLiteral("c"), QStringLiteral("7"), file));
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("e"), QStringLiteral("only"), QString(), file));
    ASSERT_TRUE(
        WritePrivateProfileString(QStringLiteral("other"), QStringLiteral("d"), QStringLiteral("1"), file));

    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("s"), QStringLiteral("a"), QString(), file),
              QStringLiteral("  x  "))
        << "the store keeps leading spaces";
    QStringList list;
    MyIniReadSection(QStringLiteral("s"), list, file);
    EXPECT_EQ(list, (QStringList{QStringLiteral("a=x"), QStringLiteral("c=7")}));
    MyIniReadSection(QStringLiteral("e"), list, file);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(IniProfileTest, EmptyPathIsNeitherReadNorWritten) {
    EXPECT_FALSE(
        WritePrivateProfileString(QStringLiteral("s"), QStringLiteral("k"), QStringLiteral("v"), QString()));
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("s"), QStringLiteral("k"), 5, QString()), 5);
}

TEST_F(IniProfileTest, WriteThatCannotReachTheDiskReportsFailure) {
    RUN_UNPRIVILEGED_IF_ROOT();
    const QString folder = WorkPath(QStringLiteral("locked"));
    const QString file = folder + QStringLiteral("/config.ini");
    ASSERT_TRUE(
        WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("k"), QStringLiteral("old"), file));
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner));

    EXPECT_FALSE(
        WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("k"), QStringLiteral("new"), file));
    EXPECT_FALSE(WritePrivateProfileInt(QStringLiteral("user"), QStringLiteral("n"), 1, file));
    EXPECT_FALSE(WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("k"), QStringLiteral("v"),
                                           folder + QStringLiteral("/new/config.ini")));
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("user"), QStringLiteral("k"), QString(), file),
              QStringLiteral("old"))
        << "a value that never reached the disk must not be read back";
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("user"), QStringLiteral("n"), -1, file), -1);

    // Nor may a later successful write carry the failed values to the disk.
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(
        WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("z"), QStringLiteral("1"), file));
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << written.errorString().toStdString();
    const QByteArray text = written.readAll();
    EXPECT_TRUE(text.contains("k=old")) << text.toStdString();
    EXPECT_FALSE(text.contains("n=")) << text.toStdString();
}

// QSettings' own write reports success on a full disk and leaves an empty file: the old file stays
// whole, and the failure is reported.
TEST_F(IniProfileTest, AFullDiskKeepsEveryKeyOfTheOldFile) {
    const QString file = WorkPath(QStringLiteral("full/config.ini"));
    // Long enough that QSettings' lock file fits below the limit: only the settings cannot grow.
    for (const char* key : {"eid", "syncpath", "finish_task_count"})
        ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("user"), QLatin1String(key), QString(150, QLatin1Char('v')), file));
    QFile read(file);
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    const QByteArray before = read.readAll();
    read.close();
    bool written = true;
    {
        FileSizeLimit limit(rlim_t(before.size()) + 10);
        ASSERT_TRUE(limit.ok()) << strerror(errno);
        written = WritePrivateProfileString(QStringLiteral("user"), QStringLiteral("syncpath"),
                                            QString(1000, QLatin1Char('p')), file);
    }
    EXPECT_FALSE(written);
    ASSERT_TRUE(read.open(QIODevice::ReadOnly));
    EXPECT_EQ(read.readAll(), before);
    EXPECT_EQ(GetPrivateProfileString(QStringLiteral("user"), QStringLiteral("syncpath"), QString(), file),
              QString(150, QLatin1Char('v')));
    EXPECT_EQ(QDir(WorkPath(QStringLiteral("full"))).entryList(QDir::Files | QDir::Hidden),
              QStringList(QStringLiteral("config.ini")))
        << "no copy left behind";
}

} // namespace
