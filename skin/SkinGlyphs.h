#pragma once
// The shapes the skin is drawn from: state colours and a few geometric glyphs, all in plain
// QPainter calls on the painter they are given. No text and no font, so that the pictures come out
// the same on every machine.

#include <QColor>
#include <QPointF>
#include <QRectF>

class QPainter;

namespace skin {

// The application's green, the two-part bars' track and the default icons' bodies.
extern const QColor kGreen;
extern const QColor kTrack;
extern const QColor kFolderBody;
extern const QColor kFileBody;

// A sprite frame's colour for a button state: 0 normal as it is, 1 hover lighter, 2 pressed
// darker, 3 disabled grey.
QColor Tint(const QColor& colour, int state);
// `colour` moved towards `to` by `share` (0..1).
QColor Mix(const QColor& colour, const QColor& to, double share);

enum class Direction { Left, Right, Up, Down };

// Each glyph is drawn centred on `centre`, `size` pixels across, with round caps and joins.
void Cross(QPainter& p, QPointF centre, double size, double pen, const QColor& colour);
void Chevron(QPainter& p, QPointF centre, double size, double pen, const QColor& colour, Direction to);
void DoubleChevron(QPainter& p, QPointF centre, double size, double pen, const QColor& colour,
                   Direction to);
void Arrow(QPainter& p, QPointF centre, double size, double pen, const QColor& colour, Direction to);
void Check(QPainter& p, QPointF centre, double size, double pen, const QColor& colour);
void Bars(QPainter& p, QPointF centre, double size, double pen, const QColor& colour, int count);
// Two vertical bars: the pause sign.
void Pause(QPainter& p, QPointF centre, double size, const QColor& colour);
// A triangle pointing right: the play sign.
void Play(QPainter& p, QPointF centre, double size, const QColor& colour);

// Filled shapes inside `box`.
void Folder(QPainter& p, const QRectF& box, const QColor& body);
void Page(QPainter& p, const QRectF& box, const QColor& body);
// A cloud of three circles over a rounded base.
void Cloud(QPainter& p, const QRectF& box, const QColor& colour);
void Person(QPainter& p, const QRectF& box, const QColor& colour);
void Padlock(QPainter& p, const QRectF& box, const QColor& colour);
void Building(QPainter& p, const QRectF& box, const QColor& colour);
void Clock(QPainter& p, const QRectF& box, const QColor& colour);

} // namespace skin
