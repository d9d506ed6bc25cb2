#include "widgets/CProgressBar.h"

#include "widgets/BarPainting.h"

#include <QPainter>

CProgressBar::CProgressBar(QString picture, QWidget* parent) : QLabel(parent), m_frames(SplitBarPicture(picture)) {}

void CProgressBar::SetPos(int percent) {
    m_pos = qBound(0, percent, 100);
    update();
}

void CProgressBar::paintEvent(QPaintEvent*) {
    // The whole bar, also on a partial repaint: the painter clips it to the exposed part.
    QPainter painter(this);
    PaintBar(painter, rect(), m_frames, rect().width() * m_pos / 100);
}
