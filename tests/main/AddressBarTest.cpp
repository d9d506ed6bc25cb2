// The address bar without a core: display and real paths, the segments and their widths, the
// narrow bar, a click on a segment's name and the text form with typed paths. The mirror folder
// is a temporary folder here; the core is not started, so no segment has a drop-down.
#include "main/AddressItem.h"
#include "main/QtAddressBar.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLayout>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString kRootKey = QStringLiteral("全部文件");
const QString kSearchAll = QStringLiteral("搜索-全部文件：");
const QString kSearchCurrent = QStringLiteral("搜索-当前目录：");

// The segments of the bar in layout order (root level first), the back segment left out.
QList<AddressItem*> Segments(QtAddressBar& bar) {
    QList<AddressItem*> segments;
    QLayout* layout = bar.layout();
    for (int i = 2; i < layout->count() - 1; ++i)
        segments << qobject_cast<AddressItem*>(layout->itemAt(i)->widget());
    return segments;
}

AddressItem* BackSegment(QtAddressBar& bar) {
    return bar.layout()->count() > 1 ? qobject_cast<AddressItem*>(bar.layout()->itemAt(1)->widget()) : nullptr;
}

QStringList Names(QtAddressBar& bar) {
    QStringList names;
    for (AddressItem* item : Segments(bar))
        names << (item ? item->getText() : QStringLiteral("?"));
    return names;
}

QStringList VisibleNames(QtAddressBar& bar) {
    QStringList names;
    for (AddressItem* item : Segments(bar))
        if (!item->isHidden())
            names << item->getText();
    return names;
}

// What the segment's own painting draws, without any background.
QImage Painted(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QImage Arrow(const char* name) {
    QImage image(17, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.drawPixmap(QRect(0, 0, 17, 32), QPixmap(QStringLiteral(":/skin/main/addbar/") + QLatin1String(name)));
    return image;
}

class AddressBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // The mirror with docs/2024 and docs/2023, and a folder beside it.
        mirror = QDir(dir.path()).filePath(QStringLiteral("20001"));
        for (const char* folder : {"20001/docs/2024", "20001/docs/2023", "x"})
            ASSERT_TRUE(QDir(dir.path()).mkpath(QLatin1String(folder)));
        window.resize(900, 60);
        bar = new QtAddressBar(&window);
        bar->setGeometry(0, 0, 800, 34);
        bar->AddPathKey(kSearchAll, QStringLiteral("search|all|"), false);
        bar->AddPathKey(kSearchCurrent, QStringLiteral("search|current|"), false);
        bar->AddPathKey(kRootKey, mirror, true);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void TearDown() override { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    int SegmentWidth(const QString& name) { return bar->fontMetrics().horizontalAdvance(name) + 8 + 17; }

    // The left click on the bar's empty part at its right end.
    void ClickWhiteSpace() { QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() - 5, 16)); }

    void PressReturnWith(const QString& text) {
        ClickWhiteSpace();
        bar->setText(text);
        QTest::keyClick(bar, Qt::Key_Return);
    }

    QTemporaryDir dir;
    QString mirror;
    QWidget window;
    QtAddressBar* bar = nullptr;
};

TEST_F(AddressBarTest, DisplayAndRealPathsReplaceOnlyTheLeadingPrefix) {
    struct Case {
        QString real;
        bool known;
        QString display;
    };
    const Case cases[] = {
        {mirror + QStringLiteral("/docs/"), true, kRootKey + QStringLiteral("/docs/")},
        {mirror, true, kRootKey},
        {QStringLiteral("search|all|abc/"), true, kSearchAll + QStringLiteral("abc/")},
        {QStringLiteral("search|current|a/b/"), true, kSearchCurrent + QStringLiteral("a/b/")},
        // A folder named like a display text, or like the mirror, stays what it is.
        {mirror + QStringLiteral("/全部文件/"), true, kRootKey + QStringLiteral("/全部文件/")},
        {mirror + QStringLiteral("/a") + mirror + QStringLiteral("/"), true,
         kRootKey + QStringLiteral("/a") + mirror + QStringLiteral("/")},
        // Real prefixes are matched with case.
        {QStringLiteral("SEARCH|all|abc/"), false, QStringLiteral("SEARCH|all|abc/")},
        {QStringLiteral("/elsewhere/"), false, QStringLiteral("/elsewhere/")},
    };
    for (const Case& c : cases) {
        QString path = c.real;
        EXPECT_EQ(bar->getVirtualPath(path), c.known) << c.real.toStdString();
        EXPECT_EQ(path, c.display) << c.real.toStdString();
        EXPECT_EQ(bar->toRealPath(c.display), c.known ? c.real : c.display) << c.real.toStdString();
    }
}

TEST_F(AddressBarTest, ShowsOneSegmentPerLevel) {
    struct Case {
        QString path;
        QStringList names;
        QStringList displayPaths;
    };
    const QString deep = mirror + QStringLiteral("/docs/2024/");
    QString backslashed = deep;
    backslashed.replace(QLatin1Char('/'), QLatin1Char('\\'));
    const QStringList deepNames{kRootKey, QStringLiteral("docs"), QStringLiteral("2024")};
    const QStringList deepPaths{kRootKey + QStringLiteral("/"), kRootKey + QStringLiteral("/docs/"),
                                kRootKey + QStringLiteral("/docs/2024/")};
    const Case cases[] = {
        {deep, deepNames, deepPaths},
        {backslashed, deepNames, deepPaths},
        {mirror + QStringLiteral("/"), {kRootKey}, {kRootKey + QStringLiteral("/")}},
        {QStringLiteral("search|all|abc/"), {kSearchAll + QStringLiteral("abc")}, {kSearchAll + QStringLiteral("abc/")}},
        {QStringLiteral("search|current|a/b/"),
         {kSearchCurrent + QStringLiteral("a"), QStringLiteral("b")},
         {kSearchCurrent + QStringLiteral("a/"), kSearchCurrent + QStringLiteral("a/b/")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        bar->UpdateCurrentPath(c.path);
        EXPECT_EQ(Names(*bar), c.names);
        EXPECT_EQ(VisibleNames(*bar), c.names);
        EXPECT_TRUE(bar->text().isEmpty());
        // The folder icon, the back segment, the segments and the stretch.
        EXPECT_EQ(bar->layout()->count(), c.names.size() + 3);
        const QList<AddressItem*> segments = Segments(*bar);
        for (int i = 0; i < segments.size(); ++i) {
            EXPECT_EQ(segments[i]->getPath(), c.displayPaths[i]);
            EXPECT_EQ(segments[i]->size(), QSize(SegmentWidth(c.names[i]), 32)) << c.names[i].toStdString();
        }
        ASSERT_NE(BackSegment(*bar), nullptr);
        EXPECT_EQ(BackSegment(*bar)->size(), QSize(17, 32));
        EXPECT_EQ(Painted(BackSegment(*bar)), Arrow("arrow_right.png"));
    }
}

TEST_F(AddressBarTest, APathNoKeyMatchesShowsNoSegments) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/"));
    for (const QString& path : {QStringLiteral("/elsewhere/docs/"), QString()}) {
        bar->UpdateCurrentPath(path);
        EXPECT_EQ(bar->layout()->count(), 0) << path.toStdString();
    }
}

TEST_F(AddressBarTest, ANarrowBarKeepsTheDeepestSegmentsThatFit) {
    const QString path = mirror + QStringLiteral("/docs/2024/");
    const int deepest = SegmentWidth(QStringLiteral("2024"));
    const int middle = SegmentWidth(QStringLiteral("docs"));
    const int all = deepest + middle + SegmentWidth(kRootKey);
    // Built at a width, and resized to it from a wide bar: the same segments show.
    struct Case {
        const char* what;
        int width;
        QStringList visible;
        bool backArrow;
    };
    const Case cases[] = {
        {"room for the deepest two", 34 + deepest + middle + 1, {QStringLiteral("docs"), QStringLiteral("2024")}, true},
        {"used equal to the budget hides that level", 34 + deepest + middle, {QStringLiteral("2024")}, true},
        {"room for no level", 34 + deepest, {}, true},
        {"room for all", 34 + all + 1, {kRootKey, QStringLiteral("docs"), QStringLiteral("2024")}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bar->resize(c.width, 34);
        bar->UpdateCurrentPath(path);
        EXPECT_EQ(VisibleNames(*bar), c.visible);
        EXPECT_EQ(Painted(BackSegment(*bar)), Arrow(c.backArrow ? "arrow_back.png" : "arrow_right.png"));
        bar->resize(800, 34);
        EXPECT_EQ(VisibleNames(*bar).size(), 3);
        EXPECT_EQ(Painted(BackSegment(*bar)), Arrow("arrow_right.png"));
        bar->resize(c.width, 34);
        EXPECT_EQ(VisibleNames(*bar), c.visible);
        EXPECT_EQ(Painted(BackSegment(*bar)), Arrow(c.backArrow ? "arrow_back.png" : "arrow_right.png"));
    }
}

TEST_F(AddressBarTest, At150PixelsOnlyTheDeepestSegmentsShow) {
    bar->resize(150, 34);
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    const QStringList visible = VisibleNames(*bar);
    ASSERT_LT(visible.size(), 3);
    EXPECT_TRUE(visible.isEmpty() || visible.last() == QStringLiteral("2024"));
    EXPECT_EQ(Painted(BackSegment(*bar)), Arrow("arrow_back.png"));
    bar->resize(800, 34);
    EXPECT_EQ(VisibleNames(*bar), QStringList({kRootKey, QStringLiteral("docs"), QStringLiteral("2024")}));
    EXPECT_EQ(Painted(BackSegment(*bar)), Arrow("arrow_right.png"));
}

TEST_F(AddressBarTest, AClickOnANameGoesToThatLevel) {
    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);
    const QStringList expected{mirror + QStringLiteral("/"), mirror + QStringLiteral("/docs/"),
                               mirror + QStringLiteral("/docs/2024/")};
    for (int i = 0; i < 3; ++i) {
        bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
        QTest::mouseClick(Segments(*bar)[i], Qt::LeftButton, Qt::NoModifier, QPoint(3, 16));
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(changed.takeFirst().at(0).toString(), expected[i]);
    }
    // Other buttons, and the arrow of a segment without a drop-down, go nowhere.
    AddressItem* docs = Segments(*bar)[1];
    QTest::mouseClick(docs, Qt::RightButton, Qt::NoModifier, QPoint(3, 16));
    QTest::mouseClick(docs, Qt::LeftButton, Qt::NoModifier, QPoint(docs->width() - 8, 16));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_FALSE(docs->isChecked());
}

TEST_F(AddressBarTest, AClickOnTheEmptyPartShowsThePathAsSelectedText) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    ClickWhiteSpace();
    EXPECT_EQ(bar->layout()->count(), 0);
    EXPECT_EQ(bar->text(), kRootKey + QStringLiteral("/docs/2024/"));
    EXPECT_EQ(bar->selectedText(), bar->text());
    ClickWhiteSpace();
    EXPECT_FALSE(bar->hasSelectedText());
}

// Without a core no folder below the mirror's root is known: only the root and display paths go
// anywhere (the folders of the index: AddressBarCoreTest).
TEST_F(AddressBarTest, ReturnGoesOnlyToTheRootOrDisplayPathsWithoutACore) {
    ASSERT_TRUE(QFile::link(QDir::tempPath(), mirror + QStringLiteral("/docs/link")));
    const QString deep = mirror + QStringLiteral("/docs/2024/");
    struct Case {
        QString typed;
        QString goesTo; // empty: refused
    };
    const Case cases[] = {
        {kRootKey, mirror + QStringLiteral("/")},
        {mirror, mirror + QStringLiteral("/")},
        {kSearchAll + QStringLiteral("abc"), QStringLiteral("search|all|abc/")},
        {kRootKey + QStringLiteral("/docs/2024/"), QString()}, // on the disk only
        {QStringLiteral("/tmp"), QString()},
        {mirror + QStringLiteral("/../x"), QString()},
        {kRootKey + QStringLiteral("/../x"), QString()},
        {QStringLiteral("nowhere"), QString()},
        {QStringLiteral(".."), QString()},
        {kRootKey + QStringLiteral("/nowhere/"), QString()},
        {mirror + QStringLiteral("/docs/link"), QString()},
        {mirror + QStringLiteral("x"), QString()},
        {QString(), QString()},
    };
    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        bar->UpdateCurrentPath(deep);
        PressReturnWith(c.typed);
        EXPECT_TRUE(bar->text().isEmpty());
        if (c.goesTo.isEmpty()) {
            EXPECT_EQ(changed.count(), 0);
            EXPECT_EQ(Names(*bar), QStringList({kRootKey, QStringLiteral("docs"), QStringLiteral("2024")}));
        } else {
            ASSERT_EQ(changed.count(), 1);
            EXPECT_EQ(changed.takeFirst().at(0).toString(), c.goesTo);
            QString display = c.goesTo;
            ASSERT_TRUE(bar->getVirtualPath(display));
            EXPECT_EQ(Segments(*bar).last()->getPath(), display);
        }
        changed.clear();
    }
}

TEST_F(AddressBarTest, TheKeypadsEnterActsAsReturnAndFocusOutGoesNowhere) {
    const QString deep = mirror + QStringLiteral("/docs/2024/");
    bar->UpdateCurrentPath(deep);
    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);

    ClickWhiteSpace();
    bar->setText(kRootKey);
    QTest::keyClick(bar, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.takeFirst().at(0).toString(), mirror + QStringLiteral("/"));
    bar->UpdateCurrentPath(deep);

    ClickWhiteSpace();
    bar->setText(mirror + QStringLiteral("/docs/2023"));
    // The window losing activation, or a pop-up, leaves the text for when the focus returns.
    for (Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
        QFocusEvent passing(QEvent::FocusOut, reason);
        QApplication::sendEvent(bar, &passing);
        EXPECT_EQ(bar->text(), mirror + QStringLiteral("/docs/2023"));
    }

    QFocusEvent focusOut(QEvent::FocusOut, Qt::MouseFocusReason);
    QApplication::sendEvent(bar, &focusOut);
    EXPECT_TRUE(bar->text().isEmpty());
    EXPECT_EQ(Names(*bar), QStringList({kRootKey, QStringLiteral("docs"), QStringLiteral("2024")}));
    EXPECT_EQ(changed.count(), 0);

    // With the segments on show a focus change leaves them be.
    const QList<AddressItem*> before = Segments(*bar);
    QApplication::sendEvent(bar, &focusOut);
    EXPECT_EQ(Segments(*bar), before);
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(AddressBarTest, SegmentsAreDeletedOnlyLater) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/"));
    QPointer<AddressItem> docs = Segments(*bar)[1];
    // A listener that shows the chosen folder at once, as the main window does.
    QObject::connect(bar, &QtAddressBar::SCurrentPathChanged, bar, [this](const QString& path) { bar->UpdateCurrentPath(path); });
    QTest::mouseClick(docs, Qt::LeftButton, Qt::NoModifier, QPoint(3, 16));
    ASSERT_FALSE(docs.isNull());
    EXPECT_TRUE(docs->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(docs.isNull());
    EXPECT_EQ(Names(*bar), QStringList({kRootKey, QStringLiteral("docs")}));
}

} // namespace
