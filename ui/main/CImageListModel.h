#pragma once
// The rows of one folder view's grid: its tiles in the order in which they first arrived. The
// model owns the tiles. Arrivals, refreshes and removals are held back and applied in one batch
// (one insert, one change and one removal signal) at the next turn of the event loop, at most
// every kBatchMs, so that a burst of the core's notices costs one layout of the grid, not one per
// tile. Readers that need the grid's rows as they stand call flush() first.
//
// User interface thread only.

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QTimer>

#include <vector>

class CImageListItem;

class CImageListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit CImageListModel(QObject* parent = nullptr);
    ~CImageListModel() override;

    // Batches are applied at most this often.
    static constexpr int kBatchMs = 100;

    // Takes `item` (new, not yet in a grid); it becomes the last row with the next batch.
    void append(CImageListItem* item);
    // Marks `item` gone; it leaves the rows and is deleted with the next batch.
    void remove(CImageListItem* item);
    // The item's look changed: its row is repainted with the next batch.
    void changed(CImageListItem* item);
    // Deletes every item at once.
    void clear();
    // Applies what is held back now.
    void flush();

    // The item of a row; null for a row out of range or an item that is gone.
    CImageListItem* itemAt(const QModelIndex& index) const;
    QModelIndex indexOf(const CImageListItem* item) const;
    // The rows as they stand (items that are gone included until the next batch).
    const std::vector<CImageListItem*>& rows() const { return m_rows; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The name editor's text (Qt::EditRole) ends the item's rename; renameFinished follows when
    // the text differs from the name.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

signals:
    void renameFinished(CImageListItem* item);

private:
    void schedule();
    void applyRemovals();

    std::vector<CImageListItem*> m_rows;    // the grid's rows, each item's row() its place here
    std::vector<CImageListItem*> m_arrived; // not yet rows, in arrival order
    std::vector<CImageListItem*> m_gone;    // rows to drop
    int m_firstChanged = -1;                // rows to repaint, first to last; -1 none
    int m_lastChanged = -1;
    QTimer m_batch;
    QElapsedTimer m_sinceBatch; // invalid before the first batch
};
