#include "main/CFileOptions.h"

#include "main/CMainWnd.h"
#include "main/QCUIEventReceiver.h"
#include "main/ViewText.h"
#include "ui_CFileOptions.h"
#include "widgets/QButtonCustom.h"

#include "common/FileInfo.h"
#include "common/PathUtils.h"
#include "sync/VUZeroz.h"

#include <QPixmap>

CFileOptions::CFileOptions(QWidget* parent) : NoneBorderWndBase(parent), ui(new Ui::CFileOptions) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
    auto* closeButton = new QButtonCustom(QStringLiteral(":/skin/main/btn_close.png"), 4, this);
    closeButton->setObjectName(QStringLiteral("closebtn"));
    closeButton->setText(QString());
    ui->horizontalLayout->addWidget(closeButton);
    ui->horizontalLayout->addSpacing(10);
    connect(closeButton, &QPushButton::clicked, this, &CFileOptions::Closed);
    ui->label_wndIcon->setPixmap(QPixmap(QStringLiteral(":/skin/main/clock.png")));
}

CFileOptions::~CFileOptions() {
    delete ui;
}

void CFileOptions::updateInfo(QString path) {
    const QString name = GetOnlyFilename(path);
    ui->label_fileicon->setPixmap(QPixmap(QStringLiteral(":/skin/main/transfer_syncing.png")));
    ui->label_wndtitle->setText(QStringLiteral("%1属性").arg(name));
    ui->label_filename->setText(name);
    ui->label_filedesc->clear();

    FileInfo record;
    if (!VUZeroz::GetInstance()->GetFileInfo(path, record)) {
        // Nothing known of the item: no value is shown rather than a stale or made-up one.
        ui->lable_filetype->clear();
        ui->label_filepath->clear();
        ui->label_filesize->clear();
        ui->label_createtime->clear();
        ui->label_modifytime->clear();
        return;
    }
    // The core's helper never cuts a character in two, so a long extension of a Chinese name loses
    // its last whole character instead of showing a broken one.
    char ext[10];
    GetFileExtFastNoMalloc(name, false, ext, sizeof(ext));
    ui->lable_filetype->setText(QString::fromUtf8(ext));
    // The location as the main window shows paths, once there is one.
    auto* mainWnd = qobject_cast<CMainWnd*>(QCUIEventReceiver::GetInstance()->getMainWnd());
    ui->label_filepath->setText(mainWnd ? mainWnd->toVirtualPath(path) : path);
    ui->label_filesize->setText(FormatBytesSize(qint64(record.size)));
    ui->label_createtime->setText(LocalTimeText(record.ctime));
    ui->label_modifytime->setText(LocalTimeText(record.mtime));
}

void CFileOptions::Closed() {
    close();
}

void CFileOptions::on_pushButton_clicked() {
    close();
}
