#include "main/CListWidget.h"

#include "widgets/CMaskWidget.h"

#include <QMouseEvent>

CListWidget::CListWidget(QWidget* parent) : QListView(parent) {
    // Hover events reach the view, which repaints the tile under the mouse in its hover look.
    viewport()->setAttribute(Qt::WA_Hover);
}

void CListWidget::mousePressEvent(QMouseEvent* event) {
    // The base class is not asked: the grid's own selection and current item stay untouched.
    event->accept();
    const QModelIndex tile = indexAt(event->pos());
    if (tile.isValid()) {
        // A press on a tile never starts the rubber band.
        if (event->button() == Qt::LeftButton)
            m_leftTile = tile;
        else if (event->button() == Qt::RightButton)
            m_rightTile = tile;
        return;
    }
    if (event->button() == Qt::LeftButton) {
        delete m_mask;
        m_mask = new CMaskWidget(viewport());
        m_mask->setGeometry(0, 0, viewport()->width(), viewport()->height());
        m_mask->show();
        m_leftPressed = true;
        m_moved = false;
        m_beginPoint = event->pos();
        m_curPoint = event->pos();
        m_mask->setBeginPoint(m_beginPoint);
        m_mask->setMovePoint(m_beginPoint);
    } else if (event->button() == Qt::RightButton) {
        m_rightPressed = true;
    }
}

void CListWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!m_leftPressed)
        return;
    m_curPoint = event->pos();
    if (m_mask)
        m_mask->setMovePoint(m_curPoint);
    viewport()->update();
    m_moved = true;
}

void CListWidget::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    // The presses are settled before a signal: its receiver may run a menu or remove the tile.
    if (event->button() == Qt::LeftButton && m_leftTile.isValid()) {
        const QModelIndex tile = m_leftTile;
        m_leftTile = QPersistentModelIndex();
        emit TileClicked(tile);
        return;
    }
    if (event->button() == Qt::RightButton && m_rightTile.isValid()) {
        const QModelIndex tile = m_rightTile;
        m_rightTile = QPersistentModelIndex();
        emit TileRClicked(tile);
        return;
    }
    if (event->button() == Qt::LeftButton) {
        const bool report = m_leftPressed && m_moved;
        m_leftPressed = false;
        m_moved = false;
        delete m_mask;
        m_mask = nullptr;
        if (report) {
            emit MultiSelect(QRect(m_beginPoint, QSize(m_curPoint.x() - m_beginPoint.x(),
                                                       m_curPoint.y() - m_beginPoint.y())));
            viewport()->update();
        }
    } else if (event->button() == Qt::RightButton && m_rightPressed) {
        m_rightPressed = false;
        emit ListWidgetRClicked(this);
    }
}

void CListWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex tile = indexAt(event->pos());
    if (!tile.isValid()) {
        // On empty space the second press is a press like the first.
        mousePressEvent(event);
        return;
    }
    event->accept();
    if (event->button() == Qt::LeftButton)
        emit TileDoubleClicked(tile);
}
