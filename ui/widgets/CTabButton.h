#pragma once
// A checkable tab of the main window's left bar: a 16 x 16 icon and, in the normal size mode, its
// text. Hovered, pressed or checked, it shows a light green highlight with a green bar at its left.

#include <QPushButton>

class CTabButton : public QPushButton {
    Q_OBJECT
public:
    enum Button_Sizemode { Sizemode_Small = 0, Sizemode_Normal = 1 };

    CTabButton(const QIcon& icon, const QString& text, QWidget* parent = nullptr);

    void SetMode(Button_Sizemode mode);
    Button_Sizemode sizeMode() const { return m_sizeMode; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setState(int state);

    int m_state = 0; // 0 normal, 1 hover, 2 pressed
    Button_Sizemode m_sizeMode = Sizemode_Normal;
};
