#include "widgets/CMaskWidget.h"

#include <QPainter>

CMaskWidget::CMaskWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CMaskWidget::setBeginPoint(const QPoint& point) {
    m_beginPoint = point;
    update();
}

void CMaskWidget::setMovePoint(const QPoint& point) {
    m_movePoint = point;
    update();
}

void CMaskWidget::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    // (0, 0) stands for "no point yet", so a band begun at the top-left pixel is not drawn.
    if (m_beginPoint.isNull() || m_movePoint.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(42, 195, 138));
    painter.setBrush(Qt::NoBrush);
    // Normalised, so that a drag up or to the left of the begin point draws the same band.
    painter.drawRect(QRect(m_beginPoint, m_movePoint).normalized());
}
