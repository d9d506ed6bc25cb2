#include "main/CListWidget.h"

#include "widgets/CMaskWidget.h"

#include <QMouseEvent>

CListWidget::CListWidget(QWidget* parent) : QListWidget(parent) {}

void CListWidget::mousePressEvent(QMouseEvent* event) {
    // The base class is not asked: the grid's own selection stays untouched.
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
    event->accept();
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
    event->accept();
}
