#pragma once
// One row of the running transfers list: file icon, name and "done/size" text, a progress bar with
// the task's status below it, and play, pause and cancel buttons. The row only raises signals; the
// list asks the core.

#include "common/SharedTypes.h"

#include <QString>
#include <QWidget>

class CProgressBar;
class QButtonCustom;
class QLabel;

// What a row shows of one running task.
struct _TRANSMITTING_ITEM_INFO {
    QString svrPath; // the transfer's cloud path: the row's key
    QString iconPath;
    QString localPath;
    QString fileName;
    QString sizeText; // "done/size"
    qint32 progress = 0;
    FILE_STATUS status = FILE_STATUS_UNKNOW;
    bool isDownload = false;
};

class CTransmittingListItem : public QWidget {
    Q_OBJECT
public:
    explicit CTransmittingListItem(QWidget* parent = nullptr);
    ~CTransmittingListItem() override;

    void setItemInfo(_TRANSMITTING_ITEM_INFO* info);
    // The status text and which of play and pause is offered; a status without a text leaves the
    // buttons as they are.
    void setStatus(FILE_STATUS status);

    QString getSvrPath() const { return m_svrPath; }
    QString getLocalPath() const { return m_localPath; }
    bool IsDownload() const { return m_isDownload; }

    // For the views' tests and the list: the row's parts.
    QLabel* nameLabel() const { return m_name; }
    QLabel* sizeLabel() const { return m_size; }
    QLabel* statusLabel() const { return m_status; }
    CProgressBar* progressBar() const { return m_progress; }
    QButtonCustom* playButton() const { return m_play; }
    QButtonCustom* pauseButton() const { return m_pause; }
    QButtonCustom* cancelButton() const { return m_cancel; }

signals:
    void itemPlay(CTransmittingListItem* item);
    void itemPause(CTransmittingListItem* item);
    void itemCancel(CTransmittingListItem* pListItem, bool bComplete);
    void itemOpen(CTransmittingListItem* item);

public slots:
    void Slot_Play();
    void Slot_Pause();
    void Slot_Cancel();
    void Slot_Open();

private:
    QLabel* m_icon = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_size = nullptr;
    CProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QButtonCustom* m_play = nullptr;
    QButtonCustom* m_pause = nullptr;
    QButtonCustom* m_cancel = nullptr;
    QString m_svrPath;
    QString m_localPath;
    bool m_isDownload = false;
};
