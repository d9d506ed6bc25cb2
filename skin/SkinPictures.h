#pragma once
// The table of the skin's pictures: every picture of the resource tree ":/skin/", its size and
// how it is drawn.

#include <QImage>
#include <QRectF>

#include <vector>

class QPainter;

namespace skin {

// Draws frame `index` of a picture into `frame` (the frame's own rectangle, at 0, 0).
using DrawFrame = void (*)(QPainter& p, const QRectF& frame, int index);

struct Picture {
    const char* path; // below ":/skin/"
    int width;
    int height;
    // Frames side by side: 4 for a button sprite (normal, hover, pressed, disabled), 2 for a bar
    // (track, fill), 1 for a plain picture.
    int frames;
    DrawFrame draw;
};

const std::vector<Picture>& Pictures();

// The picture drawn, frame by frame, each frame clipped to its own rectangle.
QImage Draw(const Picture& picture);

} // namespace skin
