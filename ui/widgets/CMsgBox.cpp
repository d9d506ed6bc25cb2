#include "widgets/CMsgBox.h"

#include "ui_CMsgBox.h"
#include "widgets/QButtonCustom.h"

CMsgBox::CMsgBox(QWidget* parent) : NoneBorderWndBase(parent), ui(new Ui::CMsgBox) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Tool);
    auto* closeButton = new QButtonCustom(QStringLiteral(":/skin/main/btn_close.png"), 4, this);
    closeButton->setObjectName(QStringLiteral("closebtn"));
    ui->horizontalLayout->addWidget(closeButton);
    ui->horizontalLayout->addSpacing(10);
    connect(closeButton, &QPushButton::clicked, this, &CMsgBox::Closed);
}

CMsgBox::~CMsgBox() {
    delete ui;
}

void CMsgBox::Closed() {
    // A close while exec() runs rejects: the caller reads 0, as for "取消".
    close();
}

void CMsgBox::on_comfirmbtn_clicked() {
    accept();
}

void CMsgBox::on_cancelbtn_clicked() {
    reject();
}
