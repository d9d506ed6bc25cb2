#include "widgets/CUserInfoButton.h"

#include "widgets/BarPainting.h"
#include "widgets/UICommonMethod.h"

#include <QPainter>
#include <QTextOption>

namespace {
const int kFaceSide = 38;
const int kBarWidth = 70;
} // namespace

CUserInfoButton::CUserInfoButton(QString faceFile, QString barPicture, QWidget* parent)
    : QPushButton(parent), m_barFrames(SplitBarPicture(barPicture)) {
    loadFace(faceFile);
}

void CUserInfoButton::loadFace(const QString& file) {
    QPixmap picture(file);
    if (!picture.isNull())
        picture = picture.scaled(kFaceSide, kFaceSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    m_face = UICommonMethod::PixmapToRound(picture, kFaceSide / 2);
    m_faceFilePath = file;
}

void CUserInfoButton::SetPos(int percent) {
    m_pos = qBound(0, percent, 100);
    update();
}

void CUserInfoButton::SetFaceIconFilePath(QString file) {
    if (file == m_faceFilePath)
        return;
    loadFace(file);
    update();
}

void CUserInfoButton::SetMemoryText(QString text) {
    m_memoryText = text;
    update();
}

QSize CUserInfoButton::sizeHint() const {
    return QPushButton::sizeHint();
}

void CUserInfoButton::paintEvent(QPaintEvent*) {
    // The whole button, also on a partial repaint: the painter clips it to the exposed part.
    const QRect r = rect();
    // Placed by the face's box, so that a face that could not be loaded moves nothing else.
    const int y = (r.height() - kFaceSide) / 2;
    QPainter painter(this);
    painter.drawPixmap(r.left() + 10, y, m_face);

    QFont font;
    font.setPointSize(8);
    font.setFamily(QStringLiteral("思源黑体 CN"));
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0);
    painter.setFont(font);
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(QRectF(r.left() + 61, y + 5, 80, 25), m_memoryText, QTextOption());

    const QRect bar(r.left() + 61, y + 30, kBarWidth, m_barFrames.at(0).height());
    PaintBar(painter, bar, m_barFrames, m_pos * kBarWidth / 100);
}
