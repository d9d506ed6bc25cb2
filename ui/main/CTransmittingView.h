#pragma once
// The running transfers list: above the rows one status panel that follows the engine's state
// (idle, overall progress, paused, failed, each with its buttons for all tasks), below it one row
// per running task, refreshed from the core every second while the list is shown.
//
// The view draws nothing itself: it lays its panels and list out on the host page it is given.
// User interface thread only.

#include "main/CTransmittingListItem.h"

#include "common/SharedTypes.h"

#include <QSet>
#include <QString>
#include <QWidget>

class QLabel;
class QListWidget;
class QProgressBar;
class QTimer;
class QVBoxLayout;

enum TransmitWid_type {
    TransmitWid_Idle = 0,
    TransmitWid_Progress = 1,
    TransmitWid_Paused = 2,
    TransmitWid_Failed = 3,
    TransmitWid_Count = 4,
};

// What a row shows of one entry of the core's running list.
_TRANSMITTING_ITEM_INFO TransmittingItemInfo(const TransferInfo& task);

class CTransmittingView : public QWidget {
    Q_OBJECT
public:
    explicit CTransmittingView(QWidget* host);
    ~CTransmittingView() override;

    void init();
    // Shows the host page and refreshes every second, or hides it and stops refreshing.
    void showview(bool show);
    // The status panel from a status snapshot; the overall progress is that of the bytes of the
    // rows (the core's running list), the snapshot's own percent only while there is no row.
    void UpdateSpeed(const SYNC_INFO& info);

    bool addItem(_TRANSMITTING_ITEM_INFO* info);
    bool updateItem(const QString& key, _TRANSMITTING_ITEM_INFO* info);
    bool delItem(const QString& key);
    // The row whose server path is `key` (case-sensitive), from the top; `row` is its index.
    CTransmittingListItem* findItem(QString key, int& row);
    QProgressBar* findProgressBar();
    // The first label of the panel whose text is not empty.
    QLabel* findCurlayoutText(TransmitWid_type type);

    QListWidget* listWidget() const { return m_list; }
    QWidget* panel(TransmitWid_type type) const { return m_panels[type]; }
    bool refreshing() const;

public slots:
    void onViewRefresh();
    void onClickedCancelAll();
    void onClickedPauseAll();
    void onClickedResumeAll();
    void onClickedRetryAll();
    void slots_itemPlay(CTransmittingListItem* pListItem);
    void slots_itemPause(CTransmittingListItem* pListItem);
    void slots_itemCancel(CTransmittingListItem* pListItem, bool bComplete);
    void slots_itemOpen(CTransmittingListItem* pListItem);

private:
    void initTopArea(QVBoxLayout* layout);
    void initListArea(QVBoxLayout* layout);
    // The done share, in percent, of the bytes of the tasks shown as rows; -1 when there is none.
    int rowsPercent(const TASKLIST_NOTIFY& snapshot) const;
    // The progress panel's bar and text at `percent`.
    void showProgress(int percent);

    QWidget* m_host;
    QListWidget* m_list = nullptr;
    QTimer* m_timer = nullptr;
    QWidget* m_panels[TransmitWid_Count] = {};
    QLabel* m_failedCaption = nullptr;
    TransmitWid_type m_shown = TransmitWid_Idle;
    // Tasks the user cancelled that the core still listed at the last refresh: the core ends them
    // on its own thread a little later, and until it has, their rows are not brought back.
    QSet<QString> m_cancelled;
};
