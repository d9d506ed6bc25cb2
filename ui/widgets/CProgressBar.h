#pragma once
// A horizontal bar painted from a two-part picture: the track is its left half, the fill its right
// half. The label's own text is never shown.

#include <QLabel>
#include <QList>
#include <QPixmap>

class CProgressBar : public QLabel {
public:
    explicit CProgressBar(QString picture, QWidget* parent = nullptr);

    // Percent, clamped to 0..100.
    void SetPos(int percent);
    int Pos() const { return m_pos; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<QPixmap> m_frames; // track, fill
    int m_pos = 0;
};
