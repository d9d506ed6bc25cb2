#include "main/CTransferCompleteListItem.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

// The parent is the list's business: it adopts the row.
CTransferCompleteListItem::CTransferCompleteListItem(QWidget*) : QWidget(nullptr) {
    setFixedHeight(80);
    m_icon = new QLabel(this);
    m_icon->setFixedSize(48, 48);
    m_name = new QLabel(this);
    m_size = new QLabel(this);
    m_size->setStyleSheet(QStringLiteral("QLabel{color: rgb(190, 154, 154);}"));
    m_time = new QLabel(this);
    // At least the row's 140 pixels, and as wide as the time needs: no date is cut off.
    m_time->setMinimumWidth(140);
    m_localPath = new QLabel(this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addSpacing(20);
    row->addWidget(m_icon);
    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(0, 5, 0, 5);
    texts->setSpacing(0);
    texts->addWidget(m_name);
    texts->addWidget(m_size);
    texts->addWidget(m_time);
    texts->addWidget(m_localPath);
    row->addLayout(texts);
}

CTransferCompleteListItem::~CTransferCompleteListItem() = default;

void CTransferCompleteListItem::setItemInfo(_TRANSFERCOMPLETE_ITEM_INFO* info) {
    if (!info)
        return;
    m_key = info->key;
    m_icon->setPixmap(QPixmap(info->iconPath).scaled(m_icon->size()));
    m_name->setText(info->fileName);
    m_size->setText(info->sizeText);
    m_time->setText(info->timeText);
    m_localPath->setText(info->localPath);
}

void CTransferCompleteListItem::Slot_Open() {
    emit itemOpen(this);
}
