#pragma once
// The grid of a folder view: an icon-mode list whose rows carry tile widgets. A left drag from
// empty space draws a rubber band and reports its rectangle; a right click on empty space is
// reported for the paste menu. The list's own selection is never used.

#include <QListWidget>
#include <QPoint>
#include <QRect>

class CMaskWidget;

class CListWidget : public QListWidget {
    Q_OBJECT
public:
    explicit CListWidget(QWidget* parent = nullptr);

signals:
    // The band from the press to the release point in the viewport's coordinates; its width or
    // height is negative when the drag went left or up.
    void MultiSelect(const QRect& band);
    void ListWidgetRClicked(CListWidget* grid);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    bool m_leftPressed = false;
    bool m_rightPressed = false;
    bool m_moved = false;
    QPoint m_beginPoint;
    QPoint m_curPoint;
    CMaskWidget* m_mask = nullptr;
};
