#pragma once
// The finished transfers list: a summary line with the number of finished files and a button that
// clears the history, above one row per finished task. It is read from the core each time it is
// shown; it has no timer. User interface thread only.

#include "main/CTransferCompleteListItem.h"

#include <QString>
#include <QWidget>

class QLabel;
class QListWidget;
class QVBoxLayout;

struct TransferInfo;

// What a row shows of one entry of the core's finished list.
_TRANSFERCOMPLETE_ITEM_INFO TransferCompleteItemInfo(const TransferInfo& task);

class CTransferCompleteView : public QWidget {
    Q_OBJECT
public:
    explicit CTransferCompleteView(QWidget* host);
    ~CTransferCompleteView() override;

    void init();
    // Shows the host page and refreshes at once, or hides it.
    void showview(bool show);
    void onViewRefresh();
    // The core reported that its history was emptied.
    void TaskCompleteClean();

    bool addItem(_TRANSFERCOMPLETE_ITEM_INFO* info, bool atTop);
    bool updateItem(QString key, _TRANSFERCOMPLETE_ITEM_INFO* info);
    // The row whose key is `key` (case-sensitive), from the top; `row` is its index.
    CTransferCompleteListItem* findItem(QString key, int& row);

    QListWidget* listWidget() const { return m_list; }
    QLabel* summaryLabel() const { return m_summary; }

public slots:
    void onClickedCleanAll();
    void slots_itemOpen(CTransferCompleteListItem* pListItem);

private:
    void initTopArea(QVBoxLayout* layout);
    void initListArea(QVBoxLayout* layout);
    void setSummary(int count);

    QWidget* m_host;
    QListWidget* m_list = nullptr;
    QLabel* m_summary = nullptr;
};
