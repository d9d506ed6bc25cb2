#include "widgets/MenuWidget.h"

#include "ui_MenuWidget.h"

#include "common/CoreLog.h"
#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "sync/VUZeroz.h"

#include <QStandardItemModel>

#include <list>

MenuWidget::MenuWidget(bool flag, QWidget* parent)
    : QWidget(parent), ui(new Ui::MenuWidget), m_flag(flag) {
    ui->setupUi(this);
    m_folderIcon = QIcon::fromTheme(QStringLiteral("folder"), QIcon(QStringLiteral(":/skin/main/addbar/dir.png")));
    m_model = new QStandardItemModel(this);
    ui->listView->setModel(m_model);
    ui->listView->setSpacing(0);
    ui->listView->setViewMode(QListView::ListMode);
    ui->listView->setResizeMode(QListView::Adjust);
    ui->listView->setDragEnabled(false);
    ui->listView->setStyleSheet(
        QStringLiteral("color:black;selection-background-color:#FFFFFF;selection-color:red;padding:0px"));
}

MenuWidget::~MenuWidget() {
    delete ui;
}

void MenuWidget::updateDirModel(const QString& path) {
    m_model->removeRows(0, m_model->rowCount());
    std::list<FileInfo> entries;
    if (VUZeroz::GetInstance()->GetPathInfo(path, false, entries)) {
        for (const FileInfo& entry : entries) {
            if (!entry.is_dir)
                continue;
            auto* item = new QStandardItem(m_folderIcon, GetOnlyFilename(entry.path));
            // A drop-down chooses a folder; its names are not edited here.
            item->setEditable(false);
            m_model->appendRow(item);
        }
    }
    m_currentPath = path;
}

void MenuWidget::on_listView_clicked(const QModelIndex& index) {
    const QString chosen = MyCombinePath(m_currentPath, index.data(Qt::DisplayRole).toString());
    CoreDebug("[UI] path: %s\n", qUtf8Printable(chosen));
    emit SClickPath(chosen);
}

void MenuWidget::leaveEvent(QEvent* event) {
    Q_UNUSED(event);
    emit leaveWidget();
}
