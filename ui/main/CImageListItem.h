#pragma once
// One tile of a folder view: the item's icon above its name. A tile is a record, not a widget: the
// view's grid paints the tiles on screen (CImageListDelegate) and makes the in-place name editor
// only while a rename runs, so a folder of any size costs a few hundred bytes per tile. The tile
// knows nothing of the core; it tells its view when its look changes.

#include <QLineEdit>
#include <QString>

class CImageListView;

// The description of one tile (copied by value).
struct _IMAGELISTITEMINFO_ {
    QString folderPath; // the view's path: a folder path ending with "/", or a search view's path
    QString realFolder; // a search hit: the folder holding the item, up to its last "/"; else empty
    QString icon;       // resource path of the tile's picture
    QString name;
    bool isDir = false;
};

// The name editor: Enter, Return and Escape do nothing in it, so a rename ends only when the
// editor loses the focus.
class CLineEdit : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class CImageListItem {
public:
    // `view` holds the tile and outlives it.
    explicit CImageListItem(CImageListView* view);
    CImageListItem(const CImageListItem&) = delete;
    CImageListItem& operator=(const CImageListItem&) = delete;

    void setFileInfo(const _IMAGELISTITEMINFO_* info);
    bool IsDir() const { return m_isDir; }
    bool isSelected() const { return m_selected; }
    // Sets the selected look and repaints.
    void select(bool selected);
    // Starts editing the name in place.
    void Rename();
    QString GetOldName() const { return m_oldName; }
    QString getName() const { return m_name; }
    QString getRealPath() const { return m_realFolder; }
    QString icon() const { return m_icon; }
    // Shows `name` as the tile's name (a rename the view settled or took back).
    void setName(const QString& name);
    // The end of a rename with the editor's `text`: false when it equals the name; otherwise the
    // name becomes the old name, `text` the name, and the rename waits for its view (true).
    bool finishRename(const QString& text);
    // Whether a finished rename waits for its view; taking it clears the mark.
    bool takeRename();
    CImageListView* view() const { return m_view; }
    // The open name editor; null while no rename runs.
    CLineEdit* editor() const;

    // The tile's row in its grid: -1 until the grid holds it. Kept by the grid's model.
    int row() const { return m_row; }
    void setRow(int row) { m_row = row; }
    // Set when the view has dropped the tile; the grid lets it go with its next batch.
    bool isGone() const { return m_gone; }
    void setGone() { m_gone = true; }

private:
    CImageListView* m_view;
    QString m_name;
    QString m_oldName;
    QString m_realFolder;
    QString m_icon;
    int m_row = -1;
    bool m_selected = false;
    bool m_isDir = false;
    bool m_renamed = false;
    bool m_gone = false;
};
