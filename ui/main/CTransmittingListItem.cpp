#include "main/CTransmittingListItem.h"

#include "widgets/CProgressBar.h"
#include "widgets/QButtonCustom.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

namespace {

QButtonCustom* SmallButton(const QString& sprite, QWidget* parent) {
    auto* button = new QButtonCustom(sprite, 4, parent, 1);
    button->setFixedSize(14, 16);
    return button;
}

} // namespace

CTransmittingListItem::CTransmittingListItem(QWidget* parent) : QWidget(parent) {
    setFixedHeight(70);
    m_icon = new QLabel(this);
    m_icon->setFixedSize(48, 48);
    m_name = new QLabel(this);
    m_size = new QLabel(this);
    m_size->setStyleSheet(QStringLiteral("QLabel{color: rgb(190, 154, 154);}"));
    m_progress = new CProgressBar(QStringLiteral(":/skin/main/progressbar.png"), this);
    m_progress->setFixedSize(270, 8);
    m_status = new QLabel(this);
    m_status->setFixedSize(100, 20);
    m_play = SmallButton(QStringLiteral(":/skin/main/trans_play.png"), this);
    m_pause = SmallButton(QStringLiteral(":/skin/main/trans_pause.png"), this);
    m_cancel = SmallButton(QStringLiteral(":/skin/main/trans_cancel.png"), this);
    m_play->hide();
    m_pause->hide();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addSpacing(20);
    row->addWidget(m_icon);
    auto* names = new QVBoxLayout;
    names->setContentsMargins(0, 10, 0, 10);
    names->setSpacing(0);
    names->addWidget(m_name);
    names->addWidget(m_size);
    row->addLayout(names);
    auto* progress = new QVBoxLayout;
    progress->setContentsMargins(0, 10, 0, 10);
    progress->setSpacing(0);
    progress->addWidget(m_progress);
    progress->addWidget(m_status);
    row->addLayout(progress);
    row->addWidget(m_play);
    row->addWidget(m_pause);
    row->addWidget(m_cancel);

    connect(m_play, &QPushButton::clicked, this, &CTransmittingListItem::Slot_Play);
    connect(m_pause, &QPushButton::clicked, this, &CTransmittingListItem::Slot_Pause);
    connect(m_cancel, &QPushButton::clicked, this, &CTransmittingListItem::Slot_Cancel);
}

CTransmittingListItem::~CTransmittingListItem() = default;

void CTransmittingListItem::setItemInfo(_TRANSMITTING_ITEM_INFO* info) {
    if (!info)
        return;
    m_svrPath = info->svrPath;
    m_localPath = info->localPath;
    m_isDownload = info->isDownload;
    m_icon->setPixmap(QPixmap(info->iconPath));
    m_name->setText(info->fileName);
    m_size->setText(info->sizeText);
    m_progress->SetPos(info->progress);
    setStatus(info->status);
}

void CTransmittingListItem::setStatus(FILE_STATUS status) {
    QString text;
    bool paused = false;
    switch (status) {
    case FILE_STATUS_UPING:
    case FILE_STATUS_WAIT_UP:
        text = tr("上传中");
        break;
    case FILE_STATUS_DOWNING:
    case FILE_STATUS_WAIT_DOWN:
        text = tr("下载中");
        break;
    case FILE_STATUS_ERR:
        text = tr("错误");
        paused = true;
        break;
    case FILE_STATUS_PAUSE:
        text = tr("已暂停");
        paused = true;
        break;
    case FILE_STATUS_CHECKING:
        text = tr("校验中");
        paused = true;
        break;
    default:
        m_status->clear();
        return;
    }
    m_status->setText(text);
    m_play->setVisible(paused);
    m_pause->setVisible(!paused);
}

void CTransmittingListItem::Slot_Play() {
    emit itemPlay(this);
}

void CTransmittingListItem::Slot_Pause() {
    emit itemPause(this);
}

void CTransmittingListItem::Slot_Cancel() {
    emit itemCancel(this, false);
}

void CTransmittingListItem::Slot_Open() {
    emit itemOpen(this);
}
