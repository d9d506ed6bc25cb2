#include "widgets/NoneBorderWndBase.h"

#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QMouseEvent>

NoneBorderWndBase::NoneBorderWndBase(QWidget* parent, Qt::WindowFlags flags, bool translucent)
    : QDialog(parent, flags) {
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowTitleHint);
    if (translucent)
        setAttribute(Qt::WA_TranslucentBackground);
    m_movableArea = geometry();
}

void NoneBorderWndBase::setAreaMovable(QRect area) {
    m_movableArea = area;
}

void NoneBorderWndBase::setShadowLayer(QWidget* panel) {
    auto* shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setOffset(4, 4);
    shadow->setColor(QColor(0, 0, 0, 50));
    shadow->setBlurRadius(10);
    panel->setGraphicsEffect(shadow);
}

// The mouse handlers keep the events from QDialog: the window is moved here and nowhere else.
void NoneBorderWndBase::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    m_pressPoint = event->pos();
    m_dragging = m_movableArea.contains(event->pos());
}

void NoneBorderWndBase::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging)
        move(pos() + event->pos() - m_pressPoint);
}

void NoneBorderWndBase::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}

void NoneBorderWndBase::keyPressEvent(QKeyEvent* event) {
    // Escape would reject the dialog; a window without a frame closes only through its own buttons.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}
