#pragma once
// The content of an address bar segment's drop-down: the sub-folders of one folder of the
// synchronised tree, each with a folder icon, taken from the core's index. A click on a row names
// the chosen sub-folder's full path.

#include <QIcon>
#include <QString>
#include <QWidget>

class QModelIndex;
class QStandardItemModel;

namespace Ui {
class MenuWidget;
}

class MenuWidget : public QWidget {
    Q_OBJECT
public:
    // `flag` is kept for the segment that owns the list; nothing here depends on it.
    MenuWidget(bool flag, QWidget* parent = nullptr);
    ~MenuWidget() override;

    // Lists the sub-folders of `path` (a folder of the mirror, with or without its last "/") in
    // the index's order; an empty list when the index holds none or does not know the path.
    void updateDirModel(const QString& path);

signals:
    void SClickPath(const QString& path);
    void leaveWidget();

public slots:
    void on_listView_clicked(const QModelIndex& index);

protected:
    void leaveEvent(QEvent* event) override;

private:
    Ui::MenuWidget* ui;
    [[maybe_unused]] bool m_flag;
    QStandardItemModel* m_model;
    QString m_currentPath;
    QIcon m_folderIcon;
};
