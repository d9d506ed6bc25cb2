#include "main/CImageListItem.h"

#include "widgets/UICommonMethod.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

namespace {
constexpr int kTileWidth = 74;
constexpr int kTileHeight = 121;
constexpr int kIconSide = 48;
} // namespace

void CLineEdit::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Enter:
    case Qt::Key_Return:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QLineEdit::keyPressEvent(event);
    }
}

CImageListItem::CImageListItem(QWidget* parent) : QWidget(parent) {
    setFixedSize(kTileWidth, kTileHeight);
    auto* layout = new QVBoxLayout(this);
    m_iconLabel = new QLabel(this);
    m_iconLabel->setFixedSize(kIconSide, kIconSide);
    m_iconLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_iconLabel, 0, Qt::AlignHCenter);
    m_nameLabel = new QLabel(this);
    m_nameLabel->setFixedSize(60, 50);
    m_nameLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_nameLabel->setStyleSheet(QStringLiteral("font: 5 9pt '思源黑体 CN';"));
    m_nameLabel->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    m_nameLabel->setWordWrap(true);
    layout->addWidget(m_nameLabel, 0, Qt::AlignHCenter);
    m_editor = new CLineEdit(this);
    m_editor->setFixedSize(60, 50);
    m_editor->hide();
    layout->addWidget(m_editor, 0, Qt::AlignHCenter);
    connect(m_editor, &QLineEdit::editingFinished, this, &CImageListItem::Slot_editingFinished);
}

void CImageListItem::setFileInfo(_IMAGELISTITEMINFO_* info) {
    m_realFolder = info->realFolder;
    m_iconLabel->setPixmap(QPixmap(info->icon).scaled(m_iconLabel->width(), m_iconLabel->height(),
                                                      Qt::IgnoreAspectRatio, Qt::FastTransformation));
    m_name = info->name;
    showName(m_name);
    m_editor->setText(m_name);
    m_isDir = info->isDir;
}

void CImageListItem::showName(const QString& name) {
    // The style sheet's font is the label's only after polishing.
    m_nameLabel->ensurePolished();
    const QString elided = QFontMetrics(m_nameLabel->font()).elidedText(name, Qt::ElideRight, 180);
    if (UICommonMethod::StrIsInASCII(name))
        m_nameLabel->setText(UICommonMethod::StringBreak(m_nameLabel, 55, elided));
    else
        m_nameLabel->setText(elided);
    m_nameLabel->setToolTip(UICommonMethod::StringBreak(m_nameLabel, 150, name));
}

void CImageListItem::setName(const QString& name) {
    m_name = name;
    showName(name);
    m_editor->setText(name);
}

void CImageListItem::select(bool selected) {
    m_selected = selected;
    update();
}

void CImageListItem::Rename() {
    m_nameLabel->hide();
    m_editor->setText(m_name);
    m_editor->selectAll();
    m_editor->setFocus();
    m_editor->show();
}

void CImageListItem::Slot_editingFinished() {
    // A hidden editor has nothing more to report (hiding it may move the focus once more).
    if (m_editor->isHidden())
        return;
    m_nameLabel->show();
    m_editor->hide();
    const QString text = m_editor->text();
    if (text == m_name)
        return;
    m_oldName = m_name;
    m_name = text;
    showName(text);
    emit itemRename(this);
}

void CImageListItem::mousePressEvent(QMouseEvent* event) {
    // Accepted, so that a press on a tile never starts the grid's rubber band.
    event->accept();
    if (event->button() == Qt::LeftButton)
        m_leftPressed = true;
    else if (event->button() == Qt::RightButton)
        m_rightPressed = true;
}

void CImageListItem::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    // The flags are settled before the signal: its receiver may remove this tile.
    if (event->button() == Qt::LeftButton && m_leftPressed) {
        m_leftPressed = false;
        select(true);
        emit itemClicked(this);
    } else if (event->button() == Qt::RightButton && m_rightPressed) {
        m_rightPressed = false;
        emit itemRClicked(this);
    }
}

void CImageListItem::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() == Qt::LeftButton)
        emit itemDoubleClicked(this);
}

void CImageListItem::enterEvent(QEvent* event) {
    m_hovered = true;
    update();
    QWidget::enterEvent(event);
}

void CImageListItem::leaveEvent(QEvent* event) {
    m_hovered = false;
    update();
    QWidget::leaveEvent(event);
}

void CImageListItem::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (!m_selected && !m_hovered)
        return;
    QPainter painter(this);
    const QColor fill = m_selected ? QColor(120, 247, 238, 50) : QColor(224, 247, 238, 50);
    painter.fillRect(rect(), fill);
    painter.setPen(QColor(42, 195, 138));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
