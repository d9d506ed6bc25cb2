#pragma once
// The user button at the top of the main window's left bar: the user's round face picture, the
// quota text and a thin quota bar.

#include <QList>
#include <QPixmap>
#include <QPushButton>

class CUserInfoButton : public QPushButton {
    Q_OBJECT
public:
    // `barPicture` holds the bar's track (left half) and fill (right half).
    CUserInfoButton(QString faceFile, QString barPicture, QWidget* parent = nullptr);

    // Percent of the quota used, clamped to 0..100.
    void SetPos(int percent);
    // Loads the face from `file` unless it is the file already shown (compared case-sensitively).
    void SetFaceIconFilePath(QString file);
    void SetMemoryText(QString text);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void loadFace(const QString& file);

    QPixmap m_face; // 38 x 38, round; null when the file could not be loaded
    QList<QPixmap> m_barFrames;
    int m_pos = 0;
    QString m_memoryText;
    QString m_faceFilePath;
};
