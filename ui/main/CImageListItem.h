#pragma once
// One tile of a folder view: the item's icon above its name, and the in-place name editor that a
// rename shows instead of the name. It tells its view of clicks, double-clicks, right clicks and
// a finished rename through its signals; it knows nothing of the core.

#include <QLineEdit>
#include <QString>
#include <QWidget>

class QLabel;
class QListWidgetItem;

// The description of one tile (copied by value).
struct _IMAGELISTITEMINFO_ {
    QString folderPath; // the view's path: a folder path ending with "/", or a search view's path
    QString realFolder; // a search hit: the folder holding the item, up to its last "/"; else empty
    QString icon;       // resource path of the tile's picture
    QString name;
    bool isDir = false;
};

// The name editor: Enter, Return and Escape do nothing in it, so a rename ends only when the
// editor loses the focus.
class CLineEdit : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class CImageListItem : public QWidget {
    Q_OBJECT
public:
    explicit CImageListItem(QWidget* parent = nullptr);

    void setFileInfo(_IMAGELISTITEMINFO_* info);
    bool IsDir() const { return m_isDir; }
    bool isSelected() const { return m_selected; }
    // Sets the selected look and repaints.
    void select(bool selected);
    // Starts editing the name in place.
    void Rename();
    QString GetOldName() const { return m_oldName; }
    QString getName() const { return m_name; }
    QString getRealPath() const { return m_realFolder; }
    // Shows `name` as the tile's name (a rename the view settled or took back).
    void setName(const QString& name);
    void setItemWidget(QListWidgetItem* row) { m_row = row; }
    QListWidgetItem* getItemWidget() const { return m_row; }
    QLabel* iconLabel() const { return m_iconLabel; }
    QLabel* nameLabel() const { return m_nameLabel; }
    CLineEdit* editor() const { return m_editor; }

signals:
    void itemClicked(CImageListItem* item);
    void itemDoubleClicked(CImageListItem* item);
    void itemRClicked(CImageListItem* item);
    void itemRename(CImageListItem* item);

public slots:
    void Slot_editingFinished();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // The name label's text and tool tip for `name`.
    void showName(const QString& name);

    bool m_leftPressed = false;
    bool m_rightPressed = false;
    bool m_hovered = false;
    bool m_selected = false;
    bool m_isDir = false;
    QLabel* m_iconLabel = nullptr;
    QLabel* m_nameLabel = nullptr;
    CLineEdit* m_editor = nullptr;
    QString m_oldName;
    QString m_name;
    QString m_realFolder;
    QListWidgetItem* m_row = nullptr;
};
