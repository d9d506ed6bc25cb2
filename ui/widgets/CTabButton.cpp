#include "widgets/CTabButton.h"

#include <QPainter>

CTabButton::CTabButton(const QIcon& icon, const QString& text, QWidget* parent) : QPushButton(icon, text, parent) {}

void CTabButton::SetMode(Button_Sizemode mode) {
    m_sizeMode = mode;
    update();
}

void CTabButton::setState(int state) {
    m_state = state;
    update();
}

void CTabButton::enterEvent(QEvent* event) {
    setState(1);
    QPushButton::enterEvent(event);
}

void CTabButton::leaveEvent(QEvent* event) {
    setState(0);
    QPushButton::leaveEvent(event);
}

void CTabButton::mousePressEvent(QMouseEvent* event) {
    setState(2);
    QPushButton::mousePressEvent(event);
}

void CTabButton::mouseReleaseEvent(QMouseEvent* event) {
    setState(1);
    QPushButton::mouseReleaseEvent(event);
}

void CTabButton::paintEvent(QPaintEvent*) {
    // The whole button, also on a partial repaint: the painter clips it to the exposed part.
    const QRect r = rect();
    QPainter painter(this);
    if (m_state != 0 || isChecked()) {
        painter.fillRect(r, QColor(191, 239, 222));
        painter.fillRect(QRect(r.left(), r.top(), 3, r.height()), QColor(42, 195, 138));
    }
    painter.drawPixmap(r.topLeft() + QPoint(20, 17), icon().pixmap(16, 16, QIcon::Normal, QIcon::Off));
    if (m_sizeMode == Sizemode_Normal) {
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(r.adjusted(56, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    }
}
