// The two-part bars, the drawing and text helpers, and the rubber band of a selection.
#include "ColorPrint.h"
#include "widgets/CMaskWidget.h"
#include "widgets/CProgressBar.h"
#include "widgets/CUserInfoButton.h"
#include "widgets/UICommonMethod.h"

#include <QDir>
#include <QLabel>
#include <QPainter>

#include <functional>
#include <gtest/gtest.h>

namespace {

const QColor kTrack(228, 228, 228);
const QColor kFill(42, 195, 138);

struct BarCase {
    const char* name;
    bool userButton; // the user button's 70-pixel bar, else a 200 x 4 progress bar
    int percent;
    int fillColumns;
};

void PrintTo(const BarCase& c, std::ostream* out) {
    *out << c.name;
}

class BarTest : public ::testing::TestWithParam<BarCase> {};

TEST_P(BarTest, FillsItsShareOfTheBar) {
    const BarCase& c = GetParam();
    QImage image;
    QRect bar;
    if (c.userButton) {
        // No face: its place stays empty and the rest is painted where it would be with one.
        CUserInfoButton button(QStringLiteral("no-such-face.png"), QStringLiteral(":/skin/main/prg_volume_info.png"));
        button.resize(139, 104);
        button.SetPos(c.percent);
        image = button.grab().toImage();
        bar = QRect(61, 63, 70, 5);
        const QRgb background = image.pixel(0, 0);
        for (int x = 10; x < 48; ++x) {
            for (int y = 33; y < 71; ++y)
                ASSERT_EQ(image.pixel(x, y), background) << "face area at " << x << ", " << y;
        }
        EXPECT_EQ(image.pixel(bar.right() + 1, bar.top()), background);
    } else {
        CProgressBar progress(QStringLiteral(":/skin/main/progressbar.png"));
        progress.resize(200, 4);
        progress.SetPos(c.percent);
        image = progress.grab().toImage();
        bar = QRect(0, 0, 200, 4);
    }
    for (int x = bar.left(); x <= bar.right(); ++x) {
        const QColor expected = x - bar.left() < c.fillColumns ? kFill : kTrack;
        for (int y = bar.top(); y <= bar.bottom(); ++y)
            ASSERT_EQ(QColor(image.pixel(x, y)), expected) << "at " << x << ", " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Bars, BarTest,
                         ::testing::Values(BarCase{"ProgressHalf", false, 50, 100},
                                           BarCase{"ProgressEmptyShowsOneColumn", false, 0, 1},
                                           BarCase{"ProgressOverFullIsFull", false, 101, 200},
                                           BarCase{"UserBelowZeroShowsOneColumn", true, -5, 1},
                                           BarCase{"UserOverFullIsFull", true, 250, 70}),
                         [](const ::testing::TestParamInfo<BarCase>& info) { return std::string(info.param.name); });

TEST(BarTest, PartialRepaintShowsItsPartOfTheWholeBar) {
    CProgressBar progress(QStringLiteral(":/skin/main/progressbar.png"));
    progress.resize(200, 4);
    progress.SetPos(50);
    QImage image(200, 4, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    // Only the right half, which lands at the image's left edge.
    progress.render(&image, QPoint(), QRegion(100, 0, 100, 4), QWidget::RenderFlags());
    EXPECT_EQ(QColor(image.pixel(0, 2)), kTrack);
    EXPECT_EQ(QColor(image.pixel(99, 2)), kTrack);
}

// A font whose letters all have one advance, and that advance.
QFont FixedPitchFont(int* advance) {
    QFont font(QStringLiteral("monospace"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(20);
    *advance = QFontMetrics(font).horizontalAdvance(QLatin1Char('a'));
    return font;
}

QString Break(double advances, const QString& text) {
    int advance = 0;
    QLabel label;
    label.setFont(FixedPitchFont(&advance));
    return UICommonMethod::StringBreak(&label, static_cast<int>(advances * advance), text);
}

// A 30 x 30 picture with a colour per corner, another for the centre and grey edges.
QString NinePatchPicture() {
    QImage image(30, 30, QImage::Format_ARGB32);
    image.fill(Qt::gray);
    QPainter painter(&image);
    painter.fillRect(0, 0, 10, 10, Qt::red);
    painter.fillRect(20, 0, 10, 10, Qt::green);
    painter.fillRect(0, 20, 10, 10, Qt::blue);
    painter.fillRect(20, 20, 10, 10, Qt::yellow);
    painter.fillRect(10, 10, 10, 10, Qt::magenta);
    painter.end();
    const QString path = QDir::current().filePath(QStringLiteral("nine.png"));
    return image.save(path) ? path : QString();
}

struct HelperCase {
    const char* name;
    std::function<void()> check;
};

void PrintTo(const HelperCase& c, std::ostream* out) {
    *out << c.name;
}

class HelperTest : public ::testing::TestWithParam<HelperCase> {};

TEST_P(HelperTest, Holds) {
    GetParam().check();
}

const QString kSix = QStringLiteral("abcdef");

INSTANTIATE_TEST_SUITE_P(
    Helpers, HelperTest,
    ::testing::Values(
        HelperCase{"BreakAtThreeAdvances", [] { EXPECT_EQ(Break(3, kSix), QStringLiteral("abc\ndef\n")); }},
        HelperCase{"BreakAtThreeAndAHalfAdvances", [] { EXPECT_EQ(Break(3.5, kSix), QStringLiteral("abcd\nef")); }},
        HelperCase{"FittingTextUnchanged", [] { EXPECT_EQ(Break(6, kSix), kSix); }},
        HelperCase{"SupplementaryCharacterNotSplit",
                   [] {
                       const QString text = QStringLiteral("ab") + QString::fromUcs4(U"\U0001F600") + QStringLiteral("cdef");
                       const QString broken = Break(1, text);
                       EXPECT_EQ(QString(broken).remove(QLatin1Char('\n')), text);
                       EXPECT_TRUE(broken.contains(QString::fromUcs4(U"\U0001F600")));
                   }},
        HelperCase{"LatinNameIsAscii", [] { EXPECT_TRUE(UICommonMethod::StrIsInASCII(QStringLiteral("Report-2.v1.txt"))); }},
        HelperCase{"ChineseNameIsNot", [] { EXPECT_FALSE(UICommonMethod::StrIsInASCII(QStringLiteral("报告.txt"))); }},
        HelperCase{"EmptyTextIsAscii", [] { EXPECT_TRUE(UICommonMethod::StrIsInASCII(QString())); }},
        HelperCase{"TabIsNot", [] { EXPECT_FALSE(UICommonMethod::StrIsInASCII(QStringLiteral("a\tb"))); }},
        HelperCase{"RoundPicture",
                   [] {
                       QPixmap source(100, 60);
                       source.fill(Qt::red);
                       const QImage round = UICommonMethod::PixmapToRound(source, 19).toImage();
                       ASSERT_EQ(round.size(), QSize(38, 38));
                       EXPECT_EQ(qAlpha(round.pixel(0, 0)), 0);
                       EXPECT_EQ(QColor(round.pixel(19, 19)), QColor(Qt::red));
                       QPixmap none;
                       EXPECT_TRUE(UICommonMethod::PixmapToRound(none, 19).isNull());
                   }},
        HelperCase{"NinePatchKeepsCornersAndStretchesTheRest",
                   [] {
                       QString file = NinePatchPicture();
                       const QImage result = UICommonMethod::NinePatch(file, 10, 10, 100, 60).toImage();
                       ASSERT_EQ(result.size(), QSize(100, 60));
                       EXPECT_EQ(QColor(result.pixel(5, 5)), QColor(Qt::red));
                       EXPECT_EQ(QColor(result.pixel(95, 5)), QColor(Qt::green));
                       EXPECT_EQ(QColor(result.pixel(5, 55)), QColor(Qt::blue));
                       EXPECT_EQ(QColor(result.pixel(95, 55)), QColor(Qt::yellow));
                       EXPECT_EQ(QColor(result.pixel(50, 30)), QColor(Qt::magenta));
                       EXPECT_EQ(QColor(result.pixel(50, 5)), QColor(Qt::gray));
                       // Corners wider than the picture allow: no picture rather than a torn one.
                       EXPECT_TRUE(UICommonMethod::NinePatch(file, 16, 10, 100, 60).isNull());
                   }}),
    [](const ::testing::TestParamInfo<HelperCase>& info) { return std::string(info.param.name); });

TEST(CMaskWidgetTest, DrawsTheBandBetweenItsPointsOnly) {
    CMaskWidget mask;
    mask.resize(100, 80);
    auto render = [&mask] {
        QImage image(100, 80, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        mask.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        return image;
    };
    auto drawn = [](const QImage& image) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)) != 0)
                    return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(mask.testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_TRUE(mask.testAttribute(Qt::WA_TranslucentBackground));
    mask.setBeginPoint(QPoint(0, 0));
    mask.setMovePoint(QPoint(50, 40));
    EXPECT_FALSE(drawn(render()));
    // Dragged up and to the left of the begin point.
    mask.setBeginPoint(QPoint(60, 50));
    mask.setMovePoint(QPoint(20, 10));
    const QImage image = render();
    EXPECT_GT(qAlpha(image.pixel(40, 10)), 0);
    EXPECT_GT(qAlpha(image.pixel(60, 30)), 0);
    EXPECT_EQ(qAlpha(image.pixel(40, 30)), 0);
    EXPECT_EQ(qAlpha(image.pixel(70, 30)), 0);
}

} // namespace
