#include "main/CPopUserInfoWnd.h"

#include "main/CElementItem.h"

#include "common/CommonDef.h"
#include "sync/VUZeroz.h"
#include "ui_CPopUserInfoWnd.h"
#include "widgets/CProgressBar.h"
#include "widgets/QButtonCustom.h"

#include <QEvent>
#include <QIcon>
#include <QListWidget>

CPopUserInfoWnd::CPopUserInfoWnd(QWidget* parent)
    : NoneBorderWndBase(parent, Qt::WindowFlags(), false), ui(new Ui::CPopUserInfoWnd) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
    initControls();
    installEventFilter(this);
}

CPopUserInfoWnd::~CPopUserInfoWnd() {
    delete ui;
}

void CPopUserInfoWnd::initControls() {
    ui->comboBox->setEditable(false);
    m_enterprises = new QListWidget(this);
    ui->comboBox->setModel(m_enterprises->model());
    ui->comboBox->setView(m_enterprises);

    m_quotaBar = new CProgressBar(QStringLiteral(":/skin/main/prg_volume_info.png"));
    m_quotaBar->setFixedSize(228, 5);
    ui->verticalLayout_4->insertWidget(0, m_quotaBar, 0, Qt::AlignCenter);

    m_renew = new QButtonCustom(QStringLiteral(":/skin/main/buy.png"), 4, nullptr, 1);
    m_renew->setText(tr("续费/升级"));
    m_renew->setCursor(Qt::PointingHandCursor);
    ui->horizontalLayout_3->addWidget(m_renew);
    connect(m_renew, &QPushButton::clicked, this, &CPopUserInfoWnd::Renew);
    ui->horizontalLayout_3->addStretch();

    // The core knows neither an edition nor an expiry date of the account: the form's sample
    // edition block is not shown as if it were the user's.
    for (QWidget* sample : {static_cast<QWidget*>(ui->label_4), static_cast<QWidget*>(ui->label_2),
                            static_cast<QWidget*>(ui->label_3), static_cast<QWidget*>(ui->label_5)})
        sample->hide();

    const QSize iconSize(32, 14);
    const struct {
        QPushButton* button;
        const char* icon;
    } icons[] = {
        {ui->pushButton_2, ":/skin/main/account_detail.png"},
        {ui->pushButton_3, ":/skin/main/change_password.png"},
        {ui->pushButton_4, ":/skin/main/change_nickname.png"},
        {ui->pushButton, ":/skin/main/change_account.png"},
    };
    for (const auto& each : icons) {
        each.button->setIcon(QIcon(QString::fromLatin1(each.icon)));
        each.button->setIconSize(iconSize);
    }
}

void CPopUserInfoWnd::SetNickName(QString name) {
    ui->label_nickname->setText(name);
    repaint();
}

void CPopUserInfoWnd::SetMemoryText(QString text) {
    ui->label_memoryTip->setText(text);
    repaint();
}

void CPopUserInfoWnd::SetProgressBarPos(int percent) {
    m_quotaBar->SetPos(percent);
    repaint();
}

void CPopUserInfoWnd::CleanListItem() {
    // The list lets go of each row widget with its item.
    m_enterprises->clear();
}

void CPopUserInfoWnd::SetEnterprise(const ENTERPRISE_INFO& info) {
    if (info.items.empty()) {
        ui->comboBox->hide();
        return;
    }
    // The box shows the enterprise in use, not merely the first of the list.
    const QString inUse = VUZeroz::GetInstance()->GetUserString(CLOUD_CFG_USER::eid, QString());
    int current = 0;
    for (const ENTERPRISE_ITEM& enterprise : info.items) {
        if (!inUse.isEmpty() && enterprise.eid == inUse)
            current = m_enterprises->count();
        auto* row = new CElementItem(nullptr);
        const QString icon = enterprise.type == ENTERPRISE_OWNER
                                 ? QStringLiteral(":/skin/main/icon_enterprise_admin.png")
                                 : QStringLiteral(":/skin/main/icon_enterprise_member.png");
        row->setElementInfo(enterprise.name, icon, enterprise.eid);
        connect(row, &CElementItem::signalClickEnterpriseItem, this, &CPopUserInfoWnd::Slot_ClickEnterpriseItem);
        auto* item = new QListWidgetItem(enterprise.name, m_enterprises);
        m_enterprises->setItemWidget(item, row);
    }
    ui->comboBox->setCurrentIndex(current);
    ui->comboBox->show();
}

void CPopUserInfoWnd::onShow(const QRect& rect) {
    setGeometry(rect);
    show();
}

void CPopUserInfoWnd::animationFinished() {}

void CPopUserInfoWnd::Renew() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::AllPay, QString());
}

void CPopUserInfoWnd::on_pushButton_2_clicked() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::UCENTER, QString());
}

void CPopUserInfoWnd::on_pushButton_3_clicked() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::ChangePassword, QString());
}

void CPopUserInfoWnd::on_pushButton_4_clicked() {
    VUZeroz::GetInstance()->GetJumpUrl(CLOUD_WEB_JUMP::ChangeNickName, QString());
}

void CPopUserInfoWnd::on_pushButton_clicked() {
    emit onClickedChangeAccount();
}

void CPopUserInfoWnd::Slot_ClickEnterpriseItem(CElementItem* item) {
    if (!item)
        return;
    const QString eid = item->getEid();
    close();
    emit onClickedChangeEnterprise(eid);
}

bool CPopUserInfoWnd::eventFilter(QObject* watched, QEvent* event) {
    if (watched == this && event->type() == QEvent::WindowDeactivate) {
        close();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
