// The folder views and their manager without a core: tiles in arrival order, selection by click
// and rubber band, the context menus, the name editor's refusals, the history and its buttons, an
// empty clipboard, and the properties dialog of an item the core does not know.
#include "main/CFileOptions.h"
#include "main/CImageListDelegate.h"
#include "main/CImageListView.h"
#include "main/CImageListViewMgr.h"
#include "main/CListWidget.h"
#include "ModalHook.h"
#include "ViewFixture.h"

#include "support/UiWait.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <vector>

namespace {

const QString kFolder = QStringLiteral("/m/docs/");

class TileTest : public ViewFixture {};

TEST_F(TileTest, TilesKeepTheirArrivalOrderAndAFillRemovesWhatItLacks) {
    Add(kFolder, QStringLiteral("b.txt"));
    Add(kFolder, QStringLiteral("a.txt"));
    Add(kFolder, QStringLiteral("sub"), true);
    Add(kFolder, QStringLiteral("b.txt")); // a refresh keeps its place
    CImageListView* view = mgr->getImageListView(kFolder);
    EXPECT_EQ(Names(view), L({"b.txt", "a.txt", "sub"}));

    mgr->fill(kFolder, {Record(kFolder, QStringLiteral("sub"), true), Record(kFolder, QStringLiteral("c.txt"))});
    EXPECT_EQ(Names(view), L({"sub", "c.txt"}));
    EXPECT_EQ(view->findItem(kFolder + QStringLiteral("a.txt")), nullptr);
    mgr->fill(kFolder, {});
    EXPECT_TRUE(Names(view).isEmpty());
}

TEST_F(TileTest, RemovingAnyTileEmptiesTheSelection) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        Add(kFolder, QString::fromUtf8(name));
    Show(kFolder);
    CImageListView* view = mgr->getImageListView(kFolder);
    Click(Tile(kFolder, "a.txt"));
    ASSERT_EQ(view->getCurSelectList(), L({"a.txt"}));
    EXPECT_TRUE(Tile(kFolder, "a.txt")->isSelected());
    mgr->del(kFolder, kFolder + QStringLiteral("c.txt"));
    EXPECT_TRUE(view->getCurSelectList().isEmpty());
    EXPECT_FALSE(Tile(kFolder, "a.txt")->isSelected());
    EXPECT_EQ(Names(view), L({"a.txt", "b.txt"}));
}

TEST_F(TileTest, AClickSelectsOnlyThatTileAndAFolderShowsTheFolderPicture) {
    Add(kFolder, QStringLiteral("a.txt"));
    Add(kFolder, QStringLiteral("sub"), true);
    Show(kFolder);
    Click(Tile(kFolder, "a.txt"));
    Click(Tile(kFolder, "sub"));
    EXPECT_EQ(mgr->getCurSelectList(), L({"sub"}));
    EXPECT_FALSE(Tile(kFolder, "a.txt")->isSelected());

    // The folder's picture is painted in the middle of its tile's top.
    CImageListView* view = mgr->getImageListView(kFolder);
    const QImage shown = view->grid()->viewport()->grab().toImage();
    const QRect icon = CImageListDelegate::IconRect(view->tileRect(Tile(kFolder, "sub")));
    EXPECT_EQ(icon.size(), QSize(48, 48));
    EXPECT_EQ(QColor(shown.pixel(icon.center())), QColor(250, 190, 60));
}

// ---- Rubber band ----

struct BandCase {
    const char* name;
    // Begin and end of the drag from the rectangles of the first four tiles.
    std::function<QPoint(const std::vector<QRect>&)> begin;
    std::function<QPoint(const std::vector<QRect>&)> end;
    QStringList selected;
};

void PrintTo(const BandCase& c, std::ostream* out) {
    *out << c.name;
}

class BandTest : public ViewFixture, public ::testing::WithParamInterface<BandCase> {};

TEST_P(BandTest, SelectsExactlyTheTilesTheBandTouches) {
    const BandCase& c = GetParam();
    for (const char* name : {"t1", "t2", "t3", "t4", "t5"})
        Add(kFolder, QString::fromUtf8(name));
    Show(kFolder);
    CImageListView* view = mgr->getImageListView(kFolder);
    std::vector<QRect> rects;
    for (CImageListItem* item : view->items())
        rects.push_back(view->tileRect(item));
    ASSERT_EQ(rects.size(), 5u);
    ASSERT_EQ(rects[3].top(), rects[0].top()) << "the first four tiles share a row";
    ASSERT_GT(rects[1].left(), rects[0].right() + 1) << "tiles are apart";
    ASSERT_FALSE(view->grid()->indexAt(c.begin(rects)).isValid()) << "the band starts on empty space";

    Click(Tile(kFolder, "t5")); // a band replaces the selection
    Drag(view->grid(), c.begin(rects), c.end(rects));
    QStringList selected = view->getCurSelectList();
    selected.sort();
    EXPECT_EQ(selected, c.selected);
    for (CImageListItem* item : view->items())
        EXPECT_EQ(item->isSelected(), c.selected.contains(item->getName())) << item->getName().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Bands, BandTest,
    ::testing::Values(
        BandCase{"FromEmptySpaceAcrossTheFirstThree",
                 [](const std::vector<QRect>& r) { return r[0].topLeft() - QPoint(4, 4); },
                 [](const std::vector<QRect>& r) { return r[2].center(); },
                 L({"t1", "t2", "t3"})},
        // A band starts on empty space: a press on a tile is the tile's.
        BandCase{"BackwardsAcrossTheFirstThree",
                 [](const std::vector<QRect>& r) {
                     return QPoint((r[2].right() + r[3].left()) / 2, r[2].bottom() + 2);
                 },
                 [](const std::vector<QRect>& r) { return r[0].topLeft() - QPoint(4, 4); },
                 L({"t1", "t2", "t3"})},
        BandCase{"TenPixelsWideOverTheFourth",
                 [](const std::vector<QRect>& r) { return QPoint(r[3].center().x() - 5, r[3].top() - 3); },
                 [](const std::vector<QRect>& r) { return QPoint(r[3].center().x() + 5, r[3].bottom() - 10); },
                 L({"t4"})},
        BandCase{"ZeroHeightSelectsNothing",
                 [](const std::vector<QRect>& r) { return QPoint(r[0].left() - 4, r[0].center().y()); },
                 [](const std::vector<QRect>& r) { return QPoint(r[3].right(), r[0].center().y()); },
                 QStringList()},
        BandCase{"ZeroWidthSelectsNothing",
                 [](const std::vector<QRect>& r) { return QPoint(r[1].center().x(), r[1].top() - 4); },
                 [](const std::vector<QRect>& r) { return QPoint(r[1].center().x(), r[1].bottom()); },
                 QStringList()}),
    [](const ::testing::TestParamInfo<BandCase>& info) { return std::string(info.param.name); });

// ---- Context menus ----

class MenuTest : public ViewFixture {
protected:
    void SetUp() override {
        ViewFixture::SetUp();
        Add(kFolder, QStringLiteral("a.txt"));
        Add(kFolder, QStringLiteral("sub"), true);
        Show(kFolder);
    }
    ModalHook hook;
};

TEST_F(MenuTest, AFileOffersEveryEntryAndAFolderInTheSelectionHidesCopyAndHistory) {
    Click(Tile(kFolder, "a.txt"));
    RightClick(Tile(kFolder, "a.txt"));
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() == 1; }, 10000));
    EXPECT_EQ(hook.menus[0], L({"剪切", "复制", "重命名", "下载", "历史版本", "属性"}));

    // A right click outside the selection makes that tile the selection: the menu acts on it.
    Click(Tile(kFolder, "sub"));
    RightClick(Tile(kFolder, "a.txt"));
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() == 2; }, 10000));
    EXPECT_EQ(hook.menus[1], L({"剪切", "复制", "重命名", "下载", "历史版本", "属性"}));
    EXPECT_EQ(mgr->getCurSelectList(), L({"a.txt"}));
    EXPECT_FALSE(Tile(kFolder, "sub")->isSelected());

    // Inside the selection it keeps the selection, folder and all.
    CImageListView* view = mgr->getImageListView(kFolder);
    view->addSelected({Tile(kFolder, "sub")});
    RightClick(Tile(kFolder, "a.txt"));
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() == 3; }, 10000));
    EXPECT_EQ(hook.menus[2], L({"剪切", "重命名", "下载", "属性"}));
    EXPECT_EQ(view->getCurSelectList().size(), 2);

    RightClickSpace(view->grid());
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() == 4; }, 10000));
    EXPECT_EQ(hook.menus[3], L({"粘贴"}));
}

TEST_F(MenuTest, ASearchViewOpensNoMenu) {
    const QString search = QStringLiteral("search|all|a/");
    _IMAGELISTITEMINFO_ hit = Record(search, QStringLiteral("a.txt"));
    hit.realFolder = kFolder;
    mgr->add(&hit);
    Show(search);
    RightClick(Tile(search, "a.txt"));
    RightClickSpace(mgr->getImageListView(search)->grid());
    // A folder view's menu afterwards: had the search view queued one, it would have come first.
    Show(kFolder);
    RightClickSpace(mgr->getImageListView(kFolder)->grid());
    ASSERT_TRUE(UiWaitFor([&] { return !hook.menus.isEmpty(); }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(hook.menus, QList<QStringList>({L({"粘贴"})}));
}

TEST_F(MenuTest, ATileRemovedWhileItsMenuIsOpenLeavesTheEntriesWithoutEffect) {
    CImageListItem* tile = Tile(kFolder, "a.txt");
    Click(tile);
    bool removed = false;
    hook.onMenu = [&](QMenu* menu) {
        // What the main window does on a deletion notification (2202) of the item.
        mgr->del(kFolder, kFolder + QStringLiteral("a.txt"));
        removed = mgr->getImageListView(kFolder)->findItem(kFolder + QStringLiteral("a.txt")) == nullptr;
        EXPECT_TRUE(ModalHook::Trigger(menu, QStringLiteral("重命名")));
        EXPECT_TRUE(ModalHook::Trigger(menu, QStringLiteral("历史版本")));
        EXPECT_TRUE(ModalHook::Trigger(menu, QStringLiteral("属性")));
    };
    RightClick(tile);
    ASSERT_TRUE(UiWaitFor([&] { return hook.menus.size() == 1; }, 10000));
    QCoreApplication::processEvents();
    EXPECT_TRUE(removed);
    EXPECT_TRUE(hook.properties.isEmpty());
    EXPECT_EQ(Names(mgr->getImageListView(kFolder)), L({"sub"}));
}

// ---- Renaming in place, refused before the core is asked ----

struct RefusedRename {
    const char* name;
    const char* text;
    const char* message;
};

void PrintTo(const RefusedRename& c, std::ostream* out) {
    *out << c.name;
}

class RenameRefusalTest : public ViewFixture, public ::testing::WithParamInterface<RefusedRename> {
protected:
    ModalHook hook;
};

TEST_P(RenameRefusalTest, ShowsWhyAndGivesTheTileItsNameBack) {
    const RefusedRename& c = GetParam();
    Add(kFolder, QStringLiteral("a.txt"));
    Show(kFolder);
    CImageListItem* tile = Tile(kFolder, "a.txt");
    StartRename(hook, tile);
    tile->editor()->setText(QString::fromUtf8(c.text));
    LoseFocus(tile->editor());
    ASSERT_TRUE(UiWaitFor([&] { return !hook.messages.isEmpty(); }, 10000));
    EXPECT_EQ(hook.messages, L({c.message}));
    EXPECT_EQ(tile->getName(), QStringLiteral("a.txt"));
    EXPECT_EQ(mgr->getImageListView(kFolder)->findItem(kFolder + QStringLiteral("a.txt")), tile);
    EXPECT_EQ(tile->editor(), nullptr) << "the name shows again";
}

INSTANTIATE_TEST_SUITE_P(
    Names, RenameRefusalTest,
    ::testing::Values(RefusedRename{"Slash", "x/y", "\"x/y\"不是有效的文件名。"},
                      RefusedRename{"Backslash", "x\\y", "\"x\\y\"不是有效的文件名。"},
                      RefusedRename{"Dot", ".", "\".\"不是有效的文件名。"},
                      RefusedRename{"DotDot", "..", "\"..\"不是有效的文件名。"},
                      RefusedRename{"ControlCharacter", "a\tb", "\"a\tb\"不是有效的文件名。"},
                      RefusedRename{"Empty", "", "\"a.txt\"重命名不能为空。"},
                      RefusedRename{"Blanks", "   ", "\"a.txt\"重命名不能为空。"}),
    [](const ::testing::TestParamInfo<RefusedRename>& info) { return std::string(info.param.name); });

TEST_F(TileTest, EnterReturnAndEscapeDoNotEndARenameAndTheSameNameSendsNothing) {
    ModalHook hook;
    Add(kFolder, QStringLiteral("a.txt"));
    Show(kFolder);
    CImageListItem* tile = Tile(kFolder, "a.txt");
    StartRename(hook, tile);
    QPointer<CLineEdit> editor = tile->editor();
    ASSERT_TRUE(editor && !editor->isHidden());
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(editor, &press);
        EXPECT_TRUE(press.isAccepted());
        EXPECT_EQ(tile->editor(), editor.data()) << key;
        EXPECT_FALSE(editor->isHidden()) << key;
    }
    LoseFocus(editor); // unchanged text
    QCoreApplication::processEvents();
    EXPECT_EQ(tile->editor(), nullptr);
    EXPECT_TRUE(hook.messages.isEmpty());
    EXPECT_EQ(tile->getName(), QStringLiteral("a.txt"));
}

// ---- History ----

class HistoryTest : public ViewFixture {
protected:
    void SetUp() override {
        ViewFixture::SetUp();
        mgr->init(&prior, &next);
    }
    QPushButton prior;
    QPushButton next;
};

TEST_F(HistoryTest, TheButtonsFollowTheEntries) {
    mgr->SetWorkPath(QStringLiteral("/m/docs"));
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("/m/docs/"));
    EXPECT_EQ(mgr->addLinkedList(mgr->GetWorkPath()), 1);
    EXPECT_EQ(mgr->history(), L({"/m/docs"}));
    EXPECT_FALSE(prior.isEnabled());
    EXPECT_FALSE(next.isEnabled());
    EXPECT_EQ(mgr->addLinkedList(QStringLiteral("/m/docs")), 0) << "the same entry again";

    mgr->SetWorkPath(QStringLiteral("/m/docs/sub/"));
    mgr->addLinkedList(mgr->GetWorkPath());
    EXPECT_TRUE(prior.isEnabled());
    EXPECT_FALSE(next.isEnabled());

    mgr->ClickPreviousBtn();
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("/m/docs/"));
    EXPECT_FALSE(prior.isEnabled());
    EXPECT_TRUE(next.isEnabled());

    // At the first entry prior moves nothing and asks for no listing.
    const QString last = mgr->GetLastWorkPath();
    mgr->ClickPreviousBtn();
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("/m/docs/"));
    EXPECT_EQ(mgr->GetLastWorkPath(), last);
    EXPECT_EQ(mgr->GetCurLinkedList(), 0);

    mgr->ClickNextBtn();
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("/m/docs/sub/"));
    EXPECT_TRUE(prior.isEnabled());
    EXPECT_FALSE(next.isEnabled());

    // A new step after going back drops the forward entries.
    mgr->ClickPreviousBtn();
    mgr->addLinkedList(QStringLiteral("/m/other/"));
    EXPECT_EQ(mgr->history(), L({"/m/docs", "/m/other"}));
    EXPECT_FALSE(next.isEnabled());
}

TEST_F(HistoryTest, ASearchIsAStepThatRemembersWhereItStarted) {
    mgr->SetWorkPath(QStringLiteral("/m/docs/"));
    mgr->addLinkedList(mgr->GetWorkPath());
    mgr->Search(QString(), true);
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("/m/docs/")) << "an empty keyword searches nothing";
    mgr->Search(QStringLiteral("abc"), true);
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|current|abc/"));
    EXPECT_EQ(mgr->GetLastWorkPath(), QStringLiteral("/m/docs/"));
    EXPECT_EQ(mgr->GetSearchFolder(), QStringLiteral("/m/docs/"));
    mgr->Search(QStringLiteral("xyz"), false);
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|all|xyz/"));
    EXPECT_EQ(mgr->GetSearchFolder(), QStringLiteral("/m/docs/")) << "a search from a search keeps the folder";
    EXPECT_EQ(mgr->history(), L({"/m/docs", "search|current|abc", "search|all|xyz"}));

    mgr->ClickPreviousBtn();
    EXPECT_EQ(mgr->GetWorkPath(), QStringLiteral("search|current|abc/"));
    EXPECT_EQ(mgr->GetSearchFolder(), QStringLiteral("/m/docs/"));
    Show(mgr->GetWorkPath());
    EXPECT_TRUE(mgr->getImageListView(QStringLiteral("search|current|abc/"))->grid()->isVisible());
    EXPECT_FALSE(mgr->getImageListView(QStringLiteral("/m/docs/"))->grid()->isVisible());
}

TEST_F(HistoryTest, OnlyTheWorkPathsViewIsShown) {
    Add(QStringLiteral("/m/a/"), QStringLiteral("x"));
    Add(QStringLiteral("/m/b/"), QStringLiteral("y"));
    mgr->SetWorkPath(QStringLiteral("/m/a/"));
    mgr->BeginItemUpdate();
    mgr->EndItemUpdate();
    mgr->SetWorkPath(QStringLiteral("/m/b/"));
    mgr->BeginItemUpdate();
    mgr->EndItemUpdate();
    EXPECT_FALSE(mgr->getImageListView(QStringLiteral("/m/a/"))->grid()->isVisible());
    EXPECT_TRUE(mgr->getImageListView(QStringLiteral("/m/b/"))->grid()->isVisible());
    EXPECT_TRUE(mgr->removeall());
    EXPECT_EQ(mgr->getImageListView(QStringLiteral("/m/a/"))->items().size(), 0);
}

// ---- Clipboard without a core ----

TEST_F(TileTest, APasteWithAnEmptyClipboardSaysSo) {
    ModalHook hook;
    Show(kFolder);
    mgr->callbackFromListView(CImageListViewMgr::paste, mgr->getImageListView(kFolder), nullptr);
    EXPECT_EQ(hook.messages, L({"没有需要粘贴的文件"}));
}

// ---- Properties of an unknown item ----

TEST(PropertiesDialog, AnItemTheCoreDoesNotKnowShowsItsNameAndNoValues) {
    CFileOptions dialog;
    dialog.updateInfo(QStringLiteral("/m/docs/x.txt"));
    auto text = [&](const char* name) {
        auto* label = dialog.findChild<QLabel*>(QString::fromLatin1(name));
        EXPECT_NE(label, nullptr) << name;
        return label ? label->text() : QStringLiteral("?");
    };
    EXPECT_EQ(text("label_wndtitle"), QStringLiteral("x.txt属性"));
    EXPECT_EQ(text("label_filename"), QStringLiteral("x.txt"));
    for (const char* value : {"lable_filetype", "label_filedesc", "label_filepath", "label_filesize",
                              "label_createtime", "label_modifytime"})
        EXPECT_EQ(text(value), QString()) << value;
    EXPECT_EQ(dialog.size(), QSize(400, 441));
}

TEST(PropertiesDialog, BothCloseControlsCloseIt) {
    for (const char* control : {"pushButton", "closebtn"}) {
        CFileOptions dialog;
        const int stillOpen = -2;
        QTimer::singleShot(0, &dialog, [&] {
            auto* button = dialog.findChild<QPushButton*>(QString::fromLatin1(control));
            EXPECT_NE(button, nullptr) << control;
            if (button)
                button->click();
            if (dialog.isVisible())
                dialog.done(stillOpen);
        });
        EXPECT_NE(dialog.exec(), stillOpen) << control;
    }
}

} // namespace
