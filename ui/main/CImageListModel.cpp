#include "main/CImageListModel.h"

#include "main/CImageListDelegate.h"
#include "main/CImageListItem.h"

#include <algorithm>

CImageListModel::CImageListModel(QObject* parent) : QAbstractListModel(parent) {
    m_batch.setSingleShot(true);
    connect(&m_batch, &QTimer::timeout, this, &CImageListModel::flush);
}

CImageListModel::~CImageListModel() {
    for (CImageListItem* item : m_rows)
        delete item;
    for (CImageListItem* item : m_arrived)
        delete item;
}

void CImageListModel::schedule() {
    if (m_batch.isActive())
        return;
    const qint64 since = m_sinceBatch.isValid() ? m_sinceBatch.elapsed() : qint64(kBatchMs);
    m_batch.start(int(std::max<qint64>(0, kBatchMs - since)));
}

void CImageListModel::append(CImageListItem* item) {
    item->setRow(-1);
    m_arrived.push_back(item);
    schedule();
}

void CImageListModel::remove(CImageListItem* item) {
    if (item->isGone())
        return;
    item->setGone();
    if (item->row() >= 0)
        m_gone.push_back(item);
    schedule();
}

void CImageListModel::changed(CImageListItem* item) {
    const int row = item->row();
    if (row < 0 || item->isGone())
        return;
    m_firstChanged = m_firstChanged < 0 ? row : std::min(m_firstChanged, row);
    m_lastChanged = std::max(m_lastChanged, row);
    schedule();
}

void CImageListModel::clear() {
    m_batch.stop();
    beginResetModel();
    for (CImageListItem* item : m_rows)
        delete item;
    for (CImageListItem* item : m_arrived)
        delete item;
    m_rows.clear();
    m_arrived.clear();
    m_gone.clear();
    m_firstChanged = m_lastChanged = -1;
    endResetModel();
}

void CImageListModel::flush() {
    m_batch.stop();
    m_sinceBatch.start();
    applyRemovals();

    if (m_firstChanged >= 0) {
        const int first = m_firstChanged;
        const int last = std::min(m_lastChanged, int(m_rows.size()) - 1);
        m_firstChanged = m_lastChanged = -1;
        if (first <= last)
            emit dataChanged(index(first), index(last));
    }

    if (m_arrived.empty())
        return;
    std::vector<CImageListItem*> arrived;
    arrived.swap(m_arrived);
    // Tiles dropped before they reached the grid never become rows.
    const auto kept = std::stable_partition(arrived.begin(), arrived.end(),
                                            [](const CImageListItem* item) { return !item->isGone(); });
    for (auto it = kept; it != arrived.end(); ++it)
        delete *it;
    arrived.erase(kept, arrived.end());
    if (arrived.empty())
        return;
    const int first = int(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + int(arrived.size()) - 1);
    for (CImageListItem* item : arrived) {
        item->setRow(int(m_rows.size()));
        m_rows.push_back(item);
    }
    endInsertRows();
}

void CImageListModel::applyRemovals() {
    if (m_gone.empty())
        return;
    std::vector<CImageListItem*> gone;
    gone.swap(m_gone);
    // One removal for the batch, however scattered its rows: the rows close up in one pass and
    // the grid's persistent indexes (its hovered tile, an open editor) follow them; those of
    // removed rows become invalid, which releases their editors.
    emit layoutAboutToBeChanged();
    std::vector<int> newRow(m_rows.size(), -1);
    std::vector<CImageListItem*> kept;
    kept.reserve(m_rows.size() - gone.size());
    for (size_t i = 0; i < m_rows.size(); ++i) {
        CImageListItem* item = m_rows[i];
        if (item->isGone())
            continue;
        newRow[i] = int(kept.size());
        item->setRow(int(kept.size()));
        kept.push_back(item);
    }
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        const int row = old.row() >= 0 && size_t(old.row()) < newRow.size() ? newRow[size_t(old.row())] : -1;
        after.append(row >= 0 ? createIndex(row, 0) : QModelIndex());
    }
    m_rows.swap(kept);
    changePersistentIndexList(before, after);
    // Rows changed before the removal are repainted whole.
    if (m_firstChanged >= 0) {
        m_firstChanged = 0;
        m_lastChanged = int(m_rows.size()) - 1;
    }
    emit layoutChanged();
    for (CImageListItem* item : gone)
        delete item;
}

CImageListItem* CImageListModel::itemAt(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this || index.row() < 0 || size_t(index.row()) >= m_rows.size())
        return nullptr;
    CImageListItem* item = m_rows[size_t(index.row())];
    return item->isGone() ? nullptr : item;
}

QModelIndex CImageListModel::indexOf(const CImageListItem* item) const {
    if (!item || item->row() < 0 || size_t(item->row()) >= m_rows.size() ||
        m_rows[size_t(item->row())] != item)
        return QModelIndex();
    return index(item->row());
}

int CImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant CImageListModel::data(const QModelIndex& index, int role) const {
    const CImageListItem* item = itemAt(index);
    if (!item)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return item->getName();
    case Qt::ToolTipRole:
        return CImageListDelegate::ToolTip(item->getName());
    default:
        return QVariant();
    }
}

Qt::ItemFlags CImageListModel::flags(const QModelIndex& index) const {
    if (!itemAt(index))
        return Qt::NoItemFlags;
    // Editable only when the view opens the editor itself: the grid has no edit triggers.
    return Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

bool CImageListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    CImageListItem* item = itemAt(index);
    if (!item || role != Qt::EditRole)
        return false;
    if (item->finishRename(value.toString()))
        emit renameFinished(item);
    return true;
}
