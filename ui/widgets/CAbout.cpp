#include "widgets/CAbout.h"

#include "ui_CAbout.h"
#include "widgets/QButtonCustom.h"

CAbout::CAbout(QWidget* parent) : NoneBorderWndBase(parent), ui(new Ui::CAbout) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
    auto* closeButton = new QButtonCustom(QStringLiteral(":/skin/main/btn_close.png"), 4, this);
    closeButton->setObjectName(QStringLiteral("closebtn"));
    ui->horizontalLayout->addWidget(closeButton);
    ui->horizontalLayout->addSpacing(10);
    connect(closeButton, &QPushButton::clicked, this, &CAbout::Closed);
}

CAbout::~CAbout() {
    delete ui;
}

void CAbout::Closed() {
    close();
}

void CAbout::on_pushButton_2_clicked() {}

void CAbout::on_pushButton_clicked() {}
