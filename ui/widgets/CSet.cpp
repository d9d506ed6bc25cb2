#include "widgets/CSet.h"

#include "ui_CSet.h"
#include "widgets/QButtonCustom.h"

CSet::CSet(QWidget* parent) : NoneBorderWndBase(parent), ui(new Ui::CSet) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
    setFixedSize(680, 572);

    auto* closeButton = new QButtonCustom(QStringLiteral(":/skin/main/btn_close.png"), 4, this);
    closeButton->setObjectName(QStringLiteral("closebtn"));
    ui->horizontalLayout->addWidget(closeButton);
    ui->horizontalLayout->addSpacing(10);
    connect(closeButton, &QPushButton::clicked, this, &CSet::Closed);

    QColor white(Qt::white);
    QColor green(42, 195, 138);
    QColor gray(Qt::gray);
    auto* okButton = new QButtonCustom(QStringLiteral(":/skin/main/button1.png"), 4, ui->widget_bottom);
    okButton->setObjectName(QStringLiteral("okbtn"));
    okButton->setFixedSize(86, 34);
    okButton->setText(tr("确定"));
    okButton->setTextColor(white, white, white, gray);
    ui->horizontalLayout_5->addWidget(okButton);
    connect(okButton, &QPushButton::clicked, this, &CSet::OnOK);

    auto* cancelButton = new QButtonCustom(QStringLiteral(":/skin/main/button2.png"), 4, ui->widget_bottom);
    cancelButton->setObjectName(QStringLiteral("cancelbtn"));
    cancelButton->setFixedSize(86, 34);
    cancelButton->setText(tr("取消"));
    cancelButton->setTextColor(green, white, green, gray);
    ui->horizontalLayout_5->addWidget(cancelButton);
    connect(cancelButton, &QPushButton::clicked, this, &CSet::OnCancel);

    // Only the general tab is offered; the other pages stay in the form, out of reach.
    ui->pushButton_2->hide();
    ui->pushButton_3->hide();
    ui->pushButton_4->hide();
    showPage(ui->widget_3);
}

CSet::~CSet() {
    delete ui;
}

void CSet::Closed() {
    close();
}

void CSet::OnOK() {
    accept();
}

void CSet::OnCancel() {
    reject();
}

void CSet::on_pushButton_clicked() {
    showPage(ui->widget_3);
}

void CSet::on_pushButton_2_clicked() {
    showPage(ui->widget_4);
}

void CSet::on_pushButton_3_clicked() {
    showPage(ui->widget_5);
}

void CSet::on_pushButton_4_clicked() {
    showPage(ui->widget_6);
}

void CSet::showPage(QWidget* page) {
    for (QWidget* each : {ui->widget_3, ui->widget_4, ui->widget_5, ui->widget_6})
        each->setVisible(each == page);
}
