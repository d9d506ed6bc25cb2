#pragma once
// A page of cloud files for the view tests (ViewPage, and the fixture ViewFixture): a shown host widget with a folder view manager, and
// the user's gestures on tiles and grids sent as the window system would deliver them.

#include "main/CImageListItem.h"
#include "main/CImageListViewMgr.h"

#include <QPoint>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>

// A list of UTF-8 texts.
QStringList L(std::initializer_list<const char*> texts);

class CImageListView;
class CListWidget;
class ModalHook;

class ViewPage {
public:
    void OpenPage();
    void ClosePage();

    static _IMAGELISTITEMINFO_ Record(const QString& folder, const QString& name, bool isDir = false);
    void Add(const QString& folder, const QString& name, bool isDir = false);
    // Makes `path` the work path and shows its view, laid out.
    void Show(const QString& path);
    CImageListItem* Tile(const QString& folder, const char* name);
    static QStringList Names(CImageListView* view);

    static void Click(CImageListItem* tile);
    static void DoubleClick(CImageListItem* tile);
    static void RightClick(CImageListItem* tile);
    static void RightClickSpace(CListWidget* grid);
    // A left drag on the grid's empty space from `begin` to `end` (viewport coordinates).
    static void Drag(CListWidget* grid, QPoint begin, QPoint end);
    // Selects the tile and starts its rename through its menu.
    static void StartRename(ModalHook& hook, CImageListItem* tile);
    // Ends editing as the focus moving elsewhere does.
    static void LoseFocus(QWidget* editor);

    std::unique_ptr<QWidget> host;
    CImageListViewMgr* mgr = nullptr; // owned by the host
};

class ViewFixture : public ::testing::Test, public ViewPage {
protected:
    void SetUp() override { OpenPage(); }
    void TearDown() override { ClosePage(); }
};
