#include "main/CImageListView.h"

#include "main/CFileOptions.h"
#include "main/CImageListDelegate.h"
#include "main/CImageListModel.h"
#include "main/CImageListViewMgr.h"
#include "main/CListWidget.h"
#include "main/FileChooser.h"
#include "main/ViewText.h"

#include "common/CommonDef.h"
#include "sync/VUZeroz.h"

#include <QBoxLayout>
#include <QCursor>
#include <QDir>
#include <QMenu>
#include <QSet>
#include <QTimer>

namespace {
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
    m_model = new CImageListModel(this);
    m_grid = new CListWidget(parent);
    m_grid->setViewMode(QListView::IconMode);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setMovement(QListView::Static);
    m_grid->setFrameShape(QFrame::NoFrame);
    m_grid->setSpacing(8);
    m_grid->setIconSize(QSize(48, 48));
    // Every tile has the same size: the grid lays out a row of numbers, not one tile after another.
    m_grid->setUniformItemSizes(true);
    m_grid->setSelectionMode(QAbstractItemView::NoSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setItemDelegate(new CImageListDelegate(m_model, m_grid));
    m_grid->setModel(m_model);
    layout->addWidget(m_grid);
    connect(m_grid, &CListWidget::MultiSelect, this, &CImageListView::Slot_MultiSelect);
    connect(m_grid, &CListWidget::ListWidgetRClicked, this, &CImageListView::Slot_ListWidgetRClicked);
    connect(m_grid, &CListWidget::TileClicked, this, [this](const QModelIndex& index) {
        if (CImageListItem* item = m_model->itemAt(index))
            slot_itemClicked(item);
    });
    connect(m_grid, &CListWidget::TileDoubleClicked, this, [this](const QModelIndex& index) {
        if (CImageListItem* item = m_model->itemAt(index))
            slot_itemDoubleClicked(item);
    });
    // Menus and messages run event loops of their own, in which the tile may be removed; they
    // start after the grid's event handling and find the tile again by its name.
    connect(m_grid, &CListWidget::TileRClicked, this, [this](const QModelIndex& index) {
        if (CImageListItem* item = m_model->itemAt(index))
            slot_itemRClicked(item);
    });
    connect(m_model, &CImageListModel::renameFinished, this, [this](CImageListItem* item) {
        // The table keeps the tile under its old name until the rename is settled.
        const QString name = item->GetOldName();
        QTimer::singleShot(0, this, [this, item, name] {
            // Only the same tile, still waiting: a tile removed meanwhile has left the table.
            if (m_tiles.value(name) == item && item->takeRename())
                slot_itemRename(item);
        });
    });
    m_grid->hide();
}

CImageListView::~CImageListView() {
    // The grid belongs to the manager's layout widget; it goes with its view, before the tiles.
    delete m_grid.data();
}

CImageListItem* CImageListView::getAddItem(_IMAGELISTITEMINFO_* info) {
    auto* item = new CImageListItem(this);
    item->setFileInfo(info);
    m_model->append(item);
    return item;
}

QString CImageListView::nameOf(const QString& key) const {
    return key.startsWith(m_path) ? key.mid(m_path.size()) : QString();
}

bool CImageListView::addItem(_IMAGELISTITEMINFO_* info) {
    CImageListItem* item = getAddItem(info);
    m_tiles.insert(item->getName(), item);
    return true;
}

bool CImageListView::repair(_IMAGELISTITEMINFO_* info) {
    CImageListItem* item = m_tiles.value(info->name);
    if (!item)
        return false;
    item->setFileInfo(info);
    return true;
}

bool CImageListView::delItem(QString key) {
    const QString name = nameOf(key);
    CImageListItem* item = name.isEmpty() ? nullptr : m_tiles.value(name);
    if (!item)
        return true;
    clearAllSelected();
    m_tiles.remove(name);
    m_model->remove(item);
    return true;
}

void CImageListView::fill(const QList<_IMAGELISTITEMINFO_>& list) {
    QSet<QString> left;
    left.reserve(m_tiles.size());
    for (auto it = m_tiles.cbegin(); it != m_tiles.cend(); ++it)
        left.insert(it.key());
    for (const _IMAGELISTITEMINFO_& record : list) {
        _IMAGELISTITEMINFO_ info = record;
        if (CImageListItem* item = m_tiles.value(info.name)) {
            item->setFileInfo(&info);
            left.remove(info.name);
        } else {
            addItem(&info);
        }
    }
    for (const QString& name : qAsConst(left))
        delItem(m_path + name);
}

bool CImageListView::clear() {
    clearAllSelected();
    m_tiles.clear();
    m_model->clear();
    return true;
}

CImageListItem* CImageListView::findItem(QString key) const {
    const QString name = nameOf(key);
    return name.isEmpty() ? nullptr : m_tiles.value(name);
}

QList<CImageListItem*> CImageListView::items() const {
    m_model->flush();
    QList<CImageListItem*> result;
    result.reserve(int(m_model->rows().size()));
    for (CImageListItem* item : m_model->rows())
        result.append(item);
    return result;
}

QRect CImageListView::tileRect(const CImageListItem* item) const {
    m_model->flush();
    return m_grid->visualRect(m_model->indexOf(item));
}

void CImageListView::showview(bool show) {
    m_grid->setVisible(show);
}

void CImageListView::tileChanged(CImageListItem* item) {
    m_model->changed(item);
}

void CImageListView::repaintTile(CImageListItem* item) {
    const QModelIndex index = m_model->indexOf(item);
    if (index.isValid())
        m_grid->update(index);
}

void CImageListView::startRename(CImageListItem* item) {
    m_model->flush();
    const QModelIndex index = m_model->indexOf(item);
    if (!index.isValid())
        return;
    m_grid->scrollTo(index);
    m_grid->edit(index);
    // The name is hidden under the editor.
    m_grid->update(index);
}

CLineEdit* CImageListView::editorOf(const CImageListItem* item) const {
    const QModelIndex index = m_model->indexOf(item);
    return index.isValid() ? qobject_cast<CLineEdit*>(m_grid->indexWidget(index)) : nullptr;
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

CImageListItem* CImageListView::menuItem() const {
    return m_menuName.isEmpty() ? nullptr : m_tiles.value(m_menuName);
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
    const QString name = item->getName();
    QTimer::singleShot(0, this, [this, name] { popupItemMenu(name); });
}

void CImageListView::popupItemMenu(const QString& name) {
    CImageListItem* item = m_tiles.value(name);
    if (IsSearchPath(m_path) || !item)
        return;
    m_menuName = name;
    // The menu acts on what the user clicked: a tile outside the selection becomes the selection.
    if (!m_selection.contains(item)) {
        clearAllSelected();
        m_selection.insert(item, true);
        item->select(true);
    }
    // Parented to the grid: removing the tile while the menu is open leaves the menu alone, and
    // its actions then find no tile.
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
    // Fixed before the chooser runs: the selection may change meanwhile.
    const QStringList names = getCurSelectList();
    QPointer<CImageListView> guard(this);
    if (!m_mgr)
        return;
    const QString target = m_mgr->fileChooser()->existingFolder(this, QStringLiteral("浏览文件夹"));
    if (!guard || target.isEmpty())
        return;
    bool refused = false;
    for (const QString& name : names) {
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
    m_model->flush();
    QList<CImageListItem*> hit;
    for (CImageListItem* item : m_model->rows()) {
        if (m_grid->visualRect(m_model->indexOf(item)).intersects(area)) {
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
    if (m_tiles.value(storedOld) == item) {
        m_tiles.remove(storedOld);
        m_tiles.insert(newName, item);
        if (m_menuName == storedOld)
            m_menuName = newName;
    }
}
