#pragma once
// The rubber band of a selection drag: a transparent overlay that passes every mouse event to the
// widget under it and draws the outline between the drag's begin point and the pointer.

#include <QPoint>
#include <QWidget>

class CMaskWidget : public QWidget {
    Q_OBJECT
public:
    explicit CMaskWidget(QWidget* parent = nullptr);

    void setBeginPoint(const QPoint& point);
    void setMovePoint(const QPoint& point);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint m_beginPoint;
    QPoint m_movePoint;
};
