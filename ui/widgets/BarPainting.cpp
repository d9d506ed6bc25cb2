#include "widgets/BarPainting.h"

#include <QPainter>

QList<QPixmap> SplitBarPicture(const QString& file) {
    const QPixmap picture(file);
    const int half = picture.width() / 2;
    return {picture.copy(0, 0, half, picture.height()), picture.copy(half, 0, half, picture.height())};
}

void PaintBar(QPainter& painter, const QRect& bar, const QList<QPixmap>& frames, int fillWidth) {
    painter.drawPixmap(bar, frames.at(0));
    if (frames.at(1).isNull() || bar.isEmpty())
        return;
    const QPixmap fill = frames.at(1).scaled(bar.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
    painter.drawPixmap(bar.topLeft(), fill, QRect(0, 0, qMax(1, fillWidth), bar.height()));
}
