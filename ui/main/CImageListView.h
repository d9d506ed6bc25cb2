#pragma once
// One folder view: the tiles of one cloud folder, or the hits of one search, in a grid; their
// selection (a click or a rubber band) and the context menus of the page of cloud files (cut,
// copy, paste, rename in place, download, earlier versions, properties). The view widget itself
// is never shown: its grid lives in the manager's layout and is shown or hidden by the manager,
// which also receives the view's callbacks.
//
// The tiles are the rows of a model (CImageListModel) that a list view in icon mode (CListWidget)
// shows and a delegate (CImageListDelegate) paints, so only the tiles on screen cost painting, and
// new, refreshed and removed tiles reach the grid in batches. The view's own table of tiles and
// its selection change at once; the grid follows with the next batch.

#include "main/CImageListItem.h"
#include "main/CListWidget.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

class CImageListModel;
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
    // The tile with that key (the view's path followed by the name), or null.
    CImageListItem* findItem(QString key) const;
    // The tiles in grid order.
    QList<CImageListItem*> items() const;
    // Where the grid shows the tile, in its viewport's coordinates; empty when it does not.
    QRect tileRect(const CImageListItem* item) const;
    void showview(bool show);

    QStringList getCurSelectList() const;
    bool IsSelectHasDir() const;
    bool findSelected(const QList<CImageListItem*>& items) const;
    void addSelected(const QList<CImageListItem*>& items);
    void clearSelectedList(const QList<CImageListItem*>& items);
    void clearAllSelected();
    void clearAllSelected(CImageListItem* keep);

    // --- For the view's tiles ---

    // The tile's record changed: the grid shows it again with its next batch.
    void tileChanged(CImageListItem* item);
    // The tile's selected look changed: repainted at once.
    void repaintTile(CImageListItem* item);
    // Opens the name editor on the tile.
    void startRename(CImageListItem* item);
    // The tile's open name editor, or null.
    CLineEdit* editorOf(const CImageListItem* item) const;

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
    // The name part of a key of this view; empty when the key is not of this view.
    QString nameOf(const QString& key) const;
    // The tile whose menu was opened last, looked up again (it may have been removed since).
    CImageListItem* menuItem() const;
    // The view's path for a tile's item: the search hit's own folder in a search view.
    QString folderOf(const CImageListItem* item) const;
    // The tile's menu, popped up once the grid's own event handling has ended.
    void popupItemMenu(const QString& name);

    QPointer<CListWidget> m_grid;
    CImageListModel* m_model = nullptr; // owned by the view; owns the tiles
    QMap<CImageListItem*, bool> m_selection;
    QString m_path;
    CImageListViewMgr* m_mgr = nullptr;
    QString m_menuName; // name of the tile last right-clicked; empty until then
    // The tiles by name: every key of the view is its path followed by a name, so the name alone
    // (the tile's own string) keys the table.
    QHash<QString, CImageListItem*> m_tiles;
};
