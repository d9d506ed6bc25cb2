#include "cache/SearchText.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

std::string Joined(const std::set<QString>& set) {
    QStringList list;
    for (const QString& s : set)
        list.append(s);
    return list.join(QLatin1Char('|')).toStdString();
}

template <typename Case>
std::string Label(const ::testing::TestParamInfo<Case>& info) {
    return info.param.label;
}

// Parsing ---------------------------------------------------------------------------------------

struct ParseCase {
    const char* label;
    const char* query;
    const char* keywords; // in set order, "|" between
    bool byKeywords;
    char oneChar; // 0: none
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, Keywords) {
    const ParseCase& c = GetParam();
    SEARCH_INFO info;
    info.marks.insert(S("left over"));
    info.Init(S(c.query));
    EXPECT_EQ(Joined(info.keywords), c.keywords);
    EXPECT_EQ(info.by_keywords, c.byKeywords);
    EXPECT_EQ(info.one_char, QChar::fromLatin1(c.oneChar));
    EXPECT_TRUE(info.marks.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseTest,
    ::testing::Values(
        ParseCase{"SpaceSeparates", "a b", "a|b", true, 0},
        ParseCase{"FullWidthSeparatorsAndCase", "Foo，BAR；baz　qux？", "bar|baz|foo|qux", true, 0},
        ParseCase{"FirstFiveDistinct", "g;f;g;e;d;c;b;a", "c|d|e|f|g", true, 0},
        ParseCase{"Extensions", ";*.doc;*.txt", ".doc|.txt", false, 0},
        ParseCase{"ExtensionsHaveNoLimit", ";*.a;*.b;*.c;*.d;*.e;*.f;*.g", ".a|.b|.c|.d|.e|.f|.g", false, 0},
        ParseCase{"StarAlone", "*", "", true, 0}, ParseCase{"SpacesAlone", "   ", "", true, 0},
        ParseCase{"Empty", "", "", false, 0}, ParseCase{"OneAsciiChar", "A", "a", true, 'a'},
        ParseCase{"OneChineseCharIsNotOneChar", "中", "中", true, 0}),
    Label<ParseCase>);

// Matching --------------------------------------------------------------------------------------

struct MatchCase {
    const char* label;
    const char* query;
    const char* path;
    bool matches;
    const char* marks; // GetMarks() afterwards
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, Path) {
    const MatchCase& c = GetParam();
    SEARCH_INFO info;
    info.Init(S(c.query));
    EXPECT_EQ(SearchText(S(c.path), info), c.matches);
    EXPECT_EQ(info.GetMarks().toStdString(), c.marks);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatchTest,
    ::testing::Values(MatchCase{"PlainIgnoresCase", "report", "/a/Report 2019.doc", true, "report"},
                      MatchCase{"BothKeywords", "b a", "/x/bat", true, "a b"},
                      MatchCase{"OneKeywordMissing", "a b", "/x/aaa", false, ""},
                      MatchCase{"LaterKeywordFailsLeavesNoMarks", "a;z", "/x/abc", false, ""},
                      MatchCase{"NameOnly", "report", "/report/x.txt", false, ""},
                      MatchCase{"EndsWithSeparator", "x", "/a/x/", false, ""},
                      MatchCase{"ExtensionLowerCased", ";*.doc;*.txt", "/x.DOC", true, ".doc"},
                      MatchCase{"ExtensionExact", ";*.doc;*.txt", "/x.docx", false, ""},
                      MatchCase{"NoExtension", ";*.doc", "/doc", false, ""},
                      MatchCase{"NoKeywords", "*", "/x/anything", false, ""},
                      MatchCase{"OneCharInName", "a", "/x/data.txt", true, "a"},
                      MatchCase{"OneCharNotInExtension", "a", "/x/b.avi", false, ""},
                      MatchCase{"OneCharDotFileHasNoName", "b", "/x/.bashrc", false, ""},
                      MatchCase{"OneCharFullWidth", "a", "/x/Ａ.txt", true, "Ａ"},
                      MatchCase{"PinyinInitials", "zgr", "/d/中国人.txt", true, "中国人"},
                      MatchCase{"PinyinSyllables", "zhongguo", "/d/中国人.txt", true, "中国"},
                      MatchCase{"PinyinSecondReading", "zhangc", "/d/长城.doc", true, "长城"},
                      MatchCase{"PinyinStartsAtCharacter", "hongguo", "/d/中国人.txt", false, ""},
                      MatchCase{"PlainAndPinyin", "txt zg", "/d/中国txt", true, "txt 中国"},
                      MatchCase{"ChineseKeywordPlain", "中国", "/d/中国人.txt", true, "中国"}),
    Label<MatchCase>);

TEST(SearchTextTest, MarksGrowOnlyWithMatchingPaths) {
    SEARCH_INFO info;
    info.Init(S("zg;r"));
    EXPECT_TRUE(SearchText(S("/a/中国 report"), info));
    EXPECT_FALSE(SearchText(S("/a/人zz"), info)); // r matches 人 by pinyin, zg fails
    EXPECT_FALSE(SearchText(S("/b/zg"), info));   // zg matches, r fails
    EXPECT_EQ(info.GetMarks(), S("r 中国"));
}

// Custom view -----------------------------------------------------------------------------------

struct ViewCase {
    const char* label;
    const char* view;
    const char* path;
    bool inside;
};

class CustomViewTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(CustomViewTest, Inside) {
    const ViewCase& c = GetParam();
    SEARCH_INFO info;
    info.SetCustomView(S(c.view));
    info.Init(S("x")); // a new query keeps the view
    QString path = S(c.path);
    EXPECT_EQ(info.IsCustomView(path), c.inside);
}

INSTANTIATE_TEST_SUITE_P(Table, CustomViewTest,
                         ::testing::Values(ViewCase{"Child", "/A", "/A/b", true},
                                           ViewCase{"Deeper", "/A", "/A/b/c", true},
                                           ViewCase{"ItselfIsNotInside", "/A", "/A", false},
                                           ViewCase{"PrefixIsNotInside", "/A", "/AB/c", false},
                                           ViewCase{"CaseCounts", "/A", "/a/b", false},
                                           ViewCase{"NoViewHoldsNothing", "", "/b", false}),
                         Label<ViewCase>);

} // namespace
