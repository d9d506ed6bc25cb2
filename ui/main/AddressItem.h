#pragma once
// One segment of the address bar: a folder level's name and, at its right, a 17-pixel arrow that
// opens a drop-down of the level's sub-folders. The back segment has no name: only its arrow,
// which turns into a back arrow while levels nearer the root are hidden.

#include <QFont>
#include <QPixmap>
#include <QPushButton>
#include <QString>

class MenuWidget;
class QMenu;

class AddressItem : public QPushButton {
    Q_OBJECT
public:
    // `path` is the display path down to this level (each name followed by "/"), `realPath` the
    // same level as the folder views know it. The segment asks the core's index whether the
    // level has sub-folders; without them it has no drop-down.
    AddressItem(const QString& name, const QString& path, const QString& realPath, bool backFlag,
                QWidget* parent);
    ~AddressItem() override;

    void setBackIcon(bool back);
    QString getPath() const { return m_path; }
    QString getText() const { return m_name; }

signals:
    void SClickPath(const QString& realPath);
    void leaveMenu();

public slots:
    void menuAboutToHide();
    void onCheckChanged(bool checked);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QRect nameRect() const;
    QRect arrowRect() const;

    bool m_pressed = false;
    bool m_namePressed = false;
    bool m_hover = false;
    bool m_backFlag;
    bool m_noSubFolders = false;
    QMenu* m_menu = nullptr;
    MenuWidget* m_list = nullptr;
    int m_nameWidth = 0;
    QFont m_font;
    QString m_path;
    QString m_name;
    QString m_realPath;
    QPixmap m_arrow;
    QPixmap m_openArrow;
};
