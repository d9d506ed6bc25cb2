// The folder view's grid: tile names that fit their tile, changes that reach the grid in batches
// while the view's own table follows at once, the painted looks of a selected and a hovered tile,
// the whole name in the tool tip, and a name editor that exists only while a rename runs.
#include "ModalHook.h"
#include "ViewFixture.h"
#include "main/CImageListDelegate.h"
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"
#include "main/CListWidget.h"

#include "support/UiWait.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHoverEvent>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <ostream>

namespace {

const QString kFolder = QStringLiteral("/m/docs/");
const QChar kEllipsis(0x2026);

// ---- Names ----

struct NameCase {
    const char* name;
    const char* text;
    bool whole; // shown whole, else cut with an ellipsis on the last line that fits
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << c.name;
}

class NameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameTest, WrapsWithinTheTileAndElidesTheLastLineThatFits) {
    const NameCase& c = GetParam();
    const QFont font = CImageListDelegate::NameFont();
    const QFontMetrics metrics(font);
    const QRect area = CImageListDelegate::NameRect(QRect(0, 0, 74, 121));
    const int fit = area.height() / metrics.lineSpacing();
    ASSERT_GE(fit, 2);
    const QString name = QString::fromUtf8(c.text);
    const QStringList lines = CImageListDelegate::NameLines(name, font, area.width(), fit);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_LE(lines.size(), fit);
    for (const QString& line : lines) {
        EXPECT_LE(metrics.horizontalAdvance(line), area.width()) << line.toStdString();
        // A character of two halves is never cut in two.
        EXPECT_FALSE(line.front().isLowSurrogate()) << line.toStdString();
        EXPECT_FALSE(line.back().isHighSurrogate()) << line.toStdString();
    }
    QString shown = lines.join(QString());
    if (c.whole) {
        EXPECT_EQ(shown, name);
        return;
    }
    EXPECT_EQ(lines.size(), fit);
    ASSERT_TRUE(shown.endsWith(kEllipsis)) << shown.toStdString();
    shown.chop(1);
    EXPECT_TRUE(name.startsWith(shown)) << shown.toStdString();
    EXPECT_GT(shown.size(), fit) << "every line holds part of the name";
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameTest,
    ::testing::Values(NameCase{"Short", "a.txt", true},
                      NameCase{"ChineseAndDigitsWrapWithinTheWidth", "文件00000.txt", true},
                      NameCase{"MixedKeepsItsExtension", "数据ABCDEFGHIJ.xlsx", true},
                      NameCase{"LongChineseIsElided",
                               "关于二〇二四年度预算调整的补充说明以及各部门执行情况汇总.docx", false},
                      NameCase{"NoPlaceToBreakIsElided", "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW",
                               false},
                      NameCase{"PairsStayWhole", "😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀", false}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

class GridTest : public ViewFixture {
protected:
    CImageListView* View() { return mgr->getImageListView(kFolder); }
    QAbstractItemModel* Model() { return View()->grid()->model(); }
    QString Key(int i) { return kFolder + QStringLiteral("f%1.txt").arg(i, 4, 10, QLatin1Char('0')); }
    void AddFile(int i) { Add(kFolder, QStringLiteral("f%1.txt").arg(i, 4, 10, QLatin1Char('0'))); }
};

TEST_F(GridTest, ArrivalsRefreshesAndRemovalsReachTheGridInOneBatchEach) {
    Show(kFolder);
    QSignalSpy inserted(Model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(Model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy relaid(Model(), &QAbstractItemModel::layoutChanged);
    QSignalSpy changed(Model(), &QAbstractItemModel::dataChanged);

    for (int i = 0; i < 1000; ++i)
        AddFile(i);
    EXPECT_NE(View()->findItem(Key(999)), nullptr) << "the view's table follows at once";
    EXPECT_EQ(Model()->rowCount(), 0) << "the grid with its batch";
    ASSERT_TRUE(UiWaitFor([&] { return Model()->rowCount() == 1000; }, 10000));
    EXPECT_EQ(inserted.count(), 1);

    // Every third tile goes, the one after each is refreshed.
    QStringList kept;
    for (int i = 0; i < 1000; ++i) {
        if (i % 3 == 0)
            mgr->del(kFolder, Key(i));
        else
            kept.append(QStringLiteral("f%1.txt").arg(i, 4, 10, QLatin1Char('0')));
        if (i % 3 == 1)
            AddFile(i);
    }
    EXPECT_EQ(View()->findItem(Key(0)), nullptr);
    ASSERT_TRUE(UiWaitFor([&] { return Model()->rowCount() == kept.size(); }, 10000));
    EXPECT_EQ(relaid.count(), 1);
    EXPECT_EQ(removed.count(), 0) << "one removal for the batch, not one per run of rows";
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(Names(View()), kept);
}

TEST_F(GridTest, ASelectedAndAHoveredTileArePaintedTintedAndFramed) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        Add(kFolder, QString::fromUtf8(name));
    Show(kFolder);
    Click(Tile(kFolder, "a.txt"));
    const QRect b = View()->tileRect(Tile(kFolder, "b.txt"));
    QHoverEvent hover(QEvent::HoverMove, b.center(), b.center() - QPoint(1, 1));
    QApplication::sendEvent(View()->grid()->viewport(), &hover);
    const QImage shown = View()->grid()->viewport()->grab().toImage();

    auto inside = [&](const char* name) {
        return QColor(shown.pixel(View()->tileRect(Tile(kFolder, name)).topLeft() + QPoint(3, 3)));
    };
    auto border = [&](const char* name) {
        return QColor(shown.pixel(View()->tileRect(Tile(kFolder, name)).topLeft()));
    };
    const QColor plain = inside("c.txt");
    auto tinted = [&](QColor tint) {
        const double a = 50.0 / 255.0;
        return QColor(int(plain.red() * (1 - a) + tint.red() * a + 0.5),
                      int(plain.green() * (1 - a) + tint.green() * a + 0.5),
                      int(plain.blue() * (1 - a) + tint.blue() * a + 0.5));
    };
    auto near = [](QColor x, QColor y) {
        return qAbs(x.red() - y.red()) <= 2 && qAbs(x.green() - y.green()) <= 2 &&
               qAbs(x.blue() - y.blue()) <= 2;
    };
    EXPECT_TRUE(near(inside("a.txt"), tinted(QColor(120, 247, 238)))) << inside("a.txt").name().toStdString();
    EXPECT_TRUE(near(inside("b.txt"), tinted(QColor(224, 247, 238)))) << inside("b.txt").name().toStdString();
    EXPECT_EQ(border("a.txt"), QColor(42, 195, 138));
    EXPECT_EQ(border("b.txt"), QColor(42, 195, 138));
    EXPECT_NE(border("c.txt"), QColor(42, 195, 138));
}

TEST_F(GridTest, TheToolTipHoldsTheWholeName) {
    const QString name = QStringLiteral("关于二〇二四年度预算调整的补充说明以及各部门执行情况汇总.docx");
    Add(kFolder, name);
    Show(kFolder);
    QString tip = Model()->index(0, 0).data(Qt::ToolTipRole).toString();
    EXPECT_GT(tip.count(QLatin1Char('\n')), 0) << "in lines";
    EXPECT_EQ(tip.remove(QLatin1Char('\n')), name);
}

TEST_F(GridTest, TheNameEditorLivesOnlyWhileARenameRuns) {
    ModalHook hook;
    Add(kFolder, QStringLiteral("a.txt"));
    Add(kFolder, QStringLiteral("b.txt"));
    Show(kFolder);
    CListWidget* grid = View()->grid();
    EXPECT_TRUE(grid->findChildren<CLineEdit*>().isEmpty());
    CImageListItem* tile = Tile(kFolder, "a.txt");
    ASSERT_NO_FATAL_FAILURE(StartRename(hook, tile));
    ASSERT_TRUE(UiWaitFor([&] { return grid->findChildren<CLineEdit*>().size() == 1; }, 10000));
    EXPECT_TRUE(CImageListDelegate::NameRect(View()->tileRect(tile)).contains(tile->editor()->geometry()));
    LoseFocus(tile->editor());
    EXPECT_TRUE(UiWaitFor([&] { return grid->findChildren<CLineEdit*>().isEmpty(); }, 10000));

    // A tile removed while its rename runs takes its editor along, and nothing is asked.
    tile = Tile(kFolder, "b.txt");
    ASSERT_NO_FATAL_FAILURE(StartRename(hook, tile));
    tile->editor()->setText(QStringLiteral("c.txt"));
    mgr->del(kFolder, kFolder + QStringLiteral("b.txt"));
    EXPECT_TRUE(UiWaitFor([&] { return grid->findChildren<CLineEdit*>().isEmpty(); }, 10000));
    EXPECT_EQ(Names(View()), L({"a.txt"}));
    EXPECT_TRUE(hook.messages.isEmpty());
}

} // namespace
