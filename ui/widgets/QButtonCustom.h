#pragma once
// The application's general button, painted from a sprite that holds one frame per state (0 normal,
// 1 hover, 2 pressed, 3 disabled). In picture mode the frame of the state is stretched over the
// button with the text centred on it; in icon-and-text mode a small icon frame and the text are
// drawn on a light green background while hovered or pressed.

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QPushButton>
#include <QVector>

class QButtonCustom : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(int m_nCurIndex READ getcurIndex WRITE setcurIndex)
public:
    // Picture mode: `sprite` cut into `columns` x `rows` equal frames, taken column by column and
    // top to bottom within a column. `icon`, when given, decides the size hint only.
    explicit QButtonCustom(QString sprite, int columns, QWidget* parent = nullptr, int rows = 1,
                           QString icon = QString());
    // Icon-and-text mode: `sprite` cut into `count` frames side by side. Offsets and sizes of icon
    // and text are set afterwards.
    QButtonCustom(QString sprite, int count, QString text, QWidget* parent = nullptr);
    // Picture mode with one file per state.
    explicit QButtonCustom(QVector<QString>& files, QWidget* parent = nullptr, QString icon = QString());

    // Replaces the frames by the pictures of `files` (nothing when it is empty); no repaint.
    void setPixmapList(QVector<QString>& files);
    // Appends the text colours of the four states; painting takes the one at the state index.
    void setTextColor(QColor& normal, QColor& hover, QColor& pressed, QColor& disabled);
    void setIconSize(QSize size);
    void setTextSize(QSize size);
    void setIconOffset(QPoint offset);
    void setTextOffset(QPoint offset);
    void setcurIndex(int index);
    int getcurIndex() const { return m_nCurIndex; }

    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    enum DrawMode { PictureMode = 0, IconTextMode = 1 };

    void setState(int index);
    // The frame of the current state; the last frame for an index beyond them.
    QPixmap currentFrame() const;
    void paintPicture(QPainter& painter);
    void paintIconText(QPainter& painter);

    QPixmap m_icon; // null when there is none
    QList<QColor> m_textColors;
    QList<QPixmap> m_frames;
    int m_nCurIndex = 0;
    int m_drawMode = PictureMode;
    QPoint m_iconOffset;
    QPoint m_textOffset;
    QSize m_iconSize{0, 0};
    QSize m_textSize{0, 0};
};
