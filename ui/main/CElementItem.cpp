#include "main/CElementItem.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

CElementItem::CElementItem(QWidget* parent) : QWidget(parent) {
    m_nameLabel = new QLabel(this);
    m_iconLabel = new QLabel(this);
    m_nameLabel->setStyleSheet(QStringLiteral("QLabel{background: transparent;}"));
    m_iconLabel->setStyleSheet(QStringLiteral("QLabel{background: transparent;}"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    layout->addWidget(m_iconLabel);
    layout->addWidget(m_nameLabel);
    layout->addStretch();
}

void CElementItem::setElementInfo(QString name, QString iconPath, QString eid) {
    m_name = name;
    m_eid = eid;
    m_nameLabel->setText(name);
    const QPixmap icon(iconPath);
    m_iconLabel->setPixmap(icon);
    m_iconLabel->setFixedSize(icon.size());
}

void CElementItem::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
}

void CElementItem::mouseReleaseEvent(QMouseEvent*) {
    if (!m_pressed)
        return;
    m_pressed = false;
    emit signalClickEnterpriseItem(this);
}

void CElementItem::enterEvent(QEvent*) {
    m_hover = true;
    update();
}

void CElementItem::leaveEvent(QEvent*) {
    m_hover = false;
    update();
}

void CElementItem::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(rect(), m_hover ? QColor(197, 232, 220) : QColor(255, 255, 255));
    painter.end();
    QWidget::paintEvent(event);
}
