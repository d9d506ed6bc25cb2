// The folder drop-down's list: its rows come from the core's index. Without a signed-in core the
// index knows no folder; signed in through the login manager, the cloud tree holds
// docs/2024/a.txt, docs/2023/, docs/readme.txt, 图片/ and empty/.
#include "widgets/MenuWidget.h"

#include "support/SignedInCore.h"
#include "sync/VUZeroz.h"

#include <QListView>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QListView* ListView(MenuWidget& list) {
    return list.findChild<QListView*>(QStringLiteral("listView"));
}

QStringList Rows(MenuWidget& list) {
    QStringList rows;
    QAbstractItemModel* model = ListView(list)->model();
    for (int i = 0; i < model->rowCount(); ++i)
        rows << model->index(i, 0).data().toString();
    return rows;
}

void ClickRow(MenuWidget& list, const QString& name) {
    QListView* view = ListView(list);
    const QModelIndexList found =
        view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(found.first()).center());
}

void Leave(QWidget& widget) {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&widget, &leave);
}

TEST(MenuWidgetTest, FormAndLook) {
    MenuWidget list(false, nullptr);
    EXPECT_EQ(list.objectName(), QStringLiteral("MenuWidget"));
    EXPECT_EQ(list.size(), QSize(217, 289));
    EXPECT_EQ(list.windowTitle(), QStringLiteral("Form"));
    QListView* view = ListView(list);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->styleSheet(),
              QStringLiteral("color:black;selection-background-color:#FFFFFF;selection-color:red;padding:0px"));
    EXPECT_EQ(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(view->viewMode(), QListView::ListMode);
    EXPECT_EQ(view->resizeMode(), QListView::Adjust);
    EXPECT_FALSE(view->dragEnabled());
}

TEST(MenuWidgetTest, WithoutACoreEveryFolderIsEmptyAndEveryLeaveIsReported) {
    MenuWidget list(true, nullptr);
    QSignalSpy left(&list, &MenuWidget::leaveWidget);
    for (const QString& path : {QString(), QStringLiteral("/docs"), QStringLiteral("nowhere")}) {
        list.updateDirModel(path);
        EXPECT_TRUE(Rows(list).isEmpty()) << path.toStdString();
    }
    Leave(list);
    Leave(list);
    EXPECT_EQ(left.count(), 2);
}

class MenuWidgetCoreTest : public SignedInCore {
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
    }

    QString mirror;
};

TEST_F(MenuWidgetCoreTest, ListsTheSubFoldersInTheIndexOrder) {
    struct Case {
        QString path;
        QStringList rows;
    };
    const Case cases[] = {
        {mirror + QStringLiteral("/docs"), {QStringLiteral("2023"), QStringLiteral("2024")}},
        {mirror + QStringLiteral("/docs/"), {QStringLiteral("2023"), QStringLiteral("2024")}},
        {mirror, {QStringLiteral("docs"), QStringLiteral("empty"), QStringLiteral("图片")}},
        {mirror + QStringLiteral("/docs/2024"), {}}, // only a file below
        {mirror + QStringLiteral("/empty"), {}},
        {mirror + QStringLiteral("/nowhere"), {}},
        {QString(), {}},
    };
    MenuWidget list(false, nullptr);
    for (const Case& c : cases) {
        list.updateDirModel(c.path);
        EXPECT_EQ(Rows(list), c.rows) << c.path.toStdString();
        QAbstractItemModel* model = ListView(list)->model();
        for (int i = 0; i < model->rowCount(); ++i)
            EXPECT_FALSE(model->index(i, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    }
}

TEST_F(MenuWidgetCoreTest, AClickedRowNamesTheSubFolder) {
    struct Case {
        QString folder;
        QString row;
        QString chosen;
    };
    const Case cases[] = {
        {mirror + QStringLiteral("/docs"), QStringLiteral("2024"), mirror + QStringLiteral("/docs/2024")},
        {mirror + QStringLiteral("/docs/"), QStringLiteral("2024"), mirror + QStringLiteral("/docs/2024")},
        {mirror, QStringLiteral("图片"), mirror + QStringLiteral("/图片")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder.toStdString());
        MenuWidget list(false, nullptr);
        list.updateDirModel(c.folder);
        list.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
        QSignalSpy clicked(&list, &MenuWidget::SClickPath);
        QSignalSpy left(&list, &MenuWidget::leaveWidget);
        ClickRow(list, c.row);
        ASSERT_EQ(clicked.count(), 1);
        EXPECT_EQ(clicked.first().at(0).toString(), c.chosen);
        // Leaving after a click is reported like any other leave.
        Leave(list);
        EXPECT_EQ(left.count(), 1);
    }
}

} // namespace
