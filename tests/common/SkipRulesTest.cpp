#include "common/SkipRules.h"

#include <gtest/gtest.h>

namespace {

struct SkipCase {
    const char* label;
    const char* path;
    bool skipped;
};

void PrintTo(const SkipCase& c, std::ostream* os) {
    *os << c.label;
}

class NeedSkipSyncTest : public ::testing::TestWithParam<SkipCase> {};

TEST_P(NeedSkipSyncTest, Decides) {
    EXPECT_EQ(NeedSkipSync(QString::fromUtf8(GetParam().path), false), GetParam().skipped);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NeedSkipSyncTest,
    ::testing::Values(
        SkipCase{"OfficeLock", "/d/~$Report.docx", true}, SkipCase{"AutoCadDwl2", "plan.dwl2", true},
        SkipCase{"AutoCadDw", "plan.dw", true}, SkipCase{"AutoCadDwlIsKept", "plan.dwl", false},
        SkipCase{"TildeTmpAnyCase", "~TMP1234", true}, SkipCase{"ThumbsAnyCase", "thumbs.DB", true},
        SkipCase{"DesktopIni", "/x/desktop.ini", true}, SkipCase{"SysLib", ".nimbosyslib", true},
        SkipCase{"AccessLock", "x.LACCDB", true}, SkipCase{"TmpAnyCase", "data.Tmp", true},
        SkipCase{"EightHexDigits", "A5B6C7D8", true}, SkipCase{"EightHexLower", "a5b6c7d8", true},
        SkipCase{"SevenHexDigits", "A5B6C7D", true}, SkipCase{"NineHexDigits", "A5B6C7D8X", false},
        SkipCase{"SixHexDigits", "A5B6C7", false}, SkipCase{"EightNotHex", "ABCDEFGH", false},
        SkipCase{"OnlyLastComponentCounts", "/docs/~$x/readme.txt", false},
        SkipCase{"OrdinaryDocument", "/docs/report.docx", false},
        SkipCase{"ChineseName", "/文档/报告.txt", false}),
    [](const ::testing::TestParamInfo<SkipCase>& info) { return std::string(info.param.label); });

TEST(SkipRulesTest, NoSkipAnswersFalse) {
    EXPECT_FALSE(NeedSkipSync(QStringLiteral("~$Report.docx"), true));
    EXPECT_TRUE(NeedSkipSync(QStringLiteral("~$Report.docx")));
}

TEST(SkipRulesTest, IgnoreCacheFileIsCaseSensitiveSubstring) {
    EXPECT_TRUE(IsIgnoreCacheFile(QStringLiteral("/sync/.Nimbocache/blocks/1")));
    EXPECT_FALSE(IsIgnoreCacheFile(QStringLiteral("/sync/.NIMBOCACHE")));
    EXPECT_TRUE(IsIgnoreCacheFile(QStringLiteral("/sync/.Nimbosyslib")));
    EXPECT_FALSE(IsIgnoreCacheFile(QStringLiteral("/sync/.NimboSysLib")));
    EXPECT_TRUE(IsIgnoreCacheFile(QStringLiteral("/sync/.dropbox.cache/x")));
    EXPECT_FALSE(IsIgnoreCacheFile(QStringLiteral("/sync/my.synced.notes")));
}

TEST(SkipRulesTest, MaybeOfficeTemp) {
    EXPECT_TRUE(MaybeOfficeTemp(QStringLiteral("/d/ABC12345.tmp")));
    EXPECT_TRUE(MaybeOfficeTemp(QStringLiteral("~ABCDEFG")));
    EXPECT_FALSE(MaybeOfficeTemp(QStringLiteral("ABC123.tmp")));
    EXPECT_FALSE(MaybeOfficeTemp(QStringLiteral("report.docx")));
    EXPECT_FALSE(MaybeOfficeTemp(QStringLiteral("~~~~~~~~")));
}

TEST(SkipRulesTest, IsHexString) {
    EXPECT_FALSE(IsHexString(QString()));
    EXPECT_TRUE(IsHexString(QStringLiteral("0")));
    EXPECT_TRUE(IsHexString(QStringLiteral("09afAF")));
    EXPECT_FALSE(IsHexString(QStringLiteral("0x1")));
    EXPECT_FALSE(IsHexString(QString::fromUtf16(u"\uFF11"))); // full-width digit
}

} // namespace
