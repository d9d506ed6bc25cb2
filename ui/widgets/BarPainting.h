#pragma once
// The two-part bar that the progress bar and the user button share.

#include <QList>
#include <QPixmap>
#include <QRect>

class QPainter;

// The picture in `file` cut into its halves side by side: the track and the fill. A picture that
// cannot be loaded gives two null halves, which paint nothing.
QList<QPixmap> SplitBarPicture(const QString& file);
// The track stretched over `bar`, then the leftmost `fillWidth` columns (at least one) of the fill
// stretched to the bar's size.
void PaintBar(QPainter& painter, const QRect& bar, const QList<QPixmap>& frames, int fillWidth);
