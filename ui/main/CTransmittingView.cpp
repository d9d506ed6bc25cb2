#include "main/CTransmittingView.h"
#include "main/TransferListParts.h"

#include "common/PathUtils.h"
#include "sync/VUZeroz.h"
#include "widgets/QButtonCustom.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const int kRefreshMs = 1000;

QLabel* IconLabel(const QString& picture, int side, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setFixedSize(side, side);
    label->setPixmap(QPixmap(picture).scaled(side, side));
    return label;
}

QButtonCustom* PanelButton(const QString& sprite, const QString& text, bool light, QWidget* parent) {
    auto* button = new QButtonCustom(sprite, 4, parent, 1);
    button->setFixedSize(73, 30);
    button->setText(text);
    QColor white(255, 255, 255);
    QColor green(42, 195, 138);
    QColor gray(Qt::gray);
    if (light)
        button->setTextColor(green, white, green, gray);
    else
        button->setTextColor(white, white, white, gray);
    return button;
}

QHBoxLayout* ContentRow() {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    row->addSpacing(20);
    return row;
}

} // namespace

_TRANSMITTING_ITEM_INFO TransmittingItemInfo(const TransferInfo& task) {
    _TRANSMITTING_ITEM_INFO info;
    info.svrPath = task.path;
    info.iconPath = QStringLiteral(":/skin/main/icon_myzone.png");
    info.localPath = task.local_path;
    info.fileName = GetOnlyFilename(task.path);
    info.sizeText = QStringLiteral("%1/%2").arg(FormatBytesSize(qint64(task.done_size)),
                                                FormatBytesSize(qint64(task.size)));
    info.progress = qint32(qMin<quint32>(task.percent, 100));
    info.status = FILE_STATUS(task.status);
    info.isDownload = task.is_download;
    return info;
}

CTransmittingView::CTransmittingView(QWidget* host) : QWidget(host), m_host(host) {
    // Only a carrier of slots: kept hidden so that it never covers the panels laid out on the host.
    hide();
    auto* layout = new QVBoxLayout(m_host);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    initTopArea(layout);
    initListArea(layout);
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &CTransmittingView::onViewRefresh);
}

CTransmittingView::~CTransmittingView() = default;

void CTransmittingView::initTopArea(QVBoxLayout* layout) {
    for (int type = 0; type < TransmitWid_Count; ++type) {
        auto* panel = new QWidget(m_host);
        panel->setFixedHeight(86);
        auto* column = new QVBoxLayout(panel);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        QHBoxLayout* row = ContentRow();
        switch (type) {
        case TransmitWid_Idle:
            row->addWidget(IconLabel(QStringLiteral(":/skin/main/transfer_finish.png"), 26, panel));
            row->addWidget(new QLabel(tr("没有正在传输的任务"), panel));
            row->addStretch();
            break;
        case TransmitWid_Progress: {
            row->addWidget(IconLabel(QStringLiteral(":/skin/main/transfer_syncing.png"), 32, panel));
            auto* caption = new QLabel(tr("下载总进度"), panel);
            caption->setObjectName(QStringLiteral("text_status"));
            caption->setFixedWidth(85);
            row->addWidget(caption);
            auto* bar = new QProgressBar(panel);
            bar->setRange(0, 100);
            bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            bar->setFixedHeight(20);
            bar->setStyleSheet(QStringLiteral("QProgressBar{border: 1px solid #2A9F8A;background-color: #FFFFFF;}"
                                              "QProgressBar::chunk{background-color: #2A9F8A;}"));
            row->addWidget(bar);
            auto* cancelAll = PanelButton(QStringLiteral(":/skin/main/button2.png"), tr("全部取消"), true, panel);
            connect(cancelAll, &QPushButton::clicked, this, &CTransmittingView::onClickedCancelAll);
            row->addWidget(cancelAll);
            auto* pauseAll = PanelButton(QStringLiteral(":/skin/main/button1.png"), tr("全部暂停"), false, panel);
            connect(pauseAll, &QPushButton::clicked, this, &CTransmittingView::onClickedPauseAll);
            row->addWidget(pauseAll);
            row->addSpacing(20);
            break;
        }
        case TransmitWid_Paused: {
            row->addWidget(IconLabel(QStringLiteral(":/skin/main/transfer_paused.png"), 26, panel));
            auto* caption = new QLabel(tr("传输已暂停"), panel);
            caption->setFixedWidth(85);
            row->addWidget(caption);
            row->addStretch();
            auto* resumeAll = PanelButton(QStringLiteral(":/skin/main/button1.png"), tr("全部恢复"), false, panel);
            connect(resumeAll, &QPushButton::clicked, this, &CTransmittingView::onClickedResumeAll);
            row->addWidget(resumeAll);
            row->addSpacing(20);
            break;
        }
        case TransmitWid_Failed: {
            row->addWidget(IconLabel(QStringLiteral(":/skin/main/transfer_failed.png"), 26, panel));
            m_failedCaption = new QLabel(tr("同步失败"), panel);
            row->addWidget(m_failedCaption);
            row->addStretch();
            auto* retry = PanelButton(QStringLiteral(":/skin/main/button1.png"), tr("重试"), false, panel);
            connect(retry, &QPushButton::clicked, this, &CTransmittingView::onClickedRetryAll);
            row->addWidget(retry);
            row->addSpacing(20);
            break;
        }
        }
        // The idle panel's row sits at the top; the others are centred between two stretches.
        if (type != TransmitWid_Idle)
            column->addStretch();
        column->addLayout(row);
        if (type != TransmitWid_Idle)
            column->addStretch();
        AddTransferSeparator(column, panel);
        panel->setVisible(type == TransmitWid_Idle);
        m_panels[type] = panel;
        layout->addWidget(panel);
    }
}

void CTransmittingView::initListArea(QVBoxLayout* layout) {
    m_list = AddTransferList(layout, m_host);
}

void CTransmittingView::init() {}

void CTransmittingView::showview(bool show) {
    if (show) {
        m_host->show();
        m_timer->start(kRefreshMs);
    } else {
        m_host->hide();
        m_timer->stop();
    }
}

bool CTransmittingView::refreshing() const {
    return m_timer->isActive();
}

int CTransmittingView::rowsPercent(const TASKLIST_NOTIFY& snapshot) const {
    quint64 size = 0;
    quint64 done = 0;
    bool any = false;
    for (const std::shared_ptr<TransferInfo>& task : snapshot.tasks) {
        if (!task || m_cancelled.contains(task->path))
            continue;
        any = true;
        size += task->size;
        done += qMin(task->done_size, task->size);
    }
    if (!any)
        return -1;
    return size == 0 ? 0 : int(done * 100 / size);
}

void CTransmittingView::showProgress(int percent) {
    if (QProgressBar* bar = findProgressBar()) {
        bar->setValue(qBound(0, percent, 100));
        bar->setFormat(tr("当前进度为：%1%").arg(qBound(0, percent, 100)));
    }
}

void CTransmittingView::UpdateSpeed(const SYNC_INFO& info) {
    TransmitWid_type show = TransmitWid_Idle;
    QString format;
    int percent = int(qMin<quint32>(info.percent, 100));
    switch (info.status) {
    case UI_STATUS_CHECK_CLOUD:
    case UI_STATUS_SYNCING: {
        // The total counts the bytes the rows count: the engine's own figure weighs tasks that
        // ended and others the rows never showed. Without rows the engine's figure stands.
        TASKLIST_NOTIFY snapshot(TASK_LIST_RUNNING);
        if (VUZeroz::GetInstance()->GetTaskList(snapshot)) {
            const int rows = rowsPercent(snapshot);
            if (rows >= 0)
                percent = rows;
        }
        format = tr("当前进度为：%1%").arg(percent);
        show = TransmitWid_Progress;
        break;
    }
    case UI_STATUS_SYNCED:
        format = tr("同步完成");
        break;
    case UI_STATUS_STOPPED:
        format = tr("传输已暂停");
        show = TransmitWid_Paused;
        break;
    case UI_STATUS_ERROR:
        format = info.error_type_text;
        show = TransmitWid_Failed;
        break;
    default:
        break;
    }
    if (QProgressBar* bar = findProgressBar()) {
        bar->setValue(percent);
        bar->setFormat(format);
    }
    // An error without a text keeps the panel's own caption.
    if (info.status == UI_STATUS_ERROR)
        m_failedCaption->setText(info.error_type_text.isEmpty() ? tr("同步失败") : info.error_type_text);
    if (show != m_shown) {
        m_panels[m_shown]->hide();
        m_panels[show]->show();
        m_shown = show;
    }
}

void CTransmittingView::onViewRefresh() {
    TASKLIST_NOTIFY snapshot(TASK_LIST_RUNNING);
    if (!VUZeroz::GetInstance()->GetTaskList(snapshot))
        return;
    QSet<QString> present;
    QSet<QString> stillCancelling;
    for (const std::shared_ptr<TransferInfo>& task : snapshot.tasks) {
        if (!task)
            continue;
        if (m_cancelled.contains(task->path)) {
            stillCancelling.insert(task->path);
            continue;
        }
        _TRANSMITTING_ITEM_INFO info = TransmittingItemInfo(*task);
        int row = 0;
        if (findItem(info.svrPath, row))
            updateItem(info.svrPath, &info);
        else
            addItem(&info);
        present.insert(info.svrPath);
    }
    m_cancelled = stillCancelling;
    // The total of the same snapshot as the rows.
    const int percent = rowsPercent(snapshot);
    if (m_shown == TransmitWid_Progress && percent >= 0)
        showProgress(percent);
    // From the bottom up, so that removing a row never skips its neighbour.
    for (int row = m_list->count() - 1; row >= 0; --row) {
        auto* item = qobject_cast<CTransmittingListItem*>(m_list->itemWidget(m_list->item(row)));
        if (!item || !present.contains(item->getSvrPath()))
            delete m_list->takeItem(row);
    }
}

bool CTransmittingView::addItem(_TRANSMITTING_ITEM_INFO* info) {
    auto* widget = new CTransmittingListItem(nullptr);
    widget->setItemInfo(info);
    widget->setFixedHeight(70);
    connect(widget, &CTransmittingListItem::itemPlay, this, &CTransmittingView::slots_itemPlay);
    connect(widget, &CTransmittingListItem::itemPause, this, &CTransmittingView::slots_itemPause);
    connect(widget, &CTransmittingListItem::itemCancel, this, &CTransmittingView::slots_itemCancel);
    connect(widget, &CTransmittingListItem::itemOpen, this, &CTransmittingView::slots_itemOpen);
    auto* item = new QListWidgetItem(m_list);
    item->setSizeHint(widget->size());
    m_list->setItemWidget(item, widget);
    return true;
}

bool CTransmittingView::updateItem(const QString& key, _TRANSMITTING_ITEM_INFO* info) {
    int row = 0;
    if (CTransmittingListItem* item = findItem(key, row))
        item->setItemInfo(info);
    return true;
}

bool CTransmittingView::delItem(const QString& key) {
    int row = 0;
    if (!findItem(key, row))
        return false;
    // The view lets go of the row widget itself (deleted once control is back in the event loop,
    // as the row may be the sender of the signal that asked for this).
    delete m_list->takeItem(row);
    return true;
}

CTransmittingListItem* CTransmittingView::findItem(QString key, int& row) {
    for (int i = 0; i < m_list->count(); ++i) {
        auto* item = qobject_cast<CTransmittingListItem*>(m_list->itemWidget(m_list->item(i)));
        if (item && item->getSvrPath() == key) {
            row = i;
            return item;
        }
    }
    return nullptr;
}

QProgressBar* CTransmittingView::findProgressBar() {
    return m_panels[TransmitWid_Progress]->findChild<QProgressBar*>();
}

QLabel* CTransmittingView::findCurlayoutText(TransmitWid_type type) {
    if (type < 0 || type >= TransmitWid_Count)
        return nullptr;
    for (QLabel* label : m_panels[type]->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            return label;
    }
    return nullptr;
}

void CTransmittingView::onClickedCancelAll() {
    VUZeroz::GetInstance()->CancelAllTask();
}

void CTransmittingView::onClickedPauseAll() {
    VUZeroz::GetInstance()->Request(REQUEST_STOP_SYNC);
}

void CTransmittingView::onClickedResumeAll() {
    VUZeroz::GetInstance()->Request(REQUEST_START_SYNC);
}

void CTransmittingView::onClickedRetryAll() {
    VUZeroz::GetInstance()->Retry();
}

void CTransmittingView::slots_itemPlay(CTransmittingListItem* pListItem) {
    if (pListItem)
        VUZeroz::GetInstance()->ResumeTask(pListItem->getSvrPath());
}

void CTransmittingView::slots_itemPause(CTransmittingListItem* pListItem) {
    if (pListItem)
        VUZeroz::GetInstance()->PauseTask(pListItem->getSvrPath());
}

void CTransmittingView::slots_itemCancel(CTransmittingListItem* pListItem, bool) {
    if (!pListItem)
        return;
    const QString key = pListItem->getSvrPath();
    // A download's cancel is always queued; an upload's fails when the mirror copy could not be
    // moved aside, and then the task shows again at the next refresh.
    bool queued = true;
    if (pListItem->IsDownload())
        VUZeroz::GetInstance()->DownloadCancel(key, true);
    else
        queued = VUZeroz::GetInstance()->UploadCancel(key);
    delItem(key);
    if (queued)
        m_cancelled.insert(key);
}

void CTransmittingView::slots_itemOpen(CTransmittingListItem*) {}
