#include "main/CImageListView.h"

#include "main/CFileOptions.h"
#include "main/CImageListViewMgr.h"
#include "main/CListWidget.h"
#include "main/ViewText.h"

#include "common/CommonDef.h"
#include "sync/VUZeroz.h"

#include <QBoxLayout>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QTimer>

namespace {
constexpr int kTileWidth = 74;
constexpr int kTileHeight = 121;

// A name the mirror folder cannot hold as one item.
bool IsValidName(const QString& name) {
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}
} // namespace

CImageListView::CImageListView(QWidget* parent, QBoxLayout* layout, QString path)
    : QWidget(parent), m_path(path) {
    m_grid = new CListWidget(parent);
    m_grid->setViewMode(QListView::IconMode);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setMovement(QListView::Static);
    m_grid->setFrameShape(QFrame::NoFrame);
    m_grid->setSpacing(8);
    m_grid->setIconSize(QSize(48, 48));
    m_grid->setSortingEnabled(false);
    layout->addWidget(m_grid);
    connect(m_grid, &CListWidget::MultiSelect, this, &CImageListView::Slot_MultiSelect);
    connect(m_grid, &CListWidget::ListWidgetRClicked, this, &CImageListView::Slot_ListWidgetRClicked);
    m_grid->hide();
}

CImageListView::~CImageListView() {
    // The grid belongs to the manager's layout widget; it goes with its view.
    delete m_grid.data();
}

CImageListItem* CImageListView::getAddItem(_IMAGELISTITEMINFO_* info) {
    auto* item = new CImageListItem();
    item->setFileInfo(info);
    item->setFixedSize(kTileWidth, kTileHeight);
    connect(item, &CImageListItem::itemClicked, this, &CImageListView::slot_itemClicked);
    connect(item, &CImageListItem::itemDoubleClicked, this, &CImageListView::slot_itemDoubleClicked);
    // Menus and messages run event loops of their own, in which the tile may be removed; they
    // start after the tile's event handling and find the tile again.
    connect(item, &CImageListItem::itemRClicked, this, [this](CImageListItem* tile) {
        const QString key = keyOf(tile);
        QTimer::singleShot(0, this, [this, key] { popupItemMenu(key); });
    });
    connect(item, &CImageListItem::itemRename, this, [this](CImageListItem* tile) {
        QPointer<CImageListItem> guard(tile);
        QTimer::singleShot(0, this, [this, guard] {
            if (guard && m_tiles.key(guard.data()).size() > 0)
                slot_itemRename(guard.data());
        });
    });
    auto* row = new QListWidgetItem();
    row->setSizeHint(QSize(kTileWidth, kTileHeight));
    m_grid->addItem(row);
    m_grid->setItemWidget(row, item);
    item->setItemWidget(row);
    return item;
}

bool CImageListView::addItem(_IMAGELISTITEMINFO_* info) {
    const QString key = QStringLiteral("%1%2").arg(info->folderPath, info->name);
    m_tiles.insert(key, getAddItem(info));
    return true;
}

bool CImageListView::repair(_IMAGELISTITEMINFO_* info) {
    CImageListItem* item = findItem(QStringLiteral("%1%2").arg(info->folderPath, info->name));
    if (!item)
        return false;
    item->setFileInfo(info);
    return true;
}

bool CImageListView::delItem(QString key) {
    CImageListItem* item = m_tiles.value(key);
    if (!item)
        return true;
    clearAllSelected();
    m_tiles.remove(key);
    QListWidgetItem* row = item->getItemWidget();
    delete m_grid->takeItem(m_grid->row(row));
    // The grid would only delete the tile later; it goes now, so that nothing reaches a tile of
    // an item that is gone (a menu or message of the view may be open meanwhile).
    delete item;
    return true;
}

void CImageListView::fill(const QList<_IMAGELISTITEMINFO_>& list) {
    QStringList left = m_tiles.keys();
    for (const _IMAGELISTITEMINFO_& record : list) {
        _IMAGELISTITEMINFO_ info = record;
        const QString key = QStringLiteral("%1%2").arg(info.folderPath, info.name);
        if (CImageListItem* item = m_tiles.value(key)) {
            item->setFileInfo(&info);
            left.removeAll(key);
        } else {
            m_tiles.insert(key, getAddItem(&info));
        }
    }
    for (const QString& key : left)
        delItem(key);
    m_grid->viewport()->update();
}

bool CImageListView::clear() {
    clearAllSelected();
    const QList<CImageListItem*> tiles = m_tiles.values();
    m_tiles.clear();
    m_grid->clear();
    // As for one tile: they go now, not when the grid would release them.
    qDeleteAll(tiles);
    return true;
}

CImageListItem* CImageListView::findItem(QString key) const {
    return m_tiles.value(key);
}

QList<CImageListItem*> CImageListView::items() const {
    QList<CImageListItem*> result;
    for (int i = 0; i < m_grid->count(); ++i) {
        if (auto* item = qobject_cast<CImageListItem*>(m_grid->itemWidget(m_grid->item(i))))
            result.append(item);
    }
    return result;
}

void CImageListView::showview(bool show) {
    m_grid->setVisible(show);
}

QStringList CImageListView::getCurSelectList() const {
    QStringList names;
    for (auto it = m_selection.cbegin(); it != m_selection.cend(); ++it)
        names.append(it.key()->getName());
    return names;
}

bool CImageListView::IsSelectHasDir() const {
    for (auto it = m_selection.cbegin(); it != m_selection.cend(); ++it) {
        if (it.key()->IsDir())
            return true;
    }
    return false;
}

bool CImageListView::findSelected(const QList<CImageListItem*>& items) const {
    return items.size() == 1 && m_selection.contains(items.first());
}

void CImageListView::addSelected(const QList<CImageListItem*>& items) {
    for (CImageListItem* item : items)
        m_selection.insert(item, true);
}

void CImageListView::clearSelectedList(const QList<CImageListItem*>& items) {
    for (CImageListItem* item : items) {
        if (m_selection.remove(item) > 0)
            item->select(false);
    }
}

void CImageListView::clearAllSelected() {
    for (auto it = m_selection.cbegin(); it != m_selection.cend(); ++it)
        it.key()->select(false);
    m_selection.clear();
}

void CImageListView::clearAllSelected(CImageListItem* keep) {
    for (auto it = m_selection.begin(); it != m_selection.end();) {
        if (it.key() == keep) {
            ++it;
            continue;
        }
        it.key()->select(false);
        it = m_selection.erase(it);
    }
}

QString CImageListView::keyOf(const CImageListItem* item) const {
    return m_tiles.key(const_cast<CImageListItem*>(item));
}

CImageListItem* CImageListView::menuItem() const {
    return m_menuKey.isEmpty() ? nullptr : m_tiles.value(m_menuKey);
}

QString CImageListView::folderOf(const CImageListItem* item) const {
    return IsSearchPath(m_path) ? item->getRealPath() : m_path;
}

void CImageListView::slot_itemClicked(CImageListItem* item) {
    if (m_selection.contains(item)) {
        clearAllSelected(item);
    } else {
        clearAllSelected();
        m_selection.insert(item, true);
    }
    item->select(true);
    if (m_mgr)
        m_mgr->callbackFromListView(CImageListViewMgr::click, this, item);
}

void CImageListView::slot_itemDoubleClicked(CImageListItem* item) {
    if (m_mgr)
        m_mgr->callbackFromListView(CImageListViewMgr::doubleClick, this, item);
}

void CImageListView::slot_itemRClicked(CImageListItem* item) {
    popupItemMenu(keyOf(item));
}

void CImageListView::popupItemMenu(const QString& key) {
    if (IsSearchPath(m_path) || key.isEmpty() || !m_tiles.contains(key))
        return;
    m_menuKey = key;
    // Parented to the grid, not the tile: removing the tile while the menu is open leaves the
    // menu alone, and its actions then find no tile.
    auto* menu = new QMenu(m_grid);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("剪切"), this, &CImageListView::Slot_Cut);
    const bool hasDir = IsSelectHasDir();
    if (!hasDir)
        menu->addAction(QStringLiteral("复制"), this, &CImageListView::Slot_Copy);
    menu->addSeparator();
    menu->addAction(QStringLiteral("重命名"), this, &CImageListView::Slot_Rename);
    menu->addSeparator();
    menu->addAction(QStringLiteral("下载"), this, &CImageListView::Slot_StartDownload);
    menu->addSeparator();
    if (!hasDir)
        menu->addAction(QStringLiteral("历史版本"), this, &CImageListView::Slot_History);
    menu->addAction(QStringLiteral("属性"), this, &CImageListView::Slot_Options);
    // The view or the menu may be gone when exec returns: nothing is touched afterwards.
    menu->exec(QCursor::pos());
}

void CImageListView::Slot_ListWidgetRClicked(CListWidget* grid) {
    // A search view has no folder to paste into.
    if (IsSearchPath(m_path))
        return;
    auto* menu = new QMenu(grid);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QStringLiteral("粘贴"), this, &CImageListView::Slot_Paste);
    menu->exec(QCursor::pos());
}

void CImageListView::Slot_Cut() {
    if (m_mgr)
        m_mgr->callbackFromListView(CImageListViewMgr::cut, this, nullptr);
}

void CImageListView::Slot_Copy() {
    if (m_mgr)
        m_mgr->callbackFromListView(CImageListViewMgr::copy, this, nullptr);
}

void CImageListView::Slot_Paste() {
    if (m_mgr)
        m_mgr->callbackFromListView(CImageListViewMgr::paste, this, nullptr);
}

void CImageListView::Slot_Rename() {
    if (CImageListItem* item = menuItem())
        item->Rename();
}

void CImageListView::Slot_StartDownload() {
    if (m_selection.isEmpty())
        return;
    QPointer<CImageListView> guard(this);
    QString target = QFileDialog::getExistingDirectory(this, QStringLiteral("浏览文件夹"), QDir::currentPath(),
                                                       QFileDialog::ShowDirsOnly);
    if (!guard)
        return;
    target = QDir::toNativeSeparators(target);
    if (target.isEmpty())
        return;
    bool refused = false;
    for (const QString& name : getCurSelectList()) {
        if (!VUZeroz::GetInstance()->DownloadStart(QStringLiteral("%1%2").arg(m_path, name), target))
            refused = true;
    }
    if (refused)
        ShowViewMessage(this, QStringLiteral("下载未开始。"));
}

void CImageListView::Slot_History() {
    if (CImageListItem* item = menuItem())
        VUZeroz::GetInstance()->GetFileOperateJumpUrl(CLOUD_WEB_JUMP::FileHistory,
                                                      QStringLiteral("%1%2").arg(m_path, item->getName()));
}

void CImageListView::Slot_Options() {
    CImageListItem* item = menuItem();
    if (!item)
        return;
    CFileOptions dialog;
    dialog.updateInfo(QStringLiteral("%1%2").arg(m_path, item->getName()));
    dialog.exec();
}

void CImageListView::Slot_MultiSelect(const QRect& band) {
    const int left = qMin(band.x(), band.x() + band.width());
    const int top = qMin(band.y(), band.y() + band.height());
    const QRect area(left, top, qAbs(band.width()), qAbs(band.height()));
    clearAllSelected();
    if (area.isEmpty())
        return;
    QList<CImageListItem*> hit;
    for (CImageListItem* item : items()) {
        if (m_grid->visualItemRect(item->getItemWidget()).intersects(area)) {
            item->select(true);
            hit.append(item);
        }
    }
    addSelected(hit);
}

void CImageListView::slot_itemRename(CImageListItem* item) {
    const QString storedOld = item->GetOldName();
    const QString oldName = storedOld.trimmed();
    const QString newName = item->getName().trimmed();
    // Every refusal gives the tile its old name back, so that it never shows a name the cloud
    // does not hold.
    auto refuse = [&](const QString& message) {
        item->setName(storedOld);
        ShowViewMessage(this, message);
    };
    if (newName.isEmpty()) {
        refuse(QStringLiteral("\"%1\"重命名不能为空。").arg(oldName));
        return;
    }
    if (!IsValidName(newName)) {
        refuse(QStringLiteral("\"%1\"不是有效的文件名。").arg(newName));
        return;
    }
    const QString folder = folderOf(item);
    const QString oldPath = QStringLiteral("%1%2").arg(folder, storedOld);
    const QString newPath = QStringLiteral("%1%2").arg(folder, newName);
    const int result = VUZeroz::GetInstance()->Rename(oldPath, newPath);
    if (result == 1) {
        refuse(QStringLiteral("\"%1\"已存在。").arg(newName));
        return;
    }
    if (result != 0) {
        refuse(QStringLiteral("\"%1\"重命名失败。").arg(oldName));
        return;
    }
    item->setName(newName);
    // Tiles are keyed by the view's path and the name.
    const QString oldKey = QStringLiteral("%1%2").arg(m_path, storedOld);
    const QString newKey = QStringLiteral("%1%2").arg(m_path, newName);
    if (m_tiles.value(oldKey) == item) {
        m_tiles.remove(oldKey);
        m_tiles.insert(newKey, item);
        if (m_menuKey == oldKey)
            m_menuKey = newKey;
    }
}
