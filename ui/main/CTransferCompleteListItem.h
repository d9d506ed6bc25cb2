#pragma once
// One row of the finished transfers list: icon, name, size, time and local path. No buttons.

#include <QString>
#include <QWidget>

class QLabel;

// What a row shows of one finished task.
struct _TRANSFERCOMPLETE_ITEM_INFO {
    QString key; // the transfer's cloud path
    QString iconPath;
    QString fileName;
    QString sizeText;
    QString timeText; // when the task entered its list, local time
    QString localPath;
};

class CTransferCompleteListItem : public QWidget {
    Q_OBJECT
public:
    explicit CTransferCompleteListItem(QWidget* parent = nullptr);
    ~CTransferCompleteListItem() override;

    void setItemInfo(_TRANSFERCOMPLETE_ITEM_INFO* info);
    QString getKey() const { return m_key; }

    QLabel* nameLabel() const { return m_name; }
    QLabel* sizeLabel() const { return m_size; }
    QLabel* timeLabel() const { return m_time; }
    QLabel* localPathLabel() const { return m_localPath; }

signals:
    void itemOpen(CTransferCompleteListItem* item);

public slots:
    void Slot_Open();

private:
    QLabel* m_icon = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_size = nullptr;
    QLabel* m_time = nullptr;
    QLabel* m_localPath = nullptr;
    QString m_key;
};
