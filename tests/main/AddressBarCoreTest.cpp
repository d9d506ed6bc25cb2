// The address bar's drop-downs over the core signed in through the login manager, whose cloud tree
// holds docs/2024/a.txt, docs/2023/, docs/readme.txt, 图片/ and empty/.
#include "main/AddressItem.h"
#include "main/QtAddressBar.h"
#include "widgets/MenuWidget.h"

#include "support/SignedInCore.h"
#include "sync/VUZeroz.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLayout>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QWidgetAction>

#include <gtest/gtest.h>

namespace {

const QString kRootKey = QStringLiteral("全部文件");

QList<AddressItem*> Segments(QtAddressBar& bar) {
    QList<AddressItem*> segments;
    QLayout* layout = bar.layout();
    for (int i = 2; i < layout->count() - 1; ++i)
        segments << qobject_cast<AddressItem*>(layout->itemAt(i)->widget());
    return segments;
}

AddressItem* Segment(QtAddressBar& bar, const QString& name) {
    for (AddressItem* item : Segments(bar))
        if (item->getText() == name)
            return item;
    return nullptr;
}

AddressItem* BackSegment(QtAddressBar& bar) {
    return qobject_cast<AddressItem*>(bar.layout()->itemAt(1)->widget());
}

QMenu* DropDown(AddressItem* item) {
    return item->findChild<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
}

MenuWidget* List(AddressItem* item) {
    auto* action = item->findChild<QWidgetAction*>();
    return action ? qobject_cast<MenuWidget*>(action->defaultWidget()) : nullptr;
}

QListView* ListView(MenuWidget* list) {
    return list->findChild<QListView*>(QStringLiteral("listView"));
}

QStringList Rows(MenuWidget* list) {
    QStringList rows;
    QAbstractItemModel* model = ListView(list)->model();
    for (int i = 0; i < model->rowCount(); ++i)
        rows << model->index(i, 0).data().toString();
    return rows;
}

void ClickArrow(AddressItem* item) {
    QTest::mouseClick(item, Qt::LeftButton, Qt::NoModifier, QPoint(item->width() - 8, 16));
}

void ClickRow(MenuWidget* list, const QString& name) {
    QListView* view = ListView(list);
    const QModelIndexList found =
        view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(found.first()).center());
}

// A move of the pointer, without a button, onto the middle of `widget`.
void MoveOnto(QWidget* widget) {
    const QPoint at = widget->rect().center();
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

void Leave(QWidget* widget) {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(widget, &leave);
}

class AddressBarCoreTest : public SignedInCore {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SignedInCore::SetUp());
        StandInTree& tree = pair.api->tree();
        for (const char* folder : {"/docs", "/docs/2024", "/docs/2023", "/图片", "/empty"})
            ASSERT_FALSE(tree.addFolder(folder).empty()) << folder;
        ASSERT_FALSE(tree.addFileBytes("/docs/2024/a.txt", "a").empty());
        ASSERT_FALSE(tree.addFileBytes("/docs/readme.txt", "readme").empty());
        ASSERT_NO_FATAL_FAILURE(SignIn(true));
        mirror = Mirror();
        ASSERT_EQ(VUZeroz::GetInstance()->GetCachePath(QStringLiteral("/")), mirror + QLatin1Char('/'));

        window.resize(900, 400);
        bar = new QtAddressBar(&window);
        bar->setGeometry(0, 0, 800, 34);
        bar->AddPathKey(QStringLiteral("搜索-全部文件："), QStringLiteral("search|all|"), false);
        bar->AddPathKey(QStringLiteral("搜索-当前目录："), QStringLiteral("search|current|"), false);
        bar->AddPathKey(kRootKey, mirror, true);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void TearDown() override {
        delete bar;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SignedInCore::TearDown();
    }

    QString mirror;
    QWidget window;
    QtAddressBar* bar = nullptr;
};

TEST_F(AddressBarCoreTest, TheArrowOpensTheSubFoldersBelowTheSegment) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);
    AddressItem* docs = Segment(*bar, QStringLiteral("docs"));
    ASSERT_NE(docs, nullptr);
    ASSERT_TRUE(docs->isCheckable());
    ClickArrow(docs);
    EXPECT_TRUE(docs->isChecked());
    QMenu* menu = DropDown(docs);
    ASSERT_TRUE(menu->isVisible());
    EXPECT_EQ(menu->pos(), docs->mapToGlobal(QPoint(0, 32)));
    MenuWidget* list = List(docs);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Rows(list), QStringList({QStringLiteral("2023"), QStringLiteral("2024")}));

    ClickRow(list, QStringLiteral("2024"));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.takeFirst().at(0).toString(), mirror + QStringLiteral("/docs/2024"));
    EXPECT_EQ(Rows(List(Segment(*bar, kRootKey))),
              QStringList({QStringLiteral("docs"), QStringLiteral("empty"), QStringLiteral("图片")}));
}

TEST_F(AddressBarCoreTest, ASecondClickOrLeavingTheListClosesTheDropDown) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    AddressItem* docs = Segment(*bar, QStringLiteral("docs"));
    QMenu* menu = DropDown(docs);

    ClickArrow(docs);
    ASSERT_TRUE(menu->isVisible());
    ClickArrow(docs);
    EXPECT_FALSE(docs->isChecked());
    EXPECT_FALSE(menu->isVisible());

    for (int round = 0; round < 2; ++round) {
        ClickArrow(docs);
        ASSERT_TRUE(menu->isVisible());
        Leave(List(docs));
        EXPECT_FALSE(docs->isChecked());
        EXPECT_FALSE(menu->isVisible());
    }
}

TEST_F(AddressBarCoreTest, MovingAlongTheBarMovesTheOpenDropDown) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    AddressItem* root = Segment(*bar, kRootKey);
    AddressItem* docs = Segment(*bar, QStringLiteral("docs"));
    MoveOnto(root); // nothing open: nothing opens
    EXPECT_FALSE(root->isChecked());

    ClickArrow(docs);
    MoveOnto(root);
    EXPECT_TRUE(root->isChecked());
    EXPECT_TRUE(DropDown(root)->isVisible());
    EXPECT_FALSE(docs->isChecked());
    EXPECT_FALSE(DropDown(docs)->isVisible());
    // The bar knows which one is open: leaving its list closes it.
    Leave(List(root));
    EXPECT_FALSE(DropDown(root)->isVisible());
}

TEST_F(AddressBarCoreTest, AFolderWithoutSubFoldersAndTheBackSegmentNeverOpen) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/empty/"));
    AddressItem* empty = Segment(*bar, QStringLiteral("empty"));
    ASSERT_NE(empty, nullptr);
    // Only the name: the arrow area is left as it was.
    QImage painted(empty->size(), QImage::Format_ARGB32_Premultiplied);
    painted.fill(Qt::transparent);
    empty->render(&painted, QPoint(), QRegion(), QWidget::DrawChildren);
    const int nameWidth = empty->width() - 17;
    for (int y = 0; y < 32; ++y)
        for (int x = nameWidth; x < empty->width(); ++x)
            ASSERT_EQ(painted.pixel(x, y), 0u) << x << "," << y;
    bool drewName = false;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < nameWidth; ++x)
            drewName = drewName || painted.pixel(x, y) != 0u;
    EXPECT_TRUE(drewName);

    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);
    for (AddressItem* item : {empty, BackSegment(*bar)}) {
        EXPECT_FALSE(item->isCheckable());
        EXPECT_EQ(List(item), nullptr);
        ClickArrow(item);
        EXPECT_FALSE(item->isChecked());
        EXPECT_FALSE(DropDown(item)->isVisible());
    }
    EXPECT_EQ(changed.count(), 0);

    // With the root's drop-down open, dragging across them (the bar has the pointer: the press
    // was on its empty part) leaves it open and closable.
    AddressItem* root = Segment(*bar, kRootKey);
    ClickArrow(root);
    for (AddressItem* item : {empty, BackSegment(*bar)}) {
        const QPoint at = item->geometry().center();
        QMouseEvent drag(QEvent::MouseMove, at, bar->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &drag);
    }
    EXPECT_TRUE(root->isChecked());
    Leave(List(root));
    EXPECT_FALSE(DropDown(root)->isVisible());
}

TEST_F(AddressBarCoreTest, RebuildingTheBarWithADropDownOpen) {
    bar->UpdateCurrentPath(mirror + QStringLiteral("/docs/2024/"));
    // The main window shows the chosen folder at once.
    QObject::connect(bar, &QtAddressBar::SCurrentPathChanged, bar,
                     [this](const QString& path) { bar->UpdateCurrentPath(path); });
    QPointer<AddressItem> docs = Segment(*bar, QStringLiteral("docs"));
    QPointer<QMenu> menu = DropDown(docs);
    ClickArrow(docs);
    ASSERT_TRUE(menu->isVisible());

    // Chosen from the drop-down itself: the segment and its list are still on the stack.
    ClickRow(List(docs), QStringLiteral("2023"));
    ASSERT_FALSE(menu.isNull());
    EXPECT_FALSE(menu->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(docs.isNull());
    EXPECT_TRUE(menu.isNull());
    EXPECT_EQ(Segments(*bar).last()->getText(), QStringLiteral("2023"));

    // Rebuilt from outside while open; the old list's leave comes late.
    docs = Segment(*bar, QStringLiteral("docs"));
    menu = DropDown(docs);
    ClickArrow(docs);
    QPointer<MenuWidget> list = List(docs);
    bar->UpdateCurrentPath(mirror + QStringLiteral("/"));
    Leave(list);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(menu.isNull());
    EXPECT_TRUE(list.isNull());

    // The new segments work.
    AddressItem* root = Segment(*bar, kRootKey);
    ClickArrow(root);
    EXPECT_TRUE(DropDown(root)->isVisible());
    MoveOnto(root);
    Leave(List(root));
    EXPECT_FALSE(DropDown(root)->isVisible());
}

// Typed paths go to the folders of the core's index, which have no copy on the disk, spelt as the
// index spells them; not to files, unknown names, links on the disk or out of the mirror.
TEST_F(AddressBarCoreTest, ReturnGoesToTheIndexsFoldersAndToNothingElse) {
    ASSERT_FALSE(QFileInfo::exists(mirror + QStringLiteral("/docs")));
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(mirror) && QFile::link(elsewhere.path(), mirror + QStringLiteral("/empty")));
    const std::pair<QString, QString> cases[] = {
        {kRootKey + QStringLiteral("/docs/2024/"), mirror + QStringLiteral("/docs/2024/")},
        {kRootKey + QStringLiteral("\\docs\\2023"), mirror + QStringLiteral("/docs/2023/")},
        {kRootKey + QStringLiteral("/DOCS"), mirror + QStringLiteral("/docs/")},
        {kRootKey + QStringLiteral("/docs/readme.txt"), QString()},
        {kRootKey + QStringLiteral("/empty"), QString()},
        {kRootKey + QStringLiteral("/docs/../../x"), QString()},
    };
    QSignalSpy changed(bar, &QtAddressBar::SCurrentPathChanged);
    for (const auto& [typed, goesTo] : cases) {
        SCOPED_TRACE(typed.toStdString());
        bar->UpdateCurrentPath(mirror + QStringLiteral("/"));
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(bar->width() - 5, 16));
        bar->setText(typed);
        QTest::keyClick(bar, Qt::Key_Return);
        ASSERT_EQ(changed.count(), goesTo.isEmpty() ? 0 : 1);
        if (!goesTo.isEmpty()) {
            EXPECT_EQ(changed.takeFirst().at(0).toString().toStdString(), goesTo.toStdString());
        }
    }
}

} // namespace
