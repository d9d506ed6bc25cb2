#pragma once
// One folder view: the tiles of one cloud folder, or the hits of one search, in a grid; their
// selection (a click or a rubber band) and the context menus of the page of cloud files (cut,
// copy, paste, rename in place, download, earlier versions, properties). The view widget itself
// is never shown: its grid lives in the manager's layout and is shown or hidden by the manager,
// which also receives the view's callbacks.

#include "main/CImageListItem.h"
#include "main/CListWidget.h"

#include <QList>
#include <QMap>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

class CImageListViewMgr;
class QBoxLayout;

class CImageListView : public QWidget {
    Q_OBJECT
public:
    CImageListView(QWidget* parent, QBoxLayout* layout, QString path);
    ~CImageListView() override;

    void SetPath(QString path) { m_path = path; }
    QString GetPath() const { return m_path; }
    void setMgr(CImageListViewMgr* mgr) { m_mgr = mgr; }
    CImageListViewMgr* getMgr() const { return m_mgr; }
    CListWidget* grid() const { return m_grid; }

    // Appends a tile for the record at the end of the grid. True.
    bool addItem(_IMAGELISTITEMINFO_* info);
    // Refreshes the tile with the record's key in place; false when there is none.
    bool repair(_IMAGELISTITEMINFO_* info);
    // Removes the tile with that key (the selection is emptied first). True.
    bool delItem(QString key);
    // Makes the view hold exactly the given records, in their order for new tiles.
    void fill(const QList<_IMAGELISTITEMINFO_>& list);
    // Empties the selection, the grid and the table of tiles. True.
    bool clear();
    CImageListItem* findItem(QString key) const;
    // The tiles in grid order.
    QList<CImageListItem*> items() const;
    void showview(bool show);

    QStringList getCurSelectList() const;
    bool IsSelectHasDir() const;
    bool findSelected(const QList<CImageListItem*>& items) const;
    void addSelected(const QList<CImageListItem*>& items);
    void clearSelectedList(const QList<CImageListItem*>& items);
    void clearAllSelected();
    void clearAllSelected(CImageListItem* keep);

public slots:
    void slot_itemClicked(CImageListItem* item);
    void slot_itemDoubleClicked(CImageListItem* item);
    void slot_itemRClicked(CImageListItem* item);
    void slot_itemRename(CImageListItem* item);
    void Slot_Cut();
    void Slot_Copy();
    void Slot_Paste();
    void Slot_Rename();
    void Slot_StartDownload();
    void Slot_History();
    void Slot_Options();
    void Slot_MultiSelect(const QRect& band);
    void Slot_ListWidgetRClicked(CListWidget* grid);

private:
    CImageListItem* getAddItem(_IMAGELISTITEMINFO_* info);
    QString keyOf(const CImageListItem* item) const;
    // The tile whose menu was opened last, looked up again (it may have been removed since).
    CImageListItem* menuItem() const;
    // The view's path for a tile's item: the search hit's own folder in a search view.
    QString folderOf(const CImageListItem* item) const;
    // The tile's menu, popped up once the tile's own event handling has ended.
    void popupItemMenu(const QString& key);

    QPointer<CListWidget> m_grid;
    QMap<CImageListItem*, bool> m_selection;
    QString m_path;
    CImageListViewMgr* m_mgr = nullptr;
    QString m_menuKey; // key of the tile last right-clicked; empty until then
    QMap<QString, CImageListItem*> m_tiles;
};
