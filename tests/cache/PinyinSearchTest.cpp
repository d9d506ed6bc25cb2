#include "cache/PinyinSearch.h"

#include <QCryptographicHash>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

QString S(const char* text) {
    return QString::fromUtf8(text);
}

template <typename Case>
std::string Label(const ::testing::TestParamInfo<Case>& info) {
    return info.param.label;
}

// One attempt over fixed readings ---------------------------------------------------------------

struct CoreCase {
    const char* label;
    const char* name;
    const char* keyword;
    const char* covered; // "" when no match
};

class PinyinCoreTest : public ::testing::TestWithParam<CoreCase> {};

TEST_P(PinyinCoreTest, Covers) {
    const CoreCase& c = GetParam();
    std::map<QChar, QString> readings{
        {QChar(0x4E2D), S("zhong")}, {QChar(0x56FD), S("guo")}, {QChar(0x4EBA), S("ren")}}; // 中 国 人
    QString keyword = S(c.keyword);
    char out[1024];
    memset(out, 'x', sizeof(out)); // the attempt clears it
    EXPECT_EQ(PinyinSearchCore(readings, S(c.name), keyword, out, 1023), *c.covered != 0);
    EXPECT_STREQ(out, c.covered);
}

INSTANTIATE_TEST_SUITE_P(Table, PinyinCoreTest,
                         ::testing::Values(CoreCase{"Syllables", "中国人", "zhongguo", "中国"},
                                           CoreCase{"LaterStart", "中国人", "guor", "国人"},
                                           CoreCase{"Initials", "中国人", "zgr", "中国人"},
                                           CoreCase{"CaseIgnored", "中国人", "ZG", "中国"},
                                           CoreCase{"EndsInsideSyllable", "中国人", "zhongg", "中国"},
                                           CoreCase{"MustStartAtCharacter", "中国人", "hongguo", ""},
                                           CoreCase{"LongerThanPinyin", "中国人", "zhongguorenx", ""},
                                           CoreCase{"AsciiStandsForItself", "abc中国", "czg", "c中国"},
                                           CoreCase{"NoReadingIsSkipped", "中丟国", "zg", "中国"},
                                           CoreCase{"EmptyKeyword", "中国人", "", ""}),
                         Label<CoreCase>);

TEST(PinyinCoreTest, ListOfElements) {
    std::list<PY_INFO> elements{{S("zhong"), S("中")}, {S("guo"), S("国")}, {S("x"), S("😀")}};
    char out[64];
    QString keyword = S("GUOx");
    ASSERT_TRUE(PinyinGetMarksCore(elements, keyword, out, sizeof(out)));
    EXPECT_STREQ(out, "国😀"); // an original of two UTF-16 units is taken whole
    keyword = S("zhongguox1");
    EXPECT_FALSE(PinyinGetMarksCore(elements, keyword, out, sizeof(out)));
}

// The whole search, with the tables -------------------------------------------------------------

struct SearchCase {
    const char* label;
    const char* name;
    const char* keyword;
    const char* covered;
};

class PinyinSearchTest : public ::testing::TestWithParam<SearchCase> {};

TEST_P(PinyinSearchTest, Covers) {
    const SearchCase& c = GetParam();
    QString keyword = S(c.keyword);
    char out[1024] = {};
    EXPECT_EQ(PinyinSearch(S(c.name), keyword, out, 1023), *c.covered != 0);
    EXPECT_STREQ(out, c.covered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PinyinSearchTest,
    ::testing::Values(SearchCase{"SingleReadingsFromGb2312", "中国人.txt", "zgr", "中国人"},
                      SearchCase{"SecondReadingTried", "长城.doc", "zhangc", "长城"},
                      SearchCase{"FirstReading", "长城.doc", "changcheng", "长城"},
                      SearchCase{"PairOfSeveralReadings", "重行", "zhongxing", "重行"},
                      // 和 行 重 vary by code point; 长, the fourth, keeps its first reading.
                      SearchCase{"ThirdVaries", "和行重长", "zhongc", "重长"},
                      SearchCase{"FourthDoesNotVary", "和行重长", "zhongz", ""},
                      SearchCase{"OutsideGb2312Skipped", "中丟国", "zhongguo", "中国"},
                      SearchCase{"FullWidthLetters", "Ａｌ", "al", "Ａｌ"},
                      SearchCase{"ChinesePunctuation", "《中》", "<z>", "《中》"},
                      SearchCase{"NonAsciiKeyword", "中国", "中", ""},
                      SearchCase{"NoMatch", "中国人", "hongguo", ""},
                      // Polyphonic characters are found by each of their readings.
                      SearchCase{"DiAsDe", "地图", "detu", "地图"},
                      SearchCase{"DiAsDi", "地图", "ditu", "地图"},
                      SearchCase{"XiaoAsXiao", "削皮", "xiaopi", "削皮"},
                      SearchCase{"XiaoAsXue", "削皮", "xuepi", "削皮"}),
    Label<SearchCase>);

TEST(PinyinSearchTest, OutputCutAtCharacterBoundary) {
    QString keyword = S("zgr");
    char out[8];
    ASSERT_TRUE(PinyinSearch(S("中国人"), keyword, out, 8)); // 9 bytes do not fit in 7
    EXPECT_STREQ(out, "中国");
}

// Readings --------------------------------------------------------------------------------------

struct OneCase {
    const char* label;
    int code;
    const char* reading;
};

class PinyinOneTest : public ::testing::TestWithParam<OneCase> {};

TEST_P(PinyinOneTest, Reading) {
    EXPECT_EQ(GetPinyinOne(GetParam().code), S(GetParam().reading));
}

INSTANTIATE_TEST_SUITE_P(Table, PinyinOneTest,
                         ::testing::Values(OneCase{"First", 1601, "a"}, OneCase{"A", 1602, "a"},
                                           OneCase{"Ai", 1603, "ai"}, OneCase{"AiLast", 1615, "ai"},
                                           OneCase{"An", 1616, "an"}, OneCase{"Ba", 1637, "ba"},
                                           OneCase{"Zhong", 5448, "zhong"}, OneCase{"Guo", 2590, "guo"},
                                           OneCase{"Ren", 4043, "ren"}, OneCase{"ColumnZero", 1600, "?"},
                                           OneCase{"ColumnPast94", 8795, "?"},
                                           OneCase{"GapAfterLevel1", 5590, "?"},
                                           OneCase{"SymbolRow", 101, "?"}, OneCase{"Negative", -1601, "?"}),
                         Label<OneCase>);

TEST(PinyinReadingsTest, Gb2312CodesFromQtCodec) {
    EXPECT_EQ(GetGb2312Code(QChar(0x4E2D)), 5448); // 中
    EXPECT_EQ(GetGb2312Code(QChar(0x4E1F)), 0);    // 丟: GBK only
    EXPECT_EQ(GetGb2312Code(QLatin1Char('a')), 0);
    QString out[9];
    EXPECT_EQ(GetPinyinReadings(QChar(0x4E1F), out, 9), 0);
    EXPECT_EQ(GetPinyinReadings(QLatin1Char('a'), out, 9), 0);
    ASSERT_EQ(GetPinyinReadings(QChar(0x884C), out, 9), 3); // 行 keeps the table's readings
    EXPECT_EQ(out[0], S("hang"));
}

// The rows that the table must give as they are.
TEST(PinyinTablesTest, TellingRows) {
    const std::map<const char*, const char*> rows{{"著", "zhao zhe zhu zhuo"},
                                                  {"哪", "na nai ne nei"},
                                                  {"么", "ma me yao"},
                                                  {"角", "jia jiao jue"},
                                                  {"脚", "jia jiao jue"},
                                                  {"和", "he hu huo"},
                                                  {"差", "cha chai ci"},
                                                  {"儿", "er r"},
                                                  {"的", "de di"},
                                                  {"长", "chang zhang"},
                                                  {"重", "chong zhong"},
                                                  {"行", "hang heng xing"},
                                                  {"囧", "jiong"},
                                                  {"Ａ", "a"},
                                                  {"！", "!"},
                                                  {"【", "["}};
    for (const auto& row : rows) {
        QString out[9];
        const int n = GetMultiPinyin(S(row.first).at(0), out, 9);
        EXPECT_EQ(QStringList(out, out + n).join(QLatin1Char(' ')), S(row.second)) << row.first;
    }
    QString one[1];
    EXPECT_EQ(GetMultiPinyin(QChar(0x884C), one, 1), 1); // never past max
    EXPECT_EQ(GetMultiPinyin(QChar(0x4E2D), one, 1), 0); // 中 has one reading
}

// The polyphonic characters have two readings each, but for eleven with three and two with four.
TEST(PinyinTablesTest, PolyphonicRowsByReadingCount) {
    const QString polyphonic = S(
        "么乐乘乾了什仔会传伯似俊俩倘儿凸凹凿刹削剥劲勒匙区单卜卡厦参吓呐呢和咖咱哪嚼圈地堕堡堤塞壳奇娜宛宿寻屏崖差"
        "度弹强徊得恶扒抹拓择提攒暴曝曾朝朴柏栖校核棱模没泊泌洗淆漆澄瀑熟爪琶畜番的盛省着砌秘称粘系纤约纶给络绰脉脚"
        "臂臭般色茄落著薄藏血行见觉角解说谁调贾趣蹊车轧转还这迫那都酵重长阿陆降露颈龟");
    ASSERT_EQ(polyphonic.size(), 144);
    std::map<int, int> rowsByCount;
    for (const QChar c : polyphonic) {
        QString out[9];
        ++rowsByCount[GetMultiPinyin(c, out, 9)];
    }
    EXPECT_EQ(rowsByCount, (std::map<int, int>{{2, 131}, {3, 11}, {4, 2}}));
}

// Golden: the generated tables as a whole. A change of the data or of the script shows up here.
TEST(PinyinTablesTest, Golden) {
    QCryptographicHash hash(QCryptographicHash::Md5);
    int codes = 0;
    int ranges = 0;
    QString previous;
    for (int code = 1601; code <= 8794; ++code) {
        const QString reading = GetPinyinOne(code);
        if (reading == QLatin1String("?"))
            continue;
        ++codes;
        if (code <= 5589 && reading != previous)
            ++ranges;
        previous = reading;
        hash.addData(QString::number(code).toLatin1() + '=' + reading.toLatin1() + '\n');
    }
    int rows = 0;
    for (uint u = 0; u < 0x10000; ++u) {
        QString out[9];
        const int n = GetMultiPinyin(QChar(u), out, 9);
        rows += n > 0;
        for (int i = 0; i < n; ++i)
            hash.addData(QString::number(u).toLatin1() + ':' + out[i].toLatin1() + '\n');
    }
    EXPECT_EQ(codes, 6763); // every character of GB2312 has a reading
    EXPECT_EQ(ranges, 397);
    EXPECT_EQ(rows, 224);
    EXPECT_EQ(hash.result().toHex().toStdString(), "4ca63997d7b8d0c7bba04fefd83f2f75");
}

TEST(PinyinTablesTest, EveryGb2312CharacterHasAReading) {
    int found = 0;
    QString out[9];
    for (uint u = 0x80; u < 0x10000; ++u) {
        const int code = GetGb2312Code(QChar(u));
        if ((code >= 1601 && code <= 5589) || (code >= 5601 && code <= 8794)) {
            ++found;
            EXPECT_GT(GetPinyinReadings(QChar(u), out, 9), 0) << u;
        }
    }
    EXPECT_EQ(found, 6763);
}

} // namespace
