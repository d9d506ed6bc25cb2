#pragma once
// Drawing and text helpers shared by the windows. All static; user interface thread only.

#include <QFontMetrics>
#include <QPixmap>
#include <QString>

class QLabel;

class UICommonMethod {
public:
    // `picture` squashed to a square of 2 x `radius` and cut to the circle inside it, transparent
    // outside. A null picture or a radius below 1 gives a null result.
    static QPixmap PixmapToRound(QPixmap& picture, int radius);
    // The picture in `file` stretched to `width` x `height` by its nine patches: the corners of
    // `cornerWidth` x `cornerHeight` keep their size, edges and centre are scaled. A picture that
    // cannot be loaded, or corners that do not fit into the picture or the result, give a null
    // result.
    static QPixmap NinePatch(QString& file, int cornerWidth, int cornerHeight, int width, int height);
    // `text` broken into lines of the label's font: a line ends, followed by "\n", at the first
    // character with which it reaches `width`. A text that fits (or no label) comes back unchanged.
    static QString StringBreak(QLabel* label, int width, const QString& text);
    // The same in the font of `metrics`.
    static QString StringBreak(const QFontMetrics& metrics, int width, const QString& text);
    // Whether every byte of the text's UTF-8 form lies in 0x20..0x7F (true for an empty text).
    static bool StrIsInASCII(QString text);
};
