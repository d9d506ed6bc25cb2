#include "SkinGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace skin {

const QColor kGreen(42, 195, 138);
const QColor kTrack(228, 228, 228);
const QColor kFolderBody(250, 190, 60);
const QColor kFileBody(100, 160, 230);

QColor Mix(const QColor& colour, const QColor& to, double share) {
    auto mixed = [share](int a, int b) { return qRound(a + (b - a) * share); };
    return QColor(mixed(colour.red(), to.red()), mixed(colour.green(), to.green()),
                  mixed(colour.blue(), to.blue()), colour.alpha());
}

QColor Tint(const QColor& colour, int state) {
    switch (state) {
    case 1:
        return Mix(colour, Qt::white, 0.25);
    case 2:
        return Mix(colour, Qt::black, 0.18);
    case 3: {
        // The grey of the same lightness, lifted so that a disabled picture reads as faded.
        const int grey = qGray(colour.rgb());
        const int lifted = grey + (255 - grey) / 3;
        return QColor(lifted, lifted, lifted, colour.alpha());
    }
    default:
        return colour;
    }
}

namespace {

QPen RoundPen(const QColor& colour, double width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// The three points of a chevron opening away from `to`, `size` across.
QPolygonF ChevronPoints(QPointF c, double size, Direction to) {
    const double h = size / 2;
    const double q = size / 4;
    switch (to) {
    case Direction::Left:
        return QPolygonF({{c.x() + q, c.y() - h}, {c.x() - q, c.y()}, {c.x() + q, c.y() + h}});
    case Direction::Right:
        return QPolygonF({{c.x() - q, c.y() - h}, {c.x() + q, c.y()}, {c.x() - q, c.y() + h}});
    case Direction::Up:
        return QPolygonF({{c.x() - h, c.y() + q}, {c.x(), c.y() - q}, {c.x() + h, c.y() + q}});
    case Direction::Down:
        break;
    }
    return QPolygonF({{c.x() - h, c.y() - q}, {c.x(), c.y() + q}, {c.x() + h, c.y() - q}});
}

} // namespace

void Cross(QPainter& p, QPointF c, double size, double pen, const QColor& colour) {
    const double h = size / 2;
    p.setPen(RoundPen(colour, pen));
    p.drawLine(QPointF(c.x() - h, c.y() - h), QPointF(c.x() + h, c.y() + h));
    p.drawLine(QPointF(c.x() - h, c.y() + h), QPointF(c.x() + h, c.y() - h));
}

void Chevron(QPainter& p, QPointF c, double size, double pen, const QColor& colour, Direction to) {
    p.setPen(RoundPen(colour, pen));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(ChevronPoints(c, size, to));
}

void DoubleChevron(QPainter& p, QPointF c, double size, double pen, const QColor& colour, Direction to) {
    const double step = size / 4;
    const QPointF shift = (to == Direction::Left || to == Direction::Right) ? QPointF(step, 0) : QPointF(0, step);
    Chevron(p, c - shift, size, pen, colour, to);
    Chevron(p, c + shift, size, pen, colour, to);
}

void Arrow(QPainter& p, QPointF c, double size, double pen, const QColor& colour, Direction to) {
    const double h = size / 2;
    p.setPen(RoundPen(colour, pen));
    p.setBrush(Qt::NoBrush);
    QPointF tip;
    QPointF tail;
    switch (to) {
    case Direction::Left:
        tip = {c.x() - h, c.y()};
        tail = {c.x() + h, c.y()};
        break;
    case Direction::Right:
        tip = {c.x() + h, c.y()};
        tail = {c.x() - h, c.y()};
        break;
    case Direction::Up:
        tip = {c.x(), c.y() - h};
        tail = {c.x(), c.y() + h};
        break;
    case Direction::Down:
        tip = {c.x(), c.y() + h};
        tail = {c.x(), c.y() - h};
        break;
    }
    p.drawLine(tip, tail);
    // The head: a chevron whose point is the tip.
    const QPointF back = (tail - tip) / 2.5;
    const QPointF side(back.y(), -back.x());
    p.drawPolyline(QPolygonF({tip + back + side, tip, tip + back - side}));
}

void Check(QPainter& p, QPointF c, double size, double pen, const QColor& colour) {
    const double h = size / 2;
    p.setPen(RoundPen(colour, pen));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{c.x() - h, c.y()}, {c.x() - h / 3, c.y() + h * 0.66}, {c.x() + h, c.y() - h * 0.6}}));
}

void Bars(QPainter& p, QPointF c, double size, double pen, const QColor& colour, int count) {
    const double h = size / 2;
    p.setPen(RoundPen(colour, pen));
    for (int i = 0; i < count; ++i) {
        const double y = count == 1 ? c.y() : c.y() - h * 0.8 + i * (size * 0.8) / (count - 1);
        p.drawLine(QPointF(c.x() - h, y), QPointF(c.x() + h, y));
    }
}

void Pause(QPainter& p, QPointF c, double size, const QColor& colour) {
    const double h = size / 2;
    const double w = size / 4;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRect(QRectF(c.x() - h * 0.75, c.y() - h, w, size));
    p.drawRect(QRectF(c.x() + h * 0.75 - w, c.y() - h, w, size));
}

void Play(QPainter& p, QPointF c, double size, const QColor& colour) {
    const double h = size / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({{c.x() - h * 0.7, c.y() - h}, {c.x() + h, c.y()}, {c.x() - h * 0.7, c.y() + h}}));
}

void Folder(QPainter& p, const QRectF& box, const QColor& body) {
    const double w = box.width();
    const double h = box.height();
    p.setPen(Qt::NoPen);
    // The tab behind the body, in a darker shade of it.
    p.setBrush(Mix(body, Qt::black, 0.12));
    p.drawRoundedRect(QRectF(box.left(), box.top(), w * 0.45, h * 0.3), w * 0.05, w * 0.05);
    p.setBrush(body);
    p.drawRoundedRect(QRectF(box.left(), box.top() + h * 0.15, w, h * 0.85), w * 0.06, w * 0.06);
}

void Page(QPainter& p, const QRectF& box, const QColor& body) {
    const double fold = box.width() * 0.3;
    QPainterPath page;
    page.moveTo(box.topLeft());
    page.lineTo(box.right() - fold, box.top());
    page.lineTo(box.right(), box.top() + fold);
    page.lineTo(box.bottomRight());
    page.lineTo(box.bottomLeft());
    page.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawPath(page);
    p.setBrush(Mix(body, Qt::white, 0.45));
    p.drawPolygon(QPolygonF({{box.right() - fold, box.top()},
                             {box.right() - fold, box.top() + fold},
                             {box.right(), box.top() + fold}}));
}

void Cloud(QPainter& p, const QRectF& box, const QColor& colour) {
    const double w = box.width();
    const double h = box.height();
    QPainterPath cloud;
    cloud.setFillRule(Qt::WindingFill);
    cloud.addEllipse(QRectF(box.left(), box.top() + h * 0.42, w * 0.42, h * 0.58));
    cloud.addEllipse(QRectF(box.left() + w * 0.2, box.top(), w * 0.5, h * 0.8));
    cloud.addEllipse(QRectF(box.left() + w * 0.52, box.top() + h * 0.3, w * 0.48, h * 0.7));
    cloud.addRoundedRect(QRectF(box.left() + w * 0.2, box.top() + h * 0.55, w * 0.6, h * 0.45), h * 0.1, h * 0.1);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(cloud.simplified());
}

void Person(QPainter& p, const QRectF& box, const QColor& colour) {
    const double w = box.width();
    const double h = box.height();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(box.left() + w * 0.3, box.top(), w * 0.4, h * 0.45));
    QPainterPath body;
    body.moveTo(box.left(), box.bottom());
    body.cubicTo(box.left(), box.top() + h * 0.45, box.right(), box.top() + h * 0.45, box.right(), box.bottom());
    body.closeSubpath();
    p.drawPath(body);
}

void Padlock(QPainter& p, const QRectF& box, const QColor& colour) {
    const double w = box.width();
    const double h = box.height();
    p.setPen(RoundPen(colour, w * 0.14));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(box.left() + w * 0.25, box.top() + w * 0.07, w * 0.5, h * 0.6), 0, 180 * 16);
    p.drawLine(QPointF(box.left() + w * 0.25, box.top() + h * 0.37), QPointF(box.left() + w * 0.25, box.top() + h * 0.5));
    p.drawLine(QPointF(box.left() + w * 0.75, box.top() + h * 0.37), QPointF(box.left() + w * 0.75, box.top() + h * 0.5));
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(box.left() + w * 0.1, box.top() + h * 0.45, w * 0.8, h * 0.55), w * 0.1, w * 0.1);
}

void Building(QPainter& p, const QRectF& box, const QColor& colour) {
    const double w = box.width();
    const double h = box.height();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRect(QRectF(box.left() + w * 0.15, box.top(), w * 0.7, h));
    // Windows: two columns of light squares.
    p.setBrush(Qt::white);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 2; ++col) {
            p.drawRect(QRectF(box.left() + w * (0.28 + col * 0.26), box.top() + h * (0.14 + row * 0.24), w * 0.18,
                              h * 0.14));
        }
    }
}

void Clock(QPainter& p, const QRectF& box, const QColor& colour) {
    const double pen = box.width() * 0.12;
    const QRectF face = box.adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2);
    p.setPen(RoundPen(colour, pen));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(face);
    const QPointF c = face.center();
    p.drawPolyline(QPolygonF({{c.x(), face.top() + face.height() * 0.22}, c,
                              {c.x() + face.width() * 0.25, c.y()}}));
}

} // namespace skin
