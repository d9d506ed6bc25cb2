#pragma once
// The base of every window of the application: a frameless dialog that draws its own title strip
// and is moved by dragging it with the left button inside its movable area. Escape never closes it.

#include <QDialog>
#include <QPoint>
#include <QRect>

class NoneBorderWndBase : public QDialog {
    Q_OBJECT
public:
    // `flags` has no lasting effect: the window becomes a frameless plain widget, which Qt shows
    // as a top-level window when there is no parent. A translucent window leaves its background
    // to its panels. The movable area starts as the geometry Qt gives a new window (640 x 480).
    explicit NoneBorderWndBase(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags(),
                               bool translucent = false);

    // In the window's own coordinates; a left press inside it (edges included) starts a drag.
    void setAreaMovable(QRect area);
    // A soft shadow under `panel` (which takes ownership of the effect), for a panel on a
    // translucent window.
    void setShadowLayer(QWidget* panel);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRect m_movableArea;
    bool m_dragging = false;
    QPoint m_pressPoint; // where the left button went down, in the window's coordinates
};
