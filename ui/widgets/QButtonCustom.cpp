#include "widgets/QButtonCustom.h"

#include <QMouseEvent>
#include <QPainter>

QButtonCustom::QButtonCustom(QString sprite, int columns, QWidget* parent, int rows, QString icon)
    : QPushButton(parent) {
    const QPixmap picture(sprite);
    if (!picture.isNull() && columns > 0 && rows > 0) {
        const int frameWidth = picture.width() / columns;
        const int frameHeight = picture.height() / rows;
        for (int column = 0; column < columns; ++column) {
            for (int row = 0; row < rows; ++row)
                m_frames.append(picture.copy(column * frameWidth, row * frameHeight, frameWidth, frameHeight));
        }
    }
    if (!icon.isEmpty())
        m_icon.load(icon);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QButtonCustom::QButtonCustom(QString sprite, int count, QString text, QWidget* parent)
    : QPushButton(parent), m_drawMode(IconTextMode) {
    const QPixmap picture(sprite);
    if (!picture.isNull() && count > 0) {
        const int frameWidth = picture.width() / count;
        for (int i = 0; i < count; ++i)
            m_frames.append(picture.copy(i * frameWidth, 0, frameWidth, picture.height()));
    }
    setText(text);
}

QButtonCustom::QButtonCustom(QVector<QString>& files, QWidget* parent, QString icon) : QPushButton(parent) {
    setPixmapList(files);
    if (!icon.isEmpty())
        m_icon.load(icon);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void QButtonCustom::setPixmapList(QVector<QString>& files) {
    if (files.isEmpty())
        return;
    m_frames.clear();
    for (const QString& file : files)
        m_frames.append(QPixmap(file));
}

void QButtonCustom::setTextColor(QColor& normal, QColor& hover, QColor& pressed, QColor& disabled) {
    m_textColors << normal << hover << pressed << disabled;
}

void QButtonCustom::setIconSize(QSize size) {
    m_iconSize = size;
}

void QButtonCustom::setTextSize(QSize size) {
    m_textSize = size;
}

void QButtonCustom::setIconOffset(QPoint offset) {
    m_iconOffset = offset;
    update();
}

void QButtonCustom::setTextOffset(QPoint offset) {
    m_textOffset = offset;
    update();
}

void QButtonCustom::setcurIndex(int index) {
    setState(index);
}

void QButtonCustom::setState(int index) {
    m_nCurIndex = index;
    update();
}

QSize QButtonCustom::sizeHint() const {
    if (!m_icon.isNull())
        return m_icon.size();
    if (!m_frames.isEmpty())
        return m_frames.first().size();
    return QPushButton::sizeHint();
}

bool QButtonCustom::event(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        setState(isEnabled() ? 0 : 3);
    return QPushButton::event(event);
}

void QButtonCustom::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_frames.size() > 2)
        setState(2);
    QPushButton::mousePressEvent(event);
}

void QButtonCustom::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_frames.size() > 1)
        setState(1);
    QPushButton::mouseReleaseEvent(event);
}

void QButtonCustom::enterEvent(QEvent* event) {
    if (!isEnabled())
        return;
    setState(m_frames.size() > 1 ? 1 : 0);
    QPushButton::enterEvent(event);
}

void QButtonCustom::leaveEvent(QEvent* event) {
    if (!isEnabled())
        return;
    setState(0);
    QPushButton::leaveEvent(event);
}

QPixmap QButtonCustom::currentFrame() const {
    if (m_frames.isEmpty())
        return QPixmap();
    return m_frames.at(qBound(0, m_nCurIndex, m_frames.size() - 1));
}

void QButtonCustom::paintEvent(QPaintEvent* event) {
    if (m_drawMode != PictureMode && m_drawMode != IconTextMode) {
        QPushButton::paintEvent(event);
        return;
    }
    // The whole button, also on a partial repaint: the painter clips it to the exposed part.
    QPainter painter(this);
    if (m_drawMode == PictureMode)
        paintPicture(painter);
    else
        paintIconText(painter);
}

void QButtonCustom::paintPicture(QPainter& painter) {
    painter.drawPixmap(rect(), currentFrame());
    if (m_textColors.isEmpty())
        painter.setPen(Qt::white);
    else
        painter.setPen(m_textColors.at(qBound(0, m_nCurIndex, m_textColors.size() - 1)));
    painter.drawText(rect(), Qt::AlignCenter, text());
}

void QButtonCustom::paintIconText(QPainter& painter) {
    const QRect r = rect();
    auto highlight = [&](const QColor& fill) {
        painter.fillRect(r, fill);
        painter.setPen(QColor(128, 219, 185));
        painter.drawRect(r.adjusted(0, 0, -1, -1));
        painter.setPen(QColor(43, 195, 139));
    };
    switch (m_nCurIndex) {
    case 0:
        painter.setPen(Qt::black);
        break;
    case 1:
        highlight(QColor(244, 252, 249));
        break;
    case 2:
        highlight(QColor(223, 246, 238));
        break;
    case 3:
        painter.setPen(Qt::gray);
        break;
    default:
        break;
    }
    const QPixmap frame = currentFrame();
    if (!frame.isNull() && !m_iconSize.isEmpty())
        painter.drawPixmap(r.topLeft() + m_iconOffset,
                           frame.scaled(m_iconSize, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    painter.drawText(QRect(r.topLeft() + m_textOffset, m_textSize), Qt::AlignLeft | Qt::AlignVCenter, text());
}
