#include "login/CAccountItem.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QToolButton>

CAccountItem::CAccountItem(QWidget* parent)
    : QWidget(parent), m_accountLabel(new QLabel(this)), m_deleteButton(new QToolButton(this)) {
    m_deleteButton->setIcon(QIcon(QStringLiteral(":/skin/login/deleteAccount.png")));
    m_deleteButton->setStyleSheet(QStringLiteral("background-color:transparent;"));
    // Without a raised panel of its own: the style's panel under the transparent background was
    // drawn as a black square in the drop-down.
    m_deleteButton->setAutoRaise(true);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_accountLabel);
    layout->addStretch();
    layout->addWidget(m_deleteButton);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    connect(m_deleteButton, &QToolButton::clicked, this, &CAccountItem::onRemoveAccount);
}

void CAccountItem::setAccountInfo(int index, QString account, const _LOGINSTATUS_& status) {
    m_index = index;
    m_account = account;
    m_status = status;
    m_accountLabel->setText(account);
}

QString CAccountItem::getAccountName() const {
    return m_accountLabel->text();
}

void CAccountItem::onRemoveAccount() {
    emit signalRemoveAccount(m_index);
}

void CAccountItem::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
}

void CAccountItem::mouseReleaseEvent(QMouseEvent*) {
    if (!m_pressed)
        return;
    m_pressed = false;
    emit signalShowAccountInfo(m_index, getAccountName(), m_status);
}
