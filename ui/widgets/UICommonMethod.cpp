#include "widgets/UICommonMethod.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>

QPixmap UICommonMethod::PixmapToRound(QPixmap& picture, int radius) {
    if (picture.isNull() || radius < 1)
        return QPixmap();
    const int side = 2 * radius;
    const QPixmap square = picture.scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QPixmap round(side, side);
    round.fill(Qt::transparent);
    QPainter painter(&round);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(0, 0, side, side);
    painter.setClipPath(circle);
    painter.drawPixmap(0, 0, square);
    return round;
}

QPixmap UICommonMethod::NinePatch(QString& file, int cornerWidth, int cornerHeight, int width, int height) {
    const QPixmap source(file);
    const int w = source.width();
    const int h = source.height();
    if (source.isNull() || cornerWidth < 0 || cornerHeight < 0 || 2 * cornerWidth > w || 2 * cornerHeight > h ||
        2 * cornerWidth > width || 2 * cornerHeight > height)
        return QPixmap();
    const int cw = cornerWidth;
    const int ch = cornerHeight;
    const int innerW = width - 2 * cw;
    const int innerH = height - 2 * ch;
    auto piece = [&](int x, int y, int pieceW, int pieceH, int toW, int toH) {
        const QPixmap cut = source.copy(x, y, pieceW, pieceH);
        if (cut.isNull() || (pieceW == toW && pieceH == toH))
            return cut;
        return cut.scaled(toW, toH, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    };
    QPixmap result(width, height);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    const int right = width - cw;
    const int bottom = height - ch;
    // Corners, then the edges and the centre between them.
    painter.drawPixmap(0, 0, piece(0, 0, cw, ch, cw, ch));
    painter.drawPixmap(right, 0, piece(w - cw, 0, cw, ch, cw, ch));
    painter.drawPixmap(0, bottom, piece(0, h - ch, cw, ch, cw, ch));
    painter.drawPixmap(right, bottom, piece(w - cw, h - ch, cw, ch, cw, ch));
    painter.drawPixmap(cw, 0, piece(cw, 0, w - 2 * cw, ch, innerW, ch));
    painter.drawPixmap(cw, bottom, piece(cw, h - ch, w - 2 * cw, ch, innerW, ch));
    painter.drawPixmap(0, ch, piece(0, ch, cw, h - 2 * ch, cw, innerH));
    painter.drawPixmap(right, ch, piece(w - cw, ch, cw, h - 2 * ch, cw, innerH));
    painter.drawPixmap(cw, ch, piece(cw, ch, w - 2 * cw, h - 2 * ch, innerW, innerH));
    return result;
}

QString UICommonMethod::StringBreak(QLabel* label, int width, const QString& text) {
    return label ? StringBreak(label->fontMetrics(), width, text) : text;
}

QString UICommonMethod::StringBreak(const QFontMetrics& metrics, int width, const QString& text) {
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    QString result;
    QString line;
    for (int i = 0; i < text.size(); ++i) {
        line += text.at(i);
        // A character outside the basic plane is one character in two halves: never break between them.
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            line += text.at(++i);
        if (metrics.horizontalAdvance(line) >= width) {
            result += line + QLatin1Char('\n');
            line.clear();
        }
    }
    return result + line;
}

bool UICommonMethod::StrIsInASCII(QString text) {
    const QByteArray bytes = text.toUtf8();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7F)
            return false;
    }
    return true;
}
