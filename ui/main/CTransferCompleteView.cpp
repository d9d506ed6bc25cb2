#include "main/CTransferCompleteView.h"
#include "main/TransferListParts.h"
#include "main/ViewText.h"

#include "common/PathUtils.h"
#include "sync/VUZeroz.h"
#include "widgets/QButtonCustom.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QSet>
#include <QVBoxLayout>

_TRANSFERCOMPLETE_ITEM_INFO TransferCompleteItemInfo(const TransferInfo& task) {
    _TRANSFERCOMPLETE_ITEM_INFO info;
    info.key = task.path;
    info.iconPath = QStringLiteral(":/skin/main/icon_myzone.png");
    info.fileName = GetOnlyFilename(task.path);
    info.sizeText = FormatBytesSize(qint64(task.size));
    info.timeText = LocalTimeText(task.finish_time);
    info.localPath = task.local_path;
    return info;
}

CTransferCompleteView::CTransferCompleteView(QWidget* host) : QWidget(host), m_host(host) {
    // Only a carrier of slots: kept hidden so that it never covers the panel laid out on the host.
    hide();
    auto* layout = new QVBoxLayout(m_host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    initTopArea(layout);
    initListArea(layout);
}

CTransferCompleteView::~CTransferCompleteView() = default;

void CTransferCompleteView::initTopArea(QVBoxLayout* layout) {
    auto* panel = new QWidget(m_host);
    panel->setFixedHeight(86);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    row->addSpacing(20);
    auto* icon = new QLabel(panel);
    icon->setFixedSize(26, 26);
    icon->setPixmap(QPixmap(QStringLiteral(":/skin/main/transfer_finish.png")).scaled(26, 26));
    row->addWidget(icon);
    m_summary = new QLabel(tr("共传输完成xx个文件"), panel);
    row->addWidget(m_summary);
    row->addStretch();
    auto* clean = new QButtonCustom(QStringLiteral(":/skin/main/button2.png"), 4, panel, 1);
    clean->setText(tr("清除所有记录"));
    clean->setFixedSize(104, 30);
    QColor green(42, 195, 138);
    QColor white(255, 255, 255);
    QColor gray(Qt::gray);
    clean->setTextColor(green, white, green, gray);
    connect(clean, &QPushButton::clicked, this, &CTransferCompleteView::onClickedCleanAll);
    row->addWidget(clean);
    row->addSpacing(20);

    column->addStretch();
    column->addLayout(row);
    column->addStretch();
    AddTransferSeparator(column, panel);
    layout->addWidget(panel);
}

void CTransferCompleteView::initListArea(QVBoxLayout* layout) {
    m_list = AddTransferList(layout, m_host);
}

void CTransferCompleteView::init() {}

void CTransferCompleteView::showview(bool show) {
    if (show) {
        m_host->show();
        onViewRefresh();
    } else {
        m_host->hide();
    }
}

void CTransferCompleteView::setSummary(int count) {
    m_summary->setText(tr("共传输完成%1个文件").arg(count));
}

void CTransferCompleteView::onViewRefresh() {
    TASKLIST_NOTIFY snapshot(TASK_LIST_FINISHED);
    if (!VUZeroz::GetInstance()->GetTaskList(snapshot))
        return;
    setSummary(int(snapshot.count));

    // Rows of tasks the core no longer keeps go first (the history was emptied or trimmed), so
    // that a list they leave empty is filled again in the snapshot's order.
    QSet<QString> listed;
    for (const std::shared_ptr<TransferInfo>& task : snapshot.tasks) {
        if (task)
            listed.insert(task->path);
    }
    for (int row = m_list->count() - 1; row >= 0; --row) {
        auto* item = qobject_cast<CTransferCompleteListItem*>(m_list->itemWidget(m_list->item(row)));
        if (!item || !listed.contains(item->getKey()))
            delete m_list->takeItem(row);
    }

    // A list that was empty keeps the snapshot's order; later files go on top.
    const bool wasEmpty = m_list->count() == 0;
    for (const std::shared_ptr<TransferInfo>& task : snapshot.tasks) {
        if (!task)
            continue;
        _TRANSFERCOMPLETE_ITEM_INFO info = TransferCompleteItemInfo(*task);
        int row = 0;
        if (findItem(info.key, row))
            updateItem(info.key, &info);
        else
            addItem(&info, !wasEmpty);
    }
}

void CTransferCompleteView::onClickedCleanAll() {
    m_list->clear();
    m_list->update();
    // The core empties its list on its own thread; the count it holds is to be 0 from now on.
    setSummary(0);
    VUZeroz::GetInstance()->DeleteHistoryTask();
}

void CTransferCompleteView::TaskCompleteClean() {}

void CTransferCompleteView::slots_itemOpen(CTransferCompleteListItem*) {}

bool CTransferCompleteView::addItem(_TRANSFERCOMPLETE_ITEM_INFO* info, bool atTop) {
    auto* widget = new CTransferCompleteListItem(nullptr);
    widget->setItemInfo(info);
    widget->setFixedHeight(80);
    connect(widget, &CTransferCompleteListItem::itemOpen, this, &CTransferCompleteView::slots_itemOpen);
    auto* item = new QListWidgetItem;
    item->setSizeHint(widget->size());
    if (atTop)
        m_list->insertItem(0, item);
    else
        m_list->addItem(item);
    m_list->setItemWidget(item, widget);
    return true;
}

bool CTransferCompleteView::updateItem(QString key, _TRANSFERCOMPLETE_ITEM_INFO* info) {
    int row = 0;
    if (CTransferCompleteListItem* item = findItem(key, row))
        item->setItemInfo(info);
    return true;
}

CTransferCompleteListItem* CTransferCompleteView::findItem(QString key, int& row) {
    for (int i = 0; i < m_list->count(); ++i) {
        auto* item = qobject_cast<CTransferCompleteListItem*>(m_list->itemWidget(m_list->item(i)));
        if (item && item->getKey() == key) {
            row = i;
            return item;
        }
    }
    return nullptr;
}
