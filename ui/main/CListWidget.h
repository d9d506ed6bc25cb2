#pragma once
// The grid of a folder view: an icon-mode list view over the view's tiles (CImageListModel),
// painted by CImageListDelegate. It turns the mouse into the view's gestures: a left click, a
// double click or a right click on a tile; on empty space a left drag draws a rubber band and
// reports its rectangle, and a right click is reported for the paste menu. The list's own
// selection and edit triggers are never used.

#include <QListView>
#include <QPersistentModelIndex>
#include <QPoint>
#include <QRect>

class CMaskWidget;

class CListWidget : public QListView {
    Q_OBJECT
public:
    explicit CListWidget(QWidget* parent = nullptr);

signals:
    // The band from the press to the release point in the viewport's coordinates; its width or
    // height is negative when the drag went left or up.
    void MultiSelect(const QRect& band);
    void ListWidgetRClicked(CListWidget* grid);
    // A press and release of the button on the tile of `index` (released anywhere).
    void TileClicked(const QModelIndex& index);
    void TileRClicked(const QModelIndex& index);
    void TileDoubleClicked(const QModelIndex& index);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool m_leftPressed = false; // on empty space: a rubber band may follow
    bool m_rightPressed = false;
    bool m_moved = false;
    QPoint m_beginPoint;
    QPoint m_curPoint;
    CMaskWidget* m_mask = nullptr;
    QPersistentModelIndex m_leftTile; // the tile a button was pressed on
    QPersistentModelIndex m_rightTile;
};
