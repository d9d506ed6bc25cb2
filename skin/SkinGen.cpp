// skin-gen: draws the application's pictures at build time.
//
//     skin-gen <output folder>
//
// writes every picture of the table under its path below the folder, "skin.qrc" listing them under
// the prefix "/skin" (compiled into the program by rcc), and "contact-sheet.png", all pictures on
// one sheet for a look at the skin. Only shapes are drawn, never text, and no application object
// is made, so the output needs no display and no font and is the same bytes on every run.

#include "SkinPictures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>

#include <algorithm>
#include <cstdio>

namespace {

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
           file.flush();
}

QByteArray Qrc() {
    QByteArray qrc("<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/skin\">\n");
    for (const skin::Picture& picture : skin::Pictures())
        qrc += QByteArray("    <file>") + picture.path + "</file>\n";
    qrc += "</qresource>\n</RCC>\n";
    return qrc;
}

// The pictures in rows on a light sheet, each over a checkerboard that shows its transparency.
QImage ContactSheet(const std::vector<QImage>& images) {
    const int width = 1000;
    const int gap = 12;
    std::vector<QPoint> places;
    int x = gap;
    int y = gap;
    int rowHeight = 0;
    for (const QImage& image : images) {
        if (x + image.width() + gap > width && x > gap) {
            x = gap;
            y += rowHeight + gap;
            rowHeight = 0;
        }
        places.emplace_back(x, y);
        x += image.width() + gap;
        rowHeight = std::max(rowHeight, image.height());
    }
    QImage sheet(width, y + rowHeight + gap, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(240, 240, 240));
    sheet.setDotsPerMeterX(3780);
    sheet.setDotsPerMeterY(3780);
    QPainter p(&sheet);
    for (size_t i = 0; i < images.size(); ++i) {
        const QRect cell(places[i], images[i].size());
        p.fillRect(cell, Qt::white);
        for (int cy = 0; cy < cell.height(); cy += 4) {
            for (int cx = (cy / 4) % 2 * 4; cx < cell.width(); cx += 8)
                p.fillRect(QRect(cell.left() + cx, cell.top() + cy, 4, 4).intersected(cell), QColor(214, 214, 214));
        }
        p.drawImage(cell.topLeft(), images[i]);
    }
    p.end();
    return sheet.convertToFormat(QImage::Format_RGB32);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: skin-gen <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    std::vector<QImage> images;
    for (const skin::Picture& picture : skin::Pictures()) {
        const QString path = out.filePath(QString::fromLatin1(picture.path));
        const QImage image = skin::Draw(picture);
        if (!out.mkpath(QFileInfo(path).path()) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "skin-gen: cannot write %s\n", qPrintable(path));
            return 1;
        }
        images.push_back(image);
    }
    const QString sheet = out.filePath(QStringLiteral("contact-sheet.png"));
    if (!ContactSheet(images).save(sheet, "PNG")) {
        std::fprintf(stderr, "skin-gen: cannot write %s\n", qPrintable(sheet));
        return 1;
    }
    // The resource list last: the build takes its presence as the sign that the pictures stand.
    const QString qrc = out.filePath(QStringLiteral("skin.qrc"));
    if (!WriteFile(qrc, Qrc())) {
        std::fprintf(stderr, "skin-gen: cannot write %s\n", qPrintable(qrc));
        return 1;
    }
    return 0;
}
